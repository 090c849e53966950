// The tool's subcommands, free of the command-line toolkit: the parsed
// command line arrives as an Invocation, the library as a BoardApi, and
// every line goes to the two streams of the Environment.  Each returns the
// process's exit code (exit_codes.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "board_api.h"
#include "capture_command.h"
#include "recording.h"
#include "sample_format.h"
#include "stream_loop.h"
#include "pipeline_names.h"

namespace kv318::cli {

enum class Command {
    List,
    Info,
    RegGet,
    RegSet,
    Di,
    Do,
    CounterStart,
    CounterRead,
    CounterWatch,
    PulseStart,
    PulseStop,
    Stream,
    Poll,
    Selftest,
    Capture,
};

struct Invocation {
    Command command = Command::Info;
    std::int32_t board = 0;
    bool json = false;
    std::int32_t maxBoards = 16;    // list
    std::int32_t reg = 0;           // reg get/set
    std::int32_t value = 0;         // reg set, do
    std::int32_t intervalMs = 100;  // counter watch
    std::int32_t pulseMode = 0;     // pulse start
    std::int32_t pulseDivisor = 2;
    StreamSettings stream;    // stream, poll, capture (divider and flags)
    double seconds = 0;       // --seconds as given; 0: none
    double stallSeconds = 0;  // --stall-timeout; 0: the default for the rate
    double splitSeconds = 0;  // --split (HDF5 run groups); 0: one group
    bool compress = false;    // --compress (HDF5 samples with shuffle and deflate)
    CaptureSettings capture;  // capture
    std::uint64_t clockHz = 2'000'000;
    Format format = Format::Csv;
    bool formatGiven = false;  // -f was given
    std::string output;        // empty or "-": standard output
    int progress = -1;         // -1: when stderr is a terminal, 0 off, 1 on
    bool loopback = false;     // selftest
    // --server / KV318_SERVER: the kv318-server the board is reached
    // through; empty: the linked library.
    std::string server;
    std::string serverKeys;  // --server-keys / KV318_SERVER_KEYS: its CURVE key directory
    bool follow = false;     // stream/poll --follow: join the server's running stream
};

struct Environment {
    const BoardApi& api;
    std::FILE* out;
    std::FILE* err;
    const std::atomic<bool>& stop;  // set by Ctrl-C / SIGTERM
    std::string (*notFoundHint)(int board);
    bool stdoutIsTerminal = false;
    bool stderrIsTerminal = false;
    // Opens the output of stream and poll (platform::open_output); null:
    // plain C streams on `out` or a file.
    std::unique_ptr<ByteOutput> (*openOutput)(const std::string& path, std::string* error) = nullptr;
    // Whether another process holds the board's acquisition lock, with its
    // pid into *pid (0 when the lock file does not say).  Null: never.
    bool (*streamingElsewhere)(std::int32_t board, std::uint32_t* pid) = nullptr;
    // Whether another process holds the board's acquisition lock itself (a
    // lock file the library will not use does not count), with its pid
    // into *pid: then the library refuses raw register access.  Null: never.
    bool (*heldElsewhere)(std::int32_t board, std::uint32_t* pid) = nullptr;
};

int run_command(const Invocation& inv, const Environment& env);

// Parts shared by the command files.
namespace detail {
// Opens inv.board; on failure prints "board N: not found" with the hint
// and returns -1.
std::int32_t open_board(const Invocation& inv, const Environment& env);
// "board N: CALL failed" plus `why` when given; returns kExitFailed.  For
// a handle of kv318-server (`handle` given) whose call failed there (a
// silent server, a refusal naming the controller) its words replace `why`.
int call_failed(const Environment& env, std::int32_t board, const char* call, const std::string& why = {},
                std::int32_t handle = -1);
// "board N is streaming in another process (pid P)" when another process
// holds the board's acquisition lock; empty when none does.
std::string streaming_elsewhere(const Environment& env, std::int32_t board);
// "board N is streaming in another process (pid P)" when another process
// holds the board's acquisition lock itself (env.heldElsewhere), so the
// library refuses KV318_inb and KV318_outb; empty when none does.
std::string held_elsewhere(const Environment& env, std::int32_t board);
int run_stream_command(const Invocation& inv, const Environment& env);
// What a recording of `inv` on the open board `h` says about itself.
Recording describe_run(const Invocation& inv, const Environment& env, std::int32_t h);
// The FIFO verdict of a run that started, on err: the loss message (true
// then: exit 5), or that the statistics could not be read.  `name` is the
// output's.
bool report_fifo(const Invocation& inv, const Environment& env, const StreamOutcome& r, const std::string& name);
int run_selftest(const Invocation& inv, const Environment& env);
int run_capture_command(const Invocation& inv, const Environment& env);
// Sleeps up to `ms`, waking early when the stop flag is set; false then.
bool pause(const Environment& env, int ms);
}  // namespace detail

}  // namespace kv318::cli
