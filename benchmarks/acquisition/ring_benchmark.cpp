// The two copies of streaming acquisition, each over 1 MiB across the
// ring's end, beside the reference it is held to:
//   Read/ring         KV318_Read converting 1,048,576 ring bytes into 524,288
//                     samples (goal: at most 1.5 x Reference/signExtend)
//   Reference/signExtend  a plain loop widening contiguous int16 to int32
//   Drain/ringAppend  the drain appending 16 KiB bulk replies to the ring
//                     (goal: at most 2 x Reference/memcpy)
//   Reference/memcpy  memcpy of the same 1 MiB
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "KV318.h"
#include "acquisition.h"
#include "device_service.h"

namespace {

using namespace kv318;

constexpr std::int32_t kBytes = 1 << 20;
constexpr std::int32_t kSamples = kBytes / 2;
constexpr std::int32_t kReply = 16384;
// A quarter of the batch before the ring's end, the rest after it.
constexpr std::int32_t kStart = kRingSize - kBytes / 4;

// Answers the one status read of KV318_Read: acquisition enabled.
class EnabledBoard final : public DeviceService {
public:
    Handle open(const char*) override { return 1; }
    bool ioctl(Handle, std::uint32_t, const std::uint8_t*, std::uint32_t, std::uint8_t* out, std::uint32_t outCap,
               std::uint32_t* returned) override {
        std::memset(out, 0, outCap);
        out[0] = 0x04;
        *returned = outCap < 8 ? outCap : 8;
        return true;
    }
    std::int32_t close(Handle) override { return 0; }
    void sleep_ms(std::uint32_t) override {}
};

void fill(std::uint8_t* p, std::size_t n) {
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
}

void Read_ring(benchmark::State& state) {
    EnabledBoard board;
    set_device_service(&board);
    fill(RingBuffer, kRingSize);
    std::vector<std::int32_t> samples(kSamples);
    AcqFault = 0;
    for (auto _ : state) {
        RingReadPos = kStart;
        RingCount = kBytes;
        if (KV318_Read(1, samples.data()) != kSamples) state.SkipWithError("short read");
        benchmark::DoNotOptimize(samples.data());
        benchmark::ClobberMemory();
    }
    set_device_service(nullptr);
    state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(Read_ring);

void Reference_signExtend(benchmark::State& state) {
    std::vector<std::int16_t> in(kSamples);
    fill(reinterpret_cast<std::uint8_t*>(in.data()), kBytes);
    std::vector<std::int32_t> out(kSamples);
    for (auto _ : state) {
        const std::int16_t* src = in.data();
        std::int32_t* dst = out.data();
        benchmark::DoNotOptimize(src);
        for (std::int32_t i = 0; i < kSamples; ++i) dst[i] = src[i];
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(Reference_signExtend);

void Drain_ringAppend(benchmark::State& state) {
    fill(TransferBuffer, kReply);
    for (auto _ : state) {
        RingWritePos = kStart;
        RingCount = 0;
        for (std::int32_t done = 0; done < kBytes; done += kReply) ring_append(TransferBuffer, kReply);
        benchmark::DoNotOptimize(RingBuffer);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(Drain_ringAppend);

void Reference_memcpy(benchmark::State& state) {
    std::vector<std::uint8_t> src(kBytes);
    std::vector<std::uint8_t> dst(kBytes);
    fill(src.data(), src.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(src.data());
        std::memcpy(dst.data(), src.data(), kBytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(Reference_memcpy);

}  // namespace

BENCHMARK_MAIN();
