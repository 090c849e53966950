#include "numbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace kv318::pipeline {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string out_of_range(const char* what, const std::string& value, const std::string& range) {
    return std::string(what) + " " + value + " is out of range " + range;
}

// The units a duration may carry, longest first so "ms" is not read as "s".
struct TimeUnit {
    const char* name;
    double seconds;
};
constexpr TimeUnit kTimeUnits[] = {{"ns", 1e-9}, {"us", 1e-6}, {"ms", 1e-3}, {"s", 1}};

}  // namespace

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

NumberStatus read_whole(const std::string& text, bool* negative, std::uint64_t* magnitude, LeadingZero zero) {
    const char* p = text.data();
    const char* const end = p + text.size();
    bool minus = false;
    if (p < end && (*p == '-' || *p == '+')) minus = *p++ == '-';
    int base = 10;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (end - p >= 2 && p[0] == '0' && is_digit(p[1]) && zero == LeadingZero::Refuse) {
        return NumberStatus::ZeroPrefix;
    }
    // from_chars takes no sign, no blank and no prefix of its own, so what
    // it leaves unread is exactly what is not the spelling.
    std::uint64_t m = 0;
    const auto r = std::from_chars(p, end, m, base);
    if (p == end || r.ptr != end || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) {
        return NumberStatus::NotANumber;
    }
    if (r.ec == std::errc::result_out_of_range) return NumberStatus::TooLarge;
    *negative = minus;
    *magnitude = m;
    return NumberStatus::Ok;
}

NumberStatus read_real(const std::string& text, double* value) {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool minus = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    // A digit, a point or the i of inf and n of nan must follow the sign:
    // from_chars would take a second sign ("+-1") otherwise.
    if (p == end) return NumberStatus::NotANumber;
    const char first = static_cast<char>(*p | 0x20);
    if (!(is_digit(*p) || *p == '.' || first == 'i' || first == 'n')) return NumberStatus::NotANumber;
    double v = 0;
    const auto r = std::from_chars(p, end, v, std::chars_format::general);
    if (r.ptr != end || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) {
        return NumberStatus::NotANumber;
    }
    if (r.ec == std::errc::result_out_of_range || !std::isfinite(v)) return NumberStatus::TooLarge;
    *value = minus ? -v : v;
    return NumberStatus::Ok;
}

NumberStatus read_duration(const std::string& text, double bareUnit, double* seconds) {
    std::string number = text;
    double scale = bareUnit;
    for (const TimeUnit& unit : kTimeUnits) {
        const std::string name = unit.name;
        if (number.size() > name.size() && number.compare(number.size() - name.size(), name.size(), name) == 0) {
            number.resize(number.size() - name.size());
            // One blank may part the number from its unit: "2 s".
            if (number.size() > 1 && number.back() == ' ') number.pop_back();
            scale = unit.seconds;
            break;
        }
    }
    if (scale == 0) return NumberStatus::NotANumber;
    double v = 0;
    const NumberStatus status = read_real(number, &v);
    if (status != NumberStatus::Ok) return status;
    if (!std::isfinite(v * scale)) return NumberStatus::TooLarge;
    *seconds = v * scale;
    return NumberStatus::Ok;
}

std::string check_limit(const Limit& limit, std::int64_t value) {
    if (value >= limit.min && value <= limit.max) return {};
    return out_of_range(limit.what, std::to_string(value), range_text(limit));
}

std::string check_real(const RealLimit& limit, double value) {
    if (value >= limit.min && value <= limit.max) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return out_of_range(limit.what, text, real_range_text(limit));
}

std::string parse_within(const Limit& limit, const std::string& text, std::int64_t* value) {
    bool negative = false;
    std::uint64_t magnitude = 0;
    switch (read_whole(text, &negative, &magnitude)) {
    case NumberStatus::Ok:
        break;
    case NumberStatus::ZeroPrefix:
        return "'" + text + "': write decimal without a leading zero, or hex as 0x...";
    case NumberStatus::NotANumber:
        return "'" + text + "' is not a number";
    case NumberStatus::TooLarge:
        return out_of_range(limit.what, text, range_text(limit));
    }
    constexpr std::uint64_t kMaxMagnitude = static_cast<std::uint64_t>(INT64_MAX);
    if (magnitude > kMaxMagnitude + (negative ? 1 : 0)) return out_of_range(limit.what, text, range_text(limit));
    const std::int64_t v = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    std::string bad = check_limit(limit, v);
    if (!bad.empty()) return bad;
    *value = v;
    return {};
}

std::string parse_whole_duration(const Limit& limit, const std::string& text, const char* unit, std::int64_t* value) {
    std::string bad = parse_within(limit, text, value);
    double seconds = 0;
    if (bad.empty() || read_duration(text, 0, &seconds) != NumberStatus::Ok) return bad;
    double scale = 0;
    for (const TimeUnit& u : kTimeUnits) {
        if (std::string(u.name) == unit) scale = u.seconds;
    }
    const std::string range = range_text(limit) + " " + unit;
    const double count = seconds / scale;
    const double whole = std::round(count);
    // Within the range before it is made a whole number, and below 2^63
    // (which the largest range rounds to as a double), so no cast overflows.
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (!(whole >= static_cast<double>(limit.min) && whole <= static_cast<double>(limit.max) && whole < kTwoTo63)) {
        return out_of_range(limit.what, text, range);
    }
    if (std::fabs(count - whole) > 1e-9 * std::max(1.0, whole)) {
        return "'" + text + "' is not a whole number of " + unit;
    }
    *value = static_cast<std::int64_t>(whole);
    return {};
}

bool parse_unsigned_within(const std::string& text, std::uint64_t lo, std::uint64_t hi, std::uint64_t* value,
                           LeadingZero zero) {
    bool negative = false;
    std::uint64_t magnitude = 0;
    if (read_whole(text, &negative, &magnitude, zero) != NumberStatus::Ok) return false;
    // "-0" is zero, and zero may be in range.
    if (negative && magnitude != 0) return false;
    if (magnitude < lo || magnitude > hi) return false;
    *value = magnitude;
    return true;
}

std::string real_range_text(const RealLimit& limit, const char* unit) {
    char text[96];
    const char* gap = *unit != '\0' ? " " : "";
    std::snprintf(text, sizeof text, "%g%s%s to %g%s%s", limit.min, gap, unit, limit.max, gap, unit);
    return text;
}

std::string parse_real(const RealLimit& limit, const std::string& text, double* value) {
    double v = 0;
    const NumberStatus status = read_real(text, &v);
    if (status == NumberStatus::NotANumber) return "'" + text + "' is not a number";
    if (status != NumberStatus::Ok || v < limit.min || v > limit.max) {
        return out_of_range(limit.what, text, real_range_text(limit));
    }
    *value = v;
    return {};
}

std::string parse_duration(const RealLimit& limit, const std::string& text, double bareUnit, double* seconds) {
    double v = 0;
    const NumberStatus status = read_duration(text, bareUnit, &v);
    if (status == NumberStatus::NotANumber) {
        return std::string(limit.what) + " '" + text + "' is not a time such as 200us, 10ms or 2s";
    }
    if (status != NumberStatus::Ok || v < limit.min || v > limit.max) {
        return out_of_range(limit.what, text, real_range_text(limit, "s"));
    }
    *seconds = v;
    return {};
}

}  // namespace kv318::pipeline
