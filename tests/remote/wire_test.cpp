// The bytes kv318-server and its clients exchange: sample blocks and
// control messages, including what a hostile or broken peer may send.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bytes.h"
#include "wire.h"

namespace kv318::remote {
namespace {

TEST(Block, EncodesEveryFieldAtItsOffsetAndReadsItBack) {
    BlockHeader h;
    h.board = 0x0102;
    h.stream = 0x03040506;
    h.firstIndex = 0x1122334455667788ull;
    h.count = 3;
    h.flags = kFlagGap | kFlagEndOfStream;
    h.clockHz = 26'000'000;
    h.divider = 2;
    h.hostTimeUs = -5;
    const std::int16_t samples[3] = {-32768, 1, 32767};
    const std::vector<std::uint8_t> b = encode_block(h, samples);
    ASSERT_EQ(b.size(), kBlockHeaderBytes + 6);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "KVSB");
    const struct {
        std::size_t offset;
        std::uint64_t value;
        int bytes;
    } fields[] = {{4, kProtocolVersion, 2},
                  {6, 0x0102, 2},
                  {8, kBlockHeaderBytes, 2},
                  {10, 0, 2},
                  {12, 0x03040506, 4},
                  {16, 0x1122334455667788ull, 8},
                  {24, 3, 4},
                  {28, 0x11, 4},
                  {32, 26'000'000, 8},
                  {40, 2, 4},
                  {44, 0, 4},
                  {48, ~0ull - 4, 8}};
    for (const auto& f : fields) {
        const std::uint64_t got = f.bytes == 2   ? get_u16le(b.data() + f.offset)
                                  : f.bytes == 4 ? get_u32le(b.data() + f.offset)
                                                 : get_u64le(b.data() + f.offset);
        EXPECT_EQ(got, f.value) << "offset " << f.offset;
    }
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 56, b.end()),
              (std::vector<std::uint8_t>{0x00, 0x80, 0x01, 0x00, 0xFF, 0x7F}));
    EXPECT_EQ(block_topic(0x0102), std::string(b.begin(), b.begin() + kBlockTopicBytes));

    BlockHeader back;
    const std::uint8_t* s = nullptr;
    std::string error;
    ASSERT_TRUE(decode_block(b.data(), b.size(), &back, &s, &error)) << error;
    EXPECT_EQ(back.board, h.board);
    EXPECT_EQ(back.stream, h.stream);
    EXPECT_EQ(back.firstIndex, h.firstIndex);
    EXPECT_EQ(back.count, h.count);
    EXPECT_EQ(back.flags, h.flags);
    EXPECT_EQ(back.clockHz, h.clockHz);
    EXPECT_EQ(back.divider, h.divider);
    EXPECT_EQ(back.hostTimeUs, h.hostTimeUs);
    EXPECT_EQ(get_s16le(s), -32768);
    EXPECT_EQ(get_s16le(s + 4), 32767);
}

TEST(Block, RefusesWhatIsNotAWholeBlockOfThisVersion) {
    BlockHeader h;
    h.count = 2;
    const std::int16_t samples[2] = {7, 8};
    const std::vector<std::uint8_t> good = encode_block(h, samples);
    // A later version's longer header: the samples start where it says.
    std::vector<std::uint8_t> grown(good.begin(), good.begin() + kBlockHeaderBytes);
    grown.insert(grown.end(), 8, 0xEE);
    grown.insert(grown.end(), good.begin() + kBlockHeaderBytes, good.end());
    put_u16le(grown.data() + 8, kBlockHeaderBytes + 8);
    const auto edited = [&](std::size_t at, std::uint8_t v) {
        std::vector<std::uint8_t> b = good;
        b[at] = v;
        return b;
    };
    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        bool ok;
    } cases[] = {
        {"whole", good, true},
        {"grown header", grown, true},
        {"empty", {}, false},
        {"header only", std::vector<std::uint8_t>(good.begin(), good.begin() + kBlockHeaderBytes), false},
        {"one byte short", std::vector<std::uint8_t>(good.begin(), good.end() - 1), false},
        {"one byte long",
         [&] {
             auto b = good;
             b.push_back(0);
             return b;
         }(),
         false},
        {"magic", edited(0, 'X'), false},
        {"version", edited(4, kProtocolVersion + 1), false},
        {"header size short", edited(8, kBlockHeaderBytes - 2), false},
        {"header size past end", edited(9, 0xFF), false},
        {"count too big", edited(27, 0x80), false},
        // Twice 2^31 is 0 in 32 bits: no samples must not pass for that many.
        {"count of 2^31, no samples",
         [&] {
             std::vector<std::uint8_t> b(good.begin(), good.begin() + kBlockHeaderBytes);
             put_u32le(b.data() + 24, 0x80000000u);
             return b;
         }(),
         false},
    };
    for (const auto& c : cases) {
        BlockHeader out;
        const std::uint8_t* s = nullptr;
        std::string error;
        const bool ok = decode_block(c.bytes.data(), c.bytes.size(), &out, &s, &error);
        EXPECT_EQ(ok, c.ok) << c.what << ": " << error;
        if (ok) {
            EXPECT_EQ(get_s16le(s), 7) << c.what;
            EXPECT_EQ(get_s16le(s + 2), 8) << c.what;
        } else {
            EXPECT_FALSE(error.empty()) << c.what;
        }
    }
}

