// Value checks that kv318-cli and kv318-scope attach to CLI11 options, so the
// two command lines take and refuse numbers the same way and say so in the
// same words.  Header-only: each program's command-line layer includes it.
#pragma once

#include <CLI/CLI.hpp>

#include <cmath>
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

// A finite decimal number (seconds, volts, percent) within [lo, hi], with
// `what` naming the option in a refusal.
inline CLI::Validator decimal_between(const char* what, double lo, double hi) {
    return CLI::Validator(
        [what, lo, hi](std::string& text) -> std::string {
            double v = 0;
            if (!CLI::detail::lexical_cast(text, v) || !std::isfinite(v)) return "'" + text + "' is not a number";
            if (v < lo || v > hi) {
                char msg[160];
                std::snprintf(msg, sizeof msg, "%s %s is out of range %g to %g", what, text.c_str(), lo, hi);
                return msg;
            }
            return {};
        },
        "");
}

}  // namespace kv318::pipeline
