// What the library measures of every drain, in both acquisition modes, for
// KV318_StreamStats: the bytes, the drains, how they ended, and the gaps
// between the last moment the FIFO was known low and the next drain.  The
// board has no overflow bit, so these figures are what a caller who knows
// the sample rate has to judge whether the FIFO could have run over (the
// rule is in KV318.h beside the record).
//
// One thread writes at a time: the draining thread (the stream's timer
// thread, or the caller's thread inside KV318_M_Read), and the start call
// before any drain can run.  It works on a private copy and publishes the
// whole record once per drain through a sequence lock, so a reader on any
// thread sees a copy consistent as of one moment between two drains, and
// neither side ever waits for the other beyond the few stores of one
// publication.
#pragma once

#include <cstdint>

#include "KV318.h"
#include "handle.h"

namespace kv318 {

// The figures, in the order of KV318_STREAM_STATS after its mode.
struct DrainFigures {
    std::uint64_t bytes_drained = 0;
    std::uint64_t ticks = 0;
    std::uint64_t drains = 0;
    std::uint64_t top_level_drains = 0;
    std::uint64_t time_bound_drains = 0;
    std::uint64_t ring_high_water = 0;
    std::uint64_t longest_gap_us = 0;
    std::uint64_t gap_histogram[KV318_GAP_BUCKETS] = {};
};

// The histogram bucket of a gap of `us` microseconds: floor(log2(us)), 0 for
// gaps under 2 us, and the last bucket for every gap of 2^31 us or more.
std::uint32_t gap_bucket(std::uint64_t us);

// How one drain ended, as far as the figures care.
enum class DrainOutcome {
    RanDry,     // a bulk reply shorter than asked: the FIFO is known low now
    TimeBound,  // the drain's time bound ended it; the fill is unknown
    Other,      // a full sink, a stop, a stalled or failed board; the fill is unknown
};

// ---- The writer: one thread at a time, as described above ------------------

// Zeroes the figures for a new acquisition of `mode` (KV318_STATS_STREAM or
// KV318_STATS_POLLED) on `h` and marks `nowUs` as the last moment the FIFO
// was known low (conversion starts right after).  Called by the start, on
// the caller's thread, before the stream's timer exists or before the first
// polled read; publishes at once.
void stats_begin(Handle h, std::uint32_t mode, std::uint64_t nowUs);

// A tick (stream) or a KV318_M_Read call (polled) that read the status.
// `level` is the FIFO level the status reported, read at `nowUs`: level 0
// marks the FIFO low; any other level starts a drain and ends a gap.
void stats_status(std::int32_t level, std::uint64_t nowUs);

// `n` bytes of one bulk reply reached the sink; `held` is what the ring now
// holds (stream), or 0.
void stats_bytes(std::int32_t n, std::int64_t held);

// The drain begun by the last stats_status ended as `how`, at `nowUs`.
void stats_drain_end(DrainOutcome how, std::uint64_t nowUs);

// Publishes the private copy for readers.  The writer calls it at the end
// of each tick or polled read.
void stats_publish();

// Replaces the counts with `figures` and publishes them; the gap's start is
// kept.  Only for tests (to start the counters near 2^32), and only while no
// drain runs.
void stats_preset_for_test(const DrainFigures& figures);

// ---- The reader: any thread --------------------------------------------------

// The last published figures in *figures and their mode in *mode; mode
// KV318_STATS_NONE and zeroes when no acquisition was started on `h` since
// the library was loaded, or a later one was started on another handle.
void stats_read(Handle h, std::uint32_t* mode, DrainFigures* figures);

}  // namespace kv318
