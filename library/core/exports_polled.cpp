// Polled analog acquisition: no timer and no ring.  Each KV318_M_Read drains
// the FIFO on the caller's thread and converts what it got; an odd last byte
// goes back to the caller in the carry word and leads the next call, so the
// samples stay aligned to the start of the run.
#include <cstring>

#include "KV318.h"
#include "local_board.h"
#include "acquisition_common.h"
#include "acquisition_lock.h"
#include "registers.h"

namespace kv318 {
namespace {

constexpr std::int32_t kCarryPresent = 0x10000;

// The bytes one call may hold: the header's sample count in pairs, and one
// more that goes back in the carry word.  The first step of a drain never
// comes near it (it asks only while below the largest level, and one reply
// is at most a chunk and a byte); the second goes on only while another
// such reply still fits (PolledSink).
constexpr std::int32_t kPolledMaxBytes = 2 * KV318_M_READ_MAX_SAMPLES + 1;
static_assert(kMaxFifoLevel - 1 + kMaxChunk + 1 <= kPolledMaxBytes, "the level always fits");
static_assert(static_cast<std::size_t>(kPolledMaxBytes) <= kPolledSize);
// The header's size: the largest level and one bulk read, in pairs.
static_assert((kMaxFifoLevel + kMaxChunk) / 2 == KV318_M_READ_MAX_SAMPLES,
              "KV318.h states the most one KV318_M_Read returns");

// Streaming owns TransferBuffer and the ring counters while its timer runs
// or while a stream starts or stops.
bool stream_running() {
    const std::int32_t s = AcqSession.load();
    return AcqRunning.load() == 1 || (s != kSessionIdle && s != kSessionPolled);
}

// PolledBuffer as the drain sees it: each reply lands after the bytes
// before it, and the drain goes on only while one more reply of a chunk and
// a byte would still fit the caller's array.
class PolledSink final : public DrainSink {
public:
    explicit PolledSink(std::int32_t held) : end_(held) {}
    bool take(const std::uint8_t* bytes, std::int32_t n) override {
        std::memcpy(PolledBuffer + end_, bytes, static_cast<std::size_t>(n));
        end_ += n;
        stats_bytes(n, 0);
        return end_ + kMaxChunk + 1 <= kPolledMaxBytes;
    }

private:
    std::int32_t end_;
};

}  // namespace
}  // namespace kv318

using namespace kv318;

namespace kv318::local {

std::int32_t m_ad(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4, int32_t divider) {
    // One acquisition at a time, claimed in one step (see KV318_AD); the
    // run lasts until KV318_M_StopAD.
    clear_last_error();
    BoardLockStep lock{};
    if (!begin_start(handle, AcquisitionKind::Polled, flag1, flag2, flag3, flag4, divider, &lock)) return -1;
    reset_ring_counters();
    // Conversion starts next: the FIFO is known empty now.
    stats_begin(handle, KV318_STATS_POLLED, device_service().now_us());
    start_conversion(handle);
    finish_start(kSessionPolled, handle);
    return 0;
}

std::int32_t m_read(int32_t handle, int32_t* samples, int32_t* carry, int32_t reserved) {
    (void)reserved;
    constexpr char kCall[] = "KV318_M_Read";
    clear_last_error();
    if (samples == nullptr || carry == nullptr) {
        record_failure(kCall, "%s is NULL", samples == nullptr ? "samples" : "carry");
        return -1;
    }
    if (stream_running()) {
        record_failure(kCall, "a stream is running; polled reads wait for KV318_StopAD");
        return -1;
    }
    // A failed status read is a failed request: -1 with the carry unchanged,
    // whichever of the two reads it is.
    DeviceService& device = device_service();
    const std::uint64_t start = device.now_ms();
    const std::int32_t enabled = RegRead8(handle, reg::kStatus);
    if (enabled < 0) {
        record_request_failure(kCall);
        return -1;
    }
    if (!acquisition_enabled(enabled)) {
        record_failure(kCall, "the board reports acquisition not enabled (status 0x%02X): no polled run converts",
                       static_cast<unsigned>(enabled));
        return -1;
    }
    const std::int32_t status = RegRead8(handle, reg::kStatus);
    if (status < 0) {
        record_request_failure(kCall);
        return -1;
    }
    const FifoLevel fifo = fifo_level(status);
    stats_status(fifo.level, device.now_us());
    if (fifo.level == 0) {
        stats_publish();
        return 0;
    }

    std::int32_t b = 0;
    if (*carry & kCarryPresent) PolledBuffer[b++] = static_cast<std::uint8_t>(*carry & 0xFF);
    PolledSink sink(b);
    // A failed bulk read drops the bytes drained so far and keeps the carry.
    // A board that stopped delivering, or one so slow that the call's time
    // is spent, ends the call with what it has: those bytes are converted
    // below, and an odd last one is carried.
    const DrainEnd end = drain_fifo(handle, fifo, &b, start, kPolledDrainLimitMs, sink);
    stats_drain_end(drain_outcome(end), device.now_us());
    stats_publish();
    if (end == DrainEnd::Failed) {
        record_request_failure(kCall, "the bytes of this read are lost");
        return -1;
    }
    const std::int32_t m = b / 2;
    convert_samples(PolledBuffer, samples, static_cast<std::size_t>(m));
    *carry = (b & 1) != 0 ? kCarryPresent | PolledBuffer[b - 1] : 0;
    return m;
}

std::int32_t m_stop_ad(int32_t handle) {
    clear_last_error();
    // Another process's acquisition on that board is not ours to stop.
    if (!board_held_by_another(handle)) (void)RegRead8(handle, reg::kMode);
    unlock_board_for(handle, AcquisitionKind::Polled);
    // Ends a polled run; a stream is left to KV318_StopAD.
    std::int32_t polled = kSessionPolled;
    AcqSession.compare_exchange_strong(polled, kSessionIdle);
    return 0;
}

}  // namespace kv318::local
