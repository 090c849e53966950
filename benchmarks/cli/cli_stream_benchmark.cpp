// kv318-cli streaming to a file, and the library streaming on its own, in
// one run against the same kind of simulated board (served in this
// process), each reader in a child process so that its CPU time is its own:
//
//   library   KV318_AD / KV318_Read at divider 2, samples checked and dropped
//             (a forked child linked with the library)
//   cli_raw   kv318-cli stream --format raw at divider 2 to a file
//   cli_csv   kv318-cli stream --format csv at 2 MS/s to a file
//   cli_hdf5  kv318-cli stream --format hdf5 at divider 2 to a file
//
// MB/s counts sample bytes (2 per sample) over the run; CPU_ms/MB is the
// reader process's user and system time per MB of samples.  Beside the
// simulator's count of FIFO drops stands the verdict the library's drain
// statistics give (possible_loss 1 yes, 0 no, -1 not known: the library
// child reads them itself, kv318-cli says so with exit 5).  A run holds
// when no read failed, the board's FIFO dropped nothing, the verdict is
// not a possible loss and (raw, hdf5) the file holds the ramp unbroken.
// KV318_BENCH_SECONDS sets each run (default 10).  The simulator runs in
// this process; its CPU time is not counted.  Its threads share one core
// with the reader's timer thread (board_core.h); the reader's other
// threads keep every core.
#include <benchmark/benchmark.h>
#include <hdf5.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "KV318.h"
#include "board_api.h"
#include "board_core.h"
#include "board_process.h"
#include "fifo_verdict.h"
#include "ramp_reader.h"
#include "served_boards.h"

