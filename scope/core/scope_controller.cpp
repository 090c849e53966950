#include "scope_controller.h"

#include <cstdio>

#include "disconnection.h"
#include "recording.h"
#include "sample_store.h"

namespace kv318::scope {

std::string recording_format(const std::string& path, pipeline::Format* format) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || !pipeline::parse_format(name.substr(dot + 1), format).empty()) {
        // "csv|raw|wav|hdf5" as ".csv, .raw, .wav, .hdf5".
        std::string names(1, '.');
        for (const char c : pipeline::format_names()) {
            if (c == '|') names += ", .";
            else names += c;
        }
        return path + " has no recording's extension: name it " + names + " or .h5";
    }
    if (*format == pipeline::Format::Hdf5 && !pipeline::hdf5_available()) {
        return "HDF5 recordings are not available in this build of kv318-scope";
    }
    return {};
}

ScopeController::ScopeController(const pipeline::BoardApi& api, const ScopeSettings& s,
                                 std::string (*notFoundHint)(int), bool (*lockHeld)(std::int32_t, std::uint32_t*))
    : api_(api),
      hint_(notFoundHint),
      lockHeld_(lockHeld),
      s_(normalise(s)),
      worker_(api),
      recordingPath_(s.record),
      wall_([] { return std::time(nullptr); }) {}

ScopeController::~ScopeController() {
    close();
    if (handle_ != -1) api_.close(handle_);
}

void ScopeController::close() {
    wantRunning_ = false;
    restartPending_ = false;
    worker_.request_stop();
    worker_.join();
}

void ScopeController::apply(const ScopeSettings& n) {
    const ScopeSettings old = s_;
    s_ = normalise(n);
    const bool same = s_.board == old.board && s_.divider == old.divider && s_.clockHz == old.clockHz &&
                      s_.secondsPerDiv == old.secondsPerDiv && s_.mode == old.mode && s_.edge == old.edge &&
                      s_.levelVolts == old.levelVolts && s_.hysteresisVolts == old.hysteresisVolts &&
                      s_.pretriggerPercent == old.pretriggerPercent && s_.holdoffSeconds == old.holdoffSeconds;
    if (!same && wantRunning_ && worker_.running()) {
        worker_.request_stop();
        restartPending_ = true;
    }
    if (disconnected_ && s_.board != old.board) {
        // The board waited for is not the one wanted any more.
        disconnected_ = false;
        message_.clear();
        if (wantRunning_ && !worker_.running()) startWorker();
    }
}

bool ScopeController::openBoard() {
    if (handle_ != -1 && handleBoard_ == s_.board) return true;
    if (handle_ != -1) api_.close(handle_);
    handle_ = api_.open(s_.board);
    handleBoard_ = s_.board;
    if (handle_ == -1) {
        // Run tries again: the simulator or the board may come later.
        message_ = "board " + std::to_string(s_.board) + ": not found" + (hint_ ? hint_(s_.board) : std::string()) +
                   "; press Run to try again";
        return false;
    }
    return true;
}

void ScopeController::startWorker() {
    if (!openBoard()) {
        wantRunning_ = false;
        return;
    }
    std::unique_ptr<RecordTarget> rec;
    if (!recordingPath_.empty()) {
        rec = std::make_unique<RecordTarget>();
        rec->path = recordingPath_;
        std::string why = recording_format(recordingPath_, &rec->format);
        if (why.empty() && rec->format == pipeline::Format::Hdf5) {
            rec->store = pipeline::open_hdf5_store(recordingPath_, 0, &why);
        } else if (why.empty()) {
            rec->file = std::make_unique<pipeline::FileOutput>(recordingPath_);
            if (!rec->file->ok()) why = rec->file->error();
        }
        if (!why.empty()) {
            message_ = "cannot record to " + recordingPath_ + ": " + why;
            wantRunning_ = false;
            return;
        }
    }
    message_.clear();
    rateSamples_ = 0;
    fifoOfOldRun_ = false;
    worker_.start(handle_, s_, std::move(rec));
}

void ScopeController::lose(double now) {
    if (handle_ != -1) api_.close(handle_);
    handle_ = -1;
    disconnected_ = true;
    nextReopen_ = now + pipeline::kReopenMs / 1000.0;
    message_ = pipeline::disconnected_text(s_.board, wall_(), "kv318-scope will carry on when it returns");
}

