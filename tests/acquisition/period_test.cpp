// The stream's timer period follows the rate the FIFO levels show: 10 ms
// below a quarter of the FIFO a tick, 2 ms above, back to 10 ms after a run
// of low ticks.  Ticks are fired by hand against the recording device, so
// every request on the wire and every period change is seen exactly.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "KV318.h"
#include "acquisition.h"
#include "board_model.h"
#include "drain_period.h"
#include "manual_timer.h"
#include "recording_device.h"

namespace kv318::test {
namespace {

constexpr Handle kH = 0x47;

// `times` ticks in a row whose status reports `level` bytes.
struct LevelRun {
    std::int32_t level;
    int times;
};

std::vector<std::uint32_t> periods_after(DrainPeriod& rule, const std::vector<LevelRun>& runs) {
    std::vector<std::uint32_t> after;
    for (const LevelRun& r : runs) {
        std::uint32_t p = rule.period_ms();
        for (int i = 0; i < r.times; ++i) p = rule.after_status(r.level);
        after.push_back(p);
    }
    return after;
}

TEST(DrainPeriodRule, AQuarterOfTheFifoGoesShortAndARunOfLowTicksGoesBack) {
    constexpr int kRun = kLowTicksForLongPeriod;
    struct Case {
        const char* what;
        std::vector<LevelRun> runs;
        std::vector<std::uint32_t> periods;  // after each run
    };
    const Case cases[] = {
        {"every level below a quarter stays long",
         {{0, 3}, {1024, 3}, {4096, 3}, {16384, 3}, {32768, 3}, {65536, 100}},
         {10, 10, 10, 10, 10, 10}},
        {"a quarter goes short at once", {{65536, 1}, {131072, 1}}, {10, 2}},
        {"the top level goes short", {{262144, 1}}, {2}},
        {"one low tick short of the run stays short", {{262144, 1}, {0, kRun - 1}}, {2, 2}},
        {"the whole run of low ticks goes back", {{262144, 1}, {4096, kRun}}, {2, 10}},
        {"a tick at 16 KiB starts the run again",
         {{131072, 1}, {0, kRun - 1}, {16384, 1}, {1024, kRun - 1}, {0, 1}},
         {2, 2, 2, 2, 10}},
        {"levels of the short period's own rate keep it short", {{262144, 1}, {32768, 1000}}, {2, 2}},
        {"back at the long period, a quarter goes short again",
         {{131072, 1}, {0, kRun}, {65536, 1}, {131072, 1}},
         {2, 10, 10, 2}},
    };
    for (const Case& c : cases) {
        DrainPeriod rule;
        EXPECT_EQ(rule.period_ms(), kLongPeriodMs) << c.what;
        EXPECT_EQ(periods_after(rule, c.runs), c.periods) << c.what;
    }
}

class Period : public ::testing::Test {
protected:
    void TearDown() override { KV318_StopAD(kH); }
    void start() {
        ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 2), 0);
        dev.clear();
    }
    // One tick at level `code`, with the board holding just the level: a
    // chunk larger than the level comes back short, as on a quiet board;
    // else the level comes in full chunks and the next full-size ask short.
    // Returns the tick's requests.
    std::vector<Request> tick_at(std::uint32_t code) {
        board.set_status(static_cast<int>(status_with_level(code)));
        const FifoLevel f = fifo_level(static_cast<std::int32_t>(status_with_level(code)));
        if (f.chunk > f.level) {
            board.queue_bulk({f.level});
        } else if (f.level > 0) {
            board.queue_bulk_n(f.chunk, f.level / f.chunk);
            board.queue_bulk({100});
        }
        dev.clear();
        EXPECT_TRUE(timer.fire());
        RingCount = 0;  // the ring's bytes are not this test's concern
        return dev.requests();
    }

    RecordingDevice dev;
    BoardModel board{dev};
    ManualTimer timer;
};

