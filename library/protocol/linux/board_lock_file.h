// Where a board's lock file lives on Linux: in the driver directory, beside
// the board's socket, so one setting (KV318_DRIVER_DIR) moves both.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kv318::linux_channel {

// <driver directory>/KV318Device<board>.lock
std::string board_lock_path(std::int32_t board);

// <driver directory>/KV318Device<board>.served, kv318-server's lock
// (board_lock.h), opened and taken as the acquisition lock's file is.
std::string board_served_path(std::int32_t board);

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

// The board's second lock, which holds even when its lock file is removed
// while held (a start would then lock a new file of the same name): an
// abstract Unix socket named "\0kv318-lock:" + the lock file's absolute path
// (the driver directory resolved, so every way to it gives one name; a
// hash of it where the path is too long for a socket name).  Nobody can
// remove an abstract name, and the kernel frees it when its last
// descriptor closes, so a dead holder never blocks a board.  Abstract
// names are per network namespace: processes in two namespaces are kept
// apart by the lock file alone.
std::string board_lock_socket_name(std::int32_t board);

// Binds `board`'s lock socket, close-on-exec.  Any thread.  Taken: *fd is
// the socket, owned by the caller, and the name is this process's until it
// closes it; Busy: another socket holds the name (another process streams
// the board); Failed: no socket could be made (*fd not written either way).
LockFileTake bind_board_lock_socket(std::int32_t board, int* fd);

// Whether some process holds `board`'s lock socket, looked at without
// taking it (a datagram connect, which sends nothing), so a look never
// makes a start fail.  Any thread.
bool board_lock_socket_bound(std::int32_t board);

}  // namespace kv318::linux_channel
