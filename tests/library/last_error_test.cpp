// KV318_LastError: each failure of each export, provoked through the
// recording device, the test timer and a substitute lock service, leaves
// the calling thread exactly the text that names the export, the request
// and the cause; a success leaves none; threads keep their own; and the
// caller's buffer gets the rules the header states, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "KV318.h"
#include "acquisition.h"
#include "last_error.h"
#include "board_lock_service.h"
#include "board_model.h"
#include "manual_timer.h"
#include "recording_device.h"

namespace kv318::test {
namespace {

constexpr Handle kH = 0x7C;  // what the recording device's open returns
constexpr char kGone[] = "the board is disconnected (its driver closed the connection or stopped answering)";

// Answers as a test sets it, and says who holds the board.
class FakeLocks final : public BoardLockService {
public:
    FakeLocks() { set_board_lock_service(this); }
    ~FakeLocks() override { set_board_lock_service(nullptr); }
    BoardLockResult acquire(std::int32_t, BoardLockToken* token) override {
        if (answer == BoardLockResult::Taken) *token = 1;
        return answer;
    }
    void release(BoardLockToken) override {}
    bool held_elsewhere(std::int32_t) override { return heldElsewhere; }
    BoardHolder holder(std::int32_t) override { return who; }
    std::string lock_file_problem(std::int32_t) override { return problem; }

    BoardLockResult answer = BoardLockResult::Taken;
    bool heldElsewhere = false;
    BoardHolder who;
    std::string problem;
};

// The calling thread's text, checked against the length KV318_LastError returns.
std::string last_error() {
    char text[2048];
    const std::int32_t n = KV318_LastError(text, sizeof text);
    EXPECT_EQ(n, static_cast<std::int32_t>(std::strlen(text)));
    return text;
}

// A device, a board, a timer and a lock service of their own, installed
// while the rig lives, so each case starts from nothing; the destructor
// ends whatever the case started.
struct Rig {
    ~Rig() {
        KV318_StopAD(kH);
        KV318_M_StopAD(kH);
        KV318_CloseDevice(kH);
    }
    // Opens board 0 through the library, so the handle's board is known.
    void open_board() { ASSERT_EQ(KV318_OpenDevice(0), kH); }
    // Starts a stream whose first tick buffers 1024 bytes.
    void stream_with_data() {
        ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), 0);
        board.set_status(status_with_level(1));
        board.queue_bulk({1024});
        ASSERT_TRUE(timer.fire());
    }

    RecordingDevice dev;
    BoardModel board{dev};
    ManualTimer timer;
    FakeLocks locks;
    std::vector<std::int32_t> samples = std::vector<std::int32_t>(KV318_READ_MAX_SAMPLES);
    std::int32_t carry = 0;
};

