// kv318-sim: serves simulated KV318 boards on the Linux driver channel
// until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "driver_dir.h"
#include "options.h"
#include "socket_server.h"

using namespace kv318::sim;

int main(int argc, char** argv) {
    SimOptions options;
    std::string error;
    switch (parse_options(argc, argv, &options, &error)) {
    case ParseStatus::Help:
        std::cout << usage_text();
        return 0;
    case ParseStatus::Error:
        std::cerr << "kv318-sim: " << error << "\n" << usage_text();
        return 2;
    case ParseStatus::Run:
        break;
    }
    const std::string dir = options.dir.empty() ? kv318::linux_channel::driver_directory() : options.dir;

    // Block the stop signals before any thread exists, so every thread
    // inherits the mask and only sigwait below ever takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    SteadyClock clock;
    const std::vector<std::unique_ptr<Board>> boards = make_boards(options, clock);
    std::vector<Board*> served;
    for (const auto& b : boards) served.push_back(b.get());

    SocketServer server(
        served, dir,
        [](const std::string& line) {
            std::fprintf(stderr, "kv318-sim: %s\n", line.c_str());
            std::fflush(stderr);
        },
        options.limits);
    if (!server.start(&error)) {
        std::fprintf(stderr, "kv318-sim: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "kv318-sim: %s\n", serving_line(options, "in " + dir).c_str());
    std::fflush(stderr);

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    server.stop();
    std::fprintf(stderr, "kv318-sim: stopped by %s\n", received == SIGINT ? "SIGINT" : "SIGTERM");
    return 0;
}
