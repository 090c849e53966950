// The one rule that keeps the scope's settings within what it can show:
// clamps, the 1-2-5 steps at their edges, roll's slow time base, and the
// one tolerance that says a number is a step.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fake_board.h"
#include "scope_controller.h"
#include "scope_settings.h"

namespace kv318::scope {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ScopeSettings, NormaliseClampsEveryFieldAndSnapsEveryScale) {
    // The default rate is 2 MHz / 50 = 40 kS/s: its fastest time base with
    // 10 samples a division is 500 us (250 us is not a step), its slowest
    // 10 s (4 M samples a screen allow 10 s at 40 kS/s).
    const struct {
        const char* name;
        void (*set)(ScopeSettings*);
        bool (*holds)(const ScopeSettings&);
    } cases[] = {
        {"board below", [](ScopeSettings* s) { s->board = -1; }, [](const ScopeSettings& s) { return s.board == 0; }},
        {"board above", [](ScopeSettings* s) { s->board = 300; },
         [](const ScopeSettings& s) { return s.board == 255; }},
        {"divider below", [](ScopeSettings* s) { s->divider = 1; },
         [](const ScopeSettings& s) { return s.divider == KV318_DIVIDER_MIN; }},
        {"divider above", [](ScopeSettings* s) { s->divider = 5000; },
         [](const ScopeSettings& s) { return s.divider == KV318_DIVIDER_MAX; }},
        {"divider at its edges", [](ScopeSettings* s) { s->divider = KV318_DIVIDER_MAX; },
         [](const ScopeSettings& s) { return s.divider == KV318_DIVIDER_MAX; }},
        {"clock of 0", [](ScopeSettings* s) { s->clockHz = 0; }, [](const ScopeSettings& s) { return s.clockHz == 1; }},
        {"clock past a signed count", [](ScopeSettings* s) { s->clockHz = ~0ULL; },
         [](const ScopeSettings& s) { return s.clockHz == 1'000'000'000; }},
        {"FIFO below a chunk", [](ScopeSettings* s) { s->fifoBytes = 0; },
         [](const ScopeSettings& s) { return s.fifoBytes == 16'384; }},
        {"FIFO past a signed count", [](ScopeSettings* s) { s->fifoBytes = ~0ULL; },
         [](const ScopeSettings& s) { return s.fifoBytes == 1u << 30; }},
        {"offset", [](ScopeSettings* s) { s->offsetVolts = 30; },
         [](const ScopeSettings& s) { return s.offsetVolts == 20; }},
        {"offset not a number", [](ScopeSettings* s) { s->offsetVolts = kNaN; },
         [](const ScopeSettings& s) { return s.offsetVolts == 0; }},
        {"level", [](ScopeSettings* s) { s->levelVolts = -9; },
         [](const ScopeSettings& s) { return s.levelVolts == -5; }},
        {"level not a number", [](ScopeSettings* s) { s->levelVolts = kNaN; },
         [](const ScopeSettings& s) { return s.levelVolts == 0; }},
        {"hysteresis", [](ScopeSettings* s) { s->hysteresisVolts = -1; },
         [](const ScopeSettings& s) { return s.hysteresisVolts == 0; }},
        {"pre-trigger", [](ScopeSettings* s) { s->pretriggerPercent = 150; },
         [](const ScopeSettings& s) { return s.pretriggerPercent == 100; }},
        {"hold-off", [](ScopeSettings* s) { s->holdoffSeconds = std::numeric_limits<double>::infinity(); },
         [](const ScopeSettings& s) { return s.holdoffSeconds == 100; }},
        {"screenshot delay", [](ScopeSettings* s) { s->screenshotAfter = -1; },
         [](const ScopeSettings& s) { return s.screenshotAfter == 0; }},
        {"mode out of the list", [](ScopeSettings* s) { s->mode = static_cast<analysis::TriggerMode>(7); },
         [](const ScopeSettings& s) { return s.mode == analysis::TriggerMode::Auto; }},
        {"edge out of the list", [](ScopeSettings* s) { s->edge = static_cast<analysis::Edge>(-1); },
         [](const ScopeSettings& s) { return s.edge == analysis::Edge::Rising; }},
        // Volts per division: 10 mV to 2 V, nearest on a log scale.
        {"volts below the finest", [](ScopeSettings* s) { s->voltsPerDiv = 0.001; },
         [](const ScopeSettings& s) { return s.voltsPerDiv == 0.01; }},
        {"volts above the coarsest", [](ScopeSettings* s) { s->voltsPerDiv = 100; },
         [](const ScopeSettings& s) { return s.voltsPerDiv == 2; }},
        {"volts between steps", [](ScopeSettings* s) { s->voltsPerDiv = 0.3; },
         [](const ScopeSettings& s) { return s.voltsPerDiv == 0.2; }},
        {"volts of 0", [](ScopeSettings* s) { s->voltsPerDiv = 0; },
         [](const ScopeSettings& s) { return s.voltsPerDiv == 0.01; }},
        {"volts not a number", [](ScopeSettings* s) { s->voltsPerDiv = kNaN; },
         [](const ScopeSettings& s) { return s.voltsPerDiv == 1; }},
        {"volts within the tolerance", [](ScopeSettings* s) { s->voltsPerDiv = 0.5 * (1 + 5e-10); },
         [](const ScopeSettings& s) { return s.voltsPerDiv == 0.5; }},
        // Time bases: at 40 kS/s from 500 us to 10 s.
        {"time base below the fastest", [](ScopeSettings* s) { s->secondsPerDiv = 1e-6; },
         [](const ScopeSettings& s) { return same_step(s.secondsPerDiv, 500e-6); }},
        {"time base above the slowest", [](ScopeSettings* s) { s->secondsPerDiv = 60; },
         [](const ScopeSettings& s) { return s.secondsPerDiv == 10; }},
        {"time base typed as 0.01", [](ScopeSettings* s) { s->secondsPerDiv = 0.01; },
         [](const ScopeSettings& s) { return same_step(s.secondsPerDiv, 10e-3); }},
        {"time base not a number", [](ScopeSettings* s) { s->secondsPerDiv = kNaN; },
         [](const ScopeSettings& s) { return same_step(s.secondsPerDiv, 1e-3); }},
        // A faster rate moves the edges: 1 MS/s gives 10 us to 200 ms (the
        // next step, 500 ms a division, would be 5 M samples a screen).
        {"fastest at 1 MS/s", [](ScopeSettings* s) { s->divider = 2, s->secondsPerDiv = 1e-9; },
         [](const ScopeSettings& s) { return same_step(s.secondsPerDiv, 10e-6); }},
        {"slowest at 1 MS/s", [](ScopeSettings* s) { s->divider = 2, s->secondsPerDiv = 10; },
         [](const ScopeSettings& s) { return same_step(s.secondsPerDiv, 0.2); }},
        // Roll moves to 100 ms or slower; where no such step fits a screen,
        // there is no roll.
        {"roll at a fast time base", [](ScopeSettings* s) { s->mode = analysis::TriggerMode::Roll; },
         [](const ScopeSettings& s) {
             return s.mode == analysis::TriggerMode::Roll && same_step(s.secondsPerDiv, 0.1);
         }},
        {"roll at a slow time base",
         [](ScopeSettings* s) { s->mode = analysis::TriggerMode::Roll, s->secondsPerDiv = 2; },
         [](const ScopeSettings& s) { return s.mode == analysis::TriggerMode::Roll && s.secondsPerDiv == 2; }},
        {"roll at 13 MS/s",
         [](ScopeSettings* s) { s->mode = analysis::TriggerMode::Roll, s->clockHz = 26'000'000, s->divider = 2; },
         [](const ScopeSettings& s) {
             return s.mode == analysis::TriggerMode::Auto && same_step(s.secondsPerDiv, 1e-3);
         }},
    };
    for (const auto& c : cases) {
        ScopeSettings s;
        c.set(&s);
        const ScopeSettings once = normalise(s);
        EXPECT_TRUE(c.holds(once)) << c.name;
        // A second pass changes nothing: the windows normalise what the
        // controller normalises again.
        const ScopeSettings twice = normalise(once);
        EXPECT_EQ(twice.secondsPerDiv, once.secondsPerDiv) << c.name;
        EXPECT_EQ(twice.voltsPerDiv, once.voltsPerDiv) << c.name;
        EXPECT_EQ(twice.mode, once.mode) << c.name;
        EXPECT_TRUE(c.holds(twice)) << c.name;
    }
    // Settings already within every range come back as they were.
    ScopeSettings fine;
    fine.secondsPerDiv = 2e-3;
    fine.voltsPerDiv = 0.05;
    fine.levelVolts = 1.25;
    const ScopeSettings kept = normalise(fine);
    EXPECT_EQ(kept.secondsPerDiv, 2e-3);
    EXPECT_EQ(kept.voltsPerDiv, 0.05);
    EXPECT_EQ(kept.levelVolts, 1.25);
    EXPECT_EQ(kept.divider, 50);
}

TEST(ScopeSettings, OneToleranceSaysWhatIsAStep) {
    const struct {
        double value;
        double step;
        bool same;
    } cases[] = {
        {0.01, 1e-2, true},
        {0.01 * (1 + 0.9 * kStepTolerance), 0.01, true},
        {0.01 * (1 - 0.9 * kStepTolerance), 0.01, true},
        {0.01 * (1 + 2 * kStepTolerance), 0.01, false},
        {0.01 * (1 - 2 * kStepTolerance), 0.01, false},
        {3e-3, 2e-3, false},
        {kNaN, 1, false},
    };
    for (const auto& c : cases) EXPECT_EQ(same_step(c.value, c.step), c.same) << c.value << " vs " << c.step;
    EXPECT_TRUE(is_step(volt_scales(), 0.02));
    EXPECT_FALSE(is_step(volt_scales(), 0.03));
    EXPECT_FALSE(is_step(volt_scales(), 5));
    // The steps themselves are built with the same tolerance at their ends.
    EXPECT_EQ(volt_scales().front(), 0.01);
    EXPECT_EQ(volt_scales().back(), 2);
}

// The controller holds the rule too, whatever a window hands it.
TEST(ScopeSettings, TheControllerTakesOnlyNormalisedSettings) {
    const pipeline::BoardApi api = cli::test::fake_api();
    ScopeSettings wild;
    wild.divider = 0;
    wild.voltsPerDiv = 0.3;
    ScopeController sc(api, wild, nullptr);
    EXPECT_EQ(sc.settings().divider, KV318_DIVIDER_MIN);
    EXPECT_EQ(sc.settings().voltsPerDiv, 0.2);
    wild.divider = 100'000;
    wild.pretriggerPercent = -5;
    sc.apply(wild);
    EXPECT_EQ(sc.settings().divider, KV318_DIVIDER_MAX);
    EXPECT_EQ(sc.settings().pretriggerPercent, 0);
}

}  // namespace
}  // namespace kv318::scope