void ScopeController::reconnect(double now) {
    if (now < nextReopen_) return;
    nextReopen_ = now + pipeline::kReopenMs / 1000.0;
    const std::int32_t h = api_.open(s_.board);
    if (h == -1) return;
    handle_ = h;
    handleBoard_ = s_.board;
    disconnected_ = false;
    message_.clear();
    // A run that the board's loss cut short goes on.
    if (wantRunning_) startWorker();
}

void ScopeController::run() {
    wantRunning_ = true;
    // A board that went away is being waited for: the run starts once it
    // is back (tick()), or at once when another board is chosen.
    if (disconnected_) {
        nextReopen_ = 0;
        return;
    }
    // The run that is ending still has its say on the FIFO, but not on the
    // screen of the run asked for now.
    fifoWarning_.clear();
    fifoOfOldRun_ = true;
    if (worker_.running()) {
        // The old run ends first; tick() starts the new one once it has.
        worker_.request_stop();
        restartPending_ = true;
        return;
    }
    startWorker();
}

void ScopeController::single() {
    ScopeSettings s = s_;
    s.mode = analysis::TriggerMode::Single;
    s_ = s;
    run();
}

void ScopeController::stop() {
    wantRunning_ = false;
    restartPending_ = false;
    worker_.request_stop();
}

void ScopeController::setRecording(const std::string& path) {
    recordingPath_ = path;
    if (wantRunning_ && worker_.running()) {
        worker_.request_stop();
        restartPending_ = true;
    }
}

void ScopeController::autoscale() {
    if (haveFrame_) scope::autoscale(frame_, &s_);
}

bool ScopeController::tick(double now) {
    if (started_ < 0) started_ = rateFrom_ = now;
    bool changed = false;
    if (const DisplayFrame* f = worker_.take_frame()) {
        frame_ = *f;
        haveFrame_ = true;
        ++rateFrames_;
        ++framesTotal_;
        changed = true;
    }
    // Read before a finished run is joined, so its last look counts; kept
    // once seen, through restarts, until the user's next Run.
    if (worker_.running() && !fifoOfOldRun_) {
        const analysis::FifoVerdict v = worker_.fifo();
        if (v.possibleLoss && fifoWarning_.empty()) changed = true;
        if (v.possibleLoss) {
            fifoWarning_ = analysis::fifo_warning_text(v);
        }
        fifoUnknown_ = worker_.statsUnreadable();
    }
    // A followed stream runs at its controller's rate, which the run
    // learns once it has joined; a restart there may have changed it.
    if (s_.follow && worker_.running() && (worker_.clockHz() != s_.clockHz || worker_.divider() != s_.divider)) {
        adopt_rate(&s_, worker_.clockHz(), worker_.divider());
        settingsChanged_ = true;
        changed = true;
    }
    if (worker_.running() && worker_.finished()) {
        worker_.join();
        samplesEnded_ += worker_.samples();
        changed = true;
        if (worker_.failure() == Failure::Disconnected) {
            // The run waits for the board and goes on when it is back.
            restartPending_ = false;
            lose(now);
        } else if (worker_.failure() != Failure::None) {
            // A failure stops the run and says so; Run starts again.
            wantRunning_ = false;
            restartPending_ = false;
            message_ = failure_text(worker_.failure());
            std::uint32_t pid = 0;
            if (worker_.failure() == Failure::StartFailed && lockHeld_ != nullptr && lockHeld_(s_.board, &pid)) {
                // Another process streams this board: the library refused the
                // start without touching it.  Say who, and that Run retries.
                message_ = pipeline::board_busy_text(s_.board, pid) + "; press Run to retry";
            } else if (worker_.failure() == Failure::StartFailed) {
                message_ = "board " + std::to_string(s_.board) + ": KV318_AD failed (" +
                           std::to_string(worker_.failureCode()) + "): acquisition did not start; press Run to retry";
            } else if (worker_.failure() == Failure::Recording) {
                message_ += ": " + worker_.recordingError();
            }
            // Through kv318-server the client knows better: a refusal names
            // the controlling client, a silent server says so.
            pipeline::RemoteStatus remote;
            if (worker_.failure() != Failure::Recording && pipeline::served_status(api_, handle_, &remote) &&
                !remote.failure.empty()) {
                message_ = remote.failure + "; press Run to retry";
            }
        } else if (s_.mode == analysis::TriggerMode::Single && !restartPending_) {
            wantRunning_ = false;  // Single has its frame
        }
        if (restartPending_ && wantRunning_) {
            restartPending_ = false;
            startWorker();
        }
    }
    if (disconnected_) {
        const bool was = disconnected_;
        reconnect(now);
        changed = changed || was != disconnected_;
    }
    if (now - rateFrom_ >= 1.0) {
        const std::uint64_t samples = worker_.samples();
        delivered_ = samples >= rateSamples_ ? static_cast<double>(samples - rateSamples_) / (now - rateFrom_) : 0;
        rateSamples_ = samples;
        fps_ = rateFrames_ / (now - rateFrom_);
        rateFrames_ = 0;
        rateFrom_ = now;
        changed = true;
        pipeline::RemoteStatus remote;
        if (pipeline::served_status(api_, handle_, &remote) && remote.stream != 0) {
            source_ = (remote.following ? "following stream " : "stream ") + std::to_string(remote.stream) +
                      " of kv318-server at " + remote.url;
            // A follower that falls behind loses blocks; it says so.
            if (remote.missed > 0) source_ += ", " + std::to_string(remote.missed) + " samples missed";
        }
    }
    return changed;
}

