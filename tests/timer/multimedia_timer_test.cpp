// The multimedia timer (32-bit and x64 KV318.dll alike) keeps the contract
// of every platform timer, as the Linux timer thread does.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "timer_contract.h"
#include "timer_service.h"

namespace kv318::test {
namespace {

struct MultimediaTimers {
    static TimerService& service() { return platform_timer_service(); }
};
INSTANTIATE_TYPED_TEST_SUITE_P(Multimedia, TimerContract, MultimediaTimers);

// The library leaves the multimedia timer's thread at the priority the
// system gives it, which architecture.md states: above the creator's.
TEST(MultimediaTimerPriority, TheSystemsTimerThreadRunsAboveTheCreator) {
    static std::atomic<int> seen{THREAD_PRIORITY_ERROR_RETURN};
    seen = THREAD_PRIORITY_ERROR_RETURN;
    TimerService& timers = platform_timer_service();
    const TimerHandle id = timers.create(
        1, 1, [](std::uintptr_t) { seen.store(GetThreadPriority(GetCurrentThread())); }, 0);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(wait_until([] { return seen.load() != THREAD_PRIORITY_ERROR_RETURN; }));
    timers.cancel(id);
    const int creator = GetThreadPriority(GetCurrentThread());
    std::printf("multimedia timer thread priority %d (creator %d)\n", seen.load(), creator);
    EXPECT_GT(seen.load(), creator);
}

}  // namespace
}  // namespace kv318::test
