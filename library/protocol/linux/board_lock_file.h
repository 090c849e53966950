// Where a board's lock file lives on Linux: in the driver directory, beside
// the board's socket, so one setting (KV318_DRIVER_DIR) moves both.
#pragma once

#include <cstdint>
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

}  // namespace kv318::linux_channel
