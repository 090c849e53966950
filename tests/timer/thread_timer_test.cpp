// The Linux timer thread: its schedule, and the contract every platform
// timer keeps (the multimedia timer keeps the same one on Windows).
#include <gtest/gtest.h>

#include <cstdint>

#include "timer_contract.h"
#include "timer_service.h"
#include "timer_thread.h"

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

// The Linux timer thread keeps the contract of every platform timer.
struct ThreadTimers {
    static TimerService& service() { return platform_timer_service(); }
};
INSTANTIATE_TYPED_TEST_SUITE_P(Thread, TimerContract, ThreadTimers);

}  // namespace
}  // namespace kv318::test
