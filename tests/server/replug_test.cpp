// A served board that goes away and comes back: the server notices it,
// ends its stream saying why, refuses requests with the same words, and
// serves it again once it answers, against a board whose cable the test
// pulls (PluggedBoard).
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "board_pool.h"
#include "bytes.h"
#include "control.h"
#include "disconnection.h"
#include "fake_board.h"
#include "wait.h"

namespace kv318::server {
namespace {

using cli::test::FakeBoard;
using cli::test::PluggedBoard;

constexpr std::time_t kPulledAt = 1'700'000'000;

class Sink : public BlockSink {
public:
    void publish(const std::vector<std::uint8_t>& bytes) override {
        remote::BlockHeader h;
        const std::uint8_t* s = nullptr;
        std::string error;
        ASSERT_TRUE(remote::decode_block(bytes.data(), bytes.size(), &h, &s, &error)) << error;
        std::lock_guard<std::mutex> lock(mutex_);
        headers_.push_back(h);
        for (std::uint32_t i = 0; i < h.count; ++i) samples_[h.stream].push_back(get_s16le(s + 2 * i));
    }
    std::vector<remote::BlockHeader> headers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return headers_;
    }
    std::vector<std::int32_t> samples(std::uint32_t stream) {
        std::lock_guard<std::mutex> lock(mutex_);
        return samples_[stream];
    }
    bool ended(std::uint32_t stream) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& h : headers_) {
            if (h.stream == stream && (h.flags & remote::kFlagEndOfStream) != 0) return true;
        }
        return false;
    }

private:
    std::mutex mutex_;
    std::vector<remote::BlockHeader> headers_;
    std::vector<std::int32_t> samples_[4];
};

std::string field(const remote::Message& m, const char* key) {
    const std::string* v = m.find(key);
    return v == nullptr ? "<none>" : *v;
}

// The words every client shows for board 0 pulled at kPulledAt.
std::string gone_text() {
    return "board 0 is disconnected since " + pipeline::local_clock_text(kPulledAt) +
           "; kv318-server will take it back when it returns";
}

struct Served {
    pipeline::BoardApi api = cli::test::plugged_api();
    Sink sink;
    std::unique_ptr<BoardHost> host;
    std::unique_ptr<Control> control;
    std::int64_t now = 0;

    Served() {
        PluggedBoard::reset();
        FakeBoard::get().identity = "KV318 board";
        host = std::make_unique<BoardHost>(api, api.open(0), 0, sink);
        host->set_wall_clock([] { return kPulledAt; });
        control = std::make_unique<Control>(std::vector<BoardHost*>{host.get()}, "1@test");
    }
    ~Served() { control->stop_all(); }
    remote::Message ask(const std::string& client, const std::string& rest) {
        remote::Message reply;
        std::string error;
        const std::string text =
            control->answer("kv318/1 " + rest + " client=" + client, Caller{"connection of " + client, ""}, now);
        EXPECT_TRUE(remote::parse_reply(text, &reply, &error)) << text;
        return reply;
    }
    // The server's loop for `ms`, in steps of its serving wait.
    std::vector<BoardChange> run_for(std::int64_t ms) {
        std::vector<BoardChange> changes;
        for (const std::int64_t end = now + ms; now < end;) {
            now += 50;
            const BoardChange c = host->watch(now);
            if (c != BoardChange::kNone) changes.push_back(c);
            control->tick(now);
        }
        return changes;
    }
};

