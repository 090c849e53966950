// The connections a transport serves, one thread each: their admission
// under a limit, their sessions, their reaping and the log they write.
// Shared by every transport; `Endpoint` is the transport's own handle of a
// connection (a socket descriptor, a pipe handle).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "board.h"
#include "session.h"

namespace kv318::sim {

// Connections served at once, over every board.  Real use needs a handful
// (the panel, the library's timer, a program or two); the limit bounds the
// threads and buffers other local processes can make the simulator hold.
inline constexpr std::size_t kDefaultMaxClients = 256;

struct ServerLimits {
    std::size_t maxClients = kDefaultMaxClients;
    SessionLimits session;
};

// Receives one line of text (no newline) per event.  Called from the
// acceptor and connection threads, one call at a time.
using LogFn = std::function<void(const std::string&)>;

// Starts a connection's thread running `body`.  Throws std::system_error
// when the system cannot make one, as std::thread does; tests put in one
// that fails on purpose.  Called by the acceptor thread.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

inline std::thread start_plain_thread(std::function<void()> body) { return std::thread(std::move(body)); }

// A transport's server as kv318-sim's front end drives it.
class BoardServer {
public:
    virtual ~BoardServer() = default;
    // Starts serving every board.  False with a reason in *error, leaving
    // nothing behind.  Call once, from one thread.
    virtual bool start(std::string* error) = 0;
    // Stops accepting, ends every connection and waits for their threads.
    // Idempotent.  Any thread but a connection thread.
    virtual void stop() = 0;
};

template <class Endpoint>
struct ServedConnection {
    Endpoint endpoint{};
    std::size_t board = 0;
    std::uint64_t id = 0;
    std::thread thread;
    // Set by the connection's thread as its last act, read by the reaper
    // and by admission before they count or join; release/acquire hands
    // over the finished session.
    std::atomic<bool> done{false};
};

template <class Endpoint>
class ConnectionSet {
public:
    using Connection = ServedConnection<Endpoint>;

    // `log` may be empty.
    ConnectionSet(LogFn log, ServerLimits limits) : log_(std::move(log)), limits_(limits) {}
    ConnectionSet(const ConnectionSet&) = delete;
    ConnectionSet& operator=(const ConnectionSet&) = delete;

    // Replaces how connection threads are started.  Before serving.
    void set_thread_starter(ThreadStarter start) { start_ = std::move(start); }

    // Writes one log line.  Any thread.
    void log(const std::string& line) {
        if (!log_) return;
        std::lock_guard<std::mutex> lock(logMutex_);
        log_(line);
    }

    // Connections accepted so far, refused ones included.  Any thread.
    std::uint64_t accepted() const { return accepted_.load(std::memory_order_relaxed); }

    // Counts a connection the transport took only to close at once, as it
    // had no room to serve it.  Acceptor thread.
    void count_refused() { accepted_.fetch_add(1, std::memory_order_relaxed); }

    // Numbers a new connection of board `board` on `endpoint` and starts
    // its thread running `body`.  Refuses it, and logs why, when
    // maxClients connections are still being served or no thread can be
    // made; then returns false and the caller still owns `endpoint` and
    // closes it.  Acceptor thread.
    bool admit(std::size_t board, Endpoint endpoint, std::function<void(Connection*)> body) {
        auto conn = std::make_unique<Connection>();
        conn->endpoint = endpoint;
        conn->board = board;
        conn->id = accepted_.fetch_add(1, std::memory_order_relaxed) + 1;
        const std::uint64_t id = conn->id;
        const std::string refused = admit_locked(std::move(conn), std::move(body));
        if (refused.empty()) return true;
        log("board " + std::to_string(board) + ": connection " + std::to_string(id) + " refused: " + refused);
        return false;
    }

    // The body of connection `c`'s thread: serves its session on `stream`
    // and `board`, calls `hang_up`(endpoint) so the client sees the end at
    // once rather than when the reaper closes it, logs the end and marks
    // the connection done.  The caller then wakes its acceptor to reap it.
    template <class HangUp>
    void serve(Connection* c, ByteStream& stream, Board& board, HangUp hang_up) {
        const SessionSummary s = serve_session(stream, board, limits_.session);
        hang_up(c->endpoint);
        log(session_end_line(static_cast<int>(c->board), c->id, s, board.stats().samplesDropped));
        c->done.store(true, std::memory_order_release);
    }

    // The connections still being served.  Any thread.
    std::size_t live() {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_locked();
    }

    // Calls `f`(endpoint) for every connection in the set, under its lock;
    // for ending every session at once.
    template <class F>
    void for_each_endpoint(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& c : list_) f(c->endpoint);
    }

    // Takes the finished connections (every one when `all`) out of the set,
    // then joins each thread and closes its endpoint with `close` outside
    // the lock, so a finishing thread never waits on the reaper.
    template <class Close>
    void reap(bool all, Close close) {
        std::vector<std::unique_ptr<Connection>> finished;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = list_.begin(); it != list_.end();) {
                if (all || (*it)->done.load(std::memory_order_acquire)) {
                    finished.push_back(std::move(*it));
                    it = list_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& c : finished) {
            if (c->thread.joinable()) c->thread.join();
            close(c->endpoint);
        }
    }

private:
    std::size_t live_locked() const {
        std::size_t live = 0;
        for (const auto& c : list_) live += c->done.load(std::memory_order_acquire) ? 0 : 1;
        return live;
    }

    // Adds `conn` and starts its thread, or leaves the set as it was and
    // returns why not.
    std::string admit_locked(std::unique_ptr<Connection> conn, std::function<void(Connection*)> body) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t live = live_locked();
        if (live >= limits_.maxClients) {
            return std::to_string(live) + " clients are connected already (--max-clients " +
                   std::to_string(limits_.maxClients) + ")";
        }
        Connection* c = conn.get();
        list_.push_back(std::move(conn));
        try {
            c->thread = start_([c, body = std::move(body)] { body(c); });
        } catch (const std::system_error& e) {
            // No thread ran, so nothing else refers to the connection.
            list_.pop_back();
            return std::string("cannot start a thread for it: ") + e.what();
        }
        return {};
    }

    LogFn log_;
    ServerLimits limits_;
    ThreadStarter start_ = start_plain_thread;
    std::mutex logMutex_;  // one log line at a time

    // Written by the acceptor, read by anyone for reports; a plain tally.
    std::atomic<std::uint64_t> accepted_{0};

    std::mutex mutex_;  // guards list_
    std::vector<std::unique_ptr<Connection>> list_;
};

}  // namespace kv318::sim
