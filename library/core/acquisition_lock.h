// One acquisition per board across processes: which board each handle the
// library opened belongs to, and which of this process's acquisitions hold
// which board's lock.  A start takes the board's lock before it sends
// anything; the stop calls and the close of the handle give it back, and
// the OS drops it when the process ends.
//
// The board of a handle is known only when KV318_OpenDevice gave the
// handle.  A handle the library did not open (on Windows, a kernel-driver
// handle a program opened itself) has no known board: its starts take no
// lock and go on as they always did.  Refusing them would break programs
// that worked before, and guessing a board could lock the wrong one; the
// channel paths never get that far, since they refuse foreign handles.
#pragma once

#include <cstdint>

#include "device_service.h"

namespace kv318 {

enum class AcquisitionKind { Stream, Polled };

// Remembers that `h` is board `board`'s handle.  Called by KV318_OpenDevice
// on success.  Any caller's thread.
void note_board_handle(Handle h, std::int32_t board);

// Forgets `h` and gives back every lock an acquisition on `h` holds.
// Called by KV318_CloseDevice before the handle is closed.  Any caller's
// thread.
void forget_board_handle(Handle h);

enum class BoardLockStep {
    Refused,    // another process holds the lock, or the lock file cannot be used
    Taken,      // this call made the acquisition a holder of the lock
    NotNeeded,  // h's board is unknown, or this acquisition already held the lock
};

// What refused a lock step, for the words of the failure.
struct LockRefusal {
    std::int32_t board = -1;
    bool busy = false;  // another process holds the lock; else the lock file cannot be used
};

// Takes the lock of h's board for an acquisition of `kind` on `h`.  A start
// goes on unless the step is Refused, in which case nothing is held and the
// start must send nothing; `*refusal` (when given) then says what refused it.  A start that fails after a Taken step
// gives the lock back with unlock_board_for; after NotNeeded it leaves it (a failed restart of a polled run does not
// end the lock of the run before it). Caller's thread (KV318_AD, KV318_M_AD).
BoardLockStep lock_board_for(Handle h, AcquisitionKind kind, LockRefusal* refusal = nullptr);

// True when another process holds the lock of h's board and this process
// does not: a stop call must then send nothing to the board, or it would
// stop the other process's conversion (the test panel calls KV318_StopAD
// after every tick, also after a refused start), and the raw exports
// (KV318_inb, KV318_outb, KV318_BulkRead, KV318_ResetUSB) are refused for
// the same reason.  False for a handle whose board is unknown, and for a
// board this process holds.  When true and `board` is given, *board is
// h's board.  Caller's thread (the stop calls, the raw exports).
bool board_held_by_another(Handle h, std::int32_t* board = nullptr);

// Writes the calling thread's failure text for export `call`, refused by
// the lock: "board 0 is busy: acquisition is held by kv318-cli (pid 1234)"
// for a busy board, naming the holder as far as the lock service can, or
// why its lock file cannot be used.  Caller's thread, holding no lock.
void record_lock_refusal(const char* call, const LockRefusal& refusal);

// Gives back what lock_board_for took for `kind`: for Stream the one
// stream's lock whatever `h` is (KV318_StopAD ends the stream on any
// handle), for Polled the polled run's lock on `h`.  Nothing held does
// nothing.  Caller's thread (the stop calls, a start's failure path).
void unlock_board_for(Handle h, AcquisitionKind kind);

// Gives back every board lock this library holds and forgets every
// acquisition, so a library unloaded (and perhaps loaded again) while it
// streams leaves no board locked behind it.  Called when the library is
// unloaded or the process exits; any thread.
void release_all_board_locks();

}  // namespace kv318
