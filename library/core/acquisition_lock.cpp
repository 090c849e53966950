#include "acquisition_lock.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "acquisition_common.h"
#include "board_lock_service.h"
#include "last_error.h"

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
// Never destroyed, like the services: a program may close a handle from
// its own exit handlers, after this library's statics would be gone.
struct Tables {
    std::mutex mutex;
    std::map<Handle, std::int32_t> boards;         // handle -> board, from KV318_OpenDevice
    std::map<std::int32_t, BoardLockToken> locks;  // board -> the OS lock this process holds
    std::vector<Holding> holdings;                 // which acquisitions hold each lock
};

Tables& tables() {
    static Tables* t = new Tables;
    return *t;
}

// Drops the holdings `drop` picks and releases each board lock that no
// holding is left for.  The tables' mutex held.
template <class Pred>
void drop_holdings(Pred drop) {
    std::vector<Holding>& holdings = tables().holdings;
    std::map<std::int32_t, BoardLockToken>& locks = tables().locks;
    std::vector<std::int32_t> boards;
    for (const Holding& x : holdings)
        if (drop(x)) boards.push_back(x.board);
    holdings.erase(std::remove_if(holdings.begin(), holdings.end(), drop), holdings.end());
    for (std::int32_t board : boards) {
        const bool stillHeld =
            std::any_of(holdings.begin(), holdings.end(), [board](const Holding& x) { return x.board == board; });
        const auto lock = locks.find(board);
        if (stillHeld || lock == locks.end()) continue;
        board_lock_service().release(lock->second);
        locks.erase(lock);
    }
}

}  // namespace

void note_board_handle(Handle h, std::int32_t board) {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.mutex);
    t.boards[h] = board;
}

void forget_board_handle(Handle h) {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.mutex);
    drop_holdings([h](const Holding& x) { return x.handle == h; });
    t.boards.erase(h);
}

BoardLockStep lock_board_for(Handle h, AcquisitionKind kind, LockRefusal* refusal) {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.mutex);
    const auto known = t.boards.find(h);
    if (known == t.boards.end()) return BoardLockStep::NotNeeded;
    const std::int32_t board = known->second;
    // A restart of the same acquisition (KV318_M_AD twice) holds once.
    const bool already = std::any_of(t.holdings.begin(), t.holdings.end(), [&](const Holding& x) {
        return x.board == board && x.handle == h && x.kind == kind;
    });
    if (already) return BoardLockStep::NotNeeded;
    // Another acquisition of this process on the board already holds the
    // OS lock; a second open of the file would only conflict with it.
    if (t.locks.find(board) == t.locks.end()) {
        BoardLockToken token = 0;
        const BoardLockResult took = board_lock_service().acquire(board, &token);
        if (took != BoardLockResult::Taken) {
            if (refusal != nullptr) *refusal = LockRefusal{board, took == BoardLockResult::Busy};
            return BoardLockStep::Refused;
        }
        t.locks[board] = token;
    }
    t.holdings.push_back({board, h, kind});
    return BoardLockStep::Taken;
}

bool board_held_by_another(Handle h, std::int32_t* board) {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.mutex);
    const auto known = t.boards.find(h);
    if (known == t.boards.end() || t.locks.count(known->second) != 0) return false;
    if (!board_lock_service().held_elsewhere(known->second)) return false;
    if (board != nullptr) *board = known->second;
    return true;
}

void record_lock_refusal(const char* call, const LockRefusal& refusal) {
    BoardLockService& locks = board_lock_service();
    const int board = static_cast<int>(refusal.board);
    if (!refusal.busy) {
        const std::string problem = locks.lock_file_problem(refusal.board);
        if (problem.empty()) record_failure(call, "board %d: its lock file cannot be used", board);
        else record_failure(call, "board %d cannot be started: %s", board, problem.c_str());
        return;
    }
    const BoardHolder who = locks.holder(refusal.board);
    record_failure(call, "board %d is busy: acquisition is held by ", board);
    if (!who.name.empty() && who.pid != 0)
        append_failure("%s (pid %u)", who.name.c_str(), static_cast<unsigned>(who.pid));
    else if (who.pid != 0) append_failure("pid %u", static_cast<unsigned>(who.pid));
    else append_failure("another process");
}

void unlock_board_for(Handle h, AcquisitionKind kind) {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.mutex);
    drop_holdings(
        [h, kind](const Holding& x) { return x.kind == kind && (kind == AcquisitionKind::Stream || x.handle == h); });
}

void release_all_board_locks() {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.mutex);
    drop_holdings([](const Holding&) { return true; });
}

}  // namespace kv318
