// The process's table of open handles of kv318-server boards, which the
// served boards' backend of libKV318 (served_table.h) calls.  Each handle
// is one connection to a server and one of its boards; while it is open a heartbeat thread of its own pings
// the server every kHeartbeatMs over the handle's own connection (the
// server counts a sign of life of the connection that controls a board
// only), so the server knows the client is alive and the client knows the
// server is.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "remote_board.h"

namespace kv318::remote {

// What open_handle() came to.
struct OpenOutcome {
    std::int32_t handle = -1;  // 1 and up, or -1
    std::string failure;       // why it is -1: the server is silent, serves no such board, ...
    bool silent = false;       // the server did not answer at all
};

// Opens board `board` of the server settings.url names over a link
// `makeLink` makes, with a client id of settings.program, pid and host
// (client_id(), numbered by the process's connections).  Handles count up
// from 1 and are never given twice.  Any thread; it waits up to about
// kServerSilenceMs for a silent server.
OpenOutcome open_handle(const RemoteSettings& settings, const LinkMaker& makeLink, std::int32_t board);

// Ends what the handle controls, says bye, ends its heartbeat and forgets
// it: true, or false for a handle that is not open.  Any thread; it waits
// for a call on the handle that runs.
bool close_handle(std::int32_t handle);

// Runs `call` on the handle's board under the handle's lock, so one
// handle's calls take turns; false (without calling) for a handle that is
// not open.  Any thread.
bool with_handle(std::int32_t handle, const std::function<void(RemoteBoard&)>& call);

}  // namespace kv318::remote
