// The measurements a bench scope shows for the trace on screen, in volts
// and seconds, from board samples converted by the shared rule.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv318::analysis {

struct Measurements {
    std::size_t count = 0;  // samples measured; 0: nothing below is valid
    double mean = 0, min = 0, max = 0, peakToPeak = 0, rms = 0;
    // From the crossings of the middle level (min + max) / 2, with a
    // hysteresis of a tenth of peak-to-peak so noise does not add
    // crossings.  Valid when cycles >= 1: the time between the first and
    // the last rising crossing divided by the whole cycles between them.
    std::size_t cycles = 0;
    double period = 0;     // seconds
    double frequency = 0;  // hertz
    double duty = 0;       // 0-1: the share of those whole cycles spent above the middle
};

// Measures samples[0, n) taken `sampleRateHz` apart.  Crossing times are
// interpolated between the two samples either side of the middle level,
// so the frequency is finer than one sample period.
Measurements measure(const std::int32_t* samples, std::size_t n, double sampleRateHz);

}  // namespace kv318::analysis
