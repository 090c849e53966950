// Analog input end to end: the library's streaming and polled modes reading
// the simulated converter through the driver channel, in real time.  The
// ramp signal lets every sample be checked against its number.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "KV318.h"
#include "bench.h"
#include "requests.h"
#include "sim_fixture.h"

namespace kv318::sim::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr std::size_t kReadSamples = 524288;    // the most KV318_Read returns
constexpr std::size_t kPolledSamples = 139264;  // the most KV318_M_Read returns

// Checks that samples arrive as the ramp, one after the other from 0.
struct RampCheck {
    std::uint64_t next = 0;
    bool broken = false;
    std::uint64_t brokenAt = 0;
    std::int32_t got = 0;

    void feed(const std::vector<std::int32_t>& samples, std::int32_t n) {
        for (std::int32_t i = 0; i < n; ++i, ++next) {
            if (broken) continue;
            const std::int32_t expect = static_cast<std::int16_t>(ramp_word(next));
            if (samples[static_cast<std::size_t>(i)] != expect) {
                broken = true;
                brokenAt = next;
                got = samples[static_cast<std::size_t>(i)];
            }
        }
    }
    std::string report() const {
        return broken ? "sample " + std::to_string(brokenAt) + " is " + std::to_string(got) + ", expected " +
                            std::to_string(static_cast<std::int16_t>(ramp_word(brokenAt)))
                      : "in order";
    }
};

BoardConfig ramp_board() {
    BoardConfig cfg;
    cfg.signal.kind = SignalKind::Ramp;
    return cfg;
}

