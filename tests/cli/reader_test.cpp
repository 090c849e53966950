// The one reader the programs share: what each failed read means, and the
// index every read's samples carry, against the scripted board.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "fake_board.h"
#include "reader.h"

namespace kv318::pipeline {
namespace {

using cli::test::FakeBoard;

TEST(Reader, AFailedReadIsClassifiedOnceByItsResultAndTheStatusRegister) {
    const struct {
        bool polled;
        std::int32_t n;
        std::int32_t status;
        ReadEnd want;
    } cases[] = {
        {false, -2, 0x04, ReadEnd::kRingOverflow},  {false, -1, 0x00, ReadEnd::kNotEnabled},
        {false, -1, 0x04, ReadEnd::kNotEnabled},    {false, -1, -1, ReadEnd::kTransferFault},
        {false, -3, 0x04, ReadEnd::kTransferFault}, {false, -3, -1, ReadEnd::kTransferFault},
        {false, -2, -1, ReadEnd::kRingOverflow},    {true, -1, 0x00, ReadEnd::kNotEnabled},
        {true, -1, 0x04, ReadEnd::kTransferFault},  {true, -1, -1, ReadEnd::kTransferFault},
    };
    const BoardApi api = cli::test::fake_api();
    for (const auto& c : cases) {
        FakeBoard::reset();
        FakeBoard::get().status = c.status;
        EXPECT_EQ(classify_read_failure(api, 1, c.polled, c.n), c.want)
            << (c.polled ? "polled " : "stream ") << c.n << " status " << c.status;
    }
    EXPECT_STREQ(read_end_text(ReadEnd::kNone), "");
    for (const ReadEnd e : {ReadEnd::kNotEnabled, ReadEnd::kRingOverflow, ReadEnd::kTransferFault}) {
        EXPECT_STRNE(read_end_text(e), "");
    }
}

// KV318_ServedStatus as the library answers it for a board of this process,
// counted.
int g_statusAsks = 0;
std::int32_t KV318_CALL local_status(std::int32_t, KV318_SERVED_STATUS*) {
    ++g_statusAsks;
    return -1;
}

TEST(Reader, ReadsCarryTheirIndexAndAFailureEndsTheRunUntilARestart) {
    for (const bool polled : {false, true}) {
        FakeBoard::reset();
        BoardApi api = cli::test::fake_api();
        api.servedStatus = local_status;
        g_statusAsks = 0;
        FakeBoard::get().reads = {100, 0, 50, polled ? -1 : -2};
        FakeBoard::get().status = polled ? 0x00 : 0x04;
        Reader r(api, 1);
        ReaderSettings s;
        s.polled = polled;
        s.divider = 7;
        s.flags[2] = 1;
        s.period = std::chrono::milliseconds(1);
        ASSERT_EQ(r.start(s), 0);
        EXPECT_EQ(FakeBoard::get().lastDivider, 7);
        EXPECT_EQ(FakeBoard::get().lastFlags[2], 1);
        std::atomic<bool> stop{false};
        ReadBlock b;
        std::vector<std::uint64_t> firsts;
        std::uint64_t sample = 0;
        while (r.next(&b, stop)) {
            firsts.push_back(b.firstIndex);
            for (std::size_t i = 0; i < b.count; ++i) ASSERT_EQ(b.samples[i], FakeBoard::ramp(sample++));
            EXPECT_GT(b.hostTimeUs, 0);
        }
        EXPECT_EQ(firsts, (std::vector<std::uint64_t>{0, 100, 100})) << polled;
        EXPECT_EQ(g_statusAsks, 2) << "once at the start, once for the failed read; never at each read";
        EXPECT_EQ(r.samples(), 150u);
        EXPECT_EQ(r.end(), polled ? ReadEnd::kNotEnabled : ReadEnd::kRingOverflow);
        EXPECT_EQ(r.failure_result(), polled ? -1 : -2);
        EXPECT_EQ(r.stop(), 0);
        EXPECT_EQ(r.stop(), -1);  // stopped once only
        EXPECT_EQ(FakeBoard::get().stops, 1);

        // A new run counts from 0 and has not failed.
        FakeBoard::get().reads = {5};
        ASSERT_EQ(r.start(s), 0);
        ASSERT_TRUE(r.next(&b, stop));
        EXPECT_EQ(b.firstIndex, 0u);
        EXPECT_EQ(b.count, 5u);
        EXPECT_EQ(r.end(), ReadEnd::kNone);
        r.stop();
    }
}

TEST(Reader, AStopOrADeadlineCutsTheWaitForTheNextVisit) {
    FakeBoard::reset();
    const BoardApi api = cli::test::fake_api();
    FakeBoard::get().reads = {10, 10, 10};
    Reader r(api, 1);
    ReaderSettings s;
    s.period = std::chrono::hours(1);
    ASSERT_EQ(r.start(s), 0);
    std::atomic<bool> stop{false};
    ReadBlock b;
    ASSERT_TRUE(r.next(&b, stop));  // the first visit is due at once
    // An hour's wait, cut by a deadline just past and by a stop.
    ASSERT_TRUE(r.next(&b, stop, std::chrono::steady_clock::now()));
    EXPECT_EQ(b.firstIndex, 10u);
    stop = true;
    ASSERT_TRUE(r.next(&b, stop));
    EXPECT_EQ(b.firstIndex, 20u);
    EXPECT_EQ(r.samples(), 30u);
    r.stop();
}

TEST(Reader, TakesOnARunTheCallerStartedAndStopsIt) {
    for (const bool polled : {false, true}) {
        FakeBoard::reset();
        FakeBoard::get().reads = {20};
        const BoardApi api = cli::test::fake_api();
        Reader r(api, 1);
        ReaderSettings s;
        s.polled = polled;
        s.period = std::chrono::hours(1);
        r.adopt(s);
        EXPECT_EQ(FakeBoard::get().starts, 0) << "nothing is started twice";
        EXPECT_EQ(r.capacity(), polled ? kPolledReadCapacity : kReadCapacity);
        std::vector<std::int32_t> mine(r.capacity());
        std::atomic<bool> stop{false};
        ReadBlock b;
        ASSERT_TRUE(r.next(&b, stop, std::chrono::steady_clock::time_point::max(), mine.data()));
        EXPECT_EQ(b.samples, mine.data()) << "read into the caller's array";
        EXPECT_EQ(mine[7], FakeBoard::ramp(7));
        // A polled read that brought samples is followed at once; a stream
        // read that did not fill the array waits for the beat.
        EXPECT_EQ(r.due() <= std::chrono::steady_clock::now(), polled);
        EXPECT_EQ(r.polled(), polled);
        EXPECT_EQ(r.stop(), 0);
        EXPECT_EQ(FakeBoard::get().stops, 1);
    }
}

TEST(Reader, AStartTheBoardRefusesReadsNothing) {
    FakeBoard::reset();
    FakeBoard::get().startResult = -1;
    const BoardApi api = cli::test::fake_api();
    Reader r(api, 1);
    EXPECT_EQ(r.start(ReaderSettings{}), -1);
    EXPECT_EQ(r.stop(), -1);
    EXPECT_EQ(FakeBoard::get().stops, 0);
}

}  // namespace
}  // namespace kv318::pipeline
