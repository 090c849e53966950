// Where driver processes publish boards on Linux: one Unix-domain socket
// per board, named after the device ("KV318Device0"), in one directory.
#pragma once

#include <sys/types.h>

#include <string>

namespace kv318::linux_channel {

// The driver directory: $KV318_DRIVER_DIR when set and not empty; else
// $XDG_RUNTIME_DIR/kv318 when XDG_RUNTIME_DIR is set, not empty and
// absolute (a directory private to the user, that no other user can take
// first); else /tmp/kv318-<euid>.  Any thread.
std::string driver_directory();

// True when driver_directory() chose the directory itself, false when
// KV318_DRIVER_DIR named it.  Any thread.
bool driver_directory_is_default();

// Why `dir` cannot serve as the driver directory, in a sentence for the
// user, or "" when it can.  Any directory must be one of the effective
// user's that neither group nor others can write, so nobody else can pose
// as a board in it.  A default one (`isDefault`) must moreover be no
// symbolic link, checked without following it: in /tmp another user may
// plant the name first, and following a planted link would put our sockets
// and lock where they chose.  Both refusals of a default name
// KV318_DRIVER_DIR, the way out.  A missing directory is a problem too.
std::string driver_directory_problem(const std::string& dir, bool isDefault);

// True when `dir` is a directory owned by the effective user that neither
// group nor others can write, so nobody else can pose as a board in it.
bool driver_directory_is_private(const std::string& dir);

// True when a driver process whose effective user is `driverUid` may serve
// boards to a process whose effective user is `ownUid`: only that same
// user, or root.
bool driver_user_is_trusted(uid_t driverUid, uid_t ownUid);

}  // namespace kv318::linux_channel
