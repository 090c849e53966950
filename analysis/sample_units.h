// The one rule that turns a board sample into a converter code and volts,
// shared by every program that shows or writes samples (the panel, the CLI,
// the scope).  Header-only and free of OS and toolkit headers.
//
// A sample is a signed 16-bit word whose top 14 bits carry the converter
// code: code = sample / 4, rounded half to even, so the two low bits never
// bias a long average.  8192 codes are 5 V, so samples span about +-5 V.
// Rounding lets 32766 and 32767 reach code 8192 (exactly +5 V): tables indexed
// by code hold kCodeMin..kCodeMax, both ends included.
#pragma once

#include <cstdint>

namespace kv318::units {

inline constexpr std::int32_t kCodeMin = -8192;  // sample -32768
inline constexpr std::int32_t kCodeMax = 8192;   // samples 32766 and 32767
inline constexpr double kVoltsPerCode = 5.0 / 8192.0;

// The converter code of a sample: sample / 4 rounded half to even.
constexpr std::int32_t sample_code(std::int32_t sample) {
    // Floor division, then look at the remainder 0..3; 2 is the half-way case.
    const std::int64_t r = sample;
    std::int64_t q = r >= 0 ? r / 4 : -((-r + 3) / 4);
    const std::int64_t rem = r - 4 * q;
    if (rem == 3 || (rem == 2 && (q & 1) != 0)) ++q;
    return static_cast<std::int32_t>(q);
}

// A converter code in volts: code x 5 / 8192, exact in a double.
constexpr double code_volts(std::int32_t code) { return code * kVoltsPerCode; }

// A sample in volts, through its rounded code.
constexpr double sample_volts(std::int32_t sample) { return code_volts(sample_code(sample)); }

}  // namespace kv318::units
