// The Linux board lock: flock on <driver directory>/KV318DeviceN.lock.
// flock belongs to the open file, so the kernel drops it when the process
// exits or is killed, and a dead holder never blocks a board.
//
// A forked child shares that open file with its parent, and with it the
// lock: an unlock in the child would free the parent's board.  So a token
// names the process that took it, only that process unlocks, and a child
// closes its copies of the descriptors at the fork, so a parent killed
// later does not leave its board locked by a child that lives on.
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "board_lock.h"
#include "board_lock_file.h"
#include "board_lock_service.h"

namespace kv318 {
namespace {

static_assert(sizeof(BoardLockToken) >= 8, "a token carries a pid and a descriptor");

// A token: the descriptor in the low 32 bits, the owner's pid above.
BoardLockToken make_token(int fd, pid_t pid) {
    return static_cast<BoardLockToken>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid)) << 32) |
                                       static_cast<std::uint32_t>(fd));
}
int token_fd(BoardLockToken token) { return static_cast<int>(static_cast<std::uint64_t>(token) & 0xFFFFFFFFu); }
pid_t token_pid(BoardLockToken token) { return static_cast<pid_t>(static_cast<std::uint64_t>(token) >> 32); }

// The descriptors of the locks this process holds, plus one (0 = free), for
// the fork handler.  Written by acquire and release on callers' threads and
// emptied by the child's fork handler; atomics because that handler may
// not take a lock another thread held at the fork.  A lock that finds no
// free slot is still released correctly; only the child keeps its copy.
constexpr int kHeldSlots = 64;
std::atomic<int> g_held[kHeldSlots];

void note_held(int fd) {
    for (std::atomic<int>& slot : g_held) {
        int expected = 0;
        if (slot.compare_exchange_strong(expected, fd + 1)) return;
    }
}

void forget_held(int fd) {
    for (std::atomic<int>& slot : g_held) {
        int expected = fd + 1;
        if (slot.compare_exchange_strong(expected, 0)) return;
    }
}

// In the child, right after a fork: close the copies of the parent's lock
// descriptors.  Closing a copy never drops the lock (the parent's
// descriptor still holds the open file); only flock(LOCK_UN) would.
void close_inherited_locks() {
    for (std::atomic<int>& slot : g_held) {
        const int v = slot.exchange(0);
        if (v != 0) ::close(v - 1);
    }
}

class FlockService final : public BoardLockService {
public:
    FlockService() { (void)::pthread_atfork(nullptr, nullptr, &close_inherited_locks); }

    BoardLockResult acquire(std::int32_t board, BoardLockToken* token) override {
        int fd = -1;
        switch (linux_channel::take_board_lock_file(board, &fd)) {
        case linux_channel::LockFileTake::Taken:
            break;
        case linux_channel::LockFileTake::Busy:
            return BoardLockResult::Busy;
        case linux_channel::LockFileTake::Failed:
            return BoardLockResult::Failed;
        }
        // The pid is for people and tools; the lock holds whether or not it
        // could be written, so a full disk does not stop the acquisition.
        const pid_t pid = ::getpid();
        const std::string text = board_lock_pid_text(static_cast<std::uint32_t>(pid));
        if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, text.data(), text.size(), 0);
        note_held(fd);
        *token = make_token(fd, pid);
        return BoardLockResult::Taken;
    }

    void release(BoardLockToken token) override {
        // A lock a parent took before this process was forked from it: the
        // fork handler closed this process's copy, and the lock is not ours
        // to give back.
        if (token_pid(token) != ::getpid()) return;
        const int fd = token_fd(token);
        forget_held(fd);
        // Unlock before closing: a child forked meanwhile shares the open
        // file, and a close alone would leave the lock with it.
        (void)::flock(fd, LOCK_UN);
        ::close(fd);
    }

    bool held_elsewhere(std::int32_t board) override { return probe_board_lock(board).held; }
};

}  // namespace

BoardLockService& platform_board_lock_service() {
    // Never destroyed, like the other services: a start or stop may run
    // while the process exits.
    static FlockService* service = new FlockService;
    return *service;
}

}  // namespace kv318
