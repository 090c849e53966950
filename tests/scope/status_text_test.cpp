// The texts below the plot: a failure wraps onto further lines instead of
// running off the window's edge, and a triggered mode that gets samples but
// no trigger says it waits for one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_board.h"
#include "scope_controller.h"
#include "trace_view.h"
#include "wait.h"

namespace kv318::scope {
namespace {

using cli::test::FakeBoard;

// Every character 8 pixels wide except 'W', 20: a proportional font in
// miniature, so a line's width is not just its length.
double narrow_and_wide(const std::string& s) {
    double w = 0;
    for (char c : s) w += c == 'W' ? 20 : 8;
    return w;
}

TEST(WrapText, BreaksAtSpacesAndInsideWordsOnlyWhenOneIsTooWide) {
    struct Case {
        const char* text;
        double maxWidth;
        TextWidth width;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"abc def", 800, {}, {"abc def"}},
        {"abc def ghi", 56, {}, {"abc def", "ghi"}},  // 7 characters of 8 px a line
        {"abc def ghi", 55.9, {}, {"abc", "def", "ghi"}},
        // Spaces inside a line stay; those at a break go, at either end.
        {"rate 1  x  stopped", 72, {}, {"rate 1  x", "stopped"}},
        {"  lead and trail  ", 800, {}, {"lead and trail"}},
        {"    ", 100, {}, {}},
        {"", 100, {}, {}},
        // A word wider than the line is cut, as late as it fits.
        {"abcdefghij", 32, {}, {"abcd", "efgh", "ij"}},
        {"ab abcdefghij c", 32, {}, {"ab", "abcd", "efgh", "ij c"}},
        // Too narrow for even one character: one a line, never none.
        {"ab", 1, {}, {"a", "b"}},
        // Two-byte characters are never split (8 px each, not per byte).
        {"\xC2\xB5\xC2\xB5\xC2\xB5\xC2\xB5", 16, {}, {"\xC2\xB5\xC2\xB5", "\xC2\xB5\xC2\xB5"}},
        // The shell's measure decides: three W are 60 px, not 24.
        {"WWW aaa", 64, narrow_and_wide, {"WWW", "aaa"}},
        {"WWW aaa", 64, {}, {"WWW aaa"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " in " + std::to_string(c.maxWidth));
        EXPECT_EQ(wrap_text(c.text, c.maxWidth, c.width), c.lines);
    }
}

// The red texts of a picture read in order as one text, those over the
// plot (the FIFO warning) and those below it (the status line) apart.
std::string red_text(const DrawList& d, bool overPlot, std::vector<const Text*>* lines) {
    std::string all;
    for (const Text& t : d.texts) {
        if (t.color != kFailureText || (t.y < d.plot.y + d.plot.h) != overPlot) continue;
        all += (all.empty() ? "" : " ") + t.text;
        lines->push_back(&t);
    }
    return all;
}

TEST(StatusLine, AFailureWrapsWithinTheWindowAndThePlotMakesRoom) {
    const std::string failure =
        "board 0: not found (no driver serves /run/kv318 for board 0: start kv318-sim or the board's driver); "
        "press Run to try again";
    const std::string warning =
        "samples may have been lost in the board's FIFO: a gap of 5000.0 ms between drains at 0.2 MB/s exceeds its "
        "512 KiB (3 such gaps)";
    struct Case {
        int width;
        std::size_t lines, warningLines;  // at 8 px a character
    };
    // The status line is about 175 characters with the failure; at 300
    // pixels it would need six lines.
    for (const Case c : {Case{1600, 1, 1}, Case{820, 2, 2}, Case{560, 3, 2}, Case{300, 4, 4}}) {
        SCOPED_TRACE(c.width);
        ScopeSettings s;
        ViewInput in;
        in.width = c.width;
        in.height = 600;
        in.settings = &s;
        in.status.failure = failure;
        in.status.fifoWarning = warning;
        const DrawList d = build_view(in);
        std::vector<const Text*> status, over;
        const std::string statusText = red_text(d, false, &status), overText = red_text(d, true, &over);
        ASSERT_EQ(status.size(), c.lines);
        ASSERT_EQ(over.size(), c.warningLines);
        EXPECT_EQ(overText, warning) << "the warning wraps over the plot, all of it";
        for (const Text* t : status) EXPECT_LE(t->x + narrow_and_wide(t->text), c.width) << t->text;
        for (const Text* t : over) EXPECT_LE(t->x + narrow_and_wide(t->text), d.plot.x + d.plot.w) << t->text;
        // Line after line, the last at the foot of the window, and the
        // graticule above them as tall as they leave it.
        for (std::size_t i = 1; i < status.size(); ++i) EXPECT_EQ(status[i]->y - status[i - 1]->y, kTextLineHeight);
        EXPECT_LE(status.back()->y, in.height);
        const Plot p = plot_area(in.width, in.height, kTextLines - 1 + static_cast<int>(c.lines));
        EXPECT_EQ(d.plot.h, p.h);
        EXPECT_EQ(d.rects[1].h, p.h);
        if (c.width != 300) {
            // All of it shows: only the spaces at the breaks went.
            EXPECT_NE(statusText.find(failure), std::string::npos) << statusText;
        } else {
            // Too long even for four lines: the last ends in "...".
            EXPECT_EQ(status.back()->text.substr(status.back()->text.size() - 3), "...");
        }
    }
}

// The measurement line of a picture: the text just above the cursor line.
std::string measurement_text(const DrawList& d) {
    for (std::size_t i = 1; i < d.texts.size(); ++i) {
        if (d.texts[i].color == kCursor) return d.texts[i - 1].text;
    }
    return "(no cursor line)";
}

TEST(StatusLine, ATriggeredModeWithSamplesButNoTriggerWaitsForIt) {
    struct Case {
        analysis::TriggerMode mode;
        bool samplesArrived, running;
        const char* says;
    };
    const Case cases[] = {
        {analysis::TriggerMode::Normal, true, true, "waiting for trigger"},
        {analysis::TriggerMode::Single, true, true, "waiting for trigger"},
        {analysis::TriggerMode::Normal, true, false, "no trigger"},
        {analysis::TriggerMode::Normal, false, true, "no samples"},
        {analysis::TriggerMode::Auto, true, true, "no samples"},  // Auto free-runs: no frame is no samples
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        ScopeSettings s;
        s.mode = c.mode;
        ViewInput in;
        in.settings = &s;
        in.status.samplesArrived = c.samplesArrived;
        in.status.running = c.running;
        EXPECT_EQ(measurement_text(build_view(in)), c.says);
    }

    // The controller, on a scripted board: the ramp stays far below 2 V,
    // so Normal never triggers although samples come.
    const pipeline::BoardApi api = cli::test::fake_api();
    ScopeSettings s;
    s.divider = 20;
    s.secondsPerDiv = 1e-3;
    s.mode = analysis::TriggerMode::Normal;
    s.levelVolts = 2;
    FakeBoard::reset();
    FakeBoard::get().reads = {500, 500};
    {
        ScopeController sc(api, s, nullptr);
        sc.run();
        double now = 0;
        ASSERT_TRUE(test::wait_until([&] {
            sc.tick(now += 0.03);
            return measurement_text(sc.view(800, 600)) == "waiting for trigger";
        }));
        EXPECT_TRUE(sc.running());
        EXPECT_FALSE(sc.hasFrame());
        sc.close();
        EXPECT_EQ(measurement_text(sc.view(800, 600)), "no trigger");
    }
    // Reads that bring nothing, then a fault that ends the run: no samples.
    FakeBoard::reset();
    FakeBoard::get().reads = {0, 0, 0, -3};
    ScopeController sc(api, s, nullptr);
    sc.run();
    double now = 0;
    ASSERT_TRUE(test::wait_until([&] {
        sc.tick(now += 0.03);
        return !sc.running() && !sc.message().empty();
    }));
    EXPECT_EQ(FakeBoard::get().readCalls, 4);
    EXPECT_EQ(measurement_text(sc.view(800, 600)), "no samples");
}

}  // namespace
}  // namespace kv318::scope
