// The trigger and capture engine on synthetic signals whose crossings are
// known in closed form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "signals.h"
#include "trigger.h"

namespace kv318::analysis {
namespace {

using test::kPi;
using test::kVoltsPerCode;
using test::make_samples;

// Keeps a copy of every frame the engine delivers.
struct Collect : FrameSink {
    struct Copy {
        std::vector<std::int32_t> samples;
        bool triggered;
        std::size_t triggerIndex;
        std::uint64_t triggerSample, firstSample;
    };
    std::vector<Copy> frames;
    std::size_t stopAfter = SIZE_MAX;
    bool frame(const Frame& f) override {
        frames.push_back({std::vector<std::int32_t>(f.samples, f.samples + f.count), f.triggered, f.triggerIndex,
                          f.triggerSample, f.firstSample});
        return frames.size() < stopAfter;
    }
};

// Feeds `s` in chunks of the given sizes, round and round.
void feed_chunks(TriggerEngine& e, const std::vector<std::int32_t>& s, FrameSink& sink,
                 std::vector<std::size_t> chunks = {777, 1, 4096, 13}) {
    std::size_t at = 0, k = 0;
    while (at < s.size()) {
        const std::size_t n = std::min(chunks[k++ % chunks.size()], s.size() - at);
        e.feed(s.data() + at, n, sink);
        at += n;
    }
}

// A signal and the times (in samples, continuous) where its quantised
// samples pass a level on an edge: the sample at ceil(t) is the first at
// or past the level.  Quantisation rounds to the nearest code, so a code
// threshold c is reached where the exact signal passes c - 0.5 (rising) or
// c + 0.5 (falling).
struct SignalCase {
    std::string name;
    std::function<double(double)> volts;
    double level;
    Edge edge;
    // Crossing k (k = 0, 1, ...) for the level's code threshold.
    std::function<double(int k, double thresholdCode)> crossing;
};

constexpr double kSinePeriod = 97.3;  // samples; not a whole number, so crossings fall anywhere
constexpr double kSineAmp = 2.0;
constexpr double kSquarePeriod = 40.37;
constexpr double kSquareDuty = 0.25;
constexpr int kRampPeriod = 1000;
constexpr int kRampStart = -1500;  // codes
constexpr int kRampStep = 3;       // codes a sample

std::vector<SignalCase> signal_cases() {
    auto sine = [](double t) { return kSineAmp * std::sin(2 * kPi * t / kSinePeriod); };
    auto square = [](double t) {
        const double phase = t / kSquarePeriod - std::floor(t / kSquarePeriod);
        return phase < kSquareDuty ? 1.5 : -1.0;
    };
    auto ramp = [](double t) {
        const int i = static_cast<int>(t) % kRampPeriod;
        return (kRampStart + kRampStep * i) * kVoltsPerCode;
    };
    auto sineAt = [](double y, bool rising, int k) {
        const double a = std::asin(y * kVoltsPerCode / kSineAmp) * kSinePeriod / (2 * kPi);
        return (rising ? a : kSinePeriod / 2 - a) + k * kSinePeriod;
    };
    return {
        {"sine rising", sine, 0.7, Edge::Rising, [=](int k, double c) { return sineAt(c - 0.5, true, k); }},
        {"sine falling", sine, -0.3, Edge::Falling, [=](int k, double c) { return sineAt(c + 0.5, false, k); }},
        // Starts high: the first rise that can fire is the second period's.
        {"square rising", square, 0.2, Edge::Rising, [](int k, double) { return (k + 1) * kSquarePeriod; }},
        {"square falling", square, 0.2, Edge::Falling, [](int k, double) { return (k + kSquareDuty) * kSquarePeriod; }},
        {"ramp rising", ramp, 0.3, Edge::Rising,
         [](int k, double c) { return k * kRampPeriod + (c - 0.5 - kRampStart) / kRampStep; }},
        // The ramp falls only where it jumps back to its start; it must have
        // risen past the band first, so the first fall is the first jump.
        {"ramp falling", ramp, 0.3, Edge::Falling, [](int k, double) { return (k + 1) * kRampPeriod - 0.5; }},
    };
}

TEST(TriggerEngine, TriggerPointIsTheFirstSamplePastTheLevelAtEveryPretrigger) {
    constexpr std::size_t kN = 1000;
    for (const SignalCase& sc : signal_cases()) {
        const std::vector<std::int32_t> s = make_samples(20000, sc.volts);
        const double code = sc.edge == Edge::Rising ? std::ceil(sc.level / kVoltsPerCode - 1e-9)
                                                    : std::floor(sc.level / kVoltsPerCode + 1e-9);
        for (double pct : {0.0, 25.0, 50.0, 100.0}) {
            SCOPED_TRACE(sc.name + " pretrigger " + std::to_string(pct));
            TriggerSettings ts;
            ts.mode = TriggerMode::Normal;
            ts.edge = sc.edge;
            ts.levelVolts = sc.level;
            ts.frameSamples = kN;
            ts.pretriggerPercent = pct;
            TriggerEngine e(ts);
            Collect sink;
            feed_chunks(e, s, sink);
            // At 100 % the trigger point is the last sample of the frame.
            const auto pre = std::min(static_cast<std::size_t>(kN * pct / 100), kN - 1);
            ASSERT_GE(sink.frames.size(), 3u);
            // Each trigger is the first crossing at or past the earliest
            // sample allowed: the pre-trigger filled, the previous frame done.
            std::uint64_t earliest = pre;
            int k = 0;
            for (std::size_t f = 0; f < 3; ++f) {
                std::uint64_t expected = 0;
                for (;; ++k) {
                    const double t = sc.crossing(k, code);
                    expected = static_cast<std::uint64_t>(std::ceil(t));
                    if (t >= 0 && expected >= earliest) break;
                }
                const auto& fr = sink.frames[f];
                EXPECT_TRUE(fr.triggered);
                EXPECT_EQ(fr.triggerSample, expected) << "frame " << f;
                EXPECT_EQ(fr.triggerIndex, pre);
                EXPECT_EQ(fr.firstSample, fr.triggerSample - pre);
                // The frame is the stream itself, sample for sample.
                ASSERT_EQ(fr.samples.size(), kN);
                EXPECT_TRUE(std::equal(fr.samples.begin(), fr.samples.end(), s.begin() + fr.firstSample));
                earliest = fr.triggerSample + (kN - pre);
            }
        }
    }
}

// A square wave rising every 100 samples from sample 50: the holdoff lets
// through only the rises it must.
TEST(TriggerEngine, HoldoffSkipsTheTriggersWithinIt) {
    const auto s = make_samples(2000, [](double t) { return std::fmod(t, 100.0) >= 50 ? 1.0 : -1.0; });
    struct Case {
        std::size_t holdoff;
        std::vector<std::uint64_t> triggers;
    };
    // Frames of 20 samples, trigger at the start: without holdoff every rise.
    const std::vector<Case> cases = {
        {0, {50, 150, 250, 350, 450}},
        {100, {50, 150, 250, 350, 450}},  // the next rise is exactly a holdoff later
        {101, {50, 250, 450, 650, 850}},
        {250, {50, 350, 650, 950, 1250}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("holdoff " + std::to_string(c.holdoff));
        TriggerSettings ts;
        ts.mode = TriggerMode::Normal;
        ts.frameSamples = 20;
        ts.pretriggerPercent = 0;
        ts.holdoffSamples = c.holdoff;
        TriggerEngine e(ts);
        Collect sink;
        feed_chunks(e, s, sink, {333});
        ASSERT_GE(sink.frames.size(), c.triggers.size());
        for (std::size_t i = 0; i < c.triggers.size(); ++i) EXPECT_EQ(sink.frames[i].triggerSample, c.triggers[i]);
    }
}

// A slow sine with noise of +-30 mV: around each crossing the noisy signal
// passes the level many times.  Without hysteresis each pass retriggers;
// with the default band only one trigger comes per period.
TEST(TriggerEngine, HysteresisStopsNoiseRetriggering) {
    constexpr double kPeriod = 2000;
    std::uint32_t seed = 12345;
    auto noise = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return (static_cast<double>(seed >> 8) / (1 << 24) * 2 - 1) * 0.03;
    };
    // From its trough, so the first rise is armed: rises at 500 + 2000 k.
    const auto s = make_samples(20000, [&](double t) { return std::sin(2 * kPi * (t - 500) / kPeriod) + noise(); });
    struct Case {
        double hysteresis;
        bool onePerPeriod;
    };
    for (const Case c : {Case{0.0, false}, Case{kDefaultHysteresisVolts, true}}) {
        SCOPED_TRACE("hysteresis " + std::to_string(c.hysteresis));
        TriggerSettings ts;
        ts.mode = TriggerMode::Normal;
        ts.frameSamples = 10;
        ts.pretriggerPercent = 0;
        ts.hysteresisVolts = c.hysteresis;
        TriggerEngine e(ts);
        Collect sink;
        feed_chunks(e, s, sink);
        if (c.onePerPeriod) {
            ASSERT_EQ(sink.frames.size(), 10u);
            for (std::size_t i = 0; i < sink.frames.size(); ++i) {
                // Within a few samples of the rising zero crossing.
                EXPECT_NEAR(static_cast<double>(sink.frames[i].triggerSample), 500 + i * kPeriod, 20.0);
            }
        } else {
            EXPECT_GT(sink.frames.size(), 20u);
        }
    }
}

TEST(TriggerEngine, AutoFreeRunsNormalWaitsSingleArmsOnce) {
    const auto flat = make_samples(5000, [](double) { return 0.0; });
    const auto sine = make_samples(5000, [](double t) { return std::sin(2 * kPi * t / 100); });
    struct Case {
        TriggerMode mode;
        const std::vector<std::int32_t>* signal;
        std::size_t frames;  // delivered
        bool triggered;      // and whether they were triggered
    };
    const std::vector<Case> cases = {
        // Auto: no trigger, so a frame of the newest samples every 1000.
        {TriggerMode::Auto, &flat, 5, false},
        {TriggerMode::Normal, &flat, 0, false},
        {TriggerMode::Single, &flat, 0, false},
        // Rises every 100 samples from sample 2; with 100 samples after each
        // trigger, every rise from the one at 102 (the pre-trigger filled)
        // until the stream ends mid-frame.
        {TriggerMode::Auto, &sine, 48, true},
        {TriggerMode::Normal, &sine, 48, true},
        {TriggerMode::Single, &sine, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(static_cast<int>(c.mode)) + " frames " + std::to_string(c.frames));
        TriggerSettings ts;
        ts.mode = c.mode;
        ts.frameSamples = 200;
        ts.pretriggerPercent = 50;
        ts.levelVolts = 0.1;
        ts.autoTimeoutSamples = 1000;
        TriggerEngine e(ts);
        Collect sink;
        feed_chunks(e, *c.signal, sink);
        ASSERT_EQ(sink.frames.size(), c.frames);
        for (const auto& f : sink.frames) {
            EXPECT_EQ(f.triggered, c.triggered);
            EXPECT_TRUE(std::equal(f.samples.begin(), f.samples.end(), c.signal->begin() + f.firstSample));
        }
        if (!c.triggered) {
            for (std::size_t i = 0; i < sink.frames.size(); ++i) EXPECT_EQ(sink.frames[i].firstSample, 800 + i * 1000);
        }
        if (c.mode == TriggerMode::Single) {
            EXPECT_EQ(e.done(), c.frames == 1);
            // Armed again, it takes the next trigger from the samples after.
            e.rearm();
            e.feed(c.signal->data(), c.signal->size(), sink);
            EXPECT_EQ(sink.frames.size(), c.frames + (c.triggered ? 1 : 0));
            EXPECT_EQ(e.done(), c.triggered);
        }
    }
}

TEST(TriggerEngine, RollKeepsTheNewestSamples) {
    const auto s = make_samples(10000, [](double t) { return std::fmod(t, 4000) * 0.001; });
    struct Case {
        std::size_t fed;
        std::size_t expectCount;
    };
    for (const Case c : {Case{0, 0}, Case{300, 300}, Case{1000, 1000}, Case{9999, 1000}}) {
        TriggerSettings ts;
        ts.mode = TriggerMode::Roll;
        ts.frameSamples = 1000;
        TriggerEngine e(ts);
        Collect sink;
        feed_chunks(e, std::vector<std::int32_t>(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(c.fed)), sink);
        EXPECT_TRUE(sink.frames.empty());
        const Frame f = e.roll();
        ASSERT_EQ(f.count, c.expectCount);
        EXPECT_EQ(f.firstSample, c.fed - c.expectCount);
        EXPECT_TRUE(std::equal(f.samples, f.samples + f.count, s.begin() + static_cast<std::ptrdiff_t>(f.firstSample)));
    }
}

TEST(TriggerEngine, LevelThresholdsFollowTheConversionRule) {
    struct Case {
        double volts;
        std::int32_t rising, falling;
    };
    // Codes round half to even: samples -2..2 are all code 0.  0.5 V is
    // 819.2 codes; sample 3278 (819.5, to even 820) is the first at or
    // above it, 3277 (code 819) the last at or below.  Past either end of
    // the range a level is never reached.
    for (const Case c : {Case{0.0, -2, 2}, Case{0.5, 3278, 3277}, Case{-5.0, -32768, -32766}, Case{6.0, 32768, 32767},
                         Case{-6.0, -32768, -32769}}) {
        EXPECT_EQ(rising_threshold(c.volts), c.rising) << c.volts;
        EXPECT_EQ(falling_threshold(c.volts), c.falling) << c.volts;
    }
}

}  // namespace
}  // namespace kv318::analysis