// Each tick sends what it always sent, whatever the period: the status
// read, then the level's chunks.  Only a quarter of the FIFO or more moves
// the timer; a quiet board never does, and a run of low ticks moves it back.
TEST_F(Period, TheTimerFollowsTheLevelsAndEveryTicksRequestsStayTheSame) {
    struct CodeRun {
        std::uint32_t code;
        int times;
    };
    struct Case {
        const char* what;
        std::vector<CodeRun> runs;
        std::vector<std::uint32_t> periodsSet;  // what the ticks asked the timer for
    };
    const Case cases[] = {
        {"a quiet board", {{0, 20}, {1, 20}, {2, 20}, {3, 20}, {4, 20}, {5, 20}}, {}},
        {"a quarter of the FIFO", {{6, 1}, {6, 30}}, {2}},
        {"the top level, then a quiet board", {{7, 3}, {0, kLowTicksForLongPeriod}}, {2, 10}},
        {"short, long, short", {{7, 1}, {1, kLowTicksForLongPeriod}, {5, 10}, {6, 1}}, {2, 10, 2}},
    };
    for (const Case& c : cases) {
        start();
        const std::size_t before = timer.periods_set().size();
        // What a tick at each level sends at the long period, before any change.
        std::vector<std::vector<Request>> first(kFifoLevelCodes);
        for (const CodeRun& r : c.runs) {
            for (int i = 0; i < r.times; ++i) {
                const auto sent = tick_at(r.code);
                ASSERT_FALSE(sent.empty()) << c.what;
                EXPECT_EQ(sent[0].in, command_bytes(kCmdRead8, 0)) << c.what;
                auto& want = first[r.code];
                if (want.empty()) want = sent;
                ASSERT_EQ(sent.size(), want.size()) << c.what << ", code " << r.code;
                for (std::size_t k = 0; k < sent.size(); ++k) {
                    EXPECT_EQ(sent[k].code, want[k].code) << c.what;
                    EXPECT_EQ(sent[k].in, want[k].in) << c.what;
                    EXPECT_EQ(sent[k].outCap, want[k].outCap) << c.what;
                }
            }
        }
        const auto set = timer.periods_set();
        EXPECT_EQ(std::vector<std::uint32_t>(set.begin() + static_cast<std::ptrdiff_t>(before), set.end()),
                  c.periodsSet)
            << c.what;
        EXPECT_EQ(timer.period_ms(), c.periodsSet.empty() ? kLongPeriodMs : c.periodsSet.back()) << c.what;
        EXPECT_EQ(board.bulk_left(), 0u) << c.what;
        KV318_StopAD(kH);
        EXPECT_FALSE(timer.live()) << c.what << ": the stop cancels the timer at either period";
    }
    for (const CreatedTimer& t : timer.created()) EXPECT_EQ(t.periodMs, kLongPeriodMs) << "every stream starts long";
}

// A timer that cannot take the short period ticks on at the long one, and
// every tick that still finds a quarter of the FIFO asks again; a new
// stream starts long even when the last one ended short.
TEST_F(Period, ARefusedChangeIsAskedAgainAndANewStreamStartsLong) {
    start();
    timer.set_period_fails(true);
    tick_at(7);
    tick_at(6);
    EXPECT_TRUE(timer.periods_set().empty());
    EXPECT_EQ(timer.period_ms(), kLongPeriodMs);
    timer.set_period_fails(false);
    tick_at(7);
    EXPECT_EQ(timer.periods_set(), std::vector<std::uint32_t>{kShortPeriodMs});

    KV318_StopAD(kH);
    start();
    EXPECT_EQ(timer.period_ms(), kLongPeriodMs);
    tick_at(7);
    EXPECT_EQ(timer.periods_set(), (std::vector<std::uint32_t>{kShortPeriodMs, kShortPeriodMs}))
        << "the new stream's rule began long";
}

// At the short period a tick that finds the reader holding the ring waits
// for it within its own 2 ms, in 1 ms sleeps, and drains once the reader
// lets go; a reader that holds on costs that tick only.  The flags end
// lowered either way.
TEST_F(Period, AtTheShortPeriodATickWaitsForTheReaderWithinTwoMilliseconds) {
    struct Case {
        std::size_t releaseAfterSleeps;  // 0: the reader never lets go
        bool drains;
    };
    const Case cases[] = {{1, true}, {0, false}};
    for (const Case& c : cases) {
        start();
        tick_at(7);
        ASSERT_EQ(timer.period_ms(), kShortPeriodMs);
        board.set_status(static_cast<int>(status_with_level(1)));
        if (c.drains) board.queue_bulk({1500});
        ReaderBusy.store(1);
        dev.clear();
        dev.set_sleep_hook([&](std::size_t n) {
            if (n == c.releaseAfterSleeps) ReaderBusy.store(0);
        });
        EXPECT_TRUE(timer.fire());
        dev.set_sleep_hook(nullptr);
        ReaderBusy.store(0);
        EXPECT_EQ(bulk_asks(dev.requests()).size(), c.drains ? 1u : 0u) << c.releaseAfterSleeps;
        EXPECT_EQ(RingCount, c.drains ? 1500 : 0) << c.releaseAfterSleeps;
        EXPECT_EQ(DrainBusy.load(), 0);
        const std::size_t waited = c.drains ? c.releaseAfterSleeps : kShortPeriodMs;
        EXPECT_EQ(dev.sleeps(), std::vector<std::uint32_t>(waited + 1, 1)) << c.releaseAfterSleeps;
        EXPECT_EQ(board.bulk_left(), 0u);
        KV318_StopAD(kH);
        RingCount = 0;
    }
}

}  // namespace
}  // namespace kv318::test
