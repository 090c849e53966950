// The table of the boards kv318-server serves, as libKV318 reaches them
// (library/core/backend_ops.h): each entry one call of a RemoteBoard of the
// process's handle table (remote_handles.h), with the failure values and
// the per-thread failure text the exports give.  The sockets sit behind
// the ServedWorld, so the table runs against a scripted server in tests;
// served_backend.cpp gives it ZeroMQ and exports it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "backend_ops.h"
#include "remote_board.h"

namespace kv318::remote {

// How the table reaches servers.  Called by the thread of an open, and
// only there.
struct ServedWorld {
    // Who this process is and which keys to use for `url` (`keys`: a key
    // directory, or empty for this user's local keys of a loopback URL):
    // false with *failure when the keys cannot be read.
    std::function<bool(const std::string& url, const std::string& keys, RemoteSettings* settings, std::string* failure)>
        settings;
    // A link to `settings.url` subscribed to `board`'s blocks (LinkMaker's
    // contract, with the settings' keys).
    std::function<std::unique_ptr<ServerLink>(const RemoteSettings& settings, std::int32_t board, std::string* failure)>
        makeLink;
};

// The table, whose opens from now on go through `world`.  Call it before
// the first open; calling it again (tests) leaves open handles on the
// links they were opened with.  The table lives until the process ends.
const KV318_BACKEND_OPS* served_table(ServedWorld world);

// The words bulk reads and resets fail with on a served handle.
inline constexpr const char* kNotServedText =
    "bulk reads and resets are not served by kv318-server: they would take the FIFO's bytes from under its stream";

}  // namespace kv318::remote
