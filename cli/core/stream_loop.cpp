#include "stream_loop.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "batch_queue.h"

namespace kv318::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kProgressPeriod = std::chrono::milliseconds(250);
constexpr auto kCheckpointPeriod = std::chrono::seconds(1);
// Samples read and not yet written that the reader may run ahead by: 64 MiB,
// 8 s at 2 MS/s, 1.3 s at the fastest rate the library sustains.
constexpr std::size_t kQueuedSamples = 16u << 20;
// A pass of the loop that ends this much later than planned was not the
// board's doing: the process was stopped or starved meanwhile.  Longer
// than any read takes on a working board (a polled read drains for about a
// second at most, and that one brings samples).
constexpr auto kPauseAfter = std::chrono::milliseconds(500);

// The numbers StreamOutcome::readFailure gives a read's ending.
std::int32_t failure_number(ReadEnd end) {
    switch (end) {
    case ReadEnd::kNotEnabled:
        return -1;
    case ReadEnd::kRingOverflow:
        return -2;
    case ReadEnd::kTransferFault:
        return -3;
    case ReadEnd::kNone:
        break;
    }
    return 0;
}

}  // namespace

analysis::FifoVerdict fifo_verdict_of(const KV318_STREAM_STATS& stats, const StreamSettings& s) {
    return analysis::fifo_verdict(s.clockHz, s.divider, s.fifoBytes, stats.longest_gap_us, stats.gap_histogram);
}

double stall_timeout_for(std::uint64_t clockHz, std::uint32_t divider) {
    const double fifty = 50.0 * divider / static_cast<double>(clockHz == 0 ? 1 : clockHz);
    return std::max(1.0, 100 * fifty);
}

