// The fastest sustained stream: libKV318's timer-driven acquisition reading
// a simulated board through the driver channel, with the converter clock
// raised step by step at divider 2 (clock Hz = bytes per second).  A rate is
// sustained when it runs the whole time with every KV318_Read >= 0, no
// sample dropped by the board's FIFO, and the ramp intact sample by sample.
//
// Each rate runs with the simulated board's own 512 KiB FIFO, with a 4 MiB
// one, and with the 512 KiB one at load (below).  The small FIFO holds about 25 ms at 20 MB/s, so a
// drain the scheduler holds back that long drops samples; the large one
// shows what the library and the channel move when such delays are
// absorbed.  The figure that counts is the first.
//
// CPU time is the whole process's: the library's timer thread, the reader,
// and the simulator's connection thread, since all three run in here.
//
// The rows "load:2" run the same stream while two busy processes (started
// and stopped here) keep both of a small machine's cores busy.  The
// simulated board stands in for hardware, which no load slows: its
// connection thread runs at the highest priority the process may give it
// (below), so the load falls on the library (whose timer thread raises
// itself) and on the reader, which stays at the caller's priority.
//
// The rows "board_core:1" keep the simulated board's thread on the core of
// the library's timer thread, where a request and its reply wake no other
// core (see board_core.h); the rows "board_core:0" let the scheduler place
// it, which on a virtual machine charges the library for waking the
// board's core.
//
// Each row also reports the library's own drain statistics
// (KV318_StreamStats): the longest gap between two drains that ran dry, the
// drains that ended on their time bound, and the timer's ticks a second
// (100 at the 10 ms period, 500 at the 2 ms one).  Beside them, the worst
// wake-up lateness of the real-time probe threads, one on each core, that
// ran the whole row (wakeup_probe.h) and the load average at the row's end:
// a long gap with a late probe is the machine's, one with punctual probes
// the library's.
//
// KV318_BENCH_SECONDS sets the run per rate (default 10).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "KV318.h"
#include "board_core.h"
#include "ramp_reader.h"
#include "served_boards.h"
#include "wakeup_probe.h"

