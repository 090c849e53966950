// kv318-sim: serves simulated KV318 boards on the Linux driver channel
// until SIGINT or SIGTERM.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver_dir.h"
#include "front_end.h"
#include "socket_server.h"

using namespace kv318::sim;

namespace {

class SocketFrontEnd final : public FrontEnd {
public:
    bool prepare(const SimOptions& options, std::string* error) override {
        dir_ = options.dir.empty() ? kv318::linux_channel::driver_directory() : options.dir;
        // A default directory is created private, and refused when it is a
        // link or another user's: in /tmp anyone may take the name first.
        if (options.dir.empty() && kv318::linux_channel::driver_directory_is_default()) {
            if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
                *error = "cannot create " + dir_ + ": " + std::strerror(errno);
                return false;
            }
            *error = kv318::linux_channel::driver_directory_problem(dir_, true);
            if (!error->empty()) return false;
        }
        // Block the stop signals before any thread exists, so every thread
        // inherits the mask and only sigwait below ever takes them.
        sigemptyset(&stopSignals_);
        sigaddset(&stopSignals_, SIGINT);
        sigaddset(&stopSignals_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals_, nullptr);
        signal(SIGPIPE, SIG_IGN);
        return true;
    }

    std::unique_ptr<BoardServer> make_server(const SimOptions& options, std::vector<Board*> boards,
                                             LogFn log) override {
        return std::make_unique<SocketServer>(std::move(boards), dir_, std::move(log), options.limits);
    }

    std::string where(const SimOptions&) override { return "in " + dir_; }

    std::string wait_for_stop() override {
        int received = 0;
        while (sigwait(&stopSignals_, &received) != 0) {
        }
        return received == SIGINT ? "SIGINT" : "SIGTERM";
    }

private:
    std::string dir_;
    sigset_t stopSignals_{};
};

}  // namespace

int main(int argc, char** argv) {
    SocketFrontEnd front;
    return run_simulator(argc, argv, Transport::UnixSocket, front);
}
