// A driver that goes away in the middle of a run, cleanly or killed: the
// board simulator as a child process, streaming or polled at the slowest
// rate, where a board that cannot be asked must never pass for one that
// has nothing to say.  Every read after the exit fails, and soon.  Runs on
// the Unix socket on Linux and on the named pipe under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "KV318.h"
#include "child_process.h"
#include "wait.h"

#ifndef _WIN32
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace kv318::test {
namespace {

using Clock = std::chrono::steady_clock;

// How soon after the driver's exit the first read must fail.  A tick asks
// the board every 10 ms, so it notices within a period or two; the bound
// leaves a loaded machine (and Wine) ten times that.
constexpr std::chrono::milliseconds kNoticeLimit{1000};

// One read of the run: KV318_Read, or KV318_M_Read with the run's carry.
class Acquisition {
public:
    Acquisition(std::int32_t h, bool polled) : h_(h), polled_(polled) {}
    std::int32_t start() { return polled_ ? KV318_M_AD(h_, 0, 0, 0, 0, 4095) : KV318_AD(h_, 0, 0, 0, 0, 4095); }
    std::int32_t read() {
        return polled_ ? KV318_M_Read(h_, samples_.data(), &carry_, 0) : KV318_Read(h_, samples_.data());
    }
    void stop() { polled_ ? KV318_M_StopAD(h_) : KV318_StopAD(h_); }

private:
    std::int32_t h_;
    bool polled_;
    std::int32_t carry_ = 0;
    std::vector<std::int32_t> samples_ = std::vector<std::int32_t>(KV318_READ_MAX_SAMPLES);
};

// kv318-sim serving a ramp on board 0, where the library looks for it.
class Driver {
public:
    Driver() : sim_(KV318_SIM_EXE, args()) {}
#ifndef _WIN32
    ~Driver() {
        ::unsetenv("KV318_DRIVER_DIR");
        // A killed driver leaves its socket and lock behind.
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
#endif
    bool serving() { return sim_.wait_for_output("kv318-sim: serving"); }
    std::string output() const { return sim_.output(); }
    // Ends the driver as its user would (SIGTERM; on Windows the end of its
    // input), or kills it.  True once it has exited.
    bool end(bool killed) {
        if (killed) {
            sim_.kill();
        } else {
#ifdef _WIN32
            sim_.close_input();
#else
            sim_.signal(SIGTERM);
#endif
        }
        return sim_.wait_exit().has_value();
    }

private:
    std::vector<std::string> args() {
#ifdef _WIN32
        return {"--signal", "ramp", "--stop-on-eof"};
#else
        char tmpl[] = "/tmp/kv318-exit-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("KV318_DRIVER_DIR", dir_.c_str(), 1);
        return {"--signal", "ramp", "--dir", dir_};
#endif
    }

    std::string dir_;
    ChildProcess sim_;
};

TEST(DriverExit, EveryReadAfterTheDriverExitsFailsAtOnce) {
    struct Case {
        const char* what;
        bool polled;
        bool killed;
        std::int32_t failure;  // what every read after the exit returns
    };
    const Case cases[] = {
        {"stream, driver stopped", false, false, -3},
        {"stream, driver killed", false, true, -3},
        {"polled, driver stopped", true, false, -1},
        {"polled, driver killed", true, true, -1},
    };
    for (const Case& c : cases) {
        Driver driver;
        ASSERT_TRUE(driver.serving()) << c.what << "\n" << driver.output();
        const std::int32_t h = KV318_OpenDevice(0);
        ASSERT_NE(h, -1) << c.what;
        Acquisition run(h, c.polled);
        ASSERT_EQ(run.start(), 0) << c.what;
        std::int32_t n = 0;
        ASSERT_TRUE(wait_until([&] { return (n = run.read()) != 0; })) << c.what;
        ASSERT_GT(n, 0) << c.what << ": samples arrive while the driver runs";

        ASSERT_TRUE(driver.end(c.killed)) << c.what;
        const auto exited = Clock::now();
        std::int32_t first = 0;
        ASSERT_TRUE(wait_until([&] { return (first = run.read()) < 0; }))
            << c.what << ": a read still answers " << first;
        const auto noticed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - exited);
        EXPECT_LT(noticed, kNoticeLimit) << c.what;
        EXPECT_EQ(first, c.failure) << c.what;
        for (int i = 0; i < 20; ++i) EXPECT_EQ(run.read(), c.failure) << c.what << ": every later read";
        run.stop();
        EXPECT_EQ(KV318_CloseDevice(h), 0) << c.what;
        std::printf("%s: first failed read %lld ms after the exit\n", c.what, static_cast<long long>(noticed.count()));
    }
}

}  // namespace
}  // namespace kv318::test