TEST(LastError, EachFailureNamesTheCallTheRequestAndTheCause) {
    struct Case {
        const char* what;
        std::function<void(Rig&)> arrange;
        std::function<std::int32_t(Rig&)> call;
        std::int32_t result;
        std::string text;
    };
    using T = Rig;
    const std::string busy = "board 0 is busy: acquisition is held by ";
    const Case cases[] = {
        // Opening and closing.
        {"open, the service says why",
         [](T& t) {
             t.dev.set_open_result(-1);
             t.dev.set_open_failure("no such board (driver channel /d/KV318Device3 not found)");
         },
         [](T&) { return KV318_OpenDevice(3); }, -1,
         "KV318_OpenDevice: board 3: no such board (driver channel /d/KV318Device3 not found)"},
        {"open, the service cannot say", [](T& t) { t.dev.set_open_result(-1); },
         [](T&) { return KV318_OpenDevice(5); }, -1, "KV318_OpenDevice: board 5: no board answers"},
        {"close of a handle not open",
         [](T& t) {
             t.dev.set_close_result(-1);
             t.dev.set_request_fault(RequestFault::NotOpen);
         },
         [](T&) { return KV318_CloseDevice(kH); }, -1, "KV318_CloseDevice: handle 124 is not open"},
        {"close refused", [](T& t) { t.dev.set_close_result(-1); }, [](T&) { return KV318_CloseDevice(kH); }, -1,
         "KV318_CloseDevice: the system refused to close handle 124"},
        // Requests that fail, each cause in its words.
        {"invalid handle",
         [](T& t) {
             t.board.set_failing(kCmdWrite16, 14, true);
             t.dev.set_request_fault(RequestFault::NotOpen);
         },
         [](T&) { return KV318_DO(kH, 1); }, -1, "KV318_DO: handle 124 is not open"},
        {"a refused write", [](T& t) { t.board.set_failing(kCmdWrite16, 14, true); },
         [](T&) { return KV318_DO(kH, 1); }, -1,
         "KV318_DO: writing register 14 (digital outputs) on handle 124 failed: the driver refused it"},
        {"a board that went away",
         [](T& t) {
             t.board.set_status(BoardModel::kFail);
             t.dev.set_request_fault(RequestFault::Disconnected);
         },
         [](T&) { return KV318_inb(kH, 0); }, -1,
         std::string("KV318_inb: reading register 0 (status) on handle 124 failed: ") + kGone},
        {"replies out of step",
         [](T& t) {
             t.board.set_failing(kCmdWrite8, 9, true);
             t.dev.set_request_fault(RequestFault::OutOfStep);
         },
         [](T&) { return KV318_outb(kH, 9, 1); }, -1,
         "KV318_outb: writing register 9 (pulse control) on handle 124 failed: the driver's replies went out of "
         "step with the requests, so the handle is unusable; close it and open the board again"},
        {"a forked child's handle",
         [](T& t) {
             t.board.set_failing(kCmdWrite8, 8, true);
             t.dev.set_request_fault(RequestFault::Inherited);
         },
         [](T&) { return KV318_CRun(kH); }, -1,
         "KV318_CRun: handle 124 belongs to the process this one was forked from; open the board again here"},
        {"inputs that cannot be told from all high", [](T& t) { t.board.set_failing(kCmdRead16, 14, true); },
         [](T&) { return KV318_DI(kH); }, 65535,
         "KV318_DI: reading register 14 (digital inputs) on handle 124 failed: the driver refused it"},
        {"counter state read", [](T& t) { t.board.set_failing(kCmdRead8, 8, true); },
         [](T&) { return KV318_CRead(kH); }, -1,
         "KV318_CRead: reading register 8 (counter state) on handle 124 failed: the driver refused it"},
        {"no valid count is no failure", [](T& t) { t.dev.queue(register_reply(kCounterInvalid)); },
         [](T&) { return KV318_CRead(kH); }, -1, ""},
        {"pulse divisor", [](T& t) { t.board.set_failing(kCmdWrite8, 10, true); },
         [](T&) { return KV318_PRun(kH, 0, 50); }, -1,
         "KV318_PRun: writing register 10 (pulse divisor) on handle 124 failed: the driver refused it"},
        {"a failed control write that PRun ignores", [](T& t) { t.board.set_failing(kCmdWrite8, 9, true); },
         [](T&) { return KV318_PRun(kH, 0, 50); }, 0, ""},
        {"identity string", [](T&) {}, [](T&) { return KV318_Info(kH, nullptr); }, -1, "KV318_Info: text is NULL"},
        {"identity string 1", [](T&) {},  // the board model fails every string request
         [](T&) {
             char text[KV318_INFO_BYTES];
             return KV318_Info(kH, text);
         },
         -1, "KV318_Info: reading identity string 1 on handle 124 failed: the driver refused it"},
        {"bulk read into NULL", [](T&) {}, [](T&) { return KV318_BulkRead(kH, nullptr, 16); }, -1,
         "KV318_BulkRead: buffer is NULL"},
        {"bulk read", [](T& t) { t.board.queue_bulk({BoardModel::kFail}); },
         [](T&) {
             std::uint8_t buffer[17];
             return KV318_BulkRead(kH, buffer, 0x10010);
         },
         -1, "KV318_BulkRead: a bulk read of 16 bytes on handle 124 failed: the driver refused it"},
        {"reset", [](T& t) { t.board.set_failing(kCmdResetUsb, 0, true); }, [](T&) { return KV318_ResetUSB(kH); }, -1,
         "KV318_ResetUSB: resetting the USB pipe on handle 124 failed: the driver refused it"},
        {"raw access to a busy board",
         [](T& t) {
             t.open_board();
             t.locks.heldElsewhere = true;
             t.locks.who = {1234, "kv318-cli"};
         },
         [](T&) { return KV318_outb(kH, 9, 0); }, -1, "KV318_outb: " + busy + "kv318-cli (pid 1234)"},
        // Starts.
        {"a busy board, holder known",
         [](T& t) {
             t.open_board();
             t.locks.answer = BoardLockResult::Busy;
             t.locks.who = {1234, "kv318-cli"};
         },
         [](T&) { return KV318_AD(kH, 0, 0, 0, 0, 50); }, -1, "KV318_AD: " + busy + "kv318-cli (pid 1234)"},
        {"a busy board, name unknown",
         [](T& t) {
             t.open_board();
             t.locks.answer = BoardLockResult::Busy;
             t.locks.who = {4321, ""};
         },
         [](T&) { return KV318_M_AD(kH, 0, 0, 0, 0, 50); }, -1, "KV318_M_AD: " + busy + "pid 4321"},
        {"a busy board, holder unknown",
         [](T& t) {
             t.open_board();
             t.locks.answer = BoardLockResult::Busy;
         },
         [](T&) { return KV318_AD(kH, 0, 0, 0, 0, 50); }, -1, "KV318_AD: " + busy + "another process"},
        {"an unusable lock file",
         [](T& t) {
             t.open_board();
             t.locks.answer = BoardLockResult::Failed;
             t.locks.problem = "the lock file /d/KV318Device0.lock is a symbolic link";
         },
         [](T&) { return KV318_AD(kH, 0, 0, 0, 0, 50); }, -1,
         "KV318_AD: board 0 cannot be started: the lock file /d/KV318Device0.lock is a symbolic link"},
        {"configuration", [](T& t) { t.board.set_failing(kCmdWrite16, 6, true); },
         [](T&) { return KV318_AD(kH, 0, 0, 0, 0, 50); }, -1,
         "KV318_AD: configuring the board: writing register 6 (divider) on handle 124 failed: the driver refused it"},
        {"a stream already running", [](T&) { ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), 0); },
         [](T&) { return KV318_M_AD(kH, 0, 0, 0, 0, 50); }, -1,
         "KV318_M_AD: a stream is already running (on handle 124); call KV318_StopAD first"},
        {"a polled run already running", [](T&) { ASSERT_EQ(KV318_M_AD(kH, 0, 0, 0, 0, 50), 0); },
         [](T&) { return KV318_AD(kH, 0, 0, 0, 0, 50); }, -1,
         "KV318_AD: a polled run is already running (on handle 124); call KV318_M_StopAD first"},
        {"no timer resolution", [](T& t) { t.timer.set_capabilities(false, 1); },
         [](T&) { return KV318_AD(kH, 0, 0, 0, 0, 50); }, -1,
         "KV318_AD: the timer could not start: the system does not tell its timer's resolution"},
        {"a coarse timer", [](T& t) { t.timer.set_capabilities(true, 3); },
         [](T&) { return KV318_AD(kH, 0, 0, 0, 0, 50); }, -1,
         "KV318_AD: the timer could not start: the system's finest timer period is 3 ms, coarser than 2 ms"},
        {"no timer", [](T& t) { t.timer.set_create_fails(true); }, [](T&) { return KV318_AD(kH, 0, 0, 0, 0, 50); }, -1,
         "KV318_AD: the timer could not start: the system refused to create a periodic timer"},
        // KV318_Read, each negative code the header lists.
        {"read into NULL", [](T&) {}, [](T&) { return KV318_Read(kH, nullptr); }, -1, "KV318_Read: samples is NULL"},
        {"read, conversion stopped",
         [](T& t) {
             t.stream_with_data();
             t.board.set_status(status_with_level(0, false));
         },
         [](T& t) { return KV318_Read(kH, t.samples.data()); }, -1,
         "KV318_Read: the board reports acquisition not enabled (status 0x00): something stopped its conversion; "
         "the buffered samples are kept"},
        {"read, ring overflow",
         [](T& t) {
             t.stream_with_data();
             RingCount = kRingSize;
         },
         [](T& t) { return KV318_Read(kH, t.samples.data()); }, -2,
         "KV318_Read: the ring ran over: samples were lost; stop the stream and start it again"},
        {"read after the timer's bulk read failed",
         [](T& t) {
             ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), 0);
             t.board.set_status(status_with_level(1));
             t.board.queue_bulk({BoardModel::kFail});
             t.dev.set_request_fault(RequestFault::Disconnected);
             ASSERT_TRUE(t.timer.fire());
         },
         [](T& t) { return KV318_Read(kH, t.samples.data()); }, -3,
         std::string("KV318_Read: a transfer fault, until KV318_StopAD: a bulk read of 2048 bytes on handle 124 "
                     "failed: ") +
             kGone},
        {"read after the timer's status read failed",
         [](T& t) {
             ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), 0);
             t.board.set_status(BoardModel::kFail);
             ASSERT_TRUE(t.timer.fire());
         },
         [](T& t) { return KV318_Read(kH, t.samples.data()); }, -3,
         "KV318_Read: a transfer fault, until KV318_StopAD: reading register 0 (status) on handle 124 failed: the "
         "driver refused it"},
        {"read whose own status read fails",
         [](T& t) {
             t.stream_with_data();
             t.board.set_status(BoardModel::kFail);
         },
         [](T& t) { return KV318_Read(kH, t.samples.data()); }, -3,
         "KV318_Read: a transfer fault, until KV318_StopAD: reading register 0 (status) on handle 124 failed: the "
         "driver refused it"},
        // Polled reads and the statistics.
        {"polled read beside a stream", [](T&) { ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), 0); },
         [](T& t) { return KV318_M_Read(kH, t.samples.data(), &t.carry, 0); }, -1,
         "KV318_M_Read: a stream is running; polled reads wait for KV318_StopAD"},
        {"polled read, no carry", [](T&) {}, [](T& t) { return KV318_M_Read(kH, t.samples.data(), nullptr, 0); }, -1,
         "KV318_M_Read: carry is NULL"},
        {"polled read, conversion stopped", [](T& t) { t.board.set_status(status_with_level(2, false)); },
         [](T& t) { return KV318_M_Read(kH, t.samples.data(), &t.carry, 0); }, -1,
         "KV318_M_Read: the board reports acquisition not enabled (status 0x20): no polled run converts"},
        {"polled bulk read",
         [](T& t) {
             t.board.set_status(status_with_level(1));
             t.board.queue_bulk({BoardModel::kFail});
         },
         [](T& t) { return KV318_M_Read(kH, t.samples.data(), &t.carry, 0); }, -1,
         "KV318_M_Read: the bytes of this read are lost: a bulk read of 2048 bytes on handle 124 failed: the driver "
         "refused it"},
        {"statistics record too small", [](T&) {},
         [](T&) {
             KV318_STREAM_STATS stats{};
             stats.size = 12;
             return KV318_StreamStats(kH, &stats);
         },
         -1, "KV318_StreamStats: stats->size is 12, below the 16 bytes of the least record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig;
        c.arrange(rig);
        EXPECT_EQ(c.call(rig), c.result);
        EXPECT_EQ(last_error(), c.text);
    }
}

