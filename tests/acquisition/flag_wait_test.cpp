// The wait a reader, a stop or an unload makes for the drain in progress:
// a flag lowered just as the waiter looks at it must still wake it.  Many
// handoffs make that moment likely to come; a lost wakeup leaves the waiter
// asleep, which the holder sees as a round that never ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "flag_wait.h"

namespace kv318::test {
namespace {

// Spins (yielding) until `done`, or false after a deadline no sound round
// comes near.  Not wait.h's sleeping poll: the handoffs must come back to
// back for the racy moment to come up often.
template <class Pred>
bool spin_until(Pred&& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::yield();
    }
    return true;
}

TEST(FlagWait, EveryLoweringWakesTheWaiter) {
    std::vector<FlagWaiter::Method> methods{FlagWaiter::Method::LockedNotify};
    // Atomic waits only where they are sound; elsewhere they are the fault
    // this guards against.
    if (FlagWaiter::kNative == FlagWaiter::Method::AtomicWait) methods.push_back(FlagWaiter::Method::AtomicWait);
    constexpr std::int32_t kRounds = 20000;
    for (const FlagWaiter::Method method : methods) {
        const int which = static_cast<int>(method);
        FlagWaiter waiter(method);
        std::atomic<std::int32_t> flag{0};
        std::atomic<std::int32_t> raised{0};    // rounds whose flag is up; holder writes
        std::atomic<std::int32_t> finished{0};  // rounds the waiter saw end; waiter writes
        std::atomic<bool> quit{false};          // holder writes
        std::atomic<bool> exited{false};        // waiter writes
        std::thread waiting([&] {
            for (std::int32_t r = 1; r <= kRounds && !quit.load(); ++r) {
                while (raised.load() < r && !quit.load()) std::this_thread::yield();
                waiter.wait_lowered(flag);
                finished.store(r);
            }
            exited.store(true);
        });
        std::int32_t lost = 0;
        for (std::int32_t r = 1; r <= kRounds; ++r) {
            flag.store(1);
            raised.store(r);
            // Lower at once or after a moment, so the lowering falls before,
            // during and after the waiter's look.
            if (r % 3 == 0) std::this_thread::yield();
            waiter.lower(flag);
            if (!spin_until([&] { return finished.load() == r; })) {
                lost = r;
                break;
            }
        }
        quit.store(true);
        // A waiter asleep over a lost wakeup is freed by a later one.
        EXPECT_TRUE(spin_until([&] {
            waiter.lower(flag);
            return exited.load();
        })) << "method "
            << which << ": the waiter never woke";
        waiting.join();
        EXPECT_EQ(lost, 0) << "method " << which << ": the waiter slept through round " << lost;
        EXPECT_EQ(finished.load(), kRounds) << "method " << which;
    }
}

}  // namespace
}  // namespace kv318::test
