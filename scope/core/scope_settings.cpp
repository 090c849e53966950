#include "scope_settings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kv318::scope {

namespace {

std::vector<double> one_two_five(double from, double to) {
    std::vector<double> out;
    for (int exp = -9; exp <= 2; ++exp) {
        for (double m : {1.0, 2.0, 5.0}) {
            const double v = m * std::pow(10.0, exp);
            // A relative margin so 10 ms built from 1e-2 matches 0.01 typed.
            if (v >= from * (1 - 1e-9) && v <= to * (1 + 1e-9)) out.push_back(v);
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

std::vector<double> volt_scales() { return one_two_five(0.01, 2.0); }

double nearest_step(const std::vector<double>& steps, double value) {
    if (steps.empty() || !(value > 0)) return steps.empty() ? value : steps.front();
    return *std::min_element(steps.begin(), steps.end(), [value](double a, double b) {
        return std::fabs(std::log(a / value)) < std::fabs(std::log(b / value));
    });
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

bool parse_seconds(const std::string& text, double* seconds) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(v)) return false;
    std::string unit(end);
    unit.erase(std::remove(unit.begin(), unit.end(), ' '), unit.end());
    double scale = 0;
    if (unit.empty() || unit == "s") scale = 1;
    else if (unit == "ms") scale = 1e-3;
    else if (unit == "us") scale = 1e-6;
    else if (unit == "ns") scale = 1e-9;
    else return false;
    *seconds = v * scale;
    return true;
}

std::string format_seconds(double seconds) { return with_unit(seconds, "s"); }
std::string format_volts(double volts) { return with_unit(volts, "V"); }
std::string format_rate(double perSecond) { return with_unit(perSecond, "S/s"); }
std::string format_hertz(double hz) { return with_unit(hz, "Hz"); }

}  // namespace kv318::scope
