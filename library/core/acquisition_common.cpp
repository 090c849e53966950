#include "acquisition_common.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "bytes.h"
#include "registers.h"

namespace kv318 {

Handle AcqDevice = 0;
std::atomic<std::int32_t> AcqRunning{0};
std::int32_t AcqFault = 0;
std::atomic<std::int32_t> DrainBusy{0};
FlagWaiter DrainWaiter;
std::atomic<std::uint8_t> ReaderBusy{0};
std::uint8_t RingBuffer[kRingSize];
std::int32_t RingWritePos = 0;
std::int32_t RingReadPos = 0;
std::int32_t RingCount = 0;
std::uint8_t TransferBuffer[kTransferSize];
std::int32_t LastChunk = 0;
std::int32_t TickTotal = 0;
TimerHandle TimerId = 0;
char LastErrorText[kErrorTextSize];
FailedRequest AcqFaultRequest;
std::uint8_t PolledBuffer[kPolledSize];
std::atomic<std::int32_t> AcqSession{kSessionIdle};
std::atomic<Handle> AcqSessionHandle{kInvalidHandle};

bool claim_start(std::int32_t* seen) {
    std::int32_t state = kSessionIdle;
    if (AcqSession.compare_exchange_strong(state, kSessionStarting)) return true;
    if (seen != nullptr) *seen = state;
    return false;
}

const char* start_call(AcquisitionKind kind) { return kind == AcquisitionKind::Stream ? "KV318_AD" : "KV318_M_AD"; }

void finish_start(std::int32_t outcome, Handle h) {
    if (outcome != kSessionIdle) AcqSessionHandle.store(h);
    AcqSession.store(outcome);
}

std::uint8_t mode_byte(std::int32_t flag1, std::int32_t flag2, std::int32_t flag3, std::int32_t flag4) {
    return static_cast<std::uint8_t>((flag1 & 1) | ((flag3 & 1) << 1) | ((flag2 & 1) << 2) | ((flag4 & 1) << 3));
}

std::uint16_t divider_value(std::int32_t divider) {
    const std::int32_t d = divider & kDividerMask;
    return static_cast<std::uint16_t>(d < kMinDivider ? kMinDivider : d);
}

std::int32_t configure_conversion(Handle h, std::int32_t flag1, std::int32_t flag2, std::int32_t flag3,
                                  std::int32_t flag4, std::int32_t divider) {
    // Conversion stops before the pipe is reset and the mode and divider change.
    if (RegRead8(h, reg::kMode) < 0) return -1;
    if (ResetUsb(h) < 0) return -1;
    if (RegWrite8(h, reg::kMode, mode_byte(flag1, flag2, flag3, flag4)) < 0) return -1;
    if (RegWrite16(h, reg::kDivider, divider_value(divider)) < 0) return -1;
    return 0;
}

void start_conversion(Handle h) {
    (void)RegRead8(h, reg::kMode);
    (void)RegRead8(h, reg::kStart);
}

void reset_ring_counters() {
    LastChunk = 0;
    TickTotal = 0;
    ReaderBusy.store(0);
    RingReadPos = 0;
    RingWritePos = 0;
    RingCount = 0;
}

namespace {
constexpr std::array<FifoLevel, kFifoLevelCodes> make_level_table() {
    std::array<FifoLevel, kFifoLevelCodes> t{};
    for (std::size_t code = 0; code < t.size(); ++code) {
        const std::int32_t level = kFifoLevels[code];
        t[code] = FifoLevel{level, level == 0 ? 0 : std::clamp(2 * level, kMinChunk, kMaxChunk)};
    }
    return t;
}
constexpr std::array<FifoLevel, kFifoLevelCodes> kLevelTable = make_level_table();

// A bulk reply (chunk + 1 bytes at most) always fits the landing area.
static_assert(static_cast<std::size_t>(kMaxChunk) + 1 <= kTransferSize);

// The words of a start refused by the claim, which saw `state`.
void record_claim_refusal(const char* call, std::int32_t state) {
    const int h = static_cast<int>(AcqSessionHandle.load());
    if (state == kSessionStream)
        record_failure(call, "a stream is already running (on handle %d); call KV318_StopAD first", h);
    else if (state == kSessionPolled)
        record_failure(call, "a polled run is already running (on handle %d); call KV318_M_StopAD first", h);
    else record_failure(call, "another thread is starting or stopping an acquisition");
}

}  // namespace

FifoLevel fifo_level(std::int32_t status) {
    // A failed read is -1, every bit set: read as bits, it would spell code 7
    // and send a drain after 256 KiB that were never reported.
    if (status < 0) return kLevelTable[0];
    return kLevelTable[status_level_code(static_cast<std::uint32_t>(status))];
}

bool acquisition_enabled(std::int32_t status) { return status >= 0 && (status & kStatusEnabledBit) != 0; }

DrainEnd drain_fifo(Handle h, const FifoLevel& fifo, std::int32_t* total, std::uint64_t startMs, std::uint32_t limitMs,
                    DrainSink& sink) {
    std::int32_t emptyRun = 0;
    for (;;) {
        const std::int32_t ask = *total < fifo.level ? fifo.chunk : kMaxChunk;
        const std::int32_t n = BulkIn(h, TransferBuffer, ask);
        LastChunk = n;
        if (n < 0) {
            LastChunk = 0;
            return DrainEnd::Failed;
        }
        *total += n;
        const bool room = n == 0 || sink.take(TransferBuffer, n);
        // Below the level a short or empty reply is a hiccup and the loop
        // asks again; once the level is held, a short reply means the board
        // had no full chunk more.
        if (*total >= fifo.level && n < ask) return DrainEnd::RanDry;
        if (!room) return DrainEnd::Full;
        emptyRun = n == 0 ? emptyRun + 1 : 0;
        if (emptyRun >= kMaxEmptyReplies) return DrainEnd::Stalled;
        if (!sink.go_on()) return DrainEnd::Stopped;
        if (device_service().now_ms() - startMs >= limitMs) return DrainEnd::TimeUp;
    }
}

DrainOutcome drain_outcome(DrainEnd end) {
    if (end == DrainEnd::RanDry) return DrainOutcome::RanDry;
    return end == DrainEnd::TimeUp ? DrainOutcome::TimeBound : DrainOutcome::Other;
}

void convert_samples(const std::uint8_t* bytes, std::int32_t* samples, std::size_t count) {
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // On a little-endian host the bytes already are int16 values.  Blocks
        // of a fixed size, copied out first, let the compiler widen them with
        // vector instructions: it need not fear that a store to `samples`
        // changes `bytes`, and the inner trip count is known.
        constexpr std::size_t kBlock = 16;
        for (; i + kBlock <= count; i += kBlock) {
            std::int16_t block[kBlock];
            std::memcpy(block, bytes + 2 * i, sizeof block);
            for (std::size_t k = 0; k < kBlock; ++k) samples[i + k] = block[k];
        }
    }
    for (; i < count; ++i) samples[i] = get_s16le(bytes + 2 * i);
}