StreamOutcome run_stream(const BoardApi& api, std::int32_t handle, const StreamSettings& s, SampleWriter& writer,
                         const std::atomic<bool>& stop,
                         const std::function<void(const StreamProgress&, bool last)>& progress,
                         const EndEvents& endEvents) {
    StreamOutcome out;
    out.stallSeconds = s.stallSeconds;
    Reader reader(api, handle);
    ReaderSettings rs;
    rs.polled = s.polled;
    std::copy(s.flags, s.flags + 4, rs.flags);
    rs.divider = s.divider;
    rs.period = kReadPeriod;
    if (s.alreadyStarted) {
        reader.adopt(rs);
    } else if (reader.start(rs) != 0) {
        writer.finish();
        return out;
    }
    out.started = true;

    // The writing thread: formats and writes the batches, and brings the
    // file to a valid state every second.
    BatchQueue queue(kQueuedSamples);
    // Written by the writing thread once the output takes no more (failed,
    // or a WAV file full), read by the reading thread between reads, which
    // then ends the run.  Nothing else is published through it.
    std::atomic<bool> writerStopped{false};
    // Written by the writing thread as its last act, read by the reading
    // thread while it waits for it after a stop; release/acquire, so the
    // writer's state is complete when it reads true.  A flag, not a join,
    // because the wait must be able to give up on a writer stuck in a pipe.
    std::atomic<bool> writerDone{false};
    // What the file is to say of the board's FIFO: written by the reading
    // thread before it closes the queue, read by the writing thread once
    // pop() has reported the queue closed; the queue's lock orders the two.
    std::string fifoNote;
    // Where samples were lost, at the run's end: written and read as
    // fifoNote is.
    std::vector<RunEvent> ends;
    std::thread writing([&] {
        BatchQueue::Batch batch;
        auto nextCheckpoint = Clock::now() + kCheckpointPeriod;
        while (queue.pop(&batch)) {
            if (!writerStopped.load() &&
                writer.write(batch.firstIndex, batch.samples.data(), batch.count) < batch.count) {
                writerStopped = true;
            }
            queue.recycle(std::move(batch));
            if (!writerStopped.load() && Clock::now() >= nextCheckpoint) {
                if (!writer.checkpoint()) writerStopped = true;
                nextCheckpoint = Clock::now() + kCheckpointPeriod;
            }
        }
        for (const RunEvent& e : ends) writer.note_event(e.kind, e.text);
        writer.note_fifo(fifoNote);
        writer.finish();
        writerDone.store(true, std::memory_order_release);
    });

    const std::size_t capacity = reader.capacity();
    const auto t0 = Clock::now();
    auto nextProgress = t0 + kProgressPeriod;
    auto nextStats = t0 + kCheckpointPeriod;
    auto lastSample = t0;
    // When the last read began, and when the loop's current pass was meant
    // to end: a pass that ends more than kPauseAfter later was paused, and
    // the whole of its overrun is not held against the board.
    auto lastReadAt = t0 - Clock::duration(1);
    auto passPlanned = t0;
    const auto stallAfter =
        s.stallSeconds > 0 ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.stallSeconds))
                           : Clock::duration::max() / 2;
    StreamProgress p;
    const std::uint64_t first = writer.samples();
    std::uint64_t queued = first;  // the run's samples read, counted on from the writer's
    KV318_STREAM_STATS stats{};

    // Reads once, at once (the loop below waits for the reader's beat);
    // false when the run must end.
    auto take = [&]() -> bool {
        lastReadAt = Clock::now();
        passPlanned = lastReadAt;
        BatchQueue::Batch batch = queue.spare(capacity);
        ReadBlock block;
        if (!reader.next(&block, stop, Clock::time_point::min(), batch.samples.data())) {
            out.end = reader.end();
            out.readFailure = failure_number(out.end);
            out.readResult = reader.failure_result();
            ++p.errors;
            return false;
        }
        auto count = block.count;
        if (s.maxSamples > 0)
            count = static_cast<std::size_t>(std::min<std::uint64_t>(count, s.maxSamples - (queued - first)));
        batch.count = count;
        // The reader counts from 0, or gives the stream's own index; a
        // writer that counts from `first` goes on from there.
        batch.firstIndex = first + block.firstIndex;
        queued += count;
        if (count > 0) {
            queue.push(std::move(batch), stop);
            // Measured after the push, which may have waited for the writer.
            lastSample = Clock::now();
        }
        return s.maxSamples == 0 || queued - first < s.maxSamples;
    };

    const auto deadline =
        s.maxSeconds > 0 ? t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.maxSeconds))
                         : Clock::time_point::max();
    bool going = true;
    while (going && !writerStopped.load()) {
        if (stop.load(std::memory_order_relaxed)) {
            out.interrupted = true;
            break;
        }
        auto now = Clock::now();
        // Time the loop did not run is nobody's silence: the board kept
        // converting (whether the FIFO held it is the verdict's business).
        if (now - passPlanned > kPauseAfter) lastSample = std::min(now, lastSample + (now - passPlanned));
        passPlanned = now;
        if (now >= deadline) break;
        const bool overdue = now - lastSample > stallAfter;
        if (overdue && lastReadAt - lastSample > stallAfter) {
            out.stalled = true;
            out.stalledConverterOff = converter_reports_off(api, handle);
            ++p.errors;  // the progress line must not end on "0 errors"
            break;
        }
        if (reader.due() > now && !overdue) {
            const auto wake =
                std::min({reader.due(), deadline, lastSample + stallAfter, now + std::chrono::milliseconds(50)});
            passPlanned = wake;
            std::this_thread::sleep_until(wake);
            continue;
        }
        going = take();
        now = Clock::now();
        if (now >= nextStats) {
            // Once a second: cheap, and the progress line can say so at once.
            if (read_stream_stats(api, handle, &stats)) p.fifoAtRisk = fifo_verdict_of(stats, s).possibleLoss;
            nextStats = now + kCheckpointPeriod;
        }
        if (progress && now >= nextProgress) {
            p.seconds = std::chrono::duration<double>(now - t0).count();
            p.samples = queued;
            progress(p, false);
            nextProgress = now + kProgressPeriod;
        }
    }
    // Stopped from outside or by the time limit: what the ring already
    // holds was made within the run, so it is read before the stop.
    if (going && !s.polled && !writerStopped.load()) take();

    // The board stops first, whatever the output does.
    reader.stop();
    // The statistics stay readable after the stop, and now cover the whole
    // run.
    out.statsRead = read_stream_stats(api, handle, &out.stats);
    if (out.statsRead) out.fifo = fifo_verdict_of(out.stats, s);
    p.fifoAtRisk = out.fifo.possibleLoss;
    fifoNote = fifo_note(out.statsRead ? &out.fifo : nullptr);
    if (endEvents) ends = endEvents(out);
    queue.close();
    // The writer gets all the time it needs while nobody asks to stop (a
    // slow reader of a pipe gets every sample); once a stop is asked for,
    // kAbandonAfter more, then its output is given up on.
    auto giveUpAt = Clock::time_point::max();
    while (!writerDone.load(std::memory_order_acquire)) {
        const auto now = Clock::now();
        if (giveUpAt == Clock::time_point::max() && stop.load(std::memory_order_relaxed)) {
            giveUpAt = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kAbandonAfter));
        }
        if (now >= giveUpAt && !out.abandoned) {
            writer.abandon();
            out.abandoned = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    writing.join();
    out.samples = writer.written();
    out.unwritten = queued - out.samples;
    out.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    p.seconds = out.seconds;
    p.samples = out.samples;
    if (progress) progress(p, true);
    return out;
}

std::string progress_line(const StreamProgress& p) {
    const double rate = p.seconds > 0 ? static_cast<double>(p.samples) / p.seconds : 0.0;
    char text[160];
    std::snprintf(text, sizeof text, "%8.1f s %14llu samples %9.3f MS/s %9.3f MB/s %4llu errors", p.seconds,
                  static_cast<unsigned long long>(p.samples), rate / 1e6, 2 * rate / 1e6,
                  static_cast<unsigned long long>(p.errors));
    return std::string(text) + (p.fifoAtRisk ? "  FIFO may have run over" : "");
}

}  // namespace kv318::cli
