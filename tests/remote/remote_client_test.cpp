// The kv318-server client's logic against a fake server behind a scripted
// link: blocks into reads, index jumps into missed samples, flags into
// results, calls into requests and replies into the exports' results.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

#include "block_stream.h"
#include "fake_kv318_server.h"
#include "scripted_link.h"
#include "remote_board.h"
#include "wait.h"

namespace kv318::remote {
namespace {

using test::FakeServer;
using test::ramp_sample;

using test::ScriptedLink;
using test::Shared;

struct Fixture {
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    RemoteBoard::Clock::time_point now{};
    RemoteSettings settings;

    std::unique_ptr<RemoteBoard> board(bool follow = false, const char* id = "test.1@here") {
        settings.url = "tcp://fake:6318";
        settings.follow = follow;
        return std::make_unique<RemoteBoard>(std::make_unique<ScriptedLink>(shared, true), settings, id, 0,
                                             [this] { return now; });
    }
    void push(std::vector<std::uint8_t> frame) { shared->frames.push_back(std::move(frame)); }
};

BlockHeader header(std::uint32_t stream, std::uint64_t first, std::uint32_t count, std::uint32_t flags = 0) {
    BlockHeader h;
    h.stream = stream;
    h.firstIndex = first;
    h.count = count;
    h.flags = flags;
    return h;
}

// Ramp bytes for samples [first, first + count).
std::vector<std::uint8_t> ramp_bytes(std::uint64_t first, std::uint32_t count) {
    std::vector<std::int16_t> s(count);
    for (std::uint32_t i = 0; i < count; ++i) s[i] = ramp_sample(first + i);
    const std::vector<std::uint8_t> b = encode_block(header(1, first, count), s.data());
    return {b.begin() + kBlockHeaderBytes, b.end()};
}

TEST(BlockStream, TurnsBlocksIntoReadsAndCountsEverySampleThatNeverCame) {
    struct Block {
        std::uint32_t stream;
        std::uint64_t first;
        std::uint32_t count;
        std::uint32_t flags;
    };
    const struct {
        const char* what;
        bool fromStart;
        std::vector<Block> blocks;
        std::vector<std::uint64_t> indices;  // the samples a reader gets, in order
        std::uint64_t missed;
        std::int32_t ending;
    } cases[] = {
        {"contiguous", true, {{1, 0, 3, 0}, {1, 3, 2, 0}}, {0, 1, 2, 3, 4}, 0, 0},
        {"a jump is counted", true, {{1, 0, 2, 0}, {1, 5, 2, kFlagGap}}, {0, 1, 5, 6}, 3, 0},
        {"a lost first block is counted", true, {{1, 4, 2, 0}}, {4, 5}, 4, 0},
        {"a follower counts from its first block", false, {{1, 100, 2, 0}, {1, 102, 1, 0}}, {100, 101, 102}, 0, 0},
        {"other streams and idle blocks are ignored",
         true,
         {{2, 0, 2, 0}, {0, 0, 0, kFlagIdle}, {1, 0, 1, 0}},
         {0},
         0,
         0},
        {"a repeated block gives only what is new", true, {{1, 0, 3, 0}, {1, 1, 4, 0}}, {0, 1, 2, 3, 4}, 0, 0},
        {"end of stream", true, {{1, 0, 2, kFlagEndOfStream}, {1, 2, 2, 0}}, {0, 1}, 0, -1},
        {"ring overflow", true, {{1, 0, 1, kFlagRingOverflow | kFlagEndOfStream}}, {0}, 0, -2},
        {"transfer fault", true, {{1, 0, 1, kFlagTransferFault | kFlagEndOfStream}}, {0}, 0, -3},
        {"stalled", true, {{1, 0, 0, kFlagStalled | kFlagEndOfStream}}, {}, 0, -3},
        {"converter stopped beneath", true, {{1, 0, 2, kFlagNotEnabled | kFlagEndOfStream}}, {0, 1}, 0, -1},
    };
    for (const auto& c : cases) {
        BlockStream s;
        s.begin(1, c.fromStart);
        for (const Block& b : c.blocks) {
            const std::vector<std::uint8_t> bytes = ramp_bytes(b.first, b.count);
            s.take(header(b.stream, b.first, b.count, b.flags), bytes.data());
        }
        // Drained to the end: each drain's samples are consecutive, the
        // stream's samples read_index() - n onwards, so a gap ends a drain.
        std::vector<std::int32_t> got, part(16);
        while (const std::size_t n = s.drain(part.data(), part.size())) {
            for (std::size_t i = 0; i < n; ++i)
                EXPECT_EQ(part[i], ramp_sample(s.read_index() - n + i)) << c.what << ": drain of " << n;
            got.insert(got.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(n));
        }
        std::vector<std::int32_t> want;
        for (const std::uint64_t i : c.indices) want.push_back(ramp_sample(i));
        EXPECT_EQ(got, want) << c.what;
        EXPECT_EQ(s.missed(), c.missed) << c.what;
        EXPECT_EQ(s.ending(), c.ending) << c.what;
    }
    // A follower told where the stream stood counts a jump at its first
    // block, and skips what was sent before it joined.
    BlockStream s;
    s.begin(1, true, 500);
    const std::vector<std::uint8_t> early = ramp_bytes(400, 200), late = ramp_bytes(650, 10);
    s.take(header(1, 400, 200), early.data());
    s.take(header(1, 650, 10), late.data());
    EXPECT_EQ(s.read_index(), 500u) << "before a drain: where the stream stood";
    std::vector<std::int32_t> got(300);
    ASSERT_EQ(s.drain(got.data(), got.size()), 100u) << "a drain stops at the gap";
    EXPECT_EQ(got[0], ramp_sample(500));
    EXPECT_EQ(s.read_index(), 600u);
    ASSERT_EQ(s.drain(got.data(), got.size()), 10u);
    EXPECT_EQ(got[0], ramp_sample(650));
    EXPECT_EQ(s.read_index(), 660u);
    EXPECT_EQ(s.missed(), 50u);
}

TEST(BlockStream, SplitsBlocksAtTheCallersCapacityAndKeepsTheRest) {
    BlockStream s;
    s.begin(7, true);
    const std::vector<std::uint8_t> a = ramp_bytes(0, 5), b = ramp_bytes(5, 5);
    s.take(header(7, 0, 5), a.data());
    EXPECT_TRUE(s.wants_more(6));
    s.take(header(7, 5, 5), b.data());
    EXPECT_FALSE(s.wants_more(6));
    std::vector<std::int32_t> out(6);
    for (const std::size_t want : {std::size_t{6}, std::size_t{4}, std::size_t{0}}) {
        const std::size_t n = s.drain(out.data(), out.size());
        ASSERT_EQ(n, want);
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(out[i], ramp_sample(10 - s.held() - n + i));
    }
    s.leave();
    EXPECT_EQ(s.stream(), 7u);  // still known after leaving, for the tool's report
}

TEST(RemoteBoard, SendsEachCallAsItsRequestAndPassesTheLibrarysResultOn) {
    Fixture f;
    f.shared->server.results = {{"inb", 0x45}, {"di", 0x1234}, {"counter-read", 812}, {"pulse-run", -1}};
    auto b = f.board();
    ASSERT_TRUE(b->open());
    const struct {
        std::function<std::int32_t()> call;
        const char* request;
        std::int32_t result;
    } cases[] = {
        {[&] { return b->inb(3); }, "kv318/1 inb client=test.1@here board=0 reg=3", 0x45},
        {[&] { return b->outb(4, 0x7F); }, "kv318/1 outb client=test.1@here board=0 reg=4 value=127", 0},
        {[&] { return b->di(); }, "kv318/1 di client=test.1@here board=0", 0x1234},
        {[&] { return b->do_write(0xA5); }, "kv318/1 do client=test.1@here board=0 value=165", 0},
        {[&] { return b->counter_run(); }, "kv318/1 counter-run client=test.1@here board=0", 0},
        {[&] { return b->counter_read(); }, "kv318/1 counter-read client=test.1@here board=0", 812},
        {[&] { return b->pulse_run(1, 9); }, "kv318/1 pulse-run client=test.1@here board=0 mode=1 divisor=9", -1},
        {[&] { return b->pulse_stop(); }, "kv318/1 pulse-stop client=test.1@here board=0", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), c.result) << c.request;
        EXPECT_EQ(f.shared->server.requests.back(), c.request);
    }
    char text[KV318_INFO_BYTES + 8];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(b->info(text), 0);
    EXPECT_EQ(std::string(text), "KV318 FAKE   REV 1");
    EXPECT_EQ(text[KV318_INFO_BYTES - 1], '\0');
    EXPECT_EQ(text[KV318_INFO_BYTES], 'x');  // exactly the library's 70 bytes
    EXPECT_EQ(f.shared->server.requests.front(), "kv318/1 hello client=test.1@here");
}

TEST(RemoteBoard, StreamsTheRampItStartedAndStopsIt) {
    Fixture f;
    f.settings.clockHz = 3'000'000;
    f.settings.fifoBytes = 1024;
    auto b = f.board();
    ASSERT_TRUE(b->open());
    const std::int32_t flags[4] = {1, 0, 1, 0};
    EXPECT_EQ(b->start(false, flags, 7), -1) << "no block heard yet: the subscription is not known to hold";
    EXPECT_TRUE(b->report().gone);
    EXPECT_EQ(b->report().failure, silence_text(f.settings));

    auto c = f.board();
    f.push(f.shared->server.block(0));  // an idle block proves the subscription
    ASSERT_EQ(c->start(false, flags, 7), 0) << c->report().failure;
    EXPECT_EQ(f.shared->server.requests.back(),
              "kv318/1 start client=test.1@here board=0 mode=stream f1=1 f2=0 f3=1 f4=0 divider=7 clock=3000000 "
              "fifo=1024");
    for (int i = 0; i < 4; ++i) f.push(f.shared->server.block(1000));
    std::vector<std::int32_t> out(pipeline::kReadCapacity);
    std::uint64_t index = 0;
    while (index < 4000) {
        const std::int32_t n = c->read(out.data(), 1500);
        ASSERT_GT(n, 0);
        for (std::int32_t i = 0; i < n; ++i) ASSERT_EQ(out[static_cast<std::size_t>(i)], ramp_sample(index++));
    }
    EXPECT_EQ(c->read(out.data(), 1500), 0);
    EXPECT_EQ(c->stop(), 0);
    EXPECT_EQ(f.shared->server.requests.back(), "kv318/1 stop client=test.1@here board=0");
    const RemoteReport r = c->report();
    EXPECT_EQ(r.stream, 1u);
    EXPECT_EQ(r.missed, 0u);
    EXPECT_EQ(r.clockHz, 3'000'000u);
    EXPECT_EQ(r.divider, 7u);
}

TEST(RemoteBoard, RefusesStartsAndControlWhileAnotherClientControlsTheBoard) {
    Fixture f;
    auto first = f.board(false, "first.1@a");
    auto second = f.board(false, "second.2@b");
    ASSERT_TRUE(first->open() && second->open());
    const std::int32_t flags[4] = {};
    f.push(f.shared->server.block(0));
    ASSERT_EQ(first->start(false, flags, 50), 0);
    f.push(f.shared->server.block(0));
    EXPECT_EQ(second->start(true, flags, 50), -1);
    EXPECT_TRUE(second->report().busy);
    EXPECT_NE(second->report().failure.find("controlled by first.1@a"), std::string::npos) << second->report().failure;
    EXPECT_EQ(second->do_write(1), -1);
    EXPECT_NE(second->report().failure.find("controlled by first.1@a"), std::string::npos);
    EXPECT_EQ(second->di(), 0) << "anyone may read the inputs";

    // The library's own refusal passes on unchanged and is not "busy".
    Fixture g;
    g.shared->server.startResult = -1;
    auto lone = g.board();
    ASSERT_TRUE(lone->open());
    g.push(g.shared->server.block(0));
    EXPECT_EQ(lone->start(false, flags, 50), -1);
    EXPECT_FALSE(lone->report().busy);
    EXPECT_EQ(lone->report().failure, "KV318_AD returned -1 on kv318-server at tcp://fake:6318");
}

TEST(RemoteBoard, FollowsARunningStreamAndSaysWhenThereIsNone) {
    Fixture f;
    auto follower = f.board(true, "f.1@h");
    ASSERT_TRUE(follower->open());
    const std::int32_t flags[4] = {};
    f.push(f.shared->server.block(0));
    EXPECT_EQ(follower->start(false, flags, 2), -1);
    EXPECT_EQ(follower->report().failure,
              "no stream runs on board 0 of kv318-server at tcp://fake:6318, so there is none to follow");

    auto controller = f.board(false, "c.1@h");
    ASSERT_TRUE(controller->open());
    f.push(f.shared->server.block(0));
    ASSERT_EQ(controller->start(false, flags, 50), 0);
    f.shared->server.block(700);  // made before the follower joined: not its business
    f.shared->server.clockHz = 2'000'000;
    f.push(f.shared->server.block(100));  // proves the subscription; made before the join, so not counted
    ASSERT_EQ(follower->start(false, flags, 2), 0);
    EXPECT_EQ(follower->report().divider, 50u) << "the stream's divider, not the one given";
    const std::size_t before = f.shared->server.requests.size();
    f.push(f.shared->server.block(300));
    f.push(f.shared->server.block(300, 0, 250));  // the follower fell behind: 250 lost
    EXPECT_EQ(follower->report().nextIndex, 800u) << "where the stream stood at the join";
    std::vector<std::int32_t> out(1000);
    // A read stops at the gap, so the stream's index of each read's first
    // sample is nextIndex minus its count.
    ASSERT_EQ(follower->read(out.data(), out.size()), 300);
    EXPECT_EQ(out[0], ramp_sample(800));
    EXPECT_EQ(follower->report().nextIndex, 1100u);
    ASSERT_EQ(follower->read(out.data(), out.size()), 300);
    EXPECT_EQ(out[0], ramp_sample(1350));
    EXPECT_EQ(follower->report().nextIndex, 1650u);
    EXPECT_EQ(follower->report().missed, 250u);
    EXPECT_EQ(follower->stop(), 0);
    EXPECT_EQ(f.shared->server.requests.size(), before) << "a follower leaves without a word";
    EXPECT_TRUE(f.shared->server.running);

    // The controller's stop ends the follower's stream once its samples are read.
    auto late = f.board(true, "l.1@h");
    ASSERT_TRUE(late->open());
    f.push(f.shared->server.block(0, 0, 0));
    ASSERT_EQ(late->start(false, flags, 2), 0);
    f.push(f.shared->server.block(10));
    ASSERT_EQ(controller->stop(), 0);
    EXPECT_EQ(late->read(out.data(), out.size()), 10);
    EXPECT_EQ(late->read(out.data(), out.size()), -1);
    EXPECT_TRUE(late->report().ended);
    EXPECT_EQ(late->report().failure,
              "stream 1 of board 0 on kv318-server at tcp://fake:6318 ended: its controller "
              "stopped it");
}

// A board the server lost (its cable pulled): every call and the stream's
// end give the server's words, whoever asks.
TEST(RemoteBoard, ABoardTheServerLostGivesTheServersWordsForIt) {
    const std::string words = "board 0 is disconnected since 10:11:12; kv318-server will take it back when it returns";
    const std::int32_t flags[4] = {};
    std::vector<std::int32_t> out(1000);
    const struct {
        const char* what;
        // The call made once the board is gone; its result.
        std::function<std::int32_t(RemoteBoard&)> call;
        std::int32_t result;
    } cases[] = {
        {"start", [&](RemoteBoard& b) { return b.start(false, flags, 50); }, -1},
        {"info",
         [](RemoteBoard& b) {
             char text[KV318_INFO_BYTES + 1] = {};
             return b.info(text);
         },
         -1},
        {"do", [](RemoteBoard& b) { return b.do_write(1); }, -1},
        {"di", [](RemoteBoard& b) { return b.di(); }, 0xFFFF},
        {"a follower's join", [&](RemoteBoard& b) { return b.start(false, flags, 50); }, -1},
    };
    for (const auto& c : cases) {
        Fixture f;
        auto b = f.board(std::string(c.what) == "a follower's join");
        ASSERT_TRUE(b->open()) << c.what;
        f.shared->server.pull(words);
        f.push(f.shared->server.block(0));
        EXPECT_EQ(c.call(*b), c.result) << c.what;
        EXPECT_EQ(b->report().failure, words) << c.what;
        EXPECT_TRUE(b->report().disconnected) << c.what;
        EXPECT_FALSE(b->report().gone) << c.what << ": the server itself still answers";
    }

    // A stream the board's loss ended, to its controller and to a follower
    // (the blocks go to one of them): its samples first, then the words.
    for (const bool follow : {false, true}) {
        Fixture f;
        auto controller = f.board(false, "c.1@h");
        auto follower = f.board(true, "f.1@h");
        ASSERT_TRUE(controller->open() && follower->open());
        f.push(f.shared->server.block(0));
        ASSERT_EQ(controller->start(false, flags, 50), 0);
        f.push(f.shared->server.block(0));
        if (follow) {
            ASSERT_EQ(follower->start(false, flags, 50), 0);
        }
        RemoteBoard& b = follow ? *follower : *controller;
        f.push(f.shared->server.block(200));
        f.shared->server.pull(words);
        for (auto& frame : f.shared->server.published) f.push(std::move(frame));
        f.shared->server.published.clear();
        ASSERT_EQ(b.read(out.data(), out.size()), 200) << b.client_id();
        for (std::size_t i = 0; i < 200; ++i) ASSERT_EQ(out[i], ramp_sample(i)) << b.client_id();
        EXPECT_EQ(b.read(out.data(), out.size()), -3) << b.client_id();
        EXPECT_EQ(b.report().failure, words) << b.client_id();
        EXPECT_TRUE(b.report().disconnected) << b.client_id();
        // Asked once: a read after that gives the same words at once.
        const std::size_t asked = f.shared->server.requests.size();
        EXPECT_EQ(b.read(out.data(), out.size()), -3) << b.client_id();
        EXPECT_EQ(b.report().failure, words) << b.client_id();
        EXPECT_EQ(f.shared->server.requests.size(), asked) << b.client_id();
        EXPECT_EQ(b.stop(), 0) << b.client_id();
        EXPECT_EQ(b.report().failure, words) << b.client_id();
    }
}

TEST(RemoteBoard, ASilentServerFailsTheReadAndEveryLaterCallAtOnce) {
    Fixture f;
    auto b = f.board();
    ASSERT_TRUE(b->open());
    const std::int32_t flags[4] = {};
    f.push(f.shared->server.block(0));
    ASSERT_EQ(b->start(false, flags, 50), 0);
    std::vector<std::int32_t> out(100);
    // A caller away for longer than the limit (a process stopped with
    // Ctrl-Z) finds the blocks not yet through: its pause is not silence.
    f.now += std::chrono::seconds(10);
    EXPECT_EQ(b->read(out.data(), out.size()), 0) << "back from a pause";
    f.push(f.shared->server.block(30));
    EXPECT_EQ(b->read(out.data(), out.size()), 30);
    // Silence heard while reading every 100 ms is the server's.
    for (int ms = 100; ms <= kServerSilenceMs; ms += 100) {
        f.now += std::chrono::milliseconds(100);
        ASSERT_EQ(b->read(out.data(), out.size()), 0) << "silent for " << ms << " ms: not yet gone";
    }
    f.now += std::chrono::milliseconds(1);
    EXPECT_EQ(b->read(out.data(), out.size()), -3);
    EXPECT_EQ(b->report().failure, silence_text(f.settings));
    const std::size_t sent = f.shared->server.requests.size();
    EXPECT_EQ(b->inb(0), -1);
    EXPECT_EQ(b->stop(), 0);
    b->close();
    EXPECT_EQ(f.shared->server.requests.size(), sent) << "nothing more is sent to a server that went away";
}

TEST(RemoteBoard, ReadsTheServersStatisticsAsTheLibraryWouldGiveThem) {
    Fixture f;
    auto b = f.board();
    ASSERT_TRUE(b->open());
    KV318_STREAM_STATS s{};
    s.size = sizeof s;
    ASSERT_EQ(b->stats(&s), 0) << b->report().failure;
    EXPECT_EQ(s.size, sizeof s);
    EXPECT_EQ(s.mode, static_cast<std::uint32_t>(KV318_STATS_STREAM));
    EXPECT_EQ(s.bytes_drained, 4000u);
    EXPECT_EQ(s.longest_gap_us, 9000u);
    EXPECT_EQ(s.gap_histogram[0], 7u);
    EXPECT_EQ(s.gap_histogram[13], 3u);
    // An older caller's smaller structure: whole fields only, the rest untouched.
    KV318_STREAM_STATS small{};
    small.size = 16;
    small.ticks = 99;
    ASSERT_EQ(b->stats(&small), 0);
    EXPECT_EQ(small.bytes_drained, 4000u);
    EXPECT_EQ(small.ticks, 99u);

    Message reply;
    reply.set("mode", "stream").set("bytes-drained", 1).set("ticks", 1).set("drains", 1);
    reply.set("top-level-drains", 0).set("time-bound-drains", 0).set("ring-high-water", 0).set("longest-gap-us", 0);
    for (const char* gaps : {"1,2", "",
                             "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,"
                             "30,31,32,33"}) {
        reply.set("gaps", gaps);
        EXPECT_FALSE(stats_from_reply(reply, &s)) << "gaps=" << gaps;
    }
}

}  // namespace
}  // namespace kv318::remote
