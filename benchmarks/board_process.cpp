#include "board_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "board_core.h"

extern char** environ;

namespace kv318::bench {
namespace {

// A child takes the nice value of the thread that starts it, so this
// thread raises itself for the spawn and then goes back.  Going back to a
// higher nice value is always allowed.
class RaisedForSpawn {
public:
    RaisedForSpawn() : tid_(static_cast<id_t>(::syscall(SYS_gettid))) {
        errno = 0;
        before_ = ::getpriority(PRIO_PROCESS, tid_);
        raised_ = errno == 0 && ::setpriority(PRIO_PROCESS, tid_, kBoardNice) == 0;
    }
    ~RaisedForSpawn() {
        if (raised_) (void)::setpriority(PRIO_PROCESS, tid_, before_);
    }
    RaisedForSpawn(const RaisedForSpawn&) = delete;
    RaisedForSpawn& operator=(const RaisedForSpawn&) = delete;

private:
    id_t tid_;
    int before_ = 0;
    bool raised_ = false;
};

pid_t spawn_logged(const std::vector<std::string>& args, const std::string& logPath, bool raise) {
    if (args.empty()) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (raise) {
        const RaisedForSpawn raised;
        if (::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    } else if (::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

}  // namespace

pid_t spawn_board_process(int core, const std::vector<std::string>& args, const std::string& logPath) {
    // A child takes the affinity of the thread that starts it.
    const OnCore pinned(core);
    return spawn_logged(args, logPath, true);
}

pid_t spawn_program(const std::vector<std::string>& args, const std::string& logPath) {
    return spawn_logged(args, logPath, false);
}

long fifo_drops_in(const std::string& logPath) {
    std::ifstream f(logPath);
    std::string line;
    long drops = -1;
    const std::string key = "FIFO drops so far: ";
    while (std::getline(f, line)) {
        const auto at = line.find(key);
        if (at != std::string::npos) drops = std::atol(line.c_str() + at + key.size());
    }
    return drops;
}

}  // namespace kv318::bench
