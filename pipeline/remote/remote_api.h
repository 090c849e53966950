// The board table (BoardApi) of a kv318-server: a program that would call
// the linked library calls the server instead, through the same table.
// Its handles are those of the process's handle table (remote_handles.h),
// each with its connection and heartbeat.
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

// The same over ZeroMQ (make_zmq_link), as this process (pid and host
// filled in here) with the keys `settings` holds (choose_keys); only where
// the client is built (KV318_HAVE_REMOTE_CLIENT).
const pipeline::BoardApi& remote_api(const RemoteSettings& settings);

// What the tools print when a board of the server does not open: ": " and
// the reason the last open of any board failed (the server is silent,
// serves no such board), or empty.  Any thread.
std::string remote_open_hint(int board);

// Sets the CURVE keys of settings->url, as every client chooses them: those
// of the key directory `dir` when it is given (read_client_keys), else this
// user's local keys of a loopback URL (find_local_keys, localKeysDir set),
// else none for a plain endpoint.  False with *error saying what is wrong
// with `dir`.  The calling thread; it reads files only.
bool choose_keys(const std::string& dir, RemoteSettings* settings, std::string* error);

}  // namespace kv318::remote
