// The library, the driver channel and the simulated board together, with
// real sockets, threads and time: what a user of libKV318.so sees when
// kv318-sim stands in for the board.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "KV318.h"
#include "requests.h"
#include "sim_fixture.h"

namespace kv318::sim::test {
namespace {

TEST(EndToEnd, InfoShowsTheIdentityStringsOfEachBoard) {
    SimulatedBoards sim({BoardConfig{}, BoardConfig{}});
    ASSERT_TRUE(sim.started());
    for (int board : {0, 1}) {
        const std::int32_t h = KV318_OpenDevice(board);
        ASSERT_GE(h, 0) << board;
        char text[80];
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(KV318_Info(h, text), 0);
        const std::string expect = "KV318 USB DAQ simulator   SN KVS-000" + std::to_string(board) + " FW 1.00";
        EXPECT_EQ(std::string(text), expect);
        for (std::size_t i = expect.size(); i < 70; ++i) EXPECT_EQ(text[i], '\0') << i;
        EXPECT_EQ(text[70], 'x') << "exactly 70 bytes";
        EXPECT_EQ(KV318_CloseDevice(h), 0);
    }
    EXPECT_EQ(KV318_OpenDevice(2), -1) << "two boards served, no third";
}

TEST(EndToEnd, ServedBoardsLeaveNoDirectoryAndRestoreTheEnvironment) {
    const struct {
        const char* before;  // KV318_DRIVER_DIR before, or null for unset
    } cases[] = {{nullptr}, {"/nonexistent/kv318-before"}};
    for (const auto& c : cases) {
        if (c.before != nullptr) {
            ::setenv("KV318_DRIVER_DIR", c.before, 1);
        } else {
            ::unsetenv("KV318_DRIVER_DIR");
        }
        std::string dir;
        {
            SimulatedBoards sim;
            dir = sim.dir();
            EXPECT_EQ(std::string(std::getenv("KV318_DRIVER_DIR")), dir);
            const std::int32_t h = KV318_OpenDevice(0);
            EXPECT_GE(h, 0) << "the library finds the board in the private directory";
            KV318_CloseDevice(h);
            // Whatever else lands there (a lock file of the library's, a
            // test's output) goes with the directory.
            std::FILE* f = std::fopen((dir + "/KV318Device0.lock").c_str(), "w");
            ASSERT_NE(f, nullptr);
            std::fclose(f);
        }
        struct stat st {};
        EXPECT_NE(::stat(dir.c_str(), &st), 0) << dir << " is left behind";
        const char* after = std::getenv("KV318_DRIVER_DIR");
        if (c.before != nullptr) {
            ASSERT_NE(after, nullptr);
            EXPECT_EQ(std::string(after), c.before);
        } else {
            EXPECT_EQ(after, nullptr);
        }
    }
    ::unsetenv("KV318_DRIVER_DIR");
}

TEST(EndToEnd, OutputsLoopBackToTheInputsAcrossHandles) {
    SimulatedBoards sim;
    const std::int32_t writer = KV318_OpenDevice(0);
    const std::int32_t reader = KV318_OpenDevice(0);
    ASSERT_GE(writer, 0);
    ASSERT_GE(reader, 0);
    const struct {
        std::int32_t out;
        std::int32_t in;
    } cases[] = {{0x1234, 0x1234}, {0, 0}, {0xFFFF, 0xFFFF}, {0x12345, 0x2345}, {0xA5, 0xA5}};
    for (const auto& c : cases) {
        EXPECT_EQ(KV318_DO(writer, c.out), 0);
        EXPECT_EQ(KV318_DI(reader), c.in) << "one board behind both handles";
    }
    sim.board().set_fixed_inputs(0x0F0F);
    EXPECT_EQ(KV318_DI(writer), 0x0F0F);
    KV318_CloseDevice(writer);
    KV318_CloseDevice(reader);
}

TEST(EndToEnd, CounterCountsTheExternalInputUntilItOverflows) {
    BoardConfig cfg;
    cfg.counterRateHz = 1000;
    SimulatedBoards sim({cfg});
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    EXPECT_EQ(KV318_CRead(h), -1) << "not started";
    ASSERT_EQ(KV318_CRun(h), 0);
    std::int32_t last = 0;
    ASSERT_TRUE(wait_until([&] {
        const std::int32_t v = KV318_CRead(h);
        EXPECT_GE(v, last) << "the count only climbs";
        last = v;
        return v >= 50;
    }));
    // Faster, it passes 65535 and the counter reports no valid count: the
    // panel's polling then ends with "over!".
    sim.board().set_counter_rate(1'000'000);
    EXPECT_TRUE(wait_until([&] { return KV318_CRead(h) == -1; }));
    ASSERT_EQ(KV318_CRun(h), 0);
    EXPECT_GE(KV318_CRead(h), 0) << "a new start counts again";
    KV318_CloseDevice(h);
}

TEST(EndToEnd, CounterWiredToThePulseGeneratorCountsItsPulses) {
    BoardConfig cfg;
    cfg.counterInput = CounterInput::Pulse;
    SimulatedBoards sim({cfg});
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    ASSERT_EQ(KV318_CRun(h), 0);
    EXPECT_EQ(KV318_CRead(h), 0) << "no pulses before the generator runs";
    ASSERT_EQ(KV318_PRun(h, 0, 200), 0);  // 10 kHz
    EXPECT_EQ(KV318_inb(h, 8) & 0x80, 0x80);
    ASSERT_TRUE(wait_until([&] { return KV318_CRead(h) >= 500; }));
    ASSERT_EQ(KV318_PStop(h), 0);
    EXPECT_EQ(KV318_inb(h, 8) & 0x80, 0);
    const std::int32_t held = KV318_CRead(h);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(KV318_CRead(h), held) << "no pulses once stopped";
    // The panel's own start: mode 0, divisor 2, 1 MHz; the count passes 65535 fast.
    ASSERT_EQ(KV318_PRun(h, 0, 2), 0);
    EXPECT_TRUE(wait_until([&] { return KV318_CRead(h) == -1; }));
    KV318_PStop(h);
    KV318_CloseDevice(h);
}

TEST(EndToEnd, ScriptedFaultsReachTheCaller) {
    SimulatedBoards sim;
    std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    // A failed request fails that call only.
    sim.board().add_fault(FaultRule::on_command(kCmdRead16, FaultEffect::Fail, true));
    EXPECT_EQ(KV318_DI(h), 65535) << "a failed read looks like all inputs high";
    KV318_DO(h, 0x42);
    EXPECT_EQ(KV318_DI(h), 0x42);
    // A late reply within the channel's patience still arrives.
    sim.board().add_fault(FaultRule::on_command(kCmdRead16, FaultEffect::Delay, true, 100));
    EXPECT_EQ(KV318_DI(h), 0x42);
    // A dropped connection breaks the handle; a new one works.
    sim.board().add_fault(FaultRule::on_any(FaultEffect::Drop, true));
    EXPECT_EQ(KV318_inb(h, 0), -1);
    EXPECT_EQ(KV318_DO(h, 1), -1);
    EXPECT_EQ(KV318_CloseDevice(h), 0);
    h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    EXPECT_EQ(KV318_DI(h), 0x42);
    KV318_CloseDevice(h);
}

TEST(EndToEnd, ManyClientsShareOneBoard) {
    SimulatedBoards sim;
    constexpr int kThreads = 4;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&failures] {
            for (int round = 0; round < 5; ++round) {
                const std::int32_t h = KV318_OpenDevice(0);
                if (h < 0) {
                    ++failures;
                    continue;
                }
                for (int i = 0; i < 50; ++i) {
                    if (KV318_inb(h, 0) < 0 || KV318_DO(h, i) != 0 || KV318_DI(h) < 0) ++failures;
                }
                KV318_CloseDevice(h);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(sim.server().connections(), static_cast<std::uint64_t>(kThreads * 5));
    EXPECT_EQ(sim.board().stats().failed, 0u);
    sim.server().stop();
    EXPECT_EQ(sim.log().size(), static_cast<std::size_t>(kThreads * 5)) << "one line per connection";
    for (const std::string& line : sim.log()) EXPECT_NE(line.find("board 0: connection"), std::string::npos) << line;
}

}  // namespace
}  // namespace kv318::sim::test
