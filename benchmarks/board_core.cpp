#include "board_core.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>

#include "timer_thread.h"

namespace kv318::bench {
namespace {

// Pins every thread of `pid` that carries the timer thread's name to
// `core`; threads that end meanwhile are passed over.
void pin_timer_threads(pid_t pid, int core) {
    if (core < 0 || core >= CPU_SETSIZE) return;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(core, &one);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        std::ifstream comm(tasks + "/" + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name != linux_timer::kThreadName) continue;
        const auto tid = static_cast<pid_t>(std::atol(entry->d_name));
        (void)::sched_setaffinity(tid, sizeof one, &one);
    }
    ::closedir(dir);
}

}  // namespace

int board_core() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return -1;
    for (int core = 0; core < CPU_SETSIZE; ++core) {
        if (CPU_ISSET(core, &set)) return core;
    }
    return -1;
}

OnCore::OnCore(int core) {
    if (core < 0 || core >= CPU_SETSIZE) return;
    if (::sched_getaffinity(0, sizeof before_, &before_) != 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(core, &one);
    pinned_ = ::sched_setaffinity(0, sizeof one, &one) == 0;
}

OnCore::~OnCore() {
    if (pinned_) (void)::sched_setaffinity(0, sizeof before_, &before_);
}

TimerThreadsOnCore::TimerThreadsOnCore(pid_t pid, int core) {
    if (core < 0) return;
    thread_ = std::thread([this, pid, core] {
        while (!stop_.load()) {
            pin_timer_threads(pid, core);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
}

TimerThreadsOnCore::~TimerThreadsOnCore() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::function<std::thread(std::function<void()>)> board_thread_starter(int core) {
    return [core](std::function<void()> body) {
        return std::thread([core, body = std::move(body)] {
            (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kBoardNice);
            const OnCore pinned(core);
            body();
        });
    };
}

}  // namespace kv318::bench
