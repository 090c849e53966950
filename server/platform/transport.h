// kv318-server's sockets: for every endpoint, a control socket (REP) that
// answers requests and a data socket (PUB) that publishes blocks.  ZeroMQ's
// C API, which the Linux and the Windows builds share; nothing else here
// knows about sockets.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "board_host.h"
#include "endpoints.h"

namespace kv318::server {

class Transport : public BlockSink {
public:
    Transport();
    ~Transport() override;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Binds every endpoint's two sockets; `keys` is used for the secure
    // ones (and must then hold a key pair).  False with *error naming the
    // endpoint when one cannot be bound (its address taken, say).  The
    // control thread, once, before serve().
    bool listen(const std::vector<Endpoint>& endpoints, const Keys& keys, std::string* error);

    // Sends a block to every data socket without waiting: a subscriber whose
    // queue is full loses it.  Any thread.
    void publish(const std::vector<std::uint8_t>& block) override;

    // Waits up to `timeoutMs` for requests and answers each with `answer`.
    // A request that comes over CURVE with a key no longer allowed gets a
    // not-allowed error instead.  The control thread.
    void serve(int timeoutMs, const std::function<std::string(const std::string&)>& answer);

    // Replaces the clients' public keys (Z85) the secure endpoints let in.
    // New handshakes are checked against them at once and requests over a
    // removed key's open connections are refused; when a key was removed
    // the secure endpoints' data sockets are made anew, which drops every
    // subscriber: the allowed ones reconnect by themselves (missing a few
    // blocks, which they count), the removed one is refused.  False with
    // *error when a data socket cannot be bound again.  The control thread.
    bool set_allowed(std::vector<std::string> z85, std::string* error);

private:
    void* context_ = nullptr;
    std::vector<void*> control_;
    // Guards the data sockets, which ZeroMQ lets only one thread use at a time.
    std::mutex dataLock_;
    std::vector<void*> data_;
    std::vector<std::string> dataUrls_;  // as bound, for making a data socket anew
    std::vector<bool> secure_;           // per endpoint
    // Makes endpoint i's data socket and binds it; `again` when the one
    // before was just closed, whose port may take a moment to come free.
    bool make_data_socket(std::size_t i, bool again, std::string* error);
    void* zap_ = nullptr;  // the ZAP handler's socket, when any endpoint is secure
    Keys keys_;
};

// Makes a CURVE key pair.  False when this libzmq cannot.
bool make_key_pair(std::string* publicKey, std::string* secretKey);

// The libzmq version, "4.3.4".
std::string zmq_version_text();

}  // namespace kv318::server
