// The analog input of the simulated board: a deterministic function of the
// sample number, so a sample dropped by a full FIFO still moves the signal
// on and a reader can see exactly where the gap is.  Even the noise is a
// function of the sample number and the seed, never of the order or the
// batches in which samples are made.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv318::sim {

enum class SignalKind { Sine, Ramp, Square, Constant };

struct SignalConfig {
    SignalKind kind = SignalKind::Sine;
    double frequencyHz = 1000.0;  // sine and square; counted in whole millihertz
    double amplitudeV = 2.5;      // sine and square, peak: the square swings offset +- amplitude
    double offsetV = 0.0;         // sine and square
    double constantV = 1.0;       // constant
    double dutyPercent = 50.0;    // square: the high part of each period, 0-100, to 0.001 %
    double noiseV = 0.0;          // Gaussian noise's standard deviation, added to any kind; 0: none
    std::uint64_t noiseSeed = 0;  // the same seed gives the same noise, sample for sample
};

// When sample n is made: n * divider / converterClockHz seconds after the
// start of conversion.  Integers, so a signal's phase is exact.
struct SampleTiming {
    std::uint64_t converterClockHz = 0;  // at least 1
    std::uint32_t divider = 1;           // at least 1
};

// Converter codes are 14-bit signed: -8192 (-5 V) to 8191 (5 V - 1 LSB).
inline constexpr std::int32_t kCodeMin = -8192;
inline constexpr std::int32_t kCodeMax = 8191;

// The nearest code to `volts` (code * 5 / 8192 = volts), held to the range.
std::int32_t volts_to_code(double volts);

// The 16-bit FIFO word of a code: the 14-bit code in bits 2-15, bits 0-1
// clear.  Read back as a signed 16-bit value and divided by 4, it gives the
// code again.
std::uint16_t code_to_word(std::int32_t code);

// The periodic signals' phase of sample n: frac(n * divider * f / clock),
// with f in whole millihertz, as the exact fraction phase / units.
struct Phase {
    std::uint64_t phase = 0;  // 0 <= phase < units
    std::uint64_t units = 1;  // one period: converterClockHz * 1000
};
Phase signal_phase(const SignalConfig& signal, std::uint64_t n, SampleTiming timing);

// Whether a square wave is high at `phase`: phase / units < duty / 100,
// exactly, with the duty taken to 0.001 %.
bool square_is_high(const SignalConfig& signal, Phase phase);

// The noise added to sample n, in volts: Gaussian with standard deviation
// signal.noiseV, a function of (noiseSeed, n) alone.  0 when noiseV is 0.
double noise_volts(const SignalConfig& signal, std::uint64_t n);

// The FIFO word of sample `n` (counted from 0 at the start of conversion).
// The ramp is code n modulo 16384, so consecutive words differ by 4 modulo
// 65536 (without noise).
std::uint16_t signal_word(const SignalConfig& signal, std::uint64_t n, SampleTiming timing);

// Samples first ... first + count - 1 as FIFO bytes, two per sample, low
// byte first, into `out` (2 * count bytes, the caller's).  The same words as
// signal_word gives, made faster.
void signal_bytes(const SignalConfig& signal, std::uint64_t first, std::size_t count, SampleTiming timing,
                  std::uint8_t* out);

}  // namespace kv318::sim
