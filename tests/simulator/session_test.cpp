// The transport-independent request loop: frames in, the board's answers
// out, and how a session ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>

#include "bench.h"
#include "channel_frame.h"
#include "session.h"

// Every allocation of this test program passes through here, so a test can
// see the largest single one made while it watches.  GCC takes the free()
// in the replaced operator delete for a mismatch once it inlines both.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<bool> g_watching{false};
std::atomic<std::size_t> g_largest{0};
}  // namespace

void* operator new(std::size_t n) {
    if (g_watching.load(std::memory_order_relaxed)) {
        std::size_t seen = g_largest.load(std::memory_order_relaxed);
        while (n > seen && !g_largest.compare_exchange_weak(seen, n, std::memory_order_relaxed)) {
        }
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace kv318::sim::test {
namespace {

// A stream that plays back prepared bytes and keeps what is written.
class MemoryStream final : public ByteStream {
public:
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> output;
    bool failWrites = false;
    // What a read inside a frame meets once the input runs out: the client
    // closed (Ended) or went silent past the deadline (TimedOut).
    IoResult atEnd = IoResult::Ended;
    IoResult writeResult = IoResult::Done;  // what every write meets
    bool sawDeadlineInsideFrame = false;    // a read after the first carried a deadline

    IoResult read_exact(std::uint8_t* data, std::size_t n, Deadline deadline) override {
        if (deadline != kNoDeadline) sawDeadlineInsideFrame = true;
        if (input.size() - pos_ < n) {
            pos_ = input.size();
            return deadline == kNoDeadline ? IoResult::Ended : atEnd;
        }
        std::copy(input.begin() + static_cast<std::ptrdiff_t>(pos_),
                  input.begin() + static_cast<std::ptrdiff_t>(pos_ + n), data);
        pos_ += n;
        return IoResult::Done;
    }
    IoResult write_all(const std::uint8_t* data, std::size_t n, Deadline) override {
        if (failWrites) return IoResult::Ended;
        if (writeResult != IoResult::Done) return writeResult;
        output.insert(output.end(), data, data + n);
        return IoResult::Done;
    }

    void add_frame(std::uint32_t code, const std::vector<std::uint8_t>& in, std::uint32_t outCap,
                   std::uint32_t announcedLen = 0xFFFFFFFF) {
        std::uint8_t h[kRequestHeaderSize];
        encode_request_header(
            h, {code, announcedLen == 0xFFFFFFFF ? static_cast<std::uint32_t>(in.size()) : announcedLen, outCap});
        input.insert(input.end(), h, h + sizeof h);
        input.insert(input.end(), in.begin(), in.end());
    }
    void add_command(std::uint8_t code, std::uint8_t reg, std::uint16_t value = 0) {
        std::uint8_t in[kCommandInputSize];
        const std::uint8_t values[4] = {reg, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                        0};
        build_command(in, code, kCommandReplyLength, values);
        add_frame(kIoctlCommand, {in, in + sizeof in}, kCommandReplySize);
    }

    // The replies written so far: status, then the bytes.
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> replies() const {
        std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> r;
        std::size_t p = 0;
        while (p + kReplyHeaderSize <= output.size()) {
            std::uint8_t h[kReplyHeaderSize];
            std::copy(output.begin() + static_cast<std::ptrdiff_t>(p),
                      output.begin() + static_cast<std::ptrdiff_t>(p + kReplyHeaderSize), h);
            const ReplyHeader rh = decode_reply_header(h);
            p += kReplyHeaderSize;
            EXPECT_LE(p + rh.count, output.size());
            r.emplace_back(rh.status,
                           std::vector<std::uint8_t>(output.begin() + static_cast<std::ptrdiff_t>(p),
                                                     output.begin() + static_cast<std::ptrdiff_t>(p + rh.count)));
            p += rh.count;
        }
        EXPECT_EQ(p, output.size()) << "nothing but whole replies";
        return r;
    }

private:
    std::size_t pos_ = 0;
};

TEST(Session, AnswersFramesInOrderAndKeepsStepAfterFailures) {
    Bench b;
    MemoryStream s;
    s.add_command(kCmdWrite16, 14, 0xCAFE);
    s.add_command(0x82, 14);  // unknown code: a failure reply
    s.add_command(kCmdRead16, 14);
    s.add_frame(kIoctlBulkRead, {0, 1, 0, 0, 0, 0, 0, 0}, 0xFFFFFFFF);  // more capacity than any reply needs
    const SessionSummary sum = serve_session(s, b.board);
    EXPECT_EQ(sum.end, SessionEnd::ClientClosed);
    EXPECT_EQ(sum.requests, 4u);
    EXPECT_EQ(sum.failed, 1u);
    const auto r = s.replies();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].first, 0u);
    EXPECT_EQ(r[0].second.size(), 8u);
    EXPECT_NE(r[1].first, 0u);
    EXPECT_TRUE(r[1].second.empty()) << "a failure carries no bytes";
    EXPECT_EQ(r[2].first, 0u);
    EXPECT_EQ(r[2].second, (std::vector<std::uint8_t>{0xFE, 0xCA, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r[3].first, 0u);
    EXPECT_TRUE(r[3].second.empty()) << "nothing converted, nothing read";
}

TEST(Session, EndsOnBrokenFramesWithoutAnswering) {
    const struct {
        const char* what;
        std::function<void(MemoryStream&)> build;
        SessionEnd end;
    } cases[] = {
        {"half a header",
         [](MemoryStream& s) {
             s.input = {0x0C, 0x20, 0x22, 0, 16};
         },
         SessionEnd::BrokenFrame},
        {"input cut short",
         [](MemoryStream& s) { s.add_frame(kIoctlCommand, std::vector<std::uint8_t>(10, 0x80), 64, 16); },
         SessionEnd::BrokenFrame},
        {"input over 1 MiB", [](MemoryStream& s) { s.add_frame(kIoctlCommand, {}, 64, kMaxChannelInput + 1); },
         SessionEnd::InputTooLong},
    };
    for (const auto& c : cases) {
        Bench b;
        MemoryStream s;
        c.build(s);
        const SessionSummary sum = serve_session(s, b.board);
        EXPECT_EQ(sum.end, c.end) << c.what;
        EXPECT_TRUE(s.output.empty()) << c.what;
        EXPECT_EQ(b.board.stats().requests, 0u) << c.what;
    }
}

TEST(Session, ASilentClientIsDroppedInsideAFrameOrBeforeTakingItsReply) {
    const struct {
        const char* what;
        IoResult atEnd, write;
        bool wholeFrame;
        SessionEnd end;
    } cases[] = {
        {"silent inside the header", IoResult::TimedOut, IoResult::Done, false, SessionEnd::FrameTimedOut},
        {"silent inside the input", IoResult::TimedOut, IoResult::Done, false, SessionEnd::FrameTimedOut},
        {"reply never taken", IoResult::Ended, IoResult::TimedOut, true, SessionEnd::ReplyTimedOut},
    };
    for (const auto& c : cases) {
        Bench b;
        MemoryStream s;
        s.atEnd = c.atEnd;
        s.writeResult = c.write;
        s.add_command(kCmdRead16, 14);
        if (!c.wholeFrame) s.input.resize(std::string(c.what).find("header") != std::string::npos ? 5 : 14);
        const SessionSummary sum = serve_session(s, b.board, SessionLimits{std::chrono::milliseconds(100)});
        EXPECT_EQ(sum.end, c.end) << c.what;
        EXPECT_TRUE(s.sawDeadlineInsideFrame) << c.what;
        EXPECT_EQ(b.board.stats().requests, c.wholeFrame ? 1u : 0u) << c.what;
        EXPECT_NE(std::string(session_end_text(c.end)).find("timeout"), std::string::npos) << c.what;
    }
    // With no timeout a frame may take as long as it likes.
    Bench b;
    MemoryStream s;
    s.add_command(kCmdRead16, 14);
    s.input.resize(5);
    EXPECT_EQ(serve_session(s, b.board, SessionLimits{std::chrono::milliseconds(0)}).end, SessionEnd::BrokenFrame);
    EXPECT_FALSE(s.sawDeadlineInsideFrame);
}

TEST(Session, TheInputBufferGrowsWithTheBytesThatArrive) {
    const struct {
        const char* what;
        std::size_t sent;     // payload bytes that arrive of the announced 1 MiB
        std::size_t largest;  // the largest allocation allowed meanwhile
        SessionEnd end;
    } cases[] = {
        {"a bare header", 0, 8 * 1024, SessionEnd::BrokenFrame},
        {"100 KiB of 1 MiB", 100 * 1024, 256 * 1024, SessionEnd::BrokenFrame},
        {"the whole MiB", kMaxChannelInput, kMaxChannelInput, SessionEnd::ClientClosed},
    };
    for (const auto& c : cases) {
        Bench b;
        MemoryStream s;
        s.add_frame(kIoctlBulkWrite, std::vector<std::uint8_t>(c.sent, 0x5A), 64, kMaxChannelInput);
        // A request after a whole frame must be read in step.
        if (c.sent == kMaxChannelInput) s.add_command(kCmdRead16, 14);
        g_largest.store(0);
        g_watching.store(true);
        const SessionSummary sum = serve_session(s, b.board);
        g_watching.store(false);
        EXPECT_EQ(sum.end, c.end) << c.what;
        EXPECT_LE(g_largest.load(), c.largest) << c.what;
        if (c.sent == kMaxChannelInput) {
            EXPECT_EQ(sum.requests, 2u) << c.what;
            const auto r = s.replies();
            ASSERT_EQ(r.size(), 2u) << c.what;
            EXPECT_EQ(r[1].first, 0u) << c.what << ": the next frame read in step";
        }
    }
}

TEST(Session, ScriptedDropAndDelayAndALostClient) {
    {
        Bench b;
        b.board.add_fault(FaultRule::on_command(kCmdRead16, FaultEffect::Drop, true));
        MemoryStream s;
        s.add_command(kCmdWrite16, 14, 1);
        s.add_command(kCmdRead16, 14);
        s.add_command(kCmdRead16, 14);
        const SessionSummary sum = serve_session(s, b.board);
        EXPECT_EQ(sum.end, SessionEnd::FaultDrop);
        EXPECT_EQ(s.replies().size(), 1u) << "the write answered, then the connection went";
    }
    {
        Bench b;
        b.board.add_fault(FaultRule::on_command(kCmdRead16, FaultEffect::Delay, true, 150));
        MemoryStream s;
        s.add_command(kCmdRead16, 14);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(serve_session(s, b.board).end, SessionEnd::ClientClosed);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
        EXPECT_EQ(s.replies().size(), 1u);
    }
    {
        Bench b;
        MemoryStream s;
        s.failWrites = true;
        s.add_command(kCmdRead16, 14);
        s.add_command(kCmdRead16, 14);
        const SessionSummary sum = serve_session(s, b.board);
        EXPECT_EQ(sum.end, SessionEnd::ReplyFailed);
        EXPECT_EQ(sum.requests, 1u);
    }
}

}  // namespace
}  // namespace kv318::sim::test
