// The board table (BoardApi) of a kv318-server: a program that would call
// the linked library calls the server instead, through the same table.
// Each handle is one connection to the server and one of its boards, kept
// in a table of the process; while it is open a heartbeat thread of its own
// pings the server every kHeartbeatMs over the handle's own connection
// (the server counts a sign of life of the connection that controls a
// board only), so the server knows the client is alive and the client
// knows the server is.
#pragma once

#include <cstdint>
#include <string>

#include "board_api.h"
#include "remote_board.h"

namespace kv318::remote {

// The table for the server `settings` name, whose links `makeLink` makes.
// Its functions may be called on any thread, a handle's calls one at a
// time (they wait for each other); no call waits longer than about
// kServerSilenceMs for a server that went away, and once one has found it
// gone every later call on the handle fails at once.  Call it before the
// first open; calling it again (tests) while handles are open leaves those
// handles on the server they were opened on.  The table lives until the
// process ends.
const pipeline::BoardApi& remote_api(const RemoteSettings& settings, LinkMaker makeLink);

// The same over ZeroMQ (make_zmq_link); only where the client is built
// (KV318_HAVE_REMOTE_CLIENT).
const pipeline::BoardApi& remote_api(const RemoteSettings& settings);

// What the tools print when a board of the server does not open: ": " and
// the reason the last open of any board failed (the server is silent,
// serves no such board), or empty.  Any thread.
std::string remote_open_hint(int board);

}  // namespace kv318::remote
