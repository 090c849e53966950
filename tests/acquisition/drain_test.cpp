// Draining until the board runs dry, in both modes, and the drain
// statistics KV318_StreamStats hands out.  Ticks are fired by hand and the
// recording device's clock moves only as a test says, so every bound and
// every gap is seen exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "KV318.h"
#include "acquisition.h"
#include "board_model.h"
#include "channel_frame.h"
#include "drain_stats.h"
#include "manual_timer.h"
#include "recording_device.h"
#include "wait.h"

namespace kv318::test {
namespace {

constexpr Handle kH = 0x43;
constexpr std::uint32_t kFull = kMaxChunk;

std::vector<int> join(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

KV318_STREAM_STATS stats_of(Handle h) {
    KV318_STREAM_STATS s{};
    s.size = sizeof s;
    EXPECT_EQ(KV318_StreamStats(h, &s), 0);
    return s;
}

class Drain : public ::testing::Test {
protected:
    void TearDown() override {
        KV318_StopAD(kH);
        KV318_M_StopAD(kH);
    }
    void start_stream() {
        ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 2), 0);
        dev.clear();
    }
    void tick() { ASSERT_TRUE(timer.fire()); }
    // Empties the ring, checking that it holds exactly what the board gave.
    void check_ring_holds_all_delivered() {
        std::vector<std::int32_t> all;
        for (std::int32_t n; (n = KV318_Read(kH, samples.data())) > 0;)
            all.insert(all.end(), samples.begin(), samples.begin() + n);
        EXPECT_EQ(all, expected_samples(board->delivered()));
    }

