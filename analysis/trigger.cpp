#include "trigger.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "numbers.h"
#include "sample_units.h"

namespace kv318::analysis {

namespace {

constexpr std::int32_t kSampleMin = -32768;
constexpr std::int32_t kSampleMax = 32767;

// Compacting moves the kept samples to the front; it waits until at least
// this many can go, so the move costs a fraction of a copy per sample.
constexpr std::size_t kMinDrop = 4096;

}  // namespace

// Volts rise with the sample (sample_volts is monotonic), so the level's
// threshold in samples is found by bisection over the 16-bit range: the
// conversion rule stays in sample_units.h and is only ever called here.
std::int32_t rising_threshold(double volts) {
    if (units::sample_volts(kSampleMax) < volts) return kSampleMax + 1;  // never reached
    std::int32_t lo = kSampleMin, hi = kSampleMax;                       // answer in [lo, hi]
    while (lo < hi) {
        const std::int32_t mid = lo + (hi - lo) / 2;
        if (units::sample_volts(mid) >= volts) hi = mid;
        else lo = mid + 1;
    }
    return lo;
}

std::int32_t falling_threshold(double volts) {
    if (units::sample_volts(kSampleMin) > volts) return kSampleMin - 1;  // never reached
    std::int32_t lo = kSampleMin, hi = kSampleMax;
    while (lo < hi) {
        const std::int32_t mid = lo + (hi - lo + 1) / 2;
        if (units::sample_volts(mid) <= volts) lo = mid;
        else hi = mid - 1;
    }
    return lo;
}

std::size_t seconds_to_samples(double seconds, double sampleRateHz) {
    if (!(seconds > 0) || !(sampleRateHz > 0)) return 0;
    const double n = std::ceil(seconds * sampleRateHz - 1e-9);
    return n >= 1e15 ? static_cast<std::size_t>(1e15) : static_cast<std::size_t>(n);
}

TriggerEngine::TriggerEngine(const TriggerSettings& settings) : s_(settings) {
    if (s_.frameSamples == 0) s_.frameSamples = 1;
    const double pct = std::clamp(s_.pretriggerPercent, 0.0, 100.0);
    // floor(N x pct / 100), computed so that 25 % of 20000 is exactly 5000.
    pre_ = static_cast<std::size_t>(std::floor(static_cast<double>(s_.frameSamples) * pct / 100.0 + 1e-9));
    // At 100 % the trigger point is the frame's last sample, not the one
    // after it: a capture must hold its own trigger point.
    pre_ = std::min(pre_, s_.frameSamples - 1);
    if (s_.autoTimeoutSamples == 0) s_.autoTimeoutSamples = s_.frameSamples;
    const double hyst = std::max(0.0, s_.hysteresisVolts);
    if (s_.edge == Edge::Rising) {
        fireAt_ = rising_threshold(s_.levelVolts);
        armAt_ = rising_threshold(s_.levelVolts - hyst);
    } else {
        fireAt_ = falling_threshold(s_.levelVolts);
        armAt_ = falling_threshold(s_.levelVolts + hyst);
    }
    rearm();
}

void TriggerEngine::rearm() {
    done_ = false;
    armed_ = false;
    hasPending_ = false;
    scan_ = seen_;
    earliest_ = seen_ + pre_;
    autoFrom_ = seen_;
}

void TriggerEngine::compact() {
    const std::size_t n = s_.frameSamples;
    std::uint64_t keepFrom;
    if (s_.mode == TriggerMode::Roll) keepFrom = seen_ - std::min<std::uint64_t>(n, seen_);
    else {
        const std::uint64_t anchor = hasPending_ ? pending_ : scan_;
        keepFrom = anchor - std::min<std::uint64_t>(n, anchor);
    }
    if (keepFrom <= base_) return;
    const auto drop = static_cast<std::size_t>(keepFrom - base_);
    if (drop < std::max(kMinDrop, buf_.size() / 2)) return;
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(drop));
    base_ = keepFrom;
}

