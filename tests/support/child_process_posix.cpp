#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "read_file.h"

extern char** environ;

namespace kv318::test {

namespace {

// A fresh empty file under /tmp, for one of the child's outputs.
std::string temp_file(const char* what) {
    std::string path = std::string("/tmp/kv318-child-") + what + "-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd >= 0) ::close(fd);
    return path;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : outPath_(temp_file("out")), errPath_(temp_file("err")) {
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Close-on-exec, so the child holds no copy of our end: closing it must
    // be the end of its input.
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    input_ = in[1];
}

ChildProcess::~ChildProcess() {
    close_input();
    if (started() && !wait_exit(std::chrono::seconds(10))) {
        kill();
        wait_exit();
    }
    ::unlink(outPath_.c_str());
    ::unlink(errPath_.c_str());
}

bool ChildProcess::started() const { return pid_ > 0; }

std::string ChildProcess::out() const { return read_file_text(outPath_); }

std::string ChildProcess::err() const { return read_file_text(errPath_); }

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds limit) {
    auto shows = [&] { return output().find(text) != std::string::npos; };
    wait_until([&] { return shows() || exited(); }, limit);
    return shows();
}

void ChildProcess::close_input() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds limit) {
    if (!started()) return std::nullopt;
    wait_until(
        [&] {
            if (code_) return true;
            int st = 0;
            if (::waitpid(pid_, &st, WNOHANG) != pid_) return false;
            code_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return true;
        },
        limit);
    return code_;
}

void ChildProcess::kill() {
    if (started() && !code_) ::kill(pid_, SIGKILL);
}

void ChildProcess::signal(int signal) {
    if (started() && !code_) ::kill(pid_, signal);
}

}  // namespace kv318::test
