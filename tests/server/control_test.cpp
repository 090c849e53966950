// The server's rules of who may do what, its expiry of silent clients, and
// the blocks it cuts a board's stream into, against a scripted board.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "bytes.h"
#include "control.h"
#include "fake_board.h"
#include "wait.h"

namespace kv318::server {
namespace {

using cli::test::FakeBoard;

// Keeps every block published, decoded.
class ListSink : public BlockSink {
public:
    struct Block {
        remote::BlockHeader header;
        std::vector<std::int32_t> samples;
    };
    void publish(const std::vector<std::uint8_t>& bytes) override {
        Block b;
        const std::uint8_t* s = nullptr;
        std::string error;
        ASSERT_TRUE(remote::decode_block(bytes.data(), bytes.size(), &b.header, &s, &error)) << error;
        for (std::uint32_t i = 0; i < b.header.count; ++i) b.samples.push_back(get_s16le(s + 2 * i));
        std::lock_guard<std::mutex> lock(mutex_);
        blocks_.push_back(b);
    }
    std::vector<Block> blocks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return blocks_;
    }
    bool ended() {
        std::lock_guard<std::mutex> lock(mutex_);
        return !blocks_.empty() && (blocks_.back().header.flags & remote::kFlagEndOfStream) != 0;
    }

private:
    std::mutex mutex_;
    std::vector<Block> blocks_;
};

struct Served {
    pipeline::BoardApi api = cli::test::fake_api();
    ListSink sink;
    BoardHost host{api, 1, 0, sink};
    Control control{{&host}, "1@test"};

