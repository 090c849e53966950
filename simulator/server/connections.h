// The connections a transport serves, one thread each, and their reaping.
// Shared by every transport; `Endpoint` is the transport's own handle of a
// connection (a socket descriptor, a pipe handle).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kv318::sim {

template <class Endpoint>
struct ServedConnection {
    Endpoint endpoint{};
    std::size_t board = 0;
    std::uint64_t id = 0;
    std::thread thread;
    // Set by the connection's thread as its last act, read by the reaper
    // before it joins; release/acquire hands over the finished session.
    std::atomic<bool> done{false};
};

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
