#include "session.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "board.h"
#include "channel_frame.h"

namespace kv318::sim {

SessionSummary serve_session(ByteStream& stream, Board& board) {
    SessionSummary summary;
    // Both areas grow to the largest frame seen and are reused after that.
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> out;
    for (;;) {
        std::uint8_t header[kRequestHeaderSize];
        if (!stream.read_exact(header, 1)) {
            summary.end = SessionEnd::ClientClosed;
            return summary;
        }
        if (!stream.read_exact(header + 1, sizeof header - 1)) {
            summary.end = SessionEnd::BrokenFrame;
            return summary;
        }
        const RequestHeader request = decode_request_header(header);
        if (request.inLen > kMaxChannelInput) {
            summary.end = SessionEnd::InputTooLong;
            return summary;
        }
        in.resize(std::max<std::size_t>(in.size(), request.inLen));
        if (!stream.read_exact(in.data(), request.inLen)) {
            summary.end = SessionEnd::BrokenFrame;
            return summary;
        }
        const std::uint32_t capacity = std::min(request.outCap, kMaxReplyBytes);
        // The reply header goes in front of the board's bytes, so the whole
        // reply leaves in one write.
        out.resize(std::max<std::size_t>(out.size(), kReplyHeaderSize + capacity));
        // A zero-length input still needs a valid pointer for the board's checks.
        static const std::uint8_t kNoInput = 0;
        const std::uint8_t* input = request.inLen > 0 ? in.data() : &kNoInput;

        ++summary.requests;
        const Outcome o = board.transact(request.code, input, request.inLen, out.data() + kReplyHeaderSize, capacity);
        if (o.drop) {
            summary.end = SessionEnd::FaultDrop;
            return summary;
        }
        if (!o.ok) ++summary.failed;
        if (o.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));

        std::uint8_t replyHeader[kReplyHeaderSize];
        const std::uint32_t count = o.ok ? std::min(o.count, capacity) : 0;
        encode_reply_header(replyHeader, ReplyHeader{o.ok ? 0u : 1u, count});
        std::copy(replyHeader, replyHeader + kReplyHeaderSize, out.begin());
        if (!stream.write_all(out.data(), kReplyHeaderSize + count)) {
            summary.end = SessionEnd::ReplyFailed;
            return summary;
        }
    }
}

const char* session_end_text(SessionEnd end) {
    switch (end) {
    case SessionEnd::ClientClosed: return "closed by the client";
    case SessionEnd::BrokenFrame: return "broken frame";
    case SessionEnd::InputTooLong: return "request input over 1 MiB";
    case SessionEnd::FaultDrop: return "dropped by a scripted fault";
    case SessionEnd::ReplyFailed: return "reply not delivered";
    }
    return "ended";
}

std::string session_end_line(int board, std::uint64_t connection, const SessionSummary& s,
                             std::uint64_t fifoDrops) {
    return "board " + std::to_string(board) + ": connection " + std::to_string(connection) + " " +
           session_end_text(s.end) + " after " + std::to_string(s.requests) + " requests (" +
           std::to_string(s.failed) + " failed); FIFO drops so far: " + std::to_string(fifoDrops) + " samples";
}

}  // namespace kv318::sim
