// Streaming with the test timer: every tick is fired by hand, so each case
// controls exactly what the board holds when the timer drains it and what
// the ring holds when the caller reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "KV318.h"
#include "acquisition.h"
#include "board_model.h"
#include "manual_timer.h"
#include "recording_device.h"
#include "wait.h"

namespace kv318::test {
namespace {

constexpr Handle kH = 0x41;

class Stream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), 0);
        dev.clear();
    }
    void TearDown() override { KV318_StopAD(kH); }

    void tick() { ASSERT_TRUE(timer.fire()); }

    // Reads once into `samples` (sized for the most a read returns).
    std::int32_t read() { return KV318_Read(kH, samples.data()); }
    std::vector<std::int32_t> got(std::int32_t n) const {
        return std::vector<std::int32_t>(samples.begin(), samples.begin() + n);
    }

    RecordingDevice dev;
    BoardModel board{dev};
    ManualTimer timer;
    std::vector<std::int32_t> samples = std::vector<std::int32_t>(KV318_READ_MAX_SAMPLES);
};

TEST(FifoLevelTable, CodeInBits4To6GivesTheLevelAndAChunkOfTwiceItHeldTo512To16384) {
    struct Case {
        std::int32_t status, level, chunk;
    };
    const Case cases[] = {
        {0x04, 0, 0},         {0x14, 1024, 2048},   {0x24, 4096, 8192},    {0x34, 16384, 16384},
        {0x44, 32768, 16384}, {0x54, 65536, 16384}, {0x64, 131072, 16384}, {0x74, 262144, 16384},
        {0x8B, 0, 0},         {0xBF, 16384, 16384}, {0xF0, 262144, 16384}, {-1, 0, 0},  // a failed read is no level
    };
    for (const Case& c : cases) {
        const FifoLevel f = fifo_level(c.status);
        EXPECT_EQ(f.level, c.level) << std::hex << c.status;
        EXPECT_EQ(f.chunk, c.chunk) << std::hex << c.status;
    }
}

TEST(SampleConversion, BytePairsLowFirstAreSignExtended) {
    const std::uint8_t bytes[] = {0x34, 0x12, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F, 0x01, 0x00, 0x00, 0x00};
    std::int32_t out[7];
    std::fill(std::begin(out), std::end(out), 0x5A5A5A5A);
    convert_samples(bytes, out, 6);
    EXPECT_EQ(std::vector<std::int32_t>(out, out + 7),
              (std::vector<std::int32_t>{4660, -1, -32768, 32767, 1, 0, 0x5A5A5A5A}));
}

TEST_F(Stream, EachTickDrainsTheLevelItFoundInChunks) {
    struct Case {
        int status;  // kFail: the status read fails
        std::uint32_t chunk;
        int replies;
    };
    const Case cases[] = {
        {static_cast<int>(status_with_level(0)), 0, 0},
        {static_cast<int>(status_with_level(1)), 2048, 1},
        {static_cast<int>(status_with_level(2)), 8192, 1},
        {static_cast<int>(status_with_level(3)), 16384, 1},
        {static_cast<int>(status_with_level(4)), 16384, 2},
        {static_cast<int>(status_with_level(5)), 16384, 4},
        {static_cast<int>(status_with_level(6)), 16384, 8},
        {static_cast<int>(status_with_level(7)), 16384, 16},
        {BoardModel::kFail, 0, 0},  // the tick is skipped
    };
    for (const Case& c : cases) {
        board.set_status(c.status);
        board.queue_bulk_n(static_cast<int>(c.chunk), c.replies);
        // Full chunks up to the level go on with one more full-size request;
        // a board with nothing more answers it empty.
        if (c.replies > 0) board.queue_bulk({0});
        dev.clear();
        tick();
        const auto sent = dev.requests();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent[0].in, command_bytes(kCmdRead8, 0)) << "the status of the stream's board";
        EXPECT_EQ(sent[0].handle, kH);
        auto asks = std::vector<BulkAsk>(static_cast<std::size_t>(c.replies), {c.chunk, c.chunk + 1});
        if (c.replies > 0) asks.push_back({kMaxChunk, kMaxChunk + 1});
        EXPECT_EQ(bulk_asks(sent), asks) << "status " << c.status;
        EXPECT_EQ(sent.size(), 1u + asks.size());
        EXPECT_EQ(RingCount, c.replies * static_cast<std::int32_t>(c.chunk));
        if (c.replies > 0) {
            EXPECT_EQ(TickTotal, RingCount);
            EXPECT_EQ(LastChunk, 0);
        }
        // Empty the ring between cases, checking what went through it.
        std::vector<std::int32_t> all;
        for (std::int32_t n; (n = read()) > 0;) {
            const auto part = got(n);
            all.insert(all.end(), part.begin(), part.end());
        }
        const auto delivered = board.delivered();
        const auto want = expected_samples(delivered, delivered.size() - c.replies * c.chunk);
        EXPECT_EQ(all, want);
    }
    EXPECT_EQ(board.bulk_left(), 0u);
}

