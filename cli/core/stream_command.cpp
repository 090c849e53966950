// `stream` and `poll`: the board, the output and the run, and the message
// that says how a run ended.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "exit_codes.h"
#include "option_limits.h"
#include "recording.h"
#include "sample_store.h"
#include "version.h"
#include "pipeline_names.h"

namespace kv318::cli::detail {

namespace {

// What to do about a run a failed read ended; what happened is the
// Reader's read_end_text, the exit code exit_code_for.
const char* read_end_advice(ReadEnd end) {
    switch (end) {
    case ReadEnd::kNotEnabled:
        return "check that no other program stopped or reset the board, then run again";
    case ReadEnd::kRingOverflow:
        return "write to a faster disk or use --format raw, or raise --divider";
    case ReadEnd::kTransferFault:
    case ReadEnd::kNone:
        break;
    }
    return "check the USB cable and the board's power, then run again";
}

std::unique_ptr<ByteOutput> open_output(const Environment& env, const std::string& path, std::string* error) {
    if (env.openOutput != nullptr) return env.openOutput(path, error);
    if (path.empty()) return std::make_unique<FileOutput>(env.out);
    auto file = std::make_unique<FileOutput>(path);
    if (file->ok()) return file;
    *error = file->error();
    return nullptr;
}

// The first sentence of the message for a run a failed read ended, up to
// what the file keeps: printed, and an HDF5 file's `events` row.
std::string read_end_words(const Invocation& inv, const StreamSettings& settings, const StreamOutcome& r, bool isRemote,
                           const RemoteStatus& remote) {
    const char* read = settings.polled ? "KV318_M_Read" : "KV318_Read";
    char text[512];
    if (isRemote && remote.disconnected) {
        // The server's words name the board, and say it waits for it.
        std::snprintf(text, sizeof text, "%s (%s returned %d)", remote.failure.c_str(), read, r.readResult);
    } else if (isRemote) {
        // The server's words say which end it was; the result is the read's own.
        std::snprintf(text, sizeof text, "board %d: %s (%s returned %d)", inv.board, remote.failure.c_str(), read,
                      r.readResult);
    } else {
        // A polled read fails only with -1; a timer-driven one is named by
        // the failure it turned out to be (a -1 from a board that is gone
        // is a failed transfer, -3).
        std::snprintf(text, sizeof text, "board %d: %s (%s returned %d); %s", inv.board, read_end_text(r.end), read,
                      settings.polled ? -1 : r.readFailure, read_end_advice(r.end));
    }
    return text;
}

std::string stall_words(const Invocation& inv, const StreamOutcome& r) {
    char text[320];
    if (r.stalledConverterOff) {
        // Reads that return 0 for ever, from a board whose converter was
        // stopped: the FIFO's last bytes were too few for the drain to take.
        std::snprintf(text, sizeof text,
                      "board %d: %s: no samples came for %g s (--stall-timeout), and the status register says "
                      "conversion is off (KV318_Read returned 0); %s",
                      inv.board, read_end_text(ReadEnd::kNotEnabled), r.stallSeconds,
                      read_end_advice(ReadEnd::kNotEnabled));
        return text;
    }
    std::snprintf(text, sizeof text,
                  "board %d: the board stopped delivering samples: none came for %g s (--stall-timeout); "
                  "check the converter clock, the USB cable and the board's power",
                  inv.board, r.stallSeconds);
    return text;
}

std::string fifo_words(const Invocation& inv, const StreamOutcome& r) {
    return "board " + std::to_string(inv.board) + ": " + analysis::fifo_warning_text(r.fifo);
}

std::string missed_words(const Invocation& inv, const RemoteStatus& remote, std::uint64_t missed) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "board %d: the run fell behind kv318-server at %s: %llu samples of stream %u never arrived (the "
                  "server drops the blocks a client does not take in time)",
                  inv.board, remote.url.c_str(), static_cast<unsigned long long>(missed), remote.stream);
    return text;
}

// The `events` kind of a read's ending.
const char* event_kind(ReadEnd end) {
    switch (end) {
    case ReadEnd::kNotEnabled:
        return "stopped";
    case ReadEnd::kRingOverflow:
        return "overflow";
    case ReadEnd::kTransferFault:
        return "transfer";
    case ReadEnd::kNone:
        break;
    }
    return "error";
}

