#include "acquisition_lock.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "board_lock_service.h"

namespace kv318 {
namespace {

struct Holding {
    std::int32_t board;
    Handle handle;
    AcquisitionKind kind;
};

// The tables are touched only by open, close, start and stop calls, on
// callers' threads, never by the timer thread; a mutex keeps the tables and
// the OS locks they stand for in step (a start on one thread and a close on
// another must not both decide about the same board's lock).  The OS calls
// made under it never wait: the lock is taken with "fail at once".
std::mutex g_mutex;
std::map<Handle, std::int32_t> g_boards;             // handle -> board, from KV318_OpenDevice
std::map<std::int32_t, BoardLockToken> g_locks;       // board -> the OS lock this process holds
std::vector<Holding> g_holdings;                      // which acquisitions hold each lock

// Drops the holdings `drop` picks and releases each board lock that no
// holding is left for.  g_mutex held.
template <class Pred>
void drop_holdings(Pred drop) {
    std::vector<std::int32_t> boards;
    for (const Holding& x : g_holdings)
        if (drop(x)) boards.push_back(x.board);
    g_holdings.erase(std::remove_if(g_holdings.begin(), g_holdings.end(), drop), g_holdings.end());
    for (std::int32_t board : boards) {
        const bool stillHeld = std::any_of(g_holdings.begin(), g_holdings.end(),
                                           [board](const Holding& x) { return x.board == board; });
        const auto lock = g_locks.find(board);
        if (stillHeld || lock == g_locks.end()) continue;
        board_lock_service().release(lock->second);
        g_locks.erase(lock);
    }
}

}  // namespace

void note_board_handle(Handle h, std::int32_t board) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_boards[h] = board;
}

void forget_board_handle(Handle h) {
    std::lock_guard<std::mutex> guard(g_mutex);
    drop_holdings([h](const Holding& x) { return x.handle == h; });
    g_boards.erase(h);
}

BoardLockStep lock_board_for(Handle h, AcquisitionKind kind) {
    std::lock_guard<std::mutex> guard(g_mutex);
    const auto known = g_boards.find(h);
    if (known == g_boards.end()) return BoardLockStep::NotNeeded;
    const std::int32_t board = known->second;
    // A restart of the same acquisition (KV318_M_AD twice) holds once.
    const bool already = std::any_of(g_holdings.begin(), g_holdings.end(), [&](const Holding& x) {
        return x.board == board && x.handle == h && x.kind == kind;
    });
    if (already) return BoardLockStep::NotNeeded;
    // Another acquisition of this process on the board already holds the
    // OS lock; a second open of the file would only conflict with it.
    if (g_locks.find(board) == g_locks.end()) {
        BoardLockToken token = 0;
        if (board_lock_service().acquire(board, &token) != BoardLockResult::Taken) return BoardLockStep::Refused;
        g_locks[board] = token;
    }
    g_holdings.push_back({board, h, kind});
    return BoardLockStep::Taken;
}

bool board_held_by_another(Handle h) {
    std::lock_guard<std::mutex> guard(g_mutex);
    const auto known = g_boards.find(h);
    if (known == g_boards.end() || g_locks.count(known->second) != 0) return false;
    return board_lock_service().held_elsewhere(known->second);
}

void unlock_board_for(Handle h, AcquisitionKind kind) {
    std::lock_guard<std::mutex> guard(g_mutex);
    drop_holdings([h, kind](const Holding& x) {
        return x.kind == kind && (kind == AcquisitionKind::Stream || x.handle == h);
    });
}

}  // namespace kv318
