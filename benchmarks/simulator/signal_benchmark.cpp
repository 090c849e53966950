// The cost of making the simulated analog input, per sample, for each
// signal: what bounds the converter rate kv318-sim can keep up with (at
// divider 2 and a 26 MHz clock it must make 13 million samples a second
// besides serving the reads).  Batches of 4096 samples, as the board makes
// them between requests.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "analog_signal.h"

namespace {

using namespace kv318::sim;

void BM_SignalBytes(benchmark::State& state) {
    SignalConfig s;
    s.kind = static_cast<SignalKind>(state.range(0));
    s.noiseV = state.range(1) != 0 ? 0.05 : 0.0;
    s.dutyPercent = 25;
    const SampleTiming timing{26'000'000, 2};
    constexpr std::size_t kBatch = 4096;
    std::vector<std::uint8_t> out(2 * kBatch);
    std::uint64_t n = 0;
    for (auto _ : state) {
        signal_bytes(s, n, kBatch, timing, out.data());
        benchmark::DoNotOptimize(out.data());
        n += kBatch;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(n));
    state.SetLabel(s.noiseV > 0 ? "with noise" : "clean");
}
BENCHMARK(BM_SignalBytes)
    ->ArgNames({"kind", "noise"})
    ->ArgsProduct({{static_cast<int>(SignalKind::Sine), static_cast<int>(SignalKind::Ramp),
                    static_cast<int>(SignalKind::Square), static_cast<int>(SignalKind::Constant)},
                   {0, 1}});

}  // namespace

BENCHMARK_MAIN();
