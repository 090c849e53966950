// kv318-sim.exe as a technician runs it: a separate process serving board
// 0's pipe, found by KV318_OpenDevice with nothing to set, stopped cleanly,
// refusing to serve beside another simulator, and streaming its ramp to
// the library's multimedia timer.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "KV318.h"
#include "acquisition_common.h"
#include "sim_process.h"

namespace kv318::sim::test {
namespace {

using std::chrono::steady_clock;

TEST(SimExe, ArgumentsItRefusesOrAnswersWithoutServing) {
    const struct {
        std::vector<std::string> args;
        int code;
        const char* says;
    } cases[] = {
        {{"--help"}, 0, "--stop-on-eof"},
        {{"--dir", "C:\\sim"}, 2, "--dir has no meaning"},
        {{"--boards", "17"}, 2, "bad value '17' for --boards"},
        {{"--bogus"}, 2, "unknown option '--bogus'"},
    };
    for (const auto& c : cases) {
        SimProcess sim(KV318_SIM_EXE, c.args);
        ASSERT_TRUE(sim.started()) << c.args[0];
        EXPECT_EQ(sim.wait_exit(), std::optional<int>(c.code)) << c.args[0];
        EXPECT_NE(sim.output().find(c.says), std::string::npos) << c.args[0] << ":\n" << sim.output();
        EXPECT_EQ(sim.output().find("kv318-sim: serving"), std::string::npos) << c.args[0];
    }
}

TEST(SimExe, ServesBoardZeroUntilItsInputEndsAndRefusesASecondSimulator) {
    SimProcess sim(KV318_SIM_EXE, {"--stop-on-eof"});
    ASSERT_TRUE(sim.wait_serving()) << sim.output();
    EXPECT_NE(sim.output().find("\\\\.\\pipe\\KV318Device0"), std::string::npos) << sim.output();

    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_NE(h, -1) << "the library falls back to the simulator's pipe";
    EXPECT_EQ(KV318_DO(h, 0x5AA5), 0);
    EXPECT_EQ(KV318_DI(h), 0x5AA5) << "outputs loop back to the inputs";

    {
        SimProcess second(KV318_SIM_EXE, {"--stop-on-eof"});
        EXPECT_EQ(second.wait_exit(), std::optional<int>(1)) << second.output();
        EXPECT_NE(second.output().find("already serves \\\\.\\pipe\\KV318Device0"), std::string::npos)
            << second.output();
    }
    EXPECT_EQ(KV318_DI(h), 0x5AA5) << "the refused simulator did not disturb the first";
    EXPECT_EQ(KV318_CloseDevice(h), 0);

    // A handle still open at the stop does not hold the simulator up.
    const std::int32_t open = KV318_OpenDevice(0);
    ASSERT_NE(open, -1);
    sim.close_input();
    EXPECT_EQ(sim.wait_exit(), std::optional<int>(0)) << sim.output();
    EXPECT_NE(sim.output().find("stopped by the end of standard input"), std::string::npos) << sim.output();
    EXPECT_EQ(KV318_DI(open), 65535) << "the board went away with the simulator";
    KV318_CloseDevice(open);
    EXPECT_EQ(KV318_OpenDevice(0), -1) << "no pipe is left behind";
}

// Checks that samples arrive as the ramp: one code more per sample, the
// code in bits 2-15, wrapping from 8191 to -8192.
struct RampCheck {
    std::uint64_t count = 0;
    bool broken = false;
    std::uint64_t brokenAt = 0;
    std::int32_t previous = 0;
    std::int32_t got = 0;

    static std::int32_t successor(std::int32_t sample) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(sample + 4));
    }
    void feed(const std::vector<std::int32_t>& samples, std::int32_t n) {
        for (std::int32_t i = 0; i < n; ++i, ++count) {
            const std::int32_t s = samples[static_cast<std::size_t>(i)];
            if (!broken && ((count == 0 && s != 0) || (count > 0 && s != successor(previous)))) {
                broken = true;
                brokenAt = count;
                got = s;
            }
            previous = s;
        }
    }
};

TEST(SimExe, TheMultimediaTimerStreamsTheRampInOrderForTwoSeconds) {
    SimProcess sim(KV318_SIM_EXE, {"--stop-on-eof", "--signal", "ramp"});
    ASSERT_TRUE(sim.wait_serving()) << sim.output();
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_NE(h, -1);

    // Divider 50 of the 2 MHz converter clock: 40,000 samples a second.
    constexpr int kDivider = 50;
    constexpr double kSamplesPerSecond = 2'000'000.0 / kDivider;
    std::memset(LastErrorText, 0, sizeof LastErrorText);
    ASSERT_EQ(KV318_AD(h, 0, 0, 0, 0, kDivider), 0) << "timer: " << LastErrorText;

    std::vector<std::int32_t> samples(KV318_READ_MAX_SAMPLES);
    RampCheck check;
    std::int32_t failure = 0;
    const auto start = steady_clock::now();
    while (steady_clock::now() - start < std::chrono::seconds(2)) {
        const std::int32_t n = KV318_Read(h, samples.data());
        if (n < 0) {
            failure = n;
            break;
        }
        check.feed(samples, n);
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double seconds = std::chrono::duration<double>(steady_clock::now() - start).count();
    EXPECT_EQ(KV318_StopAD(h), 0);
    EXPECT_EQ(KV318_CloseDevice(h), 0);

    EXPECT_EQ(failure, 0) << "KV318_Read failed after " << check.count << " samples";
    EXPECT_FALSE(check.broken) << "sample " << check.brokenAt << " is " << check.got << " after " << check.previous;
    // What the FIFO (under 1024 bytes) and the ring (under 100 bytes) still
    // hold at the end is not read; a busy machine may also start the stream
    // late.  Half the nominal count leaves room for both, yet a stream that
    // stalls for a second or runs at a slower rate falls short.
    const auto nominal = static_cast<std::uint64_t>(kSamplesPerSecond * 2);
    std::printf("streamed %llu samples in %.2f s (nominal %llu)\n", static_cast<unsigned long long>(check.count),
                seconds, static_cast<unsigned long long>(nominal));
    EXPECT_GE(check.count, nominal / 2);

    sim.close_input();
    ASSERT_EQ(sim.wait_exit(), std::optional<int>(0)) << sim.output();
    const std::string log = sim.output();
    EXPECT_NE(log.find("FIFO drops so far: 0 samples"), std::string::npos) << log;
    std::size_t at = 0;
    while ((at = log.find("FIFO drops so far: ", at)) != std::string::npos) {
        at += std::strlen("FIFO drops so far: ");
        EXPECT_EQ(log[at], '0') << "the board's FIFO overflowed:\n" << log;
        EXPECT_EQ(log[at + 1], ' ') << log;
    }
}

}  // namespace
}  // namespace kv318::sim::test
