// The simulated board on the core of the library's timer thread.
//
// A drain is a run of synchronous requests: the timer thread asks, the
// board answers, about sixteen times a tick at the top rate.  A real board
// answers from hardware that never sleeps.  A simulated one answers from a
// thread, and on a virtual machine the core that thread waits on is halted
// while it waits; waking it for the next request is up to the host, which
// now and then takes milliseconds.  Measured on a 2-core KVM guest at
// 26 MB/s: a drain's median took 1.7 ms with the board on the other core and
// 0.26 ms on the timer's own, and single requests of 2-10 ms in the first
// case cost the 512 KiB FIFO its 20 ms of slack.  That is the simulated
// board's cost, not the library's, so the benchmarks can keep the board and
// the timer thread on one core, where a request and its reply are a switch
// between two threads with no wake-up of another core.  The caller's other
// threads (the reader, the tool under test, any load) keep every core.
//
// Linux only; all calls are made by the benchmark's own threads.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <thread>

namespace kv318::bench {

// The core the board and the timer share: the lowest this process may use.
// -1 when the process's cores cannot be read.
int board_core();

// Pins the calling thread to `core` while it lives and then gives it back
// its cores.  A thread this thread starts meanwhile (the library's timer
// thread, started by KV318_AD; a child process) keeps the pin.  A core of
// -1, or one the thread may not take, leaves it as it was.
class OnCore {
public:
    explicit OnCore(int core);
    ~OnCore();
    OnCore(const OnCore&) = delete;
    OnCore& operator=(const OnCore&) = delete;

private:
    cpu_set_t before_{};
    bool pinned_ = false;
};

// Keeps the library's timer threads in process `pid` (a tool under test)
// on `core` while it lives, found by the name the library gives them.  A
// thread of its own pins them every 50 ms, so a tool that restarts its
// stream (with a new timer thread) is followed.  A core of -1 does nothing.
class TimerThreadsOnCore {
public:
    TimerThreadsOnCore(pid_t pid, int core);
    ~TimerThreadsOnCore();
    TimerThreadsOnCore(const TimerThreadsOnCore&) = delete;
    TimerThreadsOnCore& operator=(const TimerThreadsOnCore&) = delete;

private:
    // Written by the owner's thread at destruction, read by the pinning
    // thread between rounds; nothing else rides on it.
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The nice value a simulated board runs at, where the process may set it:
// the highest priority without a real-time policy, so that the board, like
// hardware, keeps its pace under load.  A real-time policy would do the
// same, but a real-time board beside the library's real-time timer thread
// costs three to four times the CPU per MB when the two sit on different
// cores (each exchange then wakes a real-time thread on the other core),
// which no hardware would cost.
inline constexpr int kBoardNice = -20;

// How the benchmarks start an in-process simulated board's threads: at
// kBoardNice and on `core` (-1: anywhere).
std::function<std::thread(std::function<void()>)> board_thread_starter(int core);

}  // namespace kv318::bench
