#include "zmq_link.h"

#include <zmq.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kv318::remote {

namespace {

// One context for the process, never terminated: terminating it waits for
// every socket, and a program that ends with a link still open must not
// hang in its exit.  Every socket is closed with ZMQ_LINGER 0.
void* context() {
    static void* const ctx = zmq_ctx_new();
    return ctx;
}

bool set_int(void* socket, int option, int value) { return zmq_setsockopt(socket, option, &value, sizeof value) == 0; }

// CURVE on `socket` when the settings hold keys: the server's public key,
// and this client's pair (its public key worked out from the secret one).
bool secure(void* socket, const RemoteSettings& k) {
    if (k.serverPublicKey.empty()) return true;
    char clientPublic[41] = {};
    return zmq_curve_public(clientPublic, k.clientSecretKey.c_str()) == 0 &&
           zmq_setsockopt(socket, ZMQ_CURVE_SERVERKEY, k.serverPublicKey.c_str(), 40) == 0 &&
           zmq_setsockopt(socket, ZMQ_CURVE_PUBLICKEY, clientPublic, 40) == 0 &&
           zmq_setsockopt(socket, ZMQ_CURVE_SECRETKEY, k.clientSecretKey.c_str(), 40) == 0;
}

class ZmqLink final : public ServerLink {
public:
    ~ZmqLink() override {
        if (req_ != nullptr) zmq_close(req_);
        if (sub_ != nullptr) zmq_close(sub_);
    }

    bool connect(const std::string& url, std::int32_t board, const RemoteSettings& keys, std::string* failure) {
        const std::string data = data_url(url);
        if (data.empty()) {
            *failure = "'" + url + "' is not a kv318-server URL: use tcp://HOST:PORT or ipc://PATH";
            return false;
        }
        req_ = zmq_socket(context(), ZMQ_REQ);
        if (req_ == nullptr || !secure(req_, keys) || !set_int(req_, ZMQ_REQ_RELAXED, 1) ||
            !set_int(req_, ZMQ_REQ_CORRELATE, 1) || !set_int(req_, ZMQ_LINGER, 0) ||
            !set_int(req_, ZMQ_RCVTIMEO, kServerSilenceMs) || !set_int(req_, ZMQ_SNDTIMEO, kServerSilenceMs) ||
            zmq_connect(req_, url.c_str()) != 0) {
            *failure = "cannot reach kv318-server at " + url + ": " + zmq_strerror(zmq_errno());
            return false;
        }
        if (board < 0) return true;
        const std::string topic = block_topic(static_cast<std::uint16_t>(board));
        sub_ = zmq_socket(context(), ZMQ_SUB);
        // The queue holds what the server's does, set before the connect it
        // applies to: a reader that falls further behind loses whole blocks
        // and sees the jump, instead of a thousand blocks piling up here.
        if (sub_ == nullptr || !secure(sub_, keys) || !set_int(sub_, ZMQ_LINGER, 0) ||
            !set_int(sub_, ZMQ_RCVHWM, kQueueBlocks) || zmq_connect(sub_, data.c_str()) != 0 ||
            zmq_setsockopt(sub_, ZMQ_SUBSCRIBE, topic.data(), topic.size()) != 0) {
            *failure = "cannot reach kv318-server's blocks at " + data + ": " + zmq_strerror(zmq_errno());
            return false;
        }
        return true;
    }

    bool exchange(const std::string& request, std::string* reply) override {
        // The caller's requests and the heartbeat's pings share the socket
        // (ZeroMQ lets threads take turns on one), one exchange at a time.
        // The wait for the other's turn counts in this one's silence: no
        // exchange takes longer than kServerSilenceMs, however they meet.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kServerSilenceMs);
        if (!claim_req(deadline)) return false;
        const ReqClaim hold{this};
        if (zmq_send(req_, request.data(), request.size(), 0) < 0) return false;
        while (true) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            zmq_pollitem_t item{req_, 0, ZMQ_POLLIN, 0};
            if (left.count() <= 0 || zmq_poll(&item, 1, static_cast<long>(left.count())) <= 0) return false;
            zmq_msg_t msg;
            zmq_msg_init(&msg);
            // A reply to an earlier request that was given up is dropped by
            // the socket (ZMQ_REQ_CORRELATE): then this waits on.
            const int n = zmq_msg_recv(&msg, req_, ZMQ_DONTWAIT);
            if (n >= 0) reply->assign(static_cast<const char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
            zmq_msg_close(&msg);
            if (n >= 0) return true;
        }
    }

    bool receive(int timeoutMs, std::vector<std::uint8_t>* frame) override {
        if (sub_ == nullptr) return false;
        zmq_pollitem_t item{sub_, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, timeoutMs) <= 0) return false;
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        const int n = zmq_msg_recv(&msg, sub_, ZMQ_DONTWAIT);
        if (n >= 0) {
            const auto* data = static_cast<const std::uint8_t*>(zmq_msg_data(&msg));
            frame->assign(data, data + zmq_msg_size(&msg));
        }
        zmq_msg_close(&msg);
        return n >= 0;
    }

private:
    // req_ serves one exchange at a time.  A plain mutex and a flag, not a
    // timed mutex: the thread checker does not see a timed mutex's timed
    // lock, and takes its unlock for an unlock of a mutex never held.
    bool claim_req(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(reqMutex_);
        if (!reqFree_.wait_until(lock, deadline, [this] { return !reqBusy_; })) return false;
        reqBusy_ = true;
        return true;
    }
    struct ReqClaim {
        explicit ReqClaim(ZmqLink* owner) : link(owner) {}
        ZmqLink* link;
        ReqClaim(const ReqClaim&) = delete;
        ReqClaim& operator=(const ReqClaim&) = delete;
        ~ReqClaim() {
            {
                const std::lock_guard<std::mutex> lock(link->reqMutex_);
                link->reqBusy_ = false;
            }
            link->reqFree_.notify_one();
        }
    };
    std::mutex reqMutex_;
    std::condition_variable reqFree_;
    bool reqBusy_ = false;  // guarded by reqMutex_: an exchange holds req_
    void* req_ = nullptr;
    void* sub_ = nullptr;
};

}  // namespace

std::unique_ptr<ServerLink> make_zmq_link(const std::string& url, std::int32_t board, std::string* failure,
                                          const RemoteSettings& keys) {
    auto link = std::make_unique<ZmqLink>();
    if (!link->connect(url, board, keys, failure)) return nullptr;
    return link;
}

}  // namespace kv318::remote
