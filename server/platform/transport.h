// kv318-server's sockets: for every endpoint, a control socket (ROUTER)
// that answers requests and a data socket (PUB) that publishes blocks.
// ZeroMQ's C API, which the Linux and the Windows builds share; nothing
// else here knows about sockets.
//
// The control socket is a ROUTER so that every request comes with the
// connection it arrived on: control belongs to a connection, not to the
// name a client gives.  REQ clients need nothing new (a ROUTER answers them
// with their envelope: routing id, empty delimiter, reply).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "board_host.h"
#include "endpoints.h"
#include "envelope.h"

namespace kv318::server {

class Transport : public BlockSink {
public:
    // Answers one request's text from `caller` with a reply's text.
    using Answer = std::function<std::string(const std::string& request, const Caller& caller)>;

    Transport();
    ~Transport() override;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Binds every endpoint's two sockets; `keys` is used for the secure
    // ones (and must then hold a key pair).  False with *error naming the
    // endpoint when one cannot be bound (its address taken, say).  The
    // control thread, once, before serve().
    bool listen(const std::vector<Endpoint>& endpoints, const Keys& keys, std::string* error);

    // Replaces the client keys the secure endpoints let in (Z85).  From
    // then on a CURVE handshake needs a key of the new set; a control
    // connection whose key left the set has every further request refused
    // with `not-allowed` (libzmq cannot close one peer of a ROUTER, so the
    // connection stays open but gets nothing done, and its board falls
    // free once its controller has been refused for kClientTimeoutMs).
    // When a key left the set, every secure data socket is also unbound and
    // bound again, which drops its subscribers, so each must handshake anew
    // through the key check to get blocks again (the allowed ones reconnect
    // by themselves, missing a few blocks, which they count); a set that
    // only gained keys leaves the subscribers be.  False with *error when a
    // data socket cannot be bound again (then that endpoint publishes
    // nothing more).  The control thread, after listen().
    bool set_allowed(const std::vector<std::string>& allowedZ85, std::string* error = nullptr);

    // Sends a block to every data socket without waiting: a subscriber whose
    // queue is full loses it.  Any thread.
    void publish(const std::vector<std::uint8_t>& block) override;

    // Waits up to `timeoutMs` for requests and answers each with `answer`,
    // on the connection it came on.  One call reads at most
    // kRequestsPerPass messages from each control socket, which ZeroMQ
    // takes from its connections in turn, so one connection's flood cannot
    // keep the others waiting and the caller's clock runs on.  A message
    // that is not one request gets a `malformed` reply; one longer than the
    // socket's hard cap (kHardCapBytes) closes its connection unread, as
    // ZeroMQ does.  The control thread.
    void serve(int timeoutMs, const Answer& answer);

    // The most messages one serve() takes from one control socket.
    static constexpr int kRequestsPerPass = 64;
    // Frames longer than this close the connection that sent them, before
    // they are read.  Well above the protocol's 4096 bytes, so a request
    // that is merely too long is read and answered (`malformed`, naming
    // the limit) rather than met with silence.
    static constexpr std::int64_t kHardCapBytes = 64 * 1024;
    // How many messages one connection may have waiting: with the hard cap,
    // what one connection can make the server hold.
    static constexpr int kQueuedPerConnection = 16;

private:
    struct Bound {
        std::string dataUrl;  // as bound (ZMQ_LAST_ENDPOINT), to unbind and bind again
        bool secure = false;
    };

    void answer_zap();
    bool key_allowed(const std::string& z85) const;

    void* context_ = nullptr;
    std::vector<void*> control_;
    // Guards the data sockets, which ZeroMQ lets only one thread use at a time.
    std::mutex dataLock_;
    std::vector<void*> data_;
    std::vector<Bound> bound_;  // beside data_; the control thread only
    void* zap_ = nullptr;       // the ZAP handler's socket, when any endpoint is secure
    Keys keys_;                 // the control thread only (it answers the ZAP requests too)
};

// Makes a CURVE key pair.  False when this libzmq cannot.
bool make_key_pair(std::string* publicKey, std::string* secretKey);

// The libzmq version, "4.3.4".
std::string zmq_version_text();

}  // namespace kv318::server
