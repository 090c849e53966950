#include "analog_signal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "bytes.h"

namespace kv318::sim {

namespace {

// (a * b) mod m for a, b < m < 2^63, by doubling and adding over b's bits:
// the 32-bit Windows build has no wider integer type, and this runs once
// per batch of samples, not per sample.
std::uint64_t mul_mod(std::uint64_t a, std::uint64_t b, std::uint64_t m) {
    std::uint64_t r = 0;
    while (b != 0) {
        if ((b & 1) != 0) {
            r += a;
            if (r >= m) r -= m;
        }
        a += a;
        if (a >= m) a -= m;
        b >>= 1;
    }
    return r;
}

// The frequency in whole millihertz: the phase is kept in integers so a
// period that is a whole number of samples repeats exactly, forever.
std::uint64_t millihertz(double hz) {
    if (!(hz > 0)) return 0;
    return static_cast<std::uint64_t>(std::llround(hz * 1000.0));
}

// The duty cycle in thousandths of a percent, 0 to 100000.
std::uint64_t duty_milli_percent(double percent) {
    if (!(percent > 0)) return 0;
    if (percent >= 100) return 100'000;
    return static_cast<std::uint64_t>(std::llround(percent * 1000.0));
}

// The first phase at which a square is no longer high: the least integer
// not below units * duty / 100, worked out in two parts so that it cannot
// overflow.
std::uint64_t square_threshold(const SignalConfig& signal, std::uint64_t units) {
    constexpr std::uint64_t kWhole = 100'000;
    const std::uint64_t d = duty_milli_percent(signal.dutyPercent);
    return units / kWhole * d + (units % kWhole * d + kWhole - 1) / kWhole;
}

// splitmix64's mixing step: any change of the input changes about half the
// output bits, so consecutive sample numbers give unrelated noise.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The signed code of ramp sample n: 0 ... 8191, then -8192 ... -1.
std::int32_t ramp_code(std::uint64_t n) {
    const auto c = static_cast<std::int32_t>(n & 0x3FFF);
    return c >= 8192 ? c - 16384 : c;
}

// The level of sample n before noise.  `phase` is sample n's (periodic
// kinds only).
double level_volts(const SignalConfig& signal, std::uint64_t n, Phase phase, std::uint64_t squareThreshold) {
    switch (signal.kind) {
    case SignalKind::Ramp:
        return ramp_code(n) * 5.0 / 8192.0;
    case SignalKind::Constant:
        return signal.constantV;
    case SignalKind::Square:
        return phase.phase < squareThreshold ? signal.offsetV + signal.amplitudeV : signal.offsetV - signal.amplitudeV;
    case SignalKind::Sine:
        break;
    }
    const double fraction = static_cast<double>(phase.phase) / static_cast<double>(phase.units);
    return signal.offsetV + signal.amplitudeV * std::sin(2.0 * std::numbers::pi * fraction);
}

bool periodic(SignalKind kind) { return kind == SignalKind::Sine || kind == SignalKind::Square; }

}  // namespace

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

Phase signal_phase(const SignalConfig& signal, std::uint64_t n, SampleTiming timing) {
    Phase p;
    p.units = std::max<std::uint64_t>(timing.converterClockHz, 1) * 1000;
    const std::uint64_t f = millihertz(signal.frequencyHz) % p.units;
    const std::uint64_t step = mul_mod(std::max<std::uint32_t>(timing.divider, 1) % p.units, f, p.units);
    p.phase = mul_mod(n % p.units, step, p.units);
    return p;
}

bool square_is_high(const SignalConfig& signal, Phase phase) {
    return phase.phase < square_threshold(signal, phase.units);
}

double noise_volts(const SignalConfig& signal, std::uint64_t n) {
    if (!(signal.noiseV > 0)) return 0.0;
    // Box-Muller from two uniforms drawn from (seed, n) alone.
    const std::uint64_t key = mix(signal.noiseSeed);
    const std::uint64_t a = mix(key + 2 * n), b = mix(key + 2 * n + 1);
    const double u1 = static_cast<double>((a >> 11) + 1) * 0x1p-53;  // (0, 1]: log(u1) is finite
    const double u2 = static_cast<double>(b >> 11) * 0x1p-53;        // [0, 1)
    return signal.noiseV * std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

std::uint16_t signal_word(const SignalConfig& signal, std::uint64_t n, SampleTiming timing) {
    const bool noisy = signal.noiseV > 0;
    if (signal.kind == SignalKind::Ramp && !noisy) return code_to_word(ramp_code(n));
    Phase phase;
    std::uint64_t threshold = 0;
    if (periodic(signal.kind)) {
        phase = signal_phase(signal, n, timing);
        threshold = square_threshold(signal, phase.units);
    }
    return code_to_word(volts_to_code(level_volts(signal, n, phase, threshold) + noise_volts(signal, n)));
}

void signal_bytes(const SignalConfig& signal, std::uint64_t first, std::size_t count, SampleTiming timing,
                  std::uint8_t* out) {
    // The common cases skip the general path: at tens of MB/s the
    // per-sample cost is what bounds the simulator.
    const bool noisy = signal.noiseV > 0;
    if (signal.kind == SignalKind::Ramp && !noisy) {
        for (std::size_t i = 0; i < count; ++i) put_u16le(out + 2 * i, code_to_word(ramp_code(first + i)));
        return;
    }
    if (signal.kind == SignalKind::Constant && !noisy) {
        const std::uint16_t w = code_to_word(volts_to_code(signal.constantV));
        for (std::size_t i = 0; i < count; ++i) put_u16le(out + 2 * i, w);
        return;
    }
    if (!periodic(signal.kind)) {
        for (std::size_t i = 0; i < count; ++i) put_u16le(out + 2 * i, signal_word(signal, first + i, timing));
        return;
    }
    // The phase moves on by the same step every sample: one modular
    // multiplication for the batch, then an addition per sample.
    Phase phase = signal_phase(signal, first, timing);
    const std::uint64_t step = signal_phase(signal, 1, timing).phase;
    const std::uint64_t threshold = square_threshold(signal, phase.units);
    const std::uint16_t high = code_to_word(volts_to_code(signal.offsetV + signal.amplitudeV));
    const std::uint16_t low = code_to_word(volts_to_code(signal.offsetV - signal.amplitudeV));
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t w;
        if (signal.kind == SignalKind::Square && !noisy) {
            w = phase.phase < threshold ? high : low;
        } else {
            w = code_to_word(
                volts_to_code(level_volts(signal, first + i, phase, threshold) + noise_volts(signal, first + i)));
        }
        put_u16le(out + 2 * i, w);
        phase.phase += step;  // both below units < 2^63: no overflow
        if (phase.phase >= phase.units) phase.phase -= phase.units;
    }
}

}  // namespace kv318::sim
