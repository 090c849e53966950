// Simulated boards served in-process on the Linux driver channel, in a
// private directory that KV318_DRIVER_DIR points the library at.  The test
// keeps the boards, so it can script faults and read their counters while
// the library talks to them through real sockets and threads.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board.h"
#include "socket_server.h"
#include "wait.h"

namespace kv318::sim::test {

class SimulatedBoards {
public:
    SimulatedBoards(std::vector<BoardConfig> configs, const Clock* clock)
        : SimulatedBoards(std::move(configs), ServerLimits{}, nullptr, clock) {}
    // The boards run on the real monotonic clock, or on `clock` (the
    // caller's, outliving this) when a test moves their time by hand.
    // `start`, when given, replaces how connection threads are started.
    explicit SimulatedBoards(std::vector<BoardConfig> configs = {BoardConfig{}}, ServerLimits limits = {},
                             ThreadStarter start = nullptr, const Clock* clock = nullptr) {
        char tmpl[] = "/tmp/kv318-sim-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("KV318_DRIVER_DIR", dir_.c_str(), 1);
        std::vector<Board*> served;
        for (std::size_t i = 0; i < configs.size(); ++i) {
            configs[i].number = static_cast<int>(i);
            boards_.push_back(std::make_unique<Board>(configs[i], clock != nullptr ? *clock : clock_));
            served.push_back(boards_.back().get());
        }
        server_ = std::make_unique<SocketServer>(
            served, dir_,
            [this](const std::string& line) {
                std::lock_guard<std::mutex> lock(logMutex_);
                log_.push_back(line);
            },
            limits);
        if (start) server_->set_thread_starter(std::move(start));
        std::string error;
        started_ = server_->start(&error);
        EXPECT_TRUE(started_) << error;
    }

    ~SimulatedBoards() {
        server_.reset();
        ::rmdir(dir_.c_str());
        ::unsetenv("KV318_DRIVER_DIR");
    }

    Board& board(std::size_t i = 0) { return *boards_[i]; }
    SocketServer& server() { return *server_; }
    const std::string& dir() const { return dir_; }
    bool started() const { return started_; }
    // Log lines so far.  Any thread.
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> lock(logMutex_);
        return log_;
    }
    // The number of log lines so far that contain `text`.
    std::size_t log_count(const std::string& text) {
        std::size_t n = 0;
        for (const std::string& line : log()) n += line.find(text) != std::string::npos ? 1 : 0;
        return n;
    }

private:
    std::string dir_;
    SteadyClock clock_;
    std::vector<std::unique_ptr<Board>> boards_;
    std::mutex logMutex_;
    std::vector<std::string> log_;  // guarded by logMutex_
    std::unique_ptr<SocketServer> server_;
    bool started_ = false;
};

using kv318::test::wait_until;

}  // namespace kv318::sim::test
