// Decimation to screen columns against a brute-force computation, and the
// measurements against closed forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "decimate.h"
#include "measure.h"
#include "signals.h"

namespace kv318::analysis {
namespace {

using test::kPi;
using test::make_samples;

TEST(Decimate, EachColumnHoldsTheMinAndMaxOfItsSamples) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::int32_t> any(-32768, 32767);
    struct Case {
        std::size_t n, columns;
    };
    // Uneven splits (12345 / 640), exact ones, more columns than samples.
    for (const Case c : {Case{12345, 640}, Case{1000, 7}, Case{1000, 1000}, Case{5, 13}, Case{640, 640}, Case{1, 3},
                         Case{99991, 1913}}) {
        SCOPED_TRACE(std::to_string(c.n) + " samples in " + std::to_string(c.columns) + " columns");
        std::vector<std::int32_t> s(c.n);
        for (auto& v : s) v = any(rng);
        std::vector<ColumnRange> got(c.columns);
        decimate_columns(s.data(), s.size(), c.columns, got.data());
        // Brute force: sample i belongs to the last column c whose start
        // floor(c x n / columns) is <= i, that is c x n < (i + 1) x columns,
        // compared exactly in integers.
        std::vector<std::int32_t> lo(c.columns, INT32_MAX), hi(c.columns, INT32_MIN);
        std::size_t covered = 0;
        std::size_t col = 0;
        for (std::size_t i = 0; i < c.n; ++i) {
            while (col + 1 < c.columns && (col + 1) * c.n < (i + 1) * c.columns) ++col;
            lo[col] = std::min(lo[col], s[i]);
            hi[col] = std::max(hi[col], s[i]);
            ++covered;
        }
        EXPECT_EQ(covered, c.n);
        for (std::size_t k = 0; k < c.columns; ++k) {
            EXPECT_EQ(got[k].min, lo[k]) << "column " << k;
            EXPECT_EQ(got[k].max, hi[k]) << "column " << k;
        }
    }
}

TEST(Measure, MatchesTheClosedForms) {
    constexpr double kRate = 100000;
    struct Case {
        std::string name;
        std::function<double(double)> volts;  // of the sample number
        double mean, rms, min, max, frequency, duty;
    };
    const double a = 2.0;
    const std::vector<Case> cases = {
        // A whole number of periods: mean 0, RMS A / sqrt 2.
        {"sine 1 kHz", [a](double i) { return a * std::sin(2 * kPi * 1000 * i / kRate); }, 0, a / std::sqrt(2.0), -a, a,
         1000, 0.5},
        {"sine 1234.5 Hz offset 0.5 V", [a](double i) { return 0.5 + a * std::sin(2 * kPi * 1234.5 * i / kRate); }, 0.5,
         std::sqrt(0.25 + a * a / 2), 0.5 - a, 0.5 + a, 1234.5, 0.5},
        // 25 % duty between 0 and 2 V: mean 0.5, RMS sqrt(0.25 x 4) = 1.
        {"square 25 %", [](double i) { return std::fmod(i, 100.0) < 25 ? 2.0 : 0.0; }, 0.5, 1.0, 0, 2, 1000, 0.25},
        {"square 60 % 333.3 Hz",
         [](double i) {
             const double p = kRate / 333.3;
             return std::fmod(i, p) < 0.6 * p ? 1.0 : -1.0;
         },
         0.2, 1.0, -1, 1, 333.3, 0.6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto s = make_samples(20000, c.volts);
        const Measurements m = measure(s.data(), s.size(), kRate);
        // One converter code is 0.6 mV; partial periods at the ends move the
        // mean and RMS by a little more.
        EXPECT_NEAR(m.mean, c.mean, 0.01);
        EXPECT_NEAR(m.rms, c.rms, 0.01);
        EXPECT_NEAR(m.min, c.min, 0.001);
        EXPECT_NEAR(m.max, c.max, 0.001);
        EXPECT_NEAR(m.peakToPeak, c.max - c.min, 0.002);
        EXPECT_NEAR(m.frequency, c.frequency, c.frequency * 0.001);
        EXPECT_NEAR(m.period, 1 / c.frequency, 1e-3 / c.frequency);
        EXPECT_NEAR(m.duty, c.duty, 0.01);
        EXPECT_GT(m.cycles, 0u);
    }
}

TEST(Measure, FlatOrShortSignalsHaveNoFrequency) {
    struct Case {
        std::vector<std::int32_t> samples;
        std::size_t count;
    };
    for (const Case& c : {Case{{}, 0}, Case{{400, 400, 400}, 3}, Case{{0, 4000, 0}, 3}}) {
        const Measurements m = measure(c.samples.data(), c.samples.size(), 1000);
        EXPECT_EQ(m.count, c.count);
        EXPECT_EQ(m.cycles, 0u);
        EXPECT_EQ(m.frequency, 0.0);
    }
}

}  // namespace
}  // namespace kv318::analysis