TEST_F(Stream, DrainGoesOnUntilTheLevelAskingAgainAfterEmptyReplies) {
    board.set_status(status_with_level(1));
    board.queue_bulk({0, 300, 0, 0, 700, 100, 55});
    tick();
    EXPECT_EQ(bulk_asks(dev.requests()), std::vector<BulkAsk>(6, {2048, 2049}));
    EXPECT_EQ(board.bulk_left(), 1u) << "1100 bytes reach the level of 1024";
    EXPECT_EQ(RingCount, 1100);
    EXPECT_EQ(TickTotal, 1100);
    EXPECT_EQ(LastChunk, 100);
    ASSERT_EQ(read(), 550);
    EXPECT_EQ(got(550), expected_samples(board.delivered()));
}

TEST_F(Stream, BothPositionsWrapAtTheRingsEndAndAnOddByteWaitsForItsPartner) {
    RingReadPos = kRingSize - 6;
    RingWritePos = kRingSize - 6;
    board.set_status(status_with_level(1));
    board.queue_bulk({1025, 1025});
    tick();
    EXPECT_EQ(RingWritePos, 1019);
    ASSERT_EQ(read(), 512) << "the odd byte stays";
    EXPECT_EQ(RingReadPos, 1018);
    EXPECT_EQ(RingCount, 1);
    auto want = expected_samples(board.delivered());
    EXPECT_EQ(got(512), want) << "the ring's last pair is followed by the pair at 0 and 1";
    tick();
    EXPECT_EQ(RingWritePos, 2044);
    ASSERT_EQ(read(), 513);
    want = expected_samples(board.delivered());
    EXPECT_EQ(got(513), std::vector<std::int32_t>(want.begin() + 512, want.end()));
    EXPECT_EQ(RingReadPos, 2044);
    EXPECT_EQ(RingCount, 0);
}

TEST_F(Stream, ReadNeeds100BytesAndLeavesAnOddOne) {
    board.set_status(status_with_level(0));
    std::vector<std::uint8_t> bytes(101);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    bytes[0] = 0x34, bytes[1] = 0x12, bytes[2] = 0xFF, bytes[3] = 0xFF, bytes[4] = 0x00, bytes[5] = 0x80;
    ring_append(bytes.data(), 99);
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(dev.request_count(), 0u) << "too little to read: the board is not asked";
    EXPECT_EQ(RingCount, 99);
    ring_append(bytes.data() + 99, 2);
    ASSERT_EQ(read(), 50);
    EXPECT_EQ(samples[0], 4660);
    EXPECT_EQ(samples[1], -1);
    EXPECT_EQ(samples[2], -32768);
    EXPECT_EQ(got(50), expected_samples(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 100)));
    EXPECT_EQ(RingCount, 1);
    EXPECT_EQ(register_ops(dev.requests()), (std::vector<RegOp>{{kCmdRead8, 0, 0}}));
}

