// One KV318 board as a device of the control system, apart from Tango: it
// reaches the board through libKV318's exports (a board of this machine, or
// board N of a kv318-server), runs or follows its stream on a thread of its
// own, cuts the samples into windows for the waveform's events, keeps the
// run's troubles (missed samples, the FIFO verdict), records and captures
// to HDF5 files, and watches the board: one that goes away is taken back
// when it returns, with no restart.
//
// Threads.  The control system's threads call the commands and setters,
// one at a time (the shell serializes them per device); readings() may be
// called from any thread.  Three threads of the device's own call
// DeviceEvents: the publishing thread waveform(), the watching thread
// inputs().  A sink that blocks delays only its own thread: the reading
// thread never waits for a client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "board_api.h"
#include "device_state.h"
#include "fifo_verdict.h"
#include "numbers.h"
#include "recording.h"
#include "trigger.h"
#include "waveform_windows.h"

namespace kv318::tango {

// The device's properties, as the control system's database holds them.
struct DeviceConfig {
    std::int32_t board = 0;
    std::string serverUrl;   // empty: the board of this machine
    std::string serverKeys;  // empty: the library's own choice of keys
    std::uint64_t clockHz = 2'000'000;
    std::int32_t divider = 50;
    std::uint64_t fifoBytes = analysis::kBoardFifoBytes;
    std::size_t waveformLength = 1000;
    double eventRate = 10;
    std::string dataDirectory = "/tmp";
    std::string tool = "kv318-tango";  // what the files say wrote them
    std::string name;                  // the device's name, as refusals give it ("lab/kv318/0")
};

// The ranges of the device's own settings: samples in a window, and
// waveform events a second.
inline constexpr pipeline::Limit kWindowLength{"waveform length", 1, static_cast<std::int64_t>(kMaxWindowLength),
                                               false};
inline constexpr pipeline::RealLimit kEventRate{"event rate", 0.1, 50};

class DeviceEvents {
public:
    virtual ~DeviceEvents() = default;
    // The publishing thread: the next window of the stream, at most
    // eventRate a second on average.  The window is the caller's until the
    // call returns.
    virtual void waveform(const Window& window) = 0;
    // The watching thread: the digital inputs were first read, or changed.
    virtual void inputs(std::int32_t value) = 0;
};

// A command's outcome: ok, or the reason (a short name the control system
// shows, "KV318_BoardBusy") and the words.
struct Outcome {
    bool ok = true;
    std::string reason;
    std::string words;
    static Outcome fail(const char* reason, std::string words) { return Outcome{false, reason, std::move(words)}; }
};

// The trigger and length of one capture.
struct CaptureRequest {
    std::uint64_t samples = 10000;
    analysis::Edge edge = analysis::Edge::Rising;
    double levelVolts = 0;
    double pretriggerPercent = 0;
    double timeoutSeconds = 2;
};

// What the attributes read, as of one moment.
struct Readings {
    std::uint64_t clockHz = 0;
    std::int32_t divider = 0;
    bool polled = false;
    double sampleRate = 0;
    Window latest;                     // the last window published (empty before one)
    std::uint64_t skippedWindows = 0;  // cut but never published: the client fell behind
    std::size_t waveformLength = 0;
    double eventRate = 0;
    std::uint64_t missed = 0;
    bool statsKnown = false;
    KV318_STREAM_STATS stats{};
    analysis::FifoVerdict verdict;
    std::string fifoWords;
    std::string identity1, identity2;
    std::string controller;
    std::string recordFile;
    bool inputsKnown = false;
    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    Summary summary;
};

class BoardDevice {
public:
    // Starts the watching and publishing threads; the first open is tried
    // at once.  `api` and `events` outlive the device.
    BoardDevice(const pipeline::BoardApi& api, DeviceConfig config, DeviceEvents& events);
    // Stops a run (and its recording), joins the threads, closes the board.
    ~BoardDevice();
    BoardDevice(const BoardDevice&) = delete;
    BoardDevice& operator=(const BoardDevice&) = delete;

