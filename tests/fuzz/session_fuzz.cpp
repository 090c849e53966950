// The simulator's request loop fed arbitrary client byte streams.
//
// Input: one set-up byte, then the bytes a client sends.
//   bits 0-1  a scripted fault: none, fail the first request, fail every
//             command, drop the connection at the first bulk read
//   bit 2     the FIFO stalls
//   bit 3     bulk replies are capped at 3 bytes (splits samples)
//   bits 4-7  how far the board's clock moves per read, in 64 us steps
//
// Besides what the sanitizers catch, every run checks the loop against a
// plain walk over the same frames: the session ends for the reason the
// bytes give, answers each whole frame with exactly one reply, and no
// reply carries more than the capacity its request offered.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "board.h"
#include "channel_frame.h"
#include "faults.h"
#include "fuzz_check.h"
#include "requests.h"
#include "session.h"

namespace {

using namespace kv318;
using namespace kv318::sim;

// Plays back the client's bytes; every read moves the board's clock on, so
// the converter fills the FIFO as a session goes.
class PlaybackStream final : public ByteStream {
public:
    PlaybackStream(const std::uint8_t* data, std::size_t size, ManualClock& clock, std::uint64_t stepNs)
        : data_(data), size_(size), clock_(clock), stepNs_(stepNs) {}

    // A playback never waits, so it never times out: short input ends it.
    IoResult read_exact(std::uint8_t* out, std::size_t n, Deadline) override {
        clock_.advance_ns(stepNs_);
        if (size_ - pos_ < n) {
            pos_ = size_;
            return IoResult::Ended;
        }
        std::copy(data_ + pos_, data_ + pos_ + n, out);
        pos_ += n;
        return IoResult::Done;
    }
    IoResult write_all(const std::uint8_t* bytes, std::size_t n, Deadline) override {
        written.insert(written.end(), bytes, bytes + n);
        return IoResult::Done;
    }

    std::vector<std::uint8_t> written;

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    ManualClock& clock_;
    std::uint64_t stepNs_;
};

// What the bytes say the session must do, worked out by walking the frames.
struct Expected {
    SessionEnd end = SessionEnd::ClientClosed;
    std::vector<std::uint32_t> capacities;  // per whole frame, as the loop caps it
};

Expected walk(const std::uint8_t* data, std::size_t size) {
    Expected e;
    std::size_t pos = 0;
    for (;;) {
        if (pos == size) {
            e.end = SessionEnd::ClientClosed;
            return e;
        }
        if (size - pos < kRequestHeaderSize) {
            e.end = SessionEnd::BrokenFrame;
            return e;
        }
        std::uint8_t h[kRequestHeaderSize];
        std::copy(data + pos, data + pos + kRequestHeaderSize, h);
        const RequestHeader r = decode_request_header(h);
        if (r.inLen > kMaxChannelInput) {
            e.end = SessionEnd::InputTooLong;
            return e;
        }
        if (size - pos - kRequestHeaderSize < r.inLen) {
            e.end = SessionEnd::BrokenFrame;
            return e;
        }
        e.capacities.push_back(std::min(r.outCap, kMaxReplyBytes));
        pos += kRequestHeaderSize + r.inLen;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t setup = data[0];
    ++data;
    --size;

    ManualClock clock;
    BoardConfig config;
    config.signal.kind = SignalKind::Ramp;
    Board board(config, clock);
    const int fault = setup & 3;
    if (fault == 1) board.add_fault(FaultRule::on_any(FaultEffect::Fail, true));
    if (fault == 2) board.add_fault(FaultRule::on_request(kIoctlCommand, FaultEffect::Fail, false));
    if (fault == 3) board.add_fault(FaultRule::on_request(kIoctlBulkRead, FaultEffect::Drop, true));
    board.set_fifo_stall((setup & 4) != 0);
    if ((setup & 8) != 0) board.set_bulk_reply_limit(3);

    PlaybackStream stream(data, size, clock, static_cast<std::uint64_t>(setup >> 4) * 64'000);
    const SessionSummary summary = serve_session(stream, board);
    const Expected expected = walk(data, size);

    // The replies: whole frames back to back, nothing else.
    std::vector<std::uint32_t> counts;
    std::uint64_t failures = 0;
    std::size_t pos = 0;
    const std::vector<std::uint8_t>& out = stream.written;
    while (pos < out.size()) {
        KV318_FUZZ_CHECK(out.size() - pos >= kReplyHeaderSize, "a reply header cut short");
        std::uint8_t h[kReplyHeaderSize];
        std::copy(out.begin() + static_cast<std::ptrdiff_t>(pos),
                  out.begin() + static_cast<std::ptrdiff_t>(pos + kReplyHeaderSize), h);
        const ReplyHeader r = decode_reply_header(h);
        KV318_FUZZ_CHECK(r.status == 0 || r.status == 1, "a reply status other than 0 or 1");
        KV318_FUZZ_CHECK(r.status == 0 || r.count == 0, "bytes in a failure reply");
        pos += kReplyHeaderSize;
        KV318_FUZZ_CHECK(out.size() - pos >= r.count, "a reply shorter than its count");
        pos += r.count;
        counts.push_back(r.count);
        if (r.status != 0) ++failures;
    }

    KV318_FUZZ_CHECK(summary.failed == failures, "failure count differs from the failure replies");
    if (summary.end == SessionEnd::FaultDrop) {
        // Only the drop rule ends a session this way, at a whole frame, and
        // that frame gets no reply.
        KV318_FUZZ_CHECK(fault == 3, "a drop no rule asked for");
        KV318_FUZZ_CHECK(summary.requests >= 1 && summary.requests <= expected.capacities.size(),
                         "a drop outside the frames sent");
        KV318_FUZZ_CHECK(counts.size() == summary.requests - 1, "a reply to the dropped request");
    } else {
        KV318_FUZZ_CHECK(summary.end == expected.end, "the session ended for another reason than the bytes give");
        KV318_FUZZ_CHECK(summary.requests == expected.capacities.size(), "requests served != whole frames");
        KV318_FUZZ_CHECK(counts.size() == expected.capacities.size(), "replies != whole frames");
    }
    for (std::size_t i = 0; i < counts.size(); ++i)
        KV318_FUZZ_CHECK(counts[i] <= expected.capacities[i], "a reply over the capacity offered");
    return 0;
}
