// The board lock as the start, stop and close calls use it, against a
// substitute lock service: a refused start sends nothing to the board, and
// every way an acquisition ends gives the lock back exactly once.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "KV318.h"
#include "board_lock_service.h"
#include "board_model.h"
#include "manual_timer.h"
#include "recording_device.h"

namespace kv318::test {
namespace {

// Answers acquire() with a set result and keeps what was asked.
class FakeLocks final : public BoardLockService {
public:
    FakeLocks() { set_board_lock_service(this); }
    ~FakeLocks() override { set_board_lock_service(nullptr); }

    BoardLockResult acquire(std::int32_t board, BoardLockToken* token) override {
        std::lock_guard<std::mutex> guard(mutex_);
        acquired.push_back(board);
        if (answer == BoardLockResult::Taken) *token = 1000 + board;
        return answer;
    }
    void release(BoardLockToken token) override {
        std::lock_guard<std::mutex> guard(mutex_);
        released.push_back(token);
    }
    bool held_elsewhere(std::int32_t board) override {
        std::lock_guard<std::mutex> guard(mutex_);
        asked.push_back(board);
        return heldElsewhere;
    }

    BoardLockResult answer = BoardLockResult::Taken;
    bool heldElsewhere = false;
    std::vector<std::int32_t> asked;
    std::vector<std::int32_t> acquired;
    std::vector<BoardLockToken> released;

private:
    std::mutex mutex_;
};

struct Mode {
    const char* name;
    decltype(&KV318_AD) start;
    decltype(&KV318_StopAD) stop;
};
const Mode kModes[] = {{"KV318_AD", KV318_AD, KV318_StopAD}, {"KV318_M_AD", KV318_M_AD, KV318_M_StopAD}};

class BoardLock : public ::testing::Test {
protected:
    // Opens board `board` through the library, so it knows the handle's board.
    Handle open(std::int32_t number, Handle h) {
        dev.set_open_result(h);
        EXPECT_EQ(KV318_OpenDevice(number), h);
        return h;
    }
    void TearDown() override {
        for (Handle h : {kA, kB}) {
            KV318_StopAD(h);
            KV318_M_StopAD(h);
            KV318_CloseDevice(h);
        }
    }

