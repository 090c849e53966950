// Synthetic board samples for the analysis tests: a continuous signal in
// volts, quantised to converter codes the way the board does (nearest
// code, two low bits clear), so expected trigger points can be worked out
// from the signal's formula.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

namespace kv318::test {

inline constexpr double kVoltsPerCode = 5.0 / 8192.0;
inline constexpr double kPi = 3.14159265358979323846;

inline std::int32_t volts_sample(double volts) {
    const long code = std::lround(volts / kVoltsPerCode);
    return static_cast<std::int32_t>(code * 4);
}

inline std::vector<std::int32_t> make_samples(std::size_t n, const std::function<double(double)>& volts) {
    std::vector<std::int32_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = volts_sample(volts(static_cast<double>(i)));
    return out;
}

}  // namespace kv318::test
