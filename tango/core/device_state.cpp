#include "device_state.h"

#include <cstdio>

namespace kv318::tango {

namespace {

std::string rate_text(double hz) {
    char text[64];
    if (hz >= 1000) std::snprintf(text, sizeof text, "%.6g kS/s", hz / 1000);
    else std::snprintf(text, sizeof text, "%.6g S/s", hz);
    return text;
}

void add(std::string* status, const std::string& sentence) {
    if (sentence.empty()) return;
    if (!status->empty()) *status += "\n";
    *status += sentence;
}

}  // namespace

std::string missed_words(std::uint64_t missed) {
    return std::to_string(missed) + (missed == 1 ? " sample" : " samples") +
           " of this run never arrived from kv318-server";
}

Summary summarize(const Condition& c) {
    Summary s;
    if (!c.reached) {
        s.state = DeviceState::kFault;
        add(&s.status, c.where + " is not reachable" + (c.fault.empty() ? "" : ": " + c.fault) +
                           "; the device takes it back when it returns.");
        return s;
    }
    const bool troubled = c.missed > 0 || c.possibleLoss;
    if (c.possibleLoss) add(&s.status, "The board's FIFO may have run over: " + c.lossWords + ".");
    if (c.missed > 0) add(&s.status, "Missed: " + missed_words(c.missed) + ".");
    if (!c.ended.empty()) add(&s.status, "The last run ended: " + c.ended + ".");
    if (!c.interrupted.empty()) add(&s.status, "The last run ended: " + c.interrupted + ".");
    switch (c.activity) {
    case Activity::kRunning:
        s.state = DeviceState::kRunning;
        add(&s.status, "Streaming " + c.where + " at " + rate_text(c.sampleRate) + ".");
        break;
    case Activity::kFollowing:
        s.state = DeviceState::kStandby;
        add(&s.status, "Following the stream of " + c.where + " at " + rate_text(c.sampleRate) +
                           (c.controller.empty() ? "" : ", controlled by " + c.controller) + ".");
        break;
    case Activity::kIdle:
        if (!c.controller.empty()) {
            s.state = DeviceState::kDisable;
            add(&s.status, c.where + " is controlled by " + c.controller + "; Follow joins its stream.");
        } else {
            add(&s.status, c.where + " is idle.");
        }
        break;
    }
    if (!c.recordFile.empty()) add(&s.status, "Recording to " + c.recordFile + ".");
    if (troubled || !c.ended.empty()) s.state = DeviceState::kAlarm;
    return s;
}

const char* state_name(DeviceState s) {
    switch (s) {
    case DeviceState::kOn:
        return "ON";
    case DeviceState::kRunning:
        return "RUNNING";
    case DeviceState::kStandby:
        return "STANDBY";
    case DeviceState::kAlarm:
        return "ALARM";
    case DeviceState::kFault:
        return "FAULT";
    case DeviceState::kDisable:
        return "DISABLE";
    }
    return "UNKNOWN";
}

}  // namespace kv318::tango