bool TriggerEngine::emit(std::size_t start, bool triggered, FrameSink& sink) {
    Frame f;
    f.samples = buf_.data() + (start - base_);
    f.count = s_.frameSamples;
    f.triggered = triggered;
    f.firstSample = start;
    if (triggered) {
        f.triggerIndex = pre_;
        f.triggerSample = start + pre_;
    }
    const bool more = sink.frame(f);
    if (s_.mode == TriggerMode::Single && triggered) done_ = true;
    return more && !done_;
}

void TriggerEngine::feed(const std::int32_t* samples, std::size_t count, FrameSink& sink) {
    compact();
    buf_.insert(buf_.end(), samples, samples + count);
    seen_ += count;
    if (s_.mode == TriggerMode::Roll || done_) {
        if (done_) scan_ = seen_;  // a finished Single looks at nothing until rearmed
        return;
    }
    const std::size_t n = s_.frameSamples;
    const std::size_t post = n - pre_;
    const bool rising = s_.edge == Edge::Rising;
    const std::int32_t* const data = buf_.data();
    for (;;) {
        if (hasPending_) {
            if (seen_ < pending_ + post) return;
            hasPending_ = false;
            const std::uint64_t t = pending_;
            // The next trigger comes after this frame and after the holdoff.
            earliest_ = t + std::max<std::uint64_t>(post, s_.holdoffSamples);
            autoFrom_ = t + post;
            if (!emit(static_cast<std::size_t>(t - pre_), true, sink)) return;
            continue;
        }
        // Search up to the end of the data or, in Auto, to the moment the
        // wait for a trigger runs out, whichever comes first.
        std::uint64_t limit = seen_;
        std::uint64_t autoAt = 0;
        const bool autoMode = s_.mode == TriggerMode::Auto;
        if (autoMode) {
            autoAt = std::max<std::uint64_t>(autoFrom_ + s_.autoTimeoutSamples, n);
            limit = std::min(limit, autoAt);
        }
        std::uint64_t i = scan_;
        bool found = false;
        while (i < limit) {
            const std::int32_t* p = data + (i - base_);
            const std::int32_t* const end = data + (limit - base_);
            if (!armed_) {
                // Wait for the signal to go past the far side of the band.
                if (rising)
                    while (p < end && *p >= armAt_) ++p;
                else
                    while (p < end && *p <= armAt_) ++p;
                i = base_ + static_cast<std::uint64_t>(p - data);
                if (p == end) break;
                armed_ = true;
                ++i;
                continue;
            }
            if (rising)
                while (p < end && *p < fireAt_) ++p;
            else
                while (p<end&& * p> fireAt_) ++p;
            i = base_ + static_cast<std::uint64_t>(p - data);
            if (p == end) break;
            // The crossing is spent whether or not it may trigger: one that
            // falls in a holdoff must not fire later, mid-level.
            armed_ = false;
            if (i >= earliest_) {
                found = true;
                break;
            }
            ++i;
        }
        if (found) {
            pending_ = i;
            hasPending_ = true;
            scan_ = i + 1;
            continue;
        }
        scan_ = limit;
        if (autoMode && limit == autoAt && seen_ >= autoAt) {
            // No trigger in time: show the newest frame as it is.
            autoFrom_ = autoAt;
            if (!emit(static_cast<std::size_t>(autoAt - n), false, sink)) return;
            continue;
        }
        return;
    }
}

Frame TriggerEngine::roll() const {
    Frame f;
    const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(s_.frameSamples, seen_));
    f.count = have;
    f.samples = buf_.data() + buf_.size() - have;
    f.firstSample = seen_ - have;
    return f;
}

const char* edge_name(Edge edge) { return edge == Edge::Rising ? "rising" : "falling"; }

bool parse_trigger(const std::string& text, Edge* edge, double* level) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string name = text.substr(0, colon);
    if (name == edge_name(Edge::Rising)) *edge = Edge::Rising;
    else if (name == edge_name(Edge::Falling)) *edge = Edge::Falling;
    else return false;
    double v = 0;
    // The level is spelt as every other real number the programs take.
    if (pipeline::read_real(text.substr(colon + 1), &v) != pipeline::NumberStatus::Ok) return false;
    *level = v;
    return true;
}

}  // namespace kv318::analysis
