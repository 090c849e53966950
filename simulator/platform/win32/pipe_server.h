// The Windows transport of the simulator: board n is served on the named
// pipe "\\.\pipe\KV318Device<n>", where KV318.dll looks when no kernel
// driver publishes "\\.\KV318Device<n>", with one thread per connection,
// up to a limit.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "connections.h"

namespace kv318::sim {

class Board;

// The pipe name of board `number`: "\\.\pipe\KV318Device<number>".
std::string board_pipe_name(int number);

class PipeServer final : public BoardServer {
public:
    // boards[i] is served as board i.  The boards are owned by the caller
    // and outlive the server.  `log` may be empty.  A connection over
    // limits.maxClients is disconnected at once, and logged.
    PipeServer(std::vector<Board*> boards, LogFn log, ServerLimits limits = {});
    ~PipeServer() override;  // stop()

    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Creates the first instance of every board's pipe, then starts
    // accepting.  The pipes are byte-mode, refuse remote clients and admit
    // only this process's user (and the system).  Returns false with a
    // reason in *error when another simulator or driver already serves one
    // of the pipes, or a pipe cannot be made; nothing is then left behind.
    // Call once, from one thread.
    bool start(std::string* error) override;

    // Stops accepting, ends every connection (a blocked read or write
    // returns at once), waits for their threads and closes every pipe.
    // Idempotent.  Any thread but a connection thread.
    void stop() override;

    // Connections accepted so far, refused ones included.
    std::uint64_t connections() const { return connections_.accepted(); }

    // Connections being served now.  Any thread.
    std::size_t live_connections() { return connections_.live(); }

    // Replaces how connection threads are started; call before start().
    // For tests that make thread creation fail.
    void set_thread_starter(ThreadStarter start) { connections_.set_thread_starter(std::move(start)); }

private:
    using Connection = ServedConnection<HANDLE>;

    HANDLE make_instance(std::size_t board, bool first, std::string* error);
    bool listen(std::size_t board, std::string* error);
    void accept_loop();
    void begin_connection(std::size_t board, HANDLE pipe);
    void serve_connection(Connection* c);
    void reap(bool all);
    void release_pipes();

    std::vector<Board*> boards_;

    // The security of every instance: this user and the system only.  Made
    // by start(), freed by stop() with LocalFree.
    PSECURITY_DESCRIPTOR security_ = nullptr;

    // Per board, the instance waiting for a client, its overlapped connect
    // and the event that signals it.  Touched by start(), then only by the
    // acceptor, then by stop() after the acceptor has ended.
    std::vector<HANDLE> listening_;
    std::vector<HANDLE> connectEvents_;
    std::vector<std::unique_ptr<OVERLAPPED>> connectOps_;
    // Per board, true when the client came before the connect was issued
    // (ConnectNamedPipe reported it at once): the overlapped result then
    // says nothing, as the system never completed an operation on it.
    std::vector<bool> connectedAtOnce_;

    // Manual-reset, set once by stop(): ends the acceptor's wait and every
    // connection's transfer.
    HANDLE stopEvent_ = nullptr;
    // Auto-reset, set by a connection thread as it finishes, so the acceptor
    // reaps it.
    HANDLE reapEvent_ = nullptr;
    std::thread acceptor_;
    bool started_ = false;

    ConnectionSet<HANDLE> connections_;
};

}  // namespace kv318::sim