// Where the run lost samples, as its end is reported below: noted in an
// HDF5 file before it is closed.  Called on the command's thread after the
// board stopped, with the handle still open.
std::vector<RunEvent> end_events(const Invocation& inv, const Environment& env, std::int32_t h,
                                 const StreamSettings& settings, const StreamOutcome& r) {
    std::vector<RunEvent> events;
    RemoteStatus remote;
    const bool isRemote = served_status(env.api, h, &remote);
    if (r.statsRead && r.fifo.possibleLoss && !(isRemote && remote.gone))
        events.push_back({"fifo", fifo_words(inv, r)});
    if (r.readFailure != 0 && !(isRemote && inv.follow && remote.ended)) {
        events.push_back({event_kind(r.end), read_end_words(inv, settings, r, isRemote, remote)});
    } else if (r.readFailure == 0 && r.stalled) {
        events.push_back({"stopped", stall_words(inv, r)});
    }
    return events;
}

}  // namespace

Recording describe_run(const Invocation& inv, const Environment& env, std::int32_t h) {
    Recording r = describe_board(env.api, h, std::string("kv318-cli ") + tool_version(), inv.board, inv.clockHz,
                                 static_cast<std::uint32_t>(inv.stream.divider));
    for (int i = 0; i < 4; ++i) r.flags[i] = inv.stream.flags[i];
    r.polled = inv.command == Command::Poll;
    RemoteStatus remote;
    if (describe_server(env.api, h, &r) && served_status(env.api, h, &remote) && remote.following) {
        // Described before the first read: where the stream stood when this
        // run joined it (the CSV's first index says it exactly, should the
        // blocks right after the join have been missed).
        r.serverFirstKnown = true;
        r.serverFirstIndex = remote.nextIndex;
    }
    return r;
}

bool report_fifo(const Invocation& inv, const Environment& env, const StreamOutcome& r, const std::string& name) {
    if (!r.started) return false;
    if (!r.statsRead) {
        std::fprintf(env.err,
                     "board %d: the library gave no drain statistics, so whether samples were lost in the board's "
                     "FIFO is not known\n",
                     inv.board);
        return false;
    }
    if (!r.fifo.possibleLoss) return false;
    std::fprintf(env.err,
                 "%s. %s holds every sample read, but the board may have dropped some before they were "
                 "read; raise --divider, or keep the machine less busy.\n",
                 fifo_words(inv, r).c_str(), name.c_str());
    return true;
}

// The run's lengths in samples at `clockHz` / `divider`: --seconds into
// settings->maxSamples, --split into *splitSamples, and the stall timeout.
// Empty, or why a length cannot be had.
std::string run_lengths(const Invocation& inv, std::uint64_t clockHz, std::uint32_t divider, StreamSettings* settings,
                        std::uint64_t* splitSamples) {
    settings->clockHz = clockHz;
    settings->divider = static_cast<std::int32_t>(divider);
    settings->stallSeconds = inv.stallSeconds > 0 ? inv.stallSeconds : stall_timeout_for(clockHz, divider);
    std::string bad;
    if (inv.seconds > 0) bad = samples_for_seconds(inv.seconds, clockHz, divider, &settings->maxSamples);
    if (bad.empty() && inv.splitSeconds > 0)
        bad = samples_for_seconds(inv.splitSeconds, clockHz, divider, splitSamples, "--split");
    return bad;
}

// Through kv318-server the start comes before the output is opened: a
// refused start leaves an existing file alone, and the recording can name
// the stream.  A follower joins the running stream here and takes its clock
// and divider.  Returns -1 once the run may go on, else the exit code.
int start_remote(const Invocation& inv, const Environment& env, std::int32_t h, StreamSettings* settings,
                 std::uint64_t* splitSamples) {
    const std::int32_t* f = settings->flags;
    const std::int32_t started = settings->polled ? env.api.mAd(h, f[0], f[1], f[2], f[3], settings->divider)
                                                  : env.api.ad(h, f[0], f[1], f[2], f[3], settings->divider);
    RemoteStatus remote;
    served_status(env.api, h, &remote);
    if (started != 0) {
        if (remote.busy || remote.disconnected) {
            std::fprintf(env.err, "%s\n", remote.failure.c_str());
            return remote.busy ? kExitBoardBusy : kExitFailed;
        }
        return call_failed(env, inv.board,
                           inv.follow         ? "--follow"
                           : settings->polled ? "KV318_M_AD"
                                              : "KV318_AD",
                           remote.failure);
    }
    settings->alreadyStarted = true;
    if (!inv.follow) return -1;
    const std::string bad = run_lengths(inv, remote.clockHz, remote.divider, settings, splitSamples);
    if (bad.empty()) return -1;
    env.api.stopAd(h);
    std::fprintf(env.err, "%s\n", bad.c_str());
    return kExitUsage;
}

