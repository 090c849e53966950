#include "command_line.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>

#include "core/option_limits.h"

namespace kv318::cli {

namespace {

// A number as the tool takes it (decimal or 0x-hex), within `limit`.  It
// runs on the text before CLI11 converts it, so a refusal names the value
// as given and the range allowed.
CLI::Validator within(const Limit& limit) {
    return CLI::Validator(
        [limit](std::string& text) -> std::string {
            std::string bad = check_number_text(text);
            if (!bad.empty()) return bad;
            std::int64_t v = 0;
            if (!CLI::detail::lexical_cast(text, v)) return "'" + text + "' is not a number";
            return check_limit(limit, v);
        },
        std::to_string(limit.min) + "-" + std::to_string(limit.max));
}

void board_option(CLI::App* cmd, Invocation* inv) {
    cmd->add_option("-b,--board", inv->board, "board number (default 0)")->check(within(kBoardNumber));
}

void json_flag(CLI::App* cmd, Invocation* inv) { cmd->add_flag("--json", inv->json, "machine-readable output"); }

CLI::App* leaf(CLI::App* parent, const char* name, const char* what, Command command, Invocation* inv) {
    CLI::App* cmd = parent->add_subcommand(name, what);
    cmd->callback([inv, command] { inv->command = command; });
    board_option(cmd, inv);
    return cmd;
}

void stream_options(CLI::App* cmd, Invocation* inv) {
    static const char* kFlagHelp[4] = {"mode flag 1 (mode bit 0)", "mode flag 2 (mode bit 2)",
                                       "mode flag 3 (mode bit 1)", "mode flag 4 (mode bit 3)"};
    cmd->add_option("-d,--divider", inv->stream.divider, "sample clock divider, 2-4095 (default 50)")
        ->check(within(kDivider));
    for (int i = 0; i < 4; ++i) {
        cmd->add_flag_function("--flag" + std::to_string(i + 1),
                               [inv, i](std::int64_t count) { inv->stream.flags[i] = count > 0 ? 1 : 0; }, kFlagHelp[i]);
    }
    auto* seconds = cmd->add_option("-s,--seconds", inv->stream.maxSeconds, "stop after S seconds")
                        ->check(CLI::PositiveNumber)
                        ->option_text("S");
    auto* samples = cmd->add_option("-n,--samples", inv->stream.maxSamples, "stop after N samples")
                        ->check(within(kSampleCount))
        ->option_text("N");
    seconds->excludes(samples);
    cmd->add_option("--clock", inv->clockHz, "converter clock in Hz, for the time axis and the WAV rate (default 2000000)")
        ->check(within(kClockHz));
    cmd->add_option("-o,--output", inv->output, "output file (default: standard output)");
    static const std::map<std::string, Format> kFormats{{"csv", Format::Csv}, {"raw", Format::Raw}, {"wav", Format::Wav}};
    cmd->add_option("-f,--format", inv->format,
                    "csv (index,time_s,code,volts), raw (int16 little-endian) or wav (16-bit PCM mono at clock/divider)")
        ->transform(CLI::CheckedTransformer(kFormats, CLI::ignore_case))
        ->option_text("csv|raw|wav");
    cmd->add_flag_function("--progress", [inv](std::int64_t) { inv->progress = 1; },
                           "progress line on stderr (default: when stderr is a terminal)");
    cmd->add_flag_function("--no-progress", [inv](std::int64_t) { inv->progress = 0; }, "no progress line");
}

}  // namespace

int parse_command_line(int argc, char** argv, Invocation* inv) {
    CLI::App app{"kv318-cli: the KV318 data-acquisition board from a shell", "kv318-cli"};
    app.footer("Numbers are decimal or 0x-hex.  Ctrl-C or SIGTERM stops stream, poll and counter watch\n"
               "cleanly: the board is stopped and the output file is complete.\n\nExit codes:\n" +
               exit_code_table());

    CLI::App* list = leaf(&app, "list", "probe boards and print each that opens, with its identity", Command::List, inv);
    list->add_option("--max", inv->maxBoards, "how many boards to probe from --board (default 16)")
        ->check(within(kBoardCount));
    json_flag(list, inv);

    json_flag(leaf(&app, "info", "the board's identity strings", Command::Info, inv), inv);

    CLI::App* reg = app.add_subcommand("reg", "read or write a byte register");
    reg->require_subcommand(1);
    leaf(reg, "get", "read register REG", Command::RegGet, inv)
        ->add_option("REG", inv->reg, "register 0-255")->required()->check(within(kRegister));
    CLI::App* set = leaf(reg, "set", "write VALUE to register REG", Command::RegSet, inv);
    set->add_option("REG", inv->reg, "register 0-255")->required()->check(within(kRegister));
    set->add_option("VALUE", inv->value, "value 0-255")->required()->check(within(kRegisterValue));

    json_flag(leaf(&app, "di", "read the 16 digital inputs", Command::Di, inv), inv);
    leaf(&app, "do", "set the 16 digital outputs", Command::Do, inv)
        ->add_option("VALUE", inv->value, "output word 0-0xFFFF")->required()->check(within(kOutputWord));

    CLI::App* counter = app.add_subcommand("counter", "the 16-bit counter");
    counter->require_subcommand(1);
    leaf(counter, "start", "start the counter from 0", Command::CounterStart, inv);
    json_flag(leaf(counter, "read", "read the counter", Command::CounterRead, inv), inv);
    leaf(counter, "watch", "print the counter until Ctrl-C", Command::CounterWatch, inv)
        ->add_option("--interval", inv->intervalMs, "milliseconds between reads (default 100)")
        ->check(within(kIntervalMs));

    CLI::App* pulse = app.add_subcommand("pulse", "the pulse generator");
    pulse->require_subcommand(1);
    CLI::App* start = leaf(pulse, "start", "start the pulse generator", Command::PulseStart, inv);
    start->add_option("--mode", inv->pulseMode, "mode bit, 0 or 1 (default 0: a continuous train)")
        ->check(within(kPulseMode));
    start->add_option("--divisor", inv->pulseDivisor, "divisor 2-255 (default 2)")->check(within(kPulseDivisor));
    leaf(pulse, "stop", "stop the pulse generator", Command::PulseStop, inv);

    stream_options(leaf(&app, "stream", "timer-driven acquisition to a file (KV318_AD, KV318_Read)", Command::Stream, inv),
                   inv);
    stream_options(leaf(&app, "poll", "polled acquisition to a file (KV318_M_AD, KV318_M_Read)", Command::Poll, inv), inv);

    CLI::App* selftest = leaf(&app, "selftest", "bench test: one PASS or FAIL line per check; the stream check is skipped (SKIP, not a "
                                "failure) while another process streams the board", Command::Selftest, inv);
    selftest->add_flag("--loopback", inv->loopback, "also walk a one and a zero across DO, expecting them on DI");
    selftest->add_option("--clock", inv->clockHz, "converter clock in Hz, for the expected sample count")
        ->check(within(kClockHz));
    json_flag(selftest, inv);

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
