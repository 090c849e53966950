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

// After a failed start or read: whether the library's board still answers
// (its status register), so a board that went away is told from one that
// merely failed.  A handle of kv318-server is not asked: the server says.
bool board_gone(const pipeline::BoardApi& api, std::int32_t handle) {
    pipeline::RemoteStatus remote;
    return !pipeline::served_status(api, handle, &remote) && !pipeline::board_answers(api, handle);
}

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
    case Failure::Disconnected:
        return "the board stopped answering";
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
                              std::unique_ptr<RecordTarget> recording) {
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
    described_.store(false, std::memory_order_relaxed);
    firstIndexKnown_.store(false, std::memory_order_relaxed);
    runSettings_ = settings;
    finished_.store(false, std::memory_order_relaxed);
    // The thread's start orders everything above before its first step.
    thread_ = std::thread(&AcquisitionWorker::run, this, handle, settings, std::move(recording));
    return true;
}

std::uint64_t AcquisitionWorker::clockHz() const {
    return described_.load(std::memory_order_acquire) ? description_.clockHz : runSettings_.clockHz;
}

std::int32_t AcquisitionWorker::divider() const {
    return described_.load(std::memory_order_acquire) ? static_cast<std::int32_t>(description_.divider)
                                                      : runSettings_.divider;
}

bool AcquisitionWorker::description(pipeline::Recording* out) const {
    if (!described_.load(std::memory_order_acquire)) return false;
    *out = description_;
    out->serverFirstKnown = firstIndex(&out->serverFirstIndex);
    return true;
}

bool AcquisitionWorker::firstIndex(std::uint64_t* index) const {
    if (!firstIndexKnown_.load(std::memory_order_acquire)) return false;
    *index = firstIndex_.load(std::memory_order_relaxed);
    return true;
}

analysis::FifoVerdict AcquisitionWorker::fifo() const {
    analysis::FifoVerdict v = analysis::fifo_verdict(clockHz(), divider(), runSettings_.fifoBytes, 0, {});
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

bool AcquisitionWorker::begin_recording(RecordTarget* recording, const pipeline::Recording& described,
                                        const ScopeSettings& s) {
    if (recording->store) {
        recording->writer = std::make_unique<pipeline::SampleWriter>(*recording->store, s.clockHz,
                                                                     static_cast<std::uint32_t>(s.divider));
    } else {
        recording->writer = std::make_unique<pipeline::SampleWriter>(recording->format, *recording->file, s.clockHz,
                                                                     static_cast<std::uint32_t>(s.divider));
        if (recording->format == pipeline::Format::Wav) {
            // Past the format's 4 GiB the run goes on in numbered files.
            recording->writer->continue_in([path = recording->path](unsigned part, std::string* error) {
                auto next = std::make_unique<pipeline::FileOutput>(pipeline::part_path(path, part));
                if (next->ok()) return std::unique_ptr<pipeline::ByteOutput>(std::move(next));
                *error = next->error();
                return std::unique_ptr<pipeline::ByteOutput>();
            });
        }
    }
    recording->writer->describe(described);
    if (recording->writer->begin()) return true;
    failure_ = Failure::Recording;
    recordingError_ = recording->writer->error();
    return false;
}

void AcquisitionWorker::run(std::int32_t handle, const ScopeSettings& settings,
                            std::unique_ptr<RecordTarget> recording) {
    // A followed stream's own rate replaces the settings' once it is joined.
    ScopeSettings s = settings;
    // The identity is read before the start: the library's board answers
    // its control requests best while no stream runs.
    pipeline::Recording described =
        pipeline::describe_board(api_, handle, tool_name(), s.board, s.clockHz, static_cast<std::uint32_t>(s.divider));
    pipeline::Reader reader(api_, handle);
    pipeline::ReaderSettings rs;
    rs.divider = s.divider;
    rs.period = kReadPeriod;
    const std::int32_t rc = reader.start(rs);
    if (rc != 0) {
        // Nothing started, so there is nothing to stop.  When the board is
        // streaming in another process the library refuses the start with
        // -1 too; the window names that case from the board lock.
        failure_ = board_gone(api_, handle) ? Failure::Disconnected : Failure::StartFailed;
        failureCode_ = rc;
        // The file still says which run it was to hold.
        if (recording && begin_recording(recording.get(), described, s)) recording->writer->finish();
        finished_.store(true, std::memory_order_release);
        return;
    }
    const bool remote = pipeline::describe_server(api_, handle, &described);
    if (described.followed && described.clockHz > 0 && described.divider > 0) {
        adopt_rate(&s, described.clockHz, static_cast<std::int32_t>(described.divider));
    }
    description_ = described;
    described_.store(true, std::memory_order_release);
    analysis::TriggerEngine engine(trigger_settings(s));
    LatestFrame sink;
    std::uint64_t sequence = 0;
    auto nextStats = Clock::now() + kStatsPeriod;
    pipeline::ReadBlock block;
    while (!stop_.load(std::memory_order_relaxed)) {
        if (Clock::now() >= nextStats) {
            look_at_fifo(handle, s);
            // A run killed at any moment leaves a file valid up to here.
            if (recording && recording->writer && !recording->writer->checkpoint()) {
                failure_ = Failure::Recording;
                recordingError_ = recording->writer->error();
                break;
            }
            nextStats = Clock::now() + kStatsPeriod;
        }
        if (!reader.next(&block, stop_)) {
            failure_ = board_gone(api_, handle) ? Failure::Disconnected : read_failure(reader.end());
            failureCode_ = reader.failure_result();
            break;
        }
        if (block.count == 0) continue;
        const std::size_t count = block.count;
        const std::int32_t* samples = block.samples;
        if (remote && !firstIndexKnown_.load(std::memory_order_relaxed)) {
            // A read never spans a jump of the stream, so its first sample
            // stands its count before the next one.
            pipeline::RemoteStatus status;
            if (pipeline::served_status(api_, handle, &status) && status.nextIndex >= count) {
                firstIndex_.store(status.nextIndex - count, std::memory_order_relaxed);
                firstIndexKnown_.store(true, std::memory_order_release);
                described.serverFirstKnown = true;
                described.serverFirstIndex = status.nextIndex - count;
            }
        }
        if (recording && !recording->writer && !begin_recording(recording.get(), described, s)) break;
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
    // A run that ended before its first sample still leaves a described
    // file; a failure to begin it does not hide why the run ended.
    if (recording && !recording->writer && failure_ != Failure::None) {
        const Failure why = failure_;
        const std::int32_t code = failureCode_;
        if (!begin_recording(recording.get(), described, s)) failure_ = why, failureCode_ = code;
    } else if (recording && !recording->writer) {
        begin_recording(recording.get(), described, s);
    }
    if (recording && recording->writer) {
        // Every recording ends on the FIFO's verdict over the whole run, as
        // kv318-cli's do (a CSV file on its last line); a WAV file would
        // otherwise say "not known until the run ends" for good.
        const analysis::FifoVerdict v = fifo();
        recording->writer->note_fifo(pipeline::fifo_note(statsUnreadable() ? nullptr : &v));
    }
    if (recording && recording->writer && !recording->writer->finish() && failure_ == Failure::None) {
        failure_ = Failure::Recording;
        recordingError_ = recording->writer->error();
    }
    finished_.store(true, std::memory_order_release);
}

}  // namespace kv318::scope
