// Streaming analog acquisition: a periodic timer drains the board's FIFO into
// the ring every 10 ms, and KV318_Read hands the ring's bytes to the caller
// as samples.  The handshake between the two threads is described beside the
// state in acquisition_common.h.
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

void set_error_text(const char* text) {
    std::size_t n = std::strlen(text);
    if (n >= kErrorTextSize) n = kErrorTextSize - 1;
    std::memcpy(LastErrorText, text, n);
    LastErrorText[n] = '\0';
}

// Waits for a drain in progress to end: at most one drain, which may take
// its whole period when the board keeps answering in full.  It blocks on
// the flag itself (the tick wakes it, see end_drain) rather than spinning
// or sleeping: on a loaded machine a spinning caller gives its turn away
// to every other process at each yield, and one that sleeps waits for the
// processor again after each sleep; a reader late by a few such turns lets
// the ring run over.  A thread woken from a wait is run soon.
void wait_for_drain_end() { DrainWaiter.wait_lowered(DrainBusy); }

// The tick's side letting go: lowers DrainBusy and wakes a reader, stop or
// unload waiting for it.  Timer thread.
void end_drain() { DrainWaiter.lower(DrainBusy); }

// The reader's side of the handshake: raise our flag, and keep it only if
// no drain runs; else lower it while waiting for the drain to end, and try
// again.  A reader that kept its flag up while it waits would, on a loaded
// machine, keep it up for as long as the scheduler takes to run it again
// after the drain, and every tick meanwhile would find the ring held.
// ReaderBusy.store(0) lets go.
void hold_ring() {
    for (;;) {
        ReaderBusy.store(1);
        if (DrainBusy.load() == 0) return;
        ReaderBusy.store(0);
        wait_for_drain_end();
    }
}

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
        return;
    }
    const FifoLevel fifo = fifo_level(status);
    stats_status(fifo.level, device.now_us());
    if (fifo.level == 0) return;
    TickTotal = 0;
    RingSink ring;
    const DrainEnd end = drain_fifo(AcqDevice, fifo, &TickTotal, start, kTickDrainLimitMs, ring);
    if (end == DrainEnd::Failed) AcqFault = -1;
    stats_drain_end(drain_outcome(end), device.now_us());
}

}  // namespace

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
    if (!timers.capabilities(&minPeriod)) {
        set_error_text(kTextNoTimerCaps);
        return -1;
    }
    if (minPeriod > kMaxMinimumPeriodMs) {
        set_error_text(kTextTimerTooCoarse);
        return -1;
    }
    TimerId = timers.create(periodMs, kTimerResolutionMs, &SampleTimerProc, 0);
    if (TimerId == 0) {
        set_error_text(kTextNoTimer);
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
        if (device.now_ms() - begin >= kSamplePeriodMs) break;
        while (ReaderBusy.load() != 0 && device.now_ms() - begin < kSamplePeriodMs) device.sleep_ms(1);
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

using namespace kv318;

extern "C" {

KV318_EXPORT int32_t KV318_CALL KV318_AD(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4,
                                         int32_t divider) {
    // One acquisition at a time, claimed in one step: a second stream
    // would orphan the running timer, and two starts at once would each
    // start one.
    BoardLockStep lock{};
    if (!begin_start(handle, AcquisitionKind::Stream, flag1, flag2, flag3, flag4, divider, &lock)) return -1;
    AcqRunning.store(0);
    AcqDevice = handle;
    reset_ring_counters();
    // Conversion starts right after the timer: the FIFO is known empty now.
    stats_begin(handle, KV318_STATS_STREAM, device_service().now_us());
    // On failure the board stays configured but not started.
    if (StartSampleTimer(kSamplePeriodMs) < 0) {
        abandon_start(handle, AcquisitionKind::Stream, lock);
        return -1;
    }
    AcqRunning.store(1);
    ReaderBusy.store(0);
    start_conversion(handle);
    finish_start(kSessionStream, handle);
    return 0;
}

KV318_EXPORT int32_t KV318_CALL KV318_Read(int32_t handle, int32_t* samples) {
    if (samples == nullptr) return -1;
    // The reader holds the ring (its side of the handshake) only to look at
    // the counters and, later, to move them: the status read and the
    // conversion of up to 1 MiB run without it, so a reader that the
    // scheduler holds back in the middle keeps no drain waiting.
    hold_ring();
    const std::int32_t fault = AcqFault;
    const std::int32_t buffered = RingCount;
    const std::int32_t from = RingReadPos;
    ReaderBusy.store(0);

    if (fault < 0) return -3;
    if (buffered < kMinReadBytes) return 0;
    const std::int32_t status = RegRead8(handle, reg::kStatus);
    if (status < 0) {
        // The board cannot be asked: a transfer fault, as in a tick, and not
        // a board that reports acquisition off.  The ring is kept.
        hold_ring();
        AcqFault = -1;
        ReaderBusy.store(0);
        return -3;
    }
    if (!acquisition_enabled(status)) return -1;
    if (buffered >= kRingSize) return -2;
    const std::int32_t n = std::min(buffered / 2, kMaxReadSamples);
    ring_copy_samples(from, samples, n);
    hold_ring();
    // A tick that overflowed the ring meanwhile wrote nothing over the
    // bytes just converted, but samples after them are lost: the overflow
    // is reported instead.
    std::int32_t result = -2;
    if (RingCount < kRingSize) {
        RingReadPos = (from + 2 * n) & kRingMask;
        // An odd byte stays for the next call.
        RingCount -= 2 * n;
        result = n;
    }
    ReaderBusy.store(0);
    return result;
}

KV318_EXPORT int32_t KV318_CALL KV318_StopAD(int32_t handle) {
    // The stop owns the stream's state while it runs: it waits out a start
    // or another stop in progress.  A polled run is not ours to end; then
    // only conversion stops.
    std::int32_t was = AcqSession.load();
    for (;;) {
        if (was == kSessionPolled) {
            if (!board_held_by_another(handle)) (void)RegRead8(handle, reg::kMode);
            return 0;
        }
        if (was == kSessionIdle || was == kSessionStream) {
            if (AcqSession.compare_exchange_weak(was, kSessionStopping)) break;
            continue;
        }
        std::this_thread::yield();
        was = AcqSession.load();
    }
    // A tick that begins after this store drains nothing; the wait lets a
    // drain in progress end before the timer goes.
    AcqRunning.store(0);
    wait_for_drain_end();
    AcqFault = 1;
    StopSampleTimer();
    // Another process's acquisition on that board is not ours to stop.
    if (!board_held_by_another(handle)) (void)RegRead8(handle, reg::kMode);
    unlock_board_for(handle, AcquisitionKind::Stream);
    AcqSession.store(kSessionIdle);
    return 0;
}

}  // extern "C"
