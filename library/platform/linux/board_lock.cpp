// The Linux board lock: flock on <driver directory>/KV318DeviceN.lock.
// flock belongs to the open file, so the kernel drops it when the process
// exits or is killed, and a dead holder never blocks a board.
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "board_lock.h"
#include "board_lock_file.h"
#include "board_lock_service.h"

namespace kv318 {
namespace {

class FlockService final : public BoardLockService {
public:
    BoardLockResult acquire(std::int32_t board, BoardLockToken* token) override {
        const int fd = linux_channel::open_board_lock_file(board, true);
        if (fd < 0) return BoardLockResult::Failed;
        int r = 0;
        do {
            r = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (r != 0 && errno == EINTR);
        if (r != 0) {
            const bool busy = errno == EWOULDBLOCK;
            ::close(fd);
            return busy ? BoardLockResult::Busy : BoardLockResult::Failed;
        }
        // The pid is for people and tools; the lock holds whether or not it
        // could be written, so a full disk does not stop the acquisition.
        const std::string text = board_lock_pid_text(static_cast<std::uint32_t>(::getpid()));
        if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, text.data(), text.size(), 0);
        *token = fd;
        return BoardLockResult::Taken;
    }

    void release(BoardLockToken token) override {
        const int fd = static_cast<int>(token);
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
