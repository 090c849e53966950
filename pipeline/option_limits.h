// What the tool accepts for each number on its command line.  A value out of range is refused before the board is
// opened, so nothing reaches the board; the library would otherwise mask or
// clamp it silently (a register of 256 would become 0).  Each range lives
// here once; numbers.h reads the text against it.
#pragma once

#include <cstdint>
#include <string>

#include "KV318.h"
#include "numbers.h"

namespace kv318::pipeline {

inline constexpr Limit kBoardNumber{"board number", 0, 255, false};
inline constexpr Limit kBoardCount{"board count", 1, 256, false};
inline constexpr Limit kRegister{"register", 0, 0xFF, true};
inline constexpr Limit kRegisterValue{"register value", 0, 0xFF, true};
inline constexpr Limit kOutputWord{"output word", 0, 0xFFFF, true};
inline constexpr Limit kDivider{"divider", KV318_DIVIDER_MIN, KV318_DIVIDER_MAX, false};
// A start's four mode flags: the library uses bit 0 of each.
inline constexpr Limit kModeFlag{"mode flag", 0, 1, false};
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

// The reals the trigger and the screen take, in kv318-cli's capture and in
// kv318-scope (its command line and both windows).
inline constexpr RealLimit kTriggerLevelVolts{"trigger level", -5, 5};
inline constexpr RealLimit kHysteresisVolts{"hysteresis", 0, 10};
inline constexpr RealLimit kPretriggerPercent{"pre-trigger", 0, 100};
inline constexpr RealLimit kHoldoffSeconds{"holdoff", 0, 100};
// The most samples one triggered capture holds: 16 M, 64 MiB a copy (the
// trigger engine keeps up to about two while it searches, the capture one
// more).
inline constexpr Limit kCaptureSamples{"sample count", 1, 16 << 20, false};
inline constexpr RealLimit kCaptureTimeoutSeconds{"timeout", 0.001, kMaxStallSeconds};
inline constexpr RealLimit kOffsetVolts{"offset", -20, 20};
// How long kv318-scope runs before --screenshot saves the window.
inline constexpr RealLimit kScreenshotAfterSeconds{"--after", 0, 3600};

// Reads `text` as a time for the option `what` ("--seconds"): a duration
// (numbers.h; a bare number is seconds), finite and above zero.  Empty with
// *value set in seconds, or the reason ("--seconds 'abc' is not a number").
std::string parse_seconds(const char* what, const std::string& text, double* value);

// The exact sample count of `seconds` at clock / divider samples per
// second: round(seconds x clock / divider).  Empty with *count set, or the
// reason when that is less than one sample or more than a count can hold.
// `what` names the option in the reason ("--seconds", "--split").
std::string samples_for_seconds(double seconds, std::uint64_t clockHz, std::uint32_t divider, std::uint64_t* count,
                                const char* what = "--seconds");

}  // namespace kv318::pipeline
