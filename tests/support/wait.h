// Waiting on a condition in a test.  Tests run on busy machines, so they
// never sleep a fixed time and hope: they poll what they wait for, with a
// deadline generous enough that only a real fault reaches it.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace kv318::test {

// Long enough for Wine to start a process on a loaded 2-core machine.
inline constexpr std::chrono::milliseconds kWaitLimit{30000};

// Asks `done` until it holds or `limit` has passed, and once more at the
// deadline; true when it held.  The pauses between asks grow from 1 ms to
// 20 ms, so a quick condition is seen at once and a slow one costs little.
template <class Pred>
bool wait_until(Pred&& done, std::chrono::milliseconds limit = kWaitLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::chrono::milliseconds pause{1};
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace kv318::test
