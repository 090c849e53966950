// The Linux transport of the simulator: one Unix-domain socket per board in
// the driver directory, named as the library looks for it
// (<dir>/KV318Device<n>), with one thread per connection, up to a limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "connections.h"

namespace kv318::sim {

class Board;

class SocketServer final : public BoardServer {
public:
    // boards[i] is served as board i.  The boards are owned by the caller
    // and outlive the server.  `log` may be empty.  A connection over
    // limits.maxClients is accepted and closed at once, and logged.
    SocketServer(std::vector<Board*> boards, std::string dir, LogFn log, ServerLimits limits = {});
    ~SocketServer() override;  // stop()

    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Creates the directory (mode 0700) when it is missing and insists that
    // it is private, takes the directory's simulator lock, replaces stale
    // sockets and binds one socket per board, then starts accepting.
    // Returns false with a reason in *error when the directory is unusable,
    // another simulator or driver serves it, or a socket cannot be bound;
    // nothing is then left behind.  Call once, from one thread.
    bool start(std::string* error) override;

    // Stops accepting, ends every connection, waits for their threads and
    // removes the sockets and the lock file.  Idempotent.  Any thread but a
    // connection thread.
    void stop() override;

    // Connections accepted so far, refused ones included.
    std::uint64_t connections() const { return connections_.accepted(); }

    // Connections being served now.  Any thread.
    std::size_t live_connections() { return connections_.live(); }

    // Replaces how connection threads are started; call before start().
    // For tests that make thread creation fail.
    void set_thread_starter(ThreadStarter start) { connections_.set_thread_starter(std::move(start)); }

    const std::string& directory() const { return dir_; }

private:
    using Connection = ServedConnection<int>;

    bool take_lock(std::string* error);
    bool bind_board(std::size_t board, std::string* error);
    void accept_loop();
    void accept_one(std::size_t board, bool* pause);
    void serve_connection(Connection* c);
    void reap(bool all);
    void release_files();

    std::vector<Board*> boards_;
    std::string dir_;

    int lockFd_ = -1;
    std::string lockPath_;
    std::vector<int> listeners_;
    std::vector<std::string> socketPaths_;
    int wakeRead_ = -1;  // the acceptor polls this; a byte wakes it
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

    ConnectionSet<int> connections_;
};

}  // namespace kv318::sim
