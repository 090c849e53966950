#include "capture_options.h"

#include <cmath>
#include <map>
#include <string>

#include "trigger.h"

namespace kv318::cli {

namespace {

// Seconds or volts within [lo, hi], with the option's name in a refusal.
CLI::Validator between(const char* what, double lo, double hi) {
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

}  // namespace

void capture_options(CLI::App* cmd, Invocation* inv, const std::function<CLI::Validator(const Limit&)>& within) {
    static const char* kFlagHelp[4] = {"mode flag 1 (mode bit 0)", "mode flag 2 (mode bit 2)",
                                       "mode flag 3 (mode bit 1)", "mode flag 4 (mode bit 3)"};
    CaptureSettings* c = &inv->capture;
    cmd->add_option_function<std::string>(
           "--trigger",
           [c](const std::string& text) {
               if (!analysis::parse_trigger(text, &c->edge, &c->levelVolts) || std::fabs(c->levelVolts) > 5.0) {
                   throw CLI::ValidationError("--trigger", "'" + text + "' is not rising:LEVEL or falling:LEVEL with LEVEL from -5 to 5 volts");
               }
           },
           "edge and level in volts: rising:0.5 or falling:-1")
        ->required()
        ->option_text("rising|falling:LEVEL");
    cmd->add_option("--pretrigger", c->pretriggerPercent,
                    "percent of the samples before the trigger point, 0-100 (default 0)")
        ->check(between("pre-trigger", 0, 100));
    static constexpr Limit kCaptureSamples{"sample count", 1, static_cast<std::int64_t>(kMaxCaptureSamples), false};
    cmd->add_option("-n,--samples", c->samples, "samples in the capture (default 10000)")
        ->check(within(kCaptureSamples))
        ->option_text("N");
    cmd->add_option("--timeout", c->timeoutSeconds, "give up after S seconds without a trigger: exit 9 (default 5)")
        ->check(between("timeout", 0.001, 86400))
        ->option_text("S");
    cmd->add_option("--holdoff", c->holdoffSeconds, "seconds after a trigger before another may fire (default 0)")
        ->check(between("holdoff", 0, 100))
        ->option_text("S");
    cmd->add_option("--hysteresis", c->hysteresisVolts,
                    "volts the signal must pass back beyond the level before it may trigger again (default 0.05)")
        ->check(between("hysteresis", 0, 10));
    cmd->add_option("-d,--divider", inv->stream.divider, "sample clock divider, 2-4095 (default 50)")->check(within(kDivider));
    for (int i = 0; i < 4; ++i) {
        cmd->add_flag_function("--flag" + std::to_string(i + 1),
                               [inv, i](std::int64_t count) { inv->stream.flags[i] = count > 0 ? 1 : 0; }, kFlagHelp[i]);
    }
    cmd->add_option("--clock", inv->clockHz, "converter clock in Hz, for the time axis and the WAV rate (default 2000000)")
        ->check(within(kClockHz));
    cmd->add_option("-o,--output", inv->output, "output file (default: standard output)");
    static const std::map<std::string, Format> kFormats{{"csv", Format::Csv}, {"raw", Format::Raw}, {"wav", Format::Wav}};
    cmd->add_option("-f,--format", inv->format, "csv (index,time_s,code,volts), raw (int16 little-endian) or wav")
        ->transform(CLI::CheckedTransformer(kFormats, CLI::ignore_case))
        ->option_text("csv|raw|wav");
}

}  // namespace kv318::cli