int run_stream_command(const Invocation& inv, const Environment& env) {
    const bool toStdout = inv.output.empty() || inv.output == "-";
    Format format = Format::Csv;
    std::string bad =
        choose_format(toStdout ? std::string() : inv.output, inv.formatGiven ? &inv.format : nullptr, &format);
    StreamSettings settings = inv.stream;
    settings.polled = inv.command == Command::Poll;
    std::uint64_t splitSamples = 0;
    if (bad.empty() && format == Format::Hdf5) {
        bad = hdf5_output_problem(toStdout);
    } else if (bad.empty() && inv.splitSeconds > 0) {
        bad = "--split starts the next run group of an HDF5 recording: use -o FILE.h5 or --format hdf5";
    } else if (bad.empty() && inv.compress) {
        bad = "--compress stores an HDF5 recording's samples compressed: use -o FILE.h5 or --format hdf5";
    }
    // A follower learns the clock and divider from the server: its lengths
    // are worked out once it has joined.
    if (bad.empty() && !inv.follow)
        bad = run_lengths(inv, inv.clockHz, static_cast<std::uint32_t>(inv.stream.divider), &settings, &splitSamples);
    if (!bad.empty()) {
        std::fprintf(env.err, "%s\n", bad.c_str());
        return kExitUsage;
    }
    if (toStdout && format != Format::Csv && env.stdoutIsTerminal) {
        std::fprintf(env.err, "refusing to write binary samples to a terminal: use -o FILE or redirect the output\n");
        return kExitUsage;
    }
    const std::int32_t h = open_board(inv, env);
    if (h == -1) return kExitNotFound;
    RemoteStatus remote;
    if (served_status(env.api, h, &remote)) {
        if (const int code = start_remote(inv, env, h, &settings, &splitSamples); code >= 0) {
            env.api.close(h);
            return code;
        }
    }
    const std::uint64_t clockHz = settings.clockHz;
    const auto divider = static_cast<std::uint32_t>(settings.divider);
    // Looked at before the output is opened: the same command run twice by
    // mistake must not truncate the file the first run is still writing.
    // The library's refusal below stays the real guard.
    if (const std::string busy = streaming_elsewhere(env, inv.board); !busy.empty()) {
        std::fprintf(env.err, "%s\n", busy.c_str());
        env.api.close(h);
        return kExitBoardBusy;
    }
    const std::string name = toStdout ? std::string("standard output") : inv.output;
    std::string why;
    std::unique_ptr<ByteOutput> file;
    std::unique_ptr<SampleStore> store;
    if (format == Format::Hdf5) store = open_hdf5_store(inv.output, splitSamples, &why, inv.compress);
    else file = open_output(env, toStdout ? std::string() : inv.output, &why);
    if (file == nullptr && store == nullptr) {
        std::fprintf(env.err, "cannot write %s: %s\n", name.c_str(), why.c_str());
        env.api.close(h);
        return kExitOutputFailed;
    }
    // Declared after the output it writes to, so it is destroyed first.
    std::unique_ptr<SampleWriter> writerOwner = store != nullptr
                                                    ? std::make_unique<SampleWriter>(*store, clockHz, divider)
                                                    : std::make_unique<SampleWriter>(format, *file, clockHz, divider);
    SampleWriter& writer = *writerOwner;
    writer.describe(describe_run(inv, env, h));
    if (!toStdout && format == Format::Wav) {
        writer.continue_in([&env, path = inv.output](unsigned part, std::string* error) {
            return open_output(env, part_path(path, part), error);
        });
    }
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
    if (format == Format::Hdf5 && served_status(env.api, h, &remote)) {
        writer.words_for_missed([&inv, remote](std::uint64_t missed) { return missed_words(inv, remote, missed); });
    }
    const StreamOutcome r =
        run_stream(env.api, h, settings, writer, env.stop,
                   showProgress ? std::function<void(const StreamProgress&, bool)>(progress) : nullptr,
                   [&](const StreamOutcome& ended) { return end_events(inv, env, h, settings, ended); });
    const bool isRemote = served_status(env.api, h, &remote);
    env.api.close(h);

    const char* start = settings.polled ? "KV318_M_AD" : "KV318_AD";
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
    if (writer.extra_parts() > 0) {
        std::fprintf(env.err, "%s: a WAV file holds at most 4 GiB, so the run went on in %s", name.c_str(),
                     part_path(inv.output, 1).c_str());
        if (writer.extra_parts() > 1)
            std::fprintf(env.err, " to %s", part_path(inv.output, writer.extra_parts()).c_str());
        std::fprintf(env.err, "\n");
    }
    if (store != nullptr && inv.splitSeconds > 0) {
        std::fprintf(env.err, "%s: the run is in %s (a group every %g s, --split)\n", name.c_str(),
                     store->groups().c_str(), inv.splitSeconds);
    }
    int code = kExitOk;
    // Said first, whatever else went wrong: the samples in the file are not
    // all the board made.
    // A server that went silent, or a board the server lost, took the drain
    // statistics with it; the line below says so, and nothing is known of
    // the FIFO.
    if (!(isRemote && (remote.gone || remote.disconnected)) && report_fifo(inv, env, r, name)) code = kExitOverflow;
    if (isRemote && remote.missed > 0) {
        std::fprintf(env.err, "%s. %s holds the %llu samples that did.\n",
                     missed_words(inv, remote, remote.missed).c_str(), name.c_str(),
                     static_cast<unsigned long long>(r.samples));
        code = kExitFellBehind;
    }
    if (r.readFailure != 0 && isRemote && inv.follow && remote.ended) {
        // The end a follower waits for: its controller stopped the stream.
        std::fprintf(env.err, "board %d: %s. %s holds the %llu samples followed.\n", inv.board, remote.failure.c_str(),
                     name.c_str(), static_cast<unsigned long long>(r.samples));
    } else if (r.readFailure != 0) {
        std::fprintf(env.err, "%s. %s keeps the %llu samples read before it.\n",
                     read_end_words(inv, settings, r, isRemote, remote).c_str(), name.c_str(),
                     static_cast<unsigned long long>(r.samples));
        code = exit_code_for(r.end);
    } else if (r.stalled) {
        std::fprintf(env.err, "%s. %s keeps the %llu samples read before it.\n", stall_words(inv, r).c_str(),
                     name.c_str(), static_cast<unsigned long long>(r.samples));
        code = r.stalledConverterOff ? exit_code_for(ReadEnd::kNotEnabled) : kExitBulkFailed;
    }
    if (r.abandoned) {
        std::fprintf(env.err,
                     "board %d: stopped; %llu samples could not be written: %s took nothing more within %g s "
                     "of the stop. It holds the %llu samples before them.\n",
                     inv.board, static_cast<unsigned long long>(r.unwritten), name.c_str(), kAbandonAfter,
                     static_cast<unsigned long long>(r.samples));
        return kExitOutputFailed;
    }
    if (writer.failed()) {
        std::fprintf(env.err,
                     "cannot write %s: %s (%llu samples read were not written; it holds the %llu before them)\n",
                     name.c_str(), writer.error().c_str(), static_cast<unsigned long long>(r.unwritten),
                     static_cast<unsigned long long>(r.samples));
        return kExitOutputFailed;
    }
    if (writer.full()) {
        std::fprintf(env.err,
                     "%s: a WAV file holds at most 4 GiB of samples and standard output cannot go on in a next "
                     "file; the run stopped there (%llu samples not written). Use -o FILE or --format raw.\n",
                     name.c_str(), static_cast<unsigned long long>(r.unwritten));
        return kExitOutputFailed;
    }
    return code;
}

}  // namespace kv318::cli::detail
