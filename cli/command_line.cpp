#include "command_line.h"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "core/exit_codes.h"
#include "capture_options.h"
#include "core/option_limits.h"
#include "core/recording.h"
#include "core/version.h"

namespace kv318::cli {

namespace {

// A whole number as the tool takes it (decimal or 0x-hex), within `limit`.
// The text is read here rather than by CLI11, whose conversion caps a value
// too large for its type instead of refusing it; a refusal names the value
// as given and the range allowed.
template <typename T>
CLI::Option* number(CLI::App* cmd, const std::string& name, T* field, const Limit& limit, const std::string& help) {
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

CLI::Option* seconds(CLI::App* cmd, const std::string& name, const char* what, double* field, const std::string& help) {
    return cmd
        ->add_option_function<std::string>(
            name,
            [field, what](const std::string& text) {
                double v = 0;
                const std::string bad = parse_seconds(what, text, &v);
                if (!bad.empty()) throw CLI::ValidationError(bad);
                *field = v;
            },
            help)
        ->type_name("S");
}

void board_option(CLI::App* cmd, Invocation* inv) {
    number(cmd, "-b,--board", &inv->board, kBoardNumber, "board number (default 0)");
}

void json_flag(CLI::App* cmd, Invocation* inv) { cmd->add_flag("--json", inv->json, "machine-readable output"); }

CLI::App* leaf(CLI::App* parent, const char* name, const char* what, Command command, Invocation* inv) {
    CLI::App* cmd = parent->add_subcommand(name, what);
    cmd->callback([inv, command] { inv->command = command; });
    board_option(cmd, inv);
    return cmd;
}

const char* const kClockHelp =
    "converter clock in Hz (default 2000000).  The library cannot read the board's clock: this sets the "
    "time axis and the WAV rate, and is stored in the recording so a wrong value can be corrected later";

void stream_options(CLI::App* cmd, Invocation* inv) {
    static const char* kFlagHelp[4] = {"mode flag 1 (mode bit 0)", "mode flag 2 (mode bit 2)",
                                       "mode flag 3 (mode bit 1)", "mode flag 4 (mode bit 3)"};
    number(cmd, "-d,--divider", &inv->stream.divider, kDivider, "sample clock divider, 2-4095 (default 50)");
    for (int i = 0; i < 4; ++i) {
        cmd->add_flag_function("--flag" + std::to_string(i + 1),
                               [inv, i](std::int64_t count) { inv->stream.flags[i] = count > 0 ? 1 : 0; }, kFlagHelp[i]);
    }
    auto* s = seconds(cmd, "-s,--seconds", "--seconds", &inv->seconds,
                      "stop after round(S x clock / divider) samples");
    auto* n = number(cmd, "-n,--samples", &inv->stream.maxSamples, kSampleCount, "stop after N samples");
    s->excludes(n);
    seconds(cmd, "--stall-timeout", "--stall-timeout", &inv->stallSeconds,
            "end with exit 6 when no sample came for S seconds (default: 100 times as long as 50 samples "
            "take, at least 1)");
    number(cmd, "--clock", &inv->clockHz, kClockHz, kClockHelp);
    cmd->add_option("-o,--output", inv->output,
                    "output file (default: standard output); its extension .csv, .raw or .wav sets the format");
    cmd->add_option_function<std::string>(
           "-f,--format",
           [inv](const std::string& text) {
               const std::string bad = parse_format(text, &inv->format);
               if (!bad.empty()) throw CLI::ValidationError(bad);
               inv->formatGiven = true;
           },
           "csv (comment lines, then index,time_s,code,volts), raw (int16 little-endian) or wav (16-bit PCM "
           "mono at clock/divider, a new numbered file every 4 GiB); default: from the output's extension, "
           "else csv")
        ->type_name("csv|raw|wav");
    cmd->add_flag_function("--progress", [inv](std::int64_t) { inv->progress = 1; },
                           "progress line on stderr (default: when stderr is a terminal)");
    cmd->add_flag_function("--no-progress", [inv](std::int64_t) { inv->progress = 0; }, "no progress line");
}

}  // namespace

int parse_command_line(int argc, char** argv, Invocation* inv) {
    CLI::App app{"kv318-cli: the KV318 data-acquisition board from a shell", "kv318-cli"};
    app.set_version_flag("--version", std::string("kv318-cli ") + tool_version());

    CLI::App* list = leaf(&app, "list", "probe boards and print each that opens, with its identity", Command::List, inv);
    number(list, "--max", &inv->maxBoards, kBoardCount, "how many boards to probe from --board (default 16)");
    json_flag(list, inv);

    json_flag(leaf(&app, "info", "the board's identity strings", Command::Info, inv), inv);

    CLI::App* reg = app.add_subcommand("reg", "read or write a byte register");
    reg->require_subcommand(1);
    number(leaf(reg, "get", "read register REG", Command::RegGet, inv), "REG", &inv->reg, kRegister, "register 0-255")
        ->required();
    CLI::App* set = leaf(reg, "set", "write VALUE to register REG", Command::RegSet, inv);
    number(set, "REG", &inv->reg, kRegister, "register 0-255")->required();
    number(set, "VALUE", &inv->value, kRegisterValue, "value 0-255")->required();

    json_flag(leaf(&app, "di", "read the 16 digital inputs", Command::Di, inv), inv);
    number(leaf(&app, "do", "set the 16 digital outputs", Command::Do, inv), "VALUE", &inv->value, kOutputWord,
           "output word 0-0xFFFF")
        ->required();

    CLI::App* counter = app.add_subcommand("counter", "the 16-bit counter");
    counter->require_subcommand(1);
    leaf(counter, "start", "start the counter from 0", Command::CounterStart, inv);
    json_flag(leaf(counter, "read", "read the counter", Command::CounterRead, inv), inv);
    number(leaf(counter, "watch", "print the counter until Ctrl-C", Command::CounterWatch, inv), "--interval",
           &inv->intervalMs, kIntervalMs, "milliseconds between reads (default 100)");

    CLI::App* pulse = app.add_subcommand("pulse", "the pulse generator");
    pulse->require_subcommand(1);
    CLI::App* start = leaf(pulse, "start", "start the pulse generator", Command::PulseStart, inv);
    number(start, "--mode", &inv->pulseMode, kPulseMode, "mode bit, 0 or 1 (default 0: a continuous train)");
    number(start, "--divisor", &inv->pulseDivisor, kPulseDivisor, "divisor 2-255 (default 2)");
    leaf(pulse, "stop", "stop the pulse generator", Command::PulseStop, inv);

    stream_options(leaf(&app, "stream", "timer-driven acquisition to a file (KV318_AD, KV318_Read)", Command::Stream, inv),
                   inv);
    stream_options(leaf(&app, "poll", "polled acquisition to a file (KV318_M_AD, KV318_M_Read)", Command::Poll, inv), inv);

    // capture's options check numbers by the same rule, as validators.
    const auto within = [](const Limit& limit) {
        return CLI::Validator(
            [limit](std::string& text) {
                std::int64_t v = 0;
                return parse_within(limit, text, &v);
            },
            "N");
    };
    capture_options(leaf(&app, "capture", "one triggered capture to a file (exit 9: no trigger in time)", Command::Capture, inv),
                    inv, within);

    CLI::App* selftest = leaf(&app, "selftest", "bench test: one PASS or FAIL line per check; the stream check is skipped (SKIP, not a "
                                "failure) while another process streams the board", Command::Selftest, inv);
    selftest->add_flag("--loopback", inv->loopback, "also walk a one and a zero across DO, expecting them on DI");
    number(selftest, "--clock", &inv->clockHz, kClockHz, "converter clock in Hz, for the expected sample count");
    json_flag(selftest, inv);

    // Set after the subcommands, which copy their parent's footer when they
    // are made: the table is shown once, in the top-level help.
    app.footer("Numbers are decimal or 0x-hex.  Ctrl-C or SIGTERM stops stream, poll and counter watch\n"
               "cleanly: the board is stopped and the output file is complete.  The library cannot read\n"
               "the board's converter clock: --clock says what it is, and recordings store it.\n\n"
               "Exit codes:\n" +
               exit_code_table());

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    if (app.get_subcommands().empty()) {
        // Checked here rather than by CLI11, which would report a mistyped
        // subcommand as a missing one instead of naming it.
        std::fputs(app.help().c_str(), stderr);
        return kExitUsage;
    }
    return -1;
}

}  // namespace kv318::cli
