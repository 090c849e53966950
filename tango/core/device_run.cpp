// A BoardDevice's runs: starting or following a stream, the reading thread
// that feeds the windows, a capture and a recording, and the verdict on
// the board's FIFO.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "device_run.h"
#include "disconnection.h"
#include "option_limits.h"
#include "served_api.h"

namespace kv318::tango {

namespace {

using Clock = std::chrono::steady_clock;

// The drain statistics are asked for this often while a run goes on (a
// served board's are a request to its server), and the recording brought
// to a state readers open about once a second.
constexpr std::int64_t kStatsEveryUs = 200'000;
constexpr std::int64_t kCheckpointEveryUs = 1'000'000;

// "20261210T101503Z": a file name's time, sortable and free of colons.
std::string stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

// The library runs one acquisition of this machine's boards per process,
// so of two devices of one server on local boards only one streams at a
// time: the one that does is named here, so the other can say who.
std::mutex gLocalLock;
std::string gLocalHolder;

bool claim_local(const std::string& holder, std::string* other) {
    const std::lock_guard<std::mutex> l(gLocalLock);
    if (!gLocalHolder.empty()) {
        *other = gLocalHolder;
        return false;
    }
    gLocalHolder = holder;
    return true;
}

void release_local() {
    const std::lock_guard<std::mutex> l(gLocalLock);
    gLocalHolder.clear();
}

}  // namespace

Outcome BoardDevice::start(const std::string& client) {
    const std::lock_guard<std::mutex> b(board_);
    return begin_run(false, client);
}

Outcome BoardDevice::follow() {
    const std::lock_guard<std::mutex> b(board_);
    return begin_run(true, std::string());
}

Outcome BoardDevice::stop() {
    const std::lock_guard<std::mutex> b(board_);
    end_run();
    return {};
}

Outcome BoardDevice::begin_run(bool follow, const std::string& client) {
    if (handle_ < 0) return unreachable();
    {
        const std::lock_guard<std::mutex> l(m_);
        if (run_ != nullptr && !run_->done.load(std::memory_order_acquire)) {
            if (activity_ == Activity::kFollowing) {
                return Outcome::fail("KV318_BoardBusy",
                                     "this device follows the stream of " + where() + "; Stop it first");
            }
            return Outcome::fail("KV318_BoardBusy",
                                 "the stream of " + where() + " is controlled by " + startedBy_ + "; Stop it first");
        }
    }
    end_run();  // a run that ended by itself: its thread is joined here
    if (follow && !served()) {
        return Outcome::fail("KV318_NotServed",
                             "Follow joins a stream of kv318-server: the ServerURL property names none");
    }
    if (!follow && !served()) {
        std::uint32_t pid = 0;
        if (pipeline::board_lock_held(config_.board, &pid)) {
            const std::string words = pipeline::board_busy_text(config_.board, pid);
            const std::lock_guard<std::mutex> l(m_);
            controller_ = words;
            return Outcome::fail("KV318_BoardBusy", words);
        }
    }
    auto run = std::make_unique<Run>(api_, handle_);
    if (!served()) {
        const std::string me = where() + (config_.name.empty() ? "" : " (" + config_.name + ")");
        std::string other;
        if (!claim_local(me, &other)) {
            return Outcome::fail("KV318_ProcessBusy",
                                 "this device server already streams " + other +
                                     ": the library runs one acquisition of this machine's boards per process, so "
                                     "each board streams from an instance of its own, or through kv318-server");
        }
        run->holdsLocal = true;
    }
    {
        const std::lock_guard<std::mutex> l(m_);
        run->settings.polled = polled_;
        run->settings.divider = divider_;
        run->clockHz = clockHz_;
    }
    // A start that fails gives the claim back with the run.
    struct Release {
        Run* run;
        ~Release() {
            if (run != nullptr && run->holdsLocal) release_local();
        }
    } release{run.get()};
    run->follow = follow;
    run->description = pipeline::describe_board(api_, handle_, config_.tool, config_.board, run->clockHz,
                                                static_cast<std::uint32_t>(run->settings.divider));
    pipeline::RemoteStatus remote;
    if (follow) {
        if (api_.follow == nullptr || api_.follow(handle_) != 0) {
            pipeline::served_status(api_, handle_, &remote);
            return Outcome::fail("KV318_FollowFailed", remote.failure.empty() ? "Follow failed" : remote.failure);
        }
        if (!pipeline::served_status(api_, handle_, &remote) || !remote.following || remote.stream == 0) {
            api_.stopAd(handle_);
            return Outcome::fail("KV318_NoStream",
                                 pipeline::no_stream_text(std::to_string(config_.board), config_.serverUrl));
        }
        run->reader.adopt(run->settings);
        if (remote.clockHz > 0) run->clockHz = remote.clockHz;
        if (remote.divider > 0) run->settings.divider = static_cast<std::int32_t>(remote.divider);
    } else if (run->reader.start(run->settings) < 0) {
        const char* call = run->settings.polled ? "KV318_M_AD" : "KV318_AD";
        const std::string words = pipeline::library_words(api_, call);
        if (pipeline::served_status(api_, handle_, &remote)) {
            if (remote.busy) {
                const std::lock_guard<std::mutex> l(m_);
                controller_ = remote.controller;
                return Outcome::fail("KV318_BoardBusy", remote.failure);
            }
            return Outcome::fail(remote.disconnected ? "KV318_NotReachable" : "KV318_StartFailed",
                                 remote.failure.empty() ? words : remote.failure);
        }
        std::uint32_t pid = 0;
        if (pipeline::board_lock_held(config_.board, &pid)) {
            return Outcome::fail("KV318_BoardBusy", pipeline::board_busy_text(config_.board, pid));
        }
        return Outcome::fail("KV318_StartFailed",
                             "the acquisition did not start" + (words.empty() ? "" : ": " + words));
    }
    pipeline::describe_server(api_, handle_, &run->description);
    run->nextStatsUs = pipeline::wall_clock_us() + kStatsEveryUs;
    const std::lock_guard<std::mutex> l(m_);
    cutter_.restart(length_);
    latest_ = Window{};
    missed_ = 0;
    statsKnown_ = false;
    verdict_ = analysis::FifoVerdict{};
    ended_.clear();
    interrupted_.clear();
    lossIndex_ = 0;
    controller_ = follow ? remote.controller : std::string();
    activity_ = follow ? Activity::kFollowing : Activity::kRunning;
    startedBy_ = (client.empty() ? std::string("this device") : client) + " since " +
                 pipeline::local_clock_text(std::time(nullptr));
    release.run = nullptr;  // the reading thread gives it back as it leaves
    run->thread = std::thread(&BoardDevice::read_loop, this, run.get());
    run_ = std::move(run);
    return {};
}

void BoardDevice::end_run() {
    std::unique_ptr<Run> run;
    {
        const std::lock_guard<std::mutex> l(m_);
        if (run_ == nullptr) return;
        run_->stop.store(true, std::memory_order_relaxed);
        changed_.notify_all();
    }
    // The reading thread takes the lock to hand over its last samples, so
    // it is joined without it; the run stays where readings() finds it
    // until the thread is done.
    if (run_->thread.joinable()) run_->thread.join();
    const std::lock_guard<std::mutex> l(m_);
    run = std::move(run_);
}

void BoardDevice::check_stats(Run* run, bool final) {
    const std::int64_t now = pipeline::wall_clock_us();
    if (!final && now < run->nextStatsUs) return;
    run->nextStatsUs = now + kStatsEveryUs;
    KV318_STREAM_STATS s{};
    if (!pipeline::read_stream_stats(api_, handle_, &s)) return;
    const analysis::FifoVerdict v = analysis::fifo_verdict(run->clockHz, run->settings.divider, config_.fifoBytes,
                                                           s.longest_gap_us, s.gap_histogram);
    const std::lock_guard<std::mutex> l(m_);
    stats_ = s;
    statsKnown_ = true;
    verdict_ = v;
    if (v.possibleLoss && v.riskyGaps > run->riskyGaps) {
        const std::string words = analysis::fifo_loss_text(v);
        cutter_.mark_possible_loss(run->statsFrom, words);
        if (run->writer != nullptr) run->writer->note_event("fifo", words);
        run->riskyGaps = v.riskyGaps;
        lossIndex_ = run->nextIndex;
    }
    run->statsFrom = run->nextIndex;
}

void BoardDevice::read_loop(Run* run) {
    pipeline::ReadBlock block;
    bool failed = false;
    while (!run->stop.load(std::memory_order_relaxed)) {
        if (!run->reader.next(&block, run->stop)) {
            failed = true;
            break;
        }
        pipeline::RemoteStatus remote;
        // Only a served board's status has missed samples and a stream's own clock.
        const bool isServed = served() && pipeline::served_status(api_, handle_, &remote);
        if (block.count > 0) {
            const std::lock_guard<std::mutex> l(m_);
            if (isServed) {
                missed_ = remote.missed;
                // A follower learns the stream's own clock and divider from its blocks.
                if (run->follow && remote.clockHz > 0) run->clockHz = remote.clockHz;
                if (run->follow && remote.divider > 0)
                    run->settings.divider = static_cast<std::int32_t>(remote.divider);
            }
            cutter_.take(block.firstIndex, block.samples, block.count, "it follows a gap: " + missed_words(missed_));
            run->nextIndex = block.firstIndex + block.count;
            if (Capture* c = run->capture; c != nullptr && !c->got) {
                if (!c->fedAny) c->firstFed = block.firstIndex, c->fedAny = true;
                c->engine.feed(block.samples, block.count, *c);
            }
            if (run->writer != nullptr) {
                const bool wrote = run->writer->write(block.firstIndex, block.samples, block.count) == block.count;
                const std::int64_t now = pipeline::wall_clock_us();
                bool kept = wrote;
                if (wrote && now >= run->nextCheckpointUs) {
                    run->nextCheckpointUs = now + kCheckpointEveryUs;
                    kept = run->writer->checkpoint();
                }
                if (!kept) {
                    // A recording that cannot be written ends; the stream goes on.
                    run->recordError = run->recordFile + ": " + run->writer->error();
                    run->writer.reset();
                    run->store.reset();
                    run->recordFile.clear();
                    ended_ = "the recording stopped: " + run->recordError;
                }
            }
            changed_.notify_all();
        }
        check_stats(run, false);
    }
    std::string ending;
    bool gone = false;
    if (failed) {
        pipeline::RemoteStatus remote;
        if (pipeline::served_status(api_, handle_, &remote)) {
            gone = remote.gone || remote.disconnected;
            // A followed stream its controller stopped ends as streams do.
            if (!gone && !(run->follow && remote.ended))
                ending = remote.failure.empty() ? pipeline::read_end_text(run->reader.end()) : remote.failure;
        } else {
            gone = !pipeline::board_answers(api_, handle_);
            if (!gone) ending = pipeline::read_end_text(run->reader.end());
        }
    }
    run->reader.stop();
    if (run->holdsLocal) release_local();
    if (!gone) check_stats(run, true);
    std::unique_ptr<pipeline::SampleWriter> writer;
    std::unique_ptr<pipeline::SampleStore> store;
    {
        const std::lock_guard<std::mutex> l(m_);
        writer = std::move(run->writer);
        store = std::move(run->store);
        run->recordFile.clear();
        if (gone) {
            ending = "the board went away during the run";
            interrupted_ = ending;
        } else if (!ending.empty()) {
            ended_ = ending;
        }
        activity_ = Activity::kIdle;
        if (writer != nullptr) writer->note_fifo(pipeline::fifo_note(statsKnown_ ? &verdict_ : nullptr));
    }
    if (writer != nullptr) {
        if (!ending.empty()) writer->note_event("stopped", ending);
        writer->finish();
    }
    if (gone) lost_.store(true, std::memory_order_release);
    run->done.store(true, std::memory_order_release);
    const std::lock_guard<std::mutex> l(m_);
    changed_.notify_all();
}

Outcome BoardDevice::capture(const CaptureRequest& request, std::string* path) {
    if (Outcome o = check_range(pipeline::kCaptureSamples, static_cast<std::int64_t>(request.samples)); !o.ok) {
        return o;
    }
    for (const auto& [limit, value] : {std::pair{pipeline::kTriggerLevelVolts, request.levelVolts},
                                       std::pair{pipeline::kPretriggerPercent, request.pretriggerPercent},
                                       std::pair{pipeline::kCaptureTimeoutSeconds, request.timeoutSeconds}}) {
        if (Outcome o = check_range(limit, value); !o.ok) return o;
    }
    std::unique_lock<std::mutex> b(board_);
    bool own = false;
    {
        const std::lock_guard<std::mutex> l(m_);
        own = run_ == nullptr || run_->done.load(std::memory_order_acquire);
    }
    if (own) {
        if (Outcome o = begin_run(false, "a capture"); !o.ok) return o;
    }
    analysis::TriggerSettings ts;
    ts.mode = analysis::TriggerMode::Single;
    ts.edge = request.edge;
    ts.levelVolts = request.levelVolts;
    ts.frameSamples = static_cast<std::size_t>(request.samples);
    ts.pretriggerPercent = request.pretriggerPercent;
    Capture cap(ts);
    Run* run = run_.get();
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(request.timeoutSeconds));
    {
        std::unique_lock<std::mutex> l(m_);
        run->capture = &cap;
        changed_.wait_until(l, deadline, [&] { return cap.got || run->done.load(std::memory_order_acquire); });
        run->capture = nullptr;
    }
    pipeline::Recording description = run->description;
    const std::uint64_t clockHz = run->clockHz;
    const auto divider = static_cast<std::uint32_t>(run->settings.divider);
    if (own) end_run();
    b.unlock();
    if (!cap.got) {
        char words[160];
        std::snprintf(words, sizeof words, "no %s trigger at %g V within %g s (%llu samples looked at)",
                      analysis::edge_name(request.edge), request.levelVolts, request.timeoutSeconds,
                      static_cast<unsigned long long>(cap.engine.samplesSeen()));
        return Outcome::fail("KV318_NoTrigger", words);
    }
    analysis::FifoVerdict verdict;
    bool known = false;
    {
        const std::lock_guard<std::mutex> l(m_);
        verdict = verdict_;
        known = statsKnown_;
        *path = config_.dataDirectory + "/kv318-board" + std::to_string(config_.board) + "-capture-" + stamp() + "-" +
                std::to_string(++captures_) + ".h5";
    }
    std::string why;
    std::unique_ptr<pipeline::SampleStore> store = pipeline::open_hdf5_store(*path, 0, &why);
    if (store == nullptr) return Outcome::fail("KV318_FileFailed", "cannot write " + *path + ": " + why);
    pipeline::SampleWriter writer(*store, clockHz, divider);
    description.triggered = true;
    description.trigger = {request.edge,
                           request.levelVolts,
                           analysis::kDefaultHysteresisVolts,
                           request.pretriggerPercent,
                           cap.triggerIndex,
                           cap.firstFed + cap.triggerSample};
    writer.describe(description);
    writer.note_fifo(pipeline::fifo_note(known ? &verdict : nullptr));
    if (!writer.begin() || writer.write(cap.samples.data(), cap.samples.size()) != cap.samples.size() ||
        !writer.finish()) {
        return Outcome::fail("KV318_FileFailed", "cannot write " + *path + ": " + writer.error());
    }
    return {};
}

