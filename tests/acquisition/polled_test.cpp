// Polled acquisition: each KV318_M_Read drains the FIFO on the caller's
// thread, and the carry word keeps the byte stream aligned across calls.
#include <gtest/gtest.h>

#include <vector>

#include "KV318.h"
#include "acquisition_common.h"
#include "board_model.h"
#include "recording_device.h"

namespace kv318::test {
namespace {

constexpr Handle kH = 0x52;
constexpr std::int32_t kUntouched = 0x1ABCD;

class Polled : public ::testing::Test {
protected:
    std::int32_t read(std::int32_t* carry) { return KV318_M_Read(kH, samples.data(), carry, 12345); }

    RecordingDevice dev;
    BoardModel board{dev};
    std::vector<std::int32_t> samples = std::vector<std::int32_t>(KV318_M_READ_MAX_SAMPLES);
};

TEST_F(Polled, CarryGoesInFrontAndTheUnpairedLastByteComesOut) {
    struct Case {
        std::int32_t carryIn;
        std::uint32_t code, chunk;
        std::vector<int> replies;
        std::int32_t count;
    };
    const Case cases[] = {
        {0, 1, 2048, {700, 700}, 700},
        {0, 1, 2048, {1025}, 512},
        {0x100AB, 1, 2048, {1024}, 512},  // the carried byte leads
        {0x100AB, 1, 2048, {1023}, 512},  // and completes the level
        {0x000AB, 1, 2048, {1024}, 512},  // bit 16 clear: ignored
        {static_cast<std::int32_t>(0xFFFEFFFF), 1, 2048, {1025}, 512},
        {0, 2, 8192, {0, 2000, 0, 3000}, 2500},  // 0-byte replies are asked again
        {0x10001, 3, 16384, {16383}, 8192},
    };
    for (const Case& c : cases) {
        board.set_status(status_with_level(c.code));
        for (int r : c.replies) board.queue_bulk({r});
        const std::size_t before = board.delivered().size();
        dev.clear();
        std::int32_t carry = c.carryIn;
        ASSERT_EQ(read(&carry), c.count) << std::hex << c.carryIn;

        const auto all = board.delivered();
        std::vector<std::uint8_t> bytes;
        if (c.carryIn & 0x10000) bytes.push_back(static_cast<std::uint8_t>(c.carryIn & 0xFF));
        bytes.insert(bytes.end(), all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        EXPECT_EQ(std::vector<std::int32_t>(samples.begin(), samples.begin() + c.count), expected_samples(bytes));
        EXPECT_EQ(carry, bytes.size() % 2 == 1 ? 0x10000 | bytes.back() : 0) << std::hex << c.carryIn;
        EXPECT_EQ(bulk_asks(dev.requests()), std::vector<BulkAsk>(c.replies.size(), {c.chunk, c.chunk + 1}));
        EXPECT_EQ(register_ops(dev.requests()), (std::vector<RegOp>{{kCmdRead8, 0, 0}, {kCmdRead8, 0, 0}}));
    }
    EXPECT_EQ(board.bulk_left(), 0u);
}

TEST_F(Polled, RefusalsAndFailuresLeaveTheCarryAsItWas) {
    struct Case {
        const char* what;
        int status;
        std::vector<Reply> firstReplies;  // answer the call's first requests, ahead of the board
        std::vector<int> replies;
        std::int32_t result;
        std::size_t statusReads;
    };
    const Case cases[] = {
        {"level 0", static_cast<int>(status_with_level(0)), {}, {}, 0, 2},
        {"not enabled", static_cast<int>(status_with_level(3, false)), {}, {}, -1, 1},
        {"failed bulk read", static_cast<int>(status_with_level(2)), {}, {3000, 1, BoardModel::kFail}, -1, 2},
        // A failed status read is never "enabled" and never a FIFO level.
        {"failed status read", BoardModel::kFail, {}, {}, -1, 1},
        {"failed second status read",
         static_cast<int>(status_with_level(7)),
         {register_reply(status_with_level(7)), Reply::fail()},
         {},
         -1,
         2},
    };
    for (const Case& c : cases) {
        board.set_status(c.status);
        for (const Reply& r : c.firstReplies) dev.queue(r);
        for (int r : c.replies) board.queue_bulk({r});
        dev.clear();
        std::int32_t carry = kUntouched;
        EXPECT_EQ(read(&carry), c.result) << c.what;
        EXPECT_EQ(carry, kUntouched) << c.what;
        EXPECT_EQ(register_ops(dev.requests()), std::vector<RegOp>(c.statusReads, {kCmdRead8, 0, 0})) << c.what;
        EXPECT_EQ(bulk_asks(dev.requests()).size(), c.replies.size()) << c.what;
    }
    EXPECT_EQ(LastChunk, 0) << "after the failed bulk read";
}

TEST_F(Polled, ABoardThatStopsDeliveringEndsTheCallWithWhatItDrained) {
    struct Case {
        const char* what;
        std::int32_t carryIn;
        std::vector<int> replies;  // all of them are asked for, no more
        std::int32_t count;
    };
    const std::vector<int> stall(kMaxEmptyReplies, 0);
    auto then = [](std::vector<int> a, const std::vector<int>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<int> oneShort(kMaxEmptyReplies - 1, 0);
    const Case cases[] = {
        {"nothing at all", 0, stall, 0},
        {"nothing, a byte carried in", 0x100AB, stall, 0},
        {"700 bytes, then nothing", 0, then({700}, stall), 350},
        {"701 bytes, then nothing: the odd one is carried", 0, then({701}, stall), 350},
        {"a carried byte and 700", 0x100AB, then({700}, stall), 350},
        {"one empty reply short of the run: the retry gets the level", 0, then(oneShort, {1024}), 512},
        {"a byte breaks the run, which starts again", 0, then(then(oneShort, {2}), stall), 1},
    };
    board.set_status(status_with_level(1));
    for (const Case& c : cases) {
        for (int r : c.replies) board.queue_bulk({r});
        const std::size_t before = board.delivered().size();
        dev.clear();
        std::int32_t carry = c.carryIn;
        ASSERT_EQ(read(&carry), c.count) << c.what;
        EXPECT_EQ(board.bulk_left(), 0u) << c.what;
        EXPECT_EQ(bulk_asks(dev.requests()), std::vector<BulkAsk>(c.replies.size(), {2048, 2049})) << c.what;

        // Every byte taken from the board is in the samples or the carry.
        const auto all = board.delivered();
        std::vector<std::uint8_t> bytes;
        if (c.carryIn & 0x10000) bytes.push_back(static_cast<std::uint8_t>(c.carryIn & 0xFF));
        bytes.insert(bytes.end(), all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        EXPECT_EQ(std::vector<std::int32_t>(samples.begin(), samples.begin() + c.count), expected_samples(bytes))
            << c.what;
        EXPECT_EQ(carry, bytes.size() % 2 == 1 ? 0x10000 | bytes.back() : 0) << c.what;
    }
}

// A board that trickles holds a polled read for about a second and no
// longer; the bytes it gave are returned, the odd one carried.  The
// device's clock moves only as the replies say, so the bound is exact.
TEST_F(Polled, AReadAsksForAboutASecondAtMostAndKeepsWhatItDrained) {
    struct Case {
        const char* what;
        int replyBytes;
        std::uint64_t replyMs;
        int replies;  // asked for in the call, no more
        std::int32_t count;
    };
    const int limit = static_cast<int>(kPolledDrainLimitMs);
    const Case cases[] = {
        {"2 bytes a millisecond", 2, 1, limit, limit},
        {"3 bytes every 100 ms: the odd byte is carried", 3, 100, 10, 15},
        {"empty replies 1.9 s apart", 0, 1900, 1, 0},
    };
    board.set_status(status_with_level(7));
    for (const Case& c : cases) {
        board.set_before_bulk([&] { dev.advance_ms(c.replyMs); });
        board.queue_bulk_n(c.replyBytes, c.replies);
        const std::size_t before = board.delivered().size();
        dev.clear();
        std::int32_t carry = 0;
        ASSERT_EQ(read(&carry), c.count) << c.what;
        EXPECT_EQ(bulk_asks(dev.requests()).size(), static_cast<std::size_t>(c.replies)) << c.what;
        EXPECT_EQ(board.bulk_left(), 0u) << c.what;
        const auto all = board.delivered();
        const std::vector<std::uint8_t> bytes(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        EXPECT_EQ(std::vector<std::int32_t>(samples.begin(), samples.begin() + c.count), expected_samples(bytes))
            << c.what;
        EXPECT_EQ(carry, bytes.size() % 2 == 1 ? 0x10000 | bytes.back() : 0) << c.what;
    }
}

TEST_F(Polled, NullArgumentsAreRefusedWithoutABoardRequest) {
    std::int32_t carry = kUntouched;
    EXPECT_EQ(KV318_M_Read(kH, nullptr, &carry, 0), -1);
    EXPECT_EQ(KV318_M_Read(kH, samples.data(), nullptr, 0), -1);
    EXPECT_EQ(carry, kUntouched);
    EXPECT_EQ(dev.request_count(), 0u);
}

TEST_F(Polled, OneCallReturnsAtMostTheHeadersSampleCountWithRepliesOfChunkPlusOne) {
    board.set_status(status_with_level(7));
    // Every reply one byte over the chunk: the 16th reaches the level.
    board.queue_bulk_n(16385, 16);
    std::int32_t carry = 0;
    EXPECT_EQ(read(&carry), 131080);
    EXPECT_EQ(carry, 0);

    // The most: one byte short of the level, then a reply of chunk + 1.
    board.queue_bulk_n(16383, 16);
    board.queue_bulk({15, 16385});
    const std::size_t before = board.delivered().size();
    std::vector<std::int32_t> exact(KV318_M_READ_MAX_SAMPLES);  // exactly the documented size
    carry = 0;
    EXPECT_EQ(KV318_M_Read(kH, exact.data(), &carry, 0), KV318_M_READ_MAX_SAMPLES);
    EXPECT_EQ(carry, 0);
    const auto all = board.delivered();
    EXPECT_EQ(exact, expected_samples(
                         std::vector<std::uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end())));
}

TEST_F(Polled, StartZeroesTheRingCountersAndStopOnlyStopsConversion) {
    RingCount = 77;
    RingReadPos = 10;
    RingWritePos = 87;
    LastChunk = 5;
    TickTotal = 6;
    AcqDevice = 0x99;
    ASSERT_EQ(KV318_M_AD(kH, 0, 0, 0, 0, 50), 0);
    EXPECT_EQ(RingCount, 0);
    EXPECT_EQ(RingReadPos, 0);
    EXPECT_EQ(RingWritePos, 0);
    EXPECT_EQ(LastChunk, 0);
    EXPECT_EQ(TickTotal, 0);
    EXPECT_EQ(AcqDevice, 0x99) << "the stream's board is not the polled one";
    EXPECT_EQ(AcqRunning.load(), 0);
    dev.clear();
    board.set_failing(kCmdRead8, 4, true);
    EXPECT_EQ(KV318_M_StopAD(kH), 0);
    EXPECT_EQ(register_ops(dev.requests()), (std::vector<RegOp>{{kCmdRead8, 4, 0}}));
}

}  // namespace
}  // namespace kv318::test
