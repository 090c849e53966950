// The device's life and its board: opening, watching, taking it back, the
// publishing of windows and the calls that are not a run's (device_run.cpp).
#include "board_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "device_run.h"
#include "disconnection.h"
#include "option_limits.h"

namespace kv318::tango {

namespace {

using Clock = std::chrono::steady_clock;

// How often the watching thread looks: the digital inputs at this beat, so
// a change reaches the control system within a tenth of a second.
constexpr auto kWatchBeat = std::chrono::milliseconds(100);
// An idle board is asked whether it still answers this often.
constexpr auto kProbeEvery = std::chrono::seconds(1);

}  // namespace

Outcome check_range(const pipeline::Limit& limit, std::int64_t value) {
    std::string why = pipeline::check_limit(limit, value);
    return why.empty() ? Outcome{} : Outcome::fail("KV318_OutOfRange", std::move(why));
}

Outcome check_range(const pipeline::RealLimit& limit, double value) {
    std::string why = pipeline::check_real(limit, value);
    return why.empty() ? Outcome{} : Outcome::fail("KV318_OutOfRange", std::move(why));
}

Outcome BoardDevice::unreachable() const {
    return Outcome::fail("KV318_NotReachable", where() + " is not reachable: " + fault_);
}

BoardDevice::BoardDevice(const pipeline::BoardApi& api, DeviceConfig config, DeviceEvents& events)
    : api_(api),
      config_(std::move(config)),
      events_(events),
      clockHz_(config_.clockHz),
      divider_(config_.divider),
      length_(std::clamp<std::size_t>(config_.waveformLength, 1, kMaxWindowLength)),
      eventRate_(std::clamp(config_.eventRate, kEventRate.min, kEventRate.max)),
      cutter_(length_) {
    {
        const std::lock_guard<std::mutex> b(board_);
        try_open();
    }
    watcher_ = std::thread(&BoardDevice::watch_loop, this);
    publisher_ = std::thread(&BoardDevice::publish_loop, this);
}

BoardDevice::~BoardDevice() {
    closing_.store(true, std::memory_order_release);
    {
        const std::lock_guard<std::mutex> l(m_);
        changed_.notify_all();
    }
    watcher_.join();
    publisher_.join();
    const std::lock_guard<std::mutex> b(board_);
    end_run();
    if (handle_ >= 0) api_.close(handle_);
}

std::string BoardDevice::where() const {
    std::string w = "board " + std::to_string(config_.board);
    if (served()) w += " of kv318-server at " + config_.serverUrl;
    return w;
}

bool BoardDevice::try_open() {
    std::int32_t h = -1;
    std::string why;
    if (served()) {
        if (api_.openServed != nullptr) {
            h = api_.openServed(config_.serverUrl.c_str(), config_.board,
                                config_.serverKeys.empty() ? nullptr : config_.serverKeys.c_str());
        }
        // The server checks what it is told of the board against the
        // ranges the properties were read with.
        if (h >= 0 && api_.servedBoard != nullptr &&
            api_.servedBoard(h, static_cast<std::int32_t>(config_.clockHz),
                             static_cast<std::int32_t>(config_.fifoBytes)) != 0) {
            why = pipeline::library_words(api_, "KV318_ServedBoard");
            api_.close(h);
            h = -1;
        }
        if (h < 0 && why.empty()) {
            // The library's words first (a client library that cannot be
            // loaded); then what the served status says of the open.
            why = pipeline::library_words(api_, "KV318_OpenServed");
            pipeline::RemoteStatus last;
            if (why.empty() && pipeline::served_status(api_, -1, &last)) why = last.failure;
        }
    } else {
        h = api_.open(config_.board);
        if (h < 0) why = pipeline::library_words(api_, "KV318_OpenDevice");
    }
    if (h < 0) {
        const std::lock_guard<std::mutex> l(m_);
        fault_ = why.empty() ? "it cannot be opened" : why;
        return false;
    }
    char text[KV318_INFO_BYTES + 1] = {};
    std::string first, second;
    if (api_.info(h, text) >= 0) pipeline::split_identity(text, &first, &second);
    const std::lock_guard<std::mutex> l(m_);
    handle_ = h;
    fault_.clear();
    identity1_ = first;
    identity2_ = second;
    return true;
}

void BoardDevice::drop(const std::string& why) {
    if (handle_ >= 0) api_.close(handle_);
    const std::lock_guard<std::mutex> l(m_);
    handle_ = -1;
    fault_ = why;
    inputsKnown_ = false;
    controller_.clear();
}

void BoardDevice::watch_loop() {
    auto nextOpen = Clock::now();
    auto nextProbe = Clock::now() + kProbeEvery;
    while (!closing_.load(std::memory_order_acquire)) {
        {
            std::unique_lock<std::mutex> l(m_);
            changed_.wait_for(l, kWatchBeat, [this] { return closing_.load(std::memory_order_acquire); });
        }
        if (closing_.load(std::memory_order_acquire)) break;
        const auto now = Clock::now();
        std::unique_lock<std::mutex> b(board_);
        if (lost_.exchange(false, std::memory_order_acq_rel)) {
            end_run();
            std::string why = "it stopped answering (its driver went away or its cable was pulled)";
            pipeline::RemoteStatus s;
            if (served() && pipeline::served_status(api_, handle_, &s) && !s.failure.empty()) why = s.failure;
            drop(why);
            nextOpen = now + std::chrono::milliseconds(pipeline::kReopenMs);
            continue;
        }
        if (handle_ < 0) {
            if (now >= nextOpen) {
                nextOpen = now + std::chrono::milliseconds(pipeline::kReopenMs);
                try_open();
            }
            continue;
        }
        bool idle = false;
        {
            const std::lock_guard<std::mutex> l(m_);
            idle = run_ == nullptr || run_->done.load(std::memory_order_acquire);
        }
        if (idle && now >= nextProbe) {
            nextProbe = now + kProbeEvery;
            // A running stream's reads watch the board themselves.
            if (!pipeline::board_answers(api_, handle_)) {
                std::string why = "it stopped answering (its driver went away or its cable was pulled)";
                pipeline::RemoteStatus s;
                if (served() && pipeline::served_status(api_, handle_, &s) && !s.failure.empty()) why = s.failure;
                drop(why);
                nextOpen = now + std::chrono::milliseconds(pipeline::kReopenMs);
                continue;
            }
            if (!served()) {
                // Another process's stream on this machine's board: the
                // device cannot start one, so it says who has the board.
                std::uint32_t pid = 0;
                const bool held = pipeline::board_lock_held(config_.board, &pid);
                const std::lock_guard<std::mutex> l(m_);
                controller_ = held ? pipeline::board_busy_text(config_.board, pid) : std::string();
            }
        }
        const std::int32_t value = api_.di(handle_);
        b.unlock();
        bool changed = false;
        {
            const std::lock_guard<std::mutex> l(m_);
            changed = !inputsKnown_ || value != inputs_;
            inputsKnown_ = true;
            inputs_ = value;
        }
        if (changed) events_.inputs(value);
    }
}

void BoardDevice::publish_loop() {
    // A bucket of event tokens: the rate on average, with room for the
    // windows a late tick leaves waiting, so a stream at exactly the rate
    // the events carry loses none to the timer's jitter.
    const double burst = static_cast<double>(kQueuedWindows);
    double tokens = 1;
    auto last = Clock::now();
    while (!closing_.load(std::memory_order_acquire)) {
        Window w;
        {
            std::unique_lock<std::mutex> l(m_);
            const auto now = Clock::now();
            tokens = std::min(burst, tokens + std::chrono::duration<double>(now - last).count() * eventRate_);
            last = now;
            if (!cutter_.ready() || tokens < 1) {
                const double wait = cutter_.ready() ? (1 - tokens) / eventRate_ : 0.1;
                changed_.wait_for(l, std::chrono::duration<double>(wait));
                continue;
            }
            cutter_.pop(&w);
            tokens -= 1;
            latest_ = w;
        }
        events_.waveform(w);
    }
}

Condition BoardDevice::condition_locked() const {
    Condition c;
    c.where = where();
    c.reached = handle_ >= 0;
    c.fault = fault_;
    c.activity = activity_;
    c.controller = controller_;
    c.missed = missed_;
    c.possibleLoss = statsKnown_ && verdict_.possibleLoss;
    if (c.possibleLoss) c.lossWords = analysis::fifo_warning_text(verdict_);
    c.ended = ended_;
    c.interrupted = interrupted_;
    if (run_ != nullptr) {
        c.recordFile = run_->recordFile;
        c.sampleRate = static_cast<double>(run_->clockHz) / analysis::board_divider(run_->settings.divider);
    }
    return c;
}

Summary BoardDevice::summary() const {
    const std::lock_guard<std::mutex> l(m_);
    return summarize(condition_locked());
}

Readings BoardDevice::readings() const {
    const std::lock_guard<std::mutex> l(m_);
    Readings r;
    r.clockHz = clockHz_;
    r.divider = divider_;
    r.polled = polled_;
    r.sampleRate = static_cast<double>(clockHz_) / analysis::board_divider(divider_);
    if (run_ != nullptr && activity_ == Activity::kFollowing && run_->clockHz > 0) {
        r.sampleRate = static_cast<double>(run_->clockHz) / analysis::board_divider(run_->settings.divider);
    }
    r.latest = latest_;
    // A stream that stalls after a possible loss cuts no window that could
    // carry the alarm, and the last one shown stands for a stream that may
    // since have lost samples: read, it says so.
    if (statsKnown_ && verdict_.possibleLoss && !latest_.volts.empty() &&
        latest_.firstIndex + latest_.volts.size() <= lossIndex_ && latest_.quality != WindowQuality::kAlarm) {
        r.latest.quality = WindowQuality::kAlarm;
        r.latest.why = "the stream after this window may have lost samples: " + analysis::fifo_loss_text(verdict_);
    }
    r.skippedWindows = cutter_.skipped();
    r.waveformLength = length_;
    r.eventRate = eventRate_;
    r.missed = missed_;
    r.statsKnown = statsKnown_;
    r.stats = stats_;
    r.verdict = verdict_;
    if (!statsKnown_) r.fifoWords = "no acquisition has run yet";
    else if (verdict_.possibleLoss) r.fifoWords = analysis::fifo_warning_text(verdict_);
    else r.fifoWords = pipeline::fifo_note(&verdict_);
    r.identity1 = identity1_;
    r.identity2 = identity2_;
    r.controller = controller_;
    if (run_ != nullptr) r.recordFile = run_->recordFile;
    r.inputsKnown = inputsKnown_;
    r.inputs = inputs_;
    r.outputs = outputs_;
    r.summary = summarize(condition_locked());
    return r;
}

Outcome BoardDevice::between_runs(const char* what, const pipeline::Limit* limit, std::int64_t value,
                                  const std::function<void()>& apply) {
    const std::lock_guard<std::mutex> b(board_);
    if (limit != nullptr) {
        if (Outcome o = check_range(*limit, value); !o.ok) return o;
    }
    const std::lock_guard<std::mutex> l(m_);
    // A run keeps the settings it started with, and so do its files.
    if (activity_ != Activity::kIdle) {
        return Outcome::fail("KV318_Running",
                             std::string("the ") + what + " cannot change while a stream runs: Stop it first");
    }
    apply();
    return {};
}

Outcome BoardDevice::set_clock(std::uint64_t hz) {
    return between_runs("clock", &pipeline::kClockHz, static_cast<std::int64_t>(hz), [&] { clockHz_ = hz; });
}

Outcome BoardDevice::set_divider(std::int64_t divider) {
    return between_runs("divider", &pipeline::kDivider, divider,
                        [&] { divider_ = static_cast<std::int32_t>(divider); });
}

Outcome BoardDevice::set_polled(bool polled) {
    return between_runs("mode", nullptr, 0, [&] { polled_ = polled; });
}

Outcome BoardDevice::set_waveform_length(std::int64_t length) {
    if (Outcome o = check_range(kWindowLength, length); !o.ok) return o;
    const std::lock_guard<std::mutex> l(m_);
    length_ = static_cast<std::size_t>(length);
    // A run going on cuts its next window from its next read on.
    cutter_.restart(length_);
    return {};
}

Outcome BoardDevice::set_event_rate(double perSecond) {
    if (Outcome o = check_range(kEventRate, perSecond); !o.ok) return o;
    const std::lock_guard<std::mutex> l(m_);
    eventRate_ = perSecond;
    changed_.notify_all();
    return {};
}

namespace {

Outcome call_failed(const pipeline::BoardApi& api, const char* call, const std::string& what) {
    std::string words = pipeline::library_words(api, call);
    return Outcome::fail("KV318_RequestFailed", what + " failed" + (words.empty() ? "" : ": " + words));
}

}  // namespace

Outcome BoardDevice::write_outputs(std::int64_t value) {
    if (Outcome o = check_range(pipeline::kOutputWord, value); !o.ok) return o;
    const std::lock_guard<std::mutex> b(board_);
    if (handle_ < 0) return unreachable();
    if (api_.doWrite(handle_, static_cast<std::int32_t>(value)) != 0)
        return call_failed(api_, "KV318_DO", "writing the digital outputs");
    const std::lock_guard<std::mutex> l(m_);
    outputs_ = static_cast<std::int32_t>(value);
    return {};
}

Outcome BoardDevice::counter_run() {
    const std::lock_guard<std::mutex> b(board_);
    if (handle_ < 0) return unreachable();
    if (api_.cRun(handle_) != 0) return call_failed(api_, "KV318_CRun", "starting the counter");
    return {};
}

Outcome BoardDevice::read_counter(std::int32_t* count) {
    const std::lock_guard<std::mutex> b(board_);
    if (handle_ < 0) return unreachable();
    const std::int32_t c = api_.cRead(handle_);
    if (c < 0) return Outcome::fail("KV318_NoCount", "the board reports no valid count: CounterRun starts the counter");
    *count = c;
    return {};
}

Outcome BoardDevice::pulse_run(std::int64_t mode, std::int64_t divisor) {
    if (Outcome o = check_range(pipeline::kPulseMode, mode); !o.ok) return o;
    if (Outcome o = check_range(pipeline::kPulseDivisor, divisor); !o.ok) return o;
    const std::lock_guard<std::mutex> b(board_);
    if (handle_ < 0) return unreachable();
    if (api_.pRun(handle_, static_cast<std::int32_t>(mode), static_cast<std::int32_t>(divisor)) != 0) {
        return call_failed(api_, "KV318_PRun", "starting the pulse generator");
    }
    return {};
}

Outcome BoardDevice::pulse_stop() {
    const std::lock_guard<std::mutex> b(board_);
    if (handle_ < 0) return unreachable();
    if (api_.pStop(handle_) != 0) return call_failed(api_, "KV318_PStop", "stopping the pulse generator");
    return {};
}

}  // namespace kv318::tango
