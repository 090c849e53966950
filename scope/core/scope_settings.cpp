#include "scope_settings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "option_limits.h"

namespace kv318::scope {

namespace {

std::vector<double> one_two_five(double from, double to) {
    std::vector<double> out;
    for (int exp = -9; exp <= 2; ++exp) {
        // 10^|exp| by multiplication is exact, and a quotient of two exact
        // numbers is the double nearest the decimal, so each step equals
        // its literal (0.01 is 1e-2) on every C library; std::pow is off by
        // a bit on some (MinGW's).
        double power = 1;
        for (int i = 0; i < (exp < 0 ? -exp : exp); ++i) power *= 10;
        for (double m : {1.0, 2.0, 5.0}) {
            const double v = exp < 0 ? m / power : m * power;
            if (v >= from * (1 - kStepTolerance) && v <= to * (1 + kStepTolerance)) out.push_back(v);
        }
    }
    return out;
}

std::string with_unit(double value, const char* unit) {
    struct Prefix {
        double scale;
        const char* name;
    };
    static const Prefix kPrefixes[] = {{1e6, "M"}, {1e3, "k"}, {1, ""}, {1e-3, "m"}, {1e-6, "u"}, {1e-9, "n"}};
    const double a = std::fabs(value);
    if (a == 0) return std::string("0 ") + unit;
    for (const Prefix& p : kPrefixes) {
        if (a >= p.scale * (1 - 1e-9) || &p == &kPrefixes[5]) {
            char text[48];
            std::snprintf(text, sizeof text, "%.4g %s%s", value / p.scale, p.name, unit);
            return text;
        }
    }
    return {};
}

}  // namespace

std::string tool_name() { return std::string("kv318-scope ") + KV318_PROJECT_VERSION; }

void adopt_rate(ScopeSettings* s, std::uint64_t clockHz, std::int32_t divider) {
    s->clockHz = clockHz;
    s->divider = divider;
    s->secondsPerDiv = nearest_step(time_bases(s->sampleRate()), s->secondsPerDiv);
    if (s->mode == analysis::TriggerMode::Roll && s->secondsPerDiv < kRollFromSecondsPerDiv * (1 - 1e-9)) {
        s->secondsPerDiv = kRollFromSecondsPerDiv;
    }
}

std::vector<double> time_bases(double sampleRate) {
    const double fastest = sampleRate > 0 ? kMinSamplesPerDivision / sampleRate : kSlowestSecondsPerDiv;
    const double slowest = sampleRate > 0
                               ? std::min(kSlowestSecondsPerDiv, kMaxScreenSamples / (kDivisionsX * sampleRate))
                               : kSlowestSecondsPerDiv;
    std::vector<double> steps = one_two_five(fastest, slowest);
    if (steps.empty()) steps.push_back(kSlowestSecondsPerDiv);
    return steps;
}

std::vector<double> volt_scales() { return one_two_five(kVoltsPerDiv.min, kVoltsPerDiv.max); }

double nearest_step(const std::vector<double>& steps, double value) {
    if (steps.empty() || !(value > 0)) return steps.empty() ? value : steps.front();
    return *std::min_element(steps.begin(), steps.end(), [value](double a, double b) {
        return std::fabs(std::log(a / value)) < std::fabs(std::log(b / value));
    });
}

bool same_step(double value, double step) { return std::fabs(value - step) <= step * kStepTolerance; }

bool is_step(const std::vector<double>& steps, double value) {
    return std::any_of(steps.begin(), steps.end(), [value](double step) { return same_step(value, step); });
}

ScopeSettings normalise(ScopeSettings s) {
    const ScopeSettings defaults;
    auto whole = [](auto value, const pipeline::Limit& limit) {
        using T = decltype(value);
        const auto v = static_cast<std::int64_t>(value);
        return static_cast<T>(std::clamp<std::int64_t>(v, limit.min, limit.max));
    };
    auto real = [](double value, const pipeline::RealLimit& limit, double fallback) {
        return std::isnan(value) ? fallback : std::clamp(value, limit.min, limit.max);
    };
    s.board = whole(s.board, pipeline::kBoardNumber);
    s.divider = whole(s.divider, pipeline::kDivider);
    // A clock or FIFO size past what a signed count holds is past the range.
    s.clockHz = s.clockHz > static_cast<std::uint64_t>(pipeline::kClockHz.max) ? pipeline::kClockHz.max
                                                                               : whole(s.clockHz, pipeline::kClockHz);
    s.fifoBytes = s.fifoBytes > static_cast<std::uint64_t>(pipeline::kFifoBytes.max)
                      ? pipeline::kFifoBytes.max
                      : whole(s.fifoBytes, pipeline::kFifoBytes);
    s.offsetVolts = real(s.offsetVolts, pipeline::kOffsetVolts, defaults.offsetVolts);
    s.levelVolts = real(s.levelVolts, pipeline::kTriggerLevelVolts, defaults.levelVolts);
    s.hysteresisVolts = real(s.hysteresisVolts, pipeline::kHysteresisVolts, defaults.hysteresisVolts);
    s.pretriggerPercent = real(s.pretriggerPercent, pipeline::kPretriggerPercent, defaults.pretriggerPercent);
    s.holdoffSeconds = real(s.holdoffSeconds, pipeline::kHoldoffSeconds, defaults.holdoffSeconds);
    s.screenshotAfter = real(s.screenshotAfter, pipeline::kScreenshotAfterSeconds, defaults.screenshotAfter);
    if (s.mode != analysis::TriggerMode::Auto && s.mode != analysis::TriggerMode::Normal &&
        s.mode != analysis::TriggerMode::Single && s.mode != analysis::TriggerMode::Roll) {
        s.mode = defaults.mode;
    }
    if (s.edge != analysis::Edge::Rising && s.edge != analysis::Edge::Falling) s.edge = defaults.edge;
    s.voltsPerDiv = nearest_step(volt_scales(), std::isnan(s.voltsPerDiv) ? defaults.voltsPerDiv : s.voltsPerDiv);
    const std::vector<double> steps = time_bases(s.sampleRate());
    s.secondsPerDiv = nearest_step(steps, std::isnan(s.secondsPerDiv) ? defaults.secondsPerDiv : s.secondsPerDiv);
    if (s.mode == analysis::TriggerMode::Roll && s.secondsPerDiv < kRollFromSecondsPerDiv * (1 - kStepTolerance)) {
        // A bench scope moves to a slow time base rather than refuse roll;
        // a rate so fast that no screen of 100 ms fits has no roll mode.
        const auto slow = std::find_if(steps.begin(), steps.end(), [](double step) {
            return step >= kRollFromSecondsPerDiv * (1 - kStepTolerance);
        });
        if (slow != steps.end()) s.secondsPerDiv = *slow;
        else s.mode = analysis::TriggerMode::Auto;
    }
    return s;
}

std::size_t screen_samples(const ScopeSettings& s) {
    const double n = std::round(s.secondsPerDiv * kDivisionsX * s.sampleRate());
    return n < 2 ? 2 : static_cast<std::size_t>(n);
}

analysis::TriggerSettings trigger_settings(const ScopeSettings& s) {
    analysis::TriggerSettings t;
    t.mode = s.mode;
    t.edge = s.edge;
    t.levelVolts = s.levelVolts;
    t.hysteresisVolts = s.hysteresisVolts;
    t.frameSamples = screen_samples(s);
    t.pretriggerPercent = s.pretriggerPercent;
    t.holdoffSamples = analysis::seconds_to_samples(s.holdoffSeconds, s.sampleRate());
    t.autoTimeoutSamples = std::max(t.frameSamples, analysis::seconds_to_samples(0.1, s.sampleRate()));
    return t;
}

std::string format_seconds(double seconds) { return with_unit(seconds, "s"); }
std::string format_volts(double volts) { return with_unit(volts, "V"); }
std::string format_rate(double perSecond) { return with_unit(perSecond, "S/s"); }
std::string format_hertz(double hz) { return with_unit(hz, "Hz"); }

}  // namespace kv318::scope