    static constexpr Handle kA = 0x40;
    static constexpr Handle kB = 0x44;
    RecordingDevice dev;
    BoardModel board{dev};
    ManualTimer timer;
    FakeLocks locks;
};

TEST_F(BoardLock, AStartRefusedByTheLockAndTheStopAfterItSendNothingToTheBoard) {
    for (const Mode& m : kModes) {
        for (BoardLockResult why : {BoardLockResult::Busy, BoardLockResult::Failed}) {
            const Handle h = open(7, kA);
            locks.answer = why;
            locks.heldElsewhere = why == BoardLockResult::Busy;
            locks.acquired.clear();
            dev.clear();
            EXPECT_EQ(m.start(h, 0, 0, 0, 0, 50), -1) << m.name;
            EXPECT_EQ(locks.acquired, std::vector<std::int32_t>{7}) << m.name;
            EXPECT_FALSE(timer.live()) << m.name;
            // The stop that follows a refused start, as the test panel
            // makes it, must not stop the other process's conversion.  A
            // lock file that cannot be used holds nobody: that stop is sent.
            EXPECT_EQ(m.stop(h), 0);
            const auto sent = register_ops(dev.requests());
            if (why == BoardLockResult::Busy) {
                EXPECT_EQ(dev.request_count(), 0u) << m.name << ": not one byte reaches the board";
            } else {
                EXPECT_EQ(sent, (std::vector<RegOp>{{kCmdRead8, 4, 0}})) << m.name << ": only the stop";
            }
            // Nothing is held, so nothing is given back later.
            EXPECT_EQ(KV318_CloseDevice(h), 0);
            EXPECT_TRUE(locks.released.empty()) << m.name;
        }
    }
}

TEST_F(BoardLock, StopCloseAndAFailedStartEachGiveTheLockBackOnce) {
    struct Ending {
        const char* what;
        void (*end)(const Mode&, Handle, BoardModel&);
        bool started;  // whether the start itself succeeds
    };
    const Ending endings[] = {
        {"the stop call", [](const Mode& m, Handle h, BoardModel&) { m.stop(h); }, true},
        {"closing the handle", [](const Mode&, Handle h, BoardModel&) { KV318_CloseDevice(h); }, true},
        {"a failing board request",
         [](const Mode& m, Handle h, BoardModel& b) {
             b.set_failing(kCmdWrite16, 6, true);
             EXPECT_EQ(m.start(h, 0, 0, 0, 0, 50), -1);
             b.set_failing(kCmdWrite16, 6, false);
         },
         false},
    };
    for (const Mode& m : kModes) {
        for (const Ending& e : endings) {
            const Handle h = open(2, kA);
            locks.acquired.clear();
            locks.released.clear();
            if (e.started) {
                ASSERT_EQ(m.start(h, 0, 0, 0, 0, 50), 0) << m.name << ", " << e.what;
            }
            e.end(m, h, board);
            EXPECT_EQ(locks.acquired, std::vector<std::int32_t>{2}) << m.name << ", " << e.what;
            EXPECT_EQ(locks.released, std::vector<BoardLockToken>{1002}) << m.name << ", " << e.what;
            // Whatever ends it later gives nothing back twice.
            m.stop(h);
            KV318_CloseDevice(h);
            EXPECT_EQ(locks.released.size(), 1u) << m.name << ", " << e.what;
        }
    }
}

TEST_F(BoardLock, AStreamWhoseTimerCannotStartGivesTheLockBack) {
    const Handle h = open(1, kA);
    timer.set_create_fails(true);
    EXPECT_EQ(KV318_AD(h, 0, 0, 0, 0, 50), -1);
    EXPECT_EQ(locks.acquired, std::vector<std::int32_t>{1});
    EXPECT_EQ(locks.released, std::vector<BoardLockToken>{1001});
}

TEST_F(BoardLock, KV318_StopADOnAnyHandleEndsTheStreamsHold) {
    const Handle a = open(0, kA);
    const Handle b = open(0, kB);
    ASSERT_EQ(KV318_AD(a, 0, 0, 0, 0, 50), 0);
    EXPECT_EQ(KV318_StopAD(b), 0);
    EXPECT_EQ(locks.released, std::vector<BoardLockToken>{1000});
}

TEST_F(BoardLock, ASecondStartWhileARunHoldsTheBoardLeavesTheLockAlone) {
    // One acquisition per library: a restart, or a start on another handle
    // of the same board, is refused before it reaches the lock, and the
    // running run keeps its hold until its own stop.
    const Handle a = open(5, kA);
    const Handle b = open(5, kB);
    ASSERT_EQ(KV318_M_AD(a, 0, 0, 0, 0, 50), 0);
    dev.clear();
    EXPECT_EQ(KV318_M_AD(a, 0, 0, 0, 0, 50), -1) << "a restart";
    EXPECT_EQ(KV318_M_AD(b, 0, 0, 0, 0, 50), -1) << "another handle of the same board";
    EXPECT_EQ(KV318_AD(b, 0, 0, 0, 0, 50), -1) << "a stream beside the run";
    EXPECT_EQ(dev.request_count(), 0u) << "a refused start sends nothing";
    EXPECT_EQ(locks.acquired, std::vector<std::int32_t>{5}) << "one OS lock per board and process";
    EXPECT_TRUE(locks.released.empty());
    KV318_M_StopAD(a);
    EXPECT_EQ(locks.released, std::vector<BoardLockToken>{1005});
    EXPECT_TRUE(locks.asked.empty()) << "a board this process holds is its own to stop";
}

TEST_F(BoardLock, AHandleTheLibraryDidNotOpenStartsWithoutALock) {
    // Its board is unknown: the start goes on as it always did.
    for (const Mode& m : kModes) {
        dev.clear();
        EXPECT_EQ(m.start(0x3C, 0, 0, 0, 0, 50), 0) << m.name;
        EXPECT_EQ(dev.request_count(), 6u) << m.name;
        m.stop(0x3C);
    }
    EXPECT_TRUE(locks.acquired.empty());
    EXPECT_TRUE(locks.asked.empty());
}

// The raw exports, each with the requests it sends when it goes through.
struct RawCall {
    const char* name;
    std::int32_t (*call)(Handle);
    std::int32_t result;        // what it returns when the request goes through
    std::vector<RegOp> ops;     // its register traffic then
    std::vector<BulkAsk> bulk;  // its bulk reads then
};
const RawCall kRawCalls[] = {
    {"KV318_inb", [](Handle h) { return KV318_inb(h, 4); }, 0, {{kCmdRead8, 4, 0}}, {}},
    {"KV318_outb", [](Handle h) { return KV318_outb(h, 9, 0x5A); }, 0, {{kCmdWrite8, 9, 0x5A}}, {}},
    {"KV318_BulkRead",
     [](Handle h) {
         std::uint8_t buffer[17];
         return KV318_BulkRead(h, buffer, 16);
     },
     16,
     {},
     {{16, 17}}},
    {"KV318_ResetUSB", [](Handle h) { return KV318_ResetUSB(h); }, 0, {{kCmdResetUsb, 0, 0}}, {}},
};

TEST_F(BoardLock, RawAccessIsRefusedWithoutAByteWhileAnotherProcessHoldsTheBoard) {
    struct Holder {
        const char* who;
        bool elsewhere;  // the lock says another process holds the board
        bool ourStream;  // this process streams the board
        bool opened;     // the library opened the handle, so it knows its board
        bool refused;
    };
    const Holder holders[] = {
        {"another process", true, false, true, true},
        {"nobody", false, false, true, false},
        // The holder is not asked: its own board is its own to use.
        {"this process", true, true, true, false},
        // No known board, so no lock can say it is another's.
        {"a handle the library did not open", true, false, false, false},
    };
    for (const Holder& x : holders) {
        for (const RawCall& c : kRawCalls) {
            const Handle h = x.opened ? open(3, kA) : Handle{0x3C};
            locks.heldElsewhere = false;
            if (x.ourStream) {
                ASSERT_EQ(KV318_AD(h, 0, 0, 0, 0, 50), 0) << x.who << ", " << c.name;
            }
            locks.heldElsewhere = x.elsewhere;
            locks.asked.clear();
            if (!x.refused && !c.bulk.empty()) board.queue_bulk({16});
            dev.clear();
            const std::int32_t got = c.call(h);
            const std::vector<Request> sent = dev.requests();
            EXPECT_EQ(got, x.refused ? -1 : c.result) << x.who << ", " << c.name;
            EXPECT_EQ(register_ops(sent), x.refused ? std::vector<RegOp>{} : c.ops) << x.who << ", " << c.name;
            EXPECT_EQ(bulk_asks(sent), x.refused ? std::vector<BulkAsk>{} : c.bulk) << x.who << ", " << c.name;
            EXPECT_EQ(sent.size(), x.refused ? 0u : c.ops.size() + c.bulk.size()) << x.who << ", " << c.name;
            const bool asks = x.opened && !x.ourStream;
            EXPECT_EQ(locks.asked, asks ? std::vector<std::int32_t>{3} : std::vector<std::int32_t>{})
                << x.who << ", " << c.name;
            locks.heldElsewhere = false;
            KV318_StopAD(h);
            if (x.opened) {
                EXPECT_EQ(KV318_CloseDevice(h), 0);
            }
        }
    }
}

}  // namespace
}  // namespace kv318::test
