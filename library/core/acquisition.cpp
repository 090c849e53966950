// Streaming analog acquisition: a periodic timer drains the board's FIFO into
// the ring every 10 ms (every 2 ms at high rates, see drain_period.h), and
// KV318_Read hands the ring's bytes to the caller as samples.  The handshake
// between the two threads is described beside the state in
// acquisition_common.h.
#include "acquisition.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <thread>

#include "KV318.h"
#include "acquisition_lock.h"
#include "registers.h"

namespace kv318 {
namespace {

// The header tells callers how big their array must be; one read never
// returns more than that.
static_assert(kMaxReadSamples == KV318_READ_MAX_SAMPLES, "KV318.h states the most one KV318_Read returns");

// Whether TimerId names a timer this library has not cancelled yet.
// Caller's thread only.
bool TimerLive = false;

// The running stream's period rule.  Reset by StartSampleTimer before it
// creates the timer (the creation publishes it), then used by the ticks on
// the timer's thread only.
DrainPeriod Period;

// Moves the timer to the period the status a tick read asks for.  Should
// the service refuse, the timer ticks on as it was, and so does the rule.
void follow_rate(std::int32_t level) {
    const std::uint32_t was = Period.period_ms();
    const std::uint32_t want = Period.after_status(level);
    if (want != was && !timer_service().set_period(TimerId, want)) Period.keep(was);
}

void set_error_text(const char* text) {
    std::size_t n = std::strlen(text);
    if (n >= kErrorTextSize) n = kErrorTextSize - 1;
    std::memcpy(LastErrorText, text, n);
    LastErrorText[n] = '\0';
}

// The tick's side letting go: lowers DrainBusy and wakes a reader, stop or
// unload waiting for it.  Timer thread.
void end_drain() { DrainWaiter.lower(DrainBusy); }

// The ring as the tick's drain sees it.
class RingSink final : public DrainSink {
public:
    bool take(const std::uint8_t* bytes, std::int32_t n) override {
        ring_append(bytes, n);
        stats_bytes(n, RingCount);
        // The writer has caught up with the reader; the next tick goes on.
        return RingCount < kRingSize;
    }
    // A stop or an unload ends the drain at once.
    bool go_on() override { return AcqRunning.load() == 1; }
};

// One tick's drain: at least the FIFO level the board reports, and on while
// the board answers in full (see drain_fifo), reply by reply, with the
// tick's side of the handshake held.  It ends early, and leaves the rest to
// the next tick, on a stop, when the ring overflows, when the board stops
// delivering, or when the tick's time is spent: the timer thread must never
// be held by a board, and KV318_Read waits for this drain.
// A status read or bulk read that fails is a transfer fault: KV318_Read
// reports it until the stop.  A failed status read must not pass for an
// empty FIFO, or a driver that has gone away would look like a quiet board.
void drain_tick() {
    DeviceService& device = device_service();
    const std::uint64_t start = device.now_ms();
    const std::int32_t status = RegRead8(AcqDevice, reg::kStatus);
    if (status < 0) {
        AcqFault = -1;
        AcqFaultRequest = last_failed_request();
        return;
    }
    const FifoLevel fifo = fifo_level(status);
    stats_status(fifo.level, device.now_us());
    follow_rate(fifo.level);
    if (fifo.level == 0) return;
    TickTotal = 0;
    RingSink ring;
    const DrainEnd end = drain_fifo(AcqDevice, fifo, &TickTotal, start, kTickDrainLimitMs, ring);
    if (end == DrainEnd::Failed) {
        AcqFault = -1;
        AcqFaultRequest = last_failed_request();
    }
    stats_drain_end(drain_outcome(end), device.now_us());
}

}  // namespace

void wait_for_drain_end() { DrainWaiter.wait_lowered(DrainBusy); }

void hold_ring() {
    for (;;) {
        ReaderBusy.store(1);
        if (DrainBusy.load() == 0) return;
        ReaderBusy.store(0);
        wait_for_drain_end();
    }
}

void ring_append(const std::uint8_t* bytes, std::int32_t n) {
    // Only into free space.  The unread bytes may be in KV318_Read's hands
    // at this moment (it converts outside the handshake), so bytes that do
    // not fit are never written over them: they are lost to the overflow,
    // which the count shows.
    const std::int32_t kept = std::min(n, std::max(0, kRingSize - RingCount));
    const std::int32_t first = std::min(kept, kRingSize - RingWritePos);
    std::memcpy(RingBuffer + RingWritePos, bytes, static_cast<std::size_t>(first));
    if (kept > first) std::memcpy(RingBuffer, bytes + first, static_cast<std::size_t>(kept - first));
    RingWritePos = (RingWritePos + kept) & kRingMask;
    // Ticks go on draining in the overflow state; the count holds at its
    // ceiling instead of wrapping, so the overflow stays visible.
    RingCount = RingCount > INT_MAX - n ? INT_MAX : RingCount + n;
}

void ring_copy_samples(std::int32_t from, std::int32_t* samples, std::int32_t n) {
    // The read position and the ring's size are even, so no byte pair
    // straddles the end: at most two contiguous runs.
    const std::int32_t first = std::min(n, (kRingSize - from) / 2);
    convert_samples(RingBuffer + from, samples, static_cast<std::size_t>(first));
    if (n > first) convert_samples(RingBuffer, samples + first, static_cast<std::size_t>(n - first));
}

std::int32_t StartSampleTimer(std::uint32_t periodMs) {
    TimerService& timers = timer_service();
    std::uint32_t minPeriod = 0;
    constexpr char kCall[] = "KV318_AD";
    if (!timers.capabilities(&minPeriod)) {
        set_error_text(kTextNoTimerCaps);
        record_failure(kCall, "the timer could not start: the system does not tell its timer's resolution");
        return -1;
    }
    if (minPeriod > kMaxMinimumPeriodMs) {
        set_error_text(kTextTimerTooCoarse);
        record_failure(kCall,
                       "the timer could not start: the system's finest timer period is %u ms, coarser than %u ms",
                       static_cast<unsigned>(minPeriod), static_cast<unsigned>(kMaxMinimumPeriodMs));
        return -1;
    }
    Period.keep(periodMs);
    TimerId = timers.create(periodMs, kTimerResolutionMs, &SampleTimerProc, 0);
    if (TimerId == 0) {
        set_error_text(kTextNoTimer);
        record_failure(kCall, "the timer could not start: the system refused to create a periodic timer");
        return -1;
    }
    TimerLive = true;
    return 0;
}

void StopSampleTimer() {
    if (!TimerLive) return;
    timer_service().cancel(TimerId);
    TimerLive = false;
}

void SampleTimerProc(std::uintptr_t) {
    DeviceService& device = device_service();
    const std::uint64_t begin = device.now_ms();
    for (;;) {
        // Raise our flag before looking at the reader's (see the handshake).
        DrainBusy.store(1);
        if (AcqRunning.load() != 1) break;
        if (ReaderBusy.load() == 0) {
            drain_tick();
            stats_publish();
            break;
        }
        // The reader holds the ring: for one copy of at most 1 MiB and its
        // status read.  Skipping the whole period would cost the FIFO a
        // period of its slack, so the tick lets go and tries again once the
        // reader has, but only within its own period: a slow caller never
        // holds this thread longer than that.
        end_drain();
        const std::uint32_t period = Period.period_ms();
        if (device.now_ms() - begin >= period) break;
        while (ReaderBusy.load() != 0 && device.now_ms() - begin < period) device.sleep_ms(1);
    }
    end_drain();
    // Leave the reader a moment before this thread's next tick.
    device.sleep_ms(1);
}

void EndStreamForUnload() {
    AcqRunning.store(0);
    wait_for_drain_end();
    StopSampleTimer();
    release_all_board_locks();
}

}  // namespace kv318