namespace {

using namespace kv318::sim;
using Clock = std::chrono::steady_clock;

double run_seconds() {
    const char* env = std::getenv("KV318_BENCH_SECONDS");
    const double s = env != nullptr ? std::atof(env) : 0.0;
    return s > 0 ? s : 10.0;
}

struct Child {
    int status = -1;
    double cpuSeconds = 0;
};

Child wait_child(pid_t pid) {
    Child c;
    rusage ru{};
    if (::wait4(pid, &c.status, 0, &ru) == pid) {
        c.cpuSeconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    }
    return c;
}

// What a library child reports through its pipe.
struct LibraryResult {
    double bytes = 0;
    double seconds = 0;
    std::int32_t failure = 0;
    std::int32_t rampBroken = 0;
    std::int32_t possibleLoss = -1;  // 1, 0, or -1 when the statistics could not be read
};

// The library on its own, as the simulator's stream benchmark reads it:
// every 40 ms, each sample checked against the ramp.
[[noreturn]] void library_child(int out, double seconds, std::uint64_t clockHz, std::uint64_t fifoBytes) {
    LibraryResult r;
    const std::int32_t h = KV318_OpenDevice(0);
    std::uint64_t next = 0;
    const auto t0 = Clock::now();
    if (h < 0 || KV318_AD(h, 0, 0, 0, 0, 2) != 0) {
        r.failure = -100;
    } else {
        const kv318::bench::RampRead read = kv318::bench::read_ramp(h, t0, seconds);
        r.failure = read.failure;
        r.rampBroken = read.rampBroken ? 1 : 0;
        next = read.samples;
        KV318_StopAD(h);
        KV318_STREAM_STATS stats{};
        if (kv318::pipeline::read_stream_stats(kv318::pipeline::library_api(), h, &stats)) {
            r.possibleLoss = kv318::analysis::fifo_could_overflow(clockHz, 2, fifoBytes, stats.longest_gap_us) ? 1 : 0;
        }
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.bytes = 2.0 * static_cast<double>(next);
    (void)!::write(out, &r, sizeof r);
    ::_exit(0);
}

// Whether the raw file holds the ramp from sample 0, unbroken.
bool raw_file_is_ramp(const std::string& path, double* bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::vector<std::uint8_t> buf(1 << 20);
    std::uint64_t n = 0;
    bool ok = true;
    std::size_t got = 0;
    while ((got = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
        for (std::size_t i = 0; i + 1 < got; i += 2, ++n) {
            const auto w = static_cast<std::int16_t>(buf[i] | (buf[i + 1] << 8));
            if (w != static_cast<std::int16_t>((n & 0x3FFF) << 2)) ok = false;
        }
    }
    std::fclose(f);
    *bytes = 2.0 * static_cast<double>(n);
    return ok;
}

// Whether the HDF5 file's one run holds the ramp's codes from sample 0,
// unbroken: code n modulo 16384, read as a signed 14-bit number.
bool hdf5_file_is_ramp(const std::string& path, double* bytes) {
    *bytes = 0;
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0) return false;
    const hid_t d = H5Dopen2(file, "/run_0001/samples", H5P_DEFAULT);
    const hid_t space = d < 0 ? -1 : H5Dget_space(d);
    hsize_t size = 0;
    bool ok = space >= 0 && H5Sget_simple_extent_dims(space, &size, nullptr) == 1;
    std::vector<std::int16_t> codes(1 << 20);
    for (hsize_t at = 0; ok && at < size; at += codes.size()) {
        hsize_t n = std::min<hsize_t>(codes.size(), size - at);
        const hid_t memory = H5Screate_simple(1, &n, nullptr);
        ok = H5Sselect_hyperslab(space, H5S_SELECT_SET, &at, nullptr, &n, nullptr) >= 0 &&
             H5Dread(d, H5T_NATIVE_INT16, memory, space, H5P_DEFAULT, codes.data()) >= 0;
        H5Sclose(memory);
        for (hsize_t i = 0; ok && i < n; ++i) {
            const auto code = static_cast<std::int32_t>((at + i) & 0x3FFF);
            ok = codes[i] == (code >= 0x2000 ? code - 0x4000 : code);
        }
    }
    if (space >= 0) H5Sclose(space);
    if (d >= 0) H5Dclose(d);
    H5Fclose(file);
    *bytes = 2.0 * static_cast<double>(size);
    return ok;
}

void BM_Stream(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));  // 0 library, 1 cli raw, 2 cli csv, 3 cli hdf5
    const std::uint64_t clockHz = static_cast<std::uint64_t>(state.range(1)) * 1'000'000;
    const double seconds = run_seconds();
    BoardConfig cfg;
    cfg.signal.kind = SignalKind::Ramp;
    cfg.converterClockHz = clockHz;
    cfg.fifoBytes = static_cast<std::size_t>(state.range(2)) * 1024;
    const int core = kv318::bench::board_core();
    kv318::test::ServedBoards sim({cfg}, {}, kv318::bench::board_thread_starter(core));
    if (!sim.started()) {
        state.SkipWithError(sim.error().c_str());
        return;
    }
    const char* const formats[] = {"", "raw", "csv", "hdf5"};
    const std::string file = sim.dir() + "/out." + formats[which];
    double bytes = 0, elapsed = 0, cpu = 0;
    bool held = false;
    std::int32_t exitCode = 0;
    std::int32_t possibleLoss = -1;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (which == 0) {
            int fds[2];
            if (::pipe(fds) != 0) break;
            const pid_t pid = ::fork();
            if (pid == 0) library_child(fds[1], seconds, clockHz, cfg.fifoBytes);
            const kv318::bench::TimerThreadsOnCore timerOnCore(pid, core);
            ::close(fds[1]);
            LibraryResult r;
            const bool got = ::read(fds[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
            ::close(fds[0]);
            const Child c = wait_child(pid);
            elapsed = r.seconds;
            bytes = r.bytes;
            cpu = c.cpuSeconds;
            exitCode = r.failure;
            held = got && r.failure == 0 && r.rampBroken == 0;
            possibleLoss = got ? r.possibleLoss : -1;
        } else {
            const std::string secs = std::to_string(seconds);
            const std::string clockArg = std::to_string(clockHz);
            const std::string fifoArg = std::to_string(cfg.fifoBytes);
            const std::vector<std::string> args = {
                KV318_CLI_EXE, "stream",       "-d", "2",  "--clock",       clockArg,       "-s",   secs,
                "-f",          formats[which], "-o", file, "--no-progress", "--fifo-bytes", fifoArg};
            // Its messages to a file: the verdict is in them.
            const std::string errFile = sim.dir() + "/stderr.txt";
            const pid_t pid = kv318::bench::spawn_program(args, errFile);
            if (pid < 0) break;
            Child c;
            {
                const kv318::bench::TimerThreadsOnCore timerOnCore(pid, core);
                c = wait_child(pid);
            }
            std::string messages;
            if (std::FILE* f = std::fopen(errFile.c_str(), "rb")) {
                char buf[4096];
                std::size_t got = 0;
                while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) messages.append(buf, got);
                std::fclose(f);
            }
            std::fputs(messages.c_str(), stderr);
            elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
            cpu = c.cpuSeconds;
            exitCode = WIFEXITED(c.status) ? WEXITSTATUS(c.status) : -1;
            possibleLoss =
                messages.find("samples may have been lost in the board's FIFO") != std::string::npos               ? 1
                : messages.find("whether samples were lost in the board's FIFO is not known") != std::string::npos ? -1
                                                                                                                   : 0;
            if (which == 1) {
                held = raw_file_is_ramp(file, &bytes) && exitCode == 0;
            } else if (which == 3) {
                held = hdf5_file_is_ramp(file, &bytes) && exitCode == 0;
            } else {
                // Every line but the comments and the header is one sample.
                std::uint64_t lines = 0;
                if (std::FILE* f = std::fopen(file.c_str(), "rb")) {
                    std::vector<char> buf(1 << 20);
                    std::size_t got = 0;
                    bool lineStart = true;
                    while ((got = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
                        for (std::size_t i = 0; i < got; ++i) {
                            if (lineStart && buf[i] == '#') lines -= 1;  // taken back at its newline
                            lineStart = buf[i] == '\n';
                            lines += lineStart;
                        }
                    }
                    std::fclose(f);
                }
                bytes = lines > 0 ? 2.0 * static_cast<double>(lines - 1) : 0;
                held = exitCode == 0;
            }
        }
        state.SetIterationTime(elapsed);
    }
    const double drops = static_cast<double>(sim.board().stats().samplesDropped);
    held = held && drops == 0 && possibleLoss != 1;
    const double mb = bytes / 1e6;
    state.counters["MB/s"] = elapsed > 0 ? mb / elapsed : 0;
    state.counters["MS/s"] = elapsed > 0 ? mb / 2 / elapsed : 0;
    state.counters["CPU_ms/MB"] = mb > 0 ? 1e3 * cpu / mb : 0;
    state.counters["held"] = held ? 1 : 0;
    state.counters["fifo_drops"] = drops;
    state.counters["possible_loss"] = possibleLoss;
    state.counters["exit"] = exitCode;
    std::printf(
        "%-8s converter %3llu MHz, divider 2, FIFO %4lld KiB: %7.2f MB/s (%.2f MS/s) over %.1f s, "
        "%6.2f ms CPU per MB, FIFO drops %.0f, possible loss %s, %s\n",
        which == 0   ? "library"
        : which == 1 ? "cli raw"
        : which == 2 ? "cli csv"
                     : "cli hdf5",
        static_cast<unsigned long long>(clockHz / 1'000'000), static_cast<long long>(state.range(2)),
        elapsed > 0 ? mb / elapsed : 0, elapsed > 0 ? mb / 2 / elapsed : 0, elapsed, mb > 0 ? 1e3 * cpu / mb : 0, drops,
        possibleLoss == 1   ? "yes"
        : possibleLoss == 0 ? "no"
                            : "not known",
        held ? "held" : "FAILED");
}
// The library and the raw and HDF5 files at 26 MB/s (converter 26 MHz), the
// CSV file at 2 MS/s (converter 4 MHz), with the board's own 512 KiB FIFO.  The
// 4 MiB FIFO runs show what moves when the scheduler holds a drain back
// longer than the small FIFO's 20 ms at 26 MB/s, as on a busy machine.
BENCHMARK(BM_Stream)
    ->ArgNames({"reader", "clock_MHz", "fifo_KiB"})
    ->Args({0, 26, 512})
    ->Args({1, 26, 512})
    ->Args({2, 4, 512})
    ->Args({3, 26, 512})
    ->Args({0, 26, 4096})
    ->Args({1, 26, 4096})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