// How the board is lost: idle (the probe finds it), streaming (a read
// fails and the board does not answer after it), or a request that fails.
TEST(ServerReplug, ABoardThatGoesAwayIsRefusedInWordsAndServedAgainWhenItReturns) {
    enum class While { kIdle, kStreaming, kStarting, kReadingIdentity };
    const struct {
        const char* what;
        While when;
        std::uint32_t lastFlags;  // of stream 1's last block; 0: no stream ran
    } cases[] = {
        {"idle", While::kIdle, 0},
        {"streaming", While::kStreaming,
         remote::kFlagEndOfStream | remote::kFlagTransferFault | remote::kFlagDisconnected},
        {"a start", While::kStarting, 0},
        {"an identity read", While::kReadingIdentity, 0},
    };
    for (const auto& c : cases) {
        Served s;
        FakeBoard::get().reads = {100, 0, 50};
        if (c.when == While::kStreaming) {
            ASSERT_EQ(s.ask("a", "start board=0 mode=stream divider=50").word, "ok") << c.what;
            ASSERT_TRUE(test::wait_until([&] { return s.sink.samples(1).size() == 150; })) << c.what;
        }
        PluggedBoard::gone() = true;
        if (c.when == While::kStreaming) {
            ASSERT_TRUE(test::wait_until([&] { return s.host->ended(); })) << c.what;
            EXPECT_EQ(s.run_for(50), std::vector<BoardChange>{BoardChange::kLost}) << c.what;
            EXPECT_TRUE(s.sink.ended(1)) << c.what;
        } else if (c.when == While::kIdle) {
            // Noticed by the probe, within about a second.
            EXPECT_EQ(s.run_for(kProbeMs), std::vector<BoardChange>{BoardChange::kLost}) << c.what;
        } else {
            const char* request = c.when == While::kStarting ? "start board=0 mode=stream divider=50" : "info board=0";
            const remote::Message r = s.ask("a", request);
            EXPECT_EQ(field(r, "code") + ": " + field(r, "text"), "disconnected: " + gone_text()) << c.what;
        }
        EXPECT_FALSE(s.host->connected()) << c.what;
        EXPECT_EQ(PluggedBoard::closes().load(), 1) << c.what << ": the dead handle is closed";
        s.run_for(50);

        // Every client is told the same, and nobody controls the board.
        const remote::Message st = s.ask("b", "status board=0");
        EXPECT_EQ(field(st, "state") + " controller=" + field(st, "controller") + " text=" + field(st, "text"),
                  "disconnected controller= text=" + gone_text())
            << c.what;
        for (const char* request : {"start board=0 mode=stream divider=50", "info board=0", "di board=0",
                                    "do board=0 value=1", "stop board=0", "stats board=0"}) {
            const remote::Message r = s.ask("b", request);
            EXPECT_EQ(field(r, "code") + ": " + field(r, "text"), "disconnected: " + gone_text())
                << c.what << ": " << request;
        }
        // Its followers keep hearing the server, and hear that the board is away.
        const auto headers = s.sink.headers();
        ASSERT_FALSE(headers.empty()) << c.what;
        EXPECT_EQ(headers.back().flags, remote::kFlagIdle | remote::kFlagDisconnected) << c.what;
        if (c.lastFlags != 0) {
            std::uint32_t last = 0;
            for (const auto& h : headers) {
                if (h.stream == 1) last = h.flags;
            }
            EXPECT_EQ(last, c.lastFlags) << c.what;
        }

        // Still away: nothing changes, whoever asks.
        EXPECT_TRUE(s.run_for(3000).empty()) << c.what;
        EXPECT_EQ(field(s.ask("a", "status board=0"), "state"), "disconnected") << c.what;

        // Back: served again with no restart, under a new stream number.
        PluggedBoard::gone() = false;
        FakeBoard::get().identity = "KV318 board, new";
        EXPECT_EQ(s.run_for(pipeline::kReopenMs), std::vector<BoardChange>{BoardChange::kBack}) << c.what;
        EXPECT_EQ(s.host->identity(), "KV318 board, new") << c.what;
        EXPECT_EQ(field(s.ask("b", "status board=0"), "state"), "idle") << c.what;
        FakeBoard::get().next = 0;
        FakeBoard::get().reads = {30, 20};
        const std::string first = c.lastFlags != 0 ? "2" : "1";
        const remote::Message started = s.ask("b", "start board=0 mode=stream divider=50");
        EXPECT_EQ(started.word + " stream=" + field(started, "stream"), "ok stream=" + first) << c.what;
        const auto stream = static_cast<std::uint32_t>(std::stoul(first));
        ASSERT_TRUE(test::wait_until([&] { return s.sink.samples(stream).size() == 50; })) << c.what;
        const auto samples = s.sink.samples(stream);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            ASSERT_EQ(samples[i], FakeBoard::ramp(i)) << c.what << " sample " << i;
        }
        EXPECT_EQ(s.ask("b", "stop board=0").word, "ok") << c.what;
    }
}