Outcome BoardDevice::record(const std::string& path, std::string* chosen) {
    const std::lock_guard<std::mutex> b(board_);
    {
        const std::lock_guard<std::mutex> l(m_);
        if (run_ == nullptr || run_->done.load(std::memory_order_acquire)) {
            return Outcome::fail("KV318_NotRunning", "Record writes the stream going on: Start or Follow first");
        }
        if (run_->writer != nullptr) {
            return Outcome::fail("KV318_Recording", "already recording to " + run_->recordFile + "; StopRecord first");
        }
    }
    std::string file = path;
    if (file.empty()) file = "kv318-board" + std::to_string(config_.board) + "-" + stamp() + ".h5";
    if (file.front() != '/') file = config_.dataDirectory + "/" + file;
    pipeline::Format hdf5 = pipeline::Format::Hdf5;
    pipeline::Format format = hdf5;
    if (std::string bad = pipeline::choose_format(file, &hdf5, &format); !bad.empty()) {
        return Outcome::fail("KV318_BadName", "Record writes HDF5 files: " + bad);
    }
    std::string why;
    auto store = pipeline::open_hdf5_store(file, 0, &why);
    if (store == nullptr) return Outcome::fail("KV318_FileFailed", "cannot write " + file + ": " + why);
    Run* run = run_.get();
    auto writer = std::make_unique<pipeline::SampleWriter>(*store, run->clockHz,
                                                           static_cast<std::uint32_t>(run->settings.divider));
    writer->words_for_missed(
        [](std::uint64_t missed) { return std::to_string(missed) + " samples never arrived from kv318-server"; });
    const std::lock_guard<std::mutex> l(m_);
    // The recording starts with the next sample the stream brings, at its
    // own index, and says when it began; the reading thread takes the
    // writer only once this lock is let go, so no sample falls between.
    const std::uint64_t first = run->nextIndex;
    pipeline::Recording d = run->description;
    d.startUtc = pipeline::utc_iso8601(std::time(nullptr));
    if (served()) d.serverFirstKnown = true, d.serverFirstIndex = first;
    writer->describe(d);
    writer->count_from(first);
    if (!writer->begin()) return Outcome::fail("KV318_FileFailed", "cannot write " + file + ": " + writer->error());
    run->store = std::move(store);
    run->writer = std::move(writer);
    run->recordFile = file;
    run->nextCheckpointUs = pipeline::wall_clock_us() + kCheckpointEveryUs;
    *chosen = file;
    return {};
}

Outcome BoardDevice::stop_record() {
    const std::lock_guard<std::mutex> b(board_);
    std::unique_ptr<pipeline::SampleWriter> writer;
    std::unique_ptr<pipeline::SampleStore> store;
    std::string file;
    {
        const std::lock_guard<std::mutex> l(m_);
        if (run_ == nullptr || run_->writer == nullptr) return {};
        writer = std::move(run_->writer);
        store = std::move(run_->store);
        file = run_->recordFile;
        run_->recordFile.clear();
        writer->note_fifo(pipeline::fifo_note(statsKnown_ ? &verdict_ : nullptr));
    }
    if (!writer->finish()) return Outcome::fail("KV318_FileFailed", "cannot finish " + file + ": " + writer->error());
    return {};
}

}  // namespace kv318::tango
