// One acquisition read from its start to its stop: start the converter,
// visit the library on a steady beat, read, tell once what a failed read
// means, stop.  It hands out the samples with the 64-bit index of the first
// and the host time, so whatever consumes them (a file, a display, a
// server's subscribers) knows where each sample sits in the run.
//
// Every call is made from the one thread that reads; none is thread-safe,
// except that `stop` flags passed in may be set from anywhere.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "board_api.h"
#include "fifo_verdict.h"

namespace kv318::pipeline {

// How a run ended when not by request, one way for every program.
enum class ReadEnd {
    kNone,           // still running, or stopped on request
    kNotEnabled,     // the converter was switched off beneath the run
    kRingOverflow,   // the library's ring ran over: samples were lost
    kTransferFault,  // the board's bulk transfer failed, or its driver went away
};

// The words for `end`, as every program says them ("ring overflow: the
// reader fell behind and samples were lost", ...).  Empty for kNone.
const char* read_end_text(ReadEnd end);

// What the negative read result `n` means.  A polled read reports a failed
// transfer and a switched-off converter both as -1, and a timer-driven read
// says "not enabled" also when the status read behind it failed, as it does
// once the driver has gone; so both ask the status register (bit 2 set:
// enabled), and one that cannot be read means the transfer failed.
ReadEnd classify_read_failure(const BoardApi& api, std::int32_t handle, bool polled, std::int32_t n);

// True when the status register of a board of the library reads and says
// acquisition is not enabled; false when it says enabled, cannot be read,
// or the handle is kv318-server's (whose register is the server's to ask).
// For a run whose reads return 0 and never fail: a converter stopped from
// outside leaves at most the FIFO's tail, and a tail below the drain's
// first level is never taken.  The caller's thread.
bool converter_reports_off(const BoardApi& api, std::int32_t handle);

struct ReaderSettings {
    bool polled = false;  // KV318_M_AD / KV318_M_Read instead of the timer
    std::int32_t flags[4] = {0, 0, 0, 0};
    std::int32_t divider = 50;
    // How often a stream is visited.  A drain of the library's timer that
    // finds the reader converting is skipped whole, so the reader keeps out
    // of its way between visits; the ring holds about 80 ms at the top rate.
    std::chrono::milliseconds period{30};
};

// Samples of one read: `count` samples from index `firstIndex` of the run,
// read at `hostTimeUs` (µs since 1970).  `samples` belongs to the reader
// and is valid until its next call.  The index is the stream's own where
// KV318_ServedStatus gives one (RemoteStatus::nextIndex of a served
// board's stream), else the count of samples read since the start.  A
// served stream's index is where a follower joined it, and jumps past the
// samples of blocks it missed, so a block whose firstIndex is beyond the
// previous block's end follows a gap.  The samples of one block are always consecutive.
struct ReadBlock {
    std::uint64_t firstIndex = 0;
    std::int64_t hostTimeUs = 0;
    const std::int32_t* samples = nullptr;
    std::size_t count = 0;
};

class Reader {
public:
    // `api` outlives the reader; `handle` is an open board handle.
    Reader(const BoardApi& api, std::int32_t handle) : api_(api), handle_(handle) {}

    // Starts the converter; the export's result (below 0: nothing started).
    std::int32_t start(const ReaderSettings& settings);
    // Takes on a run the caller already started on the handle with these
    // settings (through kv318-server a program starts before it opens its
    // output, so a refusal leaves the file alone): the reader reads and
    // stops it as if start() had started it.
    void adopt(const ReaderSettings& settings);

    // Waits until the next read is due (a stream: one period after the last
    // visit, or at once after a read that filled the whole array; a polled
    // run: at once after samples came, a moment after an empty read), then
    // reads once.  True with *block filled (it may hold no sample) while the
    // run goes on; false once a read failed, with end() saying how.  A set
    // `stop`, or `notAfter` passing, cuts the wait short, and the read is
    // then made at once.
    // `into`, when given, is the caller's array of capacity() samples to
    // read into instead of the reader's own (block->samples then points
    // there), so a caller that hands the samples on saves a copy.
    bool next(ReadBlock* block, const std::atomic<bool>& stop,
              std::chrono::steady_clock::time_point notAfter = std::chrono::steady_clock::time_point::max(),
              std::int32_t* into = nullptr);
    // The most samples one read returns: the array `into` must hold.
    std::size_t capacity() const { return settings_.polled ? kPolledReadCapacity : kReadCapacity; }

    // When the next read is due by the beat (see next()); a caller that
    // waits for other things as well sleeps until the earliest.
    std::chrono::steady_clock::time_point due() const { return due_; }

    // Stops the converter; the export's result, or -1 when none was started.
    std::int32_t stop();

    ReadEnd end() const { return end_; }
    std::int32_t failure_result() const { return failureResult_; }  // the failed read's own result
    std::uint64_t samples() const { return next_; }                 // read so far in this run
    bool polled() const { return settings_.polled; }

private:
    const BoardApi& api_;
    const std::int32_t handle_;
    ReaderSettings settings_;
    bool started_ = false;
    std::vector<std::int32_t> buffer_;
    std::int32_t carry_ = 0;
    std::uint64_t next_ = 0;
    // The run's samples are numbered by the stream (a served board's
    // status gives each read's index); found at the run's start.
    bool numbered_ = false;
    std::chrono::steady_clock::time_point due_;
    ReadEnd end_ = ReadEnd::kNone;
    std::int32_t failureResult_ = 0;
};

// The host's wall clock in µs since 1970, as blocks carry it.
std::int64_t wall_clock_us();

}  // namespace kv318::pipeline
