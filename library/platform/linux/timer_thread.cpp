// The Linux timer service: one thread per periodic timer.  Each thread
// sleeps to absolute deadlines one period apart on CLOCK_MONOTONIC, so a
// late wake-up or a long procedure does not shift the ticks after it.
//
// This file also ends the library's life cleanly.  At process exit, or when
// the library is unloaded with dlclose, a static object here ends a running
// stream and joins every timer thread before the code and data they use go
// away, so no thread runs on in unmapped code and no joinable std::thread is
// ever destroyed (which would call std::terminate).
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "timer_service.h"
#include "timer_thread.h"

namespace kv318 {
namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;
constexpr std::int64_t kNsPerMs = 1000000;

std::int64_t to_ns(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * kNsPerSecond + t.tv_nsec; }

timespec from_ns(std::int64_t ns) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    t.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    return t;
}

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return to_ns(now);
}

struct ThreadTimer {
    TimerHandle id = 0;
    TimerProcedure procedure = nullptr;
    std::uintptr_t user = 0;
    // Set by create before the thread starts; changed by set_period from
    // inside the procedure, on this timer's own thread, which alone reads it
    // afterwards: relaxed is enough.
    std::atomic<std::int64_t> periodNs{0};
    // Written by cancel on the caller's thread, read by the timer's thread
    // before each call; once it sees true, no call starts.  Cancel then joins,
    // so it needs no ordering beyond the atomic itself.
    std::atomic<bool> stop{false};
    std::thread thread;
};

// The real-time priority the timer thread asks for: low, so that it comes
// before every ordinary thread (a compiler, a busy loop) but after the
// system's own real-time work.
constexpr int kTimerRealTimePriority = 10;
// The nice value a thread with CAP_SYS_NICE may take.
constexpr int kHighestNice = -20;

// Raises the calling thread, the timer's, as far as the process may: its
// drains must keep up with a board whose FIFO holds 20 ms at the top rate,
// however busy the machine is.  First SCHED_FIFO at a low real-time
// priority (allowed with CAP_SYS_NICE, or up to RLIMIT_RTPRIO); else the
// lowest nice value allowed (-20 with CAP_SYS_NICE, else 20 - RLIMIT_NICE);
// else it stays as it is.  Silent either way: a stream runs at any
// priority, only with less slack.  On Linux a thread's scheduling and its
// nice value are its own, so the caller's threads keep theirs.
void raise_timer_priority() {
    const int top = std::max(sched_get_priority_min(SCHED_FIFO), kTimerRealTimePriority);
    sched_param param{};
    param.sched_priority = top;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
    rlimit rt{};
    if (getrlimit(RLIMIT_RTPRIO, &rt) == 0 && rt.rlim_cur > 0) {
        param.sched_priority = static_cast<int>(std::min<rlim_t>(rt.rlim_cur, static_cast<rlim_t>(top)));
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
    }
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    if (setpriority(PRIO_PROCESS, tid, kHighestNice) == 0) return;
    rlimit nice{};
    if (getrlimit(RLIMIT_NICE, &nice) != 0 || nice.rlim_cur == 0 || nice.rlim_cur > 40) return;
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, tid);
    const int allowed = 20 - static_cast<int>(nice.rlim_cur);
    if (errno == 0 && allowed < now) (void)setpriority(PRIO_PROCESS, tid, allowed);
}

// The timer whose procedure runs on this thread, for set_period; null on
// every thread that is not a timer's.
thread_local ThreadTimer* t_current = nullptr;

void run_timer(ThreadTimer* t) {
    (void)pthread_setname_np(pthread_self(), linux_timer::kThreadName);
    raise_timer_priority();
    t_current = t;
    std::int64_t deadline = monotonic_ns() + t->periodNs.load(std::memory_order_relaxed);
    while (!t->stop.load()) {
        const timespec at = from_ns(deadline);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        if (t->stop.load()) break;
        t->procedure(t->user);
        deadline = linux_timer::next_deadline(deadline, monotonic_ns(), t->periodNs.load(std::memory_order_relaxed));
    }
}

class ThreadTimerService final : public TimerService {
public:
    ThreadTimerService() {
        // Unregistered by the C library when the library is unloaded.
        (void)::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
    }
    ~ThreadTimerService() override { cancel_all(); }

    bool capabilities(std::uint32_t* minPeriodMs) override {
        timespec res{};
        if (clock_getres(CLOCK_MONOTONIC, &res) != 0) return false;
        const std::int64_t ns = to_ns(res);
        const std::int64_t ms = (ns + kNsPerMs - 1) / kNsPerMs;
        *minPeriodMs = static_cast<std::uint32_t>(ms < 1 ? 1 : ms);
        return true;
    }