TEST_F(Stream, OneReadTakesAtMostTheHeadersSampleCountAndTheRestOnTheNext) {
    std::vector<std::uint8_t> bytes(1500000);
    std::uint32_t x = 1;
    for (auto& b : bytes) b = static_cast<std::uint8_t>((x = x * 2654435761u + 7) >> 24);
    for (std::size_t off = 0; off < bytes.size(); off += 16384)
        ring_append(bytes.data() + off, static_cast<std::int32_t>(std::min<std::size_t>(16384, bytes.size() - off)));
    const auto want = expected_samples(bytes);
    ASSERT_EQ(read(), KV318_READ_MAX_SAMPLES);
    EXPECT_EQ(RingCount, 451424);
    EXPECT_EQ(got(KV318_READ_MAX_SAMPLES),
              std::vector<std::int32_t>(want.begin(), want.begin() + KV318_READ_MAX_SAMPLES));
    ASSERT_EQ(read(), 225712);
    EXPECT_EQ(got(225712), std::vector<std::int32_t>(want.begin() + KV318_READ_MAX_SAMPLES, want.end()));
    EXPECT_EQ(read(), 0);
}

TEST_F(Stream, OverflowFromExactlyTheRingsSizeLastsWithoutTheCountWrapping) {
    RingCount = kRingSize - 1;
    EXPECT_EQ(read(), KV318_READ_MAX_SAMPLES) << "one byte short of the ring's size is still data";
    RingCount = kRingSize;
    EXPECT_EQ(read(), -2);
    EXPECT_EQ(RingCount, kRingSize);

    // A tick that overflows the ring stops draining at once.
    RingCount = kRingSize - 100;
    board.set_status(status_with_level(3));
    board.queue_bulk({60, 60, 60});
    tick();
    EXPECT_EQ(RingCount, kRingSize + 20);
    EXPECT_EQ(board.bulk_left(), 1u);
    EXPECT_EQ(read(), -2);
    // Later ticks go on draining; the count holds at its ceiling.
    tick();
    EXPECT_EQ(board.bulk_left(), 0u);
    EXPECT_EQ(RingCount, kRingSize + 80);
    EXPECT_EQ(read(), -2);
    RingCount = INT_MAX - 10;
    board.queue_bulk({100});
    tick();
    EXPECT_EQ(RingCount, INT_MAX);
    board.queue_bulk({100});
    tick();
    EXPECT_EQ(RingCount, INT_MAX);
    EXPECT_EQ(read(), -2) << "never a small or negative count";

    // Only a new start clears it.
    EXPECT_EQ(KV318_StopAD(kH), 0);
    EXPECT_EQ(read(), -2);
    ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), 0);
    EXPECT_EQ(read(), 0);
}

TEST_F(Stream, AFailedBulkReadMakesEveryReadFailUntilTheStop) {
    board.set_status(status_with_level(1));
    board.queue_bulk({BoardModel::kFail});
    tick();
    EXPECT_LT(AcqFault, 0);
    EXPECT_EQ(LastChunk, 0);
    EXPECT_EQ(RingCount, 0);
    board.queue_bulk({1024});
    tick();
    EXPECT_EQ(RingCount, 1024) << "ticks go on draining in the faulted state";
    dev.clear();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(read(), -3);
    EXPECT_EQ(dev.request_count(), 0u) << "the fault is reported before the board is asked";
    EXPECT_EQ(RingCount, 1024);

    EXPECT_EQ(KV318_StopAD(kH), 0);
    EXPECT_EQ(AcqFault, 1);
    EXPECT_EQ(read(), 512) << "the buffered bytes are still there";
    EXPECT_EQ(read(), 0) << "an empty ring after the stop";
}

TEST_F(Stream, ReadRefusesWhileTheBoardIsNotEnabledAndKeepsTheRing) {
    board.set_status(status_with_level(1));
    board.queue_bulk({1024});
    tick();
    board.set_status(status_with_level(1, false));
    dev.clear();
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(register_ops(dev.requests()), (std::vector<RegOp>{{kCmdRead8, 0, 0}}));
    EXPECT_EQ(RingCount, 1024);
    EXPECT_EQ(RingReadPos, 0);
    board.set_status(status_with_level(0));
    ASSERT_EQ(read(), 512);
    EXPECT_EQ(got(512), expected_samples(board.delivered()));
}

