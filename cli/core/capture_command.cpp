// `capture`: start the converter, feed the trigger engine until it has a
// frame or the timeout passes, stop the converter, and only then write the
// frame, so nothing is left behind when no trigger comes.
#include "capture_command.h"

#include <chrono>
#include <memory>
#include <vector>

#include "commands.h"
#include "measure.h"
#include "exit_codes.h"
#include "option_limits.h"
#include "recording.h"
#include "pipeline_names.h"
#include "reader.h"
#include "sample_store.h"
#include "sample_writer.h"

namespace kv318::cli::detail {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

int run_capture_command(const Invocation& inv, const Environment& env) {
    const CaptureSettings& c = inv.capture;
    const bool toStdout = inv.output.empty() || inv.output == "-";
    // The format as `stream` picks it, so -o trace.wav means WAV to both.
    Format format = Format::Csv;
    const std::string bad =
        choose_format(toStdout ? std::string() : inv.output, inv.formatGiven ? &inv.format : nullptr, &format);
    if (!bad.empty()) {
        std::fprintf(env.err, "%s\n", bad.c_str());
        return kExitUsage;
    }
    if (format == Format::Hdf5) {
        if (const std::string why = hdf5_output_problem(toStdout); !why.empty()) {
            std::fprintf(env.err, "%s\n", why.c_str());
            return kExitUsage;
        }
    }
    if (toStdout && format != Format::Csv && env.stdoutIsTerminal) {
        std::fprintf(env.err, "refusing to write binary samples to a terminal: use -o FILE or redirect the output\n");
        return kExitUsage;
    }
    const double rate = static_cast<double>(inv.clockHz) / inv.stream.divider;
    analysis::TriggerSettings ts;
    ts.mode = analysis::TriggerMode::Single;
    ts.edge = c.edge;
    ts.levelVolts = c.levelVolts;
    ts.hysteresisVolts = c.hysteresisVolts;
    ts.frameSamples = static_cast<std::size_t>(c.samples);
    ts.pretriggerPercent = c.pretriggerPercent;
    ts.holdoffSamples = analysis::seconds_to_samples(c.holdoffSeconds, rate);
    analysis::TriggerEngine engine(ts);

    const std::int32_t h = open_board(inv, env);
    if (h == -1) return kExitNotFound;
    // As stream and poll: another process's run is named, not reported as
    // a failed call.  Looked at first so nothing is sent to its board, and
    // again after a refused start, in case it began in between.
    if (const std::string busy = streaming_elsewhere(env, inv.board); !busy.empty()) {
        std::fprintf(env.err, "%s\n", busy.c_str());
        env.api.close(h);
        return kExitBoardBusy;
    }
    Reader reader(env.api, h);
    ReaderSettings rs;
    std::copy(inv.stream.flags, inv.stream.flags + 4, rs.flags);
    rs.divider = inv.stream.divider;
    rs.period = kReadPeriod;
    if (reader.start(rs) != 0) {
        // Through kv318-server the refusal names the client in control, or
        // says the board went away.
        RemoteStatus remote;
        const bool isRemote = served_status(env.api, h, &remote);
        env.api.close(h);
        if (isRemote && (remote.busy || remote.disconnected)) {
            std::fprintf(env.err, "%s\n", remote.failure.c_str());
            return remote.busy ? kExitBoardBusy : kExitFailed;
        }
        if (isRemote) return call_failed(env, inv.board, "KV318_AD", remote.failure);
        if (const std::string busy = streaming_elsewhere(env, inv.board); !busy.empty()) {
            std::fprintf(env.err, "%s\n", busy.c_str());
            return kExitBoardBusy;
        }
        return call_failed(env, inv.board, "KV318_AD",
                           "acquisition did not start (a board request failed or the library's timer could not start)");
    }
    Recording description = describe_run(inv, env, h);
    analysis::FirstFrame sink;
    const auto t0 = Clock::now();
    const auto deadline =
        t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(c.timeoutSeconds));
    bool timedOut = false;
    bool failed = false;
    ReadBlock block;
    while (!sink.got) {
        if (env.stop.load(std::memory_order_relaxed)) break;
        // The wait for the next read ends at the deadline too.
        if (!reader.next(&block, env.stop, deadline)) {
            failed = true;
            break;
        }
        if (block.count > 0) engine.feed(block.samples, block.count, sink);
        if (sink.got) break;
        // Samples read up to the deadline still count; after it, none.
        if (Clock::now() >= deadline) {
            timedOut = true;
            break;
        }
    }
    reader.stop();
    // The statistics cover the whole acquisition, the frame's part of it
    // included: a loss anywhere in it is reported, erring towards warning.
    StreamOutcome run;
    run.started = true;
    run.statsRead = read_stream_stats(env.api, h, &run.stats);
    if (run.statsRead) {
        StreamSettings s = inv.stream;
        s.clockHz = inv.clockHz;
        run.fifo = fifo_verdict_of(run.stats, s);
    }
    env.api.close(h);

