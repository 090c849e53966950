// ZeroMQ as kv318-server uses it, on the platform the test is built for: on
// Windows this is the static libzmq that tools/zeromq-mingw.sh builds, run
// under Wine.  Sample blocks go out on a publisher and must arrive whole and
// in order; control goes over REQ/REP secured with CURVE, which must answer
// a client that knows the server's key and nobody else.
#include <gtest/gtest.h>
#include <zmq.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include <zmq.hpp>

#include "bytes.h"
#include "wait.h"

namespace {

constexpr int kBlocks = 200;
constexpr std::size_t kBlockBytes = 64 * 1024;
constexpr std::size_t kWordsPerBlock = kBlockBytes / 4;

// Every 32-bit word of every block is its own index in the whole stream,
// so a lost, repeated, reordered or torn block shows as a wrong word.
std::vector<std::uint8_t> make_block(int block) {
    std::vector<std::uint8_t> bytes(kBlockBytes);
    for (std::size_t k = 0; k < kWordsPerBlock; ++k) {
        kv318::put_u32le(&bytes[k * 4],
                         static_cast<std::uint32_t>(static_cast<std::size_t>(block) * kWordsPerBlock + k));
    }
    return bytes;
}

// The index of the first word of `msg` that is not block `block`'s, or
// kWordsPerBlock when every word is right.
std::size_t first_wrong_word(const zmq::message_t& msg, int block) {
    const auto* bytes = static_cast<const std::uint8_t*>(msg.data());
    for (std::size_t k = 0; k < kWordsPerBlock; ++k) {
        const auto want = static_cast<std::uint32_t>(static_cast<std::size_t>(block) * kWordsPerBlock + k);
        if (kv318::get_u32le(bytes + k * 4) != want) return k;
    }
    return kWordsPerBlock;
}

constexpr int kWaitMs = static_cast<int>(kv318::test::kWaitLimit.count());

// A TCP endpoint on a port the system picks, so parallel runs never clash.
std::string bind_loopback(zmq::socket_t& socket) {
    socket.bind("tcp://127.0.0.1:*");
    return socket.get(zmq::sockopt::last_endpoint);
}

TEST(ZmqTransport, PublishedBlocksArriveWholeAndInOrder) {
    zmq::context_t context;
    // XPUB is a publisher that also hands up the subscriptions it receives:
    // waiting for the subscriber's one is how the publisher knows nothing it
    // sends can be dropped for want of a subscriber.  With no-drop set, a full
    // queue makes the publisher wait instead of dropping blocks.
    zmq::socket_t publisher(context, zmq::socket_type::xpub);
    publisher.set(zmq::sockopt::xpub_nodrop, 1);
    publisher.set(zmq::sockopt::rcvtimeo, kWaitMs);
    publisher.set(zmq::sockopt::sndtimeo, kWaitMs);
    publisher.set(zmq::sockopt::linger, 0);
    const std::string endpoint = bind_loopback(publisher);

    zmq::socket_t subscriber(context, zmq::socket_type::sub);
    subscriber.set(zmq::sockopt::rcvtimeo, kWaitMs);
    subscriber.set(zmq::sockopt::linger, 0);
    subscriber.set(zmq::sockopt::subscribe, "");
    subscriber.connect(endpoint);

    // Written by the publishing thread, read here after join().
    bool subscribed = false;
    int sent = 0;
    std::thread sender([&] {
        zmq::message_t subscription;
        if (!publisher.recv(subscription)) return;
        subscribed = subscription.size() == 1 && *static_cast<const std::uint8_t*>(subscription.data()) == 1;
        for (int b = 0; b < kBlocks; ++b) {
            const auto block = make_block(b);
            if (!publisher.send(zmq::buffer(block), zmq::send_flags::none)) return;
            ++sent;
        }
    });

    // Checks go after join(), so a failing one never leaves the thread
    // running; the first fault ends the stream.
    int received = 0;
    std::string fault;
    while (received < kBlocks && fault.empty()) {
        zmq::message_t msg;
        if (!subscriber.recv(msg)) {
            fault = "nothing arrived in time";
        } else if (msg.size() != kBlockBytes) {
            fault = std::to_string(msg.size()) + " bytes";
        } else if (msg.more()) {
            fault = "it came in parts";
        } else if (const std::size_t k = first_wrong_word(msg, received); k != kWordsPerBlock) {
            fault = "word " + std::to_string(k) + " is wrong";
        } else {
            ++received;
        }
    }
    // Without its subscriber the publisher stops waiting to send.
    subscriber.close();
    sender.join();
    EXPECT_EQ(fault, "") << "block " << received;
    EXPECT_EQ(received, kBlocks);
    EXPECT_TRUE(subscribed);
    EXPECT_EQ(sent, kBlocks);
}

struct CurveKeys {
    std::array<char, 41> public_key{};
    std::array<char, 41> secret_key{};
};

CurveKeys make_keys() {
    CurveKeys keys;
    EXPECT_EQ(zmq_curve_keypair(keys.public_key.data(), keys.secret_key.data()), 0);
    return keys;
}

// The first event a socket monitor reports, or 0 when none came in time.
std::uint16_t next_event(zmq::socket_t& monitor) {
    zmq::message_t head;
    if (!monitor.recv(head) || head.size() < 2) return 0;
    zmq::message_t address;
    if (monitor.get(zmq::sockopt::rcvmore) && !monitor.recv(address)) return 0;
    // The event number is in the machine's own byte order.
    std::uint16_t event = 0;
    std::memcpy(&event, head.data(), sizeof event);
    return event;
}

bool is_handshake_failure(std::uint16_t event) {
    return event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL || event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL ||
           event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH;
}

TEST(ZmqTransport, CurveAnswersOnlyAClientWithTheServersKey) {
    ASSERT_TRUE(zmq_has("curve")) << "libzmq was built without CURVE";
    const CurveKeys server_keys = make_keys();
    const CurveKeys client_keys = make_keys();
    const CurveKeys stranger = make_keys();

    struct Case {
        const char* name;
        const char* server_key_the_client_uses;
        bool answered;
    };
    const Case cases[] = {
        {"right server key", server_keys.public_key.data(), true},
        {"another server's key", stranger.public_key.data(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zmq::context_t context;
        zmq::socket_t server(context, zmq::socket_type::rep);
        server.set(zmq::sockopt::curve_server, 1);
        server.set(zmq::sockopt::curve_secretkey, server_keys.secret_key.data());
        server.set(zmq::sockopt::rcvtimeo, kWaitMs);
        server.set(zmq::sockopt::linger, 0);
        ASSERT_EQ(zmq_socket_monitor(server.handle(), "inproc://server-events", ZMQ_EVENT_ALL), 0);
        zmq::socket_t monitor(context, zmq::socket_type::pair);
        monitor.set(zmq::sockopt::rcvtimeo, kWaitMs);
        monitor.connect("inproc://server-events");
        const std::string endpoint = bind_loopback(server);

        zmq::socket_t client(context, zmq::socket_type::req);
        client.set(zmq::sockopt::curve_serverkey, c.server_key_the_client_uses);
        client.set(zmq::sockopt::curve_publickey, client_keys.public_key.data());
        client.set(zmq::sockopt::curve_secretkey, client_keys.secret_key.data());
        client.set(zmq::sockopt::linger, 0);
        client.connect(endpoint);
        ASSERT_TRUE(client.send(zmq::str_buffer("status"), zmq::send_flags::none));

        if (c.answered) {
            std::thread replier([&] {
                zmq::message_t request;
                if (server.recv(request) && request.to_string() == "status") {
                    (void)server.send(zmq::str_buffer("ready"), zmq::send_flags::none);
                }
            });
            client.set(zmq::sockopt::rcvtimeo, kWaitMs);
            zmq::message_t reply;
            const bool got = client.recv(reply).has_value();
            replier.join();
            ASSERT_TRUE(got);
            EXPECT_EQ(reply.to_string(), "ready");
        } else {
            // The server has to refuse the handshake; only then does "no
            // reply" mean refused rather than not yet.
            std::uint16_t event = 0;
            do {
                event = next_event(monitor);
            } while (event != 0 && !is_handshake_failure(event));
            ASSERT_TRUE(is_handshake_failure(event)) << "the server never refused the handshake";
            zmq::message_t request;
            EXPECT_FALSE(server.recv(request, zmq::recv_flags::dontwait)) << "the request reached the server";
            client.set(zmq::sockopt::rcvtimeo, 500);
            zmq::message_t reply;
            EXPECT_FALSE(client.recv(reply)) << "a client with the wrong key got a reply";
        }
        zmq_socket_monitor(server.handle(), nullptr, 0);
    }
}

}  // namespace