    TimerHandle create(std::uint32_t periodMs, std::uint32_t, TimerProcedure procedure, std::uintptr_t user) override {
        if (periodMs == 0 || procedure == nullptr) return 0;
        try {
            auto t = std::make_unique<ThreadTimer>();
            t->procedure = procedure;
            t->user = user;
            t->periodNs.store(static_cast<std::int64_t>(periodMs) * kNsPerMs, std::memory_order_relaxed);
            std::lock_guard<std::mutex> lock(mutex_);
            t->id = nextId_++;
            if (nextId_ == 0) nextId_ = 1;
            // The thread only reads fields set above; the list keeps the
            // timer's address stable until cancel has joined it.
            t->thread = std::thread(run_timer, t.get());
            timers_.push_back(std::move(t));
            return timers_.back()->id;
        } catch (...) {
            // No memory or no thread: no timer runs.
            return 0;
        }
    }

    void cancel(TimerHandle id) override {
        std::unique_ptr<ThreadTimer> t;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                if ((*it)->id == id) {
                    t = std::move(*it);
                    timers_.erase(it);
                    break;
                }
            }
        }
        if (t) stop_and_join(std::move(t));
    }

    bool set_period(TimerHandle id, std::uint32_t periodMs) override {
        // Only a procedure changes its own timer, on its own thread: the
        // thread reads the period right after the procedure returns.
        ThreadTimer* t = t_current;
        if (periodMs == 0 || t == nullptr || t->id != id) return false;
        t->periodNs.store(static_cast<std::int64_t>(periodMs) * kNsPerMs, std::memory_order_relaxed);
        return true;
    }

    // Stops and joins every live timer.
    void cancel_all() {
        std::list<std::unique_ptr<ThreadTimer>> all;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            all.swap(timers_);
        }
        for (auto& t : all) stop_and_join(std::move(t));
    }

private:
    // The fork handlers.  The mutex is held across the fork so that the
    // child's copy of the table is whole, not caught half-way through a
    // create or cancel of another thread.
    static void before_fork();
    static void after_fork_in_parent();
    // A child has none of its parent's threads, so the timers it inherits
    // are records of threads that are not there: joining one would wait on
    // a thread id that names nothing in this process (glibc happens to
    // return, ThreadSanitizer waits for ever), and destroying a record's
    // joinable std::thread would call std::terminate.  So the child lets go
    // of them, deliberately never freeing them, and its exit
    // teardown, unload or cancel finds no timer to stop.  Its own timers,
    // made after the fork, are joined as usual.
    static void after_fork_in_child();

    static void stop_and_join(std::unique_ptr<ThreadTimer> t) {
        t->stop.store(true);
        if (t->thread.get_id() == std::this_thread::get_id()) {
            // A procedure that cancels its own timer cannot wait for itself:
            // the thread ends after this call, and keeps its record.
            t->thread.detach();
            (void)t.release();
            return;
        }
        t->thread.join();
    }

    std::mutex mutex_;  // guards timers_ and nextId_; never held while joining
    std::list<std::unique_ptr<ThreadTimer>> timers_;
    TimerHandle nextId_ = 1;
};

// Made at first use; library_main.cpp's unload guard uses it first, so it
// is destroyed after that guard.
ThreadTimerService& timers() {
    static ThreadTimerService service;
    return service;
}

void ThreadTimerService::before_fork() { timers().mutex_.lock(); }

void ThreadTimerService::after_fork_in_parent() { timers().mutex_.unlock(); }

void ThreadTimerService::after_fork_in_child() {
    ThreadTimerService& service = timers();
    // The records are leaked on purpose (see the declaration); only the
    // list's nodes, which now hold nothing, are freed.
    for (auto& t : service.timers_) (void)t.release();
    service.timers_.clear();
    service.mutex_.unlock();
}

}  // namespace

void linux_timer::cancel_all() { timers().cancel_all(); }

std::int64_t linux_timer::next_deadline(std::int64_t deadline, std::int64_t now, std::int64_t period) {
    deadline += period;
    // A tick that ran late is followed at once by the next one, but whole
    // periods missed (the process was stopped, or a drain ran very long) are
    // skipped instead of being fired in a burst.
    const std::int64_t behind = now - deadline;
    if (behind > period) deadline += (behind / period) * period;
    return deadline;
}

TimerService& platform_timer_service() { return timers(); }

}  // namespace kv318
