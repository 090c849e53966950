#include "reader.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "register_map.h"

namespace kv318::pipeline {

namespace {

using Clock = std::chrono::steady_clock;

// A polled run whose read brought nothing asks again after this long.
constexpr auto kPollIdle = std::chrono::milliseconds(2);
// Waits are cut into slices this long, so a stop is seen soon.
constexpr auto kStopCheck = std::chrono::milliseconds(5);

}  // namespace

const char* read_end_text(ReadEnd end) {
    switch (end) {
    case ReadEnd::kNotEnabled:
        return "acquisition not enabled: the board reports its converter stopped";
    case ReadEnd::kRingOverflow:
        return "ring overflow: the reader fell behind and samples were lost";
    case ReadEnd::kTransferFault:
        return "bulk transfer failed: the board stopped delivering samples";
    case ReadEnd::kNone:
        break;
    }
    return "";
}

ReadEnd classify_read_failure(const BoardApi& api, std::int32_t handle, bool polled, std::int32_t n) {
    // A handle of kv318-server already says which end it was (the blocks'
    // flags), and the status register may be another client's to read.
    RemoteStatus served;
    if (served_status(api, handle, &served)) {
        return n == -2 ? ReadEnd::kRingOverflow : n == -1 ? ReadEnd::kNotEnabled : ReadEnd::kTransferFault;
    }
    // A timer-driven read's -2 and -3 say what they are; only its -1 needs
    // the register, which is then not asked for without need.
    if (n == -2 && !polled) return ReadEnd::kRingOverflow;
    if (n != -1 && !polled) return ReadEnd::kTransferFault;
    const std::int32_t status = api.inb(handle, reg::kStatus);
    if (status < 0) return ReadEnd::kTransferFault;
    if (polled) return (status & kStatusEnabledBit) == 0 ? ReadEnd::kNotEnabled : ReadEnd::kTransferFault;
    return n == -1 ? ReadEnd::kNotEnabled : ReadEnd::kTransferFault;
}

bool converter_reports_off(const BoardApi& api, std::int32_t handle) {
    RemoteStatus served;
    if (served_status(api, handle, &served)) return false;
    const std::int32_t status = api.inb(handle, reg::kStatus);
    return status >= 0 && (status & kStatusEnabledBit) == 0;
}

std::int64_t wall_clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int32_t Reader::start(const ReaderSettings& s) {
    const std::int32_t* f = s.flags;
    const std::int32_t result = s.polled ? api_.mAd(handle_, f[0], f[1], f[2], f[3], s.divider)
                                         : api_.ad(handle_, f[0], f[1], f[2], f[3], s.divider);
    if (result < 0) return result;
    adopt(s);
    return result;
}

void Reader::adopt(const ReaderSettings& s) {
    settings_ = s;
    started_ = true;
    carry_ = 0;
    next_ = 0;
    // Asked once a run, not at every read: a board of this process has no
    // status, and asking would write the library's words for that refusal
    // over the read's own after every read.
    RemoteStatus served;
    numbered_ = served_status(api_, handle_, &served);
    end_ = ReadEnd::kNone;
    failureResult_ = 0;
    due_ = Clock::now();
}

bool Reader::next(ReadBlock* block, const std::atomic<bool>& stop, Clock::time_point notAfter, std::int32_t* into) {
    const auto until = std::min(due_, notAfter);
    while (!stop.load(std::memory_order_relaxed)) {
        const auto now = Clock::now();
        if (now >= until) break;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, kStopCheck));
    }
    const auto visit = Clock::now();
    // The reader's own array only for callers that bring none.
    if (into == nullptr && buffer_.size() != capacity()) buffer_.resize(capacity());
    std::int32_t* const samples = into != nullptr ? into : buffer_.data();
    const std::int32_t n = settings_.polled ? api_.mRead(handle_, samples, &carry_, 0) : api_.read(handle_, samples);
    block->firstIndex = next_;
    block->hostTimeUs = wall_clock_us();
    block->samples = samples;
    block->count = 0;
    if (n < 0) {
        end_ = classify_read_failure(api_, handle_, settings_.polled, n);
        failureResult_ = n;
        return false;
    }
    block->count = static_cast<std::size_t>(n);
    // A stream that numbers its samples itself (a served one's, which a
    // follower joins part way) says so in its status, asked for after the
    // read: a read never spans a gap, so its first sample lies n before the
    // next.  A board of this process has no status and counts from 0.
    RemoteStatus served;
    if (numbered_ && served_status(api_, handle_, &served)) block->firstIndex = served.nextIndex - block->count;
    next_ += block->count;
    if (settings_.polled) {
        due_ = n == 0 ? visit + kPollIdle : visit;
    } else if (block->count == capacity()) {
        // A full read means more is waiting: read again at once.
        due_ = visit;
    } else {
        // The beat holds; a visit that came late is not made up with a
        // burst: the next comes one period after it.
        due_ += settings_.period;
        if (due_ < visit) due_ = visit + settings_.period;
    }
    return true;
}

std::int32_t Reader::stop() {
    if (!started_) return -1;
    started_ = false;
    return settings_.polled ? api_.mStopAd(handle_) : api_.stopAd(handle_);
}

}  // namespace kv318::pipeline
