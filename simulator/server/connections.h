// The connections a transport serves, one thread each: their admission
// under a limit, and their reaping.  Shared by every transport; `Endpoint`
// is the transport's own handle of a connection (a socket descriptor, a
// pipe handle).
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

// Starts a connection's thread running `body`.  Throws std::system_error
// when the system cannot make one, as std::thread does; tests put in one
// that fails on purpose.  Called by the acceptor thread.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

inline std::thread start_plain_thread(std::function<void()> body) {
    return std::thread(std::move(body));
}

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

// Admits `conn` into `list` under `m` and starts its thread with `start`,
// running `body(conn)`.  Refuses it, leaving `list` as it was, when
// `maxClients` connections are still being served or no thread can be
// made; returns the reason then, else an empty string.  On a refusal the
// caller still owns conn's endpoint and closes it.  Acceptor thread.
template <class Endpoint>
std::string admit_connection(std::mutex& m, std::vector<std::unique_ptr<ServedConnection<Endpoint>>>& list,
                             std::size_t maxClients, const ThreadStarter& start,
                             std::unique_ptr<ServedConnection<Endpoint>> conn,
                             std::function<void(ServedConnection<Endpoint>*)> body) {
    std::lock_guard<std::mutex> lock(m);
    std::size_t live = 0;
    for (const auto& c : list) live += c->done.load(std::memory_order_acquire) ? 0 : 1;
    if (live >= maxClients) {
        return std::to_string(live) + " clients are connected already (--max-clients " + std::to_string(maxClients) +
               ")";
    }
    ServedConnection<Endpoint>* c = conn.get();
    list.push_back(std::move(conn));
    try {
        c->thread = start([c, body = std::move(body)] { body(c); });
    } catch (const std::system_error& e) {
        // No thread ran, so nothing else refers to the connection.
        list.pop_back();
        return std::string("cannot start a thread for it: ") + e.what();
    }
    return {};
}

// The connections still being served.
template <class Endpoint>
std::size_t live_connections(std::mutex& m, const std::vector<std::unique_ptr<ServedConnection<Endpoint>>>& list) {
    std::lock_guard<std::mutex> lock(m);
    std::size_t live = 0;
    for (const auto& c : list) live += c->done.load(std::memory_order_acquire) ? 0 : 1;
    return live;
}

// Takes the finished connections (every one when `all`) out of `list`
// under `m`, then joins each thread and closes its endpoint with `close`
// outside the lock, so a finishing thread never waits on the reaper.
template <class Endpoint, class Close>
void reap_connections(std::mutex& m, std::vector<std::unique_ptr<ServedConnection<Endpoint>>>& list, bool all,
                      Close close) {
    std::vector<std::unique_ptr<ServedConnection<Endpoint>>> finished;
    {
        std::lock_guard<std::mutex> lock(m);
        for (auto it = list.begin(); it != list.end();) {
            if (all || (*it)->done.load(std::memory_order_acquire)) {
                finished.push_back(std::move(*it));
                it = list.erase(it);
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

}  // namespace kv318::sim
