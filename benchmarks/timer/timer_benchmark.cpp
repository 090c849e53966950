// The Linux timer thread's lateness beside a bare clock_nanosleep loop.
//
// Both run at the library's 10 ms period for the same 60 s, side by side,
// so they share whatever load the machine carries.  Lateness is how long
// after its deadline a tick's code starts running.  The bare loop knows
// its deadlines; the timer thread keeps its own, so this program wraps
// clock_nanosleep at link time (-Wl,--wrap) and records, per thread, the
// deadline each sleep was asked for.  Both loops pass through the same
// wrapper, so its cost falls on both alike.
//
// Prints p50, p99 and max of each and the ratio of the p99s; the goal is
// the timer thread's p99 within 1.2 times the bare loop's.
// KV318_TIMER_SECONDS overrides the 60 s.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "timer_service.h"

extern "C" int __real_clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remain);

namespace {

constexpr std::int64_t kPeriodNs = 10'000'000;

// Set by the wrapper on the thread that sleeps, read by the same thread
// when its tick runs; thread-local, so nothing is shared.
thread_local std::int64_t t_lastDeadlineNs = -1;

std::int64_t ns_of(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return ns_of(t);
}

// Latenesses of the library timer's ticks.  Written by the timer thread
// only, and read by main after the timer is cancelled (the cancel joins the
// thread), so the join orders the accesses.
std::vector<std::int64_t> g_timerLateness;

void on_tick(std::uintptr_t) {
    if (t_lastDeadlineNs >= 0 && g_timerLateness.size() < g_timerLateness.capacity())
        g_timerLateness.push_back(now_ns() - t_lastDeadlineNs);
}

struct Figures {
    double p50 = 0, p99 = 0, max = 0;  // microseconds
    std::size_t n = 0;
};

Figures figures_of(std::vector<std::int64_t> v) {
    Figures f;
    f.n = v.size();
    if (v.empty()) return f;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        return static_cast<double>(v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))]) / 1e3;
    };
    f.p50 = at(0.50);
    f.p99 = at(0.99);
    f.max = static_cast<double>(v.back()) / 1e3;
    return f;
}

}  // namespace

extern "C" int __wrap_clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remain) {
    if (clock == CLOCK_MONOTONIC && (flags & TIMER_ABSTIME) != 0) t_lastDeadlineNs = ns_of(*request);
    return __real_clock_nanosleep(clock, flags, request, remain);
}

int main() {
    const char* env = std::getenv("KV318_TIMER_SECONDS");
    const double seconds = env != nullptr && std::atof(env) > 0 ? std::atof(env) : 60.0;
    const auto ticks = static_cast<std::size_t>(seconds * 1e9 / kPeriodNs);
    g_timerLateness.reserve(ticks + 16);

    kv318::TimerService& timers = kv318::platform_timer_service();
    const kv318::TimerHandle id = timers.create(10, 1, on_tick, 0);
    if (id == 0) {
        std::fprintf(stderr, "timer_benchmark: no timer\n");
        return 1;
    }
    // The bare loop: absolute deadlines one period apart, as the timer
    // thread keeps them, half a period out of phase with the timer's, so
    // the two never wake together and queue behind each other.
    std::this_thread::sleep_for(std::chrono::nanoseconds(kPeriodNs / 2));
    std::vector<std::int64_t> bare;
    bare.reserve(ticks + 16);
    std::thread bareLoop([&] {
        std::int64_t deadline = now_ns() + kPeriodNs;
        while (bare.size() < ticks) {
            const timespec at{static_cast<time_t>(deadline / 1'000'000'000),
                              static_cast<long>(deadline % 1'000'000'000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            bare.push_back(now_ns() - deadline);
            deadline += kPeriodNs;
        }
    });

    bareLoop.join();
    timers.cancel(id);

    const Figures t = figures_of(g_timerLateness);
    const Figures b = figures_of(bare);
    std::printf("lateness at a 10 ms period over %.0f s, microseconds:\n", seconds);
    std::printf("  library timer thread  p50 %8.1f  p99 %8.1f  max %8.1f  (%zu ticks)\n", t.p50, t.p99, t.max, t.n);
    std::printf("  bare clock_nanosleep  p50 %8.1f  p99 %8.1f  max %8.1f  (%zu ticks)\n", b.p50, b.p99, b.max, b.n);
    const double ratio = b.p99 > 0 ? t.p99 / b.p99 : 0;
    std::printf("p99 ratio timer/bare %.2f: goal (at most 1.20) %s\n", ratio, ratio <= 1.2 ? "met" : "missed");
    return 0;
}
