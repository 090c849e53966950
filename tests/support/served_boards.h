// Simulated boards served in this process on the Linux driver channel, from
// a private directory that KV318_DRIVER_DIR points the library at, for as
// long as the object lives.  Tests and benchmarks keep the boards, so they
// can script faults and read the boards' counters while the library talks
// to them through real sockets and threads.
//
// Header-only and free of GoogleTest, so the benchmarks use it as the tests
// do; a caller links kv318_sim_linux.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "socket_server.h"

namespace kv318::test {

class ServedBoards {
public:
    // Serves configs[i] as board i (the number is set here) and starts at
    // once; started() and error() say whether it could.  The boards run on
    // the real monotonic clock, or on `clock` (the caller's, outliving this)
    // when a test moves their time by hand.  `start`, when given, replaces
    // how connection threads are started.  Call from one thread; the
    // process's environment is changed, so only one may live at a time.
    explicit ServedBoards(std::vector<sim::BoardConfig> configs = {sim::BoardConfig{}}, sim::ServerLimits limits = {},
                          sim::ThreadStarter start = nullptr, const sim::Clock* clock = nullptr) {
        char tmpl[] = "/tmp/kv318-served-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) {
            error_ = "cannot make a private driver directory in /tmp";
            return;
        }
        dir_ = tmpl;
        if (const char* before = std::getenv("KV318_DRIVER_DIR")) previousDir_ = before;
        ::setenv("KV318_DRIVER_DIR", dir_.c_str(), 1);
        std::vector<sim::Board*> served;
        for (std::size_t i = 0; i < configs.size(); ++i) {
            configs[i].number = static_cast<int>(i);
            boards_.push_back(std::make_unique<sim::Board>(configs[i], clock != nullptr ? *clock : clock_));
            served.push_back(boards_.back().get());
        }
        server_ = std::make_unique<sim::SocketServer>(
            served, dir_,
            [this](const std::string& line) {
                std::lock_guard<std::mutex> lock(logMutex_);
                log_.push_back(line);
            },
            limits);
        if (start) server_->set_thread_starter(std::move(start));
        started_ = server_->start(&error_);
    }

    // Stops serving, empties and removes the directory (the library's
    // board lock files and anything a test wrote there go with it) and puts
    // KV318_DRIVER_DIR back as it was.
    ~ServedBoards() {
        server_.reset();
        if (dir_.empty()) return;
        if (DIR* d = ::opendir(dir_.c_str())) {
            while (const dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") ::unlink((dir_ + "/" + name).c_str());
            }
            ::closedir(d);
        }
        ::rmdir(dir_.c_str());
        if (previousDir_) {
            ::setenv("KV318_DRIVER_DIR", previousDir_->c_str(), 1);
        } else {
            ::unsetenv("KV318_DRIVER_DIR");
        }
    }

    ServedBoards(const ServedBoards&) = delete;
    ServedBoards& operator=(const ServedBoards&) = delete;

    bool started() const { return started_; }
    // Why it did not start; empty when it did.
    const std::string& error() const { return error_; }
    sim::Board& board(std::size_t i = 0) { return *boards_[i]; }
    sim::SocketServer& server() { return *server_; }
    const std::string& dir() const { return dir_; }

    // The server's log lines so far.  Any thread.
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> lock(logMutex_);
        return log_;
    }
    // The number of log lines so far that contain `text`.  Any thread.
    std::size_t log_count(const std::string& text) {
        std::size_t n = 0;
        for (const std::string& line : log()) n += line.find(text) != std::string::npos ? 1 : 0;
        return n;
    }

private:
    std::string dir_;
    std::optional<std::string> previousDir_;
    std::string error_;
    sim::SteadyClock clock_;
    std::vector<std::unique_ptr<sim::Board>> boards_;
    std::mutex logMutex_;
    std::vector<std::string> log_;  // guarded by logMutex_
    std::unique_ptr<sim::SocketServer> server_;
    bool started_ = false;
};

}  // namespace kv318::test
