// What a control request arrives as on the server's ROUTER socket, taken
// apart: the connection it came on, and its text.  No socket here, so the
// rules about malformed envelopes are tested on their own.
//
// Every function here is pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kv318::server {

// Who sent a request: the connection it came on and, for a CURVE
// connection, the public key it proved in its handshake.  A value, so the
// control rules are scripted in tests with made-up callers.
struct Caller {
    // Unique among the server's connections while this one lasts (the
    // socket's number and ZeroMQ's routing id); opaque bytes.  A client
    // cannot choose it: a new connection always gets a new one.
    std::string connection;
    // The client's CURVE public key in Z85 (40 characters); empty for a
    // plain connection.
    std::string key;

    bool operator==(const Caller& other) const { return connection == other.connection && key == other.key; }
    bool operator!=(const Caller& other) const { return !(*this == other); }
};

// The most frames an envelope may have before its request: the routing id,
// a REQ's request id (ZMQ_REQ_CORRELATE sends one) or a few a proxy adds,
// and the empty delimiter.
inline constexpr std::size_t kMaxEnvelopeFrames = 6;

// One message a ROUTER received, taken apart.  A REQ client sends
// [request id (with ZMQ_REQ_CORRELATE), empty delimiter, text] and the
// ROUTER puts the routing id in front; a DEALER sends [empty delimiter,
// text].  As a REP socket would, the server hands every frame up to the
// delimiter back in front of its reply.
struct Envelope {
    // The routing id and every frame after it up to and including the
    // empty delimiter (only the routing id when no delimiter came).
    std::vector<std::string> route;
    std::string body;  // the request's text, when `problem` is empty
    // Why the message is not one request (answer it with `malformed` and
    // this text); empty when it is one.
    std::string problem;
};

// Splits the frames of one received message (`frames[0]` the routing id,
// as a ROUTER hands it up; the caller may pass only the first
// kMaxEnvelopeFrames + 2 frames and say in `more` that there were others).
// Without an empty delimiter the message is refused, and the refusal goes
// to the routing id alone, so a DEALER that left it out learns why.
Envelope split_envelope(const std::vector<std::string>& frames, bool more);

// The frames that answer `envelope` with `reply`: its route, then the reply.
std::vector<std::string> reply_frames(const Envelope& envelope, const std::string& reply);

}  // namespace kv318::server
