// Starting acquisition: the shared start sequence byte for byte, its
// failures, the timer start and its three failure texts, and the refusals
// that keep one stream and one mode at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KV318.h"
#include "acquisition.h"
#include "board_model.h"
#include "manual_timer.h"
#include "recording_device.h"

namespace kv318::test {
namespace {

constexpr Handle kH = 0x3C;

class Start : public ::testing::Test {
protected:
    void TearDown() override { KV318_StopAD(kH); }

    RecordingDevice dev;
    BoardModel board{dev};
    ManualTimer timer;
};

struct Mode {
    const char* name;
    decltype(&KV318_AD) start;
    decltype(&KV318_StopAD) stop;
};
const Mode kModes[] = {{"KV318_AD", KV318_AD, KV318_StopAD}, {"KV318_M_AD", KV318_M_AD, KV318_M_StopAD}};

TEST_F(Start, BothModesSendTheSameSequenceWithCrossedFlagsAndAClampedDivider) {
    struct Case {
        std::int32_t f1, f2, f3, f4, divider;
        std::uint8_t mode;
        std::uint16_t sent;
    };
    const Case cases[] = {
        {1, 0, 0, 0, 50, 0x01, 50},    {0, 1, 0, 0, 50, 0x04, 50},      // the second flag lands in bit 2
        {0, 0, 1, 0, 50, 0x02, 50},    {0, 0, 0, 1, 50, 0x08, 50},      // the third in bit 1
        {3, 2, 5, -1, 0, 0x0B, 2},     {-1, -1, -1, -1, 1, 0x0F, 2},    // only bit 0 of each flag
        {2, 4, 6, 8, 4096, 0x00, 2},   {0, 0, 0, 0, 4097, 0x00, 2},     // low 12 bits below 2
        {0, 0, 0, 0, 5000, 0x00, 904}, {0, 0, 0, 0, 4095, 0x00, 4095},  // 5000 & 0xFFF
        {0, 0, 0, 0, 2, 0x00, 2},      {0, 0, 0, 0, -1, 0x00, 4095},   {0, 0, 0, 0, 0x1234, 0x00, 0x234},
    };
    for (const Mode& m : kModes) {
        for (const Case& c : cases) {
            dev.clear();
            ASSERT_EQ(m.start(kH, c.f1, c.f2, c.f3, c.f4, c.divider), 0) << m.name;
            const auto sent = dev.requests();
            ASSERT_EQ(sent.size(), 6u) << m.name;
            EXPECT_EQ(sent[0].in, command_bytes(kCmdRead8, 4)) << "conversion stops first";
            EXPECT_EQ(sent[1].in, command_bytes(kCmdResetUsb));
            EXPECT_EQ(sent[2].in, command_bytes(kCmdWrite8, 4, c.mode)) << m.name << " divider " << c.divider;
            EXPECT_EQ(sent[3].in, command_bytes(kCmdWrite16, 6, static_cast<std::uint8_t>(c.sent & 0xFF),
                                                static_cast<std::uint8_t>(c.sent >> 8)))
                << m.name << " divider " << c.divider;
            EXPECT_EQ(sent[4].in, command_bytes(kCmdRead8, 4));
            EXPECT_EQ(sent[5].in, command_bytes(kCmdRead8, 1));
            for (const Request& r : sent) EXPECT_EQ(r.handle, kH);
            EXPECT_EQ(dev.sleeps(), std::vector<std::uint32_t>{1}) << "the reset's 1 ms pause";
            EXPECT_EQ(m.stop(kH), 0);
        }
    }
}

TEST_F(Start, AFailingStepStopsTheSequenceAndLeavesTheStateAlone) {
    struct Step {
        std::uint8_t code, reg;
        std::size_t sent;  // requests up to and including the failing one
    };
    const Step steps[] = {{kCmdRead8, 4, 1}, {kCmdResetUsb, 0, 2}, {kCmdWrite8, 4, 3}, {kCmdWrite16, 6, 4}};
    for (const Mode& m : kModes) {
        for (const Step& s : steps) {
            RingCount = 321;
            RingReadPos = 40;
            RingWritePos = 361;
            AcqDevice = 0x77;
            board.set_failing(s.code, s.reg, true);
            dev.clear();
            EXPECT_EQ(m.start(kH, 1, 1, 1, 1, 50), -1) << m.name;
            EXPECT_EQ(dev.request_count(), s.sent) << m.name << " step " << int(s.code);
            EXPECT_EQ(RingCount, 321);
            EXPECT_EQ(RingReadPos, 40);
            EXPECT_EQ(RingWritePos, 361);
            EXPECT_EQ(AcqDevice, 0x77);
            EXPECT_EQ(AcqRunning.load(), 0);
            board.set_failing(s.code, s.reg, false);
        }
    }
    EXPECT_TRUE(timer.created().empty());
}

TEST_F(Start, TimerStartsAt10MsWith2MsResolutionAndTheStreamBegins) {
    RingCount = 999;
    RingReadPos = 64;
    RingWritePos = 1063;
    ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), 0);
    const auto made = timer.created();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].periodMs, 10u);
    EXPECT_EQ(made[0].resolutionMs, 2u);
    EXPECT_EQ(made[0].user, 0u);
    EXPECT_EQ(AcqDevice, kH);
    EXPECT_EQ(RingReadPos, 0);
    EXPECT_EQ(RingWritePos, 0);
    dev.clear();
    std::vector<std::int32_t> samples(1024);
    EXPECT_EQ(KV318_Read(kH, samples.data()), 0) << "the start emptied the ring";
    EXPECT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), -1) << "the stream runs: a second start is refused";
    EXPECT_EQ(dev.request_count(), 0u);

    EXPECT_EQ(KV318_StopAD(kH), 0);
    EXPECT_EQ(timer.cancelled(), std::vector<TimerHandle>{made[0].id});
    EXPECT_FALSE(timer.live());
    EXPECT_EQ(TimerId, made[0].id) << "a stop leaves the identifier";
    EXPECT_EQ(register_ops(dev.requests()), (std::vector<RegOp>{{kCmdRead8, 4, 0}})) << "stop conversion";
}

