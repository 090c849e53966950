// What the tool accepts for each number on its command line.  A value out of range is refused before the board is
// opened, so nothing reaches the board; the library would otherwise mask or
// clamp it silently (a register of 256 would become 0).
#pragma once

#include <cstdint>
#include <string>

#include "KV318.h"

namespace kv318::pipeline {

struct Limit {
    const char* what;  // how a refusal names the value
    std::int64_t min;
    std::int64_t max;
    bool hex;  // refusals show the range in hex too
};

inline constexpr Limit kBoardNumber{"board number", 0, 255, false};
inline constexpr Limit kBoardCount{"board count", 1, 256, false};
inline constexpr Limit kRegister{"register", 0, 0xFF, true};
inline constexpr Limit kRegisterValue{"register value", 0, 0xFF, true};
inline constexpr Limit kOutputWord{"output word", 0, 0xFFFF, true};
inline constexpr Limit kDivider{"divider", KV318_DIVIDER_MIN, KV318_DIVIDER_MAX, false};
inline constexpr Limit kPulseDivisor{"pulse divisor", 2, 255, false};
inline constexpr Limit kPulseMode{"pulse mode", 0, 1, false};
inline constexpr Limit kIntervalMs{"interval", 1, 3'600'000, false};
inline constexpr Limit kClockHz{"converter clock", 1, 1'000'000'000, false};
inline constexpr Limit kSampleCount{"sample count", 1, INT64_MAX, false};
// The board's FIFO in bytes (--fifo-bytes; the board's own is
// analysis::kBoardFifoBytes): from one bulk chunk to 1 GiB.
inline constexpr Limit kFifoBytes{"FIFO size", 16'384, 1 << 30, false};
// The most a stall timeout can be: a day, far past any board's slowest rate.
inline constexpr double kMaxStallSeconds = 86400;

// Empty when `value` is within `limit`; else one sentence saying so, e.g.
// "register 256 is out of range 0-255 (0x00-0xFF)".
std::string check_limit(const Limit& limit, std::int64_t value);

// Reads `text` as the tool reads whole numbers (decimal, or hex after 0x,
// with an optional sign) and checks it against `limit`.  Empty with *value
// set when it is taken; else the reason, naming the text as typed: "'abc'
// is not a number", or the range when it is outside it, however many digits
// it has (a value is never capped to what fits).  A decimal with a leading
// zero ("010") is refused, because a user means ten and some readers take
// it as octal.
std::string parse_within(const Limit& limit, const std::string& text, std::int64_t* value);

// Reads `text` as a time in seconds for the option `what` ("--seconds"): a
// decimal number, finite and above zero.  Empty with *value set, or the
// reason ("--seconds 'abc' is not a number").
std::string parse_seconds(const char* what, const std::string& text, double* value);

// The exact sample count of `seconds` at clock / divider samples per
// second: round(seconds x clock / divider).  Empty with *count set, or the
// reason when that is less than one sample or more than a count can hold.
// `what` names the option in the reason ("--seconds", "--split").
std::string samples_for_seconds(double seconds, std::uint64_t clockHz, std::uint32_t divider, std::uint64_t* count,
                                const char* what = "--seconds");

}  // namespace kv318::pipeline
