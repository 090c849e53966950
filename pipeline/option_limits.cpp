#include "option_limits.h"

#include <cmath>
#include <cstdio>

namespace kv318::pipeline {

std::string parse_seconds(const char* what, const std::string& text, double* value) {
    double v = 0;
    switch (read_duration(text, 1, &v)) {
    case NumberStatus::Ok:
        break;
    case NumberStatus::TooLarge:
        return std::string(what) + " '" + text + "' is not a finite number of seconds";
    default:
        return std::string(what) + " '" + text + "' is not a number";
    }
    if (!(v > 0)) return std::string(what) + " '" + text + "' must be more than 0 seconds";
    *value = v;
    return {};
}

std::string samples_for_seconds(double seconds, std::uint64_t clockHz, std::uint32_t divider, std::uint64_t* count,
                                const char* what) {
    const long double rate = static_cast<long double>(clockHz) / (divider == 0 ? 1 : divider);
    const long double samples = static_cast<long double>(seconds) * rate;
    const long double exact = std::round(samples);
    char text[160];
    // Judged before rounding: 0.6 of a sample is less than one, not one.
    if (samples < 1) {
        std::snprintf(text, sizeof text, "%s %g is less than one sample at %.6Lg samples/s", what, seconds, rate);
        return text;
    }
    if (exact > static_cast<long double>(kSampleCount.max)) {
        std::snprintf(text, sizeof text, "%s %g is more samples than a run can count at %.6Lg samples/s", what, seconds,
                      rate);
        return text;
    }
    *count = static_cast<std::uint64_t>(exact);
    return {};
}

}  // namespace kv318::pipeline
