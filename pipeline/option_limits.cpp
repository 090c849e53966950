#include "option_limits.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kv318::pipeline {

namespace {

std::string range_text(const Limit& limit) {
    std::string text = std::to_string(limit.min) + "-" + std::to_string(limit.max);
    if (limit.hex) {
        const int digits = limit.max > 0xFF ? 4 : 2;
        char range[40];
        std::snprintf(range, sizeof range, " (0x%0*llX-0x%0*llX)", digits, static_cast<unsigned long long>(limit.min),
                      digits, static_cast<unsigned long long>(limit.max));
        text += range;
    }
    return text;
}

}  // namespace

std::string check_limit(const Limit& limit, std::int64_t value) {
    if (value >= limit.min && value <= limit.max) return {};
    return std::string(limit.what) + " " + std::to_string(value) + " is out of range " + range_text(limit);
}

std::string parse_within(const Limit& limit, const std::string& text, std::int64_t* value) {
    const char* p = text.data();
    const char* const end = p + text.size();
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    int base = 10;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (end - p >= 2 && p[0] == '0' && p[1] >= '0' && p[1] <= '9') {
        return "'" + text + "': write decimal without a leading zero, or hex as 0x...";
    }
    // Read as a magnitude, so a minus sign before hex works and any number
    // of digits is either taken whole or named as out of range.
    std::uint64_t magnitude = 0;
    const auto r = std::from_chars(p, end, magnitude, base);
    if (p == end || r.ptr != end || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) {
        return "'" + text + "' is not a number";
    }
    constexpr std::uint64_t kMaxMagnitude = static_cast<std::uint64_t>(INT64_MAX);
    if (r.ec == std::errc::result_out_of_range || magnitude > kMaxMagnitude + (negative ? 1 : 0)) {
        return std::string(limit.what) + " " + text + " is out of range " + range_text(limit);
    }
    const std::int64_t v = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    if (v < limit.min || v > limit.max) {
        return std::string(limit.what) + " " + std::to_string(v) + " is out of range " + range_text(limit);
    }
    *value = v;
    return {};
}

std::string parse_seconds(const char* what, const std::string& text, double* value) {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p < end && *p == '+') ++p;
    double v = 0;
    // from_chars takes no locale, so "1.5" means the same everywhere.
    const auto r = std::from_chars(p, end, v, std::chars_format::general);
    if (p == end || r.ptr != end || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) {
        return std::string(what) + " '" + text + "' is not a number";
    }
    if (r.ec == std::errc::result_out_of_range || !std::isfinite(v)) {
        return std::string(what) + " '" + text + "' is not a finite number of seconds";
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
