// What every platform timer service must do, written once and run against
// each (the Linux timer thread, the Windows multimedia timer): the test
// file of an implementation includes this header once and instantiates the
// suite with a type whose service() returns the timer service under test,
// e.g.
//   INSTANTIATE_TYPED_TEST_SUITE_P(Thread, TimerContract, ThreadTimers);
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "timer_service.h"
#include "wait.h"

namespace kv318::test {

// What a timer's procedure saw, shared with the test thread.  Every field
// is a lone value the test polls or reads after the timer is cancelled
// (and cancel waits for the procedure), so atomics and no lock.
struct TickLog {
    std::atomic<int> calls{0};
    std::atomic<bool> afterCancel{false};  // set by the test once cancel returned
    std::atomic<int> late{0};              // calls that began after that
    std::atomic<bool> hold{false};         // keeps the procedure running while true
    std::atomic<bool> holding{false};
    std::atomic<bool> onCreatorThread{false};
    std::thread::id creator = std::this_thread::get_id();
};

inline void log_tick(std::uintptr_t user) {
    auto* log = reinterpret_cast<TickLog*>(user);
    if (log->afterCancel.load()) ++log->late;
    if (std::this_thread::get_id() == log->creator) log->onCreatorThread = true;
    ++log->calls;
    while (log->hold.load()) {
        log->holding = true;
        std::this_thread::yield();
    }
}

inline std::uintptr_t user_of(TickLog& log) { return reinterpret_cast<std::uintptr_t>(&log); }

template <class Timers>
class TimerContract : public ::testing::Test {};
TYPED_TEST_SUITE_P(TimerContract);

TYPED_TEST_P(TimerContract, KeepsTheSamplePeriod) {
    TimerService& timers = TypeParam::service();
    std::uint32_t minPeriod = 0;
    ASSERT_TRUE(timers.capabilities(&minPeriod));
    EXPECT_GE(minPeriod, 1u);
    EXPECT_LE(minPeriod, 2u) << "fine enough for the 10 ms sample timer";
}

TYPED_TEST_P(TimerContract, RefusesATimerThatCannotTick) {
    TimerService& timers = TypeParam::service();
    TickLog log;
    EXPECT_EQ(timers.create(0, 2, log_tick, user_of(log)), 0u) << "a period of 0";
    EXPECT_EQ(timers.create(10, 2, nullptr, 0), 0u) << "no procedure";
}

TYPED_TEST_P(TimerContract, TicksOnItsOwnThreadUntilCancelledAndNeverAfter) {
    TimerService& timers = TypeParam::service();
    TickLog log;
    const TimerHandle id = timers.create(10, 2, log_tick, user_of(log));
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(wait_until([&] { return log.calls.load() >= 5; }));
    timers.cancel(id);
    log.afterCancel = true;
    const int calls = log.calls.load();
    // No synchronisation here: a window in which a stray tick would show.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(log.late.load(), 0);
    EXPECT_EQ(log.calls.load(), calls);
    EXPECT_FALSE(log.onCreatorThread.load());
    timers.cancel(id);  // a second cancel does nothing
    timers.cancel(0);   // nor does one of no timer at all
}

TYPED_TEST_P(TimerContract, CancelReturnsOnlyAfterARunningProcedure) {
    TimerService& timers = TypeParam::service();
    TickLog log;
    log.hold = true;
    const TimerHandle id = timers.create(10, 2, log_tick, user_of(log));
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(wait_until([&] { return log.holding.load(); }));
    std::atomic<bool> cancelling{false};
    std::atomic<bool> cancelled{false};
    std::thread canceller([&] {
        cancelling = true;
        timers.cancel(id);
        cancelled = true;
    });
    // The canceller may start late on a busy machine, all the more so
    // beside a timer thread that runs at a real-time priority and spins in
    // this procedure; a call that starts before the cancel is allowed, so
    // the window opens only once the canceller runs.
    EXPECT_TRUE(wait_until([&] { return cancelling.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a window, not a synchronisation
    EXPECT_FALSE(cancelled.load());
    log.hold = false;
    canceller.join();
    EXPECT_TRUE(cancelled.load());
    EXPECT_EQ(log.calls.load(), 1);
}

TYPED_TEST_P(TimerContract, TwoTimersTickAndCancelApart) {
    TimerService& timers = TypeParam::service();
    TickLog first, second;
    const TimerHandle a = timers.create(10, 2, log_tick, user_of(first));
    const TimerHandle b = timers.create(10, 2, log_tick, user_of(second));
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    timers.cancel(a);
    first.afterCancel = true;
    const int before = second.calls.load();
    EXPECT_TRUE(wait_until([&] { return second.calls.load() >= before + 3; })) << "the other timer ticks on";
    timers.cancel(b);
    EXPECT_EQ(first.late.load(), 0);
}

// What a procedure that changes its own period saw.  The procedure reads
// the timer's id, which the test stores after create returns: a tick that
// comes first changes nothing and is not counted.
struct PeriodLog {
    TimerService* timers = nullptr;
    std::atomic<TimerHandle> id{0};
    // The period to set at the call numbered by its index (1-based), 0 for none.
    std::vector<std::uint32_t> plan;
    std::atomic<int> calls{0};
    std::atomic<int> refused{0};  // set_period calls that returned false
    std::atomic<bool> afterCancel{false};
    std::atomic<int> late{0};
    // When the last planned call began, and the first call after it.
    std::atomic<std::int64_t> lastPlannedNs{0};
    std::atomic<std::int64_t> nextNs{0};
};

inline std::int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline void change_own_period(std::uintptr_t user) {
    auto* log = reinterpret_cast<PeriodLog*>(user);
    const TimerHandle id = log->id.load();
    if (id == 0) return;
    if (log->afterCancel.load()) ++log->late;
    const auto n = static_cast<std::size_t>(++log->calls);
    if (n + 1 == log->plan.size()) log->lastPlannedNs = steady_ns();
    if (n == log->plan.size() && log->nextNs.load() == 0) log->nextNs = steady_ns();
    if (n < log->plan.size() && log->plan[n] != 0 && !log->timers->set_period(id, log->plan[n])) ++log->refused;
}

// A procedure may change its own timer's period: the next ticks come at the
// new one, and a cancel still ends every call, however often the period
// changed.  A one-second period set at the last planned call shows the
// change took: no further tick comes in the window that follows.  Nothing
// but the procedure may change it, and never to 0.
TYPED_TEST_P(TimerContract, APeriodChangedFromTheProcedureHoldsUntilTheCancel) {
    TimerService& timers = TypeParam::service();
    // Long beside the window below, short enough for a cancel, which may
    // wait out a sleep of one period.
    constexpr std::uint32_t kLong = 1000;
    struct Case {
        const char* what;
        std::uint32_t createMs;
        std::vector<std::uint32_t> plan;
    };
    const Case cases[] = {
        {"at once to a second", 2, {0, kLong}},
        {"shorter, longer, shorter, then a second", 10, {0, 2, 0, 0, 5, 0, 1, 0, 0, 0, kLong}},
    };
    for (const Case& c : cases) {
        PeriodLog log;
        log.timers = &timers;
        log.plan = c.plan;
        const TimerHandle id = timers.create(c.createMs, 1, change_own_period, reinterpret_cast<std::uintptr_t>(&log));
        ASSERT_NE(id, 0u) << c.what;
        EXPECT_FALSE(timers.set_period(id, 5)) << c.what << ": only from the procedure";
        log.id = id;
        const int last = static_cast<int>(c.plan.size()) - 1;
        EXPECT_TRUE(wait_until([&] { return log.calls.load() >= last; })) << c.what;
        // No synchronisation: a window in which a tick at the old period
        // would show.  Ticks are never early, so one that comes at all
        // comes most of a second after the last planned call.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (log.calls.load() > last) {
            EXPECT_GE(log.nextNs.load() - log.lastPlannedNs.load(), 500'000'000) << c.what << ": the period took";
        }
        timers.cancel(id);
        log.afterCancel = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(log.late.load(), 0) << c.what;
        EXPECT_EQ(log.refused.load(), 0) << c.what;
    }
    // A period of 0 is refused, from the procedure too.
    PeriodLog zero;
    zero.timers = &timers;
    zero.plan = {0, 0};
    const TimerHandle id = timers.create(
        2, 1,
        [](std::uintptr_t user) {
            auto* log = reinterpret_cast<PeriodLog*>(user);
            const TimerHandle own = log->id.load();
            if (own != 0 && !log->timers->set_period(own, 0)) ++log->refused;
        },
        reinterpret_cast<std::uintptr_t>(&zero));
    ASSERT_NE(id, 0u);
    zero.id = id;
    EXPECT_TRUE(wait_until([&] { return zero.refused.load() >= 3; })) << "refused, and the timer ticks on";
    timers.cancel(id);
}

REGISTER_TYPED_TEST_SUITE_P(TimerContract, KeepsTheSamplePeriod, RefusesATimerThatCannotTick,
                            TicksOnItsOwnThreadUntilCancelledAndNeverAfter, CancelReturnsOnlyAfterARunningProcedure,
                            TwoTimersTickAndCancelApart, APeriodChangedFromTheProcedureHoldsUntilTheCancel);

}  // namespace kv318::test
