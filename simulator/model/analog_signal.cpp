#include "analog_signal.h"

#include <cmath>
#include <numbers>

namespace kv318::sim {

std::int32_t volts_to_code(double volts) {
    if (std::isnan(volts)) return 0;
    const double code = std::nearbyint(volts * 8192.0 / 5.0);
    if (code <= kCodeMin) return kCodeMin;
    if (code >= kCodeMax) return kCodeMax;
    return static_cast<std::int32_t>(code);
}

std::uint16_t code_to_word(std::int32_t code) {
    return static_cast<std::uint16_t>((static_cast<std::uint32_t>(code) & 0x3FFFu) << 2);
}

std::uint16_t signal_word(const SignalConfig& signal, std::uint64_t n, double sampleRateHz) {
    switch (signal.kind) {
    case SignalKind::Ramp:
        return code_to_word(static_cast<std::int32_t>(n & 0x3FFF));
    case SignalKind::Constant:
        return code_to_word(volts_to_code(signal.constantV));
    case SignalKind::Sine:
        break;
    }
    // Only the fraction of a cycle goes into sin(), so its argument stays
    // small however long the converter runs.
    const double cycles = signal.frequencyHz * static_cast<double>(n) / sampleRateHz;
    const double phase = 2.0 * std::numbers::pi * (cycles - std::floor(cycles));
    return code_to_word(volts_to_code(signal.offsetV + signal.amplitudeV * std::sin(phase)));
}

}  // namespace kv318::sim
