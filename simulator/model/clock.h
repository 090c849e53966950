// Time for the board model.  The model never reads a clock of its own: it
// asks a Clock, so the simulator runs on the real monotonic clock while
// tests drive time by hand and see every behaviour deterministically.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace kv318::sim {

inline constexpr std::uint64_t kNsPerSecond = 1'000'000'000;

class Clock {
public:
    virtual ~Clock() = default;

    // Nanoseconds on a monotonic scale that starts near 0 and never goes
    // backwards.  Any thread may call it; it cannot fail.
    virtual std::uint64_t now_ns() const = 0;
};

// The real monotonic clock, counted from the moment it was made.
class SteadyClock final : public Clock {
public:
    SteadyClock() : origin_(std::chrono::steady_clock::now()) {}
    std::uint64_t now_ns() const override {
        const auto d = std::chrono::steady_clock::now() - origin_;
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
    }

private:
    std::chrono::steady_clock::time_point origin_;
};

// A clock that moves only when a test moves it.
class ManualClock final : public Clock {
public:
    std::uint64_t now_ns() const override { return now_.load(std::memory_order_acquire); }
    void advance_ns(std::uint64_t ns) { now_.fetch_add(ns, std::memory_order_acq_rel); }
    void advance_us(std::uint64_t us) { advance_ns(us * 1000); }
    void advance_ms(std::uint64_t ms) { advance_ns(ms * 1'000'000); }

private:
    // Written by the test's thread, read by whichever thread serves a
    // request; a single counter needs no lock, and acquire/release keeps a
    // request that sees the new time from seeing older model state.
    std::atomic<std::uint64_t> now_{0};
};

// Whole periods of a `hz` clock that fit into `ns` nanoseconds, exactly
// floor(ns * hz / 1e9), without the 64-bit overflow of the plain product
// (valid for hz up to about 1.8e10).
constexpr std::uint64_t periods_in(std::uint64_t ns, std::uint64_t hz) {
    return (ns / kNsPerSecond) * hz + (ns % kNsPerSecond) * hz / kNsPerSecond;
}

}  // namespace kv318::sim
