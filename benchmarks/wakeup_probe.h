// A real-time probe beside a stream: a thread that sleeps 1 ms periods to
// absolute deadlines and records how late it wakes.  The host's worst
// wake-up lateness, printed beside the library's longest gap between
// drains, tells a reader whether a loss came from the machine (the probe
// woke late too) or from the library (the probe woke on time).
//
// The thread asks for SCHED_FIFO at the library timer's own real-time
// priority, so it waits behind the same work the timer thread would; where
// the process may not, it runs at its creator's priority and says so.  It
// runs on whichever cores its creator may use.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <thread>

namespace kv318::bench {

class WakeupProbe {
public:
    // The library's timer thread asks for the same priority.
    static constexpr int kRealTimePriority = 10;
    static constexpr std::int64_t kPeriodNs = 1'000'000;
    // Wake-ups later than this are counted apart.
    static constexpr std::int64_t kLateNs = 2'000'000;

    // Starts the probe thread; the destructor stops and joins it.
    WakeupProbe() : thread_([this] { run(); }) {}
    ~WakeupProbe() { stop(); }
    WakeupProbe(const WakeupProbe&) = delete;
    WakeupProbe& operator=(const WakeupProbe&) = delete;

    // Ends the probe; the figures stay.  The creator's thread.
    void stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }

    // The figures.  Each is written by the probe thread alone and read by
    // any thread; relaxed, since each is a lone figure.
    double worst_late_ms() const { return static_cast<double>(worstNs_.load(std::memory_order_relaxed)) / 1e6; }
    std::uint64_t wakeups() const { return wakeups_.load(std::memory_order_relaxed); }
    std::uint64_t late_wakeups() const { return late_.load(std::memory_order_relaxed); }
    bool real_time() const { return realTime_.load(std::memory_order_relaxed); }

private:
    static std::int64_t now_ns() {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    }

    void run() {
        sched_param p{};
        p.sched_priority = std::max(sched_get_priority_min(SCHED_FIFO), kRealTimePriority);
        realTime_.store(pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0, std::memory_order_relaxed);
        std::int64_t deadline = now_ns() + kPeriodNs;
        while (!stop_.load()) {
            const timespec at{static_cast<time_t>(deadline / 1'000'000'000),
                              static_cast<long>(deadline % 1'000'000'000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            const std::int64_t late = now_ns() - deadline;
            wakeups_.fetch_add(1, std::memory_order_relaxed);
            if (late > worstNs_.load(std::memory_order_relaxed)) worstNs_.store(late, std::memory_order_relaxed);
            if (late > kLateNs) late_.fetch_add(1, std::memory_order_relaxed);
            // On the grid, skipping the deadlines already missed.
            deadline += kPeriodNs;
            if (late > kPeriodNs) deadline += (late / kPeriodNs) * kPeriodNs;
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> worstNs_{0};
    std::atomic<std::uint64_t> wakeups_{0};
    std::atomic<std::uint64_t> late_{0};
    std::atomic<bool> realTime_{false};
    std::thread thread_;  // last: started once the figures exist
};

}  // namespace kv318::bench
