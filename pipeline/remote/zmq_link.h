// The sockets of the kv318-server client: the one file that calls libzmq.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "remote_board.h"

namespace kv318::remote {

// A link to the server at `url` over ZeroMQ (LinkMaker's contract): a REQ
// socket with ZMQ_REQ_RELAXED and ZMQ_REQ_CORRELATE that waits
// kServerSilenceMs for a reply (two threads' exchanges take turns on it), and for `board` 0 or more a SUB socket on
// data_url(url) subscribed to block_topic(board); both with CURVE when
// `keys` holds the server's public key and this client's secret one.  Null
// with *failure when `url` is not a tcp:// or ipc:// URL or the sockets
// cannot be made.  Any thread; the link is then used by one thread at a
// time.
std::unique_ptr<ServerLink> make_zmq_link(const std::string& url, std::int32_t board, std::string* failure,
                                          const RemoteSettings& keys = RemoteSettings{});

}  // namespace kv318::remote