// A board that cannot be asked its status (a driver that exited or was
// killed) is a transfer fault wherever the status read fails, never an
// empty FIFO nor "acquisition off": every read reports it, whatever the
// ring holds, until the stop.
TEST_F(Stream, AFailedStatusReadIsATransferFaultUntilTheStop) {
    struct Case {
        const char* what;
        std::int32_t buffered;  // bytes in the ring when the status read fails
        bool inTick;            // the tick's status read fails, else the reader's
    };
    const Case cases[] = {
        {"tick, empty ring", 0, true},
        {"tick, under 100 bytes", 60, true},
        {"tick, a batch waiting", 1024, true},
        {"reader, a batch waiting", 1024, false},
    };
    for (const Case& c : cases) {
        KV318_StopAD(kH);
        ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 4095), 0) << c.what;
        if (c.buffered > 0) {
            board.set_status(status_with_level(1));
            board.queue_bulk({c.buffered});
            if (c.buffered < 1024) board.queue_bulk_n(0, kMaxEmptyReplies);
            tick();
        }
        board.set_status(BoardModel::kFail);
        if (c.inTick) tick();
        dev.clear();
        EXPECT_EQ(read(), -3) << c.what;
        EXPECT_LT(AcqFault, 0) << c.what;
        board.set_status(status_with_level(0));
        tick();
        for (int i = 0; i < 3; ++i) EXPECT_EQ(read(), -3) << c.what << ": until the stop";
        EXPECT_EQ(KV318_StopAD(kH), 0);
        EXPECT_GE(read(), 0) << c.what << ": the stop clears the fault";
    }
}

// A board that trickles (a full FIFO reported, a few bytes a reply, or
// replies that each take long) holds a tick for about its period and no
// longer; what it drained is kept.  The device's clock moves only as the
// replies say, so the bound is seen exactly.
TEST_F(Stream, ATickAsksNoLongerThanItsPeriodAndKeepsWhatItDrained) {
    struct Case {
        const char* what;
        int replyBytes;
        std::uint64_t replyMs;  // how long each reply takes
        int replies;            // asked for in the tick, no more
    };
    const Case cases[] = {
        {"64 bytes a millisecond", 64, 1, static_cast<int>(kTickDrainLimitMs)},
        {"64 bytes every 3 ms: the reply that crosses the bound is the last", 64, 3, 4},
        {"empty replies 1.9 s apart", 0, 1900, 1},
        {"full chunks a millisecond apart: the bound comes first", 16384, 1, 10},
    };
    board.set_status(status_with_level(7));
    for (const Case& c : cases) {
        board.set_before_bulk([&] { dev.advance_ms(c.replyMs); });
        board.queue_bulk_n(c.replyBytes, c.replies);
        const std::size_t before = board.delivered().size();
        dev.clear();
        tick();
        EXPECT_EQ(bulk_asks(dev.requests()).size(), static_cast<std::size_t>(c.replies)) << c.what;
        EXPECT_EQ(board.bulk_left(), 0u) << c.what;
        EXPECT_EQ(RingCount, c.replyBytes * c.replies) << c.what << ": what it drained is kept";
        EXPECT_GE(AcqFault, 0) << c.what << ": a slow board is no failed transfer";
        const std::int32_t n = read();
        EXPECT_EQ(n, RingCount == 0 && n == 0 ? 0 : c.replyBytes * c.replies / 2) << c.what;
        const auto all = board.delivered();
        EXPECT_EQ(got(n), expected_samples(
                              std::vector<std::uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end())))
            << c.what;
    }
}

