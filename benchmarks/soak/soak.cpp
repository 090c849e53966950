// The soak: libKV318 streams the simulator's ramp for minutes on end while
// both processes are watched for leaks.
//
// kv318-sim runs as a child process in a private driver directory (at the
// priority of hardware, see board_process.h), with the
// converter clock at 20 MHz and divider 2: 10 million samples, 20 MB a
// second.  This process reads the stream through the library's exports
// (KV318_AD, KV318_Read, KV318_StopAD) and checks every sample against the
// ramp: sample n is (n mod 16384) << 2, so a sample lost anywhere (FIFO,
// ring, channel) breaks the sequence.  A KV318_Read of -2 (ring overflow)
// or -3 (failed bulk read) is counted and the stream restarted, which
// starts the ramp again at 0.  Every 10 s it samples VmRSS and Threads of
// both processes from /proc.
//
// kv318-sim and the library's timer thread share one core unless
// --any-core is given (see board_core.h); the reader keeps every core.
//
// It prints one summary line, with the tools' verdict on the board's FIFO
// (from KV318_StreamStats, as kv318-cli decides its exit 5), and exits 0
// only when no sample was lost, no read failed, and neither process grew
// past the bounds below between its first sample (10 s in, once everything
// is allocated) and the end.  A loss the verdict did not flag is named as
// such: the tools would have kept quiet about it.
//
// A real-time probe thread on every core (wakeup_probe.h) runs the whole
// soak; their worst wake-up lateness, and the load average at the end, are
// printed beside the library's longest gap.  Each read that found the ramp
// broken is set against the stalls the probes saw just before it: a loss
// with no stall as long as the FIFO's slack is the library's (or the
// simulated board's), and the line says how many there were.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KV318.h"
#include "board_core.h"
#include "board_process.h"
#include "fifo_verdict.h"
#include "wakeup_probe.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// Growth allowed between the first and the largest later figure.
constexpr long kRssGrowthBoundKiB = 8 * 1024;
constexpr long kThreadGrowthBound = 0;

struct ProcFigures {
    long rssKiB = -1;
    long threads = -1;
};

ProcFigures read_status(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    ProcFigures p;
    std::string key;
    while (f >> key) {
        if (key == "VmRSS:") f >> p.rssKiB;
        else if (key == "Threads:") f >> p.threads;
        f.ignore(1 << 20, '\n');
    }
    return p;
}

// First, largest and last figure of one process.
struct Track {
    ProcFigures first, max, last;
    void add(const ProcFigures& p) {
        if (first.rssKiB < 0) first = p;
        max.rssKiB = std::max(max.rssKiB, p.rssKiB);
        max.threads = std::max(max.threads, p.threads);
        last = p;
    }
    bool grew() const {
        return first.rssKiB < 0 || max.rssKiB - first.rssKiB > kRssGrowthBoundKiB ||
               max.threads - first.threads > kThreadGrowthBound;
    }
    std::string text() const {
        char s[160];
        std::snprintf(s, sizeof s, "RSS %.1f/%.1f/%.1f MiB threads %ld/%ld/%ld", first.rssKiB / 1024.0,
                      max.rssKiB / 1024.0, last.rssKiB / 1024.0, first.threads, max.threads, last.threads);
        return s;
    }
};

}  // namespace

