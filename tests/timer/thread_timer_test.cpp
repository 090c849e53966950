// The Linux timer thread: its schedule, and the contract every platform
// timer keeps (the multimedia timer keeps the same one on Windows).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "timer_contract.h"
#include "timer_service.h"
#include "timer_thread.h"
#include "wait.h"

namespace kv318::test {
namespace {

TEST(TimerSchedule, DeadlinesStayOnTheGridAndMissedPeriodsAreSkipped) {
    struct Case {
        std::int64_t deadline, now, next;
    };
    const Case cases[] = {
        {100, 103, 110},                     // on time
        {100, 118, 110},                     // the procedure ran long: the next tick is due at once, not at 128
        {100, 120, 110},   {100, 125, 120},  // one period missed: skipped
        {100, 1003, 1000},
    };
    for (const Case& c : cases) EXPECT_EQ(linux_timer::next_deadline(c.deadline, c.now, 10), c.next) << c.now;
}

struct Scheduling {
    int policy = -1;
    int priority = -1;
    int nice = 0;
    char name[16] = {};
};

Scheduling own_scheduling() {
    Scheduling s;
    pthread_getname_np(pthread_self(), s.name, sizeof s.name);
    sched_param p{};
    pthread_getschedparam(pthread_self(), &s.policy, &p);
    s.priority = p.sched_priority;
    s.nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    return s;
}

// The timer's thread runs ahead of ordinary threads where the process may
// arrange it (real-time, else a lower nice value), and never below the
// thread that made it; the creator's own scheduling and name are left as
// they were, and the timer's thread carries the name tools look for.
TEST(TimerThreadPriority, OnlyTheTimersThreadIsRaisedAndNamed) {
    static std::atomic<bool> seen{false};
    static Scheduling timer;
    const Scheduling before = own_scheduling();
    seen = false;
    TimerService& timers = platform_timer_service();
    const TimerHandle id = timers.create(
        1, 1,
        [](std::uintptr_t) {
            if (seen.load()) return;
            timer = own_scheduling();
            seen.store(true);
        },
        0);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(wait_until([] { return seen.load(); }));
    timers.cancel(id);
    const Scheduling after = own_scheduling();
    EXPECT_EQ(after.policy, before.policy);
    EXPECT_EQ(after.priority, before.priority);
    EXPECT_EQ(after.nice, before.nice);
    EXPECT_STREQ(after.name, before.name);
    EXPECT_STREQ(timer.name, linux_timer::kThreadName);
    if (timer.policy == SCHED_FIFO) {
        EXPECT_GE(timer.priority, sched_get_priority_min(SCHED_FIFO));
        EXPECT_LE(timer.priority, 10) << "a low real-time priority";
    } else {
        EXPECT_EQ(timer.policy, before.policy);
        EXPECT_LE(timer.nice, before.nice) << "never below its creator";
    }
    std::printf("timer thread: policy %d priority %d nice %d (creator: policy %d nice %d)\n", timer.policy,
                timer.priority, timer.nice, before.policy, before.nice);
}

// The Linux timer thread keeps the contract of every platform timer.
struct ThreadTimers {
    static TimerService& service() { return platform_timer_service(); }
};
INSTANTIATE_TYPED_TEST_SUITE_P(Thread, TimerContract, ThreadTimers);

}  // namespace
}  // namespace kv318::test
