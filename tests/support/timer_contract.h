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

REGISTER_TYPED_TEST_SUITE_P(TimerContract, KeepsTheSamplePeriod, RefusesATimerThatCannotTick,
                            TicksOnItsOwnThreadUntilCancelledAndNeverAfter, CancelReturnsOnlyAfterARunningProcedure,
                            TwoTimersTickAndCancelApart);

}  // namespace kv318::test
