#include "command_line.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

#include "client_keys.h"
#include "recording.h"
#include "scope_controller.h"
#include "option_checks.h"
#include "option_limits.h"

namespace kv318::scope {

namespace {

bool is_step(const std::vector<double>& steps, double v) {
    for (double s : steps) {
        if (std::fabs(s - v) <= s * 1e-9) return true;
    }
    return false;
}

}  // namespace

int parse_command_line(int argc, char** argv, ScopeSettings* s, std::FILE* out, std::FILE* err) {
    CLI::App app{"kv318-scope: the KV318 board's analog input as a live trace", "kv318-scope"};
    app.set_version_flag("--version", tool_name());
    app.add_option("-b,--board", s->board, "board number (default 0)")
        ->check(pipeline::whole_within(pipeline::kBoardNumber));
    CLI::Option* divider = app.add_option("-d,--divider", s->divider,
                                          "converter divider, " + std::to_string(pipeline::kDivider.min) + "-" +
                                              std::to_string(pipeline::kDivider.max) + " (default 50)")
                               ->check(pipeline::whole_within(pipeline::kDivider));
    CLI::Option* clock = app.add_option("--clock", s->clockHz, "converter clock in Hz (default 2000000)")
                             ->check(pipeline::whole_within(pipeline::kClockHz));
    app.add_option("--fifo-bytes", s->fifoBytes,
                   "the board's FIFO in bytes (default " + std::to_string(analysis::kBoardFifoBytes) +
                       "): a gap between drains that could fill it is shown in red")
        ->check(pipeline::whole_within(pipeline::kFifoBytes));
    std::string timebase, trigger, holdoff;
    app.add_option("--timebase", timebase, "time per division, 1-2-5 steps: 1ms, 200us, 5s ... (default 1ms)");
    app.add_option("--volts-per-div", s->voltsPerDiv, "volts per division, 1-2-5 steps from 0.01 to 2 (default 1)");
    app.add_option("--offset", s->offsetVolts, "vertical offset in volts (default 0)")
        ->check(pipeline::decimal_between("offset", -20, 20));
    app.add_option("--trigger", trigger, "edge and level: rising:0.5 or falling:-1 (default rising:0)");
    app.add_option("--pretrigger", s->pretriggerPercent, "trigger position, 0-100 % of the screen (default 50)")
        ->check(pipeline::decimal_between("pre-trigger", 0, 100));
    app.add_option("--holdoff", holdoff, "no new trigger for this long after one: 0, 10ms ... (default 0)");
    app.add_option("--hysteresis", s->hysteresisVolts, "trigger hysteresis in volts (default 0.05)")
        ->check(pipeline::decimal_between("hysteresis", 0, 10));
    static const std::map<std::string, analysis::TriggerMode> kModes{{"auto", analysis::TriggerMode::Auto},
                                                                     {"normal", analysis::TriggerMode::Normal},
                                                                     {"single", analysis::TriggerMode::Single},
                                                                     {"roll", analysis::TriggerMode::Roll}};
    app.add_option("--mode", s->mode, "auto, normal, single or roll (default auto)")
        ->transform(CLI::CheckedTransformer(kModes, CLI::ignore_case))
        ->option_text("auto|normal|single|roll");
    app.add_option("--screenshot", s->screenshot, "save the window as PNG to FILE after --after seconds, then exit 0");
    app.add_option("--after", s->screenshotAfter, "seconds of running before --screenshot (default 1)")
        ->check(pipeline::decimal_between("--after", 0, 3600));
    app.add_option("--server", s->server,
                   "show the board through the kv318-server at URL (tcp://HOST:PORT or ipc://PATH) instead of the "
                   "local library; an empty value means the local library")
        ->envname("KV318_SERVER")
        ->type_name("URL");
    app.add_option("--server-keys", s->serverKeys, remote::kServerKeysHelp)
        ->envname(remote::kServerKeysEnv)
        ->type_name("DIR");
    // A follower shows the stream as its controller set it up.
    app.add_flag("--follow", s->follow,
                 "with --server: show the stream another client runs there, with its clock and divider, without "
                 "touching it")
        ->excludes(divider)
        ->excludes(clock);
    app.add_option("--record", s->record,
                   "record the whole stream to FILE from the first run on, as Record... does: the format from its "
                   "extension (" +
                       pipeline::format_names() + ", or h5), the run's description in the file")
        ->type_name("FILE");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // CLI11 writes to streams; the caller's are C streams.
        std::ostringstream o, r;
        const int code = app.exit(e, o, r);
        std::fputs(o.str().c_str(), out);
        std::fputs(r.str().c_str(), err);
        return code == 0 ? 0 : 2;
    }
    auto bad = [err](const std::string& why) {
        std::fprintf(err, "kv318-scope: %s\n", why.c_str());
        return 2;
    };
    if (s->follow && s->server.empty()) return bad("--follow shows a stream kv318-server runs: give --server URL");
    pipeline::Format format = pipeline::Format::Csv;
    if (!s->record.empty()) {
        if (const std::string why = recording_format(s->record, &format); !why.empty()) return bad("--record: " + why);
    }
    if (!timebase.empty()) {
        if (!parse_seconds(timebase, &s->secondsPerDiv)) return bad("--timebase: '" + timebase + "' is not a time");
        const auto steps = time_bases(s->sampleRate());
        if (!is_step(steps, s->secondsPerDiv)) {
            return bad("--timebase " + timebase + " is not a 1-2-5 step from " + format_seconds(steps.front()) +
                       " (10 samples a division at " + format_rate(s->sampleRate()) + ") to 10 s");
        }
    } else {
        s->secondsPerDiv = nearest_step(time_bases(s->sampleRate()), s->secondsPerDiv);
    }
    if (!is_step(volt_scales(), s->voltsPerDiv)) {
        return bad("--volts-per-div " + format_volts(s->voltsPerDiv) + " is not a 1-2-5 step from 10 mV to 2 V");
    }
    if (!trigger.empty() && !analysis::parse_trigger(trigger, &s->edge, &s->levelVolts)) {
        return bad("--trigger: '" + trigger + "' is not rising:LEVEL or falling:LEVEL");
    }
    if (std::fabs(s->levelVolts) > 5.0) return bad("--trigger: the level must lie within -5 V to 5 V");
    if (!holdoff.empty() &&
        (!parse_seconds(holdoff, &s->holdoffSeconds) || s->holdoffSeconds < 0 || s->holdoffSeconds > 100)) {
        return bad("--holdoff: '" + holdoff + "' is not a time from 0 to 100 s");
    }
    if (s->mode == analysis::TriggerMode::Roll && s->secondsPerDiv < kRollFromSecondsPerDiv * (1 - 1e-9)) {
        return bad("--mode roll needs a time base of 100ms or slower");
    }
    return -1;
}

}  // namespace kv318::scope
