// Polled analog acquisition: no timer and no ring.  Each KV318_M_Read drains
// the FIFO on the caller's thread and converts what it got; an odd last byte
// goes back to the caller in the carry word and leads the next call, so the
// samples stay aligned to the start of the run.
#include <cstring>

#include "KV318.h"
#include "acquisition_common.h"
#include "acquisition_lock.h"
#include "registers.h"

namespace kv318 {
namespace {

constexpr std::int32_t kCarryPresent = 0x10000;

// One call stops asking once it holds the level, so it holds at most the
// largest level plus one reply of chunk + 1 bytes, with the carried byte
// counted in the level.
static_assert(static_cast<std::size_t>(kMaxFifoLevel) + kMaxChunk <= kPolledSize);

// Streaming owns TransferBuffer and the ring counters while its timer runs.
bool stream_running() {
    return AcqRunning.load() == 1;
}

}  // namespace
}  // namespace kv318

using namespace kv318;

extern "C" {

KV318_EXPORT int32_t KV318_CALL KV318_M_AD(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3,
                                           int32_t flag4, int32_t divider) {
    if (stream_running()) return -1;
    // Another process streaming or polling this board: refused before a
    // byte reaches the board.
    const BoardLockStep lock = lock_board_for(handle, AcquisitionKind::Polled);
    if (lock == BoardLockStep::Refused) return -1;
    if (configure_conversion(handle, flag1, flag2, flag3, flag4, divider) < 0) {
        if (lock == BoardLockStep::Taken) unlock_board_for(handle, AcquisitionKind::Polled);
        return -1;
    }
    reset_ring_counters();
    start_conversion(handle);
    return 0;
}

KV318_EXPORT int32_t KV318_CALL KV318_M_Read(int32_t handle, int32_t* samples, int32_t* carry, int32_t reserved) {
    (void)reserved;
    if (samples == nullptr || carry == nullptr || stream_running()) return -1;
    // A failed status read is a failed request: -1 with the carry unchanged,
    // whichever of the two reads it is.
    if (!acquisition_enabled(RegRead8(handle, reg::kStatus))) return -1;
    const std::int32_t status = RegRead8(handle, reg::kStatus);
    if (status < 0) return -1;
    const FifoLevel fifo = fifo_level(status);
    if (fifo.level == 0) return 0;

    std::int32_t b = 0;
    if (*carry & kCarryPresent) PolledBuffer[b++] = static_cast<std::uint8_t>(*carry & 0xFF);
    EmptyReplyRun empty;
    while (b < fifo.level) {
        // BulkIn never reports more than chunk + 1 bytes, the capacity it offers.
        const std::int32_t n = BulkIn(handle, TransferBuffer, fifo.chunk);
        LastChunk = n;
        if (n < 0) {
            // The bytes drained so far are dropped and the carry keeps its value.
            LastChunk = 0;
            return -1;
        }
        // A reply of 0 bytes adds nothing, and the loop asks again.
        std::memcpy(PolledBuffer + b, TransferBuffer, static_cast<std::size_t>(n));
        b += n;
        // A board that stopped delivering ends the call with what it has:
        // those bytes are converted below, and an odd last one is carried.
        if (empty.stalled_after(n)) break;
    }
    const std::int32_t m = b / 2;
    convert_samples(PolledBuffer, samples, static_cast<std::size_t>(m));
    *carry = (b & 1) != 0 ? kCarryPresent | PolledBuffer[b - 1] : 0;
    return m;
}

KV318_EXPORT int32_t KV318_CALL KV318_M_StopAD(int32_t handle) {
    // Another process's acquisition on that board is not ours to stop.
    if (!board_held_by_another(handle)) (void)RegRead8(handle, reg::kMode);
    unlock_board_for(handle, AcquisitionKind::Polled);
    return 0;
}

}  // extern "C"
