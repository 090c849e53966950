// What the scope window does, apart from drawing and controls: it opens
// the board, starts, restarts and stops the acquisition worker, picks up
// frames, keeps the rates for the status line, and names failures.  Both
// shells (Qt and Win32) own one and call it from their GUI thread only;
// none of its calls waits for the worker except close().
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "acquisition_worker.h"
#include "board_api.h"
#include "scope_settings.h"
#include "trace_view.h"

namespace kv318::scope {

// The format a recording to `path` is written in, from its extension
// (.csv, .wav, .raw, .hdf5 or .h5, in any case), into *format.  Empty, or
// why `path` cannot be recorded to: no such extension, or HDF5 where this
// build has none.  The Record dialog and --record both go by it.
std::string recording_format(const std::string& path, pipeline::Format* format);

class ScopeController {
public:
    // `api` outlives the controller; `notFoundHint` may be null, and so may
    // `lockHeld`, which says whether another process holds a board's
    // acquisition lock (pipeline::board_lock_held).  Nothing is opened or started
    // until run() or single().  `s` is normalised as it is taken.
    ScopeController(const pipeline::BoardApi& api, const ScopeSettings& s, std::string (*notFoundHint)(int),
                    bool (*lockHeld)(std::int32_t board, std::uint32_t* pid) = nullptr);
    // Stops a run (KV318_StopAD first) and closes the board.
    ~ScopeController();

    const ScopeSettings& settings() const { return s_; }
    // The controls' new settings, normalised (normalise()) as they are
    // taken.  Scale and offset change the picture only; anything else
    // restarts a run in progress with the new values.
    void apply(const ScopeSettings& s);

    void run();     // opens the board if need be and starts; a failure goes to message()
    void single();  // as run(), in Single mode
    void stop();    // asks the run to end; returns at once
    // The window is closing: stops the acquisition and waits for it, so
    // KV318_StopAD has been called when this returns.
    void close();

    // The GUI thread's timer, `now` in seconds on any steady clock.  True
    // when the picture may have changed.
    bool tick(double now);
    // The picture for a screen of width x height pixels; `textWidth`
    // measures texts in the shell's font (see TextWidth).
    DrawList view(int width, int height, const TextWidth& textWidth = {}) const;

    bool hasFrame() const { return haveFrame_; }
    const DisplayFrame& frame() const { return frame_; }
    bool running() const { return worker_.running() && !worker_.finished(); }
    // A run waits to start again once the old one has ended (tick() starts it).
    bool restarting() const { return restartPending_; }
    // The board stopped answering: its handle is closed, message() says
    // "board N is disconnected since HH:MM:SS; kv318-scope will carry on
    // when it returns", and tick() opens it again every
    // pipeline::kReopenMs; a run that was going starts again once it is
    // back.
    bool disconnected() const { return disconnected_; }
    // The wall clock the disconnection's time is named by (std::time unless
    // a test sets one).
    void setWallClock(std::function<std::time_t()> clock) { wall_ = std::move(clock); }
    // The failure or hint the status line shows; empty when none.
    const std::string& message() const { return message_; }
    // "samples may have been lost in the board's FIFO: ... (N such gaps)"
    // once a run's drain statistics say so; it stays, in red on the
    // screen, until the next run() or single().  Empty when none.
    const std::string& fifoWarning() const { return fifoWarning_; }
    // Through kv318-server: "following stream S of kv318-server at URL"
    // (or "stream S of ..." for a stream it started), with ", N samples
    // missed" once the stream's blocks have jumped, updated once a second;
    // empty for the library.
    const std::string& source() const { return source_; }
    // True once after the controller changed the settings itself (a
    // followed stream's clock and divider), so the window shows them.
    bool takeSettingsChanged() {
        const bool changed = settingsChanged_;
        settingsChanged_ = false;
        return changed;
    }
    // Save CSV: the visible trace (visible_csv) below the description of
    // the run it came from (pipeline::csv_preamble) once one has started.
    std::string visibleCsv() const;

    Cursors& cursors() { return cursors_; }
    // Fits the scale and offset to the newest frame.
    void autoscale();
    // Records the stream of the next runs to `path` (format by its
    // extension, recording_format); empty stops recording.  A run in
    // progress restarts with it.  A path that cannot be recorded to stops
    // the run with the reason in message().  --record sets it before the
    // first run.
    void setRecording(const std::string& path);
    const std::string& recording() const { return recordingPath_; }

    // --screenshot: true once, when the window has run --after seconds.
    bool screenshotDue(double now);
    // The exit code after a screenshot: 0, or 1 when a failure or a
    // possible loss of samples shows.
    int screenshotExitCode() const { return message_.empty() && fifoWarning_.empty() ? 0 : 1; }
    // One line for scripts and the benchmark, at the end of a --screenshot
    // run: "N frames in S s (F fps), M samples (R S/s)".
    std::string summary(double now) const;
    // What a --screenshot run prints on standard error as it ends, one
    // line each without the program's name: the failure message and the
    // FIFO warning when the window shows them (the same texts), then the
    // summary; then, for a run through kv318-server, "stream S of
    // kv318-server at URL: N samples from index I, M missed" (the run's
    // samples, the stream's index of its first and those that never came).
    std::vector<std::string> screenshotReport(double now) const;
    // GUI thread.  Ends the run (as close() does) and then gives
    // screenshotReport's lines, so the samples it counts are the ones the
    // recording holds: a run left going would add samples after the line
    // was written.  The stream's figures are taken before the end.
    std::vector<std::string> endForScreenshot(double now);

private:
    // screenshotReport's lines, with the stream's figures in `remote` (null
    // for a run of the linked library or a controlled one).
    std::vector<std::string> report(double now, const pipeline::RemoteStatus* remote) const;
    // The stream's figures when the run follows or controls one through
    // kv318-server, into *remote; false otherwise.
    bool followedStream(pipeline::RemoteStatus* remote) const;
    bool openBoard();
    void startWorker();
    // The board went away: closes its handle and says so.
    void lose(double now);
    // While disconnected: tries to open the board again when it is due.
    void reconnect(double now);

    const pipeline::BoardApi& api_;
    std::string (*hint_)(int);
    bool (*lockHeld_)(std::int32_t, std::uint32_t*);
    ScopeSettings s_;
    AcquisitionWorker worker_;
    std::int32_t handle_ = -1;
    std::int32_t handleBoard_ = -1;
    bool wantRunning_ = false;  // the user asked for a run and no failure ended it
    bool restartPending_ = false;
    std::string message_;
    std::string source_;
    std::string fifoWarning_;
    bool fifoUnknown_ = false;   // the last run's statistics could not be read
    bool fifoOfOldRun_ = false;  // the worker's verdict is of a run before the last run()
    DisplayFrame frame_;         // the newest frame, the GUI's own copy
    bool haveFrame_ = false;
    Cursors cursors_;
    std::string recordingPath_;
    double started_ = -1;  // the first tick's time
    double rateFrom_ = -1;
    std::uint64_t rateSamples_ = 0;
    int rateFrames_ = 0;
    double delivered_ = 0, fps_ = 0;
    bool screenshotDone_ = false;
    bool settingsChanged_ = false;
    bool disconnected_ = false;
    double nextReopen_ = 0;  // the tick() time of the next attempt to open the board again
    std::function<std::time_t()> wall_;
    std::uint64_t framesTotal_ = 0;   // frames taken from the worker since the first tick
    std::uint64_t samplesEnded_ = 0;  // samples of the runs already joined
};

}  // namespace kv318::scope
