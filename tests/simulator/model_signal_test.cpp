// The simulated analog input's square wave and noise: where each square
// edge falls, exactly, for periods that are and are not whole numbers of
// samples; and noise that is Gaussian, the same for the same seed however
// the samples are made, and held to the converter's range.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "bench.h"

namespace kv318::sim::test {
namespace {

double volts_of(std::uint16_t word) { return static_cast<std::int16_t>(word) / 4 * 5.0 / 8192.0; }

constexpr double kHalfCode = 0.5 * 5.0 / 8192.0;

// Samples first ... first + count - 1 through the batch path, in pieces of
// `piece`, as the board makes them between requests.
std::vector<std::uint16_t> batch_words(const SignalConfig& s, std::uint64_t first, std::size_t count, SampleTiming t,
                                       std::size_t piece) {
    std::vector<std::uint8_t> bytes(2 * count);
    for (std::size_t done = 0; done < count; done += piece)
        signal_bytes(s, first + done, std::min(piece, count - done), t, bytes.data() + 2 * done);
    return words(bytes);
}

SignalConfig square(double freq, double duty, double amp = 2.5, double offset = 0.0) {
    SignalConfig s;
    s.kind = SignalKind::Square;
    s.frequencyHz = freq;
    s.dutyPercent = duty;
    s.amplitudeV = amp;
    s.offsetV = offset;
    return s;
}

TEST(SquareWave, EachSampleIsHighExactlyWhenItsPhaseIsWithinTheDuty) {
    // Each oracle is the rule "frac(n * divider * f / clock) < duty / 100"
    // worked out by hand for its case, in small integers.
    const struct {
        const char* what;
        std::uint64_t clockHz;
        std::uint32_t divider;
        double freq, duty;
        std::uint64_t first;
        std::function<bool(std::uint64_t)> high;
    } cases[] = {
        {"100 kS/s, 1 kHz, 25 %", 2'000'000, 20, 1000, 25, 0, [](std::uint64_t n) { return n % 100 < 25; }},
        {"40 kS/s, 1 kHz, 50 %", 2'000'000, 50, 1000, 50, 0, [](std::uint64_t n) { return n % 40 < 20; }},
        // 0.1 of a period is no binary fraction: a floating-point phase puts
        // sample 123 (4.1 periods) on the wrong side of its falling edge.
        {"30 kS/s, 1 kHz, 10 %", 3'000'000, 100, 1000, 10, 0, [](std::uint64_t n) { return n % 30 < 3; }},
        // 666.67 samples a period: the edges fall between samples.
        {"666.67 kS/s, 1 kHz, 50 %", 2'000'000, 3, 1000, 50, 0, [](std::uint64_t n) { return 3 * n % 2000 < 1000; }},
        {"500 S/s, 0.5 Hz, 33.3 %", 1000, 2, 0.5, 33.3, 0, [](std::uint64_t n) { return n % 1000 < 333; }},
        {"1 MS/s, 3 kHz, 12.345 %", 2'000'000, 2, 3000, 12.345, 0,
         [](std::uint64_t n) { return 3 * n % 1000 * 100'000 < 12'345 * 1000ULL; }},
        {"duty 0: always low", 2'000'000, 20, 1000, 0, 0, [](std::uint64_t) { return false; }},
        {"duty 100: always high", 2'000'000, 20, 1000, 100, 0, [](std::uint64_t) { return true; }},
        // A day and more at 13 MS/s: the phase is still exact.
        {"far into a run", 26'000'000, 2, 1000, 25, 1'234'567'890'123ULL,
         [](std::uint64_t n) { return n % 13'000 < 3'250; }},
    };
    for (const auto& c : cases) {
        const SignalConfig s = square(c.freq, c.duty, 2.0, 0.5);
        const SampleTiming t{c.clockHz, c.divider};
        const std::uint16_t high = code_to_word(volts_to_code(2.5)), low = code_to_word(volts_to_code(-1.5));
        constexpr std::size_t kCount = 5000;
        const std::vector<std::uint16_t> batch = batch_words(s, c.first, kCount, t, 777);
        std::size_t highs = 0;
        for (std::size_t i = 0; i < kCount; ++i) {
            const std::uint64_t n = c.first + i;
            const std::uint16_t expect = c.high(n) ? high : low;
            ASSERT_EQ(signal_word(s, n, t), expect) << c.what << ", sample " << n;
            ASSERT_EQ(batch[i], expect) << c.what << ", sample " << n << " made in a batch";
            highs += c.high(n) ? 1 : 0;
        }
        if (c.duty > 0 && c.duty < 100) {
            EXPECT_GT(highs, 0u) << c.what << ": the case must see both levels";
        }
    }
}

TEST(SquareWave, LevelsAreOffsetPlusAndMinusTheAmplitudeHeldToTheRange) {
    const struct {
        double amp, offset;
        double high, low;  // volts, to the nearest code
    } cases[] = {
        {2.5, 0.0, 2.5, -2.5},
        {1.0, 1.5, 2.5, 0.5},
        {-1.0, 0.0, -1.0, 1.0},  // a negative amplitude starts each period low
        {8.0, 0.0, 8191 * 5.0 / 8192, -5.0},
        {0.0, 1.5, 1.5, 1.5},
    };
    for (const auto& c : cases) {
        const SignalConfig s = square(1000, 50, c.amp, c.offset);
        const SampleTiming t{2'000'000, 50};  // 40 samples a period: 0-19 high
        EXPECT_NEAR(volts_of(signal_word(s, 0, t)), c.high, kHalfCode) << c.amp << " " << c.offset;
        EXPECT_NEAR(volts_of(signal_word(s, 19, t)), c.high, kHalfCode) << c.amp << " " << c.offset;
        EXPECT_NEAR(volts_of(signal_word(s, 20, t)), c.low, kHalfCode) << c.amp << " " << c.offset;
        EXPECT_NEAR(volts_of(signal_word(s, 39, t)), c.low, kHalfCode) << c.amp << " " << c.offset;
    }
}

TEST(SquareWave, TheBoardMakesItAtTheDividerWritten) {
    BoardConfig cfg;
    cfg.signal = square(1000, 25);
    Bench b(cfg);
    b.start(20);  // 100 kS/s: 100 samples a period
    b.clock.advance_ms(10);
    const auto w = words(b.drain());
    ASSERT_EQ(w.size(), 1000u);
    for (std::size_t n = 0; n < w.size(); ++n)
        ASSERT_DOUBLE_EQ(volts_of(w[n]), n % 100 < 25 ? 2.5 : -2.5) << "sample " << n;
}

TEST(Sine, RepeatsExactlyEveryWholePeriodHoweverLongItRuns) {
    SignalConfig s;                       // 1 kHz, 2.5 V
    const SampleTiming t{2'000'000, 50};  // 40 samples a period
    for (std::uint64_t n : {0ULL, 7ULL, 13ULL, 39ULL}) {
        const std::uint16_t w = signal_word(s, n, t);
        for (std::uint64_t periods : {1ULL, 1'000'000ULL, 250'000'000'000ULL})
            EXPECT_EQ(signal_word(s, n + 40 * periods, t), w) << n << " + " << periods << " periods";
    }
}

TEST(Noise, IsTheSameForTheSameSeedHoweverTheSamplesAreMade) {
    const SampleTiming t{2'000'000, 20};
    for (SignalKind kind : {SignalKind::Sine, SignalKind::Ramp, SignalKind::Square, SignalKind::Constant}) {
        SignalConfig s;
        s.kind = kind;
        s.noiseV = 0.05;
        s.noiseSeed = 7;
        constexpr std::uint64_t kFirst = 123'456;
        constexpr std::size_t kCount = 3000;
        const std::vector<std::uint16_t> whole = batch_words(s, kFirst, kCount, t, kCount);
        EXPECT_EQ(batch_words(s, kFirst, kCount, t, 1), whole);
        EXPECT_EQ(batch_words(s, kFirst, kCount, t, 333), whole);
        for (std::size_t i = 0; i < kCount; i += 97) ASSERT_EQ(signal_word(s, kFirst + i, t), whole[i]);

        SignalConfig quiet = s;
        quiet.noiseV = 0;
        SignalConfig other = s;
        other.noiseSeed = 8;
        const std::vector<std::uint16_t> clean = batch_words(quiet, kFirst, kCount, t, kCount);
        const std::vector<std::uint16_t> reseeded = batch_words(other, kFirst, kCount, t, kCount);
        std::size_t noisy = 0, differ = 0;
        for (std::size_t i = 0; i < kCount; ++i) {
            noisy += whole[i] != clean[i] ? 1 : 0;
            differ += whole[i] != reseeded[i] ? 1 : 0;
        }
        // 0.05 V is 82 codes: a sample left as it was is rare.
        EXPECT_GT(noisy, kCount * 9 / 10) << static_cast<int>(kind);
        EXPECT_GT(differ, kCount * 9 / 10) << "another seed, other noise: " << static_cast<int>(kind);
    }
}

TEST(Noise, IsGaussianWithTheStandardDeviationAsked) {
    const struct {
        SignalKind kind;
        double level;  // the clean signal's level for every sample (const), or the square's high/low mean
        double sigma;
        std::uint64_t seed;
    } cases[] = {
        {SignalKind::Constant, 1.0, 0.1, 0},
        {SignalKind::Constant, -2.0, 0.5, 12345},
        {SignalKind::Square, 0.0, 0.2, 99},  // +-2.5 V, half high: mean 0
    };
    for (const auto& c : cases) {
        SignalConfig s;
        s.kind = c.kind;
        s.constantV = c.level;
        s.noiseV = c.sigma;
        s.noiseSeed = c.seed;
        const SampleTiming t{2'000'000, 50};
        SignalConfig quiet = s;
        quiet.noiseV = 0;
        constexpr std::size_t kCount = 200'000;
        const std::vector<std::uint16_t> w = batch_words(s, 0, kCount, t, 4096);
        const std::vector<std::uint16_t> clean = batch_words(quiet, 0, kCount, t, 4096);
        double sum = 0, squares = 0;
        std::size_t withinOne = 0, withinTwo = 0;
        for (std::size_t i = 0; i < kCount; ++i) {
            const double e = volts_of(w[i]) - volts_of(clean[i]);
            sum += e;
            squares += e * e;
            withinOne += std::fabs(e) <= c.sigma ? 1 : 0;
            withinTwo += std::fabs(e) <= 2 * c.sigma ? 1 : 0;
        }
        const double mean = sum / kCount, sd = std::sqrt(squares / kCount - mean * mean);
        // Five standard errors: a sound generator never gets near them.
        EXPECT_NEAR(mean, 0.0, 5 * c.sigma / std::sqrt(kCount)) << c.sigma;
        EXPECT_NEAR(sd, c.sigma, 0.01 * c.sigma) << c.sigma;
        EXPECT_NEAR(static_cast<double>(withinOne) / kCount, 0.6827, 0.006) << c.sigma;
        EXPECT_NEAR(static_cast<double>(withinTwo) / kCount, 0.9545, 0.003) << c.sigma;
    }
}

TEST(Noise, NearTheRangesEndsIsHeldThereNotWrapped) {
    const struct {
        double level;
        double end;  // the end the noise pushes past
    } cases[] = {{4.9, 8191 * 5.0 / 8192}, {-4.9, -5.0}};
    for (const auto& c : cases) {
        SignalConfig s;
        s.kind = SignalKind::Constant;
        s.constantV = c.level;
        s.noiseV = 1.0;
        const std::vector<std::uint16_t> w = batch_words(s, 0, 20'000, SampleTiming{2'000'000, 50}, 4096);
        std::size_t atEnd = 0;
        for (std::uint16_t x : w) {
            const double v = volts_of(x);
            ASSERT_EQ(v > 0, c.level > 0) << "a sample wrapped to the other end: " << v;
            atEnd += v == c.end ? 1 : 0;
        }
        EXPECT_GT(atEnd, w.size() / 4) << "more than half the noise lies past the end";
    }
}

}  // namespace
}  // namespace kv318::sim::test
