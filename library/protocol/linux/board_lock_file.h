// Where a board's lock file lives on Linux: in the driver directory, beside
// the board's socket, so one setting (KV318_DRIVER_DIR) moves both.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kv318::linux_channel {

// <driver directory>/KV318Device<board>.lock
std::string board_lock_path(std::int32_t board);

// Opens `board`'s lock file for reading and writing, creating it with mode
// 0600 when `create` is set, close-on-exec.  Refuses (returns -1) when the
// driver directory is not private to this user, when the path is a
// symlink, or when the file is not a regular file owned by the effective
// user, so nobody else can plant or share a lock with us.  Any thread.
// Returns the descriptor, owned by the caller, or -1.
int open_board_lock_file(std::int32_t board, bool create);

enum class LockFileTake {
    Taken,   // *fd holds the file's exclusive lock
    Busy,    // another open of the file holds it exclusively
    Failed,  // the file cannot be used (see open_board_lock_file), or keeps being replaced
};

// Takes `board`'s lock, creating the file, without waiting for a holder.
// Two things can make a plain flock lie, and both are handled:
// - a look (probe_board_lock, kv318-cli, Python) holds a shared lock for an
//   instant; a take that meets only shared holders tries again for up to
//   kLookRetryMs, so asking who holds a board never makes a start fail;
// - the file may have been removed or replaced between the open and the
//   lock, or while a holder held it; a lock on a file the path no longer
//   names keeps nobody out, so the take checks that the path still names
//   the locked file (device and inode) and starts again if not.
// `opened` (for tests) runs after each open, before the lock.  Any thread.
// On Taken, *fd is the descriptor, owned by the caller; otherwise nothing
// is held and *fd is not written.
LockFileTake take_board_lock_file(std::int32_t board, int* fd, const std::function<void()>& opened = {});

}  // namespace kv318::linux_channel
