// The Linux board lock: flock on <driver directory>/KV318DeviceN.lock, and
// an abstract Unix socket named after that file (board_lock_file.h).
// Both belong to open files, so the kernel drops them when the process
// exits or is killed, and a dead holder never blocks a board.  The file
// says who holds the board; the socket keeps the board held when someone
// removes the file under its holder, where a start would otherwise lock a
// new file of the same name and reset the board under the holder.
//
// A forked child shares those open files with its parent, and with them
// the lock: an unlock in the child would free the parent's board.  So a
// token names the process that took it, only that process unlocks, and a
// child closes its copies of the descriptors at the fork, so a parent
// killed later does not leave its board locked by a child that lives on.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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

// The descriptors of the locks this process holds, for the fork handler.
// `mutex` guards `held`; the fork handlers hold it across a fork, so a
// lock's descriptors are either all in `held` or none of them exists yet
// when a child is made, and the child may use `held` freely.  Never
// destroyed, like the service: a stop may run while the process exits.
struct HeldLock {
    int file = -1;    // the flock'ed lock file, the token's descriptor
    int socket = -1;  // the bound lock socket
};
struct HeldLocks {
    std::mutex mutex;
    std::vector<HeldLock> held;
};
HeldLocks& held_locks() {
    static HeldLocks* locks = new HeldLocks;
    return *locks;
}

void before_fork() { held_locks().mutex.lock(); }
void after_fork_in_parent() { held_locks().mutex.unlock(); }

// In the child, right after a fork: close the copies of the parent's lock
// descriptors.  Closing a copy never drops the lock (the parent's
// descriptors still hold the open files); only flock(LOCK_UN) would.
void after_fork_in_child() {
    HeldLocks& locks = held_locks();
    for (const HeldLock& h : locks.held) {
        ::close(h.file);
        ::close(h.socket);
    }
    locks.held.clear();
    locks.mutex.unlock();
}

class FlockService final : public BoardLockService {
public:
    FlockService() {
        (void)held_locks();
        (void)::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
    }

    bool held_elsewhere(std::int32_t board) override { return probe_board_lock(board).held; }

    // The pid from the lock file, and the name the kernel keeps for that
    // process (/proc/<pid>/comm, at most 15 characters, such as
    // "kv318-cli").  A holder that exited meanwhile has no name.
    BoardHolder holder(std::int32_t board) override {
        BoardHolder who;
        who.pid = probe_board_lock(board).pid;
        if (who.pid == 0) return who;
        const std::string path = "/proc/" + std::to_string(who.pid) + "/comm";
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return who;
        char text[64];
        const ssize_t n = ::read(fd, text, sizeof text);
        ::close(fd);
        if (n > 0) who.name.assign(text, static_cast<std::size_t>(n));
        while (!who.name.empty() && who.name.back() == '\n') who.name.pop_back();
        return who;
    }

    std::string lock_file_problem(std::int32_t board) override { return board_lock_file_problem(board); }

    std::string served_url(std::int32_t board) override {
        const BoardServedProbe probe = probe_board_served(board);
        return probe.held ? probe.url : std::string();
    }

    // The socket first: a start refused by it never touches the file, which
    // still names the holder when it was not removed.  Both are taken under
    // held_locks().mutex, so a fork in another thread waits until they are noted
    // (at most the kLookRetryMs a take waits out looks).
    BoardLockResult acquire(std::int32_t board, BoardLockToken* token) override {
        HeldLocks& locks = held_locks();
        std::lock_guard<std::mutex> guard(locks.mutex);
        int sock = -1;
        const linux_channel::LockFileTake bound = linux_channel::bind_board_lock_socket(board, &sock);
        if (bound != linux_channel::LockFileTake::Taken) return result_of(bound);
        int fd = -1;
        const linux_channel::LockFileTake took = linux_channel::take_board_lock_file(board, &fd);
        if (took != linux_channel::LockFileTake::Taken) {
            ::close(sock);
            return result_of(took);
        }
        try {
            locks.held.push_back({fd, sock});
        } catch (...) {
            // Not noted, it could not be closed in a child; not taken.
            ::close(fd);  // nobody can have forked with it: the mutex is held
            ::close(sock);
            return BoardLockResult::Failed;
        }
        // The pid is for people and tools; the lock holds whether or not it
        // could be written, so a full disk does not stop the acquisition.
        const pid_t pid = ::getpid();
        const std::string text = board_lock_pid_text(static_cast<std::uint32_t>(pid));
        if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, text.data(), text.size(), 0);
        *token = make_token(fd, pid);
        return BoardLockResult::Taken;
    }

    void release(BoardLockToken token) override {
        // A lock a parent took before this process was forked from it: the
        // fork handler closed this process's copy, and the lock is not ours
        // to give back.
        if (token_pid(token) != ::getpid()) return;
        const int fd = token_fd(token);
        int sock = -1;
        {
            HeldLocks& locks = held_locks();
            std::lock_guard<std::mutex> guard(locks.mutex);
            const auto it =
                std::find_if(locks.held.begin(), locks.held.end(), [fd](const HeldLock& h) { return h.file == fd; });
            if (it != locks.held.end()) {
                sock = it->socket;
                locks.held.erase(it);
            }
            // Unlock before closing: a child forked earlier shares the open
            // file, and a close alone would leave the lock with it.  (The
            // child closed its copy of the socket at the fork.)
            (void)::flock(fd, LOCK_UN);
            ::close(fd);
            if (sock >= 0) ::close(sock);
        }
    }

private:
    static BoardLockResult result_of(linux_channel::LockFileTake take) {
        return take == linux_channel::LockFileTake::Busy ? BoardLockResult::Busy : BoardLockResult::Failed;
    }
};

}  // namespace

BoardLockService& platform_board_lock_service() {
    // Never destroyed, like the other services: a start or stop may run
    // while the process exits.
    static FlockService* service = new FlockService;
    return *service;
}

}  // namespace kv318
