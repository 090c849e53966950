// The library's exports as the tool calls them, gathered in one table.  The
// tool itself uses the table of the real library; its tests put a scripted
// board behind the same table, so every path through a command can be
// driven without a driver.
#pragma once

#include <cstdint>
#include <string>

#include "KV318.h"

namespace kv318::pipeline {

// What a handle reached through kv318-server says beside the exports'
// results (KV318_SERVED_STATUS as the tools read it, served_status()), so
// a tool can tell its user the truth: who refused a start, a server that
// went silent, samples that never arrived.
struct RemoteStatus {
    std::string url;           // the server's control URL
    std::string failure;       // the last failure, in words; empty when none
    bool busy = false;         // the last start was refused: another client controls the board
    std::string controller;    // who controls the board, when the last start was refused
    bool controlling = false;  // this handle controls the board's stream or run
    bool gone = false;         // the server stopped answering; every later call fails at once
    // The server's board went away (kv318-server waits for it): `failure`
    // holds the server's words, "board N is disconnected since HH:MM:SS;
    // kv318-server will take it back when it returns".
    bool disconnected = false;
    bool following = false;    // starts join the running stream instead of starting one
    std::uint32_t stream = 0;  // the server's number of the stream started or joined, 0 before one
    std::uint64_t missed = 0;  // samples of it that never arrived (the blocks' indices jumped)
    // The stream's own index of the next sample a read returns, in the
    // server's numbering, which counts from the stream's start, not from
    // the join: just past the last sample a read returned, or before the
    // first read where the run joined the stream.  After a jump the next
    // read starts past it (by the samples counted in `missed`).  A read
    // never returns samples from both sides of a jump, so a read's first
    // sample has the index nextIndex (after the read) less its count.
    std::uint64_t nextIndex = 0;
    bool ended = false;         // its controller stopped it (the blocks said so)
    std::uint64_t clockHz = 0;  // the stream's clock and divider, as its controller gave them
    std::uint32_t divider = 0;
};

struct BoardApi {
    std::int32_t(KV318_CALL* open)(std::int32_t board);
    std::int32_t(KV318_CALL* close)(std::int32_t handle);
    std::int32_t(KV318_CALL* info)(std::int32_t handle, char* text);
    std::int32_t(KV318_CALL* inb)(std::int32_t handle, std::int32_t reg);
    std::int32_t(KV318_CALL* outb)(std::int32_t handle, std::int32_t reg, std::int32_t value);
    std::int32_t(KV318_CALL* ad)(std::int32_t handle, std::int32_t f1, std::int32_t f2, std::int32_t f3,
                                 std::int32_t f4, std::int32_t divider);
    std::int32_t(KV318_CALL* read)(std::int32_t handle, std::int32_t* samples);
    std::int32_t(KV318_CALL* stopAd)(std::int32_t handle);
    std::int32_t(KV318_CALL* mAd)(std::int32_t handle, std::int32_t f1, std::int32_t f2, std::int32_t f3,
                                  std::int32_t f4, std::int32_t divider);
    std::int32_t(KV318_CALL* mRead)(std::int32_t handle, std::int32_t* samples, std::int32_t* carry,
                                    std::int32_t reserved);
    std::int32_t(KV318_CALL* mStopAd)(std::int32_t handle);
    std::int32_t(KV318_CALL* di)(std::int32_t handle);
    std::int32_t(KV318_CALL* doWrite)(std::int32_t handle, std::int32_t value);
    std::int32_t(KV318_CALL* cRun)(std::int32_t handle);
    std::int32_t(KV318_CALL* cRead)(std::int32_t handle);
    std::int32_t(KV318_CALL* pRun)(std::int32_t handle, std::int32_t mode, std::int32_t divisor);
    std::int32_t(KV318_CALL* pStop)(std::int32_t handle);
    // KV318_StreamStats: the drain statistics of the acquisition last
    // started on the handle.  A table may leave it null (a test's scripted
    // board without them); read_stream_stats() then reports them as
    // unreadable.
    std::int32_t(KV318_CALL* streamStats)(std::int32_t handle, KV318_STREAM_STATS* stats);
    // KV318_LastError: the calling thread's last failure in words.  Null
    // where a table has none (a scripted board); library_words() then says
    // nothing.
    std::int32_t(KV318_CALL* lastError)(char* text, std::int32_t size);
    // The exports of boards kv318-server serves: KV318_OpenServed,
    // KV318_ServedBoard, KV318_Follow and KV318_ServedStatus.  A scripted
    // board may leave them null: it is then no served board, and
    // served_status() says so.
    std::int32_t(KV318_CALL* openServed)(const char* url, std::int32_t board, const char* keys);
    std::int32_t(KV318_CALL* servedBoard)(std::int32_t handle, std::int32_t clockHz, std::int32_t fifoBytes);
    std::int32_t(KV318_CALL* follow)(std::int32_t handle);
    std::int32_t(KV318_CALL* servedStatus)(std::int32_t handle, KV318_SERVED_STATUS* status);
};

// The library's words for the failure of `call` (an export's name) just
// made on this thread: its KV318_LastError text without the leading
// "CALL: ", or "" when the table has none or the last text is another
// call's.  Ask right after the failed call, before any other.  The
// caller's thread.
std::string library_words(const BoardApi& api, const char* call);

// What KV318_ServedStatus says of `handle`, for every board: true with
// *status filled for a handle of a served board (for handle -1: the url
// and failure of the thread's last served open that failed, `gone` when
// its server did not answer); false, with an empty status, for a board of
// this process or a table without the export.  On a board of this process
// it leaves the thread's KV318_LastError text saying so: take a failed
// call's words first.  The caller's thread.
bool served_status(const BoardApi& api, std::int32_t handle, RemoteStatus* status);

// Reads the drain statistics of the acquisition last started on `handle`
// into *stats (its size set here).  False when they cannot be read: the
// table has no such export, or it failed.  The caller's thread, the one
// that reads samples.
bool read_stream_stats(const BoardApi& api, std::int32_t handle, KV318_STREAM_STATS* stats);

// Whether the board behind `handle` still answers: its status register
// (register 0) reads.  A board whose driver went away or whose cable was
// pulled fails it at once; every program asks this to tell a board that
// went away from a request that merely failed.  The caller's thread.
inline bool board_answers(const BoardApi& api, std::int32_t handle) { return api.inb(handle, 0) >= 0; }

// The most samples one KV318_Read and one KV318_M_Read can return; the
// arrays handed to them are this long.
inline constexpr std::size_t kReadCapacity = KV318_READ_MAX_SAMPLES;
inline constexpr std::size_t kPolledReadCapacity = KV318_M_READ_MAX_SAMPLES;

// The table of the linked KV318 library.
const BoardApi& library_api();

// Whether the board's acquisition lock keeps this process from starting
// `board`: another process holds it (the library's one-acquisition-per-
// board rule), with the holder's pid in *pid (0 when its lock file does
// not say), or the lock file is one the library will not use (then *pid is
// 0 and board_busy_text says what is wrong with it).  Looks at the lock
// file for an instant with a shared lock, which a start waits out, so it
// may be called at any time.  Any thread.
bool board_lock_held(std::int32_t board, std::uint32_t* pid);

// Whether another process holds `board`'s acquisition lock, with the
// holder's pid in *pid (0 when its lock file does not say).  Unlike
// board_lock_held, a lock file the library will not use is not a holder:
// this is what the library asks before it refuses raw register access,
// bulk reads and resets.  Looks as board_lock_held does.  Any thread.
bool board_held_elsewhere(std::int32_t board, std::uint32_t* pid);

// "board N is streaming in another process (pid P)", without the pid when
// it is 0: the holder board_held_elsewhere reported.  Any thread.
std::string board_holder_text(std::int32_t board, std::uint32_t pid);

// The words every tool uses for a board board_lock_held reported:
// "board N is streaming in another process (pid P)", without the pid when
// it is 0; or, when the lock file cannot be used, "board N cannot be
// started: the lock file PATH is a symbolic link" (or a FIFO, a directory,
// another user's, ...).  Any thread.
std::string board_busy_text(std::int32_t board, std::uint32_t pid);

}  // namespace kv318::pipeline
