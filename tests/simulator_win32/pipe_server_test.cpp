// The named-pipe transport in-process: the KV318 library opens board 0
// through its pipe fallback while the test holds the server and the board,
// so it can drop clients, stop the server under them and read the log.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "KV318.h"
#include "board.h"
#include "bytes.h"
#include "channel_frame.h"
#include "pipe_server.h"
#include "requests.h"
#include "sim_process.h"

namespace kv318::sim::test {
namespace {

class ServedBoards {
public:
    explicit ServedBoards(int count = 1, ServerLimits limits = {}, ThreadStarter start = nullptr) {
        std::vector<Board*> served;
        for (int i = 0; i < count; ++i) {
            BoardConfig config;
            config.number = i;
            boards_.push_back(std::make_unique<Board>(config, clock_));
            served.push_back(boards_.back().get());
        }
        server_ = std::make_unique<PipeServer>(
            served,
            [this](const std::string& line) {
                std::lock_guard<std::mutex> lock(mutex_);
                log_ += line + "\n";
            },
            limits);
        if (start) server_->set_thread_starter(std::move(start));
        std::string error;
        started_ = server_->start(&error);
        EXPECT_TRUE(started_) << error;
    }

    PipeServer& server() { return *server_; }
    Board& board(std::size_t i = 0) { return *boards_[i]; }
    std::string log() {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }

private:
    SteadyClock clock_;
    std::vector<std::unique_ptr<Board>> boards_;
    std::mutex mutex_;
    std::string log_;
    std::unique_ptr<PipeServer> server_;  // last: stopped before the boards go
    bool started_ = false;
};

// A raw client of the pipe, for what the library never does.
HANDLE raw_client(int board) {
    const std::string name = board_pipe_name(board);
    HANDLE h = INVALID_HANDLE_VALUE;
    wait_until([&] {
        h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        return h != INVALID_HANDLE_VALUE;
    });
    return h;
}

TEST(PipeServer, NamesTheBoardsPipesAsTheLibraryLooksForThem) {
    EXPECT_EQ(board_pipe_name(0), "\\\\.\\pipe\\KV318Device0");
    EXPECT_EQ(board_pipe_name(15), "\\\\.\\pipe\\KV318Device15");
}

TEST(PipeServer, TwoHandlesShareTheBoardAndItsLoopback) {
    ServedBoards sim(2);
    const std::int32_t a = KV318_OpenDevice(0);
    const std::int32_t b = KV318_OpenDevice(0);
    const std::int32_t other = KV318_OpenDevice(1);
    ASSERT_NE(a, -1);
    ASSERT_NE(b, -1) << "a second connection while the first is open";
    ASSERT_NE(other, -1);
    for (const std::int32_t word : {0x0000, 0x0001, 0x8000, 0x5AA5, 0xFFFF}) {
        EXPECT_EQ(KV318_DO(a, word), 0);
        EXPECT_EQ(KV318_DI(b), word) << "written through one handle, read through the other";
        EXPECT_EQ(KV318_DI(a), word);
    }
    EXPECT_EQ(KV318_DI(other), 0) << "board 1 is a board of its own";
    char info[70] = {};
    EXPECT_GE(KV318_Info(other, info), 0);
    EXPECT_NE(std::string(info).find("KVS-0001"), std::string::npos) << info;
    EXPECT_EQ(sim.server().connections(), 3u);
    for (const std::int32_t h : {a, b, other}) EXPECT_EQ(KV318_CloseDevice(h), 0);
}

TEST(PipeServer, AClientLeavingMidFrameEndsOnlyItsOwnSession) {
    ServedBoards sim;
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_NE(h, -1);
    EXPECT_EQ(KV318_DO(h, 0x1234), 0);

    // Half a request header, then gone.
    HANDLE half = raw_client(0);
    ASSERT_NE(half, INVALID_HANDLE_VALUE);
    const std::uint8_t partial[5] = {0x0C, 0x20, 0x22, 0x00, 0x10};
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(half, partial, sizeof partial, &put, nullptr));
    CloseHandle(half);

    // A whole request, then gone before the reply is read.
    HANDLE early = raw_client(0);
    ASSERT_NE(early, INVALID_HANDLE_VALUE);
    std::uint8_t header[kRequestHeaderSize];
    encode_request_header(header, {kIoctlCommand, kCommandInputSize, kCommandReplySize});
    std::uint8_t command[kCommandInputSize];
    const std::uint8_t values[4] = {14, 0, 0, 0};
    build_command(command, kCmdRead16, kCommandReplyLength, values);
    std::uint8_t request[sizeof header + sizeof command];
    std::memcpy(request, header, sizeof header);
    std::memcpy(request + sizeof header, command, sizeof command);
    ASSERT_TRUE(WriteFile(early, request, sizeof request, &put, nullptr));
    CloseHandle(early);

