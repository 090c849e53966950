// Real-time probes beside a stream: one thread per core that sleeps 1 ms
// periods to absolute deadlines and records how late it wakes.  The host's
// worst wake-up lateness, printed beside the library's longest gap between
// drains, tells a reader whether a loss came from the machine (a probe woke
// late too) or from the library (every probe woke on time).
//
// One probe per core, each pinned to its core: on a virtual machine the
// host stalls one virtual core at a time, and a single probe, wherever the
// scheduler put it, sees nothing of a stall on the core the library's timer
// thread runs on.  Each probe also keeps the time of every wake-up more
// than kLateNs late, so a loss found at a given moment is set against the
// stalls just before it (CoreProbes::worst_stall_before).
//
// Each thread asks for SCHED_FIFO at the library timer's own real-time
// priority, so it waits behind the same work the timer thread would; where
// the process may not, it runs at its creator's priority and says so.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace kv318::bench {

// CLOCK_MONOTONIC in ns: the probes' clock, for the times a caller sets
// against theirs.
inline std::int64_t monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A stall one probe saw: it woke `lateNs` after its deadline, at `wokeNs`
// (monotonic_ns), so its core ran no real-time thread of this priority from
// wokeNs - lateNs until wokeNs.
struct Stall {
    std::int64_t wokeNs = 0;
    std::int64_t lateNs = 0;
};

class WakeupProbe {
public:
    // The library's timer thread asks for the same priority.
    static constexpr int kRealTimePriority = 10;
    static constexpr std::int64_t kPeriodNs = 1'000'000;
    // Wake-ups later than this are counted apart, and their times kept.
    static constexpr std::int64_t kLateNs = 2'000'000;
    // The stalls kept: a late wake-up every millisecond for 30 minutes
    // would be 1.8 million; past this many only the counts go on.
    static constexpr std::size_t kStallsKept = 1u << 20;

    // Starts the probe thread, pinned to `core` (-1: wherever the scheduler
    // puts it); the destructor stops and joins it.
    explicit WakeupProbe(int core = -1) : core_(core), thread_([this] { run(); }) {}
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
    int core() const { return core_; }

    // The stalls over kLateNs, oldest first.  Written by the probe thread
    // alone and read only after stop(), whose join orders the two.
    const std::vector<Stall>& stalls() const { return stalls_; }

private:
    void run() {
        if (core_ >= 0) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(core_, &one);
            (void)pthread_setaffinity_np(pthread_self(), sizeof one, &one);
        }
        sched_param p{};
        p.sched_priority = std::max(sched_get_priority_min(SCHED_FIFO), kRealTimePriority);
        realTime_.store(pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0, std::memory_order_relaxed);
        stalls_.reserve(4096);
        std::int64_t deadline = monotonic_ns() + kPeriodNs;
        while (!stop_.load()) {
            const timespec at{static_cast<time_t>(deadline / 1'000'000'000),
                              static_cast<long>(deadline % 1'000'000'000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            const std::int64_t woke = monotonic_ns();
            const std::int64_t late = woke - deadline;
            wakeups_.fetch_add(1, std::memory_order_relaxed);
            if (late > worstNs_.load(std::memory_order_relaxed)) worstNs_.store(late, std::memory_order_relaxed);
            if (late > kLateNs) {
                late_.fetch_add(1, std::memory_order_relaxed);
                if (stalls_.size() < kStallsKept) stalls_.push_back({woke, late});
            }
            // On the grid, skipping the deadlines already missed.
            deadline += kPeriodNs;
            if (late > kPeriodNs) deadline += (late / kPeriodNs) * kPeriodNs;
        }
    }

    const int core_;
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> worstNs_{0};
    std::atomic<std::uint64_t> wakeups_{0};
    std::atomic<std::uint64_t> late_{0};
    std::atomic<bool> realTime_{false};
    std::vector<Stall> stalls_;  // the probe thread's until stop()
    std::thread thread_;         // last: started once the figures exist
};

// A probe on every core this process may use (one unpinned probe where the
// cores cannot be read).  The creator's thread makes, stops and reads it.
class CoreProbes {
public:
    CoreProbes() {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) == 0) {
            for (int c = 0; c < CPU_SETSIZE; ++c)
                if (CPU_ISSET(c, &set)) probes_.push_back(std::make_unique<WakeupProbe>(c));
        }
        if (probes_.empty()) probes_.push_back(std::make_unique<WakeupProbe>(-1));
    }

    void stop() {
        for (auto& p : probes_) p->stop();
    }

    // Over every core.
    double worst_late_ms() const {
        double worst = 0;
        for (const auto& p : probes_) worst = std::max(worst, p->worst_late_ms());
        return worst;
    }
    std::uint64_t late_wakeups() const {
        std::uint64_t n = 0;
        for (const auto& p : probes_) n += p->late_wakeups();
        return n;
    }
    // True when every probe got SCHED_FIFO.
    bool real_time() const {
        return std::all_of(probes_.begin(), probes_.end(), [](const auto& p) { return p->real_time(); });
    }
    std::size_t count() const { return probes_.size(); }

    // The longest stall any probe saw that overlaps [atNs - windowNs,
    // atNs], in ms, and its core (-1 with 0 ms when none did).  After stop().
    struct Worst {
        double ms = 0;
        int core = -1;
    };
    Worst worst_stall_before(std::int64_t atNs, std::int64_t windowNs) const {
        Worst w;
        for (const auto& p : probes_) {
            for (const Stall& s : p->stalls()) {
                const bool overlaps = s.wokeNs >= atNs - windowNs && s.wokeNs - s.lateNs <= atNs;
                if (overlaps && static_cast<double>(s.lateNs) / 1e6 > w.ms) {
                    w.ms = static_cast<double>(s.lateNs) / 1e6;
                    w.core = p->core();
                }
            }
        }
        return w;
    }

private:
    std::vector<std::unique_ptr<WakeupProbe>> probes_;
};

}  // namespace kv318::bench
