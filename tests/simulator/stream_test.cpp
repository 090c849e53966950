// Analog input end to end: the library's streaming and polled modes reading
// the simulated converter through the driver channel, in real time.  The
// ramp signal lets every sample be checked against its number.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
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

constexpr std::size_t kReadSamples = KV318_READ_MAX_SAMPLES;      // the most KV318_Read returns
constexpr std::size_t kPolledSamples = KV318_M_READ_MAX_SAMPLES;  // the most KV318_M_Read returns

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

// A FIFO of 16 MiB holds minutes of samples at the rates these tests run in
// real time, so a timer thread held off the processor for a while on a busy
// machine delays the stream but never makes the board drop samples.  Whether
// the drain keeps up with a rate is a benchmark's question, not a test's.
constexpr std::size_t kRoomyFifoBytes = 16u << 20;

BoardConfig ramp_board() {
    BoardConfig cfg;
    cfg.signal.kind = SignalKind::Ramp;
    cfg.fifoBytes = kRoomyFifoBytes;
    return cfg;
}

// Runs `call` on a thread of its own.  True when it returned within 20 s.
// If not, `rescue` frees it (lifts a stall, stops the stream), so that a
// library that hangs fails the test instead of holding it, and false.
bool returns_promptly(const std::function<void()>& call, const std::function<void()>& rescue) {
    std::promise<void> returned;
    std::future<void> done = returned.get_future();
    std::thread t([&] {
        call();
        returned.set_value();
    });
    const bool prompt = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!prompt) rescue();
    t.join();
    return prompt;
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

// What a scope's trigger relies on: sample k of a stream, as KV318_Read
// delivers it, is the board's sample k, so the square's edges fall on the
// indices the simulator's rule names.
TEST(Streaming, SquareEdgesArriveOnTheSamplesTheRuleNames) {
    const struct {
        double duty;
        std::uint16_t divider;
        std::uint64_t period;  // samples
        std::uint64_t high;    // the first samples of each period that are high
    } cases[] = {{25, 20, 100, 25}, {50, 50, 40, 20}};
    for (const auto& c : cases) {
        BoardConfig cfg;
        cfg.signal.kind = SignalKind::Square;
        cfg.signal.dutyPercent = c.duty;
        cfg.signal.amplitudeV = 2.0;
        cfg.signal.offsetV = 0.5;
        SimulatedBoards sim({cfg});
        const std::int32_t h = KV318_OpenDevice(0);
        ASSERT_GE(h, 0);
        std::vector<std::int32_t> samples(kReadSamples);
        const std::int32_t highWord = static_cast<std::int16_t>(code_to_word(volts_to_code(2.5)));
        const std::int32_t lowWord = static_cast<std::int16_t>(code_to_word(volts_to_code(-1.5)));
        ASSERT_EQ(KV318_AD(h, 0, 0, 0, 0, c.divider), 0);
        std::uint64_t next = 0, wrong = 0;
        const auto deadline = steady_clock::now() + std::chrono::seconds(30);
        while (next < 20 * c.period && steady_clock::now() < deadline) {
            const std::int32_t n = KV318_Read(h, samples.data());
            ASSERT_GE(n, 0) << "after " << next << " samples";
            for (std::int32_t i = 0; i < n; ++i, ++next)
                wrong += samples[static_cast<std::size_t>(i)] != (next % c.period < c.high ? highWord : lowWord);
            if (n == 0) std::this_thread::sleep_for(milliseconds(5));
        }
        EXPECT_EQ(KV318_StopAD(h), 0);
        KV318_CloseDevice(h);
        EXPECT_GE(next, 20 * c.period) << c.duty;
        EXPECT_EQ(wrong, 0u) << c.duty << " % duty: samples off the rule among " << next;
        EXPECT_EQ(sim.board().stats().samplesDropped, 0u);
    }
}