    Served() { FakeBoard::reset(); }
    remote::Message ask(const std::string& client, const std::string& rest, std::int64_t now = 0) {
        remote::Message reply;
        std::string error;
        const std::string text = control.answer("kv318/1 " + rest + " client=" + client, now);
        EXPECT_TRUE(remote::parse_reply(text, &reply, &error)) << text;
        return reply;
    }
};

std::string field(const remote::Message& m, const char* key) {
    const std::string* v = m.find(key);
    return v == nullptr ? "<none>" : *v;
}

TEST(ServerControl, OneControllerOthersFollowAndLook) {
    Served s;
    // Who asks, what, and what the reply must say: "ok", or an error code
    // (with the controller it names, when one is).
    const struct {
        const char* client;
        const char* request;
        const char* want;
        const char* controller;
    } steps[] = {
        {"a", "do board=0 value=3", "ok", ""},  // nobody controls: anyone may
        {"b", "counter-run board=0", "ok", ""},
        {"a", "start board=0 mode=stream divider=50 clock=2000000", "ok", ""},
        {"b", "start board=0 mode=stream divider=50", "running", "a"},
        {"b", "do board=0 value=1", "controlled", "a"},
        {"b", "outb board=0 reg=8 value=1", "controlled", "a"},
        {"b", "pulse-run board=0 mode=0 divisor=10", "controlled", "a"},
        {"b", "stop board=0", "controlled", "a"},
        {"b", "di board=0", "ok", ""},
        {"b", "info board=0", "ok", ""},
        {"b", "status board=0", "ok", ""},
        {"a", "do board=0 value=7", "ok", ""},
        {"a", "start board=0 mode=stream divider=50", "running", "a"},
        {"a", "stop board=0", "ok", ""},
        {"a", "stop board=0", "not-running", ""},
        {"b", "start board=0 mode=polled divider=50", "ok", ""},
        {"a", "do board=0 value=1", "controlled", "b"},
        {"b", "bye", "ok", ""},
        {"a", "do board=0 value=1", "ok", ""},
        {"a", "start board=1 mode=stream divider=50", "no-board", ""},
        {"a", "start board=0 mode=fast divider=50", "bad-argument", ""},
        {"a", "start board=0 mode=stream", "bad-argument", ""},
        {"a", "start board=0 mode=stream divider=50 fifo=10", "bad-argument", ""},
        {"a", "do board=0", "bad-argument", ""},
        {"a", "do board=0 value=4294967296", "bad-argument", ""},
        {"a", "frobnicate board=0", "unknown-verb", ""},
    };
    for (const auto& step : steps) {
        const remote::Message r = s.ask(step.client, step.request);
        const std::string got = r.word == "ok" ? "ok" : field(r, "code");
        EXPECT_EQ(got, step.want) << step.client << ": " << step.request;
        if (*step.controller != '\0') {
            EXPECT_EQ(field(r, "controller"), step.controller) << step.request;
            EXPECT_NE(field(r, "text").find(step.controller), std::string::npos) << step.request;
        }
    }
    // Every start that was refused reached no board.
    EXPECT_EQ(FakeBoard::get().starts, 2);
    EXPECT_EQ(FakeBoard::get().stops, 2);
    EXPECT_EQ(FakeBoard::get().outputs, 1);
}

TEST(ServerControl, RequestsWithoutAClientOrOfAnotherVersionAreRefused) {
    Served s;
    const struct {
        const char* text;
        const char* code;
    } cases[] = {
        {"kv318/1 ping", "bad-argument"},
        {"kv318/1 ping client=", "bad-argument"},
        {"kv318/2 ping client=a", "version"},
        {"GET / HTTP/1.1", "malformed"},
        {"", "malformed"},
    };
    for (const auto& c : cases) {
        remote::Message reply;
        std::string error;
        ASSERT_TRUE(remote::parse_reply(s.control.answer(c.text, 0), &reply, &error));
        EXPECT_EQ(reply.word, "error") << c.text;
        EXPECT_EQ(field(reply, "code"), c.code) << c.text;
    }
}

TEST(ServerControl, ASilentControllerLosesTheBoardAndItsAcquisitionStops) {
    Served s;
    ASSERT_EQ(s.ask("a", "start board=0 mode=stream divider=50", 1000).word, "ok");
    s.ask("b", "ping", 1000);
    s.control.tick(1000 + remote::kClientTimeoutMs);
    EXPECT_EQ(s.control.controller(0), "a");  // silent just as long as allowed
    s.ask("b", "ping", 1000 + remote::kClientTimeoutMs + 1);
    s.control.tick(1000 + remote::kClientTimeoutMs + 1);
    EXPECT_EQ(s.control.controller(0), "");
    EXPECT_FALSE(s.host.running());
    EXPECT_EQ(FakeBoard::get().stops, 1);
    EXPECT_TRUE(s.sink.ended());
    // A client that keeps talking keeps its board.
    ASSERT_EQ(s.ask("b", "start board=0 mode=stream divider=50", 5000).word, "ok");
    for (std::int64_t t = 5000; t < 20000; t += 500) {
        s.ask("b", "ping", t);
        s.control.tick(t);
    }
    EXPECT_EQ(s.control.controller(0), "b");
    s.control.stop_all();
}

TEST(ServerControl, IdleBoardsSendASignOfLifeAndRunningOnesDoNot) {
    Served s;
    s.control.tick(0);
    s.control.tick(remote::kIdleBlockMs - 1);
    s.control.tick(remote::kIdleBlockMs);
    auto blocks = s.sink.blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].header.flags, remote::kFlagIdle);
    EXPECT_EQ(blocks[0].header.count, 0u);
    ASSERT_EQ(s.ask("a", "start board=0 mode=stream divider=50", 0).word, "ok");
    s.control.tick(3 * remote::kIdleBlockMs);
    s.control.tick(4 * remote::kIdleBlockMs);
    const auto after = s.sink.blocks();
    for (std::size_t i = blocks.size(); i < after.size(); ++i) {
        EXPECT_EQ(after[i].header.flags & remote::kFlagIdle, 0u) << "block " << i;
    }
    s.control.stop_all();
}