int main(int argc, char** argv) {
    double minutes = 10;
    std::string simPath = KV318_SIM_PATH;
    std::uint64_t clockHz = 20'000'000;
    std::size_t fifoBytes = 4 * 1024 * 1024;
    int readPeriodMs = 25;
    CLI::App app{"Streams the simulator's ramp through libKV318 and watches both processes."};
    app.add_option("--minutes", minutes, "how long to stream")->check(CLI::PositiveNumber)->capture_default_str();
    app.add_option("--sim", simPath, "the kv318-sim program")->capture_default_str();
    app.add_option("--clock", clockHz, "converter clock in Hz; at divider 2 it is the byte rate")
        ->capture_default_str();
    app.add_option("--fifo", fifoBytes,
                   "the simulated FIFO in bytes; the default absorbs a scheduler holding the 10 ms drain "
                   "back by up to 200 ms on a busy machine")
        ->capture_default_str();
    app.add_option("--read-every", readPeriodMs, "milliseconds between KV318_Read calls")
        ->check(CLI::Range(1, 90))
        ->capture_default_str();
    bool anyCore = false;
    app.add_flag("--any-core", anyCore,
                 "let the scheduler place kv318-sim instead of keeping it on the library's timer core");
    CLI11_PARSE(app, argc, argv);
    const int core = anyCore ? -1 : kv318::bench::board_core();

    char tmpl[] = "/tmp/kv318-soak-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string dir = tmpl;
    const std::string logPath = dir + "/kv318-sim.log";
    ::setenv("KV318_DRIVER_DIR", dir.c_str(), 1);

    // The simulator, its output into the log, at the priority of hardware,
    // on the board's core.
    const pid_t sim = kv318::bench::spawn_board_process(core,
                                                        {simPath, "--dir", dir, "--signal", "ramp", "--clock",
                                                         std::to_string(clockHz), "--fifo", std::to_string(fifoBytes)},
                                                        logPath);
    if (sim < 0) {
        std::fprintf(stderr, "soak: cannot start %s\n", simPath.c_str());
        return 2;
    }
    auto stop_sim = [&] {
        ::kill(sim, SIGTERM);
        int status = 0;
        ::waitpid(sim, &status, 0);
    };

    // The board answers once the simulator has made its socket.
    std::int32_t h = -1;
    for (auto until = SteadyClock::now() + std::chrono::seconds(20); h < 0 && SteadyClock::now() < until;) {
        h = KV318_OpenDevice(0);
        if (h < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (h < 0) {
        std::fprintf(stderr, "soak: no board answered in %s\n", dir.c_str());
        stop_sim();
        return 2;
    }

    static std::vector<std::int32_t> samples(KV318_READ_MAX_SAMPLES);
    std::uint64_t checked = 0;  // samples checked, over every run
    std::uint64_t next = 0;     // the ramp's next sample number in this run
    // Samples missing from the ramp, or not ramp values.  A lower bound: the
    // ramp repeats every 16384 samples, so a gap is only seen modulo that;
    // the simulator's FIFO drop count is the exact figure for the board.
    std::uint64_t lost = 0;
    std::uint64_t breaks = 0;  // places the ramp broke
    std::uint64_t overflows = 0, readFaults = 0, otherFailures = 0, restarts = 0;
    Track self, child;
    // The tools' verdict on the board's FIFO, over every run: a loss the
    // simulator counted must never pass without it.
    std::uint64_t riskyGaps = 0, longestGapUs = 0, ticks = 0;
    kv318::bench::CoreProbes probe;
    // When each read that found the ramp broken began (monotonic_ns).
    std::vector<std::int64_t> breakReads;
    auto judge_run = [&] {
        KV318_STREAM_STATS st{};
        st.size = sizeof st;
        if (KV318_StreamStats(h, &st) != 0) return;
        const auto v = kv318::analysis::fifo_verdict(clockHz, 2, fifoBytes, st.longest_gap_us, st.gap_histogram);
        riskyGaps += v.riskyGaps;
        longestGapUs = std::max<std::uint64_t>(longestGapUs, st.longest_gap_us);
        ticks += st.ticks;
    };

    const auto t0 = SteadyClock::now();
    const auto end =
        t0 + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(minutes * 60));
    auto nextSample = t0 + std::chrono::seconds(10);
    // The timer thread a start makes takes the board's core from this
    // thread, which has its own cores back once the start returns.
    auto start = [&] {
        const kv318::bench::OnCore pinned(core);
        return KV318_AD(h, 0, 0, 0, 0, 2) == 0;
    };
    bool started = start();
    if (!started) ++otherFailures;
    auto tick = SteadyClock::now();
    while (started && SteadyClock::now() < end) {
        tick += std::chrono::milliseconds(readPeriodMs);
        std::this_thread::sleep_until(tick);
        const std::int64_t readAt = kv318::bench::monotonic_ns();
        const std::int32_t n = KV318_Read(h, samples.data());
        if (n < 0) {
            if (n == -2) ++overflows;
            else if (n == -3) ++readFaults;
            else ++otherFailures;
            // Both conditions hold until a restart; the new run starts the ramp at 0.
            KV318_StopAD(h);
            judge_run();
            ++restarts;
            next = 0;
            started = start();
            if (!started) ++otherFailures;
            tick = SteadyClock::now();
            continue;
        }
        for (std::int32_t i = 0; i < n; ++i) {
            const auto want = static_cast<std::int16_t>((next & 0x3FFF) << 2);
            const std::int32_t got = samples[static_cast<std::size_t>(i)];
            if (got != want) {
                ++breaks;
                if ((breakReads.empty() || breakReads.back() != readAt) && breakReads.size() < 100'000)
                    breakReads.push_back(readAt);
                // Samples skipped, counted up to the ramp's period; a word
                // that is no ramp value at all counts as one.
                const std::uint64_t at = static_cast<std::uint16_t>(got) >> 2;
                const std::uint64_t gap = (at - next) & 0x3FFF;
                lost += (got & 3) != 0 || gap == 0 ? 1 : gap;
                // Pick the ramp up again where this sample says it is.
                next = at;
            }
            ++next;
        }
        checked += static_cast<std::uint64_t>(n);
        if (SteadyClock::now() >= nextSample) {
            self.add(read_status(::getpid()));
            child.add(read_status(sim));
            nextSample += std::chrono::seconds(10);
        }
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    KV318_StopAD(h);
    judge_run();
    probe.stop();
    double loadAverage = 0;
    (void)::getloadavg(&loadAverage, 1);
    KV318_CloseDevice(h);
    // The simulator logs the connection's end, with its FIFO drops, once it
    // sees the close; give it a moment before stopping it.
    long drops = -1;
    for (auto until = SteadyClock::now() + std::chrono::seconds(5); drops < 0 && SteadyClock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        drops = kv318::bench::fifo_drops_in(logPath);
    }
    stop_sim();
    ::unlink(logPath.c_str());
    ::rmdir(dir.c_str());

    // A stall of the timer's core delays the next drain by as long, after up
    // to one period since the last: the slack is the FIFO's time at this
    // rate, less the chunk a drain may leave behind (as the verdict counts
    // it) and the mean period the timer ran at.  The samples that broke the
    // ramp were drained at most a read period and a gap before the read
    // that found them; 100 ms covers both.
    const double periodMs = ticks > 0 ? 1000.0 * seconds / static_cast<double>(ticks) : 0.0;
    const double slackMs =
        1000.0 * static_cast<double>(fifoBytes - std::min<std::size_t>(fifoBytes, kv318::analysis::kDrainChunkBytes)) /
            static_cast<double>(clockHz) -
        periodMs;
    std::uint64_t unexplained = 0;
    kv318::bench::CoreProbes::Worst worstBefore;  // the largest stall found before a loss
    for (const std::int64_t at : breakReads) {
        const auto w = probe.worst_stall_before(at, 100'000'000);
        if (w.ms < slackMs) ++unexplained;
        if (w.ms >= worstBefore.ms) worstBefore = w;
    }
    const bool lostAny = lost > 0 || overflows > 0 || readFaults > 0 || otherFailures > 0 || drops != 0;
    // Every loss a break in the ramp, and each after such a stall.
    const bool onlyStalls =
        !breakReads.empty() && unexplained == 0 && overflows == 0 && readFaults == 0 && otherFailures == 0;
    const bool grew = self.grew() || child.grew();
    // Drops the verdict did not flag would be a loss the tools keep silent on.
    const bool silent = (drops > 0 || lost > 0) && riskyGaps == 0;
    std::printf(
        "soak: %.1f min at %.2f MB/s (clock %.0f MHz, divider 2, FIFO %zu KiB, kv318-sim on %s): "
        "%llu samples checked, "
        "at least %llu lost in %llu ramp breaks, FIFO drops %ld, -2: %llu, -3: %llu, other failures %llu, restarts "
        "%llu; "
        "verdict: possible FIFO loss %s (%llu risky gaps, longest gap %.1f ms); "
        "probes on %zu cores%s: worst wake-up %.2f ms late, %llu wake-ups over 2 ms late, load average %.2f; "
        "losses found by %zu reads, %llu of them with no host stall as long as the FIFO's slack (%.1f ms at a "
        "%.1f ms period) in the 100 ms before (the longest stall before a loss: %.2f ms, core %d); "
        "library %s; kv318-sim %s (first/max/last); %s\n",
        seconds / 60, 2.0 * static_cast<double>(checked) / seconds / 1e6, clockHz / 1e6, fifoBytes / 1024,
        core >= 0 ? "the timer's core" : "any core", static_cast<unsigned long long>(checked),
        static_cast<unsigned long long>(lost), static_cast<unsigned long long>(breaks), drops,
        static_cast<unsigned long long>(overflows), static_cast<unsigned long long>(readFaults),
        static_cast<unsigned long long>(otherFailures), static_cast<unsigned long long>(restarts),
        riskyGaps > 0 ? "yes" : "no", static_cast<unsigned long long>(riskyGaps),
        static_cast<double>(longestGapUs) / 1000.0, probe.count(),
        probe.real_time() ? " (SCHED_FIFO)" : " (not real-time)", probe.worst_late_ms(),
        static_cast<unsigned long long>(probe.late_wakeups()), loadAverage, breakReads.size(),
        static_cast<unsigned long long>(unexplained), slackMs, periodMs, worstBefore.ms, worstBefore.core,
        self.text().c_str(), child.text().c_str(),
        silent                       ? "FAIL: samples lost and the verdict missed it"
        : lostAny && unexplained > 0 ? "FAIL: samples lost with no host stall past the FIFO's slack"
        : lostAny && onlyStalls      ? "FAIL: samples lost, each after a host stall past the FIFO's slack"
        : lostAny                    ? "FAIL: samples lost"
        : grew                       ? "FAIL: a process grew"
                                     : "PASS");
    return lostAny || grew ? 1 : 0;
}
