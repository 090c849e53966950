// The Windows driver channel, end to end: with no kernel driver publishing
// the device, KV318_OpenDevice falls back to the named pipe, where a small
// driver inside the test answers with the channel's frames.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KV318.h"
#include "channel_frame.h"
#include "requests.h"

namespace kv318 {
namespace {

// What the test driver does with one request.
enum class Action { Reply, Echo, Fail, CountOverCapacity, ShortFrame, Close, Silence };

struct Seen {
    RequestHeader header;
    std::vector<std::uint8_t> in;
};

// A board number no other process uses, so a simulator running on the same
// machine cannot answer in the driver's place.
std::int32_t private_board() {
    return 10000 + static_cast<std::int32_t>(GetCurrentProcessId() % 100000);
}

std::string pipe_name(std::int32_t board) {
    return "\\\\.\\pipe\\KV318Device" + std::to_string(board);
}

class TestDriver {
public:
    explicit TestDriver(DWORD maxInstances = PIPE_UNLIMITED_INSTANCES)
        : board_(private_board()), name_(pipe_name(board_)), maxInstances_(maxInstances) {
        // The first instance exists before the test opens the board.
        listening_ = make_instance();
        EXPECT_NE(listening_, INVALID_HANDLE_VALUE) << "CreateNamedPipeA " << GetLastError();
        thread_ = std::thread([this] { serve(); });
    }

    ~TestDriver() {
        stop_ = true;
        // Wake the server from ConnectNamedPipe with a client of our own.
        for (int i = 0; i < 100 && !done_; ++i) {
            HANDLE wake = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
            if (wake != INVALID_HANDLE_VALUE) {
                CloseHandle(wake);
                break;
            }
            Sleep(10);
        }
        thread_.join();
    }

    std::int32_t board() const { return board_; }
    const std::string& name() const { return name_; }
    void set_action(Action a) { action_ = a; }

    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    HANDLE make_instance() {
        return CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                maxInstances_, 4096, 4096, 0, nullptr);
    }

    static bool read_all(HANDLE h, std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            DWORD got = 0;
            if (!ReadFile(h, p, static_cast<DWORD>(n), &got, nullptr) || got == 0) return false;
            p += got;
            n -= got;
        }
        return true;
    }

    static void write_all(HANDLE h, const std::uint8_t* p, std::size_t n) {
        DWORD put = 0;
        WriteFile(h, p, static_cast<DWORD>(n), &put, nullptr);
    }

    void serve() {
        while (!stop_) {
            HANDLE pipe = listening_;
            if (pipe == INVALID_HANDLE_VALUE) break;
            const BOOL connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
            // Listen again at once, unless one instance is all we may have.
            listening_ = maxInstances_ == 1 ? INVALID_HANDLE_VALUE : make_instance();
            if (connected && !stop_) handle(pipe);
            FlushFileBuffers(pipe);
            DisconnectNamedPipe(pipe);
            CloseHandle(pipe);
            if (maxInstances_ == 1 && !stop_) listening_ = make_instance();
        }
        if (listening_ != INVALID_HANDLE_VALUE) CloseHandle(listening_);
        done_ = true;
    }

    void handle(HANDLE pipe) {
        for (;;) {
            std::uint8_t h[kRequestHeaderSize];
            if (!read_all(pipe, h, sizeof h)) return;
            Seen s{decode_request_header(h), {}};
            s.in.resize(s.header.inLen);
            if (!read_all(pipe, s.in.data(), s.in.size())) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen_.push_back(s);
            }
            // Answer with a pattern so the test can check the bytes that cross.
            std::vector<std::uint8_t> body(std::min<std::uint32_t>(s.header.outCap, 5));
            for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(0xA0 + i);
            std::uint8_t rh[kReplyHeaderSize];
            switch (action_.load()) {
            case Action::Echo:
                // Reply byte 0 is the register asked for, so each caller can
                // tell its own reply from another thread's.
                if (!body.empty() && s.in.size() > 2) body[0] = s.in[2];
                [[fallthrough]];
            case Action::Reply:
                encode_reply_header(rh, {0, static_cast<std::uint32_t>(body.size())});
                write_all(pipe, rh, sizeof rh);
                write_all(pipe, body.data(), body.size());
                break;
            case Action::Fail:
                encode_reply_header(rh, {5, 0});
                write_all(pipe, rh, sizeof rh);
                break;
            case Action::CountOverCapacity:
                encode_reply_header(rh, {0, s.header.outCap + 1});
                write_all(pipe, rh, sizeof rh);
                body.resize(s.header.outCap + 1, 0xEE);
                write_all(pipe, body.data(), body.size());
                break;
            case Action::ShortFrame:
                encode_reply_header(rh, {0, 4});
                write_all(pipe, rh, sizeof rh);
                write_all(pipe, body.data(), 2);
                return;  // the stream ends two bytes short
            case Action::Close:
                return;
            case Action::Silence: {
                // Hold the pipe open and say nothing until the client gives up.
                std::uint8_t sink[64];
                DWORD got = 0;
                while (ReadFile(pipe, sink, sizeof sink, &got, nullptr) && got > 0) {
                }
                return;
            }
            }
        }
    }

    std::int32_t board_;
    std::string name_;
    DWORD maxInstances_;
    HANDLE listening_ = INVALID_HANDLE_VALUE;  // used by the server thread after the constructor
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<Action> action_{Action::Reply};
    std::mutex mutex_;
    std::vector<Seen> seen_;
};

