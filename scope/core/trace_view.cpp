#include "trace_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "decimate.h"
#include "sample_units.h"
#include "trigger.h"

namespace kv318::scope {

namespace {

constexpr int kMargin = 10;

// Seconds from the frame's first sample to its time zero: the trigger
// point, or the start when the frame free-ran.
double zero_offset(const DisplayFrame& f) {
    return f.triggered ? static_cast<double>(f.triggerIndex) / f.sampleRate : 0.0;
}

// The time of sample `i` from the trigger point, by the rule every capture
// file follows (the x87 unit of 32-bit builds once left -4e-20 s at the
// trigger when it was done in two divisions).
double sample_time(const DisplayFrame& f, std::size_t i) {
    return analysis::seconds_from_trigger(i, f.triggered ? f.triggerIndex : 0, f.sampleRate);
}

double clamp_y(const Plot& p, double y) { return std::clamp(y, p.y, p.y + p.h); }

void add_graticule(const Plot& p, DrawList* d) {
    d->rects.push_back({p.x, p.y, p.w, p.h, kAxis, false});
    for (int i = 1; i < kDivisionsX; ++i) {
        const double x = p.x + i * p.divW();
        d->lines.push_back({{{x, p.y}, {x, p.y + p.h}}, i == kDivisionsX / 2 ? kAxis : kGrid, 1});
    }
    for (int i = 1; i < kDivisionsY; ++i) {
        const double y = p.y + i * p.divH();
        d->lines.push_back({{{p.x, y}, {p.x + p.w, y}}, i == kDivisionsY / 2 ? kAxis : kGrid, 1});
    }
}

void add_trace(const Plot& p, const ScopeSettings& s, const DisplayFrame& f, DrawList* d) {
    const std::size_t n = f.samples.size();
    if (n == 0) return;
    // The screen spans a full frame (Roll: a full screen, newest at the
    // right edge even before it fills).
    const double span = f.roll ? static_cast<double>(screen_samples(s)) : static_cast<double>(n);
    const double x0 = f.roll ? p.x + p.w * (span - static_cast<double>(n)) / span : p.x;
    const auto columns = static_cast<std::size_t>(p.w * static_cast<double>(n) / span);
    Polyline line{{}, kTrace, 1};
    auto y_of = [&](std::int32_t sample) { return clamp_y(p, volts_to_y(p, s, units::sample_volts(sample))); };
    if (columns > 0 && n > columns) {
        // More samples than pixels: each column a stroke from its least to
        // its greatest sample, joined at the end nearer the previous one.
        std::vector<analysis::ColumnRange> cols(columns);
        analysis::decimate_columns(f.samples.data(), n, columns, cols.data());
        line.points.reserve(2 * columns);
        for (std::size_t c = 0; c < columns; ++c) {
            const double x = x0 + static_cast<double>(c) + 0.5;
            double a = y_of(cols[c].max), b = y_of(cols[c].min);
            if (!line.points.empty() && std::fabs(line.points.back().y - b) < std::fabs(line.points.back().y - a))
                std::swap(a, b);
            line.points.push_back({x, a});
            line.points.push_back({x, b});
        }
    } else {
        line.points.reserve(n);
        for (std::size_t i = 0; i < n; ++i)
            line.points.push_back({x0 + p.w * static_cast<double>(i) / span, y_of(f.samples[i])});
    }
    d->lines.push_back(std::move(line));
}

void add_trigger_marks(const Plot& p, const ScopeSettings& s, DrawList* d) {
    if (s.mode == analysis::TriggerMode::Roll) return;
    // The level: a short tick on the right edge; the position: a tick
    // hanging from the top.
    const double y = clamp_y(p, volts_to_y(p, s, s.levelVolts));
    d->lines.push_back({{{p.x + p.w - 12, y}, {p.x + p.w, y}}, kTriggerMark, 2});
    d->texts.push_back({p.x + p.w - 24, y + 5, "T", kTriggerMark});
    const double x = p.x + p.w * std::clamp(s.pretriggerPercent, 0.0, 100.0) / 100.0;
    d->lines.push_back({{{x, p.y}, {x, p.y + 12}}, kTriggerMark, 2});
}

std::string fmt(const char* format, double v) {
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

// A UTF-8 character: its lead byte and the continuation bytes after it.
std::size_t next_char(const std::string& s, std::size_t i) {
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    return i;
}

double measure(const TextWidth& width, const std::string& s) {
    if (width) return width(s);
    std::size_t chars = 0;
    for (std::size_t i = 0; i < s.size(); i = next_char(s, i)) ++chars;
    return kFallbackCharWidth * static_cast<double>(chars);
}

// The status line's lines: wrapped, and cut after kMaxStatusLines with
// "..." on the last, so a long failure never takes the plot's place.
std::vector<std::string> status_lines(const std::string& text, double maxWidth, const TextWidth& width) {
    std::vector<std::string> lines = wrap_text(text, maxWidth, width);
    if (lines.empty()) lines.emplace_back();
    if (lines.size() > static_cast<std::size_t>(kMaxStatusLines)) {
        lines.resize(kMaxStatusLines);
        std::string& last = lines.back();
        while (!last.empty() && measure(width, last + "...") > maxWidth) {
            std::size_t cut = last.size() - 1;
            while (cut > 0 && (static_cast<unsigned char>(last[cut]) & 0xC0) == 0x80) --cut;
            last.erase(cut);
        }
        last += "...";
    }
    return lines;
}

// Normal and Single show a frame only once the trigger fires.
bool waits_for_trigger(analysis::TriggerMode m) {
    return m == analysis::TriggerMode::Normal || m == analysis::TriggerMode::Single;
}

const char* mode_name(analysis::TriggerMode m) {
    switch (m) {
    case analysis::TriggerMode::Auto:
        return "Auto";
    case analysis::TriggerMode::Normal:
        return "Normal";
    case analysis::TriggerMode::Single:
        return "Single";
    case analysis::TriggerMode::Roll:
        return "Roll";
    }
    return "";
}

}  // namespace

std::vector<std::string> wrap_text(const std::string& text, double maxWidth, const TextWidth& width) {
    std::vector<std::string> lines;
    const std::size_t n = text.size();
    auto word_end = [&](std::size_t from) { return std::min(text.find(' ', from), n); };
    std::size_t i = 0;
    for (;;) {
        while (i < n && text[i] == ' ') ++i;
        if (i >= n) break;
        // As many whole words as fit; `end` stays at `i` when not even the
        // first one does.
        std::size_t end = i;
        for (std::size_t j = i; j < n;) {
            const std::size_t e = word_end(j);
            if (measure(width, text.substr(i, e - i)) > maxWidth) break;
            end = e;
            j = e;
            while (j < n && text[j] == ' ') ++j;
        }
        if (end == i) {
            // A word wider than the line: as many characters as fit, and
            // at least one.
            const std::size_t e = word_end(i);
            end = next_char(text, i);
            while (end < e) {
                const std::size_t more = next_char(text, end);
                if (measure(width, text.substr(i, more - i)) > maxWidth) break;
                end = more;
            }
        }
        lines.push_back(text.substr(i, end - i));
        i = end;
    }
    return lines;
}

Plot plot_area(int width, int height, int textLines) {
    const int textRoom = textLines * kTextLineHeight + kMargin;
    // Whole pixels a division, so grid lines fall on pixels in both shells.
    const int divW = std::max(1, (width - 2 * kMargin) / kDivisionsX);
    const int divH = std::max(1, (height - kMargin - textRoom) / kDivisionsY);
    return {static_cast<double>(kMargin), static_cast<double>(kMargin), static_cast<double>(divW * kDivisionsX),
            static_cast<double>(divH * kDivisionsY)};
}

double seconds_to_x(const Plot& p, const DisplayFrame& f, double seconds) {
    return p.x + p.w * (seconds + zero_offset(f)) * f.sampleRate / static_cast<double>(f.samples.size());
}

double x_to_seconds(const Plot& p, const DisplayFrame& f, double x) {
    return (x - p.x) / p.w * static_cast<double>(f.samples.size()) / f.sampleRate - zero_offset(f);
}

double volts_to_y(const Plot& p, const ScopeSettings& s, double volts) {
    return p.centreY() - (volts + s.offsetVolts) / s.voltsPerDiv * p.divH();
}

double y_to_volts(const Plot& p, const ScopeSettings& s, double y) {
    return (p.centreY() - y) / p.divH() * s.voltsPerDiv - s.offsetVolts;
}

std::string measurement_line(const analysis::Measurements& m) {
    if (m.count == 0) return "no samples";
    std::string line = "mean " + format_volts(m.mean) + "  min " + format_volts(m.min) + "  max " +
                       format_volts(m.max) + "  p-p " + format_volts(m.peakToPeak) + "  RMS " + format_volts(m.rms);
    if (m.cycles > 0) {
        line += "  f " + format_hertz(m.frequency) + "  T " + format_seconds(m.period) + "  duty " +
                fmt("%.1f %%", m.duty * 100);
    } else {
        line += "  f --";
    }
    return line;
}

std::string cursor_line(const Cursors& c, const DisplayFrame* f) {
    if (!c.on) return "cursors off";
    const double dt = c.t2 - c.t1;
    std::string line = "t1 " + format_seconds(c.t1) + "  t2 " + format_seconds(c.t2) + "  dt " + format_seconds(dt) +
                       "  1/dt " + (dt != 0 ? format_hertz(1 / std::fabs(dt)) : std::string("--"));
    if (f && !f->samples.empty() && f->sampleRate > 0) {
        auto volts_at = [&](double t) {
            const double i = std::round((t + zero_offset(*f)) * f->sampleRate);
            const auto idx = static_cast<std::size_t>(std::clamp(i, 0.0, static_cast<double>(f->samples.size() - 1)));
            return units::sample_volts(f->samples[idx]);
        };
        line += "  v1 " + format_volts(volts_at(c.t1)) + "  v2 " + format_volts(volts_at(c.t2));
    }
    return line;
}

DrawList build_view(const ViewInput& in) {
    DrawList d;
    d.width = in.width;
    d.height = in.height;
    const ScopeSettings& s = *in.settings;
    const Status& st = in.status;
    std::string status = "rate " + format_rate(s.sampleRate()) + "  delivered " + format_rate(st.deliveredPerSecond) +
                         "  " + fmt("%.1f fps", st.framesPerSecond) + "  " + (st.running ? "running" : "stopped");
    if (!st.source.empty()) status += "  " + st.source;
    if (st.fifoUnknown && st.fifoWarning.empty()) status += "  FIFO not measured";
    if (!st.failure.empty()) status += "  " + st.failure;
    // A failure can be longer than the window is wide: its status line
    // wraps, and the plot makes room for the lines it takes.
    const double textWidth = std::max(1, in.width - 2 * kMargin);
    const std::vector<std::string> statusText = status_lines(status, textWidth, in.textWidth);
    const Plot p = plot_area(in.width, in.height, kTextLines - 1 + static_cast<int>(statusText.size()));
    d.plot = p;
    d.rects.push_back({0, 0, static_cast<double>(in.width), static_cast<double>(in.height), kBackground, true});
    add_graticule(p, &d);
    add_trigger_marks(p, s, &d);
    const DisplayFrame* f = in.frame;
    if (f) add_trace(p, s, *f, &d);
    if (in.cursors.on && f && f->sampleRate > 0 && !f->samples.empty()) {
        for (double t : {in.cursors.t1, in.cursors.t2}) {
            const double x = seconds_to_x(p, *f, t);
            if (x >= p.x && x <= p.x + p.w) d.lines.push_back({{{x, p.y}, {x, p.y + p.h}}, kCursor, 1});
        }
    }

    double y = p.y + p.h + kTextLineHeight;
    const std::string trig = s.mode == analysis::TriggerMode::Roll
                                 ? std::string("Roll")
                                 : std::string(mode_name(s.mode)) + "  " +
                                       (s.edge == analysis::Edge::Rising ? "rising " : "falling ") +
                                       format_volts(s.levelVolts) + "  pre " + fmt("%.0f %%", s.pretriggerPercent) +
                                       (s.holdoffSeconds > 0 ? "  holdoff " + format_seconds(s.holdoffSeconds) : "");
    d.texts.push_back({p.x, y,
                       "board " + std::to_string(s.board) + "  " + format_seconds(s.secondsPerDiv) + "/div  " +
                           format_volts(s.voltsPerDiv) + "/div  offset " + format_volts(s.offsetVolts) + "  " + trig,
                       kText});
    y += kTextLineHeight;
    const analysis::Measurements m =
        f ? analysis::measure(f->samples.data(), f->samples.size(), f->sampleRate) : analysis::Measurements{};
    // Samples that arrive without a trigger in a triggered mode give no
    // frame: say what the scope waits for, not that nothing came.
    const bool untriggered = m.count == 0 && st.samplesArrived && waits_for_trigger(s.mode);
    d.texts.push_back(
        {p.x, y, untriggered ? (st.running ? "waiting for trigger" : "no trigger") : measurement_line(m), kText});
    y += kTextLineHeight;
    d.texts.push_back({p.x, y, cursor_line(in.cursors, f), kCursor});
    for (const std::string& line : statusText) {
        y += kTextLineHeight;
        d.texts.push_back({p.x, y, line, st.failure.empty() ? kText : kFailureText});
    }
    if (!st.fifoWarning.empty()) {
        // Over the trace, where it cannot be missed: the trace may have gaps.
        double wy = p.y;
        for (const std::string& line : wrap_text(st.fifoWarning, std::max(1.0, p.w - 12), in.textWidth)) {
            wy += kTextLineHeight;
            d.texts.push_back({p.x + 6, wy, line, kFailureText});
        }
    }
    return d;
}

void autoscale(const DisplayFrame& f, ScopeSettings* s) {
    const analysis::Measurements m = analysis::measure(f.samples.data(), f.samples.size(), f.sampleRate);
    if (m.count == 0) return;
    // The smallest scale at which the trace fills no more than 80 % of the
    // height, centred on its middle.
    const double need = std::max(m.peakToPeak / (kDivisionsY * 0.8), 1e-12);
    double chosen = volt_scales().back();
    for (double v : volt_scales()) {
        if (v >= need) {
            chosen = v;
            break;
        }
    }
    s->voltsPerDiv = chosen;
    s->offsetVolts = -(m.max + m.min) / 2;
}

std::string visible_csv(const DisplayFrame& f) {
    std::string out = "time_s,volts\n";
    // Volts are whole multiples of 5/8192: 17 digits write them exactly
    // (%g drops the trailing zeros).  Times to 12 digits: 100 s to 0.1 ns.
    char line[64];
    for (std::size_t i = 0; i < f.samples.size(); ++i) {
        const int len =
            std::snprintf(line, sizeof line, "%.12g,%.17g\n", sample_time(f, i), units::sample_volts(f.samples[i]));
        out.append(line, static_cast<std::size_t>(len));
    }
    return out;
}

}  // namespace kv318::scope
