// Byte helpers, request builders and their driver-side parsers.
#include <gtest/gtest.h>

#include <vector>

#include "bytes.h"
#include "channel_frame.h"
#include "request_builders.h"
#include "requests.h"

namespace kv318 {
namespace {

TEST(Bytes, LittleEndianRoundTrip) {
    std::uint8_t b[4];
    put_u32le(b, 0x12345678u);
    EXPECT_EQ((std::vector<std::uint8_t>(b, b + 4)), (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(get_u32le(b), 0x12345678u);
    put_u16le(b, 0xBEEF);
    EXPECT_EQ(b[0], 0xEF);
    EXPECT_EQ(b[1], 0xBE);
    EXPECT_EQ(get_u16le(b), 0xBEEF);
    std::uint8_t w[8];
    put_u64le(w, 0x0102030405060708ull);
    EXPECT_EQ((std::vector<std::uint8_t>(w, w + 8)), (std::vector<std::uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(get_u64le(w), 0x0102030405060708ull);
    put_u64le(w, ~0ull);
    EXPECT_EQ(get_u64le(w), ~0ull);
    const struct {
        std::uint8_t lo, hi;
        std::int32_t v;
    } samples[] = {{0x34, 0x12, 4660}, {0xFF, 0xFF, -1}, {0x00, 0x80, -32768}, {0xFF, 0x7F, 32767}};
    for (const auto& s : samples) {
        const std::uint8_t p[2] = {s.lo, s.hi};
        EXPECT_EQ(get_s16le(p), s.v);
    }
}

TEST(Requests, CodesFollowTheDriversFamily) {
    EXPECT_EQ(kIoctlBulkRead, 0x222000u);
    EXPECT_EQ(kIoctlBulkWrite, 0x222004u);
    EXPECT_EQ(kIoctlStringDescriptor, 0x222008u);
    EXPECT_EQ(kIoctlCommand, 0x22200Cu);
    EXPECT_EQ(kIoctlCommandPayload, 0x222010u);
}

TEST(Requests, BulkReadMasksLengthTo16Bits) {
    const struct {
        std::int32_t length;
        std::uint32_t sent;
    } cases[] = {{0, 0}, {1, 1}, {16384, 16384}, {65535, 65535}, {65536, 0}, {70000, 4464}, {-1, 65535}};
    for (const auto& c : cases) {
        std::uint8_t in[kBulkReadInputSize];
        std::fill(std::begin(in), std::end(in), 0xCC);
        EXPECT_EQ(build_bulk_read(in, c.length), c.sent + 1) << c.length;
        std::uint8_t want[8] = {};
        put_u32le(want, c.sent);
        EXPECT_EQ(std::vector<std::uint8_t>(in, in + 8), std::vector<std::uint8_t>(want, want + 8)) << c.length;
        std::uint32_t parsed = 0;
        EXPECT_TRUE(parse_bulk_read(in, sizeof in, &parsed));
        EXPECT_EQ(parsed, c.sent);
    }
}

TEST(Requests, BulkWriteLayoutAndLengthChecks) {
    std::vector<std::uint8_t> area(kBulkWriteAreaSize, 0xCC);
    const std::uint8_t payload[3] = {0xA1, 0xB2, 0xC3};
    ASSERT_EQ(build_bulk_write(area.data(), payload, 3), 11);
    EXPECT_EQ(std::vector<std::uint8_t>(area.begin(), area.begin() + 11),
              (std::vector<std::uint8_t>{3, 0, 0, 0, 0xA1, 0xB2, 0xC3, 0, 0, 0, 0}));
    BulkWriteRequest req{};
    ASSERT_TRUE(parse_bulk_write(area.data(), 11, &req));
    EXPECT_EQ(req.length, 3u);
    EXPECT_EQ(req.payload[2], 0xC3);

    std::vector<std::uint8_t> big(16384, 0x5A);
    ASSERT_EQ(build_bulk_write(area.data(), big.data(), 16384), 16392);
    EXPECT_EQ(area[0], 0x00);
    EXPECT_EQ(area[1], 0x40);
    EXPECT_EQ(area[4 + 16383], 0x5A);

    EXPECT_EQ(build_bulk_write(area.data(), big.data(), 16385), kLengthTooLong);
    EXPECT_EQ(build_bulk_write(area.data(), big.data(), -1), kLengthNegative);
    EXPECT_EQ(build_bulk_write(area.data(), nullptr, 4), -1);
    EXPECT_EQ(build_bulk_write(area.data(), nullptr, 0), 8);
    EXPECT_FALSE(parse_bulk_write(area.data(), 9, &req));  // length 0 but 9 bytes
}

TEST(Requests, StringAndCommandLayouts) {
    std::uint8_t s[kStringRequestSize];
    std::fill(std::begin(s), std::end(s), 0xCC);
    build_string_request(s, 2);
    std::vector<std::uint8_t> want(64, 0);
    want[0] = 2;
    EXPECT_EQ(std::vector<std::uint8_t>(s, s + 64), want);

    std::uint8_t c[kCommandInputSize];
    std::fill(std::begin(c), std::end(c), 0xCC);
    build_command(c, kCmdWrite16, 8, {14, 0x45, 0x23, 0x99});
    EXPECT_EQ(std::vector<std::uint8_t>(c, c + 16),
              (std::vector<std::uint8_t>{0x91, 8, 14, 0x45, 0x23, 0x99, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    CommandRequest parsed{};
    ASSERT_TRUE(parse_command(c, sizeof c, &parsed));
    EXPECT_EQ(parsed.code, 0x91);
    EXPECT_EQ(parsed.values[1], 0x45);
    EXPECT_FALSE(parse_command(c, 15, &parsed));
}

TEST(Requests, CommandWithPayloadLayoutAndLengthChecks) {
    std::uint8_t in[kPayloadInputSize];
    std::vector<std::uint8_t> payload(74);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i + 1);
    std::fill(std::begin(in), std::end(in), 0xCC);
    ASSERT_EQ(build_command_payload(in, 0x42, {1, 2, 3, 4}, payload.data(), 74), 80);
    EXPECT_EQ(in[0], 0x42);
    EXPECT_EQ(in[1], 74);
    EXPECT_EQ(in[2], 1);
    EXPECT_EQ(in[5], 4);
    EXPECT_EQ(in[6], 1);
    EXPECT_EQ(in[79], 74);

    std::fill(std::begin(in), std::end(in), 0xCC);
    ASSERT_EQ(build_command_payload(in, 0x42, {0, 0, 0, 0}, payload.data(), 2), 80);
    EXPECT_EQ(in[8], 0);  // the unused tail is zero
    EXPECT_EQ(in[79], 0);
    PayloadCommandRequest parsed{};
    ASSERT_TRUE(parse_command_payload(in, sizeof in, &parsed));
    EXPECT_EQ(parsed.length, 2);
    EXPECT_EQ(parsed.payload[1], 2);

    EXPECT_EQ(build_command_payload(in, 0x42, {0, 0, 0, 0}, payload.data(), 75), kLengthTooLong);
    EXPECT_EQ(build_command_payload(in, 0x42, {0, 0, 0, 0}, payload.data(), -5), kLengthNegative);
    EXPECT_EQ(build_command_payload(in, 0x42, {0, 0, 0, 0}, nullptr, 1), -1);
}

TEST(ChannelFrame, HeadersAndDeviceNames) {
    std::uint8_t h[kRequestHeaderSize];
    encode_request_header(h, {0x22200C, 16, 64});
    EXPECT_EQ(std::vector<std::uint8_t>(h, h + 12),
              (std::vector<std::uint8_t>{0x0C, 0x20, 0x22, 0, 16, 0, 0, 0, 64, 0, 0, 0}));
    const RequestHeader r = decode_request_header(h);
    EXPECT_EQ(r.code, 0x22200Cu);
    EXPECT_EQ(r.outCap, 64u);
    std::uint8_t rh[kReplyHeaderSize];
    encode_reply_header(rh, {1, 0});
    EXPECT_EQ(decode_reply_header(rh).status, 1u);

    char name[kDeviceNameSize];
    format_device_name(name, 3);
    EXPECT_STREQ(name, "\\\\.\\KV318Device3");
    EXPECT_STREQ(channel_endpoint_name(name), "KV318Device3");
    EXPECT_STREQ(channel_endpoint_name("KV318Device9"), "KV318Device9");
}

}  // namespace
}  // namespace kv318
