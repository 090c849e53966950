// The scope controller both windows share, against a scripted board: which
// changes restart a run, how a failure ends one, and the board not found.
#include <gtest/gtest.h>

#include <cstdio>

#include <string>

#include "fake_board.h"
#include "scope_controller.h"
#include "tick_until.h"
#include "wait.h"

namespace kv318::scope {
namespace {

using cli::test::FakeBoard;

ScopeSettings base() {
    ScopeSettings s;
    s.divider = 20;
    s.secondsPerDiv = 1e-3;
    s.mode = analysis::TriggerMode::Normal;
    return s;
}

TEST(ScopeController, OnlyAcquisitionSettingsRestartARun) {
    struct Case {
        const char* name;
        void (*change)(ScopeSettings*);
        int starts;  // KV318_AD calls in all
    };
    const Case cases[] = {
        {"scale", [](ScopeSettings* s) { s->voltsPerDiv = 0.5; }, 1},
        {"offset", [](ScopeSettings* s) { s->offsetVolts = 1; }, 1},
        {"level", [](ScopeSettings* s) { s->levelVolts = 1; }, 2},
        {"edge", [](ScopeSettings* s) { s->edge = analysis::Edge::Falling; }, 2},
        {"time base", [](ScopeSettings* s) { s->secondsPerDiv = 2e-3; }, 2},
        {"divider", [](ScopeSettings* s) { s->divider = 40; }, 2},
        {"pre-trigger", [](ScopeSettings* s) { s->pretriggerPercent = 10; }, 2},
    };
    const pipeline::BoardApi api = cli::test::fake_api();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBoard::reset();
        ScopeController sc(api, base(), nullptr);
        sc.run();
        ASSERT_TRUE(sc.running());
        ScopeSettings s = sc.settings();
        c.change(&s);
        sc.apply(s);
        ASSERT_TRUE(tick_until(sc, [&] { return !sc.restarting(); }));
        EXPECT_TRUE(sc.running());
        sc.close();
        // After close() the worker has ended: its calls are all in.
        EXPECT_EQ(FakeBoard::get().starts, c.starts);
        EXPECT_EQ(FakeBoard::get().stops, c.starts);
        EXPECT_EQ(FakeBoard::get().lastDivider, s.divider);
    }
}

// What the board lock file says, as pipeline::board_lock_held would.
bool lock_free(std::int32_t, std::uint32_t*) { return false; }
bool held_by_4242(std::int32_t, std::uint32_t* pid) {
    *pid = 4242;
    return true;
}

TEST(ScopeController, AFailureEndsTheRunAndIsNamed) {
    struct Case {
        std::int32_t startResult;
        std::int32_t read;
        bool (*lockHeld)(std::int32_t, std::uint32_t*);
        const char* says;
        int stops;
    };
    const Case cases[] = {
        {0, -1, nullptr, "acquisition not enabled: the board reports its converter stopped", 1},
        {0, -2, nullptr, "ring overflow: the reader fell behind and samples were lost", 1},
        {0, -3, nullptr, "bulk transfer failed: the board stopped delivering samples", 1},
        {-1, 0, nullptr, "board 0: KV318_AD failed (-1): acquisition did not start; press Run to retry", 0},
        {-1, 0, lock_free, "board 0: KV318_AD failed (-1): acquisition did not start; press Run to retry", 0},
        {-1, 0, held_by_4242, "board 0 is streaming in another process (pid 4242); press Run to retry", 0},
    };
    const pipeline::BoardApi api = cli::test::fake_api();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        FakeBoard::reset();
        FakeBoard::get().startResult = c.startResult;
        FakeBoard::get().reads = {500, c.read};
        ScopeController sc(api, base(), nullptr, c.lockHeld);
        sc.run();
        ASSERT_TRUE(tick_until(sc, [&] { return !sc.message().empty(); }));
        EXPECT_EQ(sc.message(), c.says);
        EXPECT_FALSE(sc.running());
        EXPECT_EQ(FakeBoard::get().stops, c.stops);
        // The picture says so too, in the failure colour, on as many
        // lines as it takes.
        const DrawList d = sc.view(800, 600);
        std::string red;
        for (const Text& t : d.texts) {
            if (t.color == kFailureText) red += (red.empty() ? "" : " ") + t.text;
        }
        EXPECT_EQ(d.texts.back().color, kFailureText);
        EXPECT_NE(red.find(c.says), std::string::npos) << red;
    }
}

std::int32_t KV318_CALL no_board(std::int32_t) { return -1; }
std::string hint(int board) { return " (no driver for board " + std::to_string(board) + ")"; }

TEST(ScopeController, BoardNotFoundGivesTheHintAndStartsNothing) {
    FakeBoard::reset();
    pipeline::BoardApi api = cli::test::fake_api();
    api.open = no_board;
    ScopeController sc(api, base(), hint);
    sc.run();
    EXPECT_EQ(sc.message(), "board 0: not found (no driver for board 0); press Run to try again");
    EXPECT_FALSE(sc.running());
    EXPECT_EQ(FakeBoard::get().starts, 0);
}

// A board table of kv318-server as the scope sees it: what its
// KV318_ServedStatus reports, scripted.
std::string remoteFailure;
std::int32_t KV318_CALL scripted_status(std::int32_t, KV318_SERVED_STATUS* status) {
    std::snprintf(status->url, sizeof status->url, "tcp://lab:6318");
    status->flags = KV318_SERVED_FOLLOWING;
    status->stream = 3;
    std::snprintf(status->failure, sizeof status->failure, "%s", remoteFailure.c_str());
    return 0;
}

TEST(ScopeController, ThroughAServerSaysWhoseStreamItShowsAndWhoRefusedIt) {
    pipeline::BoardApi api = cli::test::fake_api();
    api.servedStatus = scripted_status;
    const struct {
        std::int32_t startResult;
        const char* failure;
        const char* says;  // the message; empty: the run goes on
    } cases[] = {
        {0, "", ""},
        {-1, "board 0 on kv318-server at tcp://lab:6318 is controlled by kv318-cli.7@lab, which is streaming it",
         "board 0 on kv318-server at tcp://lab:6318 is controlled by kv318-cli.7@lab, which is streaming it; press "
         "Run to retry"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        FakeBoard::reset();
        FakeBoard::get().startResult = c.startResult;
        remoteFailure = c.failure;
        ScopeController sc(api, base(), nullptr, held_by_4242);
        sc.run();
        if (c.startResult != 0) {
            ASSERT_TRUE(tick_until(sc, [&] { return !sc.message().empty(); }));
            EXPECT_EQ(sc.message(), c.says) << "the server's words, not the local lock file's";
            continue;
        }
        ASSERT_TRUE(tick_until(sc, [&] { return !sc.source().empty(); }));
        EXPECT_EQ(sc.source(), "following stream 3 of kv318-server at tcp://lab:6318");
        std::string all;
        for (const Text& t : sc.view(1600, 600).texts) all += t.text + "\n";
        EXPECT_NE(all.find("following stream 3 of kv318-server at tcp://lab:6318"), std::string::npos) << all;
        sc.close();
    }
}

}  // namespace
}  // namespace kv318::scope
