#include "remote_api.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace kv318::remote {

namespace {

using pipeline::BoardApi;
using pipeline::RemoteStatus;

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

struct Process {
    std::mutex lock;  // guards everything below
    RemoteSettings settings;
    LinkMaker makeLink;
    std::map<std::int32_t, std::shared_ptr<Entry>> handles;
    std::int32_t nextHandle = 1;
    unsigned connections = 0;
    std::string openFailure;
    // An open found the server silent: later opens fail at once with the
    // same words, so probing sixteen boards does not wait sixteen times.
    bool silent = false;
};

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

Process& process() {
    static Process p;
    return p;
}

std::shared_ptr<Entry> find(std::int32_t handle) {
    Process& p = process();
    const std::lock_guard<std::mutex> hold(p.lock);
    const auto it = p.handles.find(handle);
    return it == p.handles.end() ? nullptr : it->second;
}

// Runs `call` on the handle's board under its lock; `failed` for a handle
// that is not open.
template <class Call>
std::int32_t with_board(std::int32_t handle, std::int32_t failed, Call&& call) {
    const std::shared_ptr<Entry> e = find(handle);
    if (e == nullptr) return failed;
    const std::lock_guard<std::mutex> hold(e->lock);
    return call(e->board);
}

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

std::int32_t KV318_CALL open(std::int32_t board) {
    Process& p = process();
    std::unique_lock<std::mutex> hold(p.lock);
    const RemoteSettings settings = p.settings;
    const LinkMaker makeLink = p.makeLink;
    const std::string id = client_id(settings.program, settings.pid, settings.host, ++p.connections);
    if (p.silent) return -1;
    hold.unlock();
    auto fail = [&p](const std::string& why) {
        const std::lock_guard<std::mutex> again(p.lock);
        p.openFailure = why;
        return -1;
    };
    if (board < 0 || board > 0xFFFF) return fail("there is no board " + std::to_string(board));
    std::string why;
    std::shared_ptr<ServerLink> link = makeLink(settings.url, board, &why);
    if (link == nullptr) return fail(why);
    auto e = std::make_shared<Entry>(std::make_unique<SharedLink>(link), settings, id, board);
    if (!e->board.open()) {
        const RemoteStatus status = e->board.report();
        if (status.gone) {
            const std::lock_guard<std::mutex> again(p.lock);
            p.silent = true;
        }
        return fail(status.failure);
    }
    e->heartbeat = std::thread(beat, e.get(), std::move(link));
    hold.lock();
    const std::int32_t handle = p.nextHandle++;
    p.handles[handle] = e;
    return handle;
}

std::int32_t KV318_CALL close(std::int32_t handle) {
    if (handle == -1) return 0;
    std::shared_ptr<Entry> e;
    {
        Process& p = process();
        const std::lock_guard<std::mutex> hold(p.lock);
        const auto it = p.handles.find(handle);
        if (it == p.handles.end()) return -1;
        e = it->second;
        p.handles.erase(it);
    }
    {
        const std::lock_guard<std::mutex> hold(e->lock);
        e->board.close();
    }
    e->end_heartbeat();
    return 0;
}

std::int32_t KV318_CALL info(std::int32_t h, char* text) {
    return with_board(h, -1, [&](RemoteBoard& b) { return b.info(text); });
}
std::int32_t KV318_CALL inb(std::int32_t h, std::int32_t reg) {
    return with_board(h, -1, [&](RemoteBoard& b) { return b.inb(reg); });
}
std::int32_t KV318_CALL outb(std::int32_t h, std::int32_t reg, std::int32_t value) {
    return with_board(h, -1, [&](RemoteBoard& b) { return b.outb(reg, value); });
}
std::int32_t KV318_CALL ad(std::int32_t h, std::int32_t f1, std::int32_t f2, std::int32_t f3, std::int32_t f4,
                           std::int32_t divider) {
    const std::int32_t flags[4] = {f1, f2, f3, f4};
    return with_board(h, -1, [&](RemoteBoard& b) { return b.start(false, flags, divider); });
}
std::int32_t KV318_CALL read(std::int32_t h, std::int32_t* samples) {
    return with_board(h, -1, [&](RemoteBoard& b) { return b.read(samples, pipeline::kReadCapacity); });
}
std::int32_t KV318_CALL stop(std::int32_t h) {
    return with_board(h, 0, [](RemoteBoard& b) { return b.stop(); });
}
std::int32_t KV318_CALL m_ad(std::int32_t h, std::int32_t f1, std::int32_t f2, std::int32_t f3, std::int32_t f4,
                             std::int32_t divider) {
    const std::int32_t flags[4] = {f1, f2, f3, f4};
    return with_board(h, -1, [&](RemoteBoard& b) { return b.start(true, flags, divider); });
}
std::int32_t KV318_CALL m_read(std::int32_t h, std::int32_t* samples, std::int32_t* carry, std::int32_t) {
    if (carry == nullptr) return -1;
    // The server pairs the bytes: no odd byte is ever left over here.
    return with_board(h, -1, [&](RemoteBoard& b) {
        const std::int32_t n = b.read(samples, pipeline::kPolledReadCapacity);
        if (n >= 0) *carry = 0;
        return n;
    });
}
std::int32_t KV318_CALL di(std::int32_t h) {
    return with_board(h, 0xFFFF, [](RemoteBoard& b) { return b.di(); });
}
std::int32_t KV318_CALL do_write(std::int32_t h, std::int32_t value) {
    return with_board(h, -1, [&](RemoteBoard& b) { return b.do_write(value); });
}
std::int32_t KV318_CALL c_run(std::int32_t h) {
    return with_board(h, -1, [](RemoteBoard& b) { return b.counter_run(); });
}
std::int32_t KV318_CALL c_read(std::int32_t h) {
    return with_board(h, -1, [](RemoteBoard& b) { return b.counter_read(); });
}
std::int32_t KV318_CALL p_run(std::int32_t h, std::int32_t mode, std::int32_t divisor) {
    return with_board(h, -1, [&](RemoteBoard& b) { return b.pulse_run(mode, divisor); });
}
std::int32_t KV318_CALL p_stop(std::int32_t h) {
    return with_board(h, -1, [](RemoteBoard& b) { return b.pulse_stop(); });
}
std::int32_t KV318_CALL stream_stats(std::int32_t h, KV318_STREAM_STATS* stats) {
    return with_board(h, -1, [&](RemoteBoard& b) { return b.stats(stats); });
}

bool remote(std::int32_t handle, RemoteStatus* status) {
    *status = RemoteStatus{};
    if (handle == -1) {
        Process& p = process();
        const std::lock_guard<std::mutex> hold(p.lock);
        status->url = p.settings.url;
        status->failure = p.openFailure;
        return true;
    }
    const std::shared_ptr<Entry> e = find(handle);
    if (e == nullptr) return false;
    const std::lock_guard<std::mutex> hold(e->lock);
    *status = e->board.report();
    return true;
}

}  // namespace

const BoardApi& remote_api(const RemoteSettings& settings, LinkMaker makeLink) {
    static const BoardApi api{open, close, info,     inb,   outb,   ad,    read,   stop,         m_ad,  m_read,
                              stop, di,    do_write, c_run, c_read, p_run, p_stop, stream_stats, remote};
    Process& p = process();
    const std::lock_guard<std::mutex> hold(p.lock);
    p.settings = settings;
    p.makeLink = std::move(makeLink);
    p.openFailure.clear();
    p.silent = false;
    return api;
}

std::string remote_open_hint(int) {
    Process& p = process();
    const std::lock_guard<std::mutex> hold(p.lock);
    return p.openFailure.empty() ? std::string() : ": " + p.openFailure;
}

}  // namespace kv318::remote