TEST(Control, RequestsAndRepliesRoundTripAnyText) {
    Message m;
    m.word = "info";
    m.set("client", "kv318-cli.42@bench").set("board", 3).set("text", "a b=c%d\xC3\xA9\n");
    const std::string wire = encode_request(m);
    EXPECT_EQ(wire, "kv318/1 info client=kv318-cli.42@bench board=3 text=a%20b%3Dc%25d%C3%A9%0A");
    Message back;
    std::string code, text;
    ASSERT_TRUE(parse_request(wire, &back, &code, &text)) << text;
    EXPECT_EQ(back.word, "info");
    EXPECT_EQ(*back.find("text"), "a b=c%d\xC3\xA9\n");
    std::int64_t board = 0;
    EXPECT_TRUE(back.get_int("board", 0, 65535, &board));
    EXPECT_EQ(board, 3);

    Message reply = error_reply(code::kControlled, "board 0 is controlled by x");
    reply.set("controller", "x");
    Message replyBack;
    std::string error;
    ASSERT_TRUE(parse_reply(encode_reply(reply), &replyBack, &error)) << error;
    EXPECT_EQ(replyBack.word, "error");
    EXPECT_EQ(*replyBack.find("code"), "controlled");
    EXPECT_EQ(*replyBack.find("text"), "board 0 is controlled by x");
    EXPECT_TRUE(parse_reply("ok", &replyBack, &error));
    EXPECT_TRUE(replyBack.fields.empty());
}

TEST(Control, RefusesMalformedRequestsWithACodeAndAReason) {
    const struct {
        std::string text;
        const char* code;
    } cases[] = {
        {"", code::kMalformed},
        {"kv318/1", code::kMalformed},
        {"kv318/1 ", code::kMalformed},
        {"kv318/1  ping", code::kMalformed},
        {"kv318/1 ping ", code::kMalformed},
        {"hello kv318/1 ping", code::kMalformed},
        {"kv318/2 ping client=a", code::kVersion},
        {"kv318/1 PING client=a", code::kMalformed},
        {"kv318/1 ping client", code::kMalformed},
        {"kv318/1 ping client=a client=b", code::kMalformed},
        {"kv318/1 ping client=%4", code::kMalformed},
        {"kv318/1 ping client=%G0", code::kMalformed},
        {"kv318/1 ping client=a\tb", code::kMalformed},
        {"kv318/1 ping client=a\"b", code::kMalformed},
        {"kv318/1 ping Client=a", code::kMalformed},
        {"kv318/1 ping client=" + std::string(kMaxMessageBytes, 'a'), code::kMalformed},
        {std::string("kv318/1 ping client=a\0b", 23), code::kMalformed},
    };
    for (const auto& c : cases) {
        Message m;
        std::string code, text;
        EXPECT_FALSE(parse_request(c.text, &m, &code, &text)) << c.text.substr(0, 60);
        EXPECT_EQ(code, c.code) << c.text.substr(0, 60);
        EXPECT_FALSE(text.empty()) << c.text.substr(0, 60);
    }
}

TEST(Control, IntegersAreReadWithinTheirRangeOnly) {
    const struct {
        const char* value;
        std::int64_t lo, hi;
        bool ok;
        std::int64_t want;
    } cases[] = {
        {"0", 0, 10, true, 0},
        {"-1", -5, 5, true, -1},
        {"10", 0, 10, true, 10},
        {"11", 0, 10, false, 0},
        {"-6", -5, 5, false, 0},
        {"", 0, 10, false, 0},
        {"-", -5, 5, false, 0},
        {"1x", 0, 10, false, 0},
        {"+1", 0, 10, false, 0},
        {"9223372036854775807", 0, INT64_MAX, true, INT64_MAX},
        {"9223372036854775808", 0, INT64_MAX, false, 0},
        {"99999999999999999999", 0, INT64_MAX, false, 0},
        {"-9223372036854775807", INT64_MIN, 0, true, -INT64_MAX},
    };
    for (const auto& c : cases) {
        Message m;
        m.set("n", c.value);
        std::int64_t got = 0;
        EXPECT_EQ(m.get_int("n", c.lo, c.hi, &got), c.ok) << c.value;
        if (c.ok) {
            EXPECT_EQ(got, c.want) << c.value;
        }
    }
    std::int64_t got = 0;
    EXPECT_FALSE(Message{}.get_int("n", 0, 1, &got));
}

TEST(Control, DataUrlIsTheNextPortOrTheIpcSocketBeside) {
    const struct {
        const char* control;
        const char* data;
    } cases[] = {
        {"tcp://127.0.0.1:6318", "tcp://127.0.0.1:6319"},
        {"tcp://bench3.lab:7000", "tcp://bench3.lab:7001"},
        {"tcp://[::1]:6318", "tcp://[::1]:6319"},
        {"ipc:///run/kv318/server", "ipc:///run/kv318/server.data"},
        {"tcp://host:65535", ""},
        {"tcp://host:0", ""},
        {"tcp://host:", ""},
        {"tcp://host", ""},
        {"tcp://host:12x", ""},
        {"udp://host:6318", ""},
        {"ipc://", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(data_url(c.control), c.data) << c.control;
}

}  // namespace
}  // namespace kv318::remote
