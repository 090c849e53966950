// How often a stream's timer drains the board's FIFO, chosen from what each
// tick's status read shows.  The library cannot read the converter's clock,
// so the FIFO level the board reports at a tick stands in for the rate: it
// is what arrived since the last drain ran dry, about one period's worth.
//
// The rule, tick by tick:
//   - At the long period (10 ms), a status that reports a quarter of the
//     board's FIFO or more (level code 6 or 7, 131,072 bytes and up) moves
//     the timer to the short period (2 ms) from its next tick on.  That is a
//     rate of about 13 MB/s and more, where every 10 ms period has filled a
//     quarter of the FIFO or more before its tick comes, and a late tick has
//     only the rest (at 26 MB/s, 10 ms of the FIFO's 20).  At 2 ms the
//     drains keep the FIFO nearly empty, so a late tick has nearly the
//     whole FIFO's time before a sample is lost.
//   - At the short period, a status below 16,384 bytes (level code 0 to 2)
//     is a low tick: 2 ms bringing less than that is a rate under about
//     8 MB/s.  After kLowTicksForLongPeriod low ticks in a row the timer goes
//     back to the long period; any other status starts the count again.  The
//     band between the two rates keeps a stream near one of them from
//     switching back and forth.
//   - A tick that read no status (a failed read, a stop, a reader that held
//     the ring its whole period) changes nothing.
// A stream starts at the long period.  Below the threshold nothing differs
// from a stream that never switches: the same ticks, the same requests.
#pragma once

#include <cstdint>

#include "register_map.h"

namespace kv318 {

inline constexpr std::uint32_t kLongPeriodMs = 10;
inline constexpr std::uint32_t kShortPeriodMs = 2;
// A status at or above this, at the long period, moves to the short one.
inline constexpr std::int32_t kShortPeriodLevel = kBoardFifoBytes / 4;
// A status below this, at the short period, is a low tick.
inline constexpr std::int32_t kLowTickLevel = 16384;
// Low ticks in a row, at the short period, that move back to the long one:
// 100 ms at 2 ms a tick.
inline constexpr std::int32_t kLowTicksForLongPeriod = 50;

static_assert(kShortPeriodLevel == kFifoLevels[6], "the switch falls on a level code's own boundary");
static_assert(kLowTickLevel == kFifoLevels[3], "a low tick is one below a level code's boundary");
// The rate that switches down must be well below the one that switches up.
static_assert(kLowTickLevel * kLongPeriodMs < kShortPeriodLevel * kShortPeriodMs);

// The rule above for one stream.  Used by the timer's thread only, after
// the start (on the caller's thread, before the timer exists) reset it.
class DrainPeriod {
public:
    // The period the timer is to tick at now.
    std::uint32_t period_ms() const { return periodMs_; }

    // A tick read a status reporting `level` bytes (a FifoLevel's level).
    // Returns the period the timer is to tick at from its next tick on.
    std::uint32_t after_status(std::int32_t level);

    // Back to the long period, as at a stream's start.
    void reset();

    // The timer kept ticking at `periodMs` (it could not take the period
    // after_status asked for): the rule goes on from there, its count of low
    // ticks started again.
    void keep(std::uint32_t periodMs);

private:
    std::uint32_t periodMs_ = kLongPeriodMs;
    std::int32_t lowTicks_ = 0;
};

}  // namespace kv318
