// Command-line options that more than one subcommand takes, defined once so
// `stream`, `poll` and `capture` cannot drift apart in name, range or help.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "core/commands.h"
#include "option_limits.h"

namespace kv318::cli {

// Adds a whole-number option (decimal or 0x-hex) stored in *field once it is
// within `limit`.  The text is read here rather than by CLI11, whose
// conversion caps a value too large for its type instead of refusing it; a
// refusal names the value as given and the range allowed.  `field` must
// outlive the parse.
template <typename T>
CLI::Option* number_option(CLI::App* cmd, const std::string& name, T* field, const Limit& limit,
                           const std::string& help) {
    return cmd
        ->add_option_function<std::string>(
            name,
            [field, limit](const std::string& text) {
                std::int64_t v = 0;
                const std::string bad = parse_within(limit, text, &v);
                if (!bad.empty()) throw CLI::ValidationError(bad);
                *field = static_cast<T>(v);
            },
            help)
        ->type_name("N");
}

// Adds a time counted in `unit` ("ms") stored in *field once it is within
// `limit`: a whole number as number_option takes it, or a time with its own
// unit ("2s") that comes to a whole number of `unit`.  `field` must outlive
// the parse.
template <typename T>
CLI::Option* duration_option(CLI::App* cmd, const std::string& name, T* field, const Limit& limit, const char* unit,
                             const std::string& help) {
    return cmd
        ->add_option_function<std::string>(
            name,
            [field, limit, unit](const std::string& text) {
                std::int64_t v = 0;
                const std::string bad = parse_whole_duration(limit, text, unit, &v);
                if (!bad.empty()) throw CLI::ValidationError(bad);
                *field = static_cast<T>(v);
            },
            help)
        ->type_name("T");
}

// Adds a time in seconds (finite, above zero) for the option `what`.
CLI::Option* seconds_option(CLI::App* cmd, const std::string& name, const char* what, double* field,
                            const std::string& help);

// The options of every acquisition to a file: the converter divider, the
// four mode flags, the converter clock, the board's FIFO size, the output
// file and its format.  They fill inv->stream.divider, inv->stream.flags,
// inv->clockHz, inv->stream.fifoBytes, inv->output, inv->format and
// inv->formatGiven; the command then picks the
// format with choose_format, so an output's extension means the same thing
// to each of them.
void acquisition_options(CLI::App* cmd, Invocation* inv);

}  // namespace kv318::cli