TEST(Streaming, RampAtDivider50DeliversEverySampleInOrder) {
    SimulatedBoards sim({ramp_board()});
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    std::vector<std::int32_t> samples(kReadSamples);
    RampCheck check;
    ASSERT_EQ(KV318_AD(h, 0, 0, 0, 0, 50), 0);
    // One second of samples at 40,000 per second, however long the machine takes.
    const auto deadline = steady_clock::now() + std::chrono::seconds(30);
    while (check.next < 40000 && steady_clock::now() < deadline) {
        const std::int32_t n = KV318_Read(h, samples.data());
        ASSERT_GE(n, 0) << "after " << check.next << " samples";
        check.feed(samples, n);
        if (n == 0) std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(KV318_StopAD(h), 0);
    EXPECT_GE(check.next, 40000u);
    EXPECT_FALSE(check.broken) << check.report();
    EXPECT_EQ(sim.board().stats().samplesDropped, 0u);
    EXPECT_FALSE(sim.board().stats().converting) << "the stop reached the board";
    KV318_CloseDevice(h);
}

TEST(Streaming, Divider2ReadEvery100MsNeverOverflows) {
    SimulatedBoards sim({ramp_board()});
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    std::vector<std::int32_t> samples(kReadSamples);
    RampCheck check;
    int reads = 0;
    ASSERT_EQ(KV318_AD(h, 0, 0, 0, 0, 2), 0);
    const auto start = steady_clock::now();
    for (auto tick = start + milliseconds(100); tick <= start + milliseconds(2000); tick += milliseconds(100)) {
        std::this_thread::sleep_until(tick);
        const std::int32_t n = KV318_Read(h, samples.data());
        ASSERT_NE(n, -2) << "ring overflow at read " << reads;
        ASSERT_GE(n, 0) << "read " << reads;
        check.feed(samples, n);
        ++reads;
    }
    EXPECT_EQ(KV318_StopAD(h), 0);
    EXPECT_EQ(sim.board().stats().samplesDropped, 0u) << "the FIFO never filled";
    EXPECT_FALSE(check.broken) << check.report();
    // 1,000,000 samples a second for two seconds; what the board and the
    // ring still held at the stop is the only shortfall.
    EXPECT_GE(check.next, 1'000'000u);
    KV318_CloseDevice(h);
}

TEST(Streaming, ABulkReadFailureReachesTheReaderUntilTheStop) {
    SimulatedBoards sim({ramp_board()});
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    std::vector<std::int32_t> samples(kReadSamples);
    ASSERT_EQ(KV318_AD(h, 0, 0, 0, 0, 50), 0);
    sim.board().add_fault(FaultRule::on_request(kIoctlBulkRead, FaultEffect::Fail, true));
    std::int32_t n = 0;
    EXPECT_TRUE(eventually([&] { return (n = KV318_Read(h, samples.data())) == -3; })) << n;
    EXPECT_EQ(KV318_Read(h, samples.data()), -3) << "it stays until the stop";
    EXPECT_EQ(KV318_StopAD(h), 0);
    // A new stream after the stop runs clean.
    RampCheck check;
    ASSERT_EQ(KV318_AD(h, 0, 0, 0, 0, 50), 0);
    EXPECT_TRUE(eventually([&] {
        n = KV318_Read(h, samples.data());
        if (n > 0) check.feed(samples, n);
        return n < 0 || check.next >= 4000;
    })) << n;
    EXPECT_GE(n, 0);
    EXPECT_FALSE(check.broken) << check.report();
    KV318_StopAD(h);
    KV318_CloseDevice(h);
}

TEST(Streaming, AStalledFifoDelaysButLosesNothing) {
    SimulatedBoards sim({ramp_board()});
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    std::vector<std::int32_t> samples(kReadSamples);
    RampCheck check;
    ASSERT_EQ(KV318_AD(h, 0, 0, 0, 0, 50), 0);
    std::thread stall([&sim] {
        sim.board().set_fifo_stall(true);
        // How long the FIFO holds back, not a wait for anything: 200 ms is
        // 16,000 bytes at this rate, far from full.
        std::this_thread::sleep_for(milliseconds(200));
        sim.board().set_fifo_stall(false);
    });
    const auto deadline = steady_clock::now() + std::chrono::seconds(30);
    while (check.next < 20000 && steady_clock::now() < deadline) {
        const std::int32_t n = KV318_Read(h, samples.data());
        ASSERT_GE(n, 0);
        check.feed(samples, n);
        if (n == 0) std::this_thread::sleep_for(milliseconds(5));
    }
    stall.join();
    KV318_StopAD(h);
    EXPECT_GE(check.next, 20000u);
    EXPECT_FALSE(check.broken) << check.report();
    EXPECT_EQ(sim.board().stats().samplesDropped, 0u);
    KV318_CloseDevice(h);
}

TEST(Polled, RampArrivesInOrderAcrossCarries) {
    SimulatedBoards sim({ramp_board()});
    // Bulk replies of 1025 bytes: a call that takes one reply ends on half a
    // sample, which the carry word hands to the next call.
    sim.board().set_bulk_reply_limit(1025);
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    std::vector<std::int32_t> samples(kPolledSamples);
    RampCheck check;
    std::int32_t carry = 0;
    int carried = 0;
    ASSERT_EQ(KV318_M_AD(h, 0, 0, 0, 0, 500), 0);  // 4000 samples a second
    const auto deadline = steady_clock::now() + std::chrono::seconds(30);
    while (check.next < 8000 && steady_clock::now() < deadline) {
        const std::int32_t n = KV318_M_Read(h, samples.data(), &carry, 0);
        ASSERT_GE(n, 0) << "after " << check.next << " samples";
        check.feed(samples, n);
        if ((carry & 0x10000) != 0) ++carried;
        if (n == 0) std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_EQ(KV318_M_StopAD(h), 0);
    EXPECT_GE(check.next, 8000u);
    EXPECT_GT(carried, 0) << "no call ended on half a sample";
    EXPECT_FALSE(check.broken) << check.report();
    EXPECT_EQ(sim.board().stats().samplesDropped, 0u);
    KV318_CloseDevice(h);
}

}  // namespace
}  // namespace kv318::sim::test
