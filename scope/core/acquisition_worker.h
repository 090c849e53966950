// The one thread that talks to the board while the scope runs: it starts
// the converter (KV318_AD), reads the library's ring on a steady beat
// (KV318_Read), feeds every sample to the trigger engine and, when
// recording, to the shared sample writer, and stops the converter
// (KV318_StopAD) however the run ends.  The GUI thread starts and stops it
// and picks up frames and status; it never calls the library itself and
// never waits for the worker, except in join(), which it calls only once
// finished() says the thread is done or when the window closes (the worker
// sees a stop request within one read period).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board_api.h"
#include "fifo_verdict.h"
#include "frame_handoff.h"
#include "recording.h"
#include "sample_store.h"
#include "sample_writer.h"
#include "scope_settings.h"

namespace kv318::scope {

// A frame as the display gets it: a copy the GUI thread owns until its
// next take.
struct DisplayFrame {
    std::vector<std::int32_t> samples;
    bool triggered = false;
    bool roll = false;
    std::size_t triggerIndex = 0;
    std::uint64_t firstSample = 0;
    double sampleRate = 0;
    std::uint64_t sequence = 0;  // counts frames published in this run, from 1
};

// How a run ended, if not by the user.
enum class Failure : int {
    None = 0,
    StartFailed,  // KV318_AD returned non-zero
    NotEnabled,   // a read returned -1
    Overflow,     // -2
    BulkFailed,   // -3 (or any other negative)
    Recording,    // the recording file could not be written
    // The start or a read failed and the board then did not answer: its
    // driver went away, or its cable was pulled (the library's board only;
    // through kv318-server the server says so).
    Disconnected,
};

// The failure in words, as the status line names it.
const char* failure_text(Failure f);

// Where a run's samples are recorded: a file (CSV, WAV, raw) or an HDF5
// store that the controller opened, in the format its name chose.  The
// worker owns it for the run: once the first samples have come it makes
// the writer, described as the run is (a followed stream's rate and the
// stream's index of the first sample are known only then), brings the
// file up to date about once a second, and finishes it when the run ends.
struct RecordTarget {
    std::string path;
    pipeline::Format format = pipeline::Format::Csv;
    std::unique_ptr<pipeline::FileOutput> file;      // null for HDF5
    std::unique_ptr<pipeline::SampleStore> store;    // HDF5 only
    std::unique_ptr<pipeline::SampleWriter> writer;  // the worker's; destroyed before the file
};

class AcquisitionWorker {
public:
    explicit AcquisitionWorker(const pipeline::BoardApi& api) : api_(api) {}
    // Stops a run still going and waits for its thread (KV318_StopAD first).
    ~AcquisitionWorker();

    // GUI thread.  Starts a run on the open board `handle`.  False (and no
    // thread) when a run is still going: stop and join it first.
    // `recording` may be null.
    bool start(std::int32_t handle, const ScopeSettings& settings, std::unique_ptr<RecordTarget> recording);
    // GUI thread.  Asks the run to end; returns at once.
    void request_stop() { stop_.store(true, std::memory_order_relaxed); }
    // GUI thread.  True once the thread has stopped the converter and will
    // touch nothing shared again (a Single run ends by itself).
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    // GUI thread.  Waits for the thread; quick once finished() holds.
    void join();
    bool running() const { return thread_.joinable(); }

    // GUI thread.  The newest frame since the last call, or null.
    const DisplayFrame* take_frame() { return handoff_.take(); }
    // Samples read from the library in this run.
    std::uint64_t samples() const { return samples_.load(std::memory_order_relaxed); }
    // Valid once finished().
    Failure failure() const { return failure_; }
    std::int32_t failureCode() const { return failureCode_; }
    std::string recordingError() const { return recordingError_; }
    // GUI thread.  What the library's drain statistics say of the board's
    // FIFO in this run so far: looked at about once a second and after
    // the stop.  No possible loss until the statistics say otherwise (or
    // when they cannot be read: statsUnreadable() then).
    analysis::FifoVerdict fifo() const;
    bool statsUnreadable() const { return statsUnreadable_.load(std::memory_order_relaxed); }
    // GUI thread.  The clock and divider of this run: the settings' own,
    // or once a followed stream has been joined, the stream's.
    std::uint64_t clockHz() const;
    std::int32_t divider() const;
    // GUI thread.  What a recording of this run says of it (tool, board,
    // identity, clock, divider, start, the server), into *out; false until
    // the run has started.  Through kv318-server it names the stream's
    // index of the run's first sample once that has come.
    bool description(pipeline::Recording* out) const;
    // GUI thread.  The stream's index of the run's first sample, through
    // kv318-server, once one has come; false before, and for the library.
    bool firstIndex(std::uint64_t* index) const;

private:
    void run(std::int32_t handle, const ScopeSettings& settings, std::unique_ptr<RecordTarget> recording);
    // Worker thread: reads the statistics and publishes their verdict.
    void look_at_fifo(std::int32_t handle, const ScopeSettings& s);
    // Worker thread: makes the recording's writer, described, and begins
    // its file.  False with the failure set when the file cannot be begun.
    bool begin_recording(RecordTarget* recording, const pipeline::Recording& described, const ScopeSettings& s);

    const pipeline::BoardApi& api_;
    std::thread thread_;
    FrameHandoff<DisplayFrame> handoff_;
    // Writer: the GUI thread (request_stop); reader: the worker between
    // reads.  Relaxed: it carries no data, and the worker looks again
    // within one read period.
    std::atomic<bool> stop_{false};
    // Writer: the worker, once per read; reader: the GUI thread for the
    // status line.  Relaxed: a count for display, nothing hangs on it.
    std::atomic<std::uint64_t> samples_{0};
    // Writer: the worker, last of all (release), after failure_,
    // failureCode_ and recordingError_; reader: the GUI thread (acquire),
    // which reads those only after seeing it.  No lock: the three are
    // written once per run, before this flag, and read after it.
    std::atomic<bool> finished_{true};
    // Writer: the worker, after each look at the statistics; reader: the
    // GUI thread (fifo()).  Relaxed: each is a figure for display on its
    // own, and the longest gap and the count only grow within a run.
    std::atomic<std::uint64_t> longestGapUs_{0};
    std::atomic<std::uint64_t> riskyGaps_{0};
    std::atomic<bool> possibleLoss_{false};
    std::atomic<bool> statsUnreadable_{false};
    // The run's settings: written by start() before the thread exists,
    // only read after.
    ScopeSettings runSettings_;
    // Written by the worker once the run has started, before described_
    // (release); the GUI thread reads it only after seeing described_
    // (acquire).  start() clears the flag before the thread exists.  Its
    // clock and divider are the run's: a followed stream's own.
    pipeline::Recording description_;
    std::atomic<bool> described_{false};
    // Writer: the worker, at the first samples of a run through
    // kv318-server, firstIndex_ before firstIndexKnown_ (release); reader:
    // the GUI thread (acquire on the flag first).
    std::atomic<std::uint64_t> firstIndex_{0};
    std::atomic<bool> firstIndexKnown_{false};
    Failure failure_ = Failure::None;
    std::int32_t failureCode_ = 0;
    std::string recordingError_;
};

}  // namespace kv318::scope
