#include "capture_options.h"

#include <cmath>
#include <string>

#include "acquisition_options.h"
#include "option_checks.h"
#include "trigger.h"
#include "pipeline_names.h"

namespace kv318::cli {

void capture_options(CLI::App* cmd, Invocation* inv) {
    CaptureSettings* c = &inv->capture;
    cmd->add_option_function<std::string>(
           "--trigger",
           [c](const std::string& text) {
               if (!analysis::parse_trigger(text, &c->edge, &c->levelVolts) || c->levelVolts < kTriggerLevelVolts.min ||
                   c->levelVolts > kTriggerLevelVolts.max) {
                   throw CLI::ValidationError("--trigger",
                                              "'" + text + "' is not rising:LEVEL or falling:LEVEL with LEVEL from " +
                                                  real_range_text(kTriggerLevelVolts) + " volts");
               }
           },
           "edge and level in volts: rising:0.5 or falling:-1")
        ->required()
        ->option_text("rising|falling:LEVEL");
    cmd->add_option(
           "--pretrigger", c->pretriggerPercent,
           "percent of the samples before the trigger point, " + real_range_text(kPretriggerPercent) + " (default 0)")
        ->transform(real_within(kPretriggerPercent));
    number_option(cmd, "-n,--samples", &c->samples, kCaptureSamples, "samples in the capture (default 10000)");
    cmd->add_option("--timeout", c->timeoutSeconds, "give up after S seconds without a trigger: exit 9 (default 5)")
        ->transform(seconds_within(kCaptureTimeoutSeconds))
        ->option_text("S");
    cmd->add_option("--holdoff", c->holdoffSeconds, "seconds after a trigger before another may fire (default 0)")
        ->transform(seconds_within(kHoldoffSeconds))
        ->option_text("S");
    cmd->add_option("--hysteresis", c->hysteresisVolts,
                    "volts the signal must pass back beyond the level before it may trigger again (default 0.05)")
        ->transform(real_within(kHysteresisVolts));
    acquisition_options(cmd, inv);
}

}  // namespace kv318::cli
