#include "analog_signal.h"

#include <cmath>
#include <numbers>

#include "bytes.h"

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

void signal_bytes(const SignalConfig& signal, std::uint64_t first, std::size_t count, double sampleRateHz,
                  std::uint8_t* out) {
    // The ramp and the constant skip the general path: at tens of MB/s the
    // per-sample cost is what bounds the simulator.
    if (signal.kind == SignalKind::Ramp) {
        for (std::size_t i = 0; i < count; ++i)
            put_u16le(out + 2 * i, code_to_word(static_cast<std::int32_t>((first + i) & 0x3FFF)));
        return;
    }
    if (signal.kind == SignalKind::Constant) {
        const std::uint16_t w = code_to_word(volts_to_code(signal.constantV));
        for (std::size_t i = 0; i < count; ++i) put_u16le(out + 2 * i, w);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) put_u16le(out + 2 * i, signal_word(signal, first + i, sampleRateHz));
}

}  // namespace kv318::sim