TEST_F(Start, EachTimerFailureHasItsTextAndLeavesTheBoardConfiguredButNotStarted) {
    struct Case {
        bool capsOk;
        std::uint32_t minPeriod;
        bool createFails;
        const char* text;
    };
    const Case cases[] = {
        {false, 1, false, "Can not Get The Timer's Resolution Data"},
        {true, 3, false, "The Timer Resolution Data is Great than 2"},
        {true, 1, true, "error open timer event"},
    };
    for (const Case& c : cases) {
        std::memset(LastErrorText, 'x', sizeof LastErrorText);
        timer.set_capabilities(c.capsOk, c.minPeriod);
        timer.set_create_fails(c.createFails);
        dev.clear();
        EXPECT_EQ(KV318_AD(kH, 1, 0, 0, 0, 50), -1) << c.text;
        EXPECT_STREQ(LastErrorText, c.text);
        EXPECT_EQ(
            register_ops(dev.requests()),
            (std::vector<RegOp>{{kCmdRead8, 4, 0}, {kCmdResetUsb, 0, 0}, {kCmdWrite8, 4, 1}, {kCmdWrite16, 6, 50}}))
            << "configured, never started: " << c.text;
        EXPECT_FALSE(timer.live());
        EXPECT_FALSE(timer.fire());
        // The stream can start once the timer is fine.
        timer.set_capabilities(true, 2);
        timer.set_create_fails(false);
        ASSERT_EQ(KV318_AD(kH, 1, 0, 0, 0, 50), 0) << "a minimum period of 2 ms is good enough";
        EXPECT_STREQ(LastErrorText, c.text) << "the text is the last failure's, kept over a success";
        EXPECT_EQ(KV318_StopAD(kH), 0);
    }
}