namespace {

using namespace kv318::sim;
using Clock = std::chrono::steady_clock;

double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double run_seconds() {
    const char* env = std::getenv("KV318_BENCH_SECONDS");
    const double s = env != nullptr ? std::atof(env) : 0.0;
    return s > 0 ? s : 10.0;
}

// Busy processes for the load rows: each spins until it is killed.
class BusyLoad {
public:
    explicit BusyLoad(int processes) {
        for (int i = 0; i < processes; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) spin();
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~BusyLoad() {
        for (const pid_t pid : pids_) ::kill(pid, SIGKILL);
        for (const pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
    }
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;

private:
    [[noreturn]] static void spin() {
        volatile std::uint64_t x = 0;
        for (;;) x = x + 1;
    }
    std::vector<pid_t> pids_;
};

struct RunResult {
    bool sustained = false;
    double seconds = 0;
    double bytes = 0;
    double cpuSeconds = 0;
    std::int32_t failure = 0;  // the first negative KV318_Read, or 0
    std::uint64_t fifoDrops = 0;
    bool rampBroken = false;
    KV318_STREAM_STATS stats{};
    double probeWorstLateMs = 0;
    std::uint64_t probeLateWakeups = 0;
    bool probeRealTime = false;
    double loadAverage = 0;
};

// Results by FIFO size, load and the board's placement, then clock, for the
// closing summary.
using ResultKey = std::tuple<std::size_t, int, bool>;
std::map<ResultKey, std::map<std::uint64_t, RunResult>>& results() {
    static std::map<ResultKey, std::map<std::uint64_t, RunResult>> r;
    return r;
}

RunResult stream_at(std::uint64_t clockHz, std::size_t fifoBytes, int load, bool sharedCore, double seconds) {
    BoardConfig cfg;
    cfg.signal.kind = SignalKind::Ramp;
    cfg.converterClockHz = clockHz;
    cfg.fifoBytes = fifoBytes;
    const int core = sharedCore ? kv318::bench::board_core() : -1;
    kv318::test::ServedBoards sim({cfg}, {}, kv318::bench::board_thread_starter(core));
    const BusyLoad busy(load);
    RunResult r;
    if (!sim.started()) {
        std::fprintf(stderr, "simulator: %s\n", sim.error().c_str());
        return r;
    }
    const std::int32_t h = KV318_OpenDevice(0);
    std::uint64_t next = 0;  // samples delivered: the ramp's next sample number
    kv318::bench::CoreProbes probe;

    const double cpu0 = process_cpu_seconds();
    const auto t0 = Clock::now();
    bool started = false;
    if (h >= 0) {
        // The timer thread KV318_AD starts takes this thread's pin; the
        // reader, this thread, gets its cores back at once.
        const kv318::bench::OnCore pinned(core);
        started = KV318_AD(h, 0, 0, 0, 0, 2) == 0;
    }
    if (!started) {
        r.failure = -1;
    } else {
        const kv318::bench::RampRead read = kv318::bench::read_ramp(h, t0, seconds);
        r.failure = read.failure;
        r.rampBroken = read.rampBroken;
        next = read.samples;
        KV318_StopAD(h);
        r.stats.size = sizeof r.stats;
        (void)KV318_StreamStats(h, &r.stats);
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpuSeconds = process_cpu_seconds() - cpu0;
    probe.stop();
    r.probeWorstLateMs = probe.worst_late_ms();
    r.probeLateWakeups = probe.late_wakeups();
    r.probeRealTime = probe.real_time();
    (void)::getloadavg(&r.loadAverage, 1);
    r.bytes = 2.0 * static_cast<double>(next);
    r.fifoDrops = sim.board().stats().samplesDropped;
    r.sustained = r.failure == 0 && r.fifoDrops == 0 && !r.rampBroken;
    if (h >= 0) KV318_CloseDevice(h);
    return r;
}

void BM_SustainedStream(benchmark::State& state) {
    const auto clockHz = static_cast<std::uint64_t>(state.range(0)) * 1'000'000;
    const auto fifoBytes = static_cast<std::size_t>(state.range(1)) * 1024;
    const auto load = static_cast<int>(state.range(2));
    const bool sharedCore = state.range(3) != 0;
    RunResult r;
    for (auto _ : state) {
        r = stream_at(clockHz, fifoBytes, load, sharedCore, run_seconds());
        state.SetIterationTime(r.seconds);
    }
    results()[{fifoBytes, load, sharedCore}][clockHz] = r;
    const double mb = r.bytes / 1e6;
    state.counters["MB/s"] = r.seconds > 0 ? mb / r.seconds : 0;
    state.counters["CPU_ms/MB"] = mb > 0 ? 1e3 * r.cpuSeconds / mb : 0;
    state.counters["sustained"] = r.sustained ? 1 : 0;
    state.counters["read_failure"] = r.failure;
    state.counters["fifo_drops"] = static_cast<double>(r.fifoDrops);
    state.counters["ramp_broken"] = r.rampBroken ? 1 : 0;
    state.counters["longest_gap_ms"] = static_cast<double>(r.stats.longest_gap_us) / 1e3;
    state.counters["time_bound_drains"] = static_cast<double>(r.stats.time_bound_drains);
    state.counters["top_level_drains"] = static_cast<double>(r.stats.top_level_drains);
    state.counters["ticks/s"] = r.seconds > 0 ? static_cast<double>(r.stats.ticks) / r.seconds : 0;
    state.counters["probe_late_ms"] = r.probeWorstLateMs;
    state.counters["probe_late_2ms"] = static_cast<double>(r.probeLateWakeups);
    state.counters["probe_rt"] = r.probeRealTime ? 1 : 0;
    state.counters["loadavg"] = r.loadAverage;
}
// Every rate with both FIFOs, quiet; the board's own FIFO also at load, and
// with the board on any core, quiet and at load.
void stream_rows(benchmark::internal::Benchmark* b) {
    for (const std::int64_t mhz : {8, 16, 20, 22, 24, 26, 28}) {
        b->Args({mhz, 512, 0, 1});
        b->Args({mhz, 4096, 0, 1});
        b->Args({mhz, 512, 2, 1});
        b->Args({mhz, 512, 0, 0});
        b->Args({mhz, 512, 2, 0});
    }
}
BENCHMARK(BM_SustainedStream)
    ->ArgNames({"clock_MHz", "fifo_KiB", "load", "board_core"})
    ->Apply(stream_rows)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The highest rate that held for each FIFO size, among those run.
    for (const auto& [key, byClock] : results()) {
        const auto& [fifoBytes, load, sharedCore] = key;
        const char* placement = sharedCore ? "board on the timer's core" : "board on any core";
        const RunResult* best = nullptr;
        std::uint64_t bestClock = 0;
        for (const auto& [clockHz, r] : byClock) {
            if (r.sustained && clockHz > bestClock) {
                best = &r;
                bestClock = clockHz;
            }
        }
        if (best == nullptr) {
            std::printf("FIFO %zu KiB, %d busy processes, %s: no rate ran without a failed read or a FIFO drop\n",
                        fifoBytes / 1024, load, placement);
            continue;
        }
        const double mb = best->bytes / 1e6;
        std::printf(
            "FIFO %zu KiB, %d busy processes, %s: fastest sustained stream at converter clock %llu MHz (divider 2): "
            "%.1f MB/s over %.1f s, %.2f ms CPU per MB (library, channel and simulator together)\n",
            fifoBytes / 1024, load, placement, static_cast<unsigned long long>(bestClock / 1'000'000),
            mb / best->seconds, best->seconds, 1e3 * best->cpuSeconds / mb);
    }
    return 0;
}
