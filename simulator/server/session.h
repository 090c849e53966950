// The driver's side of one channel connection, whatever carries it: read a
// request frame, let the board answer it, write the reply frame.  A Unix
// socket on Linux and a named pipe on Windows differ only in the ByteStream
// they hand in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv318::sim {

class Board;

// One connected byte stream, used by one session thread at a time.
class ByteStream {
public:
    virtual ~ByteStream() = default;

    // Reads exactly n bytes into `data` (owned by the caller), blocking until
    // they arrive.  Returns false at the end of the stream or on an error;
    // `data` may then hold part of them.
    virtual bool read_exact(std::uint8_t* data, std::size_t n) = 0;

    // Writes all n bytes of `data`.  Returns false when the peer is gone or
    // on an error; it never raises a signal.
    virtual bool write_all(const std::uint8_t* data, std::size_t n) = 0;
};

// Why a session ended.
enum class SessionEnd {
    ClientClosed,   // the stream ended between frames
    BrokenFrame,    // the stream ended or failed inside a frame
    InputTooLong,   // a request announced more input than the channel allows
    FaultDrop,      // a scripted fault dropped the connection
    ReplyFailed,    // the reply could not be written
};

struct SessionSummary {
    SessionEnd end = SessionEnd::ClientClosed;
    std::uint64_t requests = 0;
    std::uint64_t failed = 0;  // failure replies
};

// The largest output area a session offers the board: one bulk read of the
// longest length plus its spare byte.  A request that offers more capacity
// is served as if it offered this much, which no reply can exceed anyway.
inline constexpr std::uint32_t kMaxReplyBytes = 0x10000;

// Serves requests from `stream` on `board` until the stream ends, the
// client breaks the framing, or a fault drops the connection.  Runs on the
// caller's thread; the caller owns the stream and closes it afterwards.
// Scripted reply delays are slept out on this thread.
SessionSummary serve_session(ByteStream& stream, Board& board);

const char* session_end_text(SessionEnd end);

// The log line of an ended connection: which board and connection, why it
// ended, its requests, and the board's FIFO drops so far.  Every transport
// logs the same line.
std::string session_end_line(int board, std::uint64_t connection, const SessionSummary& s,
                             std::uint64_t fifoDrops);

}  // namespace kv318::sim
