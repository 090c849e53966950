// The trigger and capture engine that the scope and `kv318-cli capture`
// share: it takes the board's samples as they arrive, in chunks of any
// size, and cuts frames of a fixed length out of the stream, each placed
// around a trigger point (or, in Auto, free-running when none comes).
//
// Everything here counts in samples, never in seconds or pixels: the
// caller turns its holdoff and its Auto timeout into sample counts at its
// own sample rate, so a test on a synthetic signal is exact.
//
// Single-threaded: one engine belongs to the one thread that feeds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv318::analysis {

enum class TriggerMode {
    Auto,    // triggered frames; a free-running frame when none comes in time
    Normal,  // triggered frames only
    Single,  // the first triggered frame, then nothing until rearm()
    Roll,    // no trigger: the newest samples, scrolling
};

enum class Edge { Rising, Falling };

// The default hysteresis: 50 mV, about 82 converter codes.  Enough to
// ride over the converter's own noise of a few codes, small against the
// smallest screen (10 mV/div x 8 divisions is 80 mV, so at that range a
// user sets a smaller one).
inline constexpr double kDefaultHysteresisVolts = 0.05;

struct TriggerSettings {
    TriggerMode mode = TriggerMode::Auto;
    Edge edge = Edge::Rising;
    double levelVolts = 0.0;
    // A rising trigger arms only once the signal has been below
    // level - hysteresis, a falling one once it has been above
    // level + hysteresis, so noise around the level does not retrigger.
    double hysteresisVolts = kDefaultHysteresisVolts;
    std::size_t frameSamples = 1000;     // N: samples in each frame, at least 1
    double pretriggerPercent = 50.0;     // 0-100: the trigger lands at floor(N x percent / 100), at most N - 1
    std::size_t holdoffSamples = 0;      // no new trigger before trigger + holdoff
    std::size_t autoTimeoutSamples = 0;  // Auto: free-run after this many samples without a trigger (0: N)
};

// Holdoff and Auto timeout as sample counts: seconds x rate, rounded up, so
// a holdoff is never shorter than asked.
std::size_t seconds_to_samples(double seconds, double sampleRateHz);

// One frame, valid until the next call into the engine; the engine owns
// the samples.
struct Frame {
    const std::int32_t* samples = nullptr;
    std::size_t count = 0;            // N (Roll: fewer until the stream has N)
    bool triggered = false;           // false: free-running (Auto) or Roll
    std::size_t triggerIndex = 0;     // in the frame: floor(N x pretrigger / 100), at most N - 1, when triggered
    std::uint64_t triggerSample = 0;  // the trigger point counted from the first sample fed
    std::uint64_t firstSample = 0;    // the frame's first sample counted the same way
};

// What the engine calls with each frame it completes.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Return false to stop the engine taking any more frames from the
    // samples of this feed (the caller has what it needs).
    virtual bool frame(const Frame& f) = 0;
};

// The sink of a single capture: keeps a copy of the first frame and takes
// no more.
struct FirstFrame : FrameSink {
    std::vector<std::int32_t> samples;
    std::uint64_t triggerSample = 0;  // counted from the first sample fed
    std::size_t triggerIndex = 0;
    bool got = false;
    bool frame(const Frame& f) override {
        samples.assign(f.samples, f.samples + f.count);
        triggerSample = f.triggerSample;
        triggerIndex = f.triggerIndex;
        got = true;
        return false;
    }
};

class TriggerEngine {
public:
    explicit TriggerEngine(const TriggerSettings& settings);

    // Takes `count` samples (board samples, as KV318_Read delivers them) and
    // calls `sink` with every frame they complete, in order.  The samples
    // are copied; the caller keeps its buffer.
    void feed(const std::int32_t* samples, std::size_t count, FrameSink& sink);

    // Roll mode: the newest min(N, seen) samples, oldest first.
    Frame roll() const;

    // Single: true once its frame has been delivered.
    bool done() const { return done_; }
    // Single: arm again.  Any mode: forget the trigger state and start the
    // pre-trigger anew from the next sample fed.
    void rearm();

    const TriggerSettings& settings() const { return s_; }
    std::size_t pretriggerSamples() const { return pre_; }
    std::uint64_t samplesSeen() const { return seen_; }

private:
    bool emit(std::size_t start, bool triggered, FrameSink& sink);
    void compact();

    TriggerSettings s_;
    std::size_t pre_ = 0;            // samples before the trigger point
    std::int32_t fireAt_ = 0;        // rising: sample >= fireAt_ fires; falling: sample <= fireAt_
    std::int32_t armAt_ = 0;         // rising: sample < armAt_ arms;   falling: sample > armAt_
    std::vector<std::int32_t> buf_;  // the newest samples; buf_[0] is stream sample base_
    std::uint64_t base_ = 0;
    std::uint64_t seen_ = 0;      // samples fed in all
    std::uint64_t scan_ = 0;      // next stream sample the trigger search looks at
    std::uint64_t earliest_ = 0;  // no trigger before this sample (pre-trigger fill, holdoff, frame in progress)
    std::uint64_t pending_ = 0;   // a trigger found whose frame is not yet complete (valid when hasPending_)
    bool hasPending_ = false;
    std::uint64_t autoFrom_ = 0;  // Auto: when the wait for a trigger began
    bool armed_ = false;
    bool done_ = false;
};

// The sample thresholds of a level in volts, by the shared conversion rule.
// fire: the first sample value whose volts are >= level (rising) or the
// last whose volts are <= level (falling).
std::int32_t rising_threshold(double volts);
std::int32_t falling_threshold(double volts);

// A trigger as the command lines take it, "rising:0.5" or "falling:-1":
// the edge and the level in volts, or false for anything else.
bool parse_trigger(const std::string& text, Edge* edge, double* level);
// The edge as parse_trigger spells it: "rising" or "falling".
const char* edge_name(Edge edge);

// The time axis of a triggered frame, which every capture file and the
// scope's saved trace share: sample `index` of the frame lies
// (index - triggerIndex) samples from the trigger, so the trigger is 0 s
// and the samples before it are negative.  Counted apart in whole numbers
// first, so the trigger sample is exactly 0 s (two divisions subtracted
// would leave a rounding residue there).
inline std::int64_t samples_from_trigger(std::uint64_t index, std::uint64_t triggerIndex) {
    return static_cast<std::int64_t>(index - triggerIndex);
}
inline double seconds_from_trigger(std::uint64_t index, std::uint64_t triggerIndex, double sampleRateHz) {
    return static_cast<double>(samples_from_trigger(index, triggerIndex)) / sampleRateHz;
}

}  // namespace kv318::analysis