// How a stream's failure ends it: the read's result and the status
// register the host then reads, in stream and polled mode.
constexpr const char* kEnded = "idle ended=1 controller=a fifo=524288 next=351";
TEST(ServerStream, BlocksCarryEverySampleOnceAndAFailureEndsTheStream) {
    const struct {
        const char* what;
        bool polled;
        std::int32_t failure;
        std::int32_t status;
        std::uint32_t flag;
        // What the status says then, and what the failed controller's stop
        // gets: a board that went away has no stream and no controller.
        const char* after;
        const char* stop;
    } cases[] = {
        {"ring overflow", false, -2, 0x04, remote::kFlagRingOverflow, kEnded, "ok"},
        {"stopped beneath the server", false, -1, 0x00, remote::kFlagNotEnabled, kEnded, "ok"},
        {"driver gone", false, -1, -1, remote::kFlagTransferFault | remote::kFlagDisconnected,
         "disconnected ended=0 controller= fifo=524288 next=351", "error"},
        {"transfer failed", false, -3, 0x04, remote::kFlagTransferFault, kEnded, "ok"},
        {"polled: converter off", true, -1, 0x00, remote::kFlagNotEnabled, kEnded, "ok"},
        {"polled: transfer failed", true, -1, 0x04, remote::kFlagTransferFault, kEnded, "ok"},
    };
    for (const auto& c : cases) {
        Served s;
        FakeBoard::get().reads = {100, 0, 250, 1, c.failure};
        FakeBoard::get().status = c.status;
        const std::string mode = c.polled ? "polled" : "stream";
        ASSERT_EQ(s.ask("a", "start board=0 mode=" + mode + " divider=50 clock=26000000", 0).word, "ok");
        ASSERT_TRUE(test::wait_until([&] { return s.host.ended(); })) << c.what;
        // The server's loop looks after the board (a board gone is noticed).
        s.host.watch(0);
        EXPECT_TRUE(s.sink.ended()) << c.what;
        std::uint64_t next = 0;
        const auto blocks = s.sink.blocks();
        for (const auto& b : blocks) {
            EXPECT_EQ(b.header.stream, 1u) << c.what;
            EXPECT_EQ(b.header.firstIndex, next) << c.what;
            EXPECT_EQ(b.header.clockHz, 26'000'000u) << c.what;
            EXPECT_EQ(b.header.divider, 50u) << c.what;
            EXPECT_EQ((b.header.flags & remote::kFlagPolled) != 0, c.polled) << c.what;
            for (std::size_t i = 0; i < b.samples.size(); ++i) {
                ASSERT_EQ(b.samples[i], FakeBoard::ramp(next + i)) << c.what << " sample " << next + i;
            }
            next += b.header.count;
        }
        EXPECT_EQ(next, 351u) << c.what;
        EXPECT_EQ(blocks.back().header.flags & ~remote::kFlagPolled, c.flag | remote::kFlagEndOfStream) << c.what;
        // Nothing is left to follow: a client that asks is told so, and the
        // board's idle blocks keep its followers from taking the quiet for
        // a server gone.
        s.control.tick(0);
        const remote::Message st = s.ask("b", "status board=0");
        EXPECT_EQ(field(st, "state") + " ended=" + field(st, "ended") + " controller=" + field(st, "controller") +
                      " fifo=" + field(st, "fifo") + " next=" + field(st, "next"),
                  c.after)
            << c.what;
        s.control.tick(remote::kIdleBlockMs);
        EXPECT_EQ(s.sink.blocks().back().header.flags & ~remote::kFlagDisconnected, remote::kFlagIdle) << c.what;
        // The controller still stops the board it failed on.
        EXPECT_EQ(s.ask("a", "stop board=0").word, c.stop) << c.what;
        EXPECT_EQ(FakeBoard::get().stops, 1) << c.what;
    }
}

// Reads counted where the test thread may look while the host reads.
std::atomic<int> gReads{0};
std::int32_t KV318_CALL counted_read(std::int32_t h, std::int32_t* samples) {
    const std::int32_t n = cli::test::fake_read(h, samples);
    gReads.fetch_add(1);
    return n;
}

TEST(ServerStream, AStopSendsWhatWasReadInTheLastBlock) {
    Served s;
    s.api.read = counted_read;
    gReads = 0;
    FakeBoard::get().reads = {7};
    // At 1000 samples a second a block holds 25; seven samples wait for
    // the block's deadline, and the stop must not lose them.
    ASSERT_EQ(s.ask("a", "start board=0 mode=stream divider=2 clock=2000", 0).word, "ok");
    ASSERT_TRUE(test::wait_until([] { return gReads.load() >= 1; }));
    ASSERT_EQ(s.ask("a", "stop board=0").word, "ok");
    std::uint64_t total = 0;
    for (const auto& b : s.sink.blocks()) total += b.header.count;
    EXPECT_EQ(total, 7u);
    EXPECT_TRUE(s.sink.ended());
    const remote::Message st = s.ask("a", "status board=0");
    EXPECT_EQ(field(st, "state"), "idle");
    EXPECT_EQ(field(st, "ended"), "0");
    EXPECT_EQ(field(st, "next"), "7");
}

}  // namespace
}  // namespace kv318::server
