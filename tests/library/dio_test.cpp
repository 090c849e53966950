// Digital I/O, counter and pulse exports: their register sequences and results.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "KV318.h"
#include "recording_device.h"
#include "requests.h"

namespace kv318::test {
namespace {

constexpr Handle kH = 5;

// A board whose registers answer from a table; a register missing from the
// table fails its read, and writes fail when `failWrites` is set.
struct RegisterBoard {
    std::map<std::uint8_t, std::uint32_t> values;
    bool failWrites = false;

    void install(RecordingDevice& dev) {
        dev.set_handler([this](const Request& r) {
            CommandRequest c{};
            if (!parse_command(r.in.data(), r.in.size(), &c)) return Reply::fail();
            if (c.code == kCmdRead8 || c.code == kCmdRead16) {
                auto it = values.find(c.values[0]);
                return it == values.end() ? Reply::fail() : register_reply(it->second);
            }
            return failWrites ? Reply::fail() : Reply::bytes({});
        });
    }
};

TEST(DigitalIo, InputsAreOne16BitReadMaskedTo16Bits) {
    RecordingDevice dev;
    RegisterBoard board;
    board.install(dev);
    board.values[14] = 0xA5;
    EXPECT_EQ(KV318_DI(kH), 0xA5);
    board.values[14] = 0xFFFF;
    EXPECT_EQ(KV318_DI(kH), 65535);
    board.values.clear();
    EXPECT_EQ(KV318_DI(kH), 65535) << "a failed read looks like all inputs high";
    EXPECT_EQ(register_ops(dev.requests()), (std::vector<RegOp>{{0x81, 14, 0}, {0x81, 14, 0}, {0x81, 14, 0}}));
}

TEST(DigitalIo, OutputsSendOnly16Bits) {
    RecordingDevice dev;
    RegisterBoard board;
    board.install(dev);
    const struct {
        std::int32_t value;
        std::uint32_t sent;
    } cases[] = {{0x12345, 0x2345}, {0, 0}, {0xFFFF, 0xFFFF}, {-1, 0xFFFF}, {0x10000, 0}};
    for (const auto& c : cases) {
        dev.clear();
        EXPECT_EQ(KV318_DO(kH, c.value), 0);
        EXPECT_EQ(register_ops(dev.requests()), (std::vector<RegOp>{{0x91, 14, c.sent}})) << c.value;
    }
    ASSERT_EQ(dev.requests()[0].in, command_bytes(0x91, 14, 0x00, 0x00));
    dev.clear();
    KV318_DO(kH, 0x12345);
    EXPECT_EQ(dev.requests()[0].in, command_bytes(0x91, 14, 0x45, 0x23));
    board.failWrites = true;
    EXPECT_EQ(KV318_DO(kH, 1), -1);
}

TEST(Counter, RunWritesZeroToRegister8) {
    RecordingDevice dev;
    RegisterBoard board;
    board.install(dev);
    EXPECT_EQ(KV318_CRun(kH), 0);
    EXPECT_EQ(dev.requests()[0].in, command_bytes(0x90, 8, 0));
    board.failWrites = true;
    EXPECT_EQ(KV318_CRun(kH), -1);
}

TEST(Counter, ReadTakesBothBytesOnlyWhileTheCountIsValid) {
    RecordingDevice dev;
    RegisterBoard board;
    board.install(dev);
    struct Case {
        std::map<std::uint8_t, std::uint32_t> regs;
        std::int32_t result;
        std::vector<RegOp> ops;
    };
    const std::vector<RegOp> all = {{0x80, 8, 0}, {0x80, 6, 0}, {0x80, 7, 0}};
    const Case cases[] = {
        {{{8, 0x00}, {6, 0x34}, {7, 0x12}}, 4660, all},
        {{{8, 0xFE}, {6, 0xFF}, {7, 0xFF}}, 65535, all},
        {{{8, 0x01}, {6, 0x34}, {7, 0x12}}, -1, {{0x80, 8, 0}}},  // bit 0: neither byte is read
        {{{6, 0x34}, {7, 0x12}}, -1, {{0x80, 8, 0}}},             // failed state read
        {{{8, 0x00}, {7, 0x12}}, 0x12FF, all},                    // a failed byte counts as 0xFF
        {{{8, 0x00}, {6, 0x34}}, 0xFF34, all},
    };
    for (const Case& c : cases) {
        dev.clear();
        board.values = c.regs;
        EXPECT_EQ(KV318_CRead(kH), c.result);
        EXPECT_EQ(register_ops(dev.requests()), c.ops);
    }
}

TEST(Pulse, RunBuildsTheControlByteAndClampsTheDivisor) {
    RecordingDevice dev;
    RegisterBoard board;
    board.install(dev);
    struct Case {
        bool stateReadFails;
        std::uint32_t state;
        std::int32_t mode, divisor;
        std::uint32_t control, sentDivisor;
    };
    const Case cases[] = {
        {false, 0x41, 0, 2, 0x81, 2},  // mode 0 clears bit 6, keeps bits 0-5
        {false, 0x00, 0, 1, 0x80, 2},     {false, 0x00, 5, 1000, 0xC0, 255},
        {false, 0x3F, 1, 256, 0xFF, 255},  // 256 becomes 255, not 0
        {false, 0x80, 0, -7, 0x80, 2},    {false, 0x12, -1, 255, 0xD2, 255},
        {true, 0, 0, 100, 0xBF, 100},  // failed state read is taken as 0xFF
        {true, 0, 3, 100, 0xFF, 100},
    };
    for (const Case& c : cases) {
        dev.clear();
        board.values.clear();
        if (!c.stateReadFails) board.values[8] = c.state;
        EXPECT_EQ(KV318_PRun(kH, c.mode, c.divisor), 0);
        EXPECT_EQ(register_ops(dev.requests()),
                  (std::vector<RegOp>{{0x80, 8, 0}, {0x90, 9, c.control}, {0x90, 10, c.sentDivisor}}))
            << "state " << c.state << " mode " << c.mode << " divisor " << c.divisor;
    }
}

TEST(Pulse, RunWritesTheDivisorEvenWhenTheControlWriteFails) {
    RecordingDevice dev;
    dev.queue(register_reply(0x00));  // state
    dev.queue(Reply::fail());         // control write
    dev.queue(Reply::bytes({}));      // divisor write
    EXPECT_EQ(KV318_PRun(kH, 0, 2), 0);
    EXPECT_EQ(dev.request_count(), 3u);
    dev.queue(register_reply(0x00));
    dev.queue(Reply::bytes({}));
    dev.queue(Reply::fail());
    EXPECT_EQ(KV318_PRun(kH, 0, 2), -1) << "the result is the divisor write's";
}

TEST(Pulse, StopClearsOnlyTheRunBit) {
    RecordingDevice dev;
    RegisterBoard board;
    board.install(dev);
    const struct {
        bool fails;
        std::uint32_t state, control;
    } cases[] = {{false, 0x41, 0x41}, {false, 0xC1, 0x41}, {false, 0xFF, 0x7F}, {true, 0, 0x7F}};
    for (const auto& c : cases) {
        dev.clear();
        board.values.clear();
        if (!c.fails) board.values[8] = c.state;
        EXPECT_EQ(KV318_PStop(kH), 0);
        EXPECT_EQ(register_ops(dev.requests()), (std::vector<RegOp>{{0x80, 8, 0}, {0x90, 9, c.control}}));
    }
    board.failWrites = true;
    EXPECT_EQ(KV318_PStop(kH), -1);
}

}  // namespace
}  // namespace kv318::test