bool begin_start(Handle h, AcquisitionKind kind, std::int32_t flag1, std::int32_t flag2, std::int32_t flag3,
                 std::int32_t flag4, std::int32_t divider, BoardLockStep* lock) {
    const char* call = start_call(kind);
    std::int32_t seen = kSessionIdle;
    if (!claim_start(&seen)) {
        record_claim_refusal(call, seen);
        return false;
    }
    // Another process streaming or polling this board: refused before a
    // byte reaches the board, so its acquisition goes on unharmed.
    LockRefusal refusal;
    *lock = lock_board_for(h, kind, &refusal);
    if (*lock == BoardLockStep::Refused) {
        finish_start(kSessionIdle, h);
        record_lock_refusal(call, refusal);
        return false;
    }
    if (configure_conversion(h, flag1, flag2, flag3, flag4, divider) < 0) {
        // The text first: giving the lock back makes no request, but the
        // note of the failed one must be read before anything else runs.
        record_request_failure(call, "configuring the board");
        abandon_start(h, kind, *lock);
        return false;
    }
    return true;
}

void abandon_start(Handle h, AcquisitionKind kind, BoardLockStep lock) {
    if (lock == BoardLockStep::Taken) unlock_board_for(h, kind);
    finish_start(kSessionIdle, h);
}

}  // namespace kv318
