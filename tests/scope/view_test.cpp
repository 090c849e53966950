// The drawing model, the export, the scales and the command line.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "command_line.h"
#include "sample_store.h"
#include "scratch_file.h"
#include "trace_view.h"

namespace kv318::scope {
namespace {

DisplayFrame constant_frame(double volts, std::size_t n, double rate) {
    DisplayFrame f;
    f.samples.assign(n, static_cast<std::int32_t>(std::lround(volts * 8192 / 5)) * 4);
    f.sampleRate = rate;
    return f;
}

// The trace of a constant lies (volts + offset) / (volts per division)
// divisions above the centre line, in both the point-per-sample and the
// column-decimated paths.
TEST(View, TraceLiesAtItsVoltsOnTheGraticule) {
    struct Case {
        double volts, voltsPerDiv, offset;
        std::size_t samples;  // fewer than the plot's columns, or more
        double divisionsAbove;
    };
    for (const Case c : {Case{1.5, 1.0, 0, 200, 1.5}, Case{1.5, 1.0, 0, 100000, 1.5}, Case{-0.4, 0.2, 0, 5000, -2},
                         Case{1.0, 0.5, -0.5, 300, 1}, Case{4.0, 0.5, 0, 300, 4}}) {
        ScopeSettings s;
        s.voltsPerDiv = c.voltsPerDiv;
        s.offsetVolts = c.offset;
        const DisplayFrame f = constant_frame(c.volts, c.samples, 1e5);
        ViewInput in;
        in.width = 820;
        in.height = 600;
        in.settings = &s;
        in.frame = &f;
        const DrawList d = build_view(in);
        const Plot p = plot_area(in.width, in.height);
        const Polyline* trace = nullptr;
        for (const auto& l : d.lines) {
            if (l.color == kTrace) trace = &l;
        }
        ASSERT_NE(trace, nullptr);
        ASSERT_GE(trace->points.size(), 2u);
        // The constant 1.5 V is one code off 1.5 V exactly: well within a pixel.
        const double expectY = p.centreY() - c.divisionsAbove * p.divH();
        for (const Point& pt : trace->points) {
            ASSERT_NEAR(pt.y, expectY, 0.5);
            ASSERT_GE(pt.x, p.x);
            ASSERT_LE(pt.x, p.x + p.w);
        }
        // From the left edge to the right.
        EXPECT_LT(trace->points.front().x, p.x + 2);
        EXPECT_GT(trace->points.back().x, p.x + p.w - 6);
    }
}

TEST(View, TriggerMarksAndPlotGeometry) {
    ScopeSettings s;
    s.levelVolts = 1.0;
    s.voltsPerDiv = 0.5;
    s.pretriggerPercent = 25;
    ViewInput in;
    in.width = 1000;
    in.height = 700;
    in.settings = &s;
    const DrawList d = build_view(in);
    const Plot p = plot_area(in.width, in.height);
    EXPECT_EQ(std::fmod(p.w, kDivisionsX), 0.0);
    EXPECT_EQ(std::fmod(p.h, kDivisionsY), 0.0);
    EXPECT_LE(p.y + p.h + kTextLines * kTextLineHeight, in.height);
    std::vector<const Polyline*> marks;
    for (const auto& l : d.lines) {
        if (l.color == kTriggerMark) marks.push_back(&l);
    }
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_DOUBLE_EQ(marks[0]->points[0].y, p.centreY() - 2 * p.divH());  // 1 V at 0.5 V/div
    EXPECT_DOUBLE_EQ(marks[1]->points[0].x, p.x + p.w / 4);               // 25 %
    // A dragged level maps back to the volts it was drawn at.
    EXPECT_DOUBLE_EQ(y_to_volts(p, s, volts_to_y(p, s, 0.7)), 0.7);
}

TEST(View, CursorsAndExportTimeFromTheTrigger) {
    DisplayFrame f;
    f.sampleRate = 1000;
    f.triggered = true;
    f.triggerIndex = 2;
    for (int i = 0; i < 5; ++i) f.samples.push_back(i * 4 * 100);  // codes 0, 100, ...
    EXPECT_EQ(visible_csv(f),
              "time_s,volts\n-0.002,0\n-0.001,0.06103515625\n0,0.1220703125\n0.001,0.18310546875\n"
              "0.002,0.244140625\n");
    Cursors c{true, -0.001, 0.002};
    EXPECT_EQ(cursor_line(c, &f), "t1 -1 ms  t2 2 ms  dt 3 ms  1/dt 333.3 Hz  v1 61.04 mV  v2 244.1 mV");
    EXPECT_EQ(cursor_line(Cursors{}, &f), "cursors off");
}

TEST(Scales, OneTwoFiveFromTheFastestTheRateAllows) {
    struct Case {
        double rate;
        double fastest, slowest;
        std::size_t count;
    };
    // 10 samples a division: 100 us at 100 kS/s, 1 us at 13 MS/s (0.77 us
    // would be under 10).  At most 4 M samples a screen: 2 s/div at
    // 100 kS/s, 20 ms/div at 13 MS/s (50 ms would be 6.5 M).
    for (const Case c :
         {Case{1e5, 1e-4, 2, 14}, Case{13e6, 1e-6, 0.02, 14}, Case{2e6 / 4095, 0.05, 10, 8}, Case{4e4, 5e-4, 10, 14}}) {
        const auto steps = time_bases(c.rate);
        ASSERT_FALSE(steps.empty());
        EXPECT_NEAR(steps.front(), c.fastest, c.fastest * 1e-9) << c.rate;
        EXPECT_NEAR(steps.back(), c.slowest, c.slowest * 1e-9) << c.rate;
        EXPECT_EQ(steps.size(), c.count) << c.rate;
        ScopeSettings s;
        s.clockHz = static_cast<std::uint64_t>(c.rate * 2);
        s.divider = 2;
        s.secondsPerDiv = steps.back();
        EXPECT_LE(screen_samples(s), 4'000'000u);
    }
    const auto v = volt_scales();
    EXPECT_EQ(v.size(), 8u);
    EXPECT_NEAR(v.front(), 0.01, 1e-12);
    EXPECT_NEAR(v.back(), 2.0, 1e-12);
}

TEST(Autoscale, FitsTheTraceCentred) {
    DisplayFrame f;
    f.sampleRate = 1e5;
    for (int i = 0; i < 1000; ++i) f.samples.push_back((i % 100 < 50 ? 3277 : 819) * 4);  // 2 V and 0.5 V
    ScopeSettings s;
    autoscale(f, &s);
    EXPECT_NEAR(s.voltsPerDiv, 0.5, 1e-12);  // 1.5 V p-p over 80 % of 8 divisions needs 0.234: 0.5
    EXPECT_NEAR(s.offsetVolts, -1.25, 0.001);
}

// Parses `args` as kv318-scope's command line; *printed, when given, gets
// what it wrote on standard output.
int parse(std::vector<std::string> args, ScopeSettings* s, std::string* printed = nullptr) {
    args.insert(args.begin(), "kv318-scope");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::FILE* out = kv318::test::scratch_file();
    std::FILE* err = kv318::test::scratch_file();
    const int r = parse_command_line(static_cast<int>(argv.size()), argv.data(), s, out, err);
    if (printed != nullptr) {
        std::rewind(out);
        printed->clear();
        for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) printed->push_back(static_cast<char>(c));
    }
    std::fclose(out);
    std::fclose(err);
    return r;
}

TEST(CommandLine, EverySettingAndEveryRefusal) {
    ScopeSettings s;
    ASSERT_EQ(
        parse(
            {"--board",         "3",      "--divider", "20",   "--clock",      "2000000",      "--timebase",   "200us",
             "--volts-per-div", "0.5",    "--offset",  "-1",   "--trigger",    "falling:0.25", "--pretrigger", "25",
             "--mode",          "single", "--holdoff", "10ms", "--screenshot", "x.png",        "--after",      "2.5"},
            &s),
        -1);
    EXPECT_EQ(s.board, 3);
    EXPECT_EQ(s.divider, 20);
    EXPECT_NEAR(s.secondsPerDiv, 200e-6, 1e-12);
    EXPECT_EQ(s.voltsPerDiv, 0.5);
    EXPECT_EQ(s.offsetVolts, -1);
    EXPECT_EQ(s.edge, analysis::Edge::Falling);
    EXPECT_EQ(s.levelVolts, 0.25);
    EXPECT_EQ(s.pretriggerPercent, 25);
    EXPECT_EQ(s.mode, analysis::TriggerMode::Single);
    EXPECT_NEAR(s.holdoffSeconds, 0.01, 1e-12);
    EXPECT_EQ(s.screenshot, "x.png");
    EXPECT_EQ(s.screenshotAfter, 2.5);

    const std::vector<std::vector<std::string>> bad = {
        {"--divider", "1"},
        {"--divider", "4096"},
        {"--board", "-1"},
        {"--timebase", "3ms"},
        {"--timebase", "fast"},
        {"--divider", "20", "--timebase", "50us"},
        {"--volts-per-div", "0.3"},
        {"--volts-per-div", "5"},
        {"--trigger", "up:1"},
        {"--trigger", "rising:"},
        {"--trigger", "rising:9"},
        {"--pretrigger", "101"},
        {"--mode", "sometimes"},
        {"--mode", "roll"},
        {"--holdoff", "-1s"},
        {"--offset", "nan"},
        {"--no-such-option"},
        {"--clock", "0"},
        {"--board", "256"},
        {"--divider", "0x1000"},
        {"--clock", "99999999999999999999"},
        {"--fifo-bytes", "16383"},
        {"--fifo-bytes", "0x40000001"},
        {"--record"},
        {"--record", "r.txt"},
        {"--record", "r"},
        {"--record", "dir.wav/r"},
        {"--record", ".wav"},
        // Numbers and times spelt as every program spells them.
        {"--timebase", " 1ms"},
        {"--timebase", "1ms "},
        {"--timebase", "1m s"},
        {"--timebase", "1 MS"},
        {"--holdoff", "101s"},
        {"--holdoff", "1h"},
        {"--offset", "0x1"},
        {"--offset", " 1"},
        {"--pretrigger", "inf"},
        {"--hysteresis", "-0.1"},
        {"--after", "3601"},
        {"--volts-per-div", "1,0"},
        {"--board", "03"},
    };
    for (const auto& args : bad) {
        ScopeSettings t;
        EXPECT_EQ(parse(args, &t), 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    }
    ScopeSettings t;
    std::string help;
    EXPECT_EQ(parse({"--help"}, &t, &help), 0);
    EXPECT_NE(help.find("converter divider, 2-4095"), std::string::npos) << help;
    EXPECT_NE(help.find("--record FILE"), std::string::npos) << help;
    // --record takes the format from the extension, in any case; HDF5
    // only where the build has it (not the Windows builds).
    for (const char* file : {"r.csv", "dir/r.WAV", "r.raw", "r.h5", "r.hdf5"}) {
        const bool hdf5 = std::string(file).find(".h") != std::string::npos;
        ScopeSettings r;
        const int result = parse({"--record", file}, &r);
        if (hdf5 && !kv318::pipeline::hdf5_available()) {
            EXPECT_EQ(result, 2) << file;
            continue;
        }
        EXPECT_EQ(result, -1) << file;
        EXPECT_EQ(r.record, file);
    }
    // Both ends of the header's divider range are taken as they are.
    for (const char* divider : {"2", "4095"}) {
        ScopeSettings d;
        EXPECT_EQ(parse({"--divider", divider}, &d), -1) << divider;
        EXPECT_EQ(d.divider, std::stoi(divider));
    }
    // The version the build was made as, named like the other programs'.
    std::string printed;
    EXPECT_EQ(parse({"--version"}, &t, &printed), 0);
    EXPECT_EQ(printed, std::string("kv318-scope ") + KV318_PROJECT_VERSION + "\n");
    EXPECT_EQ(parse({"--mode", "roll", "--timebase", "100ms"}, &t), -1);
    // A time with one blank before its unit, a bare number in seconds, an
    // exponent: each lands on the exact step the windows offer.
    const struct {
        std::vector<std::string> args;
        double secondsPerDiv, holdoff, pretrigger;
    } spelt[] = {
        {{"--timebase", "500 us", "--holdoff", "0.5"}, 500e-6, 0.5, 50},
        {{"--timebase", "0.01", "--holdoff", "10 ms", "--pretrigger", "1e1"}, 10e-3, 0.01, 10},
        {{"--timebase", "5s", "--holdoff", "+2", "--pretrigger", ".5"}, 5, 2, 0.5},
    };
    for (const auto& c : spelt) {
        ScopeSettings v;
        ASSERT_EQ(parse(c.args, &v), -1) << c.args[1];
        EXPECT_TRUE(is_step(time_bases(v.sampleRate()), v.secondsPerDiv)) << c.args[1];
        EXPECT_NEAR(v.secondsPerDiv, c.secondsPerDiv, c.secondsPerDiv * kStepTolerance) << c.args[1];
        EXPECT_DOUBLE_EQ(v.holdoffSeconds, c.holdoff) << c.args[1];
        EXPECT_EQ(v.pretriggerPercent, c.pretrigger) << c.args[1];
    }
    // Values CLI11's own conversion would refuse reach the settings as read.
    ScopeSettings w;
    EXPECT_EQ(parse({"--after", "1500ms", "--divider", "+0x14", "--pretrigger", "+.5e1"}, &w), -1);
    EXPECT_EQ(w.screenshotAfter, 1.5);
    EXPECT_EQ(w.divider, 20);
    EXPECT_EQ(w.pretriggerPercent, 5);
    // Whole numbers are read as kv318-cli reads them: 0x-hex too.
    ScopeSettings h;
    EXPECT_EQ(parse({"--divider", "0x14", "--board", "0x3"}, &h), -1);
    EXPECT_EQ(h.divider, 20);
    EXPECT_EQ(h.board, 3);
    // The board's FIFO unless told otherwise, from the CLI's range.
    EXPECT_EQ(h.fifoBytes, 524'288u);
    EXPECT_EQ(parse({"--fifo-bytes", "0x400000"}, &h), -1);
    EXPECT_EQ(h.fifoBytes, 4'194'304u);
}

}  // namespace
}  // namespace kv318::scope
