#include "fifo_verdict.h"

#include <cstdio>

#include "register_map.h"

namespace kv318::analysis {

namespace {

// A 128-bit unsigned number as two halves: the rule's products reach 2^108
// and 32-bit builds have no 128-bit integer type.
struct U128 {
    std::uint64_t hi, lo;
};

U128 multiply(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t aLo = a & 0xFFFFFFFFu, aHi = a >> 32, bLo = b & 0xFFFFFFFFu, bHi = b >> 32;
    const std::uint64_t ll = aLo * bLo, lh = aLo * bHi, hl = aHi * bLo, hh = aHi * bHi;
    const std::uint64_t middle = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    return {hh + (lh >> 32) + (hl >> 32) + (middle >> 32), (middle << 32) | (ll & 0xFFFFFFFFu)};
}

U128 half(U128 x) { return {x.hi >> 1, (x.lo >> 1) | (x.hi << 63)}; }

bool greater(U128 a, U128 b) { return a.hi != b.hi ? a.hi > b.hi : a.lo > b.lo; }

}  // namespace

std::uint32_t board_divider(std::int64_t divider) {
    const auto d = static_cast<std::uint32_t>(divider & kDividerMask);
    return d < kMinDivider ? kMinDivider : d;
}

bool fifo_could_overflow(std::uint64_t clockHz, std::int64_t divider, std::uint64_t fifoBytes, std::uint64_t gapUs) {
    // 2 x 2^64 x 2^64 overflows even 128 bits, so gap x clock is compared
    // with half the right side, which stays exact: for whole numbers,
    // 2ab > r  <=>  ab > floor(r / 2) when r >= 0.
    if (fifoBytes <= kDrainChunkBytes) {
        // No room at all beyond the chunk left behind: any gap at all, and
        // with a FIFO smaller than one chunk even none, may lose samples.
        return fifoBytes < kDrainChunkBytes || (clockHz > 0 && gapUs > 0);
    }
    // divider x 1e6 < 2^32, so the room is one 64 x 64-bit product.
    const U128 room = multiply(fifoBytes - kDrainChunkBytes, std::uint64_t{board_divider(divider)} * 1'000'000u);
    return greater(multiply(clockHz, gapUs), half(room));
}

FifoVerdict fifo_verdict(std::uint64_t clockHz, std::int64_t divider, std::uint64_t fifoBytes,
                         std::uint64_t longestGapUs, std::span<const std::uint64_t> gapHistogram) {
    FifoVerdict v;
    v.longestGapUs = longestGapUs;
    v.fifoBytes = fifoBytes;
    v.bytesPerSecond = 2.0 * static_cast<double>(clockHz) / board_divider(divider);
    v.possibleLoss = fifo_could_overflow(clockHz, divider, fifoBytes, longestGapUs);
    if (!v.possibleLoss) return v;
    for (std::size_t k = 0; k < gapHistogram.size(); ++k) {
        // A bucket's longest gap; the last bucket has no upper end.
        const bool last = k + 1 == gapHistogram.size() || k >= 63;
        const std::uint64_t longest = last ? UINT64_MAX : (std::uint64_t{2} << k) - 1;
        if (gapHistogram[k] > 0 && fifo_could_overflow(clockHz, divider, fifoBytes, longest)) {
            v.riskyGaps += gapHistogram[k];
        }
        if (last) break;
    }
    if (v.riskyGaps == 0) v.riskyGaps = 1;  // the longest gap, whatever the histogram says
    return v;
}

std::string fifo_loss_text(const FifoVerdict& v) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "samples may have been lost in the board's FIFO: a gap of %.1f ms between drains at %.1f MB/s "
                  "exceeds its %llu KiB",
                  static_cast<double>(v.longestGapUs) / 1000.0, v.bytesPerSecond / 1e6,
                  static_cast<unsigned long long>(v.fifoBytes / 1024));
    return text;
}

std::string fifo_warning_text(const FifoVerdict& v) {
    return fifo_loss_text(v) + " (" + std::to_string(v.riskyGaps) + (v.riskyGaps == 1 ? " such gap)" : " such gaps)");
}

}  // namespace kv318::analysis
