// Whether the board's FIFO could have run over during an acquisition, from
// the drain statistics the library keeps (KV318_StreamStats).  The board has
// no overflow bit, so this is the only word a program that shows or writes
// samples has on it: kv318-cli ends with exit 5 on it and kv318-scope shows
// it in red.  The rule is tests/vectors/fifo_verdict.csv, which the Python
// package reads as well.  Pure logic, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kv318::analysis {

// The board's FIFO as it ships, and the bulk chunk a drain asks for: the
// last drain may leave up to one chunk behind, so that much of the FIFO is
// never free for the next gap.
inline constexpr std::uint64_t kBoardFifoBytes = 524'288;
inline constexpr std::uint64_t kDrainChunkBytes = 16'384;

// The divider the board converts with when `divider` is written to it: the
// register's low 12 bits, and never below its minimum of 2.
std::uint32_t board_divider(std::int64_t divider);

// True when the bytes that arrive at clockHz / divider samples a second (two
// bytes a sample) during `gapUs` microseconds, plus the chunk a drain may
// leave behind, exceed `fifoBytes`: in exact integers,
// 2 x clockHz x gapUs > (fifoBytes - 16384) x board_divider(divider) x 1e6.
bool fifo_could_overflow(std::uint64_t clockHz, std::int64_t divider, std::uint64_t fifoBytes, std::uint64_t gapUs);

// What the statistics say, for one acquisition.
struct FifoVerdict {
    bool possibleLoss = false;
    // Gaps that may have been that long, counted from the histogram: every
    // gap in a bucket whose longest gap exceeds the limit, at least 1 when
    // possibleLoss (the longest gap itself), 0 otherwise.  It errs towards
    // more, never fewer.
    std::uint64_t riskyGaps = 0;
    std::uint64_t longestGapUs = 0;
    double bytesPerSecond = 0;  // 2 x clockHz / board_divider(divider)
    std::uint64_t fifoBytes = 0;
};

// The verdict on the longest gap and the gap histogram (bucket k counts the
// gaps of 2^k to 2^(k+1) - 1 us; the last bucket every longer one too).
FifoVerdict fifo_verdict(std::uint64_t clockHz, std::int64_t divider, std::uint64_t fifoBytes,
                         std::uint64_t longestGapUs, std::span<const std::uint64_t> gapHistogram);

// "samples may have been lost in the board's FIFO: a gap of 100.0 ms between
// drains at 26.0 MB/s exceeds its 512 KiB": the words every tool prints for
// a possible loss (the gap in ms and the rate with one decimal, the FIFO in
// whole KiB).  Only meaningful when v.possibleLoss.
std::string fifo_loss_text(const FifoVerdict& v);

// The same with the count of such gaps, as the tools show it: "... exceeds
// its 512 KiB (3 such gaps)", or "(1 such gap)".
std::string fifo_warning_text(const FifoVerdict& v);

}  // namespace kv318::analysis
