#include "transport.h"

#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "key_files.h"
#include "wire.h"

namespace kv318::server {

namespace {

// The frames of one message kept for splitting: its envelope, the request
// and one more to tell a multi-frame request.  The rest are read and
// dropped.
constexpr std::size_t kKeptFrames = kMaxEnvelopeFrames + 2;

// How long a data socket bound again may wait for its own port: libzmq
// closes the listener it unbinds a moment after the call returns.
constexpr int kRebindMs = 2000;

std::string last_error() { return zmq_strerror(zmq_errno()); }

void set_int(void* socket, int option, int value) { zmq_setsockopt(socket, option, &value, sizeof value); }

// One received message: its first frames, whether it had more, and the
// key its connection proved (ZAP's User-Id, empty for a plain one).
struct Received {
    std::vector<std::string> frames;
    bool more = false;
    std::string userId;
};

// Receives every frame of one message without waiting; false when none is
// waiting.
bool receive(void* socket, Received* r) {
    *r = Received{};
    for (bool first = true;; first = false) {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        if (zmq_msg_recv(&msg, socket, first ? ZMQ_DONTWAIT : 0) < 0) {
            zmq_msg_close(&msg);
            return !first;
        }
        if (r->frames.size() < kKeptFrames) {
            r->frames.emplace_back(static_cast<const char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
        } else {
            r->more = true;
        }
        if (r->userId.empty()) {
            const char* user = zmq_msg_gets(&msg, "User-Id");
            if (user != nullptr) r->userId = user;
        }
        const bool more = zmq_msg_more(&msg) != 0;
        zmq_msg_close(&msg);
        if (!more) return true;
    }
}

std::vector<std::string> receive_all(void* socket) {
    Received r;
    if (!receive(socket, &r)) return {};
    return r.frames;
}

// Sends without waiting: a connection that does not read its replies
// loses them (ZeroMQ drops what a ROUTER cannot queue), nobody else.
void send_frames(void* socket, const std::vector<std::string>& frames) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const int flags = ZMQ_DONTWAIT | (i + 1 < frames.size() ? ZMQ_SNDMORE : 0);
        if (zmq_send(socket, frames[i].data(), frames[i].size(), flags) < 0) return;
    }
}

std::string z85_of(const std::string& raw) {
    if (raw.size() != 32) return {};
    char text[41] = {};
    if (zmq_z85_encode(text, reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()) == nullptr) return {};
    return text;
}

}  // namespace

bool make_key_pair(std::string* publicKey, std::string* secretKey) {
    char pub[41] = {}, sec[41] = {};
    if (zmq_curve_keypair(pub, sec) != 0) return false;
    *publicKey = pub;
    *secretKey = sec;
    return true;
}

