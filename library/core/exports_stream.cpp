// The streaming exports: KV318_AD starts the timer that drains the board's
// FIFO into the ring, KV318_Read hands the ring's bytes to the caller as
// samples, KV318_StopAD ends the stream, and KV318_StreamStats reports the
// drains of the last stream or polled run.  The handshake they keep with
// the timer's thread is described beside its state in acquisition_common.h.
#include <algorithm>
#include <cstddef>
#include <thread>

#include "KV318.h"
#include "local_board.h"
#include "acquisition.h"
#include "registers.h"

using namespace kv318;

namespace {
// The words of KV318_Read's -2 and -3, which more than one path returns.
constexpr char kTextRingOverflow[] = "the ring ran over: samples were lost; stop the stream and start it again";
constexpr char kTextTransferFault[] = "a transfer fault, until KV318_StopAD";
}  // namespace

namespace kv318::local {

std::int32_t ad(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4, int32_t divider) {
    // One acquisition at a time, claimed in one step: a second stream
    // would orphan the running timer, and two starts at once would each
    // start one.
    clear_last_error();
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

std::int32_t read(int32_t handle, int32_t* samples) {
    constexpr char kCall[] = "KV318_Read";
    clear_last_error();
    if (samples == nullptr) {
        record_failure(kCall, "samples is NULL");
        return -1;
    }
    // The reader holds the ring (its side of the handshake) only to look at
    // the counters and, later, to move them: the status read and the
    // conversion of up to 1 MiB run without it, so a reader that the
    // scheduler holds back in the middle keeps no drain waiting.
    hold_ring();
    const std::int32_t fault = AcqFault;
    const FailedRequest faultRequest = AcqFaultRequest;
    const std::int32_t buffered = RingCount;
    const std::int32_t from = RingReadPos;
    ReaderBusy.store(0);

    if (fault < 0) {
        record_request_failure(kCall, kTextTransferFault, faultRequest);
        return -3;
    }
    if (buffered < kMinReadBytes) return 0;
    const std::int32_t status = RegRead8(handle, reg::kStatus);
    if (status < 0) {
        // The board cannot be asked: a transfer fault, as in a tick, and not
        // a board that reports acquisition off.  The ring is kept.
        const FailedRequest own = last_failed_request();
        hold_ring();
        AcqFault = -1;
        AcqFaultRequest = own;
        ReaderBusy.store(0);
        record_request_failure(kCall, kTextTransferFault, own);
        return -3;
    }
    if (!acquisition_enabled(status)) {
        record_failure(kCall,
                       "the board reports acquisition not enabled (status 0x%02X): something stopped its "
                       "conversion; the buffered samples are kept",
                       static_cast<unsigned>(status));
        return -1;
    }
    if (buffered >= kRingSize) {
        record_failure(kCall, "%s", kTextRingOverflow);
        return -2;
    }
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
    if (result < 0) record_failure(kCall, "%s", kTextRingOverflow);
    return result;
}

std::int32_t stop_ad(int32_t handle) {
    clear_last_error();
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

std::int32_t stream_stats(int32_t handle, KV318_STREAM_STATS* stats) {
    // The record's first two fields and its first count: the least a caller
    // may know of it.
    constexpr std::uint32_t kMinSize = 16;
    static_assert(offsetof(KV318_STREAM_STATS, bytes_drained) + sizeof(std::uint64_t) == kMinSize);
    clear_last_error();
    if (stats == nullptr || stats->size < kMinSize) {
        if (stats == nullptr) record_failure("KV318_StreamStats", "stats is NULL");
        else
            record_failure("KV318_StreamStats", "stats->size is %u, below the %u bytes of the least record",
                           static_cast<unsigned>(stats->size), static_cast<unsigned>(kMinSize));
        return -1;
    }
    const std::uint32_t size = stats->size;
    std::uint32_t mode = KV318_STATS_NONE;
    DrainFigures f;
    stats_read(handle, &mode, &f);
    // Whole fields only, each where the caller's header put it; `size` is
    // the caller's and stays as it is.
    const auto fits = [size](std::size_t offset, std::size_t bytes) { return offset + bytes <= size; };
    stats->mode = mode;
    const std::uint64_t counts[] = {f.bytes_drained,     f.ticks,           f.drains,        f.top_level_drains,
                                    f.time_bound_drains, f.ring_high_water, f.longest_gap_us};
    std::uint64_t* const fields[] = {
        &stats->bytes_drained,     &stats->ticks,           &stats->drains,        &stats->top_level_drains,
        &stats->time_bound_drains, &stats->ring_high_water, &stats->longest_gap_us};
    constexpr std::size_t kOffsets[] = {offsetof(KV318_STREAM_STATS, bytes_drained),
                                        offsetof(KV318_STREAM_STATS, ticks),
                                        offsetof(KV318_STREAM_STATS, drains),
                                        offsetof(KV318_STREAM_STATS, top_level_drains),
                                        offsetof(KV318_STREAM_STATS, time_bound_drains),
                                        offsetof(KV318_STREAM_STATS, ring_high_water),
                                        offsetof(KV318_STREAM_STATS, longest_gap_us)};
    for (std::size_t i = 0; i < std::size(counts); ++i)
        if (fits(kOffsets[i], sizeof(std::uint64_t))) *fields[i] = counts[i];
    for (std::size_t k = 0; k < KV318_GAP_BUCKETS; ++k) {
        const std::size_t at = offsetof(KV318_STREAM_STATS, gap_histogram) + k * sizeof(std::uint64_t);
        if (fits(at, sizeof(std::uint64_t))) stats->gap_histogram[k] = f.gap_histogram[k];
    }
    return 0;
}

}  // namespace kv318::local
