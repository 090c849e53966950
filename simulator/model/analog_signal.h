// The analog input of the simulated board: a deterministic function of the
// sample number, so a sample dropped by a full FIFO still moves the signal
// on and a reader can see exactly where the gap is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv318::sim {

enum class SignalKind { Sine, Ramp, Constant };

struct SignalConfig {
    SignalKind kind = SignalKind::Sine;
    double frequencyHz = 1000.0;  // sine
    double amplitudeV = 2.5;      // sine, peak
    double offsetV = 0.0;         // sine
    double constantV = 1.0;       // constant
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

// The FIFO word of sample `n` (counted from 0 at the start of conversion)
// for a converter running at `sampleRateHz`.  The ramp is code n modulo
// 16384, so consecutive words differ by 4 modulo 65536.
std::uint16_t signal_word(const SignalConfig& signal, std::uint64_t n, double sampleRateHz);

// Samples first ... first + count - 1 as FIFO bytes, two per sample, low
// byte first, into `out` (2 * count bytes, the caller's).
void signal_bytes(const SignalConfig& signal, std::uint64_t first, std::size_t count, double sampleRateHz,
                  std::uint8_t* out);

}  // namespace kv318::sim
