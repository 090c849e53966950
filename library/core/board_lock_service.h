// The board-lock seam: the one OS service that keeps a board to one
// acquisition across processes.  The core never locks files itself; the
// build links exactly one platform implementation (flock on a file in the
// driver directory on Linux, LockFileEx on a file in the temporary
// directory on Windows), and tests install a substitute.
#pragma once

#include <cstdint>
#include <string>

namespace kv318 {

// What a taken lock is to the service (a descriptor or a handle); only the
// service reads it.
using BoardLockToken = std::intptr_t;

// Who holds a board's lock, as far as the OS tells: for the words of a
// refused start.
struct BoardHolder {
    std::uint32_t pid = 0;  // 0 when the lock file does not say
    std::string name;       // the holder's program name, "" when the OS does not say
};

enum class BoardLockResult {
    Taken,   // this process now holds the board's lock
    Busy,    // another process holds it
    Failed,  // the lock file could not be opened or locked
};

class BoardLockService {
public:
    virtual ~BoardLockService() = default;

    // Takes the exclusive lock of board `board` without waiting, and writes
    // this process's id into the lock file.  Caller's thread (a start call).
    // On Taken, *token is what release() needs; otherwise it is not written
    // and nothing is held.  The OS drops the lock when the process ends.
    virtual BoardLockResult acquire(std::int32_t board, BoardLockToken* token) = 0;

    // Gives up a lock acquire() took.  Caller's thread (a stop or close).
    virtual void release(BoardLockToken token) = 0;

    // Whether another process holds board `board`'s lock.  Only asked for a
    // board this process holds no lock of.  Caller's thread (a stop call).
    // False when the lock file cannot be looked at.
    virtual bool held_elsewhere(std::int32_t board) = 0;

    // Who holds board `board`'s lock now.  Asked after acquire() answered
    // Busy or held_elsewhere() true, to say who in the failure's words.
    // Caller's thread.  This default knows nobody.
    virtual BoardHolder holder(std::int32_t board);

    // Why board `board`'s lock file cannot be used, in words naming the
    // file, or "" when the service cannot say.  Asked after acquire()
    // answered Failed.  Caller's thread.  This default says nothing.
    virtual std::string lock_file_problem(std::int32_t board);

    // The URL of the kv318-server of this machine that serves board
    // `board`, as its served lock file names it, or "" when no server holds
    // the board or its file names no URL of this machine.  Asked by an open
    // the environment leaves free to be served.  Caller's thread.  This
    // default knows no server.
    virtual std::string served_url(std::int32_t board);
};

// The service in use: the platform's unless a test installed another.
BoardLockService& board_lock_service();

// Installs `service` (owned by the caller, who keeps it alive while it is
// installed); nullptr restores the platform's.  Meant for tests: call it
// while no other thread is inside the library and no lock is held.
void set_board_lock_service(BoardLockService* service);

// The build's platform implementation, defined by one file under platform/.
BoardLockService& platform_board_lock_service();

}  // namespace kv318
