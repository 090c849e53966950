// The acquisition run behind `stream` and `poll`: start the converter, read
// in a loop until a limit, a stop request or a failure, stop the converter,
// and leave the output valid.  Runs on the calling thread; the library's
// own timer thread fills its ring meanwhile (stream mode).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "board_api.h"
#include "sample_writer.h"

namespace kv318::cli {

struct StreamSettings {
    bool polled = false;               // KV318_M_AD / KV318_M_Read instead of the timer
    std::int32_t flags[4] = {0, 0, 0, 0};
    std::int32_t divider = 50;
    std::uint64_t maxSamples = 0;      // 0: no limit
    double maxSeconds = 0;             // 0: no limit
};

struct StreamProgress {
    double seconds = 0;
    std::uint64_t samples = 0;
    std::uint64_t errors = 0;          // negative reads
};

struct StreamOutcome {
    bool started = false;              // the start call succeeded
    std::int32_t readFailure = 0;      // 0, or -1 not enabled, -2 overflow, -3 bulk transfer failed
    bool interrupted = false;          // the stop flag ended the run
    std::uint64_t samples = 0;         // written to the output
    double seconds = 0;
};

// `stop` is set from outside (a signal handler) and read here between
// reads.  `progress` is called a few times a second and once at the end
// (`last` true).  The output is finished whatever the outcome; check
// writer.failed() and writer.full() for its own state.
StreamOutcome run_stream(const BoardApi& api, std::int32_t handle, const StreamSettings& settings, SampleWriter& writer,
                         const std::atomic<bool>& stop,
                         const std::function<void(const StreamProgress&, bool last)>& progress);

// The progress line: "  12.3 s   24600000 samples   2.000 MS/s   4.000 MB/s   0 errors".
std::string progress_line(const StreamProgress& p);

}  // namespace kv318::cli
