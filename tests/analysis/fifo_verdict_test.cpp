// The FIFO verdict against the shared table (tests/vectors/fifo_verdict.csv,
// which the Python package reads too), the count of risky gaps from the
// histogram, and the words every tool prints.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "csv_rows.h"
#include "fifo_verdict.h"

namespace kv318::analysis {
namespace {

const char* const kCsv =
#include "fifo_verdict_csv.inc"
    ;

struct Case {
    std::uint64_t clockHz, fifoBytes, gapUs;
    std::int64_t divider;
    bool loss;
    std::string line;
};

std::vector<Case> load() {
    std::vector<Case> out;
    for (const auto& f : test::csv_rows(kCsv, "clock_hz,divider,fifo_bytes,longest_gap_us,possible_loss")) {
        out.push_back({std::stoull(f[0]), std::stoull(f[2]), std::stoull(f[3]), std::stoll(f[1]), f[4] == "1",
                       f[0] + "," + f[1] + "," + f[2] + "," + f[3] + "," + f[4]});
    }
    return out;
}

TEST(FifoVerdict, GivesEveryAnswerOfTheSharedTable) {
    const auto cases = load();
    // Both answers on both sides of a limit, or a shrunken table passes.
    ASSERT_GE(cases.size(), 20u);
    int losses = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(fifo_could_overflow(c.clockHz, c.divider, c.fifoBytes, c.gapUs), c.loss) << c.line;
        const std::uint64_t none[1] = {0};
        EXPECT_EQ(fifo_verdict(c.clockHz, c.divider, c.fifoBytes, c.gapUs, none).possibleLoss, c.loss) << c.line;
        losses += c.loss ? 1 : 0;
    }
    EXPECT_GT(losses, 0);
    EXPECT_LT(losses, static_cast<int>(cases.size()));
}

TEST(FifoVerdict, TakesTheDividerAsTheBoardDoes) {
    // The register keeps 12 bits and runs from 2: 4096 + 50 is 50, 1 is 2.
    EXPECT_EQ(board_divider(4146), 50u);
    EXPECT_EQ(board_divider(1), 2u);
    EXPECT_EQ(board_divider(4096), 2u);
    EXPECT_EQ(board_divider(4095), 4095u);
    EXPECT_EQ(fifo_could_overflow(2'000'000, 4146, kBoardFifoBytes, 6'348'801),
              fifo_could_overflow(2'000'000, 50, kBoardFifoBytes, 6'348'801));
    EXPECT_TRUE(fifo_could_overflow(26'000'000, 1, kBoardFifoBytes, 19'535));
}

TEST(FifoVerdict, CountsEveryGapWhoseBucketMayExceedTheLimit) {
    // 26 MHz / 2: the limit is 19,534 us, inside bucket 14 (16,384-32,767).
    std::vector<std::uint64_t> h(32, 0);
    h[10] = 500;  // ~1 ms: the usual tick
    h[13] = 7;    // up to 16,383 us: cannot exceed
    h[14] = 3;    // may
    h[16] = 2;    // 65-131 ms: does
    h[31] = 1;    // the open-ended last bucket
    const FifoVerdict v = fifo_verdict(26'000'000, 2, kBoardFifoBytes, 100'000, h);
    EXPECT_TRUE(v.possibleLoss);
    EXPECT_EQ(v.riskyGaps, 6u);
    EXPECT_EQ(v.longestGapUs, 100'000u);

    // No possible loss: nothing counted, whatever the buckets' upper ends.
    EXPECT_EQ(fifo_verdict(26'000'000, 2, kBoardFifoBytes, 19'000, h).riskyGaps, 0u);
    // A longest gap over the limit always counts at least itself.
    const std::vector<std::uint64_t> empty(32, 0);
    EXPECT_EQ(fifo_verdict(26'000'000, 2, kBoardFifoBytes, 19'535, empty).riskyGaps, 1u);
}

TEST(FifoVerdict, SaysTheGapTheRateAndTheFifo) {
    const FifoVerdict v = fifo_verdict(26'000'000, 2, kBoardFifoBytes, 100'049, {});
    EXPECT_EQ(fifo_loss_text(v),
              "samples may have been lost in the board's FIFO: a gap of 100.0 ms between drains at "
              "26.0 MB/s exceeds its 512 KiB");
    EXPECT_EQ(fifo_warning_text(v), fifo_loss_text(v) + " (1 such gap)");
    const std::vector<std::uint64_t> h = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4};
    EXPECT_EQ(fifo_warning_text(fifo_verdict(26'000'000, 2, kBoardFifoBytes, 100'049, h)),
              fifo_loss_text(v) + " (4 such gaps)");
    const FifoVerdict w = fifo_verdict(2'000'000, 3, 4'194'304, 2'123'456, {});
    EXPECT_EQ(fifo_loss_text(w),
              "samples may have been lost in the board's FIFO: a gap of 2123.5 ms between drains "
              "at 1.3 MB/s exceeds its 4096 KiB");
}

}  // namespace
}  // namespace kv318::analysis
