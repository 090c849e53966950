// The Linux transport of the simulator: one Unix-domain socket per board in
// the driver directory, named as the library looks for it
// (<dir>/KV318Device<n>), with one thread per connection, up to a limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connections.h"

namespace kv318::sim {

class Board;

class SocketServer {
public:
    // Receives one line of text (no newline) per event.  Called from the
    // acceptor and connection threads, one call at a time.
    using LogFn = std::function<void(const std::string&)>;

    // boards[i] is served as board i.  The boards are owned by the caller
    // and outlive the server.  `log` may be empty.  A connection over
    // limits.maxClients is accepted and closed at once, and logged.
    SocketServer(std::vector<Board*> boards, std::string dir, LogFn log, ServerLimits limits = {});
    ~SocketServer();  // stop()

    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Creates the directory (mode 0700) when it is missing and insists that
    // it is private, takes the directory's simulator lock, replaces stale
    // sockets and binds one socket per board, then starts accepting.
    // Returns false with a reason in *error when the directory is unusable,
    // another simulator or driver serves it, or a socket cannot be bound;
    // nothing is then left behind.  Call once, from one thread.
    bool start(std::string* error);

    // Stops accepting, ends every connection, waits for their threads and
    // removes the sockets and the lock file.  Idempotent.  Any thread but a
    // connection thread.
    void stop();

    // Connections accepted so far, refused ones included.
    std::uint64_t connections() const { return accepted_.load(std::memory_order_relaxed); }

    // Connections being served now.  Any thread.
    std::size_t live_connections();

    // Replaces how connection threads are started; call before start().
    // For tests that make thread creation fail.
    void set_thread_starter(ThreadStarter start) { startThread_ = std::move(start); }

    const std::string& directory() const { return dir_; }

private:
    using Connection = ServedConnection<int>;

    bool take_lock(std::string* error);
    bool bind_board(std::size_t board, std::string* error);
    void accept_loop();
    void accept_one(std::size_t board, bool* pause);
    void serve_connection(Connection* c);
    void reap(bool all);
    void log(const std::string& line);
    void release_files();

    std::vector<Board*> boards_;
    std::string dir_;
    LogFn log_;
    ServerLimits limits_;
    ThreadStarter startThread_ = start_plain_thread;
    std::mutex logMutex_;  // one log line at a time

    int lockFd_ = -1;
    std::string lockPath_;
    std::vector<int> listeners_;
    std::vector<std::string> socketPaths_;
    int wakeRead_ = -1;   // the acceptor polls this; a byte wakes it
    int wakeWrite_ = -1;
    // Held open for the moment the process runs out of descriptors: closed,
    // it lets the acceptor take the waiting connection and close it, rather
    // than find it still waiting on every wake-up.  Acceptor thread only.
    int spareFd_ = -1;
    std::thread acceptor_;
    bool started_ = false;

    // Written by stop() before it wakes the acceptor, read by the acceptor
    // after each wake-up; release/acquire order the listeners' shutdown.
    std::atomic<bool> stopping_{false};
    // Written by the acceptor, read by anyone for reports; a plain tally.
    std::atomic<std::uint64_t> accepted_{0};

    std::mutex connMutex_;  // guards connections_
    std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace kv318::sim