// The status reads and open attempts the board gets, counted.
int gProbes = 0;
int gTries = 0;
std::int32_t KV318_CALL counted_inb(std::int32_t h, std::int32_t reg) {
    ++gProbes;
    return cli::test::plugged_inb(h, reg);
}
std::int32_t KV318_CALL counted_open(std::int32_t b) {
    ++gTries;
    return cli::test::plugged_open(b);
}

// Ten seconds of an idle board, then of an absent one: each is asked about
// once per its period, never in a tight loop.
TEST(ServerReplug, AnIdleBoardIsProbedAndAnAbsentOneOpenedAtAModestPace) {
    Served s;
    s.api.inb = counted_inb;
    s.api.open = counted_open;
    gProbes = 0;
    s.run_for(10'000);
    EXPECT_GE(gProbes, 10'000 / kProbeMs - 1);
    EXPECT_LE(gProbes, 10'000 / kProbeMs + 1);
    PluggedBoard::gone() = true;
    s.run_for(kProbeMs);
    ASSERT_FALSE(s.host->connected());
    gTries = 0;
    s.run_for(10'000);
    EXPECT_GE(gTries, 10'000 / pipeline::kReopenMs - 1);
    EXPECT_LE(gTries, 10'000 / pipeline::kReopenMs + 1);
}

std::vector<std::string> names(const remote::Message& m) {
    std::vector<std::string> out;
    const std::string list = field(m, "boards");
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        out.push_back(list.substr(at, comma - at));
        at = comma + 1;
    }
    return out;
}

// The served locks the pool takes: free when g_lockHolder is 0, else
// another server's, that pid's.  Every take is counted.
std::uint32_t g_lockHolder = 0;
std::vector<std::int32_t> g_lockAsked;
ServedLockTake scripted_take(std::int32_t board, const std::string&) {
    g_lockAsked.push_back(board);
    if (g_lockHolder != 0) return {ServedLockTake::Busy, -1, g_lockHolder, ""};
    return {ServedLockTake::Taken, 100 + board, 0, ""};
}
void scripted_release(std::intptr_t) {}
// Board 0 alone, behind its cable.
std::int32_t KV318_CALL board0_open(std::int32_t board) { return board == 0 ? cli::test::plugged_open(board) : -1; }

// A server holds the served lock of every board it opens, at the start and
// after the board came back; a board another server holds is refused
// (named) or skipped and never opened again (probed).
TEST(ServerReplug, EveryBoardOpenedIsHeldUnderItsServedLock) {
    const struct {
        const char* what;
        std::vector<std::int64_t> named;
        bool presentAtStart;
        std::uint32_t holder;  // another server's pid, 0: free
        bool refused;
        const char* complaint;
        int opensAtStart;
        int opensInTheEnd;  // after the board appeared, went away and came back
        std::size_t locksTaken;
    } cases[] = {
        {"named, free, absent at first", {0}, false, 0, false, "", 0, 2, 1},
        {"named, free, there", {0}, true, 0, false, "", 1, 2, 1},
        {"named, another server's", {0}, true, 77, true, "board 0 is served by kv318-server (pid 77)", 0, 0, 1},
        {"probed, free, absent at first", {}, false, 0, false, "", 0, 2, 1},
        {"probed, another server's",
         {},
         true,
         77,
         true,
         "board 0 is served by kv318-server (pid 77); skipped|no board left to serve among boards 0-15",
         1,
         1,
         1},
        {"probed, another server's once it appears",
         {},
         false,
         77,
         false,
         "board 0 is served by kv318-server (pid 77); skipped",
         0,
         1,
         1},
    };
    for (const auto& c : cases) {
        PluggedBoard::reset();
        PluggedBoard::gone() = !c.presentAtStart;
        g_lockHolder = c.holder;
        g_lockAsked.clear();
        pipeline::BoardApi api = cli::test::plugged_api();
        api.open = board0_open;
        Sink sink;
        std::string complaints;
        ServeLocks locks(scripted_take, scripted_release);
        {
            BoardPool pool(
                api, sink, c.named, locks, [](const std::string&) {},
                [&](const std::string& line) { complaints += (complaints.empty() ? "" : "|") + line; },
                [](int) { return std::string(); });
            EXPECT_EQ(pool.refused(), c.refused) << c.what;
            EXPECT_EQ(PluggedBoard::opens().load(), c.opensAtStart) << c.what;
            if (!c.refused) {
                // The board appears (or stays), goes away, comes back.
                std::int64_t now = 0;
                auto run = [&](std::int64_t ms) {
                    for (const std::int64_t end = now + ms; now <= end; now += 50) pool.tick(now);
                };
                PluggedBoard::gone() = false;
                run(pipeline::kReopenMs + kProbeMs);
                PluggedBoard::gone() = true;
                run(2 * kProbeMs);
                PluggedBoard::gone() = false;
                run(pipeline::kReopenMs + kProbeMs);
            }
            EXPECT_EQ(PluggedBoard::opens().load(), c.opensInTheEnd) << c.what;
        }
        EXPECT_EQ(complaints, c.complaint) << c.what;
        // Asked once: held from then on, across the board's coming back.
        EXPECT_EQ(g_lockAsked, std::vector<std::int32_t>(c.locksTaken, 0)) << c.what;
    }
}

// A server started while its boards are absent: a named board is served
// (as disconnected) from the start; with none named, boards are listed as
// they appear.
TEST(ServerReplug, BoardsAbsentAtTheStartAreWaitedForAndServedOnceTheyAnswer) {
    const struct {
        const char* what;
        std::vector<std::int64_t> named;
        const char* listedBefore;
        const char* startLine;
        const char* said;
        std::size_t listedAfter;
    } cases[] = {
        {"named",
         {3},
         "3",
         "waiting for board 3: not found (hint 3); it is served once it answers",
         "serving board 3",
         1},
        {"none named",
         {},
         "",
         "no board found among boards 0-15 (hint 0); waiting for one to answer",
         "serving board 0",
         16},
    };
    for (const auto& c : cases) {
        PluggedBoard::reset();
        PluggedBoard::gone() = true;
        const pipeline::BoardApi api = cli::test::plugged_api();
        Sink sink;
        std::vector<std::string> said;
        g_lockHolder = 0;
        ServeLocks locks(scripted_take, scripted_release);
        BoardPool pool(
            api, sink, c.named, locks, [&](const std::string& line) { said.push_back(line); },
            [](const std::string& line) { ADD_FAILURE() << line; },
            [](int b) { return " (hint " + std::to_string(b) + ")"; });
        Control control(pool.hosts(), "1@test");
        auto ask = [&](const std::string& rest) {
            remote::Message reply;
            std::string error;
            EXPECT_TRUE(remote::parse_reply(control.answer("kv318/1 " + rest + " client=a", Caller{"a", ""}, 0), &reply,
                                            &error));
            return reply;
        };
        EXPECT_EQ(pool.start_lines(), std::vector<std::string>{c.startLine}) << c.what;
        EXPECT_EQ(field(ask("list"), "boards"), c.listedBefore) << c.what;
        const std::string board = c.named.empty() ? "0" : "3";
        const remote::Message refused = ask("info board=" + board);
        EXPECT_EQ(field(refused, "code"), c.named.empty() ? "no-board" : "disconnected") << c.what;
        std::int64_t now = 0;
        for (; now < 3000; now += 50) pool.tick(now);
        EXPECT_TRUE(said.empty()) << c.what;
        PluggedBoard::gone() = false;
        for (const std::int64_t end = now + pipeline::kReopenMs; now <= end; now += 50) pool.tick(now);
        ASSERT_FALSE(said.empty()) << c.what;
        EXPECT_EQ(said.front(), c.said) << c.what;
        EXPECT_EQ(names(ask("hello")).size(), c.listedAfter) << c.what;
        EXPECT_EQ(ask("info board=" + board).word, "ok") << c.what;
        EXPECT_EQ(field(ask("status board=" + board), "state"), "idle") << c.what;
    }
}

}  // namespace
}  // namespace kv318::server
