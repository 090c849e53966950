#include "remote_api.h"

#include <mutex>

#include "client_keys.h"
#include "remote_handles.h"

namespace kv318::remote {

namespace {

using pipeline::BoardApi;
using pipeline::RemoteStatus;

// The server every open of the tools' table goes to.
struct Process {
    std::mutex lock;  // guards everything below
    RemoteSettings settings;
    LinkMaker makeLink;
    std::string openFailure;
    // An open found the server silent: later opens fail at once with the
    // same words, so probing sixteen boards does not wait sixteen times.
    bool silent = false;
};

Process& process() {
    static Process p;
    return p;
}

// Runs `call` on the handle's board (remote_handles.h); `failed` for a
// handle that is not open.
template <class Call>
std::int32_t with_board(std::int32_t handle, std::int32_t failed, Call&& call) {
    std::int32_t result = failed;
    with_handle(handle, [&](RemoteBoard& b) { result = call(b); });
    return result;
}

std::int32_t KV318_CALL open(std::int32_t board) {
    Process& p = process();
    std::unique_lock<std::mutex> hold(p.lock);
    if (p.silent) return -1;
    const RemoteSettings settings = p.settings;
    const LinkMaker makeLink = p.makeLink;
    hold.unlock();
    const OpenOutcome opened = open_handle(settings, makeLink, board);
    hold.lock();
    if (opened.handle == -1) {
        p.openFailure = opened.failure;
        p.silent = p.silent || opened.silent;
    }
    return opened.handle;
}

std::int32_t KV318_CALL close(std::int32_t handle) {
    if (handle == -1) return 0;
    return close_handle(handle) ? 0 : -1;
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
    return with_board(h, -1, [&](RemoteBoard& b) { return b.polled_read(samples, carry); });
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
    return with_handle(handle, [status](RemoteBoard& b) { *status = b.report(); });
}

}  // namespace

const BoardApi& remote_api(const RemoteSettings& settings, LinkMaker makeLink) {
    static const BoardApi api{open, close, info,     inb,   outb,   ad,    read,   stop,         m_ad,   m_read,
                              stop, di,    do_write, c_run, c_read, p_run, p_stop, stream_stats, remote, nullptr};
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

bool choose_keys(const std::string& dir, RemoteSettings* settings, std::string* error) {
    ClientKeys keys;
    if (!dir.empty()) {
        if (!read_client_keys(dir, &keys, error)) return false;
        settings->localKeysDir.clear();
    } else if (find_local_keys(settings->url, &keys)) {
        // A loopback server keeps its user's keys where that user alone can
        // read them: the same user's programs need no setup.
        settings->localKeysDir = local_keys_dir(settings->url);
    } else {
        keys = ClientKeys{};
        settings->localKeysDir.clear();
    }
    settings->serverPublicKey = keys.serverPublic;
    settings->clientSecretKey = keys.clientSecret;
    return true;
}

}  // namespace kv318::remote
