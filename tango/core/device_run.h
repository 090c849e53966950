// The parts of a BoardDevice's run that only its own files see: the reader
// and its thread, and what the run feeds beside the windows (a capture
// waiting for its trigger, a recording).
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board_device.h"
#include "reader.h"
#include "sample_store.h"
#include "sample_writer.h"

namespace kv318::tango {

// A value outside its range, refused with the reason KV318_OutOfRange in
// the words every program uses; ok inside it.
Outcome check_range(const pipeline::Limit& limit, std::int64_t value);
Outcome check_range(const pipeline::RealLimit& limit, double value);

// A capture the reading thread feeds until its frame is cut.
struct BoardDevice::Capture : analysis::FirstFrame {
    explicit Capture(const analysis::TriggerSettings& s) : engine(s) {}
    analysis::TriggerEngine engine;
    std::uint64_t firstFed = 0;  // the stream's index of the first sample fed
    bool fedAny = false;
};

struct BoardDevice::Run {
    Run(const pipeline::BoardApi& api, std::int32_t handle) : reader(api, handle) {}
    pipeline::Reader reader;
    pipeline::ReaderSettings settings;
    bool follow = false;
    bool holdsLocal = false;  // this run is the process's one acquisition of a board of this machine
    std::uint64_t clockHz = 0;
    pipeline::Recording description;
    // Set by stop() and the destructor, read by the reading thread (relaxed:
    // it only cuts the thread's waits short).
    std::atomic<bool> stop{false};
    // Set by the reading thread as it leaves (release), read by the
    // commands that wait for it (acquire).
    std::atomic<bool> done{false};
    std::thread thread;
    // The stream's index just past the last sample read (the device's lock).
    std::uint64_t nextIndex = 0;
    // What the verdict's last reading covered, for marking windows.
    std::uint64_t riskyGaps = 0;
    std::uint64_t statsFrom = 0;
    std::int64_t nextStatsUs = 0;
    // The capture waiting for its trigger and the recording (the device's
    // lock guards both).
    Capture* capture = nullptr;
    std::unique_ptr<pipeline::SampleStore> store;
    std::unique_ptr<pipeline::SampleWriter> writer;
    std::string recordFile;
    std::string recordError;
    std::int64_t nextCheckpointUs = 0;
};

}  // namespace kv318::tango
