// Device-level exports and register primitives, checked byte for byte
// through the recording device service.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KV318.h"
#include "recording_device.h"
#include "registers.h"
#include "requests.h"

namespace kv318::test {
namespace {

constexpr Handle kH = 0x7C;

// A string reply: each character one 16-bit unit, low byte first.
Reply string_reply(const std::string& s, std::size_t reportedBytes = std::string::npos, std::uint8_t high = 0) {
    std::vector<std::uint8_t> d;
    for (char ch : s) {
        d.push_back(static_cast<std::uint8_t>(ch));
        d.push_back(high);
    }
    if (reportedBytes != std::string::npos) d.resize(reportedBytes, 0);
    return Reply::bytes(d);
}

TEST(Device, OpenBuildsTheNameAndPassesTheHandle) {
    RecordingDevice dev;
    const struct {
        std::int32_t board;
        const char* name;
        Handle result;
    } cases[] = {{0, "\\\\.\\KV318Device0", 0x7C},
                 {3, "\\\\.\\KV318Device3", 0},
                 {12, "\\\\.\\KV318Device12", -1},
                 {-1, "\\\\.\\KV318Device-1", -1}};
    for (const auto& c : cases) {
        dev.clear();
        dev.set_open_result(c.result);
        EXPECT_EQ(KV318_OpenDevice(c.board), c.result);
        ASSERT_EQ(dev.opened().size(), 1u);
        EXPECT_EQ(dev.opened()[0], c.name);
    }
}

TEST(Device, CloseSkipsTheInvalidHandleAndReportsFailure) {
    RecordingDevice dev;
    EXPECT_EQ(KV318_CloseDevice(-1), 0);
    EXPECT_TRUE(dev.closed().empty());
    EXPECT_EQ(KV318_CloseDevice(kH), 0);
    dev.set_close_result(-1);
    EXPECT_EQ(KV318_CloseDevice(kH), -1);
    EXPECT_EQ(dev.closed(), (std::vector<Handle>{kH, kH}));
}

TEST(Device, RegisterPrimitivesSendEveryByte) {
    RecordingDevice dev;
    struct Case {
        const char* what;
        std::int32_t (*call)();
        std::vector<std::uint8_t> bytes;
        Reply reply;
        std::int32_t result;
    };
    const Case cases[] = {
        {"inb", [] { return KV318_inb(kH, 0x104); }, command_bytes(0x80, 0x04), register_reply(0xA7), 0xA7},
        {"inb failing", [] { return KV318_inb(kH, 0); }, command_bytes(0x80, 0), Reply::fail(), -1},
        {"inb short reply", [] { return KV318_inb(kH, 5); }, command_bytes(0x80, 5), Reply::bytes({}), 0},
        {"outb masks", [] { return KV318_outb(kH, 0x104, 0x1FF); }, command_bytes(0x90, 4, 0xFF), Reply::bytes({}), 0},
        {"outb failing", [] { return KV318_outb(kH, 9, 0x80); }, command_bytes(0x90, 9, 0x80), Reply::fail(), -1},
        {"read16", [] { return RegRead16(kH, 14); }, command_bytes(0x81, 14), register_reply(0xBEEF), 0xBEEF},
        {"read16 failing", [] { return RegRead16(kH, 14); }, command_bytes(0x81, 14), Reply::fail(), -1},
        {"write16", [] { return RegWrite16(kH, 6, 0x0FFF); }, command_bytes(0x91, 6, 0xFF, 0x0F), Reply::bytes({1}), 0},
        {"write16 failing", [] { return RegWrite16(kH, 6, 2); }, command_bytes(0x91, 6, 2, 0), Reply::fail(), -1},
        {"reset", [] { return KV318_ResetUSB(kH); }, command_bytes(0x8E), Reply::bytes({}), 0},
        {"reset failing", [] { return KV318_ResetUSB(kH); }, command_bytes(0x8E), Reply::fail(), -1},
    };
    for (const Case& c : cases) {
        dev.clear();
        dev.queue(c.reply);
        EXPECT_EQ(c.call(), c.result) << c.what;
        const auto reqs = dev.requests();
        ASSERT_EQ(reqs.size(), 1u) << c.what;
        EXPECT_EQ(reqs[0].handle, kH) << c.what;
        EXPECT_EQ(reqs[0].code, kIoctlCommand) << c.what;
        EXPECT_EQ(reqs[0].in, c.bytes) << c.what;
        EXPECT_EQ(reqs[0].outCap, 64u) << c.what;
    }
}

TEST(Device, ResetSleepsOneMillisecondEvenWhenItFails) {
    RecordingDevice dev;
    dev.queue(Reply::fail());
    EXPECT_EQ(ResetUsb(kH), -1);
    dev.queue(Reply::bytes({}));
    EXPECT_EQ(ResetUsb(kH), 0);
    EXPECT_EQ(dev.sleeps(), (std::vector<std::uint32_t>{1, 1}));
}

TEST(Device, ControlRequestCopiesOnlyTheReportedBytes) {
    RecordingDevice dev;
    std::uint8_t reply[64];
    std::memset(reply, 0xEE, sizeof reply);
    dev.queue(Reply::bytes({1, 2, 3}));
    ASSERT_EQ(ControlRequest(kH, 0x80, {1, 2, 3, 4}, reply, 8), 0);
    EXPECT_EQ(reply[2], 3);
    EXPECT_EQ(reply[3], 0xEE);
    dev.queue(Reply::bytes(std::vector<std::uint8_t>(200, 7)));  // cut at the 64-byte capacity
    ASSERT_EQ(ControlRequest(kH, 0x80, {0, 0, 0, 0}, reply, 8), 0);
    EXPECT_EQ(reply[63], 7);
}

TEST(Device, BulkReadMasksTheLengthAndOffersOneMoreByte) {
    RecordingDevice dev;
    const struct {
        std::int32_t length;
        std::uint32_t sent;
        std::size_t reply;
        std::int32_t result;
    } cases[] = {{70000, 4464, 4465, 4465},
                 {0, 0, 0, 0},
                 {1024, 1024, 100, 100},
                 {65535, 65535, 65536, 65536},
                 {16, 16, 40, 17}};  // a reply longer than the capacity is cut to it
    for (const auto& c : cases) {
        dev.clear();
        std::vector<std::uint8_t> data(c.reply);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
        dev.queue(Reply::bytes(data));
        std::vector<std::uint8_t> buffer((c.length & 0xFFFF) + 1 + 8, 0xEE);
        EXPECT_EQ(KV318_BulkRead(kH, buffer.data(), c.length), c.result) << c.length;
        const auto reqs = dev.requests();
        ASSERT_EQ(reqs.size(), 1u);
        EXPECT_EQ(reqs[0].code, kIoctlBulkRead);
        std::vector<std::uint8_t> want(8, 0);
        want[0] = static_cast<std::uint8_t>(c.sent & 0xFF);
        want[1] = static_cast<std::uint8_t>(c.sent >> 8);
        EXPECT_EQ(reqs[0].in, want) << c.length;
        EXPECT_EQ(reqs[0].outCap, c.sent + 1) << c.length;
        if (c.result > 0) {
            EXPECT_EQ(buffer[static_cast<std::size_t>(c.result) - 1], data[static_cast<std::size_t>(c.result) - 1]);
        }
        EXPECT_EQ(buffer[(c.length & 0xFFFF) + 1], 0xEE) << "nothing past the capacity";
    }
    dev.clear();
    dev.queue(Reply::fail());
    std::uint8_t small[9];
    EXPECT_EQ(KV318_BulkRead(kH, small, 8), -1);
    EXPECT_EQ(KV318_BulkRead(kH, nullptr, 8), -1);
    EXPECT_EQ(dev.request_count(), 1u) << "a NULL buffer issues no request";
}

TEST(Device, StringDescriptorTakesLowBytesOfHalfTheReportedLength) {
    RecordingDevice dev;
    const struct {
        Reply reply;
        const char* text;
    } cases[] = {
        {string_reply("ABCDEFGHIJ", 10), "ABCDE"},
        {string_reply("HELLO", 10, 0x4E), "HELLO"},          // high bytes are dropped
        {string_reply(std::string("AB\0CD", 5), 10), "AB"},  // a zero unit ends the text
        {string_reply("ABC", 5), "AB"},                      // an odd count rounds down
        {string_reply("", 0), ""},
        {string_reply(std::string(40, 'x')), "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},  // 64-byte capacity: 32 units
    };
    for (const auto& c : cases) {
        dev.clear();
        dev.queue(c.reply);
        char text[kStringTextSize];
        std::memset(text, 0x55, sizeof text);
        ASSERT_EQ(GetStringDescriptor(kH, text, 1), 0);
        EXPECT_STREQ(text, c.text);
        const auto reqs = dev.requests();
        ASSERT_EQ(reqs.size(), 1u);
        EXPECT_EQ(reqs[0].code, kIoctlStringDescriptor);
        std::vector<std::uint8_t> want(64, 0);
        want[0] = 1;
        EXPECT_EQ(reqs[0].in, want);
        EXPECT_EQ(reqs[0].outCap, 64u);
    }
    dev.queue(Reply::fail());
    char text[kStringTextSize] = "untouched";
    EXPECT_EQ(GetStringDescriptor(kH, text, 2), -1);
    EXPECT_STREQ(text, "untouched");
}

TEST(Device, InfoWritesSeventyBytesWithThreeSpaces) {
    RecordingDevice dev;
    char text[80];

    std::memset(text, 0x55, sizeof text);
    dev.queue(string_reply("KV318 maker"));
    dev.queue(string_reply("SN 42"));
    EXPECT_EQ(KV318_Info(kH, text), 0);
    EXPECT_STREQ(text, "KV318 maker   SN 42");
    EXPECT_EQ(text[69], 0);
    EXPECT_EQ(static_cast<std::uint8_t>(text[70]), 0x55) << "exactly 70 bytes are written";
    const auto reqs = dev.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].in[0], 1);
    EXPECT_EQ(reqs[1].in[0], 2);

