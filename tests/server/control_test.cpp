// The server's rules of who may do what, its expiry of silent clients, and
// the blocks it cuts a board's stream into, against a scripted board.
#include <gtest/gtest.h>

#include <algorithm>
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
    // A request of `client` on a connection of its own ("conn-" and its
    // name), unless `from` names another.
    remote::Message ask(const std::string& client, const std::string& rest, std::int64_t now = 0,
                        const Caller* from = nullptr) {
        remote::Message reply;
        std::string error;
        const Caller own{"conn-" + client, ""};
        const std::string text =
            control.answer("kv318/1 " + rest + " client=" + client, from != nullptr ? *from : own, now);
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

// Control belongs to the connection (and key) whose start succeeded: a
// name copied onto another connection, or another key, gets nothing.
TEST(ServerControl, ControlBelongsToTheConnectionThatTookIt) {
    Served s;
    const Caller ctl{"conn-1", ""}, thief{"conn-2", ""};
    const Caller keyA{"conn-3", "A-key"}, keyB{"conn-4", "B-key"}, keyAagain{"conn-5", "A-key"};
    const struct {
        const Caller* from;
        const char* client;
        const char* request;
        const char* want;
        const char* controller;  // the controller afterwards
    } steps[] = {
        {&ctl, "c", "start board=0 mode=stream divider=50", "ok", "c"},
        {&ctl, "c", "do board=0 value=1", "ok", "c"},
        {&thief, "c", "do board=0 value=2", "controlled", "c"},
        {&thief, "c", "stop board=0", "controlled", "c"},
        {&thief, "c", "start board=0 mode=stream divider=50", "running", "c"},
        {&thief, "c", "bye", "ok", "c"},                           // stops nothing
        {&ctl, "other", "do board=0 value=3", "controlled", "c"},  // its connection, another name
        {&thief, "c", "status board=0", "ok", "c"},                // the name is told, and gives no power
        {&ctl, "c", "bye", "ok", ""},
        // Two allowed keys with one name: neither takes the other's board,
        // nor does the same key on another connection.
        {&keyA, "desk", "start board=0 mode=stream divider=50", "ok", "desk"},
        {&keyB, "desk", "stop board=0", "controlled", "desk"},
        {&keyB, "desk", "do board=0 value=4", "controlled", "desk"},
        {&keyAagain, "desk", "stop board=0", "controlled", "desk"},
        {&keyA, "desk", "stop board=0", "ok", ""},
    };
    for (const auto& step : steps) {
        const remote::Message r = s.ask(step.client, step.request, 0, step.from);
        const std::string got = r.word == "ok" ? "ok" : field(r, "code");
        EXPECT_EQ(got, step.want) << step.from->connection << " " << step.client << ": " << step.request;
        if (r.word == "error" && *step.controller != '\0') {
            EXPECT_EQ(field(r, "controller"), step.controller);
        }
        EXPECT_EQ(s.control.controller(0), step.controller) << step.from->connection << ": " << step.request;
    }
    EXPECT_EQ(FakeBoard::get().starts, 2);
    EXPECT_EQ(FakeBoard::get().stops, 2);
    EXPECT_EQ(FakeBoard::get().outputs, 1);
}

// What the board can take, and nothing else: the library would clamp or
// mask the rest, and the number sent would not be what runs.
TEST(ServerControl, ValuesOutsideWhatTheBoardTakesAreRefusedWithTheirRange) {
    const struct {
        const char* request;
        const char* want;  // "ok", or the text the refusal must hold
    } cases[] = {
        {"start board=0 mode=stream divider=0", "2-4095"},
        {"start board=0 mode=stream divider=1", "2-4095"},
        {"start board=0 mode=stream divider=4096", "2-4095"},
        {"start board=0 mode=stream divider=65536", "2-4095"},
        {"start board=0 mode=stream divider=-1", "2-4095"},
        {"start board=0 mode=stream divider=99999999999999999999", "2-4095"},
        {"start board=0 mode=stream divider=x", "2-4095"},
        {"start board=0 mode=stream divider=2", "ok"},
        {"start board=0 mode=stream divider=4095", "ok"},
        {"start board=0 mode=stream divider=50 clock=0", "1-1000000000"},
        {"start board=0 mode=stream divider=50 clock=1000000001", "1-1000000000"},
        {"start board=0 mode=stream divider=50 fifo=16383", "16384-1073741824"},
        {"start board=0 mode=stream divider=50 f1=2", "0-1"},
        {"start board=0 mode=stream divider=50 f4=-1", "0-1"},
        {"start board=0 mode=polled divider=50 f1=1 f2=0 f3=1 f4=0 clock=26000000 fifo=1048576", "ok"},
        {"outb board=0 reg=256 value=1", "0-255"},
        {"outb board=0 reg=-1 value=1", "0-255"},
        {"outb board=0 reg=8 value=256", "0-255"},
        {"outb board=0 reg=255 value=255", "ok"},
        {"inb board=0 reg=256", "0-255"},
        {"inb board=0 reg=0", "ok"},
        {"do board=0 value=65536", "0-65535"},
        {"do board=0 value=-1", "0-65535"},
        {"do board=0 value=65535", "ok"},
        {"pulse-run board=0 mode=0 divisor=0", "2-255"},
        {"pulse-run board=0 mode=0 divisor=1", "2-255"},
        {"pulse-run board=0 mode=0 divisor=256", "2-255"},
        {"pulse-run board=0 mode=2 divisor=10", "0-1"},
        {"pulse-run board=0 mode=1 divisor=255", "ok"},
    };
    for (const auto& c : cases) {
        Served s;
        const remote::Message r = s.ask("a", c.request);
        const std::string want = c.want;
        if (want == "ok") {
            EXPECT_EQ(r.word, "ok") << c.request << ": " << field(r, "text");
            continue;
        }
        EXPECT_EQ(field(r, "code"), "bad-argument") << c.request;
        EXPECT_NE(field(r, "text").find(want), std::string::npos) << c.request << ": " << field(r, "text");
        // Nothing reached the board.
        EXPECT_EQ(FakeBoard::get().starts, 0) << c.request;
        EXPECT_EQ(FakeBoard::get().outputs, 0) << c.request;
        EXPECT_EQ(FakeBoard::get().reg8, 0) << c.request;
        EXPECT_EQ(s.control.controller(0), "") << c.request;
    }
}

// Every verb of the protocol's table, as the table says: taken with each
// field at either end of its range, refused one past either end (and
// without a field it needs) with the range in the text, nothing reaching
// the board then; and an "ok" that holds only the table's reply fields.
TEST(ServerControl, EveryVerbIsCheckedAndAnsweredAsTheTableSays) {
    using remote::FieldKind;
    // The request of `v` with each field at one end of its range, and
    // `key` at `value` instead (or left out when null).
    auto request = [](const remote::Verb& v, bool top, const std::string& key = "", const char* value = "") {
        std::string text = v.name;
        if (v.board) text += " board=0";
        for (const remote::Field& f : v.fields) {
            if (f.key == key) {
                if (value != nullptr) text.append(" ").append(key).append("=").append(value);
                continue;
            }
            const std::int64_t n = top ? f.limit.max : f.limit.min;
            text.append(" ").append(f.key).append("=");
            text.append(f.kind == FieldKind::kWord ? std::string(f.words[0]) : std::to_string(n));
        }
        return text;
    };
    for (const remote::Verb& v : remote::kVerbs) {
        for (const bool top : {false, true}) {
            Served s;
            // A stop needs an acquisition to stop.
            if (std::string(v.name) == remote::verb::kStop) {
                ASSERT_EQ(s.ask("a", "start board=0 mode=stream divider=50").word, "ok");
            }
            const std::string text = request(v, top);
            const remote::Message r = s.ask("a", text);
            EXPECT_EQ(r.word, "ok") << text << ": " << field(r, "text");
            for (const auto& [k, value] : r.fields) {
                const bool listed = std::any_of(v.reply.begin(), v.reply.end(),
                                                [&k](const remote::ReplyField& f) { return k == f.key; });
                EXPECT_TRUE(listed) << text << ": the reply holds " << k;
            }
            if (!v.reply.empty()) {
                EXPECT_NE(r.find(v.reply[0].key), nullptr) << text;
            }
        }
        for (const remote::Field& f : v.fields) {
            std::vector<std::pair<std::string, std::string>> bad;  // a value, and the text its refusal holds
            if (f.kind == FieldKind::kInteger) {
                const std::string range = pipeline::range_text(f.limit);
                bad.push_back({std::to_string(f.limit.min - 1), range});
                bad.push_back({std::to_string(f.limit.max + 1), range});
                bad.push_back({"x", "field " + std::string(f.key) + " must be"});
            } else {
                bad.push_back({"x", "field " + std::string(f.key) + " must be " + f.words[0]});
            }
            if (!f.optional) bad.push_back({"", "field " + std::string(f.key) + " must be"});
            for (const auto& [value, want] : bad) {
                Served s;
                const std::string text = request(v, false, f.key, value.empty() ? nullptr : value.c_str());
                const remote::Message r = s.ask("a", text);
                EXPECT_EQ(field(r, "code"), "bad-argument") << text;
                EXPECT_NE(field(r, "text").find(want), std::string::npos) << text << ": " << field(r, "text");
                EXPECT_EQ(FakeBoard::get().starts + FakeBoard::get().outputs + FakeBoard::get().reg8, 0) << text;
            }
        }
    }
}

// The refusals' own bytes, as a client reads them.
TEST(ServerControl, RefusalsSayTheRangeInTheirText) {
    const struct {
        const char* request;
        const char* reply;
    } cases[] = {
        {"kv318/1 do board=0 client=a",
         "error code=bad-argument text=field%20value%20must%20be%20an%20output%20word%200-65535%20%280x0000-0xFFFF%29"},
        {"kv318/1 start board=0 mode=stream divider=4096 client=a",
         "error code=bad-argument text=divider:%20divider%204096%20is%20out%20of%20range%202-4095"},
        {"kv318/1 start board=0 mode=fast client=a",
         "error code=bad-argument text=field%20mode%20must%20be%20stream%20or%20polled"},
        {"kv318/1 di board=65536 client=a",
         "error code=bad-argument text=board:%20board%20number%2065536%20is%20out%20of%20range%200-65535"},
        {"kv318/1 ping",
         "error code=bad-argument "
         "text=field%20client%20must%20be%20the%20client%27s%20name,%201%20to%20128%20characters"},
    };
    for (const auto& c : cases) {
        Served s;
        EXPECT_EQ(s.control.answer(c.request, Caller{"c", ""}, 0), c.reply) << c.request;
    }
}

// What a started board runs is what status and every block then say.
TEST(ServerControl, StatusAndBlocksSayWhatTheBoardRuns) {
    Served s;
    ASSERT_EQ(s.ask("a", "start board=0 mode=stream divider=4095 clock=26000000 fifo=1048576").word, "ok");
    ASSERT_EQ(s.ask("a", "start board=0 mode=stream divider=4096").word, "error");
    const remote::Message st = s.ask("b", "status board=0");
    EXPECT_EQ(field(st, "divider") + " " + field(st, "clock") + " " + field(st, "fifo"), "4095 26000000 1048576");
    ASSERT_EQ(s.ask("a", "stop board=0").word, "ok");
    const auto blocks = s.sink.blocks();
    ASSERT_FALSE(blocks.empty());
    for (const auto& b : blocks) EXPECT_EQ(b.header.divider, 4095u);
    EXPECT_EQ(FakeBoard::get().lastDivider, 4095);
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
        {"kv318/1 frobnicate client=a", "unknown-verb"},
        {"kv318/1 frobnicate client=a board=7", "unknown-verb"},
        {"GET / HTTP/1.1", "malformed"},
        {"", "malformed"},
    };
    for (const auto& c : cases) {
        remote::Message reply;
        std::string error;
        ASSERT_TRUE(remote::parse_reply(s.control.answer(c.text, Caller{"c", ""}, 0), &reply, &error));
        EXPECT_EQ(reply.word, "error") << c.text;
        EXPECT_EQ(field(reply, "code"), c.code) << c.text;
    }
}

TEST(ServerControl, ASilentControllerLosesTheBoardAndItsAcquisitionStops) {
    Served s;
    ASSERT_EQ(s.ask("a", "start board=0 mode=stream divider=50", 1000).word, "ok");
    s.ask("b", "ping", 1000);
    // Its name from another connection is no sign of its life.
    const Caller copier{"conn-copier", ""};
    for (std::int64_t t = 1000; t <= 1000 + remote::kClientTimeoutMs + 1; t += 250) s.ask("a", "ping", t, &copier);
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
