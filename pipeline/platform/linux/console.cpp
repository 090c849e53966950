#include "console.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver_dir.h"

namespace kv318::pipeline::platform {

namespace {

// Written by the signal handler, read by the command's loop; a lock-free
// atomic is the one shared object a handler may touch.
std::atomic<bool>* g_stop = nullptr;

void on_stop_signal(int sig) {
    if (g_stop->exchange(true)) {
        // The second signal: the run did not end in time, so end now.
        ::signal(sig, SIG_DFL);
        ::raise(sig);
    }
}

}  // namespace

bool is_terminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

void set_binary(std::FILE*) {}

void install_stop_handlers(std::atomic<bool>* stop) {
    g_stop = stop;
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

std::string not_found_hint(int board) {
    // The library's own rule for where drivers publish boards, so the hint
    // names the directory the open really looked in.
    const std::string dir = linux_channel::driver_directory();
    // A directory that is there but refused (a link, another user's) gets
    // the library's reason, which names KV318_DRIVER_DIR as the way out.
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0) {
        const bool isDefault = linux_channel::driver_directory_is_default();
        const std::string refused = linux_channel::driver_directory_problem(dir, isDefault);
        if (!refused.empty()) return " (" + refused + ")";
    }
    return " (driver directory " + dir + ": no driver serves KV318Device" + std::to_string(board) +
           " there; start the board's driver or kv318-sim, or set KV318_DRIVER_DIR to its directory, "
           "which must be yours and writable by you alone)";
}

}  // namespace kv318::pipeline::platform
