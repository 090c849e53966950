// What kv318-server and its clients say to each other, as bytes: the sample
// blocks it publishes and the control messages it answers (protocol.h has
// their words: verbs, fields, error codes, block flags).  No socket here,
// so the format is tested (and fuzzed) on its own and every program that
// speaks it, the server included, shares this one copy.  docs/server-
// protocol.md describes the same format for writers of other clients.
//
// Every function here is pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "KV318.h"
#include "protocol.h"

namespace kv318::remote {

// The protocol's version.  A block or a request of another version is
// refused, never guessed at.
inline constexpr std::uint16_t kProtocolVersion = 1;

// Where a server listens unless told otherwise, and where a client looks.
inline constexpr std::uint16_t kDefaultPort = 6318;
inline constexpr const char* kDefaultUrl = "tcp://127.0.0.1:6318";
// The publish socket is the next port: a client given the control URL
// tcp://host:P finds the blocks at tcp://host:P+1 (data_url()).
inline constexpr std::uint16_t kDataPortOffset = 1;

// How often a client proves it is alive, and how long the server waits
// before it frees a silent client's board: a client killed outright gives
// up its control within kClientTimeoutMs plus one expiry pass.
inline constexpr int kHeartbeatMs = 500;
inline constexpr int kClientTimeoutMs = 2000;
// A server publishes something on every board at least this often, even
// with no acquisition running, so a follower tells a quiet board from a
// server that went away, and a new subscriber knows its subscription holds.
inline constexpr int kIdleBlockMs = 250;
// The blocks a subscriber's queue holds, on the server's side and on the
// client's: about a second at the top rate.  One that falls further behind
// loses whole blocks, and never holds the server back.
inline constexpr int kQueueBlocks = 40;
// A client that heard nothing from the server for this long says it is gone:
// the bound the library's header promises for every call on a served handle.
inline constexpr int kServerSilenceMs = KV318_SERVED_SILENCE_MS;

// ---- Sample blocks ---------------------------------------------------------

struct BlockHeader {
    std::uint16_t board = 0;
    // Counts the acquisitions the server started on this board, from 1; 0
    // in an idle block.
    std::uint32_t stream = 0;
    std::uint64_t firstIndex = 0;  // the stream's index of the block's first sample
    std::uint32_t count = 0;       // samples in the block
    std::uint32_t flags = 0;       // BlockFlag bits
    std::uint64_t clockHz = 0;     // the converter clock the controller gave
    std::uint32_t divider = 0;
    std::int64_t hostTimeUs = 0;  // the server's wall clock when the block was sent, µs since 1970
};

// The header's size in bytes; the int16 samples follow it, low byte first.
inline constexpr std::size_t kBlockHeaderBytes = 56;
// The subscription prefix of a board's blocks: the header's first bytes
// (magic, version, board).
inline constexpr std::size_t kBlockTopicBytes = 8;

// The first kBlockTopicBytes of every block of `board`, to subscribe with.
std::string block_topic(std::uint16_t board);

// Writes `header` into out[0..kBlockHeaderBytes).  The caller owns `out`.
void encode_block_header(const BlockHeader& header, std::uint8_t* out);

// A whole block: header and samples, ready to send.  Throws
// std::length_error for a count too large to address (a 32-bit build).
std::vector<std::uint8_t> encode_block(const BlockHeader& header, const std::int16_t* samples);

// Reads a received block.  On success *header is filled and *samples points
// at header->count samples of two bytes each inside `data` (read them with
// get_s16le; they live as long as `data`).  False, with *error saying why,
// for anything that is not a whole block of this version: a short message,
// a wrong magic or version, a count that does not match the size.
bool decode_block(const std::uint8_t* data, std::size_t size, BlockHeader* header, const std::uint8_t** samples,
                  std::string* error);

// ---- Control messages -------------------------------------------------------

// One control message: a request ("kv318/1 VERB key=value ...") or a reply
// ("ok key=value ..." or "error code=... text=..."), one ZeroMQ frame of
// ASCII.  Values are percent-encoded, so any text (an info string, an error
// message) fits in one token.
struct Message {
    std::string word;  // the verb of a request, "ok" or "error" of a reply
    std::vector<std::pair<std::string, std::string>> fields;

    // The value of `key`, or null.
    const std::string* find(const std::string& key) const;
    // Sets `key` (replacing it when present).
    Message& set(const std::string& key, const std::string& value);
    Message& set(const std::string& key, std::int64_t value);
    // The value of `key` as an integer within [lo, hi]; false when missing,
    // not a number or out of range.
    bool get_int(const std::string& key, std::int64_t lo, std::int64_t hi, std::int64_t* out) const;
};

// The largest control message either side reads; longer ones are refused
// unread, so a flood of huge frames costs the server nothing.
inline constexpr std::size_t kMaxMessageBytes = 4096;

std::string encode_request(const Message& request);
std::string encode_reply(const Message& reply);

// Parses a request: "kv318/<version> VERB key=value ...".  False with
// *error (a reply's code and text) when it is not one: too long, not
// ASCII, another version, a token without '=', a bad escape, a key given
// twice.
bool parse_request(const std::string& text, Message* request, std::string* errorCode, std::string* errorText);
// Parses a reply; false with *error when it is not "ok ..." or "error ...".
bool parse_reply(const std::string& text, Message* reply, std::string* error);

// A reply that refuses a request: "error code=CODE text=TEXT".
Message error_reply(const std::string& code, const std::string& text);

// The data URL for a control URL: the same transport and host, the port
// after the control port ("tcp://h:6318" -> "tcp://h:6319"), or for
// "ipc://PATH" the socket "ipc://PATH.data".  Empty when `controlUrl` is
// neither.
std::string data_url(const std::string& controlUrl);

}  // namespace kv318::remote
