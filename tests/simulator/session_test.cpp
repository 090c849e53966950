// The transport-independent request loop: frames in, the board's answers
// out, and how a session ends.
#include <gtest/gtest.h>

#include <chrono>

#include "bench.h"
#include "channel_frame.h"
#include "session.h"

namespace kv318::sim::test {
namespace {

// A stream that plays back prepared bytes and keeps what is written.
class MemoryStream final : public ByteStream {
public:
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> output;
    bool failWrites = false;

    bool read_exact(std::uint8_t* data, std::size_t n) override {
        if (input.size() - pos_ < n) {
            pos_ = input.size();
            return false;
        }
        std::copy(input.begin() + static_cast<std::ptrdiff_t>(pos_), input.begin() + static_cast<std::ptrdiff_t>(pos_ + n), data);
        pos_ += n;
        return true;
    }
    bool write_all(const std::uint8_t* data, std::size_t n) override {
        if (failWrites) return false;
        output.insert(output.end(), data, data + n);
        return true;
    }

    void add_frame(std::uint32_t code, const std::vector<std::uint8_t>& in, std::uint32_t outCap,
                   std::uint32_t announcedLen = 0xFFFFFFFF) {
        std::uint8_t h[kRequestHeaderSize];
        encode_request_header(h, {code, announcedLen == 0xFFFFFFFF ? static_cast<std::uint32_t>(in.size()) : announcedLen, outCap});
        input.insert(input.end(), h, h + sizeof h);
        input.insert(input.end(), in.begin(), in.end());
    }
    void add_command(std::uint8_t code, std::uint8_t reg, std::uint16_t value = 0) {
        std::uint8_t in[kCommandInputSize];
        const std::uint8_t values[4] = {reg, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8), 0};
        build_command(in, code, kCommandReplyLength, values);
        add_frame(kIoctlCommand, {in, in + sizeof in}, kCommandReplySize);
    }

    // The replies written so far: status, then the bytes.
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> replies() const {
        std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> r;
        std::size_t p = 0;
        while (p + kReplyHeaderSize <= output.size()) {
            std::uint8_t h[kReplyHeaderSize];
            std::copy(output.begin() + static_cast<std::ptrdiff_t>(p), output.begin() + static_cast<std::ptrdiff_t>(p + kReplyHeaderSize), h);
            const ReplyHeader rh = decode_reply_header(h);
            p += kReplyHeaderSize;
            EXPECT_LE(p + rh.count, output.size());
            r.emplace_back(rh.status, std::vector<std::uint8_t>(output.begin() + static_cast<std::ptrdiff_t>(p),
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
    const struct { const char* what; std::function<void(MemoryStream&)> build; SessionEnd end; } cases[] = {
        {"half a header", [](MemoryStream& s) { s.input = {0x0C, 0x20, 0x22, 0, 16}; }, SessionEnd::BrokenFrame},
        {"input cut short",
         [](MemoryStream& s) { s.add_frame(kIoctlCommand, std::vector<std::uint8_t>(10, 0x80), 64, 16); },
         SessionEnd::BrokenFrame},
        {"input over 1 MiB",
         [](MemoryStream& s) { s.add_frame(kIoctlCommand, {}, 64, kMaxChannelInput + 1); },
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
