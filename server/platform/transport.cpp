#include "transport.h"

#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstring>

#include "key_files.h"
#include "wire.h"

namespace kv318::server {

namespace {

// Control messages longer than this close the connection that sent them.
constexpr std::int64_t kMaxControlBytes = 2 * remote::kMaxMessageBytes;

std::string last_error() { return zmq_strerror(zmq_errno()); }

void set_int(void* socket, int option, int value) { zmq_setsockopt(socket, option, &value, sizeof value); }

// How long a data socket made anew may wait for its port, which the closed
// one gives up a moment after its close.
constexpr int kRebindMs = 2000;

// Receives every frame of one message; the text of the first frame, and
// whether there were more; *userId the ZAP handler's name of its sender
// (the client's Z85 key over CURVE, empty when plain).
bool receive(void* socket, std::string* text, bool* multipart, std::string* userId) {
    zmq_msg_t msg;
    zmq_msg_init(&msg);
    if (zmq_msg_recv(&msg, socket, ZMQ_DONTWAIT) < 0) {
        zmq_msg_close(&msg);
        return false;
    }
    text->assign(static_cast<const char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
    const char* user = zmq_msg_gets(&msg, "User-Id");
    userId->assign(user != nullptr ? user : "");
    *multipart = false;
    while (zmq_msg_more(&msg) != 0) {
        *multipart = true;
        zmq_msg_close(&msg);
        zmq_msg_init(&msg);
        if (zmq_msg_recv(&msg, socket, 0) < 0) break;
    }
    zmq_msg_close(&msg);
    return true;
}

std::vector<std::string> receive_all(void* socket) {
    std::vector<std::string> frames;
    while (true) {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        if (zmq_msg_recv(&msg, socket, ZMQ_DONTWAIT) < 0) {
            zmq_msg_close(&msg);
            return frames;
        }
        frames.emplace_back(static_cast<const char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
        const bool more = zmq_msg_more(&msg) != 0;
        zmq_msg_close(&msg);
        if (!more) return frames;
    }
}

bool allowed_z85(const Keys& keys, const std::string& z85) {
    return std::find(keys.allowed.begin(), keys.allowed.end(), z85) != keys.allowed.end();
}

bool allowed_key(const Keys& keys, const std::string& clientKey) {
    for (const std::string& z85 : keys.allowed) {
        std::uint8_t raw[32];
        if (z85.size() == 40 && zmq_z85_decode(raw, z85.c_str()) != nullptr && clientKey.size() == 32 &&
            std::memcmp(raw, clientKey.data(), 32) == 0) {
            return true;
        }
    }
    return false;
}

// Answers one ZAP request: a CURVE client is let in only with an allowed
// key.  A plain connection can only have come through a local endpoint
// (a secure socket takes CURVE handshakes only), so it passes.
void answer_zap(void* zap, const Keys& keys) {
    const std::vector<std::string> f = receive_all(zap);
    if (f.size() < 6) return;
    const bool curve = f[5] == "CURVE" && f.size() >= 7 && f[6].size() == 32;
    const bool ok = f[5] == "NULL" || (curve && allowed_key(keys, f[6]));
    // The user id names the key on every message of the connection, so a
    // key removed later can be told apart.
    char z85[41] = {};
    if (ok && curve) zmq_z85_encode(z85, reinterpret_cast<const std::uint8_t*>(f[6].data()), 32);
    const std::string reply[] = {f[0], f[1], ok ? "200" : "400", ok ? "OK" : "client key not allowed", z85, ""};
    for (std::size_t i = 0; i < 6; ++i) zmq_send(zap, reply[i].data(), reply[i].size(), i + 1 < 6 ? ZMQ_SNDMORE : 0);
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
    for (void* s : data_) {
        if (s != nullptr) zmq_close(s);
    }
    if (zap_ != nullptr) zmq_close(zap_);
    zmq_ctx_term(context_);
}

bool Transport::listen(const std::vector<Endpoint>& endpoints, const Keys& keys, std::string* error) {
    keys_ = keys;
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
        void* control = zmq_socket(context_, ZMQ_REP);
        control_.push_back(control);
        secure_.push_back(e.secure);
        set_int(control, ZMQ_LINGER, 0);
        if (e.secure) {
            set_int(control, ZMQ_CURVE_SERVER, 1);
            zmq_setsockopt(control, ZMQ_CURVE_SECRETKEY, keys.secretKey.c_str(), keys.secretKey.size());
            zmq_setsockopt(control, ZMQ_ZAP_DOMAIN, "kv318", 5);
        }
        zmq_setsockopt(control, ZMQ_MAXMSGSIZE, &kMaxControlBytes, sizeof kMaxControlBytes);
        if (zmq_bind(control, e.url.c_str()) != 0) {
            *error = "cannot listen on " + e.url + ": " + last_error();
            return false;
        }
        data_.push_back(nullptr);
        dataUrls_.push_back(dataUrl);
        if (!make_data_socket(data_.size() - 1, false, error)) return false;
        // A wildcard port is bound again as the port it got.
        char bound[256] = {};
        std::size_t size = sizeof bound;
        if (zmq_getsockopt(data_.back(), ZMQ_LAST_ENDPOINT, bound, &size) == 0 && bound[0] != '\0')
            dataUrls_.back() = bound;
    }
    return true;
}

bool Transport::make_data_socket(std::size_t i, bool again, std::string* error) {
    void* data = zmq_socket(context_, ZMQ_PUB);
    set_int(data, ZMQ_LINGER, 0);
    if (secure_[i]) {
        set_int(data, ZMQ_CURVE_SERVER, 1);
        zmq_setsockopt(data, ZMQ_CURVE_SECRETKEY, keys_.secretKey.c_str(), keys_.secretKey.size());
        zmq_setsockopt(data, ZMQ_ZAP_DOMAIN, "kv318", 5);
    }
    set_int(data, ZMQ_SNDHWM, remote::kQueueBlocks);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRebindMs);
    while (zmq_bind(data, dataUrls_[i].c_str()) != 0) {
        // Only a socket made anew meets its own old port still held.
        if (!again || zmq_errno() != EADDRINUSE || std::chrono::steady_clock::now() > deadline) {
            *error = "cannot publish on " + dataUrls_[i] + ": " + last_error();
            zmq_close(data);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    data_[i] = data;
    return true;
}

bool Transport::set_allowed(std::vector<std::string> z85, std::string* error) {
    const bool removed = !removed_keys(keys_.allowed, z85).empty();
    keys_.allowed = std::move(z85);
    if (!removed) return true;
    std::lock_guard<std::mutex> lock(dataLock_);
    bool ok = true;
    for (std::size_t i = 0; i < data_.size(); ++i) {
        if (!secure_[i] || data_[i] == nullptr) continue;
        zmq_close(data_[i]);
        data_[i] = nullptr;
        std::string failed;
        if (!make_data_socket(i, true, &failed)) {
            if (ok) *error = failed;
            ok = false;
        }
    }
    return ok;
}

void Transport::publish(const std::vector<std::uint8_t>& block) {
    std::lock_guard<std::mutex> lock(dataLock_);
    for (void* s : data_) {
        if (s != nullptr) zmq_send(s, block.data(), block.size(), ZMQ_DONTWAIT);
    }
}

void Transport::serve(int timeoutMs, const std::function<std::string(const std::string&)>& answer) {
    std::vector<zmq_pollitem_t> items;
    for (void* s : control_) items.push_back({s, 0, ZMQ_POLLIN, 0});
    if (zap_ != nullptr) items.push_back({zap_, 0, ZMQ_POLLIN, 0});
    if (zmq_poll(items.data(), static_cast<int>(items.size()), timeoutMs) <= 0) return;
    for (const zmq_pollitem_t& item : items) {
        if ((item.revents & ZMQ_POLLIN) == 0) continue;
        if (item.socket == zap_) {
            answer_zap(zap_, keys_);
            continue;
        }
        std::string text, user;
        bool multipart = false;
        if (!receive(item.socket, &text, &multipart, &user)) continue;
        // A request is one frame; anything else still gets its answer, so
        // the client's REQ socket is never left waiting.
        const std::string reply =
            multipart ? remote::encode_reply(remote::error_reply(remote::code::kMalformed, "a request is one frame"))
            : !user.empty() && !allowed_z85(keys_, user)
                ? remote::encode_reply(
                      remote::error_reply(remote::code::kNotAllowed, "this client's key is no longer allowed"))
                : answer(text);
        zmq_send(item.socket, reply.data(), reply.size(), 0);
    }
}

}  // namespace kv318::server
