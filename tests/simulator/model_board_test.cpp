// The simulated board's requests, digital I/O, counter, pulse generator and
// scripted faults, on a hand-driven clock.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "bench.h"
#include "request_builders.h"

namespace kv318::sim::test {
namespace {

std::vector<std::uint8_t> string_request(std::uint8_t index) {
    std::uint8_t in[kStringRequestSize];
    build_string_request(in, index);
    return {in, in + sizeof in};
}

std::string units_to_text(const std::vector<std::uint8_t>& reply) {
    std::string s;
    for (std::size_t i = 0; i + 1 < reply.size(); i += 2) {
        EXPECT_EQ(reply[i + 1], 0) << "one 16-bit unit per character";
        s.push_back(static_cast<char>(reply[i]));
    }
    return s;
}

TEST(Requests, IdentityStringsOneAndTwo) {
    BoardConfig cfg;
    cfg.number = 7;
    Bench b(cfg);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(b.request(kIoctlStringDescriptor, string_request(1), kStringReplySize, &reply).ok);
    EXPECT_EQ(units_to_text(reply), "KV318 USB DAQ simulator");
    ASSERT_TRUE(b.request(kIoctlStringDescriptor, string_request(2), kStringReplySize, &reply).ok);
    EXPECT_EQ(units_to_text(reply), "SN KVS-0007 FW 1.00");
    // A short reply area cuts the text at whole units.
    ASSERT_TRUE(b.request(kIoctlStringDescriptor, string_request(1), 9, &reply).ok);
    EXPECT_EQ(units_to_text(reply), "KV31");
    for (std::uint8_t index : {0, 3, 255}) {
        const Outcome o = b.request(kIoctlStringDescriptor, string_request(index), kStringReplySize);
        EXPECT_FALSE(o.ok) << int(index);
        EXPECT_EQ(o.count, 0u);
    }
}

TEST(Requests, EveryFormIsAnsweredAndNonsenseFailsCleanly) {
    Bench b;
    // Command with payload: the command takes effect, the payload is ignored.
    std::uint8_t payloadIn[kPayloadInputSize];
    const std::uint8_t values[4] = {14, 0x34, 0x12, 0};
    const std::uint8_t payload[3] = {1, 2, 3};
    ASSERT_EQ(build_command_payload(payloadIn, kCmdWrite16, values, payload, 3), 80);
    EXPECT_TRUE(b.request(kIoctlCommandPayload, {payloadIn, payloadIn + 80}, kPayloadReplySize).ok);
    EXPECT_EQ(b.read16(14), 0x1234);

    // Bulk write: taken, and its length reported.
    std::vector<std::uint8_t> area(kBulkWriteAreaSize);
    const std::uint8_t data[5] = {9, 8, 7, 6, 5};
    const std::int32_t inLen = build_bulk_write(area.data(), data, 5);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(b.request(kIoctlBulkWrite, {area.begin(), area.begin() + inLen}, kBulkWriteOutputSize, &reply).ok);
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{5, 0, 0, 0}));