DrawList ScopeController::view(int width, int height, const TextWidth& textWidth) const {
    ViewInput in;
    in.textWidth = textWidth;
    in.width = width;
    in.height = height;
    in.settings = &s_;
    in.frame = haveFrame_ ? &frame_ : nullptr;
    in.cursors = cursors_;
    in.status.running = running();
    in.status.samplesArrived = worker_.samples() > 0;
    in.status.deliveredPerSecond = delivered_;
    in.status.framesPerSecond = fps_;
    in.status.failure = message_;
    in.status.fifoWarning = fifoWarning_;
    in.status.fifoUnknown = fifoUnknown_;
    in.status.source = source_;
    return build_view(in);
}

std::string ScopeController::summary(double now) const {
    const double seconds = started_ >= 0 ? now - started_ : 0;
    const std::uint64_t samples = samplesEnded_ + (worker_.running() ? worker_.samples() : 0);
    char text[200];
    std::snprintf(text, sizeof text, "%llu frames in %.1f s (%.1f fps), %llu samples (%s)",
                  static_cast<unsigned long long>(framesTotal_), seconds,
                  seconds > 0 ? static_cast<double>(framesTotal_) / seconds : 0.0,
                  static_cast<unsigned long long>(samples),
                  format_rate(seconds > 0 ? static_cast<double>(samples) / seconds : 0.0).c_str());
    return text;
}

bool ScopeController::followedStream(pipeline::RemoteStatus* remote) const {
    return pipeline::served_status(api_, handle_, remote) && remote->stream != 0;
}

std::vector<std::string> ScopeController::report(double now, const pipeline::RemoteStatus* remote) const {
    std::vector<std::string> lines;
    if (!message_.empty()) lines.push_back(message_);
    if (!fifoWarning_.empty()) lines.push_back(fifoWarning_);
    lines.push_back(summary(now));
    if (remote != nullptr) {
        std::uint64_t first = 0;
        const bool known = worker_.firstIndex(&first);
        lines.push_back("stream " + std::to_string(remote->stream) + " of kv318-server at " + remote->url + ": " +
                        std::to_string(worker_.samples()) + " samples" +
                        (known ? " from index " + std::to_string(first) : std::string()) + ", " +
                        std::to_string(remote->missed) + " missed");
    }
    return lines;
}

std::vector<std::string> ScopeController::screenshotReport(double now) const {
    pipeline::RemoteStatus remote;
    return report(now, followedStream(&remote) ? &remote : nullptr);
}

std::vector<std::string> ScopeController::endForScreenshot(double now) {
    pipeline::RemoteStatus remote;
    const bool followed = followedStream(&remote);
    const bool wasRunning = worker_.running();
    close();
    // The run joined here is not the tick's to count: its samples, the last
    // read's included, go into the report's total now.
    if (wasRunning) samplesEnded_ += worker_.samples();
    return report(now, followed ? &remote : nullptr);
}

std::string ScopeController::visibleCsv() const {
    pipeline::Recording described;
    if (!worker_.description(&described)) return visible_csv(frame_);
    // A triggered trace says where its trigger is, as a capture's file
    // does: its time_s counts from there.
    described.triggered = frame_.triggered;
    described.trigger = {s_.edge,
                         s_.levelVolts,
                         s_.hysteresisVolts,
                         s_.pretriggerPercent,
                         frame_.triggerIndex,
                         frame_.firstSample + frame_.triggerIndex};
    return pipeline::csv_preamble(described) + visible_csv(frame_);
}

bool ScopeController::screenshotDue(double now) {
    if (s_.screenshot.empty() || screenshotDone_ || started_ < 0) return false;
    if (now - started_ < s_.screenshotAfter) return false;
    screenshotDone_ = true;
    return true;
}

}  // namespace kv318::scope