    if (failed) {
        std::fprintf(env.err, "board %d: %s (KV318_Read returned %d) before a trigger; nothing written\n", inv.board,
                     read_end_text(reader.end()), reader.failure_result());
        return exit_code_for(reader.end());
    }
    if (!sink.got) {
        char within[64];
        if (timedOut) std::snprintf(within, sizeof within, "within %g s", c.timeoutSeconds);
        else std::snprintf(within, sizeof within, "before the capture was interrupted");
        std::fprintf(env.err, "board %d: no %s trigger at %g V %s (%llu samples looked at); nothing written\n",
                     inv.board, analysis::edge_name(c.edge), c.levelVolts, within,
                     static_cast<unsigned long long>(engine.samplesSeen()));
        return kExitNoTrigger;
    }

    const std::string name = toStdout ? std::string("standard output") : inv.output;
    std::string why;
    std::unique_ptr<FileOutput> file;
    std::unique_ptr<SampleStore> store;
    if (format == Format::Hdf5) {
        store = open_hdf5_store(inv.output, 0, &why);
    } else {
        file = toStdout ? std::make_unique<FileOutput>(env.out) : std::make_unique<FileOutput>(inv.output);
        if (!file->ok()) why = file->error();
    }
    bool written = store != nullptr || (file != nullptr && file->ok());
    if (written) {
        // Declared after the output it writes to, so it is destroyed first.
        std::unique_ptr<SampleWriter> writer =
            store != nullptr
                ? std::make_unique<SampleWriter>(*store, inv.clockHz, static_cast<std::uint32_t>(inv.stream.divider))
                : std::make_unique<SampleWriter>(format, *file, inv.clockHz,
                                                 static_cast<std::uint32_t>(inv.stream.divider));
        // Described as a stream's recording is, with the trigger, which
        // is the time axis's zero, and what the drain statistics say of the
        // board's FIFO over the whole acquisition.
        description.triggered = true;
        description.trigger = {
            c.edge, c.levelVolts, c.hysteresisVolts, c.pretriggerPercent, sink.triggerIndex, sink.triggerSample};
        writer->describe(description);
        writer->note_fifo(run.statsRead ? fifo_note(&run.fifo) : fifo_note(nullptr));
        written = writer->begin() && writer->write(sink.samples.data(), sink.samples.size()) == sink.samples.size() &&
                  writer->finish();
        if (!written) why = writer->error();
    }
    if (!written) {
        std::fprintf(env.err, "cannot write %s: %s\n", name.c_str(), why.c_str());
        store.reset();
        if (!toStdout && format != Format::Hdf5) {
            file.reset();
            std::remove(inv.output.c_str());  // a capture is whole or absent
        }
        // An HDF5 file may hold earlier runs, so it stays; the capture's
        // group, if it was made, says in samples_written what it holds.
        return kExitOutputFailed;
    }
    const analysis::Measurements m = analysis::measure(sink.samples.data(), sink.samples.size(), rate);
    std::fprintf(env.err,
                 "captured %llu samples to %s: %s trigger at %g V is index %zu (sample %llu of the stream)\n"
                 "mean %.6f V  min %.6f V  max %.6f V  p-p %.6f V  rms %.6f V",
                 static_cast<unsigned long long>(sink.samples.size()), name.c_str(), analysis::edge_name(c.edge),
                 c.levelVolts, sink.triggerIndex, static_cast<unsigned long long>(sink.triggerSample), m.mean, m.min,
                 m.max, m.peakToPeak, m.rms);
    if (m.cycles > 0) {
        std::fprintf(env.err, "  frequency %.6f Hz  period %.9g s  duty %.4f %%", m.frequency, m.period, m.duty * 100);
    }
    std::fprintf(env.err, "\n");
    return report_fifo(inv, env, run, name) ? kExitOverflow : kExitOk;
}

}  // namespace kv318::cli::detail