    // Two 32-character strings: 67 characters, still terminated within 70.
    std::memset(text, 0x55, sizeof text);
    dev.queue(string_reply(std::string(32, 'a')));
    dev.queue(string_reply(std::string(32, 'b')));
    EXPECT_EQ(KV318_Info(kH, text), 0);
    EXPECT_EQ(std::string(text), std::string(32, 'a') + "   " + std::string(32, 'b'));

    // String 2 fails: string 1 and the three spaces, result -1.
    std::memset(text, 0x55, sizeof text);
    dev.queue(string_reply("ONE"));
    dev.queue(Reply::fail());
    EXPECT_EQ(KV318_Info(kH, text), -1);
    EXPECT_STREQ(text, "ONE   ");
    EXPECT_EQ(static_cast<std::uint8_t>(text[70]), 0x55);

    // String 1 fails: nothing is written and string 2 is never asked for.
    dev.clear();
    std::memset(text, 0x55, sizeof text);
    dev.queue(Reply::fail());
    EXPECT_EQ(KV318_Info(kH, text), -1);
    EXPECT_EQ(static_cast<std::uint8_t>(text[0]), 0x55);
    EXPECT_EQ(dev.request_count(), 1u);

    // A NULL text pointer issues no request.
    dev.clear();
    EXPECT_EQ(KV318_Info(kH, nullptr), -1);
    EXPECT_EQ(dev.request_count(), 0u);
}

}  // namespace
}  // namespace kv318::test
