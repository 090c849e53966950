#include "waveform_windows.h"

#include <algorithm>

#include "sample_units.h"

namespace kv318::tango {

void WindowCutter::restart(std::size_t length) {
    length_ = std::clamp<std::size_t>(length, 1, kMaxWindowLength);
    started_ = false;
    next_ = 0;
    filling_ = Window{};
    afterGap_ = false;
    gapWords_.clear();
    sequence_ = 0;
    skipped_ = 0;
    queue_.clear();
    suspects_.clear();
}

void WindowCutter::take(std::uint64_t firstIndex, const std::int32_t* samples, std::size_t count,
                        const std::string& gapWords) {
    if (count == 0) return;
    if (!started_) {
        started_ = true;
        next_ = firstIndex;
        filling_.firstIndex = firstIndex;
    } else if (firstIndex != next_) {
        // Only a jump forwards is a gap; a block that goes back would
        // repeat samples, and starting afresh there is all a display can do.
        filling_.volts.clear();
        filling_.firstIndex = firstIndex;
        afterGap_ = true;
        gapWords_ = gapWords;
        next_ = firstIndex;
    }
    if (filling_.volts.capacity() < length_) filling_.volts.reserve(length_);
    for (std::size_t i = 0; i < count; ++i) {
        filling_.volts.push_back(units::sample_volts(samples[i]));
        ++next_;
        if (filling_.volts.size() == length_) cut();
    }
}

void WindowCutter::cut() {
    Window w;
    w.volts.swap(filling_.volts);
    w.firstIndex = filling_.firstIndex;
    w.sequence = ++sequence_;
    if (afterGap_) {
        w.quality = WindowQuality::kWarning;
        w.why = gapWords_;
        afterGap_ = false;
    }
    apply_suspect(&w);
    filling_.firstIndex = w.firstIndex + length_;
    if (queue_.size() == kQueuedWindows) {
        // The client never sees the oldest window, so the one after it
        // carries its trouble: a client that skips an alarm must still
        // hear of it.
        Window dropped = std::move(queue_.front());
        queue_.pop_front();
        ++skipped_;
        Window& heir = queue_.empty() ? w : queue_.front();
        if (dropped.quality > heir.quality) {
            heir.quality = dropped.quality;
            heir.why = dropped.why;
        }
    }
    queue_.push_back(std::move(w));
    // A suspect range wholly before the part-filled window marks no window to come.
    while (!suspects_.empty() && suspects_.front().until <= filling_.firstIndex) suspects_.pop_front();
}

void WindowCutter::apply_suspect(Window* w) const {
    const std::uint64_t end = w->firstIndex + w->volts.size();
    for (const Suspect& s : suspects_) {
        if (s.from < end && w->firstIndex < s.until) {
            // An alarm outranks a warning: the window itself may be broken.
            w->quality = WindowQuality::kAlarm;
            w->why = s.words;
        }
    }
}

void WindowCutter::mark_possible_loss(std::uint64_t fromIndex, const std::string& words) {
    // The samples not yet taken are read after the verdict; the next one
    // is where the loss shows at the latest, so it counts as suspect too.
    suspects_.push_back(Suspect{fromIndex, std::max(next_, fromIndex) + 1, words});
    for (Window& w : queue_) apply_suspect(&w);
}

bool WindowCutter::pop(Window* out) {
    if (queue_.empty()) return false;
    *out = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

}  // namespace kv318::tango
