// `stream` and `poll`: the board, the output and the run, and the message
// that says how a run ended.
#include <memory>

#include "commands.h"
#include "option_limits.h"

namespace kv318::cli::detail {

namespace {

struct Ending {
    int code;
    const char* what;
    const char* advice;
};

// A negative read: what happened and what to do.
Ending read_failure(std::int32_t failure) {
    switch (failure) {
        case -1:
            return {kExitNotEnabled, "acquisition not enabled: the board reports its converter stopped",
                    "check that no other program stopped or reset the board, then run again"};
        case -2:
            return {kExitOverflow, "ring overflow: the reader fell behind and samples were lost",
                    "write to a faster disk or use --format raw, or raise --divider"};
        default:
            return {kExitBulkFailed, "bulk transfer failed: the board stopped delivering samples",
                    "check the USB cable and the board's power, then run again"};
    }
}

}  // namespace

int run_stream_command(const Invocation& inv, const Environment& env) {
    const bool toStdout = inv.output.empty() || inv.output == "-";
    if (toStdout && inv.format != Format::Csv && env.stdoutIsTerminal) {
        std::fprintf(env.err, "refusing to write binary samples to a terminal: use -o FILE or redirect the output\n");
        return kExitUsage;
    }
    const std::int32_t h = open_board(inv, env);
    if (h == -1) return kExitNotFound;
    // Looked at before the output is opened: the same command run twice by
    // mistake must not truncate the file the first run is still writing.
    // The library's refusal below stays the real guard.
    if (const std::string busy = streaming_elsewhere(env, inv.board); !busy.empty()) {
        std::fprintf(env.err, "%s\n", busy.c_str());
        env.api.close(h);
        return kExitBoardBusy;
    }
    std::unique_ptr<FileOutput> file = toStdout ? std::make_unique<FileOutput>(env.out) : std::make_unique<FileOutput>(inv.output);
    const std::string name = toStdout ? std::string("standard output") : inv.output;
    if (!file->ok()) {
        std::fprintf(env.err, "cannot write %s: %s\n", name.c_str(), file->error().c_str());
        env.api.close(h);
        return kExitOutputFailed;
    }
    SampleWriter writer(inv.format, *file, inv.clockHz, static_cast<std::uint32_t>(inv.stream.divider));
    if (!writer.begin()) {
        std::fprintf(env.err, "cannot write %s: %s\n", name.c_str(), writer.error().c_str());
        env.api.close(h);
        return kExitOutputFailed;
    }
    const bool showProgress = inv.progress == 1 || (inv.progress == -1 && env.stderrIsTerminal);
    auto progress = [&](const StreamProgress& p, bool last) {
        // Carriage return and padding keep it on one line.
        std::fprintf(env.err, "\r%s%s", progress_line(p).c_str(), last ? "\n" : "  ");
        std::fflush(env.err);
    };
    StreamSettings settings = inv.stream;
    settings.polled = inv.command == Command::Poll;
    const StreamOutcome r = run_stream(env.api, h, settings, writer, env.stop,
                                       showProgress ? std::function<void(const StreamProgress&, bool)>(progress) : nullptr);
    env.api.close(h);

    const char* start = settings.polled ? "KV318_M_AD" : "KV318_AD";
    const char* read = settings.polled ? "KV318_M_Read" : "KV318_Read";
    if (!r.started) {
        // The library refuses a start, and sends nothing, while another
        // process holds the board; say who, so the user knows what to stop.
        const std::string busy = streaming_elsewhere(env, inv.board);
        if (!busy.empty()) {
            std::fprintf(env.err, "%s\n", busy.c_str());
            return kExitBoardBusy;
        }
        return call_failed(env, inv.board, start,
                           "acquisition did not start (a board request failed or the library's timer could not start)");
    }
    int code = kExitOk;
    if (r.readFailure != 0) {
        const Ending e = read_failure(r.readFailure);
        std::fprintf(env.err, "board %d: %s (%s returned %d); %s. %s keeps the %llu samples read before it.\n",
                     inv.board, e.what, read, settings.polled ? -1 : r.readFailure, e.advice, name.c_str(),
                     static_cast<unsigned long long>(r.samples));
        code = e.code;
    }
    if (writer.failed()) {
        std::fprintf(env.err, "cannot write %s: %s\n", name.c_str(), writer.error().c_str());
        return kExitOutputFailed;
    }
    if (writer.full()) {
        std::fprintf(env.err,
                     "%s: a WAV file holds at most 4 GiB of samples; the run stopped there with a complete file. "
                     "Use --format raw for longer runs.\n",
                     name.c_str());
        return kExitOutputFailed;
    }
    return code;
}

}  // namespace kv318::cli::detail
