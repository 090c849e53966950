// The one drawing model both windows render: the scope's screen as lists
// of rectangles, polylines and texts in pixels, computed here from the
// settings, the newest frame and the cursors.  A shell paints the lists in
// order (rectangles, then lines, then texts) and adds nothing of its own,
// so the Qt and the Win32 window show the same picture.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "acquisition_worker.h"
#include "measure.h"
#include "scope_settings.h"

namespace kv318::scope {

struct Color {
    std::uint8_t r, g, b;
    bool operator==(const Color&) const = default;
};

inline constexpr Color kBackground{16, 16, 24};
inline constexpr Color kGrid{60, 60, 72};
inline constexpr Color kAxis{110, 110, 130};
inline constexpr Color kTrace{255, 220, 0};
inline constexpr Color kTriggerMark{255, 120, 40};
inline constexpr Color kCursor{80, 200, 255};
inline constexpr Color kText{220, 220, 220};
inline constexpr Color kFailureText{255, 90, 90};

struct Point {
    double x, y;
};
struct Rect {
    double x, y, w, h;
    Color color;
    bool filled;
};
struct Polyline {
    std::vector<Point> points;
    Color color;
    int width;
};
struct Text {
    double x, y;  // the baseline's left end
    std::string text;
    Color color;
};

// Where the graticule lies in a window of width x height: 10 x 8
// divisions of whole pixels, with room for `textLines` lines of text below
// (four, unless the status line wraps).
struct Plot {
    double x, y, w, h;
    double divW() const { return w / kDivisionsX; }
    double divH() const { return h / kDivisionsY; }
    double centreY() const { return y + h / 2; }
};
inline constexpr int kTextLineHeight = 18;
inline constexpr int kTextLines = 4;
Plot plot_area(int width, int height, int textLines = kTextLines);

struct DrawList {
    int width = 0, height = 0;
    Plot plot{};  // where this picture's graticule lies: what a click on it means
    std::vector<Rect> rects;
    std::vector<Polyline> lines;
    std::vector<Text> texts;
};

// How many pixels wide `text` (UTF-8) is in the shell's font.  Called on
// the GUI thread while the picture is built.  Empty: every character is
// taken as kFallbackCharWidth wide.
using TextWidth = std::function<double(const std::string&)>;
inline constexpr double kFallbackCharWidth = 8;

// `text` broken into lines no wider than `maxWidth` as `width` measures
// them: at spaces, and inside a word only when the word alone is wider
// (never inside a UTF-8 character).  The spaces at a break are dropped.
// A line holds at least one character, so any width makes progress.  No
// lines for a text of nothing but spaces.
std::vector<std::string> wrap_text(const std::string& text, double maxWidth, const TextWidth& width);

// The most lines the status line may wrap onto; the last one shown ends in
// "..." when the text needs more, so the plot keeps most of the window.
inline constexpr int kMaxStatusLines = 4;

// Screen y of `volts` at the settings' scale and offset, and back.
double volts_to_y(const Plot& p, const ScopeSettings& s, double volts);
double y_to_volts(const Plot& p, const ScopeSettings& s, double y);

// Where on screen a time from the frame's zero (its trigger point, or its
// start when untriggered) lies, and back: how cursors are drawn and placed.
double seconds_to_x(const Plot& p, const DisplayFrame& f, double seconds);
double x_to_seconds(const Plot& p, const DisplayFrame& f, double x);

struct Cursors {
    bool on = false;
    double t1 = 0, t2 = 0;  // seconds from the frame's trigger point (or its start when untriggered)
};

// What the status line shows, gathered by the shell.
struct Status {
    bool running = false;
    // Samples reached the scope in the current (or last) run: a triggered
    // mode with no frame yet is waiting for its trigger, not for samples.
    bool samplesArrived = false;
    double deliveredPerSecond = 0;
    double framesPerSecond = 0;
    std::string failure;  // empty when none
    // The FIFO verdict's warning, drawn in red across the top of the plot;
    // empty when none.
    std::string fifoWarning;
    bool fifoUnknown = false;  // the library gave no drain statistics
    // Where the samples come from when it is not the library: "following
    // stream 3 of kv318-server at URL"; empty for the library.
    std::string source;
};

struct ViewInput {
    int width = 800, height = 600;
    const ScopeSettings* settings = nullptr;
    const DisplayFrame* frame = nullptr;  // null before the first
    Cursors cursors;
    Status status;
    TextWidth textWidth;  // the shell's font; empty: kFallbackCharWidth a character
};

DrawList build_view(const ViewInput& in);

// The measurement and cursor lines, also for the shells' tests.
std::string measurement_line(const analysis::Measurements& m);
std::string cursor_line(const Cursors& c, const DisplayFrame* frame);

// Volts per division and offset that fit `frame` in about 80 % of the
// screen's height, centred.
void autoscale(const DisplayFrame& frame, ScopeSettings* s);

// The visible trace as CSV: "time_s,volts", time from the trigger point
// (or from the frame's start when untriggered).
std::string visible_csv(const DisplayFrame& frame);

}  // namespace kv318::scope
