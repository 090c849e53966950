// How fast the scope's core gets through samples: the trigger engine
// searching a stream and each triggered frame decimated to 1000 screen
// columns, against a plain min/max loop over the same data (the floor any
// decimation pays).  Items per second are samples per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "decimate.h"
#include "trigger.h"

namespace {

using namespace kv318::analysis;

constexpr std::size_t kChunk = 1 << 20;  // one read's worth of samples, about

// A 1 kHz sine at 13 MS/s (the fastest stream) with a little noise: the
// trigger finds an edge every 13000 samples.
std::vector<std::int32_t> stream() {
    std::vector<std::int32_t> s(kChunk);
    std::uint32_t seed = 1;
    for (std::size_t i = 0; i < s.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double v = 2.0 * std::sin(2 * 3.14159265358979 * 1000.0 * static_cast<double>(i) / 13e6);
        s[i] = static_cast<std::int32_t>(std::lround(v * 8192 / 5)) * 4 + static_cast<std::int32_t>(seed >> 29) * 4;
    }
    return s;
}

// Decimates each frame, as the scope's worker does with the frame it shows.
struct Decimating : FrameSink {
    std::vector<ColumnRange> columns = std::vector<ColumnRange>(1000);
    std::size_t frames = 0;
    bool frame(const Frame& f) override {
        decimate_columns(f.samples, f.count, columns.size(), columns.data());
        benchmark::DoNotOptimize(columns.data());
        ++frames;
        return true;
    }
};

// Frames of 13000 samples (1 ms/div at 13 MS/s): every sample goes
// through the search and, once in a frame, through the decimation.
void BM_TriggerAndDecimate(benchmark::State& state) {
    const auto s = stream();
    TriggerSettings ts;
    ts.mode = TriggerMode::Normal;
    ts.levelVolts = 0.5;
    ts.frameSamples = static_cast<std::size_t>(state.range(0));
    ts.pretriggerPercent = 50;
    TriggerEngine engine(ts);
    Decimating sink;
    for (auto _ : state) engine.feed(s.data(), s.size(), sink);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
    state.counters["frames"] = benchmark::Counter(static_cast<double>(sink.frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TriggerAndDecimate)->Arg(1000)->Arg(13000)->Arg(130000);

void BM_PlainMinMax(benchmark::State& state) {
    const auto s = stream();
    for (auto _ : state) {
        std::int32_t lo = std::numeric_limits<std::int32_t>::max(), hi = std::numeric_limits<std::int32_t>::min();
        for (std::int32_t v : s) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        benchmark::DoNotOptimize(lo);
        benchmark::DoNotOptimize(hi);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_PlainMinMax);

}  // namespace

BENCHMARK_MAIN();