TEST(Streaming, Divider2DeliversEverySampleInOrderThroughTheWrappingRing) {
    // The board's time moves only when the test moves it, so every step
    // holds a known amount, however the threads are scheduled.
    ManualClock clock;
    SimulatedBoards sim({ramp_board()}, &clock);
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    std::vector<std::int32_t> samples(kReadSamples);
    RampCheck check;
    ASSERT_EQ(KV318_AD(h, 0, 0, 0, 0, 2), 0);
    // 1,000,000 samples a second: each step is 100 ms of the board's time,
    // 200,000 bytes, and two seconds pass 4 MB through the 2 MiB ring.
    for (int step = 0; step < 20; ++step) {
        clock.advance_ms(100);
        // The timer drains the FIFO until it holds less than the first level.
        ASSERT_TRUE(wait_until([&] { return sim.board().stats().fifoBytes < 1024; }, std::chrono::seconds(60)))
            << "step " << step;
        for (std::int32_t n; (n = KV318_Read(h, samples.data())) != 0;) {
            ASSERT_GT(n, 0) << "step " << step;
            check.feed(samples, n);
        }
    }
    const BoardStats stats = sim.board().stats();
    EXPECT_EQ(KV318_StopAD(h), 0);
    EXPECT_FALSE(check.broken) << check.report();
    EXPECT_EQ(stats.samplesConverted, 2'000'000u);
    EXPECT_EQ(stats.samplesDropped, 0u);
    // Short only by what the FIFO (under 1024 bytes) and the ring (under
    // 100 bytes) still held.
    EXPECT_GE(check.next, stats.samplesConverted - 512 - 50);
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
    EXPECT_TRUE(wait_until([&] { return (n = KV318_Read(h, samples.data())) == -3; })) << n;
    EXPECT_EQ(KV318_Read(h, samples.data()), -3) << "it stays until the stop";
    EXPECT_EQ(KV318_StopAD(h), 0);
    // A new stream after the stop runs clean.
    RampCheck check;
    ASSERT_EQ(KV318_AD(h, 0, 0, 0, 0, 50), 0);
    EXPECT_TRUE(wait_until([&] {
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

TEST(Streaming, AStalledOrFailingBoardNeverHoldsTheReader) {
    // 4,000 bytes a second: a drain sent after a level of 256 KiB that the
    // board never reported would wait over a minute for it.
    SimulatedBoards sim({ramp_board()});
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    std::vector<std::int32_t> samples(kReadSamples);
    RampCheck check;
    ASSERT_EQ(KV318_AD(h, 0, 0, 0, 0, 1000), 0);
    const auto read_on = [&](std::uint64_t until) {
        return wait_until(
            [&] {
                const std::int32_t n = KV318_Read(h, samples.data());
                if (n > 0) check.feed(samples, n);
                return n < 0 || check.next >= until;
            },
            std::chrono::seconds(60));
    };

    std::atomic<bool> rescued{false};

    // The FIFO stops handing out bytes while it fills past the first level:
    // each drain gives up on the empty replies, the reads go on.
    sim.board().set_fifo_stall(true);
    const std::uint64_t requestsBefore = sim.board().stats().requests;
    ASSERT_TRUE(returns_promptly(
        [&] {
            while (!rescued.load() &&
                   (sim.board().stats().fifoBytes < 2048 || sim.board().stats().requests < requestsBefore + 400)) {
                const std::int32_t n = KV318_Read(h, samples.data());
                if (n > 0) check.feed(samples, n);
            }
        },
        [&] {
            rescued = true;
            sim.board().set_fifo_stall(false);
        }))
        << "a read waited on a drain of a stalled board";
    sim.board().set_fifo_stall(false);
    EXPECT_TRUE(read_on(check.next + 600)) << check.next;
    EXPECT_FALSE(check.broken) << "the stall lost nothing: " << check.report();
    rescued = false;

    // Every status read fails: a board that cannot be asked is a transfer
    // fault, never a quiet board, and a read never waits on the ticks.
    sim.board().add_fault(FaultRule::on_command(kCmdRead8, FaultEffect::Fail, false));
    const std::uint64_t failedBefore = sim.board().stats().failed;
    std::vector<std::int32_t> results;
    ASSERT_TRUE(returns_promptly(
        [&] {
            while (!rescued.load() && sim.board().stats().failed < failedBefore + 30)
                results.push_back(KV318_Read(h, samples.data()));
        },
        [&] {
            rescued = true;
            sim.board().clear_faults();
            KV318_StopAD(h);
        }))
        << "a read waited on a drain sent after a level the board never reported";
    // 0 until the first failed status read is noticed, then -3 on every
    // read; never samples, never "acquisition off".
    bool faulted = false;
    for (std::int32_t r : results) {
        ASSERT_TRUE(r == 0 || r == -3) << r;
        if (faulted) {
            ASSERT_EQ(r, -3) << "the fault lasts";
        }
        faulted = faulted || r == -3;
    }
    EXPECT_TRUE(faulted);
    sim.board().clear_faults();
    EXPECT_EQ(KV318_Read(h, samples.data()), -3) << "until the stop";
    EXPECT_FALSE(check.broken) << check.report();
    EXPECT_EQ(KV318_StopAD(h), 0);
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

TEST(Polled, AStalledOrFailingBoardEndsTheReadWithNothingLost) {
    SimulatedBoards sim({ramp_board()});
    // Bulk replies of 1025 bytes, so that calls end on half a sample.
    sim.board().set_bulk_reply_limit(1025);
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    std::vector<std::int32_t> samples(kPolledSamples);
    RampCheck check;
    std::int32_t carry = 0;
    ASSERT_EQ(KV318_M_AD(h, 0, 0, 0, 0, 50), 0);  // 40,000 samples a second
    const auto read_on = [&](std::uint64_t until) {
        return wait_until(
            [&] {
                const std::int32_t n = KV318_M_Read(h, samples.data(), &carry, 0);
                if (n > 0) check.feed(samples, n);
                return n < 0 || check.next >= until;
            },
            std::chrono::seconds(60));
    };
    ASSERT_TRUE(read_on(2000)) << check.next;

    // A failed status read is a failed request: -1 at once, the carry kept.
    sim.board().add_fault(FaultRule::on_command(kCmdRead8, FaultEffect::Fail, false));
    for (int i = 0; i < 5; ++i) {
        const std::int32_t kept = carry;
        std::int32_t r = 0;
        ASSERT_TRUE(returns_promptly([&] { r = KV318_M_Read(h, samples.data(), &carry, 0); },
                                     [&] { sim.board().clear_faults(); }));
        EXPECT_EQ(r, -1);
        EXPECT_EQ(carry, kept);
    }
    sim.board().clear_faults();

    // Wait until the FIFO reports a level, then stall it: the read gives
    // up on the empty replies and returns what it has.
    ASSERT_TRUE(wait_until([&] { return sim.board().stats().fifoBytes >= 4096; }));
    sim.board().set_fifo_stall(true);
    std::int32_t r = -1;
    const std::int32_t before = carry;
    ASSERT_TRUE(returns_promptly([&] { r = KV318_M_Read(h, samples.data(), &carry, 0); },
                                 [&] { sim.board().set_fifo_stall(false); }))
        << "the read waited on a stalled board";
    EXPECT_EQ(r, 0) << "a stalled board hands out nothing";
    EXPECT_EQ(carry, before) << "a carried byte is still carried";
    sim.board().set_fifo_stall(false);

    ASSERT_TRUE(read_on(check.next + 8000)) << check.next;
    EXPECT_EQ(KV318_M_StopAD(h), 0);
    EXPECT_FALSE(check.broken) << check.report();
    EXPECT_EQ(sim.board().stats().samplesDropped, 0u);
    KV318_CloseDevice(h);
}

}  // namespace
}  // namespace kv318::sim::test
