// What the user chose: the board, its rate, the screen's scales and the
// trigger.  Set from the command line at start and by the window's
// controls after; read by the GUI thread, and copied for the worker when a
// run starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fifo_verdict.h"
#include "numbers.h"
#include "trigger.h"

namespace kv318::scope {

inline constexpr int kDivisionsX = 10;
inline constexpr int kDivisionsY = 8;
// The fewest samples a division may hold: the fastest time base shows them.
inline constexpr double kMinSamplesPerDivision = 10;
// Roll mode is offered from this time base up (100 ms/div).
inline constexpr double kRollFromSecondsPerDiv = 0.1;
inline constexpr double kSlowestSecondsPerDiv = 10;
// The most samples one screen holds: 16 MB a frame.  The worker, the
// hand-off's three slots and the window each keep a frame, so a slow time
// base at a fast rate (10 s/div at 13 MS/s would be 1.3 G samples) is not
// offered; a slower rate (a larger divider) reaches it.
inline constexpr double kMaxScreenSamples = 4'000'000;
// The volts per division the screen offers, in 1-2-5 steps.
inline constexpr pipeline::RealLimit kVoltsPerDiv{"volts per division", 0.01, 2};
// How near a number must be to a 1-2-5 step to be that step, relative to
// it: 10 ms built from 1e-2 is 0.01 typed, though the two differ in their
// last bits.  Every comparison with a step uses it.
inline constexpr double kStepTolerance = 1e-9;

struct ScopeSettings {
    std::int32_t board = 0;
    std::int32_t divider = 50;
    std::uint64_t clockHz = 2'000'000;
    double secondsPerDiv = 1e-3;
    double voltsPerDiv = 1.0;
    double offsetVolts = 0;  // added to the trace before it is drawn
    analysis::TriggerMode mode = analysis::TriggerMode::Auto;
    analysis::Edge edge = analysis::Edge::Rising;
    double levelVolts = 0;
    double hysteresisVolts = analysis::kDefaultHysteresisVolts;
    double pretriggerPercent = 50;
    double holdoffSeconds = 0;
    // The board's FIFO in bytes (--fifo-bytes), for the verdict on lost
    // samples.
    std::uint64_t fifoBytes = analysis::kBoardFifoBytes;
    // --screenshot FILE --after SECONDS: save the window and exit.
    std::string screenshot;
    double screenshotAfter = 1;
    // --server URL: the board through kv318-server (empty: the library);
    // --follow: show the stream another client runs there.
    std::string server;
    std::string serverKeys;  // --server-keys: the CURVE key directory for it
    bool follow = false;
    // --record FILE: the first run records to FILE, as if Record had been
    // pressed with it (recording_format says how).
    std::string record;

    double sampleRate() const { return static_cast<double>(clockHz) / divider; }
};

// "kv318-scope VERSION": what --version prints and a recording names as
// its tool.
std::string tool_name();

// A followed stream's own clock and divider into *s, with the time base
// moved to the nearest one offered at the new rate (and to Roll's slowest
// start when Roll needs it), as the window does when its divider changes.
void adopt_rate(ScopeSettings* s, std::uint64_t clockHz, std::int32_t divider);

// The 1-2-5 time bases from the fastest that gives at least 10 samples a
// division at `sampleRate` to 10 s/div, or to the slowest whose screen
// holds at most kMaxScreenSamples, in seconds, fastest first.
std::vector<double> time_bases(double sampleRate);
// The 1-2-5 volts per division from 10 mV to 2 V.
std::vector<double> volt_scales();
// The entry of `steps` nearest `value` on a log scale.
double nearest_step(const std::vector<double>& steps, double value);
// Whether `value` is the step `step`, within kStepTolerance.
bool same_step(double value, double step);
// Whether `value` is one of `steps`, within kStepTolerance.
bool is_step(const std::vector<double>& steps, double value);

// `s` with every field within what the scope can show, the one rule the
// command line, both windows and the controller apply: the board, divider,
// clock and FIFO size clamped to the ranges of pipeline/option_limits.h;
// offset, trigger level, hysteresis, pre-trigger, hold-off and --after
// clamped to theirs (a value that is not a number takes the default);
// the volts per division on the nearest 1-2-5 step; the time base on the
// nearest step at the (clamped) rate, and in roll mode the nearest step of
// 100 ms or slower, or Auto when the rate offers none.  Applying it twice
// changes nothing more.
ScopeSettings normalise(ScopeSettings s);

// Samples in one screen at `s`'s time base and rate (at least 2).
std::size_t screen_samples(const ScopeSettings& s);

// The trigger engine's settings for `s`.  Auto free-runs after a screen
// or 100 ms without a trigger, whichever is longer, as a bench scope does.
analysis::TriggerSettings trigger_settings(const ScopeSettings& s);

// "2 ms", "500 us", "1 s": a time for a label.
std::string format_seconds(double seconds);
// "500 mV", "2 V".
std::string format_volts(double volts);
// "100 kS/s", "13 MS/s".
std::string format_rate(double perSecond);
// "1.000 kHz".
std::string format_hertz(double hz);

}  // namespace kv318::scope
