#include "session.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "board.h"
#include "channel_frame.h"

namespace kv318::sim {

namespace {

// The input buffer's first step, and the most it keeps between requests.
constexpr std::size_t kInputStep = 4096;
constexpr std::size_t kKeptInput = std::size_t{64} * 1024;

Deadline deadline_from_now(const SessionLimits& limits) {
    if (limits.clientTimeout.count() <= 0) return kNoDeadline;
    return std::chrono::steady_clock::now() + limits.clientTimeout;
}

// Reads a request's `length` bytes of input into `in`, growing it by at
// most what it holds already (at least kInputStep) before each read, so
// what is allocated stays within twice what has arrived.
IoResult read_input(ByteStream& stream, std::vector<std::uint8_t>& in, std::size_t length, Deadline deadline) {
    std::size_t got = 0;
    while (got < length) {
        const std::size_t step = std::min(length - got, std::max(kInputStep, got));
        if (in.size() < got + step) in.resize(got + step);
        const IoResult r = stream.read_exact(in.data() + got, step, deadline);
        if (r != IoResult::Done) return r;
        got += step;
    }
    return IoResult::Done;
}

SessionEnd inside_frame(IoResult r) {
    return r == IoResult::TimedOut ? SessionEnd::FrameTimedOut : SessionEnd::BrokenFrame;
}

}  // namespace

SessionSummary serve_session(ByteStream& stream, Board& board, const SessionLimits& limits) {
    SessionSummary summary;
    std::vector<std::uint8_t> in;
    // Grows to the largest reply room asked for, at most kMaxReplyBytes
    // and the header, and is reused after that.
    std::vector<std::uint8_t> out;
    for (;;) {
        std::uint8_t header[kRequestHeaderSize];
        // Between requests a client may be idle as long as it likes.
        if (stream.read_exact(header, 1, kNoDeadline) != IoResult::Done) {
            summary.end = SessionEnd::ClientClosed;
            return summary;
        }
        // From its first byte on, the whole frame must come in time.
        const Deadline frameDeadline = deadline_from_now(limits);
        IoResult r = stream.read_exact(header + 1, sizeof header - 1, frameDeadline);
        if (r != IoResult::Done) {
            summary.end = inside_frame(r);
            return summary;
        }
        const RequestHeader request = decode_request_header(header);
        if (request.inLen > kMaxChannelInput) {
            summary.end = SessionEnd::InputTooLong;
            return summary;
        }
        r = read_input(stream, in, request.inLen, frameDeadline);
        if (r != IoResult::Done) {
            summary.end = inside_frame(r);
            return summary;
        }
        const std::uint32_t capacity = std::min(request.outCap, kMaxReplyBytes);
        // The reply header goes in front of the board's bytes, so the whole
        // reply leaves in one write.
        out.resize(std::max<std::size_t>(out.size(), kReplyHeaderSize + capacity));
        // A zero-length input still needs a valid pointer for the board's checks.
        static const std::uint8_t kNoInput = 0;
        const std::uint8_t* input = request.inLen > 0 ? in.data() : &kNoInput;

        // The board's lock is taken inside transact() only, once the whole
        // frame is here: a slow client never holds the board.
        ++summary.requests;
        const Outcome o = board.transact(request.code, input, request.inLen, out.data() + kReplyHeaderSize, capacity);
        if (o.drop) {
            summary.end = SessionEnd::FaultDrop;
            return summary;
        }
        if (!o.ok) ++summary.failed;
        if (o.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));
        if (in.size() > kKeptInput) {
            // A large request's input is not kept for an idle connection.
            in.clear();
            in.shrink_to_fit();
        }

        std::uint8_t replyHeader[kReplyHeaderSize];
        const std::uint32_t count = o.ok ? std::min(o.count, capacity) : 0;
        encode_reply_header(replyHeader, ReplyHeader{o.ok ? 0u : 1u, count});
        std::copy(replyHeader, replyHeader + kReplyHeaderSize, out.begin());
        r = stream.write_all(out.data(), kReplyHeaderSize + count, deadline_from_now(limits));
        if (r != IoResult::Done) {
            summary.end = r == IoResult::TimedOut ? SessionEnd::ReplyTimedOut : SessionEnd::ReplyFailed;
            return summary;
        }
    }
}

const char* session_end_text(SessionEnd end) {
    switch (end) {
    case SessionEnd::ClientClosed:
        return "closed by the client";
    case SessionEnd::BrokenFrame:
        return "broken frame";
    case SessionEnd::InputTooLong:
        return "request input over 1 MiB";
    case SessionEnd::FaultDrop:
        return "dropped by a scripted fault";
    case SessionEnd::ReplyFailed:
        return "reply not delivered";
    case SessionEnd::FrameTimedOut:
        return "dropped: silent inside a frame past the client timeout";
    case SessionEnd::ReplyTimedOut:
        return "dropped: reply not taken within the client timeout";
    }
    return "ended";
}

std::string session_end_line(int board, std::uint64_t connection, const SessionSummary& s, std::uint64_t fifoDrops) {
    return "board " + std::to_string(board) + ": connection " + std::to_string(connection) + " " +
           session_end_text(s.end) + " after " + std::to_string(s.requests) + " requests (" + std::to_string(s.failed) +
           " failed); FIFO drops so far: " + std::to_string(fifoDrops) + " samples";
}

}  // namespace kv318::sim