TEST_F(Start, WhileAStreamRunsEveryStartAndPolledReadIsRefusedWithoutABoardRequest) {
    ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), 0);
    ASSERT_EQ(timer.created().size(), 1u);
    const TimerHandle first = timer.created()[0].id;
    dev.clear();
    std::vector<std::int32_t> samples(KV318_M_READ_MAX_SAMPLES);
    std::int32_t carry = 0x1ABCD;
    EXPECT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), -1);
    EXPECT_EQ(KV318_AD(kH + 1, 1, 1, 1, 1, 9), -1) << "another board neither";
    EXPECT_EQ(KV318_M_AD(kH, 0, 0, 0, 0, 50), -1);
    EXPECT_EQ(KV318_M_Read(kH, samples.data(), &carry, 0), -1);
    EXPECT_EQ(carry, 0x1ABCD);
    EXPECT_EQ(dev.request_count(), 0u);
    EXPECT_EQ(timer.created().size(), 1u) << "no second timer";
    EXPECT_EQ(AcqDevice, kH);
    EXPECT_TRUE(timer.live());

    EXPECT_EQ(KV318_StopAD(kH), 0);
    EXPECT_EQ(timer.cancelled(), std::vector<TimerHandle>{first});
    EXPECT_EQ(KV318_AD(kH + 1, 0, 0, 0, 0, 50), 0) << "after the stop a new stream starts";
    EXPECT_EQ(AcqDevice, kH + 1);
}

// One acquisition at a time, stream or polled: while one runs every start
// is refused without a board request, and it ends by its own stop call or
// by closing its handle, never by closing another or by the other mode's stop.
TEST_F(Start, AnAcquisitionRefusesEveryStartUntilItsStopOrTheCloseOfItsHandle) {
    struct Case {
        const char* what;
        const Mode& mode;
        std::int32_t (*end)(Handle h);
    };
    const Case cases[] = {
        {"stream, stopped", kModes[0], [](Handle h) { return KV318_StopAD(h); }},
        {"stream, handle closed", kModes[0], [](Handle h) { return KV318_CloseDevice(h); }},
        {"polled, stopped", kModes[1], [](Handle h) { return KV318_M_StopAD(h); }},
        {"polled, handle closed", kModes[1], [](Handle h) { return KV318_CloseDevice(h); }},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.mode.start(kH, 0, 0, 0, 0, 50), 0) << c.what;
        dev.clear();
        for (const Mode& m : kModes) EXPECT_EQ(m.start(kH + 1, 0, 0, 0, 0, 50), -1) << c.what << ", " << m.name;
        EXPECT_EQ(dev.request_count(), 0u) << c.what;
        EXPECT_EQ(KV318_CloseDevice(kH + 1), 0) << c.what;
        const Mode& other = &c.mode == &kModes[0] ? kModes[1] : kModes[0];
        EXPECT_EQ(other.stop(kH), 0) << c.what;
        EXPECT_EQ(c.mode.start(kH, 0, 0, 0, 0, 50), -1) << c.what << ": still running";
        EXPECT_EQ(c.end(kH), 0) << c.what;
        EXPECT_FALSE(timer.live()) << c.what;
        ASSERT_EQ(c.mode.start(kH + 1, 0, 0, 0, 0, 50), 0) << c.what << ": a new run starts";
        EXPECT_EQ(c.mode.stop(kH + 1), 0) << c.what;
    }
}

TEST_F(Start, StopWithoutAStreamOnlyStopsConversion) {
    board.set_failing(kCmdRead8, 4, true);
    EXPECT_EQ(KV318_StopAD(kH), 0) << "whatever the read returned";
    EXPECT_EQ(KV318_M_StopAD(kH), 0);
    EXPECT_EQ(register_ops(dev.requests()), (std::vector<RegOp>{{kCmdRead8, 4, 0}, {kCmdRead8, 4, 0}}));
    EXPECT_TRUE(timer.cancelled().empty());
}

}  // namespace
}  // namespace kv318::test
