// Value checks that kv318-cli and kv318-scope attach to CLI11 options, so the
// two command lines take and refuse numbers the same way and say so in the
// same words.  Header-only: each program's command-line layer includes it.
// Each check hands on the value it read, so attach it with ->transform():
// ->check() would drop the rewritten text and leave "500ms" or "+0x14" to
// CLI11's own conversion, which refuses them.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <string>

#include "option_limits.h"

namespace kv318::pipeline {

// A whole number as kv318-cli reads one (decimal or 0x-hex), refused with
// the range when outside `limit`; the text is handed on in decimal, so
// CLI11's own conversion sees only a value already checked.
inline CLI::Validator whole_within(const Limit& limit) {
    return CLI::Validator(
        [limit](std::string& text) -> std::string {
            std::int64_t v = 0;
            std::string bad = parse_within(limit, text, &v);
            if (!bad.empty()) return bad;
            text = std::to_string(v);
            return {};
        },
        std::to_string(limit.min) + "-" + std::to_string(limit.max));
}

// A real number read by `parse` (parse_real, or parse_duration in seconds)
// within `limit`; the text is handed on as the value read, so CLI11's own
// conversion sees only a plain number already checked.
template <class Parse>
CLI::Validator real_check(const RealLimit& limit, Parse parse) {
    return CLI::Validator(
        [limit, parse](std::string& text) -> std::string {
            double v = 0;
            std::string bad = parse(limit, text, &v);
            if (!bad.empty()) return bad;
            char exact[40];
            std::snprintf(exact, sizeof exact, "%.17g", v);
            text = exact;
            return {};
        },
        "");
}

// A real number (volts, percent) within `limit`, as numbers.h reads one.
inline CLI::Validator real_within(const RealLimit& limit) {
    return real_check(limit, [](const RealLimit& l, const std::string& t, double* v) { return parse_real(l, t, v); });
}

// A time within `limit` (seconds): a bare number is seconds, and a unit
// may follow ("500ms"), as numbers.h reads a duration.
inline CLI::Validator seconds_within(const RealLimit& limit) {
    return real_check(limit,
                      [](const RealLimit& l, const std::string& t, double* v) { return parse_duration(l, t, 1, v); });
}

}  // namespace kv318::pipeline
