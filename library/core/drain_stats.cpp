#include "drain_stats.h"

#include <atomic>
#include <bit>
#include <cstddef>
#include <iterator>
#include <thread>

#include "register_map.h"

namespace kv318 {
namespace {

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "a reader must never wait on a hidden lock");

// The writer's private state: the figures being gathered and the last
// moment the FIFO was known low.  Written and read by the one writer of the
// moment (see drain_stats.h): the start call before the timer exists (the
// timer's creation publishes it), then the timer thread; or the polling
// caller's thread.
DrainFigures Working;
std::uint64_t LowSinceUs = 0;
std::uint32_t WorkingMode = KV318_STATS_NONE;
Handle WorkingHandle = kInvalidHandle;

constexpr std::size_t kWords = sizeof(DrainFigures) / sizeof(std::uint64_t);
static_assert(sizeof(DrainFigures) == kWords * sizeof(std::uint64_t), "only 64-bit figures");

// The published copy, a sequence lock.  Writer: the one writer above, in
// stats_publish.  Readers: stats_read on any thread.  The writer makes
// Sequence odd, stores the words (release), then makes it even again with
// a release store; a reader loads Sequence (acquire), the words (acquire),
// then Sequence again, and keeps the copy only when both loads saw the
// same even value.  A reader that loads any word of a publication in
// progress has synchronised with its store, so it sees at least the odd
// Sequence that came before it and retries: no word of a publication in
// progress slips in.  The words are atomics so that a torn read is a
// retry, never a data race.  (No fences: ThreadSanitizer cannot follow
// them, and on the platforms built here these orders cost no more.)
std::atomic<std::uint32_t> Sequence{0};
std::atomic<std::uint64_t> Published[kWords];
std::atomic<std::uint32_t> PublishedMode{KV318_STATS_NONE};
std::atomic<Handle> PublishedHandle{kInvalidHandle};

void to_words(const DrainFigures& f, std::uint64_t* words) {
    words[0] = f.bytes_drained;
    words[1] = f.ticks;
    words[2] = f.drains;
    words[3] = f.top_level_drains;
    words[4] = f.time_bound_drains;
    words[5] = f.ring_high_water;
    words[6] = f.longest_gap_us;
    for (std::size_t k = 0; k < KV318_GAP_BUCKETS; ++k) words[7 + k] = f.gap_histogram[k];
}

void from_words(const std::uint64_t* words, DrainFigures* f) {
    f->bytes_drained = words[0];
    f->ticks = words[1];
    f->drains = words[2];
    f->top_level_drains = words[3];
    f->time_bound_drains = words[4];
    f->ring_high_water = words[5];
    f->longest_gap_us = words[6];
    for (std::size_t k = 0; k < KV318_GAP_BUCKETS; ++k) f->gap_histogram[k] = words[7 + k];
}
static_assert(7 + KV318_GAP_BUCKETS == kWords, "every figure has its word");

}  // namespace

std::uint32_t gap_bucket(std::uint64_t us) {
    if (us < 2) return 0;
    const auto k = static_cast<std::uint32_t>(std::bit_width(us) - 1);
    return k < KV318_GAP_BUCKETS ? k : KV318_GAP_BUCKETS - 1;
}

void stats_begin(Handle h, std::uint32_t mode, std::uint64_t nowUs) {
    Working = DrainFigures{};
    LowSinceUs = nowUs;
    WorkingMode = mode;
    WorkingHandle = h;
    stats_publish();
}

void stats_status(std::int32_t level, std::uint64_t nowUs) {
    ++Working.ticks;
    if (level == 0) {
        LowSinceUs = nowUs;
        return;
    }
    ++Working.drains;
    if (level >= kMaxFifoLevel) ++Working.top_level_drains;
    const std::uint64_t gap = nowUs > LowSinceUs ? nowUs - LowSinceUs : 0;
    if (gap > Working.longest_gap_us) Working.longest_gap_us = gap;
    ++Working.gap_histogram[gap_bucket(gap)];
}

void stats_bytes(std::int32_t n, std::int64_t held) {
    Working.bytes_drained += static_cast<std::uint64_t>(n);
    if (held > 0 && static_cast<std::uint64_t>(held) > Working.ring_high_water)
        Working.ring_high_water = static_cast<std::uint64_t>(held);
}

void stats_drain_end(DrainOutcome how, std::uint64_t nowUs) {
    // Only a drain that ran dry knows the FIFO low again; any other end
    // leaves the gap growing, so the measure errs towards warning.
    if (how == DrainOutcome::RanDry) LowSinceUs = nowUs;
    if (how == DrainOutcome::TimeBound) ++Working.time_bound_drains;
}

void stats_publish() {
    std::uint64_t words[kWords];
    to_words(Working, words);
    const std::uint32_t s = Sequence.load(std::memory_order_relaxed);
    Sequence.store(s + 1, std::memory_order_relaxed);
    PublishedMode.store(WorkingMode, std::memory_order_release);
    PublishedHandle.store(WorkingHandle, std::memory_order_release);
    for (std::size_t i = 0; i < kWords; ++i) Published[i].store(words[i], std::memory_order_release);
    Sequence.store(s + 2, std::memory_order_release);
}

void stats_preset_for_test(const DrainFigures& figures) {
    Working = figures;
    stats_publish();
}

void stats_read(Handle h, std::uint32_t* mode, DrainFigures* figures) {
    std::uint64_t words[kWords];
    std::uint32_t m = KV318_STATS_NONE;
    Handle owner = kInvalidHandle;
    for (;;) {
        const std::uint32_t before = Sequence.load(std::memory_order_acquire);
        if ((before & 1) == 0) {
            m = PublishedMode.load(std::memory_order_acquire);
            owner = PublishedHandle.load(std::memory_order_acquire);
            for (std::size_t i = 0; i < kWords; ++i) words[i] = Published[i].load(std::memory_order_acquire);
            if (Sequence.load(std::memory_order_relaxed) == before) break;
        }
        // A publication is a few dozen stores; let a preempted writer finish.
        std::this_thread::yield();
    }
    if (m == KV318_STATS_NONE || owner != h) {
        *mode = KV318_STATS_NONE;
        *figures = DrainFigures{};
        return;
    }
    *mode = m;
    from_words(words, figures);
}

}  // namespace kv318
