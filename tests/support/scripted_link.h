// A ServerLink whose server is a FakeServer in the same process, shared by
// every link a test makes (so a second client meets the first one's
// control): the client's tests drive RemoteBoard, the tools' table and the
// served boards' table through it.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fake_kv318_server.h"
#include "remote_board.h"

namespace kv318::test {

struct Shared {
    std::mutex lock;
    FakeServer server;
    std::deque<std::vector<std::uint8_t>> frames;  // blocks not yet received
    bool silent = false;                           // the server "died"
    int pings = 0;
    // The links made, and which of them carried pings and other requests:
    // the server knows a controller by its connection.
    int links = 0;
    std::set<int> pingLinks, requestLinks;
};

class ScriptedLink final : public remote::ServerLink {
public:
    ScriptedLink(std::shared_ptr<Shared> s, bool subscribed) : s_(std::move(s)), subscribed_(subscribed) {
        const std::lock_guard<std::mutex> hold(s_->lock);
        id_ = ++s_->links;
    }
    bool exchange(const std::string& request, std::string* reply) override {
        const std::lock_guard<std::mutex> hold(s_->lock);
        if (s_->silent) return false;
        const bool ping = request.rfind("kv318/1 ping", 0) == 0;
        (ping ? s_->pingLinks : s_->requestLinks).insert(id_);
        if (ping) ++s_->pings;
        *reply = s_->server.answer(request);
        for (auto& b : s_->server.published) s_->frames.push_back(std::move(b));
        s_->server.published.clear();
        return true;
    }
    bool receive(int, std::vector<std::uint8_t>* frame) override {
        const std::lock_guard<std::mutex> hold(s_->lock);
        if (!subscribed_ || s_->silent || s_->frames.empty()) return false;
        *frame = std::move(s_->frames.front());
        s_->frames.pop_front();
        return true;
    }

private:
    std::shared_ptr<Shared> s_;
    bool subscribed_;
    int id_ = 0;
};

}  // namespace kv318::test
