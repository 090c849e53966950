// A KV318 device's state and Status: a board that is gone outranks all,
// a run's troubles outrank the run, another controller shows only while
// the device is idle, and the Status says every thing that holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_state.h"

namespace kv318::tango {
namespace {

TEST(DeviceState, StatesByPrecedenceWithEveryFactInTheStatus) {
    struct Case {
        const char* what;
        Condition c;
        DeviceState state;
        std::vector<std::string> says;
    };
    Condition idle;
    idle.where = "board 0";
    idle.reached = true;
    auto with = [&idle](auto change) {
        Condition c = idle;
        change(c);
        return c;
    };
    const std::vector<Case> cases = {
        {"idle", idle, DeviceState::kOn, {"board 0 is idle"}},
        {"running",
         with([](Condition& c) { c.activity = Activity::kRunning, c.sampleRate = 40000; }),
         DeviceState::kRunning,
         {"Streaming board 0 at 40 kS/s"}},
        {"following",
         with([](Condition& c) { c.activity = Activity::kFollowing, c.sampleRate = 500; }),
         DeviceState::kStandby,
         {"Following the stream of board 0 at 500 S/s"}},
        {"another controller while idle",
         with([](Condition& c) { c.controller = "client 7@bench"; }),
         DeviceState::kDisable,
         {"controlled by client 7@bench", "Follow joins"}},
        {"a possible loss while running",
         with([](Condition& c) {
             c.activity = Activity::kRunning, c.possibleLoss = true, c.lossWords = "a gap of 300 ms";
         }),
         DeviceState::kAlarm,
         {"FIFO may have run over: a gap of 300 ms", "Streaming board 0"}},
        {"missed samples while following",
         with([](Condition& c) { c.activity = Activity::kFollowing, c.missed = 1; }),
         DeviceState::kAlarm,
         {"1 sample of this run never arrived"}},
        {"a run that ended badly, kept while idle",
         with([](Condition& c) { c.ended = "ring overflow"; }),
         DeviceState::kAlarm,
         {"The last run ended: ring overflow", "board 0 is idle"}},
        {"a run the board's loss ended, once the board is back",
         with([](Condition& c) { c.interrupted = "the board went away"; }),
         DeviceState::kOn,
         {"The last run ended: the board went away", "board 0 is idle"}},
        {"a troubled run outranks another controller",
         with([](Condition& c) { c.missed = 5, c.controller = "someone"; }),
         DeviceState::kAlarm,
         {"5 samples", "controlled by someone"}},
        {"gone outranks everything",
         with([](Condition& c) {
             c.reached = false, c.fault = "it stopped answering", c.missed = 3, c.activity = Activity::kRunning;
         }),
         DeviceState::kFault,
         {"board 0 is not reachable: it stopped answering", "takes it back when it returns"}},
        {"recording",
         with([](Condition& c) { c.activity = Activity::kRunning, c.recordFile = "/tmp/a.h5"; }),
         DeviceState::kRunning,
         {"Recording to /tmp/a.h5"}},
    };
    for (const Case& c : cases) {
        const Summary s = summarize(c.c);
        EXPECT_EQ(s.state, c.state) << c.what << ": " << state_name(s.state);
        for (const std::string& words : c.says) {
            EXPECT_NE(s.status.find(words), std::string::npos)
                << c.what << ": \"" << s.status << "\" lacks \"" << words << "\"";
        }
    }
}

}  // namespace
}  // namespace kv318::tango