std::string zmq_version_text() {
    int major = 0, minor = 0, patch = 0;
    zmq_version(&major, &minor, &patch);
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

Transport::Transport() : context_(zmq_ctx_new()) {}

Transport::~Transport() {
    for (void* s : control_) zmq_close(s);
    for (void* s : data_) zmq_close(s);
    if (zap_ != nullptr) zmq_close(zap_);
    zmq_ctx_term(context_);
}

bool Transport::key_allowed(const std::string& z85) const {
    return std::find(keys_.allowed.begin(), keys_.allowed.end(), z85) != keys_.allowed.end();
}

// Answers one ZAP request: a CURVE client is let in only with an allowed
// key, which becomes the connection's User-Id, so each request it sends
// says which key sent it.  A plain connection can only have come through
// a local endpoint (a secure socket takes CURVE handshakes only), so it
// passes.
void Transport::answer_zap() {
    const std::vector<std::string> f = receive_all(zap_);
    if (f.size() < 6) return;
    const std::string key = f[5] == "CURVE" && f.size() >= 7 ? z85_of(f[6]) : std::string();
    const bool ok = f[5] == "NULL" || (!key.empty() && key_allowed(key));
    const std::vector<std::string> reply = {
        f[0], f[1], ok ? "200" : "400", ok ? "OK" : "client key not allowed", ok ? key : "", ""};
    send_frames(zap_, reply);
}

bool Transport::listen(const std::vector<Endpoint>& endpoints, const Keys& keys, std::string* error) {
    keys_ = keys;
    for (std::string& k : keys_.allowed) {
        // One spelling per key, as the ZAP handler writes it.
        std::uint8_t raw[32];
        if (k.size() == 40 && zmq_z85_decode(raw, k.c_str()) != nullptr) {
            k = z85_of(std::string(reinterpret_cast<const char*>(raw), sizeof raw));
        }
    }
    const bool anySecure = std::any_of(endpoints.begin(), endpoints.end(), [](const Endpoint& e) { return e.secure; });
    if (anySecure) {
        // ZeroMQ asks this socket about every CURVE handshake.
        zap_ = zmq_socket(context_, ZMQ_REP);
        set_int(zap_, ZMQ_LINGER, 0);
        if (zmq_bind(zap_, "inproc://zeromq.zap.01") != 0) {
            *error = "cannot start the key check: " + last_error();
            return false;
        }
    }
    for (const Endpoint& e : endpoints) {
        const std::string dataUrl = remote::data_url(e.url);
        if (dataUrl.empty()) {
            *error = e.url + " is not an endpoint kv318-server can use: give tcp://HOST:PORT or ipc://PATH";
            return false;
        }
        void* control = zmq_socket(context_, ZMQ_ROUTER);
        void* data = zmq_socket(context_, ZMQ_PUB);
        control_.push_back(control);
        data_.push_back(data);
        for (void* s : {control, data}) {
            set_int(s, ZMQ_LINGER, 0);
            if (e.secure) {
                set_int(s, ZMQ_CURVE_SERVER, 1);
                zmq_setsockopt(s, ZMQ_CURVE_SECRETKEY, keys.secretKey.c_str(), keys.secretKey.size());
                zmq_setsockopt(s, ZMQ_ZAP_DOMAIN, "kv318", 5);
            }
        }
        zmq_setsockopt(control, ZMQ_MAXMSGSIZE, &kHardCapBytes, sizeof kHardCapBytes);
        set_int(control, ZMQ_RCVHWM, kQueuedPerConnection);
        set_int(data, ZMQ_SNDHWM, remote::kQueueBlocks);
        if (zmq_bind(control, e.url.c_str()) != 0) {
            *error = "cannot listen on " + e.url + ": " + last_error();
            return false;
        }
        if (zmq_bind(data, dataUrl.c_str()) != 0) {
            *error = "cannot publish on " + dataUrl + ": " + last_error();
            return false;
        }
        char last[1024] = {};
        std::size_t size = sizeof last;
        const bool known = zmq_getsockopt(data, ZMQ_LAST_ENDPOINT, last, &size) == 0 && last[0] != '\0';
        bound_.push_back(Bound{known ? std::string(last) : dataUrl, e.secure});
    }
    return true;
}

bool Transport::set_allowed(const std::vector<std::string>& allowedZ85, std::string* error) {
    Keys k = keys_;
    k.allowed.clear();
    for (const std::string& z85 : allowedZ85) {
        std::uint8_t raw[32];
        if (z85.size() != 40 || zmq_z85_decode(raw, z85.c_str()) == nullptr) continue;
        k.allowed.push_back(z85_of(std::string(reinterpret_cast<const char*>(raw), sizeof raw)));
    }
    // Only a key that left the set costs the subscribers their
    // connections; the list is read again on every change of its file.
    const bool removed = !removed_keys(keys_.allowed, k.allowed).empty();
    keys_ = k;
    if (!removed) return true;
    bool ok = true;
    const std::lock_guard<std::mutex> lock(dataLock_);
    for (std::size_t i = 0; i < data_.size(); ++i) {
        if (!bound_[i].secure) continue;
        // Unbinding closes every connection that came in through the
        // endpoint; the subscribers reconnect on their own and meet the
        // key check again.
        zmq_unbind(data_[i], bound_[i].dataUrl.c_str());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRebindMs);
        while (zmq_bind(data_[i], bound_[i].dataUrl.c_str()) != 0) {
            if (zmq_errno() != EADDRINUSE || std::chrono::steady_clock::now() > deadline) {
                if (error != nullptr) *error = "cannot publish on " + bound_[i].dataUrl + " again: " + last_error();
                ok = false;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return ok;
}

void Transport::publish(const std::vector<std::uint8_t>& block) {
    std::lock_guard<std::mutex> lock(dataLock_);
    for (void* s : data_) zmq_send(s, block.data(), block.size(), ZMQ_DONTWAIT);
}

void Transport::serve(int timeoutMs, const Answer& answer) {
    std::vector<zmq_pollitem_t> items;
    for (void* s : control_) items.push_back({s, 0, ZMQ_POLLIN, 0});
    if (zap_ != nullptr) items.push_back({zap_, 0, ZMQ_POLLIN, 0});
    if (zmq_poll(items.data(), static_cast<int>(items.size()), timeoutMs) <= 0) return;
    if (zap_ != nullptr && (items.back().revents & ZMQ_POLLIN) != 0) {
        // Handshakes first: a connection waiting for its key check sends
        // nothing until it has passed.
        for (int n = 0; n < kRequestsPerPass; ++n) {
            zmq_pollitem_t zap{zap_, 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&zap, 1, 0) <= 0) break;
            answer_zap();
        }
    }
    for (std::size_t i = 0; i < control_.size(); ++i) {
        if ((items[i].revents & ZMQ_POLLIN) == 0) continue;
        Received r;
        for (int n = 0; n < kRequestsPerPass && receive(control_[i], &r); ++n) {
            const Envelope e = split_envelope(r.frames, r.more);
            // A connection's key that left the allowed set gets nothing
            // done any more.
            const bool refused = !r.userId.empty() && !key_allowed(r.userId);
            std::string reply;
            if (refused) {
                reply = remote::encode_reply(
                    remote::error_reply(remote::code::kNotAllowed, "this client's key is no longer allowed"));
            } else if (!e.problem.empty()) {
                reply = remote::encode_reply(remote::error_reply(remote::code::kMalformed, e.problem));
            } else {
                reply = answer(e.body, Caller{std::to_string(i) + ":" + e.route.front(), r.userId});
            }
            send_frames(control_[i], reply_frames(e, reply));
        }
    }
}

}  // namespace kv318::server
