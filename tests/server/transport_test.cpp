// kv318-server's sockets with CURVE, on ipc sockets in a temporary folder:
// each request reaches the rules with the key its connection proved, and
// replacing the allowed keys shuts a dropped key out of control and blocks
// while the others go on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>
#include <zmq.hpp>

#include "transport.h"
#include "wait.h"
#include "wire.h"

namespace kv318::server {
namespace {

struct Pair {
    std::string pub, sec;
};

Pair key_pair() {
    Pair p;
    EXPECT_TRUE(make_key_pair(&p.pub, &p.sec));
    return p;
}

// A CURVE client of the server at `url`: a REQ socket and a SUB socket
// subscribed to everything.
struct CurveClient {
    zmq::socket_t req, sub;
    CurveClient(zmq::context_t& ctx, const std::string& url, const std::string& serverKey, const Pair& own)
        : req(ctx, zmq::socket_type::req), sub(ctx, zmq::socket_type::sub) {
        for (zmq::socket_t* s : {&req, &sub}) {
            s->set(zmq::sockopt::curve_serverkey, serverKey);
            s->set(zmq::sockopt::curve_publickey, own.pub);
            s->set(zmq::sockopt::curve_secretkey, own.sec);
            s->set(zmq::sockopt::linger, 0);
            s->set(zmq::sockopt::rcvtimeo, 200);
        }
        req.set(zmq::sockopt::req_relaxed, 1);
        req.set(zmq::sockopt::req_correlate, 1);
        req.connect(url);
        sub.set(zmq::sockopt::subscribe, "");
        sub.connect(remote::data_url(url));
    }
    // The reply to `text`, or empty when none came within 200 ms.
    std::string ask(const std::string& text) {
        req.send(zmq::buffer(text));
        zmq::message_t reply;
        return req.recv(reply) ? reply.to_string() : std::string();
    }
    bool got_block() {
        zmq::message_t block;
        return sub.recv(block).has_value();
    }
};

TEST(ServerTransport, EachRequestCarriesItsKeyAndADroppedKeyGetsNothingMore) {
    char dir[] = "/tmp/kv318-transport-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string url = std::string("ipc://") + dir + "/server";
    const Pair server = key_pair(), a = key_pair(), b = key_pair();
    Keys keys{server.pub, server.sec, {a.pub, b.pub}};
    Transport transport;
    std::string error;
    ASSERT_TRUE(transport.listen({Endpoint{url, true}}, keys, &error)) << error;

    // The control thread: answers every request with the key it came
    // with, publishes a block each pass, and drops key a when told.
    std::atomic<bool> stop{false}, dropA{false};
    std::thread control([&] {
        bool dropped = false;
        while (!stop.load()) {
            transport.serve(10, [](const std::string&, const Caller& caller) {
                return remote::encode_reply(remote::Message{"ok", {{"key", caller.key}}});
            });
            transport.publish({1, 2, 3});
            if (dropA.load() && !dropped) {
                std::string why;
                EXPECT_TRUE(transport.set_allowed({b.pub}, &why)) << why;
                dropped = true;
            }
        }
    });

    zmq::context_t ctx;
    CurveClient ca(ctx, url, server.pub, a), cb(ctx, url, server.pub, b);
    const std::string hello = "kv318/1 hello client=x";
    std::string replyA, replyB;
    ASSERT_TRUE(test::wait_until([&] { return !(replyA = ca.ask(hello)).empty(); }));
    ASSERT_TRUE(test::wait_until([&] { return !(replyB = cb.ask(hello)).empty(); }));
    remote::Message m;
    ASSERT_TRUE(remote::parse_reply(replyA, &m, &error)) << replyA;
    EXPECT_EQ(*m.find("key"), a.pub);
    ASSERT_TRUE(remote::parse_reply(replyB, &m, &error)) << replyB;
    EXPECT_EQ(*m.find("key"), b.pub);
    ASSERT_TRUE(test::wait_until([&] { return ca.got_block(); }));

    dropA = true;
    // Key a's connection is refused from now on; key b's is answered.
    ASSERT_TRUE(test::wait_until([&] { return ca.ask(hello).find("code=not-allowed") != std::string::npos; }));
    ASSERT_TRUE(remote::parse_reply(cb.ask(hello), &m, &error));
    EXPECT_EQ(m.word, "ok");
    // Its subscription was dropped and cannot come back; b's comes back.
    ASSERT_TRUE(test::wait_until([&] { return cb.got_block(); }));
    // What was queued before the drop may still come; then nothing.
    for (int queued = 0; queued < 100 && ca.got_block(); ++queued) {
    }
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(ca.got_block()) << "try " << i;

    stop = true;
    control.join();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kv318::server
