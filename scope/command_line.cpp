#include "command_line.h"

#include <CLI/CLI.hpp>

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

// A range as the help states it, from the limit the value is checked by.
std::string range(const pipeline::RealLimit& limit, const char* unit) { return pipeline::real_range_text(limit, unit); }

}  // namespace

int parse_command_line(int argc, char** argv, ScopeSettings* s, std::FILE* out, std::FILE* err) {
    CLI::App app{"kv318-scope: the KV318 board's analog input as a live trace", "kv318-scope"};
    app.set_version_flag("--version", tool_name());
    app.add_option("-b,--board", s->board,
                   "board number, " + std::to_string(pipeline::kBoardNumber.min) + "-" +
                       std::to_string(pipeline::kBoardNumber.max) + " (default 0)")
        ->transform(pipeline::whole_within(pipeline::kBoardNumber));
    CLI::Option* divider = app.add_option("-d,--divider", s->divider,
                                          "converter divider, " + std::to_string(pipeline::kDivider.min) + "-" +
                                              std::to_string(pipeline::kDivider.max) + " (default 50)")
                               ->transform(pipeline::whole_within(pipeline::kDivider));
    CLI::Option* clock = app.add_option("--clock", s->clockHz, "converter clock in Hz (default 2000000)")
                             ->transform(pipeline::whole_within(pipeline::kClockHz));
    app.add_option("--fifo-bytes", s->fifoBytes,
                   "the board's FIFO in bytes (default " + std::to_string(analysis::kBoardFifoBytes) +
                       "): a gap between drains that could fill it is shown in red")
        ->transform(pipeline::whole_within(pipeline::kFifoBytes));
    std::string timebase, trigger, holdoff;
    app.add_option("--timebase", timebase, "time per division, 1-2-5 steps: 1ms, 200us, 5s ... (default 1ms)");
    app.add_option("--volts-per-div", s->voltsPerDiv,
                   "volts per division, 1-2-5 steps from " + range(kVoltsPerDiv, "V") + " (default 1)")
        ->transform(pipeline::real_within(kVoltsPerDiv));
    app.add_option("--offset", s->offsetVolts,
                   "vertical offset, " + range(pipeline::kOffsetVolts, "V") + " (default 0)")
        ->transform(pipeline::real_within(pipeline::kOffsetVolts));
    app.add_option("--trigger", trigger,
                   "edge and level: rising:0.5 or falling:-1, the level " + range(pipeline::kTriggerLevelVolts, "V") +
                       " (default rising:0)");
    app.add_option("--pretrigger", s->pretriggerPercent,
                   "trigger position, " + range(pipeline::kPretriggerPercent, "%") + " of the screen (default 50)")
        ->transform(pipeline::real_within(pipeline::kPretriggerPercent));
    app.add_option("--holdoff", holdoff,
                   "no new trigger for this long after one: 0, 10ms ..., " + range(pipeline::kHoldoffSeconds, "s") +
                       " (default 0)");
    app.add_option("--hysteresis", s->hysteresisVolts,
                   "trigger hysteresis, " + range(pipeline::kHysteresisVolts, "V") + " (default 0.05)")
        ->transform(pipeline::real_within(pipeline::kHysteresisVolts));
    static const std::map<std::string, analysis::TriggerMode> kModes{{"auto", analysis::TriggerMode::Auto},
                                                                     {"normal", analysis::TriggerMode::Normal},
                                                                     {"single", analysis::TriggerMode::Single},
                                                                     {"roll", analysis::TriggerMode::Roll}};
    app.add_option("--mode", s->mode, "auto, normal, single or roll (default auto)")
        ->transform(CLI::CheckedTransformer(kModes, CLI::ignore_case))
        ->option_text("auto|normal|single|roll");
    app.add_option("--screenshot", s->screenshot, "save the window as PNG to FILE after --after seconds, then exit 0");
    app.add_option(
           "--after", s->screenshotAfter,
           "seconds of running before --screenshot, " + range(pipeline::kScreenshotAfterSeconds, "s") + " (default 1)")
        ->transform(pipeline::seconds_within(pipeline::kScreenshotAfterSeconds));
    app.add_option("--server", s->server,
                   std::string("show the board through the kv318-server at URL (tcp://HOST:PORT or ipc://PATH) "
                               "instead of the local library") +
                       remote::kNoServerHelp)
        ->envname(remote::kServerEnv)
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
    remote::forget_no_server(&s->server);
    if (s->follow && s->server.empty()) return bad("--follow shows a stream kv318-server runs: give --server URL");
    pipeline::Format format = pipeline::Format::Csv;
    if (!s->record.empty()) {
        if (const std::string why = recording_format(s->record, &format); !why.empty()) return bad("--record: " + why);
    }
    if (!timebase.empty()) {
        double seconds = 0;
        const std::string why =
            pipeline::parse_duration({"--timebase", 0, kSlowestSecondsPerDiv}, timebase, 1, &seconds);
        if (!why.empty()) return bad(why);
        const auto steps = time_bases(s->sampleRate());
        if (!is_step(steps, seconds)) {
            return bad("--timebase " + timebase + " is not a 1-2-5 step from " + format_seconds(steps.front()) +
                       " (10 samples a division at " + format_rate(s->sampleRate()) + ") to " +
                       format_seconds(steps.back()));
        }
        s->secondsPerDiv = seconds;
    }
    if (!is_step(volt_scales(), s->voltsPerDiv)) {
        return bad("--volts-per-div " + format_volts(s->voltsPerDiv) + " is not a 1-2-5 step from 10 mV to 2 V");
    }
    if (!trigger.empty() && !analysis::parse_trigger(trigger, &s->edge, &s->levelVolts)) {
        return bad("--trigger: '" + trigger + "' is not rising:LEVEL or falling:LEVEL");
    }
    if (s->levelVolts < pipeline::kTriggerLevelVolts.min || s->levelVolts > pipeline::kTriggerLevelVolts.max) {
        return bad("--trigger: the level must lie within " +
                   pipeline::real_range_text(pipeline::kTriggerLevelVolts, "V"));
    }
    if (!holdoff.empty()) {
        const std::string why = pipeline::parse_duration(pipeline::kHoldoffSeconds, holdoff, 1, &s->holdoffSeconds);
        if (!why.empty()) return bad("--holdoff: " + why);
    }
    if (s->mode == analysis::TriggerMode::Roll && s->secondsPerDiv < kRollFromSecondsPerDiv * (1 - kStepTolerance)) {
        return bad("--mode roll needs a time base of 100ms or slower");
    }
    // Onto the exact steps, the way the windows and the controller hold
    // them: 0.01 typed is the step 1e-2.
    *s = normalise(*s);
    return -1;
}

}  // namespace kv318::scope
