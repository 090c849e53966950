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

// Whether TimerId names a timer this library has not cancelled yet.
// Caller's thread only.
bool TimerLive = false;

void set_error_text(const char* text) {
    std::size_t n = std::strlen(text);
    if (n >= kErrorTextSize) n = kErrorTextSize - 1;
    std::memcpy(LastErrorText, text, n);
    LastErrorText[n] = '\0';
}

// The waits are short (one drain at most), so they spin; yielding keeps a
// spinning caller from starving the timer thread on a busy machine.
void wait_for_drain_end() {
    while (DrainBusy.load() != 0) std::this_thread::yield();
}

// Drains at least the FIFO level the board reports, reply by reply.
// Runs with the tick's side of the handshake held.  A tick ends early, and
// leaves the rest to the next tick, when the status read fails (no level is
// known), on a stop, when the ring overflows, or when the board stops
// delivering (kMaxEmptyReplies empty replies in a row): the timer thread
// must never be held by a board, and KV318_Read waits for this drain.
void drain_fifo() {
    const FifoLevel fifo = fifo_level(RegRead8(AcqDevice, reg::kStatus));
    if (fifo.level == 0) return;
    TickTotal = 0;
    EmptyReplyRun empty;
    while (TickTotal < fifo.level) {
        const std::int32_t n = BulkIn(AcqDevice, TransferBuffer, fifo.chunk);
        LastChunk = n;
        if (n < 0) {
            LastChunk = 0;
            AcqFault = -1;
            return;
        }
        TickTotal += n;
        if (n > 0) {
            ring_append(TransferBuffer, n);
            // The writer has caught up with the reader; the next tick goes on.
            if (RingCount >= kRingSize) return;
        }
        // A reply of 0 bytes adds nothing and the loop asks again, up to a
        // short run of them.
        if (empty.stalled_after(n)) return;
        // A stop or an unload ends the drain at once.
        if (AcqRunning.load() != 1) return;
    }
}

}  // namespace

void ring_append(const std::uint8_t* bytes, std::int32_t n) {
    const std::int32_t first = std::min(n, kRingSize - RingWritePos);
    std::memcpy(RingBuffer + RingWritePos, bytes, static_cast<std::size_t>(first));
    if (n > first) std::memcpy(RingBuffer, bytes + first, static_cast<std::size_t>(n - first));
    RingWritePos = (RingWritePos + n) & kRingMask;
    // Ticks go on draining in the overflow state; the count holds at its
    // ceiling instead of wrapping, so the overflow stays visible.
    RingCount = RingCount > INT_MAX - n ? INT_MAX : RingCount + n;
}

void ring_take_samples(std::int32_t* samples, std::int32_t n) {
    // The read position and the ring's size are even, so no byte pair
    // straddles the end: at most two contiguous runs.
    const std::int32_t first = std::min(n, (kRingSize - RingReadPos) / 2);
    convert_samples(RingBuffer + RingReadPos, samples, static_cast<std::size_t>(first));
    if (n > first) convert_samples(RingBuffer, samples + first, static_cast<std::size_t>(n - first));
    RingReadPos = (RingReadPos + 2 * n) & kRingMask;
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
    // Raise our flag before looking at the reader's (see the handshake).
    DrainBusy.store(1);
    if (AcqRunning.load() == 1 && ReaderBusy.load() == 0) drain_fifo();
    DrainBusy.store(0);
    // Leave the reader a moment before this thread's next tick.
    device_service().sleep_ms(1);
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
    // One stream at a time: a second start would orphan the running timer.
    if (AcqRunning.load() == 1) return -1;
    // Another process streaming or polling this board: refused before a
    // byte reaches the board, so its acquisition goes on unharmed.
    const BoardLockStep lock = lock_board_for(handle, AcquisitionKind::Stream);
    if (lock == BoardLockStep::Refused) return -1;
    if (configure_conversion(handle, flag1, flag2, flag3, flag4, divider) < 0) {
        if (lock == BoardLockStep::Taken) unlock_board_for(handle, AcquisitionKind::Stream);
        return -1;
    }
    AcqRunning.store(0);
    AcqDevice = handle;
    reset_ring_counters();
    // On failure the board stays configured but not started.
    if (StartSampleTimer(kSamplePeriodMs) < 0) {
        if (lock == BoardLockStep::Taken) unlock_board_for(handle, AcquisitionKind::Stream);
        return -1;
    }
    AcqRunning.store(1);
    ReaderBusy.store(0);
    start_conversion(handle);
    return 0;
}

KV318_EXPORT int32_t KV318_CALL KV318_Read(int32_t handle, int32_t* samples) {
    if (samples == nullptr) return -1;
    // Raise our flag before looking at the tick's (see the handshake).
    ReaderBusy.store(1);
    if (DrainBusy.load() != 0) device_service().sleep_ms(1);
    wait_for_drain_end();

    std::int32_t result = 0;
    if (AcqFault < 0) {
        result = -3;
    } else if (RingCount < kMinReadBytes) {
        result = 0;
    } else if (!acquisition_enabled(RegRead8(handle, reg::kStatus))) {
        // Not enabled, or the status read failed: refused, the ring kept.
        result = -1;
    } else if (RingCount >= kRingSize) {
        result = -2;
    } else {
        const std::int32_t n = std::min(RingCount / 2, kMaxReadSamples);
        ring_take_samples(samples, n);
        // An odd byte stays for the next call.
        RingCount -= 2 * n;
        result = n;
    }
    ReaderBusy.store(0);
    return result;
}

KV318_EXPORT int32_t KV318_CALL KV318_StopAD(int32_t handle) {
    // A tick that begins after this store drains nothing; the wait lets a
    // drain in progress end before the timer goes.
    AcqRunning.store(0);
    wait_for_drain_end();
    AcqFault = 1;
    StopSampleTimer();
    // Another process's acquisition on that board is not ours to stop.
    if (!board_held_by_another(handle)) (void)RegRead8(handle, reg::kMode);
    unlock_board_for(handle, AcquisitionKind::Stream);
    return 0;
}

}  // extern "C"
