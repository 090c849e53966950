// The clock seam: the analog tick bounds its wait for a batch by time, and
// tests drive that time by hand instead of waiting for it.
#pragma once

#include <chrono>
#include <cstdint>

namespace kv318::panel {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a clock that never goes back; only differences count.
    // GUI thread.
    virtual std::int64_t now_ms() = 0;
};

// The real monotonic clock.
class SteadyClock final : public Clock {
public:
    std::int64_t now_ms() override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

}  // namespace kv318::panel
