// What a KV318 device says of itself in the control system's terms: one of
// its states and a Status text in words.  The rules live here, apart from
// the device's threads and from Tango, so each case is tested on its own.
// Pure logic, any thread.
#pragma once

#include <cstdint>
#include <string>

namespace kv318::tango {

// The control system's states this device uses.  The shell maps each to
// Tango's own (ON, RUNNING, STANDBY, ALARM, FAULT, DISABLE).
enum class DeviceState {
    kOn,       // idle, the board answers
    kRunning,  // this device controls a stream
    kStandby,  // this device follows a stream another client controls
    kAlarm,    // this run (or the last one) missed samples or may have lost some in the FIFO
    kFault,    // the board or its server is gone; the device takes it back when it returns
    kDisable,  // another client controls the board
};

enum class Activity { kIdle, kRunning, kFollowing };

// What the device knows at one moment.
struct Condition {
    std::string where;  // "board 0", "board 1 of kv318-server at tcp://host:5555"
    bool reached = false;
    std::string fault;  // why it is not reached, in words ("" while reached)
    Activity activity = Activity::kIdle;
    double sampleRate = 0;   // Hz, of the stream this device runs or follows
    std::string controller;  // another client that controls the board ("" when none)
    // This run's troubles, kept after it ends until the next start.
    std::uint64_t missed = 0;
    bool possibleLoss = false;
    std::string lossWords;  // the FIFO verdict's words, when possibleLoss
    std::string ended;      // how the last run ended when not by request ("" otherwise)
    // A run the board's loss ended, said once the board is back: the
    // device is ready again, so it is no alarm, but the Status keeps it.
    std::string interrupted;
    std::string recordFile;  // the recording going on ("" when none)
};

struct Summary {
    DeviceState state = DeviceState::kOn;
    std::string status;
};

// The state, by precedence: gone, then troubles of the run, then the run
// itself, then another controller, then idle.  The Status says each thing
// that holds, one sentence each, the most serious first.
Summary summarize(const Condition& c);

// The state's name as Tango spells it ("ON", "RUNNING", ...).
const char* state_name(DeviceState s);

// The words for samples that never arrived through kv318-server.
std::string missed_words(std::uint64_t missed);

}  // namespace kv318::tango
