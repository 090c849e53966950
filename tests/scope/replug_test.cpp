// kv318-scope on a board that goes away and comes back, against a board
// whose cable the test pulls (PluggedBoard): the scope says so, closes the
// dead handle, opens the board again at a modest pace and carries on.
#include <gtest/gtest.h>

#include <string>

#include "disconnection.h"
#include "fake_board.h"
#include "scope_controller.h"
#include "wait.h"

namespace kv318::scope {
namespace {

using cli::test::FakeBoard;
using cli::test::PluggedBoard;

constexpr std::time_t kPulledAt = 1'700'000'000;

ScopeSettings base() {
    ScopeSettings s;
    s.divider = 20;
    s.secondsPerDiv = 1e-3;
    s.mode = analysis::TriggerMode::Roll;
    return s;
}

// The window's timer with a clock of its own that only moves on.
struct Timer {
    ScopeController& sc;
    double now = 0;
    template <class Pred>
    bool until(Pred done) {
        return test::wait_until([&] {
            sc.tick(now += 0.03);
            return done();
        });
    }
    void run_for(double seconds) {
        for (const double end = now + seconds; now < end;) sc.tick(now += 0.03);
    }
};

int gTries = 0;
std::int32_t KV318_CALL counted_open(std::int32_t board) {
    ++gTries;
    return cli::test::plugged_open(board);
}

TEST(ScopeReplug, ABoardThatGoesAwayIsNamedAndTheRunCarriesOnWhenItReturns) {
    const struct {
        const char* what;
        bool pulledBeforeRun;   // else while the trace runs
        bool stoppedMeanwhile;  // the user pressed Stop while it was away
    } cases[] = {
        {"pulled while running", false, false},
        {"pulled before Run", true, false},
        {"stopped while away", false, true},
    };
    const std::string says = "board 0 is disconnected since " + pipeline::local_clock_text(kPulledAt) +
                             "; kv318-scope will carry on when it returns";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PluggedBoard::reset();
        pipeline::BoardApi api = cli::test::plugged_api();
        api.open = counted_open;
        ScopeController sc(api, base(), nullptr);
        sc.setWallClock([] { return kPulledAt; });
        Timer timer{sc};
        FakeBoard::get().reads = {500, 500};
        if (c.pulledBeforeRun) {
            // The board opened once, for a run that has ended.
            sc.run();
            ASSERT_TRUE(timer.until([&] { return sc.hasFrame(); }));
            sc.stop();
            ASSERT_TRUE(timer.until([&] { return !sc.running(); }));
            PluggedBoard::gone() = true;
            sc.run();
        } else {
            sc.run();
            ASSERT_TRUE(timer.until([&] { return sc.hasFrame(); }));
            PluggedBoard::gone() = true;
        }
        ASSERT_TRUE(timer.until([&] { return sc.disconnected(); }));
        EXPECT_EQ(sc.message(), says);
        EXPECT_FALSE(sc.running());
        EXPECT_EQ(PluggedBoard::closes().load(), 1) << "the dead handle is closed";
        if (c.stoppedMeanwhile) sc.stop();

        // Ten seconds away: the board is looked for twice a second, and the
        // words stay.
        gTries = 0;
        timer.run_for(10);
        EXPECT_GE(gTries, 10'000 / pipeline::kReopenMs - 1);
        EXPECT_LE(gTries, 10'000 / pipeline::kReopenMs + 1);
        EXPECT_EQ(sc.message(), says);
        const int startsWhileAway = FakeBoard::get().starts;

        // Back: the trace goes on on the new handle, or waits for Run.
        PluggedBoard::gone() = false;
        // No reader runs while the board is away, so the fake may be read
        // and refilled here; once the new run starts, only the reader's
        // thread touches it until the scope is closed.
        const std::uint64_t lastAfterReturn = FakeBoard::get().next + 1000 - 1;
        FakeBoard::get().reads = {500, 500};
        ASSERT_TRUE(timer.until([&] { return !sc.disconnected(); }));
        EXPECT_EQ(sc.message(), "");
        if (c.stoppedMeanwhile) {
            timer.run_for(1);
            EXPECT_FALSE(sc.running());
            EXPECT_EQ(FakeBoard::get().starts, startsWhileAway);
            sc.run();
        }
        // The new run's samples reach the trace: its newest is the ramp's last.
        ASSERT_TRUE(timer.until(
            [&] { return sc.hasFrame() && sc.frame().samples.back() == FakeBoard::ramp(lastAfterReturn); }));
        EXPECT_TRUE(sc.running());
        sc.close();
        EXPECT_EQ(FakeBoard::get().starts, startsWhileAway + 1);
        EXPECT_TRUE(FakeBoard::get().reads.empty());
        EXPECT_EQ(sc.message(), "");
    }
}

// Another board chosen while the first is away: the scope stops waiting
// for it and runs the one chosen.
TEST(ScopeReplug, ChoosingAnotherBoardEndsTheWait) {
    PluggedBoard::reset();
    const pipeline::BoardApi api = cli::test::plugged_api();
    ScopeController sc(api, base(), nullptr);
    Timer timer{sc};
    FakeBoard::get().reads = {500};
    sc.run();
    ASSERT_TRUE(timer.until([&] { return sc.hasFrame(); }));
    PluggedBoard::gone() = true;
    ASSERT_TRUE(timer.until([&] { return sc.disconnected(); }));
    PluggedBoard::gone() = false;
    ScopeSettings other = sc.settings();
    other.board = 1;
    sc.apply(other);
    EXPECT_FALSE(sc.disconnected());
    EXPECT_EQ(sc.message(), "");
    ASSERT_TRUE(timer.until([&] { return sc.running(); }));
    sc.close();
}

}  // namespace
}  // namespace kv318::scope
