#include "measure.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "sample_units.h"

namespace kv318::analysis {

namespace {

// Where between samples i-1 and i (volts a, b) the signal crosses `level`,
// in samples from the start.
double crossing(std::size_t i, double a, double b, double level) {
    const double frac = b == a ? 0.0 : (level - a) / (b - a);
    return static_cast<double>(i - 1) + std::clamp(frac, 0.0, 1.0);
}

}  // namespace

Measurements measure(const std::int32_t* samples, std::size_t n, double sampleRateHz) {
    Measurements m;
    if (n == 0) return m;
    m.count = n;
    double sum = 0, sumSq = 0;
    m.min = m.max = units::sample_volts(samples[0]);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = units::sample_volts(samples[i]);
        sum += v;
        sumSq += v * v;
        m.min = std::min(m.min, v);
        m.max = std::max(m.max, v);
    }
    m.mean = sum / static_cast<double>(n);
    m.rms = std::sqrt(sumSq / static_cast<double>(n));
    m.peakToPeak = m.max - m.min;
    if (m.peakToPeak <= 0 || !(sampleRateHz > 0)) return m;

    const double mid = (m.min + m.max) / 2;
    const double band = m.peakToPeak / 10;
    // A two-state walk: high once past mid + band, low once past mid - band.
    // The crossing recorded is the last pass through mid before the walk
    // changes state, so it marks the edge itself, not the band's far side.
    std::vector<double> rises, falls;
    double v0 = units::sample_volts(samples[0]);
    bool high = v0 >= mid;
    double lastCross = -1;  // the newest pass through mid, in samples
    for (std::size_t i = 1; i < n; ++i) {
        const double v = units::sample_volts(samples[i]);
        if ((v0 < mid) != (v < mid)) lastCross = crossing(i, v0, v, mid);
        if (!high && v > mid + band) {
            high = true;
            if (lastCross >= 0) rises.push_back(lastCross);
        } else if (high && v < mid - band) {
            high = false;
            if (lastCross >= 0) falls.push_back(lastCross);
        }
        v0 = v;
    }
    if (rises.size() < 2) return m;
    m.cycles = rises.size() - 1;
    const double span = rises.back() - rises.front();
    m.period = span / static_cast<double>(m.cycles) / sampleRateHz;
    m.frequency = 1.0 / m.period;
    // The high time of each whole cycle: from its rise to the first fall after.
    double highTime = 0;
    std::size_t f = 0;
    for (std::size_t r = 0; r + 1 < rises.size(); ++r) {
        while (f < falls.size() && falls[f] <= rises[r]) ++f;
        if (f < falls.size() && falls[f] < rises[r + 1]) highTime += falls[f] - rises[r];
    }
    m.duty = highTime / span;
    return m;
}

}  // namespace kv318::analysis
