#include "command_line.h"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "acquisition_options.h"
#include "capture_options.h"
#include "client_keys.h"
#include "core/exit_codes.h"
#include "option_limits.h"
#include "recording.h"
#include "core/version.h"
#include "wire.h"

namespace kv318::cli {

namespace {

void board_option(CLI::App* cmd, Invocation* inv) {
    number_option(cmd, "-b,--board", &inv->board, kBoardNumber, "board number (default 0)");
}

void json_flag(CLI::App* cmd, Invocation* inv) { cmd->add_flag("--json", inv->json, "machine-readable output"); }

CLI::App* leaf(CLI::App* parent, const char* name, const char* what, Command command, Invocation* inv) {
    CLI::App* cmd = parent->add_subcommand(name, what);
    cmd->callback([inv, command] { inv->command = command; });
    board_option(cmd, inv);
    return cmd;
}

// The stream and poll commands: the options every acquisition takes, and
// when to stop and how to show progress.
void stream_options(CLI::App* cmd, Invocation* inv) {
    acquisition_options(cmd, inv);
    auto* s = seconds_option(cmd, "-s,--seconds", "--seconds", &inv->seconds,
                             "stop after round(S x clock / divider) samples");
    auto* n = number_option(cmd, "-n,--samples", &inv->stream.maxSamples, kSampleCount, "stop after N samples");
    s->excludes(n);
    seconds_option(cmd, "--split", "--split", &inv->splitSeconds,
                   "HDF5 only: start the next run group every round(S x clock / divider) samples, first_index "
                   "going on (default: one group)");
    cmd->add_flag(
        "--compress", inv->compress,
        "HDF5 only: store the samples with shuffle and deflate (level 4), as kv318.record(compress=True) does");
    seconds_option(cmd, "--stall-timeout", "--stall-timeout", &inv->stallSeconds,
                   "end with exit 6 when no sample came for S seconds (default: 100 times as long as 50 "
                   "samples take, at least 1)");
    cmd->add_flag_function(
        "--progress", [inv](std::int64_t) { inv->progress = 1; },
        "progress line on stderr (default: when stderr is a terminal)");
    cmd->add_flag_function(
        "--no-progress", [inv](std::int64_t) { inv->progress = 0; }, "no progress line");
    // A follower takes the stream as its controller set it up: the blocks
    // carry its clock and divider.
    CLI::Option* follow = cmd->add_flag("--follow", inv->follow,
                                        "with --server: join the stream another client runs, without touching it; "
                                        "-s and -n count from the moment it joins");
    for (const char* set : {"--divider", "--clock", "--flag1", "--flag2", "--flag3", "--flag4"}) {
        follow->excludes(cmd->get_option(set));
    }
}

}  // namespace

int parse_command_line(int argc, char** argv, Invocation* inv) {
    CLI::App app{"kv318-cli: the KV318 data-acquisition board from a shell", "kv318-cli"};
    app.set_version_flag("--version", std::string("kv318-cli ") + tool_version());
    // Taken before or after the subcommand, by every subcommand.
    app.fallthrough();
    app.add_option("--server", inv->server,
                   "reach the board through the kv318-server at URL (tcp://HOST:PORT or ipc://PATH; default "
                   "port " +
                       std::to_string(remote::kDefaultPort) + ") instead of the local library" + remote::kNoServerHelp)
        ->envname(remote::kServerEnv)
        ->type_name("URL");
    app.add_option("--server-keys", inv->serverKeys, remote::kServerKeysHelp)
        ->envname(remote::kServerKeysEnv)
        ->type_name("DIR");

    CLI::App* list =
        leaf(&app, "list", "probe boards and print each that opens, with its identity", Command::List, inv);
    number_option(list, "--max", &inv->maxBoards, kBoardCount, "how many boards to probe from --board (default 16)");
    json_flag(list, inv);

    json_flag(leaf(&app, "info", "the board's identity strings", Command::Info, inv), inv);

    CLI::App* reg = app.add_subcommand("reg", "read or write a byte register");
    reg->require_subcommand(1);
    number_option(leaf(reg, "get", "read register REG", Command::RegGet, inv), "REG", &inv->reg, kRegister,
                  "register 0-255")
        ->required();
    CLI::App* set = leaf(reg, "set", "write VALUE to register REG", Command::RegSet, inv);
    number_option(set, "REG", &inv->reg, kRegister, "register 0-255")->required();
    number_option(set, "VALUE", &inv->value, kRegisterValue, "value 0-255")->required();

    json_flag(leaf(&app, "di", "read the 16 digital inputs", Command::Di, inv), inv);
    number_option(leaf(&app, "do", "set the 16 digital outputs", Command::Do, inv), "VALUE", &inv->value, kOutputWord,
                  "output word 0-0xFFFF")
        ->required();

    CLI::App* counter = app.add_subcommand("counter", "the 16-bit counter");
    counter->require_subcommand(1);
    leaf(counter, "start", "start the counter from 0", Command::CounterStart, inv);
    json_flag(leaf(counter, "read", "read the counter", Command::CounterRead, inv), inv);
    duration_option(leaf(counter, "watch", "print the counter until Ctrl-C", Command::CounterWatch, inv), "--interval",
                    &inv->intervalMs, kIntervalMs, "ms",
                    "time between reads, in milliseconds unless a unit follows (250, 2s; default 100)");

    CLI::App* pulse = app.add_subcommand("pulse", "the pulse generator");
    pulse->require_subcommand(1);
    CLI::App* start = leaf(pulse, "start", "start the pulse generator", Command::PulseStart, inv);
    number_option(start, "--mode", &inv->pulseMode, kPulseMode, "mode bit, 0 or 1 (default 0: a continuous train)");
    number_option(start, "--divisor", &inv->pulseDivisor, kPulseDivisor, "divisor 2-255 (default 2)");
    leaf(pulse, "stop", "stop the pulse generator", Command::PulseStop, inv);

    stream_options(
        leaf(&app, "stream", "timer-driven acquisition to a file (KV318_AD, KV318_Read)", Command::Stream, inv), inv);
    stream_options(leaf(&app, "poll", "polled acquisition to a file (KV318_M_AD, KV318_M_Read)", Command::Poll, inv),
                   inv);

    capture_options(
        leaf(&app, "capture", "one triggered capture to a file (exit 9: no trigger in time)", Command::Capture, inv),
        inv);

    CLI::App* selftest = leaf(&app, "selftest",
                              "bench test: one PASS or FAIL line per check; the stream check is skipped (SKIP, not a "
                              "failure) while another process streams the board",
                              Command::Selftest, inv);
    selftest->add_flag("--loopback", inv->loopback, "also walk a one and a zero across DO, expecting them on DI");
    number_option(selftest, "--clock", &inv->clockHz, kClockHz, "converter clock in Hz, for the expected sample count");
    json_flag(selftest, inv);

    // Set after the subcommands, which copy their parent's footer when they
    // are made: the table is shown once, in the top-level help.
    app.footer(
        "Numbers are decimal or 0x-hex.  Ctrl-C or SIGTERM stops stream, poll and counter watch\n"
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
    remote::forget_no_server(&inv->server);
    if (inv->follow && inv->server.empty()) {
        std::fprintf(stderr, "--follow joins a stream that kv318-server runs: give --server URL (or KV318_SERVER)\n");
        return kExitUsage;
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