    // Command replies carry the asked 8 bytes, the value first.
    ASSERT_TRUE(b.command(kCmdRead16, 14, 0, 0, &reply).ok);
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{0x34, 0x12, 0, 0, 0, 0, 0, 0}));

    const struct {
        std::uint32_t code;
        std::vector<std::uint8_t> in;
        std::uint32_t cap;
        const char* what;
    } bad[] = {
        {kIoctlCommand, std::vector<std::uint8_t>(15, 0x80), 64, "command one byte short"},
        {kIoctlCommand, std::vector<std::uint8_t>(17, 0x80), 64, "command one byte long"},
        {kIoctlCommand, {0x82, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 64, "unknown command code"},
        {kIoctlCommand, {0x00, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 64, "command code 0"},
        {kIoctlCommand, {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 64, "read with no reply room"},
        {kIoctlCommand, {0x81, 1, 14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 64, "16-bit read with 1 byte of room"},
        {kIoctlCommand, {0x80, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, "read with no capacity"},
        {kIoctlCommandPayload, std::vector<std::uint8_t>(79, 0x90), 64, "payload form short"},
        {kIoctlCommandPayload,
         [] {
             std::vector<std::uint8_t> v(80);
             v[0] = 0x90;
             v[1] = 75;
             return v;
         }(),
         64, "payload length over 74"},
        {kIoctlBulkRead, {1, 0, 0, 0, 0, 0, 0}, 2, "bulk read short"},
        {kIoctlBulkRead, {0, 0, 1, 0, 0, 0, 0, 0}, 2, "bulk read length over 65535"},
        {kIoctlBulkWrite, {3, 0, 0, 0, 1, 2, 3}, 8, "bulk write shorter than its length"},
        {kIoctlBulkWrite, {}, 8, "bulk write empty"},
        {kIoctlStringDescriptor, std::vector<std::uint8_t>(63, 1), 64, "string request short"},
        {0x222014, std::vector<std::uint8_t>(16, 0), 64, "unknown I/O-control code"},
        {0, {}, 0, "nothing at all"},
    };
    for (const auto& c : bad) {
        const std::uint64_t failed = b.board.stats().failed;
        const Outcome o = b.request(c.code, c.in, c.cap);
        EXPECT_FALSE(o.ok) << c.what;
        EXPECT_EQ(o.count, 0u) << c.what;
        EXPECT_FALSE(o.drop) << c.what;
        EXPECT_EQ(b.board.stats().failed, failed + 1) << c.what;
    }
    EXPECT_EQ(b.read16(14), 0x1234) << "no failed request changed the board";
}

TEST(Requests, RandomBytesNeverCrashTheBoard) {
    Bench b;
    std::mt19937 rng(318);
    const std::uint32_t codes[] = {kIoctlBulkRead, kIoctlBulkWrite,      kIoctlStringDescriptor,
                                   kIoctlCommand,  kIoctlCommandPayload, 0x222014,
                                   0xFFFFFFFF};
    b.start(2);
    for (int i = 0; i < 20000; ++i) {
        std::vector<std::uint8_t> in(rng() % 100);
        for (auto& x : in) x = static_cast<std::uint8_t>(rng());
        // Mostly the right lengths, so the parsers pass and the handlers run.
        if (rng() % 2 == 0) in.resize(rng() % 2 == 0 ? 16 : 80);
        if (rng() % 2 == 0 && !in.empty()) in[0] = static_cast<std::uint8_t>(0x80 + rng() % 0x20);
        b.clock.advance_us(rng() % 50);
        b.request(codes[rng() % 7], in, rng() % 70);
    }
    SUCCEED() << "no crash, no write past any capacity";
}

TEST(DigitalIo, InputsLoopBackTheOutputsOrReadAFixedWord) {
    BoardConfig fixed;
    fixed.fixedInputs = 0x1234;
    const struct {
        BoardConfig cfg;
        std::uint16_t out;
        std::uint16_t in;
    } cases[] = {{{}, 0xA55A, 0xA55A}, {{}, 0x0000, 0x0000}, {{}, 0xFFFF, 0xFFFF}, {fixed, 0xA55A, 0x1234}};
    for (const auto& c : cases) {
        Bench b(c.cfg);
        EXPECT_TRUE(b.write16(14, c.out));
        EXPECT_EQ(b.read16(14), c.in) << std::hex << c.out;
    }
    Bench b;
    b.write16(14, 0xBEEF);
    b.board.set_fixed_inputs(0x00F0);
    EXPECT_EQ(b.read16(14), 0x00F0);
    b.board.set_fixed_inputs(std::nullopt);
    EXPECT_EQ(b.read16(14), 0xBEEF) << "back to the loopback, which kept the last output";
}

std::int32_t count_of(Bench& b) { return b.read8(7) * 256 + b.read8(6); }

TEST(Counter, CountsItsInputAndFlagsOverflow) {
    const struct {
        CounterInput input;
        std::uint64_t rateHz;  // external input
        std::uint8_t divisor;  // pulse generator, 2 MHz / divisor
        std::uint64_t us;
        std::uint64_t count;
    } cases[] = {
        {CounterInput::External, 1000, 2, 250'000, 250},
        {CounterInput::External, 1000, 2, 700, 0},  // the external pulses keep their own phase
        {CounterInput::External, 50'000, 2, 1'310'700, 65535},
        {CounterInput::External, 50'000, 2, 1'310'720, 65536},
        {CounterInput::External, 0, 2, 5'000'000, 0},
        {CounterInput::Pulse, 1000, 2, 1000, 1000},       // 1 MHz
        {CounterInput::Pulse, 1000, 200, 100'000, 1000},  // 10 kHz
        {CounterInput::Pulse, 1000, 1, 1000, 1000},       // a divisor below 2 runs as 2
        {CounterInput::Pulse, 1000, 2, 65'600, 65600},
    };
    for (const auto& c : cases) {
        BoardConfig cfg;
        cfg.counterInput = c.input;
        cfg.counterRateHz = c.rateHz;
        Bench b(cfg);
        b.clock.advance_us(1234);  // the count starts at the start, not at power-up
        EXPECT_EQ(b.read8(8) & 1, 1) << "not running yet";
        b.write8(9, 0x80);
        b.write8(10, c.divisor);
        EXPECT_TRUE(b.write8(8, 0));
        EXPECT_EQ(b.read8(8) & 1, 0);
        EXPECT_EQ(count_of(b), 0);
        b.clock.advance_us(c.us);
        const std::string what = std::to_string(c.rateHz) + " Hz / divisor " + std::to_string(c.divisor) + ", " +
                                 std::to_string(c.us) + " us";
        EXPECT_EQ(count_of(b), static_cast<std::int32_t>(c.count & 0xFFFF)) << what;
        EXPECT_EQ(b.read8(8) & 1, c.count > 65535 ? 1 : 0) << what;
    }
}

TEST(Counter, StopHoldsTheCountAndAStartBeginsAtZero) {
    Bench b;  // external input, 1 kHz
    b.write8(8, 0);
    b.clock.advance_ms(300);
    b.write8(8, 1);
    EXPECT_EQ(b.read8(8) & 1, 1);
    b.clock.advance_ms(300);
    EXPECT_EQ(count_of(b), 300);
    b.write8(8, 0);
    b.clock.advance_ms(20);
    EXPECT_EQ(count_of(b), 20);
    // Rewiring and retuning keep what was counted.
    b.board.set_counter_rate(10'000);
    b.clock.advance_ms(10);
    EXPECT_EQ(count_of(b), 120);
    b.board.set_counter_input(CounterInput::Pulse);
    b.clock.advance_ms(10);
    EXPECT_EQ(count_of(b), 120) << "the pulse generator is stopped";
}

TEST(Pulse, StartsAndStops) {
    BoardConfig cfg;
    cfg.counterInput = CounterInput::Pulse;
    Bench b(cfg);
    b.write8(8, 0);
    EXPECT_EQ(b.read8(8) & 0xC0, 0) << "stopped at power-up";
    // As KV318_PRun(h, 0, 20) does it: control from the state byte, then the divisor.
    b.write8(9, static_cast<std::uint8_t>((b.read8(8) & 0x3F) | 0x80));
    b.write8(10, 20);  // 100 kHz
    EXPECT_EQ(b.read8(8) & 0xC0, 0x80);
    b.clock.advance_ms(1);
    EXPECT_EQ(count_of(b), 100);
    // Rewriting the running state keeps the train in step.
    b.clock.advance_us(5);
    b.write8(9, 0x80);
    b.clock.advance_us(5);
    EXPECT_EQ(count_of(b), 101);
    // As KV318_PStop does it.
    b.write8(9, static_cast<std::uint8_t>(b.read8(8) & 0x7F));
    EXPECT_EQ(b.read8(8) & 0x80, 0);
    b.clock.advance_ms(5);
    EXPECT_EQ(count_of(b), 101);
    // Started again, with a new divisor.
    b.write8(9, 0x80);
    b.write8(10, 200);
    b.clock.advance_ms(1);
    EXPECT_EQ(count_of(b), 111);
}

TEST(Pulse, ModeBit6FiresOneShot) {
    BoardConfig cfg;
    cfg.counterInput = CounterInput::Pulse;
    Bench b(cfg);
    b.write8(8, 0);
    b.write8(9, 0xC0);
    b.write8(10, 200);  // one period: 100 us
    EXPECT_EQ(b.read8(8) & 0xC0, 0xC0);
    b.clock.advance_us(99);
    EXPECT_EQ(count_of(b), 0);
    b.clock.advance_us(1);
    EXPECT_EQ(count_of(b), 1);
    EXPECT_EQ(b.read8(8) & 0xC0, 0x40) << "stopped by itself, mode still shown";
    b.clock.advance_ms(10);
    EXPECT_EQ(count_of(b), 1);
    b.write8(9, 0xC0);  // fire again
    b.clock.advance_us(100);
    EXPECT_EQ(count_of(b), 2);
    // Back to a train.
    b.write8(9, 0x80);
    b.clock.advance_us(1000);
    EXPECT_EQ(count_of(b), 12);
}

TEST(Faults, RequestKindsAndCommandCodesFailOnceOrAlways) {
    const struct {
        FaultRule rule;
        std::vector<bool> bulkOk;    // three bulk reads
        std::vector<bool> read8Ok;   // three 0x80 reads
        std::vector<bool> read16Ok;  // three 0x81 reads
        const char* what;
    } cases[] = {
        {FaultRule::on_request(kIoctlBulkRead, FaultEffect::Fail, true),
         {false, true, true},
         {true, true, true},
         {true, true, true},
         "bulk read once"},
        {FaultRule::on_request(kIoctlBulkRead, FaultEffect::Fail, false),
         {false, false, false},
         {true, true, true},
         {true, true, true},
         "bulk read always"},
        {FaultRule::on_command(kCmdRead8, FaultEffect::Fail, false),
         {true, true, true},
         {false, false, false},
         {true, true, true},
         "0x80 always"},
        {FaultRule::on_command(kCmdRead16, FaultEffect::Fail, true),
         {true, true, true},
         {true, true, true},
         {false, true, true},
         "0x81 once"},
        {FaultRule::on_request(kIoctlCommand, FaultEffect::Fail, false),
         {true, true, true},
         {false, false, false},
         {false, false, false},
         "every command"},
        {FaultRule::on_any(FaultEffect::Fail, true),
         {false, true, true},
         {true, true, true},
         {true, true, true},
         "the next request"},
    };
    for (const auto& c : cases) {
        BoardConfig cfg;
        cfg.signal.kind = SignalKind::Ramp;
        Bench b(cfg);
        b.write16(14, 0x5A);
        b.start(2);
        b.clock.advance_us(100);
        b.board.add_fault(c.rule);
        std::size_t got = 0;
        for (int i = 0; i < 3; ++i) {
            bool ok = false;
            const auto bytes = b.bulk(20, &ok);
            EXPECT_EQ(ok, c.bulkOk[i]) << c.what << " bulk " << i;
            // A failed bulk read takes nothing from the FIFO.
            if (ok) {
                EXPECT_EQ(words(bytes)[0], ramp_word(got / 2)) << c.what;
                got += bytes.size();
            }
        }
        for (int i = 0; i < 3; ++i) EXPECT_EQ(b.read8(14) >= 0, c.read8Ok[i]) << c.what << " read8 " << i;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(b.read16(14) >= 0, c.read16Ok[i]) << c.what << " read16 " << i;
        b.board.clear_faults();
        EXPECT_EQ(b.read16(14), 0x5A) << c.what;
    }
}

TEST(Faults, FailedWritesChangeNothing) {
    Bench b;
    b.write16(14, 0x1111);
    b.board.add_fault(FaultRule::on_command(kCmdWrite16, FaultEffect::Fail, true));
    EXPECT_FALSE(b.write16(14, 0x2222));
    EXPECT_EQ(b.read16(14), 0x1111);
    EXPECT_TRUE(b.write16(14, 0x3333));
    EXPECT_EQ(b.read16(14), 0x3333);
}

TEST(Faults, DropAndDelayAreLeftToTheConnection) {
    Bench b;
    b.board.add_fault(FaultRule::on_command(kCmdWrite16, FaultEffect::Drop, true));
    b.board.add_fault(FaultRule::on_command(kCmdRead16, FaultEffect::Delay, false, 250));
    Outcome o = b.command(kCmdWrite16, 14, 0x77, 0);
    EXPECT_TRUE(o.drop);
    EXPECT_EQ(b.read16(14), 0) << "a dropped request never reached the board";
    o = b.command(kCmdWrite16, 14, 0x77, 0);
    EXPECT_FALSE(o.drop) << "the drop was once";
    std::vector<std::uint8_t> reply;
    for (int i = 0; i < 2; ++i) {
        o = b.command(kCmdRead16, 14, 0, 0, &reply);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.delayMs, 250u);
        EXPECT_EQ(reply[0], 0x77) << "a delayed request is still answered";
    }
    EXPECT_EQ(b.command(kCmdRead8, 14).delayMs, 0u);
}

TEST(Faults, StalledFifoHandsOutNothingAndOverflows) {
    BoardConfig cfg;
    cfg.signal.kind = SignalKind::Ramp;
    Bench b(cfg);
    b.start(2);
    b.clock.advance_ms(100);
    b.board.set_fifo_stall(true);
    bool ok = false;
    EXPECT_TRUE(b.bulk(16384, &ok).empty());
    EXPECT_TRUE(ok) << "a stall is no failure: the board just has nothing to give";
    EXPECT_EQ(b.read8(0), 0x64) << "the level still shows what is inside: 200000 bytes";
    b.clock.advance_ms(500);
    EXPECT_EQ(b.board.stats().samplesDropped, 600'000u - kMinFifoBytes / 2);
    b.board.set_fifo_stall(false);
    const auto w = words(b.drain());
    ASSERT_EQ(w.size(), kMinFifoBytes / 2);
    EXPECT_EQ(w.front(), ramp_word(0));
    EXPECT_EQ(w.back(), ramp_word(kMinFifoBytes / 2 - 1));
}

TEST(Faults, RulesStartAfterRequestsOrTimeCountedFromTheirFirstMatch) {
    const struct {
        FaultRule rule;
        std::uint32_t stepMs;       // board time between two 0x80 reads
        std::vector<bool> read8Ok;  // eight 0x80 reads
        const char* what;
    } cases[] = {
        {FaultRule::on_command(kCmdRead8, FaultEffect::Fail, false).starting_after(3, 0),
         1,
         {true, true, true, false, false, false, false, false},
         "after 3, always"},
        {FaultRule::on_command(kCmdRead8, FaultEffect::Fail, true).starting_after(3, 0),
         1,
         {true, true, true, false, true, true, true, true},
         "after 3, once"},
        {FaultRule::on_command(kCmdRead8, FaultEffect::Fail, false).starting_after(0, 2'000'000'000),
         500,
         {true, true, true, true, false, false, false, false},
         "after 2 s of reads"},
        {FaultRule::on_command(kCmdRead8, FaultEffect::Fail, true).starting_after(2, 2'000'000'000),
         500,
         {true, true, true, true, false, true, true, true},
         "after 2 reads and 2 s, once"},
        {FaultRule::on_any(FaultEffect::Fail, false).starting_after(5, 0),
         1,
         {true, true, true, true, true, false, false, false},
         "any, after 5"},
    };
    for (const auto& c : cases) {
        Bench b;
        // Idle time and other requests before the first match do not count.
        b.clock.advance_ms(10'000);
        b.board.add_fault(c.rule);
        if (c.rule.target == FaultRule::Target::Command) {
            EXPECT_GE(b.read16(14), 0) << c.what;
        }
        for (std::size_t i = 0; i < c.read8Ok.size(); ++i) {
            EXPECT_EQ(b.read8(14) >= 0, c.read8Ok[i]) << c.what << " read " << i;
            b.clock.advance_ms(c.stepMs);
        }
    }
}

TEST(Faults, AScriptedStallEmptiesBulkRepliesWhileTheLevelShowsTheFill) {
    for (bool once : {true, false}) {
        BoardConfig cfg;
        cfg.signal.kind = SignalKind::Ramp;
        Bench b(cfg);
        b.board.add_fault(FaultRule::on_request(kIoctlBulkRead, FaultEffect::Stall, once).starting_after(1, 0));
        b.start(2);
        b.clock.advance_us(1000);  // 2000 bytes
        bool ok = false;
        EXPECT_EQ(b.bulk(1000, &ok).size(), 1000u) << "the first read is served";
        b.clock.advance_ms(10);  // 21000 bytes inside
        EXPECT_EQ(b.read8(0) >> 4 & 7, 3) << "level 16384 reached";
        std::vector<std::uint8_t> after;
        for (int i = 0; i < 3; ++i) {
            const auto got = b.bulk(16384, &ok);
            EXPECT_TRUE(ok) << "a stall is no failure";
            EXPECT_EQ(got.empty(), !once || i == 0) << (once ? "once" : "always") << " read " << i;
            after.insert(after.end(), got.begin(), got.end());
        }
        if (once) {
            ASSERT_GE(after.size(), 2u);
            EXPECT_EQ(words(after)[0], ramp_word(500)) << "nothing was lost in the stall";
        }
        EXPECT_TRUE(b.write16(14, 0x42)) << "other requests are untouched";
    }
}

TEST(Faults, ShortBulkRepliesSplitSamplesButLoseNothing) {
    BoardConfig cfg;
    cfg.signal.kind = SignalKind::Ramp;
    Bench b(cfg);
    b.start(2);
    b.clock.advance_us(3000);  // 6000 bytes
    b.board.set_bulk_reply_limit(1025);
    std::vector<std::uint8_t> bytes;
    for (std::int32_t ask : {16384, 16384, 16384, 100}) {
        const auto part = b.bulk(ask);
        EXPECT_EQ(part.size(), ask == 100 ? 100u : 1025u) << "shorter asks are not cut";
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    b.board.clear_faults();
    const auto rest = b.drain();
    ASSERT_EQ(rest.size(), 6000u - 3175);
    EXPECT_EQ(rest.front(), ramp_word(3175 / 2) >> 8) << "the last cut fell inside a sample";
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    const auto w = words(bytes);
    ASSERT_EQ(w.size(), 3000u);
    for (std::size_t i = 0; i < w.size(); ++i) ASSERT_EQ(w[i], ramp_word(i)) << i;
}

}  // namespace
}  // namespace kv318::sim::test
