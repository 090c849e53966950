// Where driver processes publish boards on Linux: one Unix-domain socket
// per board, named after the device ("KV318Device0"), in one directory.
#pragma once

#include <sys/types.h>

#include <string>

namespace kv318::linux_channel {

// $KV318_DRIVER_DIR when set and not empty, otherwise /tmp/kv318-<euid>.
std::string driver_directory();

// True when `dir` is a directory owned by the effective user that neither
// group nor others can write, so nobody else can pose as a board in it.
bool driver_directory_is_private(const std::string& dir);

// True when a driver process whose effective user is `driverUid` may serve
// boards to a process whose effective user is `ownUid`: only that same
// user, or root.
bool driver_user_is_trusted(uid_t driverUid, uid_t ownUid);

}  // namespace kv318::linux_channel