    EXPECT_TRUE(wait_until([&] { return sim.log().find("broken frame") != std::string::npos; })) << sim.log();
    EXPECT_EQ(KV318_DI(h), 0x1234) << "the library's own connection is untouched";
    const std::int32_t again = KV318_OpenDevice(0);
    ASSERT_NE(again, -1) << "the server still accepts";
    EXPECT_EQ(KV318_DI(again), 0x1234);
    EXPECT_EQ(KV318_CloseDevice(again), 0);
    EXPECT_EQ(KV318_CloseDevice(h), 0);
}

// True once the server has ended `client`'s connection: a read fails.
bool ended_by_server(HANDLE client) {
    std::uint8_t byte = 0;
    DWORD got = 0;
    return !ReadFile(client, &byte, 1, &got, nullptr) || got == 0;
}

TEST(PipeServer, ClientsOverTheLimitSilentHalfFramesAndThreadlessOnesAreDropped) {
    ServerLimits limits;
    limits.maxClients = 2;
    limits.session.clientTimeout = std::chrono::milliseconds(300);
    std::atomic<int> failures{0};
    ServedBoards sim(1, limits, [&](std::function<void()> body) {
        if (failures.exchange(0) > 0)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    });
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_NE(h, -1);
    EXPECT_EQ(KV318_DO(h, 0x4321), 0);

    // A header announcing a MiB, then silence: dropped after the timeout,
    // while the library's handle is served meanwhile.
    HANDLE half = raw_client(0);
    ASSERT_NE(half, INVALID_HANDLE_VALUE);
    std::uint8_t header[kRequestHeaderSize];
    encode_request_header(header, {kIoctlBulkWrite, kMaxChannelInput, 64});
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(half, header, sizeof header, &put, nullptr));
    EXPECT_TRUE(wait_until([&] { return sim.server().live_connections() == 2; }));
    HANDLE over = raw_client(0);
    ASSERT_NE(over, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ended_by_server(over)) << "a third client is one over the limit";
    CloseHandle(over);
    EXPECT_EQ(KV318_DI(h), 0x4321) << "the board is free while the half frame waits";
    EXPECT_TRUE(ended_by_server(half));
    CloseHandle(half);
    EXPECT_TRUE(wait_until([&] { return sim.log().find("silent inside a frame") != std::string::npos; })) << sim.log();
    EXPECT_NE(sim.log().find("refused: 2 clients are connected already"), std::string::npos) << sim.log();

    // No thread for the next one: refused, and the one after is served.
    failures = 1;
    EXPECT_TRUE(wait_until([&] { return sim.server().live_connections() == 1; }));
    HANDLE threadless = raw_client(0);
    ASSERT_NE(threadless, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ended_by_server(threadless));
    CloseHandle(threadless);
    // The server refuses first and logs after, so the line may come a moment later.
    EXPECT_TRUE(wait_until([&] { return sim.log().find("cannot start a thread for it") != std::string::npos; }))
        << sim.log();
    const std::int32_t again = KV318_OpenDevice(0);
    ASSERT_NE(again, -1);
    EXPECT_EQ(KV318_DI(again), 0x4321);
    EXPECT_EQ(KV318_CloseDevice(again), 0);
    EXPECT_EQ(KV318_CloseDevice(h), 0);
}

TEST(PipeServer, StopReturnsWithClientsConnectedAndBreaksTheirHandles) {
    ServedBoards sim;
    const std::int32_t idle = KV318_OpenDevice(0);
    ASSERT_NE(idle, -1);
    // A second client polls without pause while the server stops.
    const std::int32_t busy = KV318_OpenDevice(0);
    ASSERT_NE(busy, -1);
    std::atomic<bool> failed{false};
    std::atomic<int> polls{0};
    std::thread poller([&] {
        while (!failed) {
            if (KV318_DI(busy) == 65535) failed = true;
            ++polls;
        }
    });
    EXPECT_TRUE(wait_until([&] { return polls > 20; }));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        sim.server().stop();
        stopped = true;
    });
    const bool returned = wait_until([&] { return stopped.load(); });
    EXPECT_TRUE(returned) << "stop() hung on connected clients";
    if (!returned) {
        // Leave the process rather than the test: a hung stop cannot be joined.
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    stopper.join();
    EXPECT_TRUE(wait_until([&] { return failed.load(); })) << "the busy client's handle still answers";
    poller.join();
    EXPECT_EQ(KV318_DI(idle), 65535) << "the idle client's handle still answers";
    EXPECT_EQ(KV318_OpenDevice(0), -1) << "the pipe is gone";
    KV318_CloseDevice(idle);
    KV318_CloseDevice(busy);
    sim.server().stop();  // again: nothing left to do
}

TEST(PipeServer, ASecondServerOfTheSamePipeRefusesToStart) {
    ServedBoards first;
    {
        SteadyClock clock;
        Board board0(BoardConfig{}, clock);
        PipeServer second({&board0}, nullptr);
        std::string error;
        EXPECT_FALSE(second.start(&error));
        EXPECT_NE(error.find("already serves \\\\.\\pipe\\KV318Device0"), std::string::npos) << error;
    }
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_NE(h, -1) << "the first server serves on";
    EXPECT_EQ(KV318_CloseDevice(h), 0);
    first.server().stop();

    // Once the first has stopped, the pipe is free again.
    SteadyClock clock;
    Board board0(BoardConfig{}, clock);
    PipeServer next({&board0}, nullptr);
    std::string error;
    EXPECT_TRUE(next.start(&error)) << error;
}

}  // namespace
}  // namespace kv318::sim::test
