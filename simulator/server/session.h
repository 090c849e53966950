// The driver's side of one channel connection, whatever carries it: read a
// request frame, let the board answer it, write the reply frame.  A Unix
// socket on Linux and a named pipe on Windows differ only in the ByteStream
// they hand in.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kv318::sim {

class Board;

using Deadline = std::chrono::steady_clock::time_point;
inline constexpr Deadline kNoDeadline = Deadline::max();

enum class IoResult {
    Done,      // every byte moved
    Ended,     // the stream ended, failed, or the server is stopping
    TimedOut,  // the deadline passed first
};

// One connected byte stream, used by one session thread at a time.
class ByteStream {
public:
    virtual ~ByteStream() = default;

    // Reads exactly n bytes into `data` (owned by the caller), blocking until
    // they arrive or `deadline` passes (kNoDeadline: no limit).  On anything
    // but Done, `data` may hold part of them.
    virtual IoResult read_exact(std::uint8_t* data, std::size_t n, Deadline deadline) = 0;

    // Writes all n bytes of `data`, blocking until the peer has taken them
    // or `deadline` passes.  A peer that is gone is Ended, never a signal.
    virtual IoResult write_all(const std::uint8_t* data, std::size_t n, Deadline deadline) = 0;
};

// Why a session ended.
enum class SessionEnd {
    ClientClosed,   // the stream ended between frames
    BrokenFrame,    // the stream ended or failed inside a frame
    InputTooLong,   // a request announced more input than the channel allows
    FaultDrop,      // a scripted fault dropped the connection
    ReplyFailed,    // the reply could not be written
    FrameTimedOut,  // the rest of a frame did not come within the client timeout
    ReplyTimedOut,  // the client did not take its reply within the client timeout
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

// How long a client has, once the first byte of a request has come, to send
// the rest of it, and again to take its reply.  A client idle between
// requests may stay as long as it likes; one that stops inside a frame is
// dropped, so it cannot hold a thread and its buffers for ever.  The board
// is never locked while a frame is read or a reply written.
inline constexpr std::chrono::milliseconds kDefaultClientTimeout{5000};

struct SessionLimits {
    std::chrono::milliseconds clientTimeout = kDefaultClientTimeout;  // zero: no limit
};

// Serves requests from `stream` on `board` until the stream ends, the
// client breaks the framing or runs out of time, or a fault drops the
// connection.  Runs on the caller's thread; the caller owns the stream and
// closes it afterwards.  Scripted reply delays are slept out on this
// thread.  A request's input buffer grows with the bytes that arrive, never
// ahead of them by more than it already holds, so a header announcing
// 1 MiB costs nothing until the MiB comes; between requests a session keeps
// at most kMaxReplyBytes + 64 KiB of buffers.
SessionSummary serve_session(ByteStream& stream, Board& board, const SessionLimits& limits = {});

const char* session_end_text(SessionEnd end);

// The log line of an ended connection: which board and connection, why it
// ended, its requests, and the board's FIFO drops so far.  Every transport
// logs the same line.
std::string session_end_line(int board, std::uint64_t connection, const SessionSummary& s, std::uint64_t fifoDrops);

}  // namespace kv318::sim