// One rule for every export: a call empties the calling thread's text and
// writes it only when it fails; asking does not empty it; other threads'
// calls never touch it.
TEST(LastError, EachCallLeavesItsOwnOutcomeOnItsOwnThreadOnly) {
    Rig rig;
    const std::string doFailed =
        "KV318_DO: writing register 14 (digital outputs) on handle 124 failed: the driver refused it";
    rig.board.set_failing(kCmdWrite16, 14, true);
    ASSERT_EQ(KV318_DO(kH, 1), -1);
    EXPECT_EQ(last_error(), doFailed);
    EXPECT_EQ(last_error(), doFailed) << "asking twice gives the same text";

    // Another thread's failure and success leave this thread's text alone,
    // and this thread's failure is not that thread's.
    std::string seenThere, afterItsFailure;
    std::thread other([&] {
        seenThere = last_error();
        char text[KV318_INFO_BYTES];
        (void)KV318_Info(kH, text);
        afterItsFailure = last_error();
        (void)KV318_DI(kH);
    });
    other.join();
    EXPECT_EQ(seenThere, "") << "a new thread has no failure";
    EXPECT_EQ(afterItsFailure, "KV318_Info: reading identity string 1 on handle 124 failed: the driver refused it");
    EXPECT_EQ(last_error(), doFailed);

    // A call that succeeds empties it, as do the calls that always succeed.
    struct Success {
        const char* what;
        std::int32_t (*call)();
    };
    const Success successes[] = {
        {"KV318_DI", [] { return KV318_DI(kH); }},
        {"KV318_StopAD", [] { return KV318_StopAD(kH); }},
        {"KV318_M_StopAD", [] { return KV318_M_StopAD(kH); }},
        {"KV318_CloseDevice(-1)", [] { return KV318_CloseDevice(-1); }},
    };
    for (const Success& c : successes) {
        ASSERT_EQ(KV318_DO(kH, 1), -1);
        ASSERT_FALSE(last_error().empty());
        EXPECT_GE(c.call(), 0) << c.what;
        EXPECT_EQ(last_error(), "") << c.what;
    }
}

