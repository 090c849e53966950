// The simulated converter and FIFO on a hand-driven clock: sample rate,
// sample format and signals, level codes, overflow and the FIFO's reads.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "bench.h"

namespace kv318::sim::test {
namespace {

BoardConfig ramp_board(std::uint64_t clockHz = kDefaultConverterClockHz, std::size_t fifo = kMinFifoBytes) {
    BoardConfig c;
    c.signal.kind = SignalKind::Ramp;
    c.converterClockHz = clockHz;
    c.fifoBytes = fifo;
    return c;
}

TEST(Converter, RateIsTheClockOverTheDivider) {
    const struct {
        std::uint64_t clockHz;
        std::uint16_t written;  // as the 16-bit write of register 6 carries it
        std::uint64_t ms;
        std::uint64_t samples;
    } cases[] = {
        {2'000'000, 2, 200, 200'000}, {2'000'000, 3, 10, 6'666},         {2'000'000, 50, 1000, 40'000},
        {2'000'000, 4095, 1000, 488}, {2'000'000, 0x1032, 1000, 40'000},  // 12 bits wide: 0x032 = 50
        {2'000'000, 1, 100, 100'000},                                     // below 2 runs as 2
        {2'000'000, 0, 100, 100'000}, {40'000'000, 2, 10, 200'000},       // a raised clock
    };
    for (const auto& c : cases) {
        Bench b(ramp_board(c.clockHz));
        b.start(c.written);
        // Uneven steps must add up to the same count as one big step.
        for (std::uint64_t t = 0; t < c.ms * 1000; t += 997)
            b.clock.advance_us(std::min<std::uint64_t>(997, c.ms * 1000 - t));
        EXPECT_EQ(b.fifo_bytes(), 2 * c.samples) << c.clockHz << " Hz / " << c.written;
        EXPECT_EQ(b.board.stats().samplesConverted, c.samples);
        EXPECT_EQ(b.board.stats().samplesDropped, 0u);
    }
}

TEST(Converter, ReadingRegister4StopsAndRegister1Starts) {
    Bench b(ramp_board());
    EXPECT_EQ(b.read8(0) & 0x04, 0) << "not converting at power-up";
    b.clock.advance_ms(10);
    EXPECT_EQ(b.fifo_bytes(), 0u);
    b.start(50);
    EXPECT_EQ(b.read8(0) & 0x04, 0x04);
    b.clock.advance_ms(10);  // 400 samples
    EXPECT_EQ(b.read8(1), 0);
    b.clock.advance_ms(10);  // a second start changed nothing: 400 more
    EXPECT_EQ(b.fifo_bytes(), 1600u);
    b.read8(4);
    EXPECT_EQ(b.read8(0) & 0x04, 0);
    b.clock.advance_ms(100);
    EXPECT_EQ(b.fifo_bytes(), 1600u) << "no samples after the stop, and the FIFO keeps what it had";
    const auto w = words(b.drain());
    ASSERT_EQ(w.size(), 800u);
    for (std::size_t i = 0; i < w.size(); ++i) ASSERT_EQ(w[i], ramp_word(i)) << i;

    b.read8(1);  // a new start begins the ramp again
    b.clock.advance_us(50);
    EXPECT_EQ(words(b.drain()), (std::vector<std::uint16_t>{ramp_word(0), ramp_word(1)}));
}

TEST(Converter, RampWrapsAndSurvivesOddReads) {
    Bench b(ramp_board());
    b.start(2);
    b.clock.advance_ms(20);  // 20000 samples: past the wrap at 16384
    std::vector<std::uint8_t> bytes;
    for (std::int32_t len : {1, 1025, 7, 16384, 3, 70000 /* masked to 4464 */}) {
        const auto part = b.bulk(len);
        EXPECT_EQ(part.size(), static_cast<std::size_t>(len & 0xFFFF));
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    const auto rest = b.drain();
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    const auto w = words(bytes);
    ASSERT_EQ(w.size(), 20000u);
    for (std::size_t i = 0; i < w.size(); ++i) ASSERT_EQ(w[i], ramp_word(i)) << i;
    EXPECT_EQ(w[16383], 0xFFFC);
    EXPECT_EQ(w[16384], 0x0000);
}

TEST(Converter, SignalsGiveTheExpectedCodes) {
    // The library's conversion: signed 16-bit sample / 4 = code; code * 5 / 8192 = volts.
    auto volts = [](std::uint16_t word) { return static_cast<std::int16_t>(word) / 4 * 5.0 / 8192.0; };
    const struct {
        double constant;
        double expectVolts;
    } constants[] = {{1.0, 1638 * 5.0 / 8192}, {0.0, 0.0}, {-2.5, -2.5}, {7.0, 8191 * 5.0 / 8192}, {-7.0, -5.0}};
    for (const auto& c : constants) {
        BoardConfig cfg;
        cfg.signal.kind = SignalKind::Constant;
        cfg.signal.constantV = c.constant;
        Bench b(cfg);
        b.start(50);
        b.clock.advance_ms(1);
        const auto w = words(b.drain());
        ASSERT_EQ(w.size(), 40u);
        for (std::uint16_t x : w) {
            EXPECT_EQ(x & 3, 0) << "bits 0-1 are clear";
            EXPECT_DOUBLE_EQ(volts(x), c.expectVolts) << c.constant;
        }
    }

    BoardConfig cfg;
    cfg.signal = SignalConfig{SignalKind::Sine, 1000.0, 2.0, 0.5, 0.0};
    Bench b(cfg);
    b.start(50);  // 40 kS/s: 40 samples per cycle
    b.clock.advance_ms(2);
    const auto w = words(b.drain());
    ASSERT_EQ(w.size(), 80u);
    double lo = 10, hi = -10;
    for (std::size_t n = 0; n < w.size(); ++n) {
        const double expect = 0.5 + 2.0 * std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(n) / 40000.0);
        EXPECT_NEAR(volts(w[n]), expect, 5.0 / 8192) << n;
        lo = std::min(lo, volts(w[n]));
        hi = std::max(hi, volts(w[n]));
    }
    EXPECT_NEAR(hi, 2.5, 0.001);
    EXPECT_NEAR(lo, -1.5, 0.001);
    EXPECT_EQ(w[0], w[40]) << "one cycle later, the same sample";
}

TEST(Converter, LevelCodeIsTheHighestLevelTheFillHasReached) {
    const struct {
        std::size_t bytes;
        int code;
    } table[] = {
        {0, 0},     {2, 0},     {1022, 0},  {1024, 1},   {4094, 1},   {4096, 2},   {16382, 2},  {16384, 3},
        {32766, 3}, {32768, 4}, {65536, 5}, {131070, 5}, {131072, 6}, {262142, 6}, {262144, 7}, {2 * 262144, 7},
    };
    for (const auto& t : table) {
        EXPECT_EQ(fifo_level_code(t.bytes), t.code) << t.bytes;
        // The same through status register 0: at divider 2 a sample takes 1 us.
        Bench b(ramp_board());
        b.start(2);
        b.clock.advance_us(t.bytes / 2);
        ASSERT_EQ(b.fifo_bytes(), t.bytes);
        EXPECT_EQ(b.read8(0), 0x04 | (t.code << 4)) << t.bytes;
        b.read8(4);
        EXPECT_EQ(b.read8(0), t.code << 4) << "stopped, the level still shows: " << t.bytes;
    }
    // The reader's promise: a board showing code k holds at least the
    // code's level, so draining that much never waits on an empty FIFO.
    const std::size_t levels[] = {0, 1024, 4096, 16384, 32768, 65536, 131072, 262144};
    for (std::size_t bytes = 0; bytes <= 300000; bytes += 2) ASSERT_GE(bytes, levels[fifo_level_code(bytes)]);
}

TEST(Fifo, BulkReadReturnsWhatWasAskedOrWhatIsBuffered) {
    const struct {
        std::uint64_t samples;
        std::int32_t ask;
        std::size_t got;
    } cases[] = {
        {100, 50, 50}, {100, 200, 200}, {100, 300, 200}, {0, 16384, 0}, {100, 0, 0}, {100, 201, 200},
    };
    for (const auto& c : cases) {
        Bench b(ramp_board());
        b.start(2);
        b.clock.advance_us(c.samples);
        bool ok = false;
        EXPECT_EQ(b.bulk(c.ask, &ok).size(), c.got) << c.samples << " samples, ask " << c.ask;
        EXPECT_TRUE(ok);
        EXPECT_EQ(b.fifo_bytes(), 2 * c.samples - c.got);
    }
}

TEST(Fifo, CommandResetEmptiesIt) {
    Bench b(ramp_board());
    b.start(2);
    b.clock.advance_ms(5);
    ASSERT_EQ(b.fifo_bytes(), 10000u);
    EXPECT_TRUE(b.reset());
    EXPECT_EQ(b.fifo_bytes(), 0u);
    EXPECT_EQ(b.read8(0), 0x04) << "still converting, level 0";
    b.clock.advance_us(3);
    EXPECT_EQ(words(b.drain()), (std::vector<std::uint16_t>{ramp_word(5000), ramp_word(5001), ramp_word(5002)}))
        << "the converter ran on through the reset";
}

TEST(Fifo, OverflowDropsNewSamplesAndCountsThem) {
    const struct {
        std::size_t fifo;
        std::uint64_t ms;
    } cases[] = {{kMinFifoBytes, 1000}, {1u << 20, 1000}, {kMinFifoBytes, 3'600'000 /* an hour: counted, not made */}};
    for (const auto& c : cases) {
        Bench b(ramp_board(kDefaultConverterClockHz, c.fifo));
        b.start(2);
        b.clock.advance_ms(c.ms);
        const std::uint64_t converted = c.ms * 1000;
        const std::uint64_t kept = c.fifo / 2;
        const BoardStats s = b.board.stats();
        EXPECT_EQ(s.samplesConverted, converted);
        EXPECT_EQ(s.samplesDropped, converted - kept) << c.fifo;
        EXPECT_EQ(s.fifoBytes, c.fifo);
        EXPECT_EQ(b.read8(0), 0x74);
        const auto w = words(b.drain());
        ASSERT_EQ(w.size(), kept);
        for (std::size_t i = 0; i < w.size(); ++i) ASSERT_EQ(w[i], ramp_word(i)) << "the oldest samples stay";
        // The samples after the gap carry on from the converter's count, so
        // a reader sees exactly where it lost some.
        b.clock.advance_us(1);
        EXPECT_EQ(words(b.drain()), std::vector<std::uint16_t>{ramp_word(converted)});
        EXPECT_EQ(b.board.stats().samplesDropped, converted - kept) << "nothing more once there is room";
    }
}

}  // namespace
}  // namespace kv318::sim::test
