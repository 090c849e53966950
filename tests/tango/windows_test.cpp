// The windows a KV318 device's waveform events carry: consecutive samples
// at their own indices, whatever the reads' sizes; a jump drops the part
// window and warns on the next; a possible FIFO loss is an alarm on every
// window that holds a suspect sample; a client that falls behind skips
// whole windows, counted.
#include <gtest/gtest.h>

#include <vector>

#include "sample_units.h"
#include "waveform_windows.h"

namespace kv318::tango {
namespace {

std::int32_t ramp(std::uint64_t n) { return static_cast<std::int16_t>((n & 0x3FFF) << 2); }

std::vector<std::int32_t> ramp_block(std::uint64_t first, std::size_t count) {
    std::vector<std::int32_t> v(count);
    for (std::size_t i = 0; i < count; ++i) v[i] = ramp(first + i);
    return v;
}

// Every sample of `w` is the ramp's at its index.
void expect_ramp(const Window& w) {
    for (std::size_t i = 0; i < w.volts.size(); ++i) {
        ASSERT_EQ(w.volts[i], units::sample_volts(ramp(w.firstIndex + i)))
            << "window at " << w.firstIndex << ", sample " << i;
    }
}

std::vector<Window> drain(WindowCutter& c) {
    std::vector<Window> out;
    Window w;
    while (c.pop(&w)) out.push_back(w);
    return out;
}

TEST(WaveformWindows, TileTheStreamWhateverTheReadSizes) {
    struct Case {
        std::size_t length, block, blocks;
        std::uint64_t start;  // a follower's first index
    };
    for (const Case& c : {Case{1000, 1, 2500, 0}, Case{1000, 7, 500, 0}, Case{1000, 1000, 3, 0}, Case{1000, 2500, 1, 0},
                          Case{3, 4, 2, 1'000'000'007}, Case{1, 3, 1, 42}}) {
        WindowCutter cutter(c.length);
        std::uint64_t next = c.start;
        std::vector<Window> got;
        for (std::size_t b = 0; b < c.blocks; ++b) {
            const auto block = ramp_block(next, c.block);
            cutter.take(next, block.data(), block.size());
            next += c.block;
            for (Window& w : drain(cutter)) got.push_back(std::move(w));
        }
        const std::size_t whole = c.block * c.blocks / c.length;
        ASSERT_EQ(got.size(), whole) << "length " << c.length << ", block " << c.block;
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].firstIndex, c.start + k * c.length);
            EXPECT_EQ(got[k].sequence, k + 1);
            EXPECT_EQ(got[k].volts.size(), c.length);
            EXPECT_EQ(got[k].quality, WindowQuality::kValid);
            expect_ramp(got[k]);
        }
        EXPECT_EQ(cutter.skipped(), 0u);
    }
}

TEST(WaveformWindows, QualityFollowsGapsAndPossibleLosses) {
    // Length 10.  Each step takes a block or marks a loss; the windows
    // that come out are listed by first index and quality.
    struct Step {
        std::uint64_t first;
        std::size_t count;  // 0: mark a possible loss from `first`
    };
    struct Expected {
        std::uint64_t first;
        WindowQuality quality;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::vector<Expected> windows;
    };
    const auto V = WindowQuality::kValid, W = WindowQuality::kWarning, A = WindowQuality::kAlarm;
    const std::vector<Case> cases = {
        {"a jump drops the part window and warns on the next whole one",
         {{0, 15}, {25, 30}},
         {{0, V}, {25, W}, {35, V}, {45, V}}},
        {"a loss marks the queued window holding a suspect sample, and the part one",
         {{0, 25}, {18, 0}, {25, 15}},
         {{0, V}, {10, A}, {20, A}, {30, V}}},
        {"a loss marked before the next read marks the window that read fills",
         {{0, 20}, {20, 0}, {20, 10}},
         {{0, V}, {10, V}, {20, A}}},
        {"an alarm outranks the warning of a gap", {{0, 5}, {50, 5}, {50, 0}, {55, 15}}, {{50, A}, {60, V}}},
    };
    for (const Case& c : cases) {
        WindowCutter cutter(10);
        std::vector<Window> got;
        for (const Step& s : c.steps) {
            if (s.count == 0) {
                cutter.mark_possible_loss(s.first, "the FIFO may have run over");
                continue;
            }
            const auto block = ramp_block(s.first, s.count);
            cutter.take(s.first, block.data(), block.size(), "a gap");
        }
        got = drain(cutter);
        ASSERT_EQ(got.size(), c.windows.size()) << c.what;
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].firstIndex, c.windows[k].first) << c.what;
            EXPECT_EQ(got[k].quality, c.windows[k].quality) << c.what << ", window at " << got[k].firstIndex;
            EXPECT_EQ(got[k].why.empty(), got[k].quality == WindowQuality::kValid) << c.what;
            expect_ramp(got[k]);
        }
    }
}

TEST(WaveformWindows, AClientThatFallsBehindSkipsWholeWindowsCounted) {
    WindowCutter cutter(10);
    const auto block = ramp_block(0, 10 * (kQueuedWindows + 3));
    cutter.take(0, block.data(), block.size());
    const std::vector<Window> got = drain(cutter);
    ASSERT_EQ(got.size(), kQueuedWindows);
    EXPECT_EQ(cutter.skipped(), 3u);
    // The newest are kept, still consecutive among themselves.
    EXPECT_EQ(got.front().firstIndex, 30u);
    for (std::size_t k = 1; k < got.size(); ++k) EXPECT_EQ(got[k].firstIndex, got[k - 1].firstIndex + 10);

    // A window dropped unseen hands its alarm to the next one shown.
    WindowCutter behind(10);
    const auto first = ramp_block(0, 10);
    behind.take(0, first.data(), first.size());
    behind.mark_possible_loss(0, "lost");
    // After a jump, so no suspect sample is in the windows shown.
    const auto more = ramp_block(100, 10 * kQueuedWindows);
    behind.take(100, more.data(), more.size(), "a gap");
    const std::vector<Window> shown = drain(behind);
    ASSERT_EQ(shown.size(), kQueuedWindows);
    EXPECT_EQ(shown.front().firstIndex, 100u);
    EXPECT_EQ(shown.front().quality, WindowQuality::kAlarm);
    EXPECT_EQ(shown.front().why, "lost");
    EXPECT_EQ(shown[1].quality, WindowQuality::kValid);

    // A new run numbers afresh from its own first index.
    cutter.restart(4);
    const auto next = ramp_block(500, 4);
    cutter.take(500, next.data(), next.size());
    const std::vector<Window> after = drain(cutter);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].firstIndex, 500u);
    EXPECT_EQ(after[0].sequence, 1u);
    EXPECT_EQ(cutter.skipped(), 0u);
}

}  // namespace
}  // namespace kv318::tango
