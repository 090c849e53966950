#include "acquisition_worker.h"

#include <chrono>

#include "reader.h"
#include "recording.h"
#include "trigger.h"

namespace kv318::scope {

namespace {

using Clock = std::chrono::steady_clock;

// The library's timer drains the board into its 2 MiB ring every 10 ms;
// at the fastest stream the ring holds about 80 ms, so reading every 20 ms
// keeps it far from full with time to spare for the trigger and a paint.
constexpr auto kReadPeriod = std::chrono::milliseconds(20);
// How often the drain statistics are looked at while a run goes on.
constexpr auto kStatsPeriod = std::chrono::seconds(1);

// Copies the newest frame the engine completes in one feed into the
// hand-off's write slot; earlier frames of the same feed are overwritten,
// as the display could not show them anyway.
struct LatestFrame : analysis::FrameSink {
    DisplayFrame* slot = nullptr;
    bool got = false;
    bool frame(const analysis::Frame& f) override {
        slot->samples.assign(f.samples, f.samples + f.count);
        slot->triggered = f.triggered;
        slot->triggerIndex = f.triggerIndex;
        slot->firstSample = f.firstSample;
        slot->roll = false;
        got = true;
        return true;
    }
};

Failure read_failure(pipeline::ReadEnd end) {
    switch (end) {
    case pipeline::ReadEnd::kNotEnabled:
        return Failure::NotEnabled;
    case pipeline::ReadEnd::kRingOverflow:
        return Failure::Overflow;
    default:
        return Failure::BulkFailed;
    }
}

}  // namespace

const char* failure_text(Failure f) {
    switch (f) {
    case Failure::None:
        return "";
    case Failure::StartFailed:
        return "acquisition did not start";
    case Failure::NotEnabled:
        return pipeline::read_end_text(pipeline::ReadEnd::kNotEnabled);
    case Failure::Overflow:
        return pipeline::read_end_text(pipeline::ReadEnd::kRingOverflow);
    case Failure::BulkFailed:
        return pipeline::read_end_text(pipeline::ReadEnd::kTransferFault);
    case Failure::Recording:
        return "recording failed";
    }
    return "";
}

AcquisitionWorker::~AcquisitionWorker() {
    request_stop();
    join();
}

void AcquisitionWorker::join() {
    if (thread_.joinable()) thread_.join();
}

bool AcquisitionWorker::start(std::int32_t handle, const ScopeSettings& settings,
                              std::unique_ptr<Recording> recording) {
    if (thread_.joinable()) return false;
    stop_.store(false, std::memory_order_relaxed);
    samples_.store(0, std::memory_order_relaxed);
    failure_ = Failure::None;
    failureCode_ = 0;
    recordingError_.clear();
    longestGapUs_.store(0, std::memory_order_relaxed);
    riskyGaps_.store(0, std::memory_order_relaxed);
    possibleLoss_.store(false, std::memory_order_relaxed);
    statsUnreadable_.store(false, std::memory_order_relaxed);
    runSettings_ = settings;
    finished_.store(false, std::memory_order_relaxed);
    // The thread's start orders everything above before its first step.
    thread_ = std::thread(&AcquisitionWorker::run, this, handle, settings, std::move(recording));
    return true;
}

analysis::FifoVerdict AcquisitionWorker::fifo() const {
    analysis::FifoVerdict v =
        analysis::fifo_verdict(runSettings_.clockHz, runSettings_.divider, runSettings_.fifoBytes, 0, {});
    v.longestGapUs = longestGapUs_.load(std::memory_order_relaxed);
    v.riskyGaps = riskyGaps_.load(std::memory_order_relaxed);
    v.possibleLoss = possibleLoss_.load(std::memory_order_relaxed);
    return v;
}

void AcquisitionWorker::look_at_fifo(std::int32_t handle, const ScopeSettings& s) {
    KV318_STREAM_STATS stats{};
    if (!pipeline::read_stream_stats(api_, handle, &stats)) {
        statsUnreadable_.store(true, std::memory_order_relaxed);
        return;
    }
    const analysis::FifoVerdict v =
        analysis::fifo_verdict(s.clockHz, s.divider, s.fifoBytes, stats.longest_gap_us, stats.gap_histogram);
    longestGapUs_.store(v.longestGapUs, std::memory_order_relaxed);
    riskyGaps_.store(v.riskyGaps, std::memory_order_relaxed);
    possibleLoss_.store(v.possibleLoss, std::memory_order_relaxed);
}

void AcquisitionWorker::run(std::int32_t handle, const ScopeSettings& s, std::unique_ptr<Recording> recording) {
    pipeline::Reader reader(api_, handle);
    pipeline::ReaderSettings rs;
    rs.divider = s.divider;
    rs.period = kReadPeriod;
    const std::int32_t rc = reader.start(rs);
    if (rc != 0) {
        // Nothing started, so there is nothing to stop.  When the board is
        // streaming in another process the library refuses the start with
        // -1 too; the window names that case from the board lock.
        failure_ = Failure::StartFailed;
        failureCode_ = rc;
        if (recording) recording->writer->finish();
        finished_.store(true, std::memory_order_release);
        return;
    }
    analysis::TriggerEngine engine(trigger_settings(s));
    LatestFrame sink;
    std::uint64_t sequence = 0;
    auto nextStats = Clock::now() + kStatsPeriod;
    pipeline::ReadBlock block;
    while (!stop_.load(std::memory_order_relaxed)) {
        if (Clock::now() >= nextStats) {
            look_at_fifo(handle, s);
            nextStats = Clock::now() + kStatsPeriod;
        }
        if (!reader.next(&block, stop_)) {
            failure_ = read_failure(reader.end());
            failureCode_ = reader.failure_result();
            break;
        }
        if (block.count == 0) continue;
        const std::size_t count = block.count;
        const std::int32_t* samples = block.samples;
        samples_.fetch_add(count, std::memory_order_relaxed);
        // Every sample is recorded and seen by the trigger; only the
        // display drops frames.
        if (recording && recording->writer->write(samples, count) < count) {
            failure_ = Failure::Recording;
            recordingError_ = recording->writer->full() ? "the WAV file is full" : recording->writer->error();
            break;
        }
        sink.slot = &handoff_.write_slot();
        sink.got = false;
        engine.feed(samples, count, sink);
        if (s.mode == analysis::TriggerMode::Roll) {
            // Roll: no trigger, the newest screenful after every read.
            sink.frame(engine.roll());
            sink.slot->roll = true;
        }
        if (sink.got) {
            sink.slot->sampleRate = s.sampleRate();
            sink.slot->sequence = ++sequence;
            handoff_.publish();
        }
        if (s.mode == analysis::TriggerMode::Single && engine.done()) break;
    }
    // However the run ended, the converter stops before the thread does.
    reader.stop();
    // The statistics stay readable after the stop and cover the whole run.
    look_at_fifo(handle, s);
    if (recording && possibleLoss_.load(std::memory_order_relaxed)) {
        // A recording that may miss samples says so in itself (a CSV file on
        // its last line); one that holds them all stays as it was.
        const analysis::FifoVerdict v = fifo();
        recording->writer->note_fifo(pipeline::fifo_note(&v));
    }
    if (recording && !recording->writer->finish() && failure_ == Failure::None) {
        failure_ = Failure::Recording;
        recordingError_ = recording->writer->error();
    }
    finished_.store(true, std::memory_order_release);
}

}  // namespace kv318::scope
