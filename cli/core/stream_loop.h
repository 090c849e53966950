// The acquisition run behind `stream` and `poll`: start the converter, read
// in a loop until a limit, a stop request or a failure, stop the converter,
// and leave the output valid.  Starting, the beat of the reads, reading and
// what a failed read means are pipeline::Reader's, as for every program
// that reads samples; the run adds its limits, the hand-off to a writing
// thread, the stall timeout and the FIFO verdict.  Runs on the calling
// thread; the library's own timer thread fills its ring meanwhile (stream
// mode).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board_api.h"
#include "fifo_verdict.h"
#include "reader.h"
#include "sample_writer.h"
#include "pipeline_names.h"

namespace kv318::cli {

struct StreamSettings {
    bool polled = false;  // KV318_M_AD / KV318_M_Read instead of the timer
    std::int32_t flags[4] = {0, 0, 0, 0};
    std::int32_t divider = 50;
    std::uint64_t maxSamples = 0;  // 0: no limit
    // Wall-clock time the run may take, 0: no limit.  Only selftest uses
    // it, to measure the rate; --seconds becomes maxSamples instead, so a
    // run's length is exact.
    double maxSeconds = 0;
    // The run ends as stalled when no sample came for this long (0: never;
    // the commands pass stall_timeout_for() unless --stall-timeout is given).
    double stallSeconds = 0;
    // What the FIFO verdict needs: the converter clock the user gave and the
    // board's FIFO size (--fifo-bytes).
    std::uint64_t clockHz = 2'000'000;
    std::uint64_t fifoBytes = analysis::kBoardFifoBytes;
    // The caller made the start call itself, and it succeeded: run_stream
    // reads and stops only.  (Through kv318-server the start comes first,
    // so the recording can name the stream it started or joined.)
    bool alreadyStarted = false;
};

// The default stall timeout: 100 times as long as 50 samples take at
// clock / divider (the library hands samples over 50 or more at a time),
// and never under a second, so a busy machine's late timer tick is not
// taken for a board that stopped.
double stall_timeout_for(std::uint64_t clockHz, std::uint32_t divider);

struct StreamProgress {
    double seconds = 0;
    std::uint64_t samples = 0;
    std::uint64_t errors = 0;  // negative reads
    bool fifoAtRisk = false;   // the statistics so far say the FIFO may have run over
};

struct StreamOutcome {
    bool started = false;  // the start call succeeded
    // How a failed read ended the run (the Reader's verdict): kNone, or as
    // readFailure says it in numbers, -1 not enabled, -2 overflow, -3 bulk
    // transfer failed; readResult is what the read itself returned.
    ReadEnd end = ReadEnd::kNone;
    std::int32_t readFailure = 0;
    std::int32_t readResult = 0;
    bool interrupted = false;  // the stop flag ended the run
    bool stalled = false;      // no sample came within the stall timeout
    // A stalled run's board reported acquisition not enabled when asked at
    // the stall: something stopped its converter (see run_stream).
    bool stalledConverterOff = false;
    double stallSeconds = 0;    // the stall timeout that applied
    std::uint64_t samples = 0;  // written to the output
    // Read from the board but not written: the output took no more within
    // kAbandonAfter of a stop (a pipe nobody reads), or failed.
    std::uint64_t unwritten = 0;
    bool abandoned = false;  // the output was given up on after a stop
    double seconds = 0;
    // The library's drain statistics, read after the stop, and what they
    // say of the board's FIFO (statsRead false: they could not be read, so
    // nothing is known of it).
    bool statsRead = false;
    KV318_STREAM_STATS stats{};
    analysis::FifoVerdict fifo;
};

// The verdict on a run's statistics at `s`'s clock, divider and FIFO size.
analysis::FifoVerdict fifo_verdict_of(const KV318_STREAM_STATS& stats, const StreamSettings& s);

// How long after a stop the writing thread may take to hand its last
// samples to the output before the run gives up on it.
inline constexpr double kAbandonAfter = 1.0;

// The reads of a stream are this far apart (ReaderSettings::period): a drain
// of the library's timer that finds the reader converting is skipped whole,
// so the reader keeps out of its way between visits; the 2 MiB ring holds
// about 80 ms at 26 MB/s, so a visit every 30 ms keeps it well below half
// full.
inline constexpr std::chrono::milliseconds kReadPeriod{30};

// `stop` is set from outside (a signal handler) and read here between
// reads; once it is set the run ends within about kAbandonAfter plus one
// read, whether or not the output takes its bytes.  `progress` is called a
// few times a second and once at the end (`last` true).  The output is
// finished whatever the outcome, with the FIFO verdict noted in it (see
// SampleWriter::note_fifo); check writer.failed() and writer.full() for its
// own state.  Counts go on from writer.samples(), so a writer that counts
// from N makes a run that does.  Each batch reaches the writer with its
// first sample's index (SampleWriter::write with an index): the count on
// a board of the library, the stream's own index through kv318-server, so
// a followed CSV shows the samples it never received as a jump.
//
// A run is stalled only when a read made after the stall timeout ran out
// still brought nothing, and time the process did not run (stopped with
// Ctrl-Z, or a machine that froze) is not held against the board: a pass
// of the loop that took far longer than planned moves the stall clock on
// by the excess.
//
// `endEvents`, when given, is called once on the calling thread after the
// board has stopped, with the outcome so far (how the run ended, the FIFO
// verdict; not yet the counts of samples written), and says where samples
// were or may have been lost: each entry is noted in the output at its end
// (SampleWriter::note_event) before it is finished.
struct RunEvent {
    std::string kind;  // see SampleStore::note_event
    std::string text;
};
using EndEvents = std::function<std::vector<RunEvent>(const StreamOutcome&)>;
StreamOutcome run_stream(const BoardApi& api, std::int32_t handle, const StreamSettings& settings, SampleWriter& writer,
                         const std::atomic<bool>& stop,
                         const std::function<void(const StreamProgress&, bool last)>& progress,
                         const EndEvents& endEvents = nullptr);

// The progress line: "  12.3 s   24600000 samples   2.000 MS/s   4.000 MB/s   0 errors", with
// "  FIFO may have run over" once the statistics say so.
std::string progress_line(const StreamProgress& p);

}  // namespace kv318::cli
