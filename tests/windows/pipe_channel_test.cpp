// The Windows driver channel, end to end: with no kernel driver publishing
// the device, KV318_OpenDevice falls back to the named pipe, where a small
// driver inside the test answers with the channel's frames.  The
// transport-independent cases are the channel contract; the cases below it
// are the pipe's own.
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
#include "channel_contract.h"
#include "os_handle.h"
#include "pipe_channel.h"
#include "scripted_driver.h"
#include "wait.h"

namespace kv318::test {
namespace {

// One connection on a pipe instance.
class PipeConnection final : public DriverConnection {
public:
    explicit PipeConnection(HANDLE pipe) : pipe_(pipe) {}
    bool read_all(std::uint8_t* p, std::size_t n) override {
        while (n > 0) {
            DWORD got = 0;
            if (!ReadFile(pipe_, p, static_cast<DWORD>(n), &got, nullptr) || got == 0) return false;
            p += got;
            n -= got;
        }
        return true;
    }
    void write_all(const std::uint8_t* p, std::size_t n) override {
        DWORD put = 0;
        WriteFile(pipe_, p, static_cast<DWORD>(n), &put, nullptr);
    }

private:
    HANDLE pipe_;
};

// A board number no other process uses, so a simulator running on the same
// machine cannot answer in the driver's place.
std::int32_t private_board() { return 10000 + static_cast<std::int32_t>(GetCurrentProcessId() % 100000); }

// Serves the pipe of a private board number, one connection at a time.
class PipeDriver {
public:
    explicit PipeDriver(DWORD maxInstances = PIPE_UNLIMITED_INSTANCES)
        : board_(private_board()),
          name_("\\\\.\\pipe\\KV318Device" + std::to_string(board_)),
          maxInstances_(maxInstances) {
        // The first instance exists before the test opens the board.
        listening_ = make_instance();
        EXPECT_NE(listening_, INVALID_HANDLE_VALUE) << "CreateNamedPipeA " << GetLastError();
        thread_ = std::thread([this] { serve(); });
    }

    ~PipeDriver() {
        stop_ = true;
        // Wake the server from ConnectNamedPipe with a client of our own.
        for (int i = 0; i < 100 && !done_; ++i) {
            HANDLE wake =
                CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (wake != INVALID_HANDLE_VALUE) {
                CloseHandle(wake);
                break;
            }
            Sleep(10);
        }
        thread_.join();
    }

    std::int32_t board() const { return board_; }
    void set_action(DriverAction a) { script_.set_action(a); }
    std::vector<SeenRequest> seen() { return script_.seen(); }

private:
    HANDLE make_instance() {
        return CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                maxInstances_, 4096, 4096, 0, nullptr);
    }

    void serve() {
        while (!stop_) {
            HANDLE pipe = listening_;
            if (pipe == INVALID_HANDLE_VALUE) break;
            const BOOL connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
            // Listen again at once on a new instance, unless one instance is
            // all we may have: that one then listens again once this client
            // is gone, so a client waiting in WaitNamedPipe sees it free up.
            const bool single = maxInstances_ == 1;
            if (!single) listening_ = make_instance();
            if (connected && !stop_) {
                PipeConnection c(pipe);
                script_.serve(c);
            }
            FlushFileBuffers(pipe);
            DisconnectNamedPipe(pipe);
            if (!single || stop_) CloseHandle(pipe);
            if (single && stop_) listening_ = INVALID_HANDLE_VALUE;
        }
        if (listening_ != INVALID_HANDLE_VALUE) CloseHandle(listening_);
        done_ = true;
    }

    std::int32_t board_;
    std::string name_;
    DWORD maxInstances_;
    HANDLE listening_ = INVALID_HANDLE_VALUE;  // used by the server thread after the constructor
    std::thread thread_;
    ScriptedDriver script_;
    // Set by the test thread to end serving; read by the serving thread
    // after each connection.
    std::atomic<bool> stop_{false};
    // Set by the serving thread as it ends; read by the destructor's wake-up loop.
    std::atomic<bool> done_{false};
};

INSTANTIATE_TYPED_TEST_SUITE_P(Pipe, ChannelContract, PipeDriver);

TEST(PipeChannel, NoDeviceAndNoPipeIsNoBoard) {
    PipeDriver driver;
    EXPECT_EQ(KV318_OpenDevice(driver.board() + 1), -1) << "no pipe for that board";
    const std::int32_t h = KV318_OpenDevice(driver.board());
    EXPECT_NE(h, -1);
    EXPECT_EQ(KV318_CloseDevice(h), 0);
}

TEST(PipeChannel, ABusyPipeHoldsTheOpenNoLongerThanTheTimeout) {
    // One instance only, held by another client: the open waits for the
    // driver to listen again, but not past the channel's timeout.
    PipeDriver driver(1);
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

// The pipe transport closes only pipes it opened, once: a stale handle
// whose value the system gave to a new object of the program's is refused
// and that object stays open.  A close while another thread's request
// waits on the pipe cancels the request, which fails.
TEST(PipeChannel, CloseEndsARequestInFlightAndClosesOnlyItsOwnPipes) {
    PipeDriver driver;
    driver.set_action(DriverAction::Silence);
    const std::int32_t h = KV318_OpenDevice(driver.board());
    ASSERT_NE(h, -1);
    ASSERT_TRUE(win32::pipe_owns(h));
    std::atomic<std::int32_t> inFlight{0};
    std::thread request([&] { inFlight = KV318_inb(h, 0); });
    ASSERT_TRUE(wait_until([&] { return driver.seen().size() == 1; })) << "the request reached the driver";
    EXPECT_EQ(win32::pipe_close(h), 0);
    request.join();
    EXPECT_EQ(inFlight.load(), -1) << "a request cut off by the close fails";
    EXPECT_FALSE(win32::pipe_owns(h));

    // The program's next object, quite likely under the stale value.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(win32::pipe_close(h), -1) << "a pipe closed once is no pipe of ours";
    EXPECT_EQ(win32::pipe_close(win32::from_os(event)), -1) << "nor is an event";
    EXPECT_TRUE(SetEvent(event)) << "and it stays open";
    CloseHandle(event);
}

}  // namespace
}  // namespace kv318::test