    // Starts a stream this device controls.  `client` names who asked, as
    // a refusal to the next one says ("Tango client pid 4242 at 10.0.0.7").
    Outcome start(const std::string& client);
    // Joins the stream another client of kv318-server controls.
    Outcome follow();
    // Ends the run this device runs or follows, and its recording.
    Outcome stop();

    Outcome set_clock(std::uint64_t hz);
    Outcome set_divider(std::int64_t divider);
    Outcome set_polled(bool polled);
    Outcome set_waveform_length(std::int64_t length);
    Outcome set_event_rate(double perSecond);

    Outcome write_outputs(std::int64_t value);
    Outcome counter_run();
    // The counter, 0-65535; fails while the board reports no valid count.
    Outcome read_counter(std::int32_t* count);
    Outcome pulse_run(std::int64_t mode, std::int64_t divisor);
    Outcome pulse_stop();

    // N samples around a trigger, to a new HDF5 file in the data
    // directory, named into *path.  On a run this device runs or follows
    // the samples come from it; an idle device runs a stream for the
    // capture alone.  Waits up to the request's timeout for the trigger.
    Outcome capture(const CaptureRequest& request, std::string* path);
    // A continuous HDF5 recording of the run going on, to `path` (empty: a
    // new name in the data directory; a relative one: there), named into
    // *chosen.
    Outcome record(const std::string& path, std::string* chosen);
    Outcome stop_record();

    Readings readings() const;
    // The state and Status alone, without the copy of the latest window
    // readings() makes.  Any thread.
    Summary summary() const;

private:
    struct Run;
    struct Capture;
    void watch_loop();
    void publish_loop();
    void read_loop(Run* run);
    bool try_open();
    void drop(const std::string& why);
    Outcome begin_run(bool follow, const std::string& client);
    void end_run();
    void check_stats(Run* run, bool final);
    // Applies a setting a run depends on, in `limit` (none: no range) and
    // only while no run goes on; `what` names it in the refusal.
    Outcome between_runs(const char* what, const pipeline::Limit* limit, std::int64_t value,
                         const std::function<void()>& apply);
    Condition condition_locked() const;
    // The refusal of a call on a board that is not reached (board_ held).
    Outcome unreachable() const;
    std::string where() const;
    bool served() const { return !config_.serverUrl.empty(); }

    const pipeline::BoardApi& api_;
    const DeviceConfig config_;
    DeviceEvents& events_;

    // Guards everything below but the flags; never held across a call of
    // DeviceEvents or a wait for a thread.
    mutable std::mutex m_;
    std::condition_variable changed_;
    // Serializes the calls on the board's handle from the control system's
    // threads and the watching thread (the reading thread's reads go on
    // beside them, as the library allows).
    std::mutex board_;
    std::int32_t handle_ = -1;
    std::string fault_ = "not opened yet";
    std::string identity1_, identity2_;
    std::uint64_t clockHz_;
    std::int32_t divider_;
    bool polled_ = false;
    std::size_t length_;
    double eventRate_;
    std::int32_t outputs_ = 0;
    bool inputsKnown_ = false;
    std::int32_t inputs_ = 0;
    std::string controller_;
    std::string startedBy_;  // who started this device's stream
    WindowCutter cutter_;
    Window latest_;
    std::unique_ptr<Run> run_;
    Activity activity_ = Activity::kIdle;
    std::uint64_t missed_ = 0;
    bool statsKnown_ = false;
    KV318_STREAM_STATS stats_{};
    analysis::FifoVerdict verdict_;
    std::string ended_;
    std::string interrupted_;
    // The stream's index where the last possible FIFO loss was found: a
    // latest window that ends before it is stale over a broken stream.
    std::uint64_t lossIndex_ = 0;
    std::uint64_t captures_ = 0;

    // Set by the destructor, read by the device's threads (release/acquire).
    std::atomic<bool> closing_{false};
    // Set by the reading thread when a read failed and the board did not
    // answer after it; the watching thread then drops the board (acq_rel).
    std::atomic<bool> lost_{false};
    std::thread watcher_;
    std::thread publisher_;
};

}  // namespace kv318::tango
