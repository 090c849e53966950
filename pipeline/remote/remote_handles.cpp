#include "remote_handles.h"

#include "protocol.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace kv318::remote {

namespace {

// One open handle: its board, the lock its calls take turns under, and its
// heartbeat.
struct Entry {
    Entry(std::unique_ptr<ServerLink> link, const RemoteSettings& settings, std::string id, std::int32_t number)
        : board(std::move(link), settings, std::move(id), number) {}
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    // Ends the heartbeat: at a close, or at the process's exit for a
    // handle the program left open.
    ~Entry() { end_heartbeat(); }

    void end_heartbeat() {
        {
            const std::lock_guard<std::mutex> hold(beat);
            closing = true;
        }
        wake.notify_all();
        if (heartbeat.joinable()) heartbeat.join();
    }

    std::mutex lock;  // held for one call of the board at a time
    RemoteBoard board;

    // The heartbeat thread's stop: written under `beat` by the closing
    // thread, waited on by the heartbeat thread.
    std::mutex beat;
    std::condition_variable wake;
    bool closing = false;
    std::thread heartbeat;
};

struct Table {
    std::mutex lock;  // guards everything below
    std::map<std::int32_t, std::shared_ptr<Entry>> handles;
    std::int32_t nextHandle = 1;
    unsigned connections = 0;
};

// Never destroyed, like the ZeroMQ context: a program may end with handles
// open, and at its exit a destructor would join heartbeat threads that
// Windows has already ended, and close sockets whose I/O threads are gone,
// so the exit would hang.  The system takes everything back.
Table& table() {
    static Table* const t = new Table;
    return *t;
}

// The board's link as its RemoteBoard holds it, shared with the heartbeat:
// the pings go over the board's own connection, the one the server knows
// as the controller (a ping on another connection keeps nothing alive).
class SharedLink final : public ServerLink {
public:
    explicit SharedLink(std::shared_ptr<ServerLink> link) : link_(std::move(link)) {}
    bool exchange(const std::string& request, std::string* reply) override { return link_->exchange(request, reply); }
    bool receive(int timeoutMs, std::vector<std::uint8_t>* frame) override { return link_->receive(timeoutMs, frame); }

private:
    std::shared_ptr<ServerLink> link_;
};

void beat(Entry* e, const std::shared_ptr<ServerLink>& link) {
    Message ping;
    ping.word = verb::kPing;
    ping.set(key::kClient, e->board.client_id());
    const std::string request = encode_request(ping);
    std::unique_lock<std::mutex> hold(e->beat);
    while (!e->wake.wait_for(hold, std::chrono::milliseconds(kHeartbeatMs), [e] { return e->closing; })) {
        hold.unlock();
        std::string reply;
        const bool answered = link->exchange(request, &reply);
        hold.lock();
        if (!answered) {
            e->board.heartbeat_failed();
            return;
        }
    }
}

}  // namespace

OpenOutcome open_handle(const RemoteSettings& settings, const LinkMaker& makeLink, std::int32_t board) {
    OpenOutcome out;
    Table& t = table();
    std::string id;
    {
        const std::lock_guard<std::mutex> hold(t.lock);
        id = client_id(settings.program, settings.pid, settings.host, ++t.connections);
    }
    if (board < static_cast<std::int32_t>(kServedBoard.min) || board > static_cast<std::int32_t>(kServedBoard.max)) {
        out.failure = "there is no board " + std::to_string(board);
        return out;
    }
    std::shared_ptr<ServerLink> link = makeLink(settings.url, board, &out.failure);
    if (link == nullptr) return out;
    auto e = std::make_shared<Entry>(std::make_unique<SharedLink>(link), settings, id, board);
    if (!e->board.open()) {
        const RemoteReport status = e->board.report();
        out.silent = status.gone;
        out.failure = status.failure;
        return out;
    }
    e->heartbeat = std::thread(beat, e.get(), std::move(link));
    const std::lock_guard<std::mutex> hold(t.lock);
    out.handle = t.nextHandle++;
    t.handles[out.handle] = e;
    return out;
}

namespace {
// The entry of `handle`, taken out of the table when `remove`; null for a
// handle the table does not hold.
std::shared_ptr<Entry> find_entry(std::int32_t handle, bool remove) {
    Table& t = table();
    const std::lock_guard<std::mutex> hold(t.lock);
    const auto it = t.handles.find(handle);
    if (it == t.handles.end()) return nullptr;
    std::shared_ptr<Entry> e = it->second;
    if (remove) t.handles.erase(it);
    return e;
}
}  // namespace

bool close_handle(std::int32_t handle) {
    const std::shared_ptr<Entry> e = find_entry(handle, true);
    if (e == nullptr) return false;
    {
        const std::lock_guard<std::mutex> hold(e->lock);
        e->board.close();
    }
    e->end_heartbeat();
    return true;
}

bool with_handle(std::int32_t handle, const std::function<void(RemoteBoard&)>& call) {
    const std::shared_ptr<Entry> e = find_entry(handle, false);
    if (e == nullptr) return false;
    const std::lock_guard<std::mutex> hold(e->lock);
    call(e->board);
    return true;
}

}  // namespace kv318::remote