TEST(PipeChannel, RequestsAndRepliesCrossThePipe) {
    TestDriver driver;
    const std::int32_t h = KV318_OpenDevice(driver.board());
    ASSERT_NE(h, -1);
    EXPECT_EQ(KV318_inb(h, 0x104), 0xA0);
    std::uint8_t buffer[32];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(KV318_BulkRead(h, buffer, 3), 4) << "a capacity of 4 caps the driver's 5 bytes";
    EXPECT_EQ(buffer[3], 0xA3);
    EXPECT_EQ(buffer[4], 0xEE);
    EXPECT_EQ(KV318_CloseDevice(h), 0);

    const auto seen = driver.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].header.code, kIoctlCommand);
    EXPECT_EQ(seen[0].header.outCap, 64u);
    EXPECT_EQ(seen[0].in, (std::vector<std::uint8_t>{0x80, 8, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(seen[1].header.code, kIoctlBulkRead);
    EXPECT_EQ(seen[1].header.outCap, 4u);
    EXPECT_EQ(seen[1].in, (std::vector<std::uint8_t>{3, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(PipeChannel, DriverFailureFailsOnlyThatRequest) {
    TestDriver driver;
    const std::int32_t h = KV318_OpenDevice(driver.board());
    ASSERT_NE(h, -1);
    driver.set_action(Action::Fail);
    EXPECT_EQ(KV318_inb(h, 1), -1);
    driver.set_action(Action::Reply);
    EXPECT_EQ(KV318_inb(h, 1), 0xA0) << "a clean failure reply keeps the frame";
    EXPECT_EQ(KV318_CloseDevice(h), 0);
}

TEST(PipeChannel, BrokenRepliesFailAndBreakTheHandle) {
    const struct { Action action; const char* what; } cases[] = {
        {Action::CountOverCapacity, "count over capacity"},
        {Action::ShortFrame, "short frame"},
        {Action::Close, "closed pipe"},
        {Action::Silence, "silence"},
    };
    for (const auto& c : cases) {
        TestDriver driver;
        const std::int32_t h = KV318_OpenDevice(driver.board());
        ASSERT_NE(h, -1) << c.what;
        driver.set_action(c.action);
        std::uint8_t buffer[16];
        std::memset(buffer, 0xEE, sizeof buffer);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(KV318_BulkRead(h, buffer, 4), -1) << c.what;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(10)) << c.what << ": the channel's timeout bounds the wait";
        EXPECT_EQ(buffer[5], 0xEE) << c.what << ": nothing lands past the capacity";
        // The handle is broken now: later requests fail at once and reach no driver.
        driver.set_action(Action::Reply);
        const std::size_t before = driver.seen().size();
        EXPECT_EQ(KV318_inb(h, 0), -1) << c.what;
        EXPECT_EQ(KV318_DI(h), 65535) << c.what;
        EXPECT_EQ(driver.seen().size(), before) << c.what;
        EXPECT_EQ(KV318_CloseDevice(h), 0) << c.what;
    }
}

TEST(PipeChannel, TwoThreadsOnOneHandleGetTheirOwnReplies) {
    TestDriver driver;
    driver.set_action(Action::Echo);
    const std::int32_t h = KV318_OpenDevice(driver.board());
    ASSERT_NE(h, -1);
    std::atomic<int> wrong{0};
    auto poll = [&](int reg) {
        for (int i = 0; i < 300; ++i)
            if (KV318_inb(h, reg) != reg) ++wrong;
    };
    std::thread a(poll, 0x11);
    std::thread b(poll, 0x22);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0) << "interleaved frames hand one thread the other's reply";
    EXPECT_EQ(driver.seen().size(), 600u);
    EXPECT_EQ(KV318_CloseDevice(h), 0);
}

TEST(PipeChannel, NoDeviceAndNoPipeIsNoBoard) {
    TestDriver driver;
    EXPECT_EQ(KV318_OpenDevice(driver.board() + 1), -1) << "no pipe for that board";
    const std::int32_t h = KV318_OpenDevice(driver.board());
    EXPECT_NE(h, -1);
    EXPECT_EQ(KV318_CloseDevice(h), 0);
}

TEST(PipeChannel, ABusyPipeHoldsTheOpenNoLongerThanTheTimeout) {
    // One instance only, held by another client: the open waits for the
    // driver to listen again, but not past the channel's timeout.
    TestDriver driver(1);
    const std::int32_t first = KV318_OpenDevice(driver.board());
    ASSERT_NE(first, -1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KV318_OpenDevice(driver.board()), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // Once the first client leaves, the driver listens again and a waiting
    // open gets through.
    std::atomic<std::int32_t> second{-1};
    std::thread opener([&] { second = KV318_OpenDevice(driver.board()); });
    EXPECT_EQ(KV318_CloseDevice(first), 0);
    opener.join();
    ASSERT_NE(second.load(), -1) << "the open waits out a busy pipe";
    EXPECT_EQ(KV318_inb(second, 0), 0xA0);
    EXPECT_EQ(KV318_CloseDevice(second), 0);
}

}  // namespace
}  // namespace kv318