    RecordingDevice dev;
    std::unique_ptr<BoardModel> board = std::make_unique<BoardModel>(dev);
    ManualTimer timer;
    std::vector<std::int32_t> samples = std::vector<std::int32_t>(KV318_READ_MAX_SAMPLES);
};

// After the level, a tick asks for full chunks as long as the board answers
// them in full; a short reply, its time bound, a full ring or a stop end it.
// A board whose replies to the level's chunks come back short (a quiet
// board: the chunk is twice the level) sees exactly the requests it always
// saw.
TEST_F(Drain, ATickGoesOnWhileTheBoardAnswersInFull) {
    struct Case {
        const char* what;
        std::uint32_t code;
        std::vector<int> replies;
        std::uint64_t replyMs;    // how long each reply takes
        std::int32_t ringBefore;  // bytes already in the ring
        int stopAtReply;          // the stream stops during this reply (1-based), or 0
        std::vector<BulkAsk> asks;
    };
    const BulkAsk full{kFull, kFull + 1};
    const std::vector<BulkAsk> level7(16, full);
    auto plus = [](std::vector<BulkAsk> a, std::vector<BulkAsk> b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Case cases[] = {
        {"quiet board: a short reply at the level", 2, {5000}, 0, 0, 0, {{8192, 8193}}},
        {"quiet board: short replies up to the level", 1, {600, 600}, 0, 0, 0, {{2048, 2049}, {2048, 2049}}},
        {"full reply at a small level goes on in 16 KiB chunks",
         1,
         {2048, 16384, 900},
         0,
         0,
         0,
         {{2048, 2049}, full, full}},
        {"top level, then three more full chunks and a short one", 7, join(std::vector<int>(19, 16384), {100}), 0, 0, 0,
         plus(level7, {full, full, full, full})},
        {"an empty reply past the level ends it", 3, {16384, 0}, 0, 0, 0, {full, full}},
        {"the time bound ends it past the level", 3, std::vector<int>(10, 16384), 1, 0, 0,
         std::vector<BulkAsk>(10, full)},
        {"a full ring ends it", 3, {16384, 16384, 16384}, 0, kRingSize - 20000, 0, {full, full}},
        {"a stop ends it", 3, {16384, 16384, 16384}, 0, 0, 2, {full, full}},
    };
    for (const Case& c : cases) {
        start_stream();
        RingCount = c.ringBefore;
        RingWritePos = c.ringBefore & kRingMask;
        RingReadPos = RingWritePos;
        board->set_status(static_cast<int>(status_with_level(c.code)));
        for (int r : c.replies) board->queue_bulk({r});
        int replies = 0;
        board->set_before_bulk([&] {
            dev.advance_ms(c.replyMs);
            if (++replies == c.stopAtReply) AcqRunning.store(0);
        });
        tick();
        board->set_before_bulk(nullptr);
        const auto sent = dev.requests();
        ASSERT_FALSE(sent.empty()) << c.what;
        EXPECT_EQ(sent[0].in, command_bytes(kCmdRead8, 0)) << c.what << ": the status first";
        EXPECT_EQ(bulk_asks(sent), c.asks) << c.what;
        EXPECT_EQ(sent.size(), 1 + c.asks.size()) << c.what << ": nothing else is sent";
        EXPECT_EQ(board->bulk_left(), c.replies.size() - c.asks.size()) << c.what;
        EXPECT_EQ(RingCount - c.ringBefore, static_cast<std::int32_t>(board->delivered().size())) << c.what;
        EXPECT_GE(AcqFault, 0) << c.what;
        RingCount = 0;
        RingReadPos = RingWritePos = 0;
        KV318_StopAD(kH);
        board = std::make_unique<BoardModel>(dev);
    }
}

// A polled read drains the same way, but never holds more than the
// caller's array takes: it asks again only while another reply of a chunk
// and a byte would still fit.
TEST_F(Drain, APolledReadGoesOnInFullUpToItsArray) {
    struct Case {
        const char* what;
        std::uint32_t code;
        std::vector<int> replies;
        std::size_t asked;
        std::int32_t samples;
    };
    const Case cases[] = {
        {"a short reply ends it", 5, join(std::vector<int>(6, 16384), {10}), 7, (6 * 16384 + 10) / 2},
        {"full chunks fill the array exactly", 6, std::vector<int>(20, 16384), 17, KV318_M_READ_MAX_SAMPLES},
        {"chunk + 1 replies stop one short of it", 7, std::vector<int>(20, 16385), 16, 16 * 16385 / 2},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(KV318_M_AD(kH, 0, 0, 0, 0, 2), 0) << c.what;
        board->set_status(static_cast<int>(status_with_level(c.code)));
        for (int r : c.replies) board->queue_bulk({r});
        dev.clear();
        std::vector<std::int32_t> exact(KV318_M_READ_MAX_SAMPLES);
        std::int32_t carry = 0;
        EXPECT_EQ(KV318_M_Read(kH, exact.data(), &carry, 0), c.samples) << c.what;
        EXPECT_EQ(bulk_asks(dev.requests()).size(), c.asked) << c.what;
        const auto got = std::vector<std::int32_t>(exact.begin(), exact.begin() + c.samples);
        EXPECT_EQ(got, expected_samples(board->delivered())) << c.what;
        EXPECT_EQ(stats_of(kH).bytes_drained, board->delivered().size()) << c.what;
        KV318_M_StopAD(kH);
        board = std::make_unique<BoardModel>(dev);
    }
}

// A tick that finds the reader holding the ring waits for it within its
// period instead of losing the period, and gives up when the period ends.
TEST_F(Drain, ATickWaitsForTheReaderWithinItsPeriod) {
    struct Case {
        std::size_t releaseAfterSleeps;  // 0: the reader never lets go
        bool drains;
    };
    const Case cases[] = {{1, true}, {5, true}, {kSamplePeriodMs - 1, true}, {0, false}};
    for (const Case& c : cases) {
        start_stream();
        board->set_status(static_cast<int>(status_with_level(1)));
        board->queue_bulk({1500});
        ReaderBusy.store(1);
        dev.set_sleep_hook([&](std::size_t n) {
            if (n == c.releaseAfterSleeps) ReaderBusy.store(0);
        });
        tick();
        dev.set_sleep_hook(nullptr);
        ReaderBusy.store(0);
        EXPECT_EQ(bulk_asks(dev.requests()).size(), c.drains ? 1u : 0u) << c.releaseAfterSleeps;
        EXPECT_EQ(RingCount, c.drains ? 1500 : 0) << c.releaseAfterSleeps;
        EXPECT_EQ(DrainBusy.load(), 0);
        // Sleeps of 1 ms while waiting, never past the period, then the pause after the tick.
        const std::size_t waited = c.drains ? c.releaseAfterSleeps : kSamplePeriodMs;
        EXPECT_EQ(dev.sleeps(), std::vector<std::uint32_t>(waited + 1, 1)) << c.releaseAfterSleeps;
        KV318_StopAD(kH);
        RingCount = 0;
        board = std::make_unique<BoardModel>(dev);
    }
}

// KV318_Read holds the ring only to look at its counters and to move them:
// a tick that comes while the reader asks the board's status or converts
// drains at once.  Its bytes wait for the next read; if it overflows the
// ring meanwhile, the bytes past the free space are lost, so the read
// reports the overflow instead of its samples, and the bytes it converted
// were never written over.
TEST_F(Drain, ATickDrainsWhileTheReaderWorksAndAnOverflowThenIsReported) {
    struct Case {
        const char* what;
        std::int32_t buffered;  // bytes in the ring when the read begins
        std::int32_t result;
        std::int32_t left;  // bytes in the ring after the read
    };
    const Case cases[] = {
        {"room to spare", 1030, 515, 5000},
        {"the tick overflows the ring", kRingSize - 2000, -2, kRingSize + 3000},
    };
    for (const Case& c : cases) {
        start_stream();
        board->set_status(static_cast<int>(status_with_level(2)));
        // What the ring holds before: bytes the board delivered, then filler
        // counted in but never read.
        board->queue_bulk({1030});
        board->queue_bulk({5000});
        board->set_status(static_cast<int>(status_with_level(1)));
        tick();
        RingCount = c.buffered;
        RingWritePos = c.buffered & kRingMask;
        board->set_status(static_cast<int>(status_with_level(2)));
        bool armed = true;
        board->set_before_request([&](const Request& r) {
            if (armed && r.code == kIoctlCommand) {
                armed = false;
                tick();  // while the reader waits for its status reply
            }
        });
        // The bytes the reader converts: a tick, even an overflowing one,
        // never writes over them while it does.
        const std::vector<std::uint8_t> unread(RingBuffer, RingBuffer + c.buffered);
        EXPECT_EQ(KV318_Read(kH, samples.data()), c.result) << c.what;
        board->set_before_request(nullptr);
        EXPECT_FALSE(armed) << c.what;
        EXPECT_TRUE(std::equal(unread.begin(), unread.end(), RingBuffer)) << c.what;
        EXPECT_EQ(RingCount, c.left) << c.what;
        if (c.result > 0) {
            const auto all = board->delivered();
            EXPECT_EQ(std::vector<std::int32_t>(samples.begin(), samples.begin() + c.result),
                      expected_samples(std::vector<std::uint8_t>(all.begin(), all.begin() + 1030)))
                << c.what;
            ASSERT_EQ(KV318_Read(kH, samples.data()), 2500) << c.what << ": the tick's bytes come next";
            EXPECT_EQ(std::vector<std::int32_t>(samples.begin(), samples.begin() + 2500),
                      expected_samples(std::vector<std::uint8_t>(all.begin() + 1030, all.end())))
                << c.what;
        } else {
            EXPECT_EQ(RingReadPos, 0) << c.what << ": nothing was taken";
            EXPECT_EQ(KV318_Read(kH, samples.data()), -2) << c.what << ": the overflow lasts";
        }
        KV318_StopAD(kH);
        RingCount = 0;
        board = std::make_unique<BoardModel>(dev);
    }
}

// A driver that answers every request late, but within the channel's
// timeout, stretches the time bounds by whole replies: KV318_Read waits for
// the drain in progress (its status read and one bulk read) and makes its
// own status read; KV318_M_Read makes its two status reads and one bulk
// read.  Three replies each, as KV318.h states.  The clock moves only by
// the replies, so the bound is counted exactly.
TEST_F(Drain, SlowRepliesHoldAReadForThreeRepliesAtMost) {
    constexpr std::uint64_t kReplyMs = 1900;
    static_assert(kReplyMs < static_cast<std::uint64_t>(kChannelTimeoutMs));
    constexpr std::uint64_t kBoundMs = 3 * static_cast<std::uint64_t>(kChannelTimeoutMs);

    start_stream();
    board->set_status(static_cast<int>(status_with_level(7)));
    board->queue_bulk_n(16384, 4);
    int asked = 0;
    std::atomic<bool> reading{false};
    board->set_before_request([&](const Request&) {
        // The tick's status read is in flight when the reader comes.
        if (++asked == 1) {
            EXPECT_TRUE(wait_until([&] { return reading.load(); }));
        }
        dev.advance_ms(kReplyMs);
    });
    std::thread ticker([&] { timer.fire(); });
    ASSERT_TRUE(dev.wait_for_requests(1));
    const std::uint64_t t0 = dev.now_ms();
    reading = true;
    EXPECT_GT(KV318_Read(kH, samples.data()), 0);
    const std::uint64_t streamMs = dev.now_ms() - t0;
    ticker.join();
    EXPECT_EQ(asked, 3) << "the tick's status and bulk read, then the reader's status read";
    EXPECT_GE(streamMs, 3 * kReplyMs);
    EXPECT_LE(streamMs, 3 * kReplyMs + 1) << "and the tick's 1 ms pause";
    EXPECT_LE(streamMs, kBoundMs);
    board->set_before_request(nullptr);
    KV318_StopAD(kH);

    ASSERT_EQ(KV318_M_AD(kH, 0, 0, 0, 0, 2), 0);
    board->set_before_request([&](const Request&) { dev.advance_ms(kReplyMs); });
    dev.clear();
    std::int32_t carry = 0;
    const std::uint64_t t1 = dev.now_ms();
    EXPECT_EQ(KV318_M_Read(kH, samples.data(), &carry, 0), 8192);
    const std::uint64_t polledMs = dev.now_ms() - t1;
    EXPECT_EQ(dev.request_count(), 3u) << "two status reads and one bulk read";
    EXPECT_EQ(polledMs, 3 * kReplyMs);
    EXPECT_LE(polledMs, kBoundMs);
    board->set_before_request(nullptr);
}

// The gaps, as KV318.h defines them, on the hand-moved clock: from the last
// moment the FIFO was known low (conversion start, a level-0 status, a
// short reply) to the next status read that starts a drain.  A drain that
// ends otherwise leaves the gap growing.
TEST_F(Drain, GapsRunFromTheLastKnownLowMomentToTheNextDrain) {
    struct Step {
        const char* what;
        std::uint64_t advanceUs;  // before the tick
        std::uint32_t code;
        std::vector<int> replies;
        std::uint64_t replyMs;
        std::uint64_t gap;  // the gap this tick ends, or 0 when it drains nothing
    };
    // Each tick ends with its 1 ms pause for the reader, which the clock counts.
    constexpr std::uint64_t kPause = 1000;
    const Step steps[] = {
        {"first drain, 3 ms after the start", 3000, 2, {5000}, 0, 3000},
        {"a drain the time bound ends", 15000, 7, std::vector<int>(10, 16384), 1, kPause + 15000},
        {"the gap went on growing through it", 5000, 7, join(std::vector<int>(16, 16384), {100}), 0,
         kPause + 15000 + 10000 + kPause + 5000},
        {"a level-0 status marks the FIFO low", 700, 0, {}, 0, 0},
        {"so the next gap is short", 7, 1, {1030}, 0, kPause + 7},
        {"right after the pause", 0, 1, {1030}, 0, kPause},
    };
    start_stream();
    std::uint64_t histogram[KV318_GAP_BUCKETS] = {};
    std::uint64_t bytes = 0;
    std::uint64_t drains = 0;
    for (const Step& s : steps) {
        dev.advance_us(s.advanceUs);
        board->set_status(static_cast<int>(status_with_level(s.code)));
        for (int r : s.replies) board->queue_bulk({r});
        board->set_before_bulk([&] { dev.advance_ms(s.replyMs); });
        tick();
        if (s.code != 0) {
            ++drains;
            ++histogram[gap_bucket(s.gap)];
        }
        for (int r : s.replies) bytes += static_cast<std::uint64_t>(r);
        const KV318_STREAM_STATS st = stats_of(kH);
        EXPECT_EQ(st.gap_histogram[gap_bucket(s.gap)], histogram[gap_bucket(s.gap)]) << s.what;
        EXPECT_EQ(st.bytes_drained, bytes) << s.what;
        EXPECT_EQ(st.drains, drains) << s.what;
    }
    board->set_before_bulk(nullptr);
    const KV318_STREAM_STATS st = stats_of(kH);
    EXPECT_EQ(st.mode, static_cast<std::uint32_t>(KV318_STATS_STREAM));
    EXPECT_EQ(st.ticks, 6u);
    EXPECT_EQ(st.top_level_drains, 2u);
    EXPECT_EQ(st.time_bound_drains, 1u);
    EXPECT_EQ(st.longest_gap_us, 32000u);
    EXPECT_EQ(std::vector<std::uint64_t>(std::begin(st.gap_histogram), std::end(st.gap_histogram)),
              std::vector<std::uint64_t>(std::begin(histogram), std::end(histogram)));
    EXPECT_EQ(st.ring_high_water, bytes) << "nothing was read yet";
    check_ring_holds_all_delivered();
    board->queue_bulk({1030});
    board->set_status(static_cast<int>(status_with_level(1)));
    tick();
    EXPECT_EQ(stats_of(kH).ring_high_water, bytes) << "the most the ring held, not what it holds";
}

TEST(GapBucket, Log2OfTheGapHeldToTheLastBucket) {
    const std::pair<std::uint64_t, std::uint32_t> cases[] = {
        {0, 0},           {1, 0},      {2, 1}, {3, 1}, {4, 2}, {3000, 11}, {16384, 14}, {(1ull << 31) - 1, 30},
        {1ull << 31, 31}, {~0ull, 31},
    };
    for (const auto& [us, bucket] : cases) EXPECT_EQ(gap_bucket(us), bucket) << us;
}

// Every count is 64-bit: preset just below 2^32, they count past it exactly.
TEST_F(Drain, CountsGoPast32BitsExactly) {
    start_stream();
    constexpr std::uint64_t kNear = (1ull << 32) - 1;
    DrainFigures f;
    f.bytes_drained = kNear - 100;
    f.ticks = f.drains = f.top_level_drains = f.time_bound_drains = kNear;
    f.ring_high_water = 5;
    f.longest_gap_us = 1;
    for (auto& b : f.gap_histogram) b = kNear;
    stats_preset_for_test(f);
    board->set_status(static_cast<int>(status_with_level(7)));
    board->queue_bulk_n(16384, 10);
    board->set_before_bulk([&] { dev.advance_ms(1); });
    dev.advance_us(5000);
    tick();
    board->set_before_bulk(nullptr);
    const KV318_STREAM_STATS st = stats_of(kH);
    EXPECT_EQ(st.bytes_drained, kNear - 100 + 10 * 16384);
    EXPECT_EQ(st.ticks, kNear + 1);
    EXPECT_EQ(st.drains, kNear + 1);
    EXPECT_EQ(st.top_level_drains, kNear + 1);
    EXPECT_EQ(st.time_bound_drains, kNear + 1);
    EXPECT_EQ(st.gap_histogram[gap_bucket(5000)], kNear + 1);
    EXPECT_EQ(st.gap_histogram[0], kNear);
    EXPECT_EQ(st.longest_gap_us, 5000u);
}

// The figures belong to the acquisition last started on a handle: zeroed at
// each start, kept after the stop, none for any other handle.
TEST_F(Drain, StatsAreZeroedAtEachStartAndKeptAfterTheStop) {
    start_stream();
    board->set_status(static_cast<int>(status_with_level(1)));
    board->queue_bulk({1030});
    tick();
    EXPECT_EQ(KV318_StopAD(kH), 0);
    EXPECT_EQ(stats_of(kH).bytes_drained, 1030u) << "kept after the stop";
    EXPECT_EQ(stats_of(kH).mode, static_cast<std::uint32_t>(KV318_STATS_STREAM));
    const KV318_STREAM_STATS other = stats_of(kH + 1);
    EXPECT_EQ(other.mode, static_cast<std::uint32_t>(KV318_STATS_NONE));
    EXPECT_EQ(other.bytes_drained, 0u);

    ASSERT_EQ(KV318_M_AD(kH, 0, 0, 0, 0, 2), 0);
    KV318_STREAM_STATS st = stats_of(kH);
    EXPECT_EQ(st.mode, static_cast<std::uint32_t>(KV318_STATS_POLLED));
    EXPECT_EQ(st.bytes_drained, 0u) << "a start zeroes them";
    EXPECT_EQ(st.ticks, 0u);
    board->queue_bulk({1030});
    std::int32_t carry = 0;
    std::vector<std::int32_t> polled(KV318_M_READ_MAX_SAMPLES);
    EXPECT_EQ(KV318_M_Read(kH, polled.data(), &carry, 0), 515);
    EXPECT_EQ(KV318_M_StopAD(kH), 0);
    st = stats_of(kH);
    EXPECT_EQ(st.ticks, 1u);
    EXPECT_EQ(st.drains, 1u);
    EXPECT_EQ(st.bytes_drained, 1030u);
    EXPECT_EQ(st.ring_high_water, 0u) << "no ring when polled";
}

// NULL or a size below 16 writes nothing; a small size fills only the whole
// fields that fit and leaves the rest of the caller's memory alone.
TEST_F(Drain, StatsFillOnlyWholeFieldsThatFitTheCallersSize) {
    start_stream();
    DrainFigures f;
    f.bytes_drained = 11, f.ticks = 12, f.drains = 13, f.top_level_drains = 14, f.time_bound_drains = 15;
    f.ring_high_water = 16, f.longest_gap_us = 17;
    for (std::size_t k = 0; k < KV318_GAP_BUCKETS; ++k) f.gap_histogram[k] = 100 + k;
    stats_preset_for_test(f);
    EXPECT_EQ(KV318_StreamStats(kH, nullptr), -1);

    struct Case {
        std::uint32_t size;
        std::size_t counts;  // 64-bit words written after size and mode
    };
    const Case cases[] = {{0, 0},
                          {15, 0},
                          {16, 1},
                          {23, 1},
                          {24, 2},
                          {64, 7},
                          {72, 8},
                          {79, 8},
                          {static_cast<std::uint32_t>(sizeof(KV318_STREAM_STATS)), 7 + KV318_GAP_BUCKETS},
                          {4096, 7 + KV318_GAP_BUCKETS}};
    const std::uint64_t all[] = {11, 12, 13, 14, 15, 16, 17};
    for (const Case& c : cases) {
        KV318_STREAM_STATS st;
        std::memset(&st, 0xEE, sizeof st);
        st.size = c.size;
        EXPECT_EQ(KV318_StreamStats(kH, &st), c.size < 16 ? -1 : 0) << c.size;
        EXPECT_EQ(st.size, c.size) << "the caller's size stays";
        EXPECT_EQ(st.mode, c.size < 16 ? 0xEEEEEEEEu : static_cast<std::uint32_t>(KV318_STATS_STREAM)) << c.size;
        const std::uint64_t* words[] = {
            &st.bytes_drained,     &st.ticks,           &st.drains,        &st.top_level_drains,
            &st.time_bound_drains, &st.ring_high_water, &st.longest_gap_us};
        for (std::size_t i = 0; i < 7 + KV318_GAP_BUCKETS; ++i) {
            const std::uint64_t value = i < 7 ? *words[i] : st.gap_histogram[i - 7];
            const std::uint64_t want = i < 7 ? all[i] : 100 + (i - 7);
            EXPECT_EQ(value, i < c.counts ? want : 0xEEEEEEEEEEEEEEEEull) << c.size << " word " << i;
        }
    }
}

}  // namespace
}  // namespace kv318::test
