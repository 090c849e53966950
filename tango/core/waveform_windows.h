// Cuts a stream into the windows a control system shows: fixed-length runs
// of consecutive samples, each the one that follows the previous, so a
// client that receives every window has every sample once, at its own
// index.  A window carries its samples' quality as the control system
// names it: one in which the board's FIFO may have run over is an alarm
// (a sample in it may be missing without a trace), and the first after a
// jump in the stream's numbering is a warning (it is whole, but samples
// before it never arrived).
//
// Pure logic; one thread calls it at a time (the device guards it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kv318::tango {

// In order of gravity: a window that inherits another's takes the graver.
enum class WindowQuality { kValid, kWarning, kAlarm };

struct Window {
    std::vector<double> volts;
    std::uint64_t firstIndex = 0;  // the stream's index of volts[0]
    std::uint64_t sequence = 0;    // windows cut in this run, from 1
    WindowQuality quality = WindowQuality::kValid;
    std::string why;  // what made the quality, in words; empty when valid
};

// The longest window a device shows: 1 Mi samples, 8 MiB an event.
inline constexpr std::size_t kMaxWindowLength = 1u << 20;
// Complete windows kept for a client that falls behind; past that the
// oldest go, and the display skips ahead rather than lag further.
inline constexpr std::size_t kQueuedWindows = 4;

class WindowCutter {
public:
    // `length` is held to 1..kMaxWindowLength.
    explicit WindowCutter(std::size_t length = 1000) { restart(length); }

    // A new run: nothing queued, numbering from the next block's index.
    void restart(std::size_t length);
    std::size_t length() const { return length_; }

    // Takes one read's samples, the first at the stream's index
    // `firstIndex`.  A block that starts past the end of the one before
    // follows a gap: the part-filled window is dropped (its samples and the
    // missing ones cannot make a window of consecutive samples), and the
    // first window after the gap is a warning saying `gapWords`.
    void take(std::uint64_t firstIndex, const std::int32_t* samples, std::size_t count,
              const std::string& gapWords = "samples before it never arrived");

    // The board's FIFO may have run over while the samples from `fromIndex`
    // up to those taken so far were read: every window that holds one of
    // them, queued, being filled or the next, is an alarm saying `words`.
    void mark_possible_loss(std::uint64_t fromIndex, const std::string& words);

    // The oldest complete window; false when none waits.  A window that
    // follows windows dropped unseen carries the gravest quality among them.
    bool pop(Window* out);
    bool ready() const { return !queue_.empty(); }

    // Windows dropped unseen because the client fell behind, this run.
    std::uint64_t skipped() const { return skipped_; }
    // The stream's index just past the last sample taken.
    std::uint64_t next_index() const { return next_; }

private:
    void cut();
    void apply_suspect(Window* w) const;

    struct Suspect {
        std::uint64_t from = 0, until = 0;  // [from, until)
        std::string words;
    };
    std::size_t length_ = 1000;
    bool started_ = false;
    std::uint64_t next_ = 0;  // index after the last sample taken
    Window filling_;
    bool afterGap_ = false;
    std::string gapWords_;
    std::uint64_t sequence_ = 0;
    std::uint64_t skipped_ = 0;
    std::deque<Window> queue_;
    std::deque<Suspect> suspects_;
};

}  // namespace kv318::tango