// The caller's buffer: never written past `size`, always terminated, the
// whole length returned; -1 and nothing written for NULL or a size below 1.
TEST(LastError, TheBufferIsCutAndTerminatedWithinItsSize) {
    Rig rig;
    const std::string text = "KV318_Read: samples is NULL";
    const auto n = static_cast<std::int32_t>(text.size());
    ASSERT_EQ(KV318_Read(kH, nullptr), -1);
    struct Case {
        std::int32_t size;
        std::int32_t result;
        std::string written;  // the bytes written, terminating zero included
    };
    const Case cases[] = {
        {0, -1, ""},
        {-5, -1, ""},
        {1, n, std::string(1, '\0')},
        {5, n, text.substr(0, 4) + '\0'},
        {n, n, text.substr(0, text.size() - 1) + '\0'},
        {n + 1, n, text + '\0'},
        {n + 40, n, text + '\0'},
    };
    for (const Case& c : cases) {
        std::vector<char> buffer(static_cast<std::size_t>(n) + 64, 'x');
        EXPECT_EQ(KV318_LastError(buffer.data(), c.size), c.result) << "size " << c.size;
        const std::string expected = c.written + std::string(buffer.size() - c.written.size(), 'x');
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()), expected) << "size " << c.size;
    }
    EXPECT_EQ(KV318_LastError(nullptr, 100), -1);

    // No failure: 0, and an empty string in a buffer of any size.
    ASSERT_EQ(KV318_StopAD(kH), 0);
    for (std::int32_t size : {1, 2, 100}) {
        std::vector<char> buffer(100, 'x');
        EXPECT_EQ(KV318_LastError(buffer.data(), size), 0);
        EXPECT_EQ(buffer[0], '\0');
        EXPECT_EQ(buffer[1], 'x');
    }
}

// A text that would pass the library's capacity is cut there, terminated,
// and returned with the length that was kept.
TEST(LastError, AnOverlongTextIsCutAtTheCapacity) {
    Rig rig;
    rig.dev.set_open_result(-1);
    rig.dev.set_open_failure(std::string(3000, 'w'));
    ASSERT_EQ(KV318_OpenDevice(1), -1);
    std::vector<char> buffer(4000, 'x');
    EXPECT_EQ(KV318_LastError(buffer.data(), 4000), static_cast<std::int32_t>(kLastErrorCapacity - 1));
    const std::string prefix = "KV318_OpenDevice: board 1: ";
    EXPECT_EQ(std::string(buffer.data(), prefix.size()), prefix);
    EXPECT_EQ(buffer[kLastErrorCapacity - 2], 'w');
    EXPECT_EQ(buffer[kLastErrorCapacity - 1], '\0');
}

}  // namespace
}  // namespace kv318::test
