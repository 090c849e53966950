// kv318-scope on kv318-sim at divider 2 with a 26 MHz converter clock
// (13 MS/s, the fastest stream), Qt offscreen, for KV318_BENCH_SECONDS
// (default 60): the scope runs with --screenshot --after SECONDS and prints
// its frames and samples as it exits.  Counters: fps (frames drawn a
// second), MS/s delivered, CPU_s_per_s (the scope process's user and
// system time per second of signal), fifo_drops (the samples the
// simulator's FIFO dropped; -1 when it logged no figure) and ok (1 when the
// scope exited 0: no ring overflow, possible FIFO loss or other failure was
// on screen).  The simulator runs at the priority of hardware
// (board_process.h).  In the row board_core:1 it shares one core with the
// scope's timer thread (board_core.h), which the benchmark pins as soon as
// it appears; the scope's other threads keep every core.  In board_core:0
// the scheduler places both.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board_core.h"
#include "board_process.h"

namespace {

double run_seconds() {
    const char* env = std::getenv("KV318_BENCH_SECONDS");
    const double s = env != nullptr ? std::atof(env) : 0.0;
    return s > 0 ? s : 60.0;
}

std::string read_all(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void BM_ScopeAtFastestStream(benchmark::State& state) {
    const double seconds = run_seconds();
    char tmpl[] = "/tmp/kv318-scope-bench-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    ::setenv("KV318_DRIVER_DIR", dir.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const int core = state.range(0) != 0 ? kv318::bench::board_core() : -1;
    for (auto _ : state) {
        const pid_t sim = kv318::bench::spawn_board_process(
            core, {KV318_SIM_EXE, "--dir", dir, "--clock", "26000000", "--signal", "sine", "--freq", "10000"},
            dir + "/sim.log");
        for (int i = 0; i < 3000 && read_all(dir + "/sim.log").find("serving") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const pid_t scope = kv318::bench::spawn_program(
            {KV318_SCOPE_EXE, "--divider", "2", "--clock", "26000000", "--timebase", "100us", "--trigger", "rising:0.5",
             "--screenshot", dir + "/shot.png", "--after", std::to_string(seconds)},
            dir + "/scope.log");
        int status = -1;
        rusage ru{};
        {
            const kv318::bench::TimerThreadsOnCore timerOnCore(scope, core);
            ::wait4(scope, &status, 0, &ru);
        }
        ::kill(sim, SIGTERM);
        ::waitpid(sim, nullptr, 0);
        const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
        // "kv318-scope: N frames in S s (F fps), M samples (R MS/s)"
        const std::string log = read_all(dir + "/scope.log");
        unsigned long long frames = 0, samples = 0;
        double secs = 0, fps = 0;
        const auto at = log.find("frames in");
        if (at != std::string::npos) {
            const auto line = log.rfind("kv318-scope: ", at);
            std::sscanf(log.c_str() + line, "kv318-scope: %llu frames in %lf s (%lf fps), %llu samples", &frames, &secs,
                        &fps, &samples);
        }
        state.counters["fps"] = fps;
        state.counters["MS/s"] = secs > 0 ? static_cast<double>(samples) / secs / 1e6 : 0;
        state.counters["CPU_s_per_s"] = secs > 0 ? cpu / secs : 0;
        const long drops = kv318::bench::fifo_drops_in(dir + "/sim.log");
        state.counters["fifo_drops"] = static_cast<double>(drops);
        state.counters["ok"] = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
        // An error hides the counters, so it carries the simulator's count.
        if (state.counters["ok"] == 0) {
            state.SkipWithError(
                ("the scope failed (simulator FIFO drops: " + std::to_string(drops) + "): " + log).c_str());
        }
        std::remove((dir + "/sim.log").c_str());
        std::remove((dir + "/scope.log").c_str());
        std::remove((dir + "/shot.png").c_str());
    }
    ::rmdir(dir.c_str());
}
BENCHMARK(BM_ScopeAtFastestStream)->ArgName("board_core")->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
