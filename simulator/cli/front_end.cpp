#include "front_end.h"

#include <cstdio>
#include <iostream>

namespace kv318::sim {

namespace {

void say(const std::string& line) {
    std::fprintf(stderr, "kv318-sim: %s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace

int run_simulator(int argc, const char* const* argv, Transport transport, FrontEnd& front) {
    SimOptions options;
    std::string error;
    switch (parse_options(argc, argv, &options, &error, transport)) {
    case ParseStatus::Help:
        std::cout << usage_text(transport);
        return 0;
    case ParseStatus::Version:
        std::cout << version_text() << "\n";
        return 0;
    case ParseStatus::Error:
        std::cerr << "kv318-sim: " << error << "\n" << usage_text(transport);
        return 2;
    case ParseStatus::Run:
        break;
    }
    if (!front.prepare(options, &error)) {
        say(error);
        return 1;
    }

    SteadyClock clock;
    const std::vector<std::unique_ptr<Board>> boards = make_boards(options, clock);
    std::vector<Board*> served;
    served.reserve(boards.size());
    for (const auto& b : boards) served.push_back(b.get());

    const std::unique_ptr<BoardServer> server = front.make_server(options, served, say);
    if (!server->start(&error)) {
        say(error);
        return 1;
    }
    front.serving(options);
    say(serving_line(options, front.where(options)));

    const std::string reason = front.wait_for_stop();
    server->stop();
    say("stopped by " + reason);
    front.stopped();
    return 0;
}

}  // namespace kv318::sim