TEST_F(Stream, ATickEndsWhenTheBoardStopsDeliveringAndTheNextGoesOn) {
    board.set_status(status_with_level(1));
    // 300 bytes, then a board that answers every bulk read with nothing.
    board.queue_bulk({300});
    board.queue_bulk_n(0, kMaxEmptyReplies);
    tick();
    EXPECT_EQ(bulk_asks(dev.requests()), std::vector<BulkAsk>(1 + kMaxEmptyReplies, {2048, 2049}));
    EXPECT_EQ(board.bulk_left(), 0u) << "no request beyond the run of empty replies";
    EXPECT_EQ(RingCount, 300) << "what the tick drained is kept";
    EXPECT_EQ(TickTotal, 300);
    EXPECT_GE(AcqFault, 0) << "a stalled board is no failed bulk read";
    EXPECT_EQ(DrainBusy.load(), 0);

    // The next tick goes on; one empty reply short of the run still gets its retry.
    dev.clear();
    board.queue_bulk_n(0, kMaxEmptyReplies - 1);
    board.queue_bulk({1024});
    tick();
    EXPECT_EQ(bulk_asks(dev.requests()).size(), static_cast<std::size_t>(kMaxEmptyReplies));
    EXPECT_EQ(board.bulk_left(), 0u);
    EXPECT_EQ(TickTotal, 1024);
    ASSERT_EQ(read(), 662);
    EXPECT_EQ(got(662), expected_samples(board.delivered()));
}

TEST_F(Stream, NullSamplesAreRefusedWithTheRingUntouched) {
    board.set_status(status_with_level(1));
    board.queue_bulk({1024});
    tick();
    dev.clear();
    EXPECT_EQ(KV318_Read(kH, nullptr), -1);
    EXPECT_EQ(dev.request_count(), 0u);
    EXPECT_EQ(RingCount, 1024);
    EXPECT_EQ(RingReadPos, 0);
    EXPECT_EQ(ReaderBusy.load(), 0) << "the next tick may still drain";
    board.queue_bulk({1024});
    tick();
    EXPECT_EQ(RingCount, 2048);
}

TEST_F(Stream, ATickDrainsNothingWhileTheReaderHoldsTheRingOrAfterTheStop) {
    board.set_status(status_with_level(1));
    ReaderBusy.store(1);
    tick();
    ReaderBusy.store(0);
    EXPECT_EQ(dev.request_count(), 0u);
    EXPECT_EQ(DrainBusy.load(), 0);

    EXPECT_EQ(KV318_StopAD(kH), 0);
    dev.clear();
    // A tick that begins after the stop's first step, before the timer goes.
    SampleTimerProc(0);
    EXPECT_EQ(dev.request_count(), 0u);
}

TEST_F(Stream, StopWaitsForTheDrainInProgressAndNoDrainFollows) {
    board.set_status(status_with_level(1));
    // The first reply arrives; the second is held until the test lets it go.
    board.queue_bulk({512, 0, 0, 0, 0});
    std::atomic<int> bulkCalls{0};
    std::atomic<bool> release{false};
    board.set_before_bulk([&] {
        if (++bulkCalls == 2) wait_until([&] { return release.load(); });
    });
    std::thread ticker([&] { timer.fire(); });
    EXPECT_TRUE(wait_until([&] { return bulkCalls.load() == 2; }));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        KV318_StopAD(kH);
        stopped = true;
    });
    EXPECT_TRUE(wait_until([&] { return AcqRunning.load() == 0; })) << "the stop has begun";
    EXPECT_FALSE(stopped.load()) << "the drain is still in progress";
    release = true;
    stopper.join();
    ticker.join();
    board.set_before_bulk(nullptr);
    EXPECT_TRUE(stopped.load());

    // The drain ended after the held reply instead of asking again for 0-byte
    // replies, and the stop's own request came after it.
    EXPECT_EQ(board.bulk_left(), 3u);
    const auto sent = dev.requests();
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[2].code, kIoctlBulkRead);
    EXPECT_EQ(sent.back().in, command_bytes(kCmdRead8, 4));
    EXPECT_EQ(sent.size(), 4u);
    EXPECT_FALSE(timer.fire()) << "the timer is gone";
    SampleTimerProc(0);
    EXPECT_EQ(dev.request_count(), 4u);
}

}  // namespace
}  // namespace kv318::test
