#include "counter.h"

#include <algorithm>

#include "clock.h"
#include "register_map.h"

namespace kv318::sim {

// ---- pulse generator ----

std::uint64_t PulseGenerator::segment_pulses(std::uint64_t now) const {
    if (!run_ || now < segStart_) return 0;
    // A pulse ends each whole period: floor(elapsed * 2 MHz / divisor).
    const std::uint64_t n = periods_in(now - segStart_, kPulseClockHz) / divisor_;
    return oneShot_ ? std::min<std::uint64_t>(n, 1) : n;
}

std::uint64_t PulseGenerator::total(std::uint64_t now) const { return base_ + segment_pulses(now); }

bool PulseGenerator::running(std::uint64_t now) const { return run_ && !(oneShot_ && segment_pulses(now) >= 1); }

void PulseGenerator::fold(std::uint64_t now) {
    const bool fired = oneShot_ && segment_pulses(now) >= 1;
    base_ += segment_pulses(now);
    segStart_ = now;
    if (fired) run_ = false;
}

void PulseGenerator::write_control(std::uint8_t value, std::uint64_t now) {
    const bool run = (value & kPulseRun) != 0;
    const bool oneShot = (value & kPulseOneShot) != 0;
    if (run && running(now) && oneShot == oneShot_) return;
    fold(now);
    run_ = run;
    oneShot_ = oneShot;
}

void PulseGenerator::write_divisor(std::uint8_t value, std::uint64_t now) {
    if (running(now)) fold(now);
    divisor_ = std::max<std::uint8_t>(value, 2);
}

// ---- external input ----

std::uint64_t ExternalSource::total(std::uint64_t now) const {
    return now < epoch_ ? base_ : base_ + periods_in(now - epoch_, rateHz_);
}

void ExternalSource::set_rate(std::uint64_t rateHz, std::uint64_t now) {
    base_ = total(now);
    epoch_ = now;
    rateHz_ = rateHz;
}

// ---- counter ----

std::uint64_t CounterUnit::input_total(std::uint64_t now) const {
    return input_ == CounterInput::Pulse ? pulse_.total(now) : external_.total(now);
}

std::uint64_t CounterUnit::count(std::uint64_t now) const {
    return running_ ? counted_ + (input_total(now) - startTotal_) : counted_;
}

std::uint8_t CounterUnit::read_state(std::uint64_t now) const {
    std::uint8_t s = 0;
    if (!running_ || count(now) > 0xFFFF) s |= kCounterInvalid;
    if (pulse_.one_shot()) s |= kPulseOneShot;
    if (pulse_.running(now)) s |= kPulseRun;
    return s;
}

std::uint8_t CounterUnit::read_low(std::uint64_t now) const { return static_cast<std::uint8_t>(count(now) & 0xFF); }

std::uint8_t CounterUnit::read_high(std::uint64_t now) const {
    return static_cast<std::uint8_t>((count(now) >> 8) & 0xFF);
}

void CounterUnit::fold(std::uint64_t now) {
    if (running_) counted_ = count(now);
    startTotal_ = input_total(now);
}

void CounterUnit::write_state(std::uint8_t value, std::uint64_t now) {
    if (value == 0) {
        running_ = true;
        counted_ = 0;
        startTotal_ = input_total(now);
    } else {
        fold(now);
        running_ = false;
    }
}

void CounterUnit::set_input(CounterInput input, std::uint64_t now) {
    fold(now);
    input_ = input;
    startTotal_ = input_total(now);
}

void CounterUnit::set_external_rate(std::uint64_t rateHz, std::uint64_t now) {
    fold(now);
    external_.set_rate(rateHz, now);
    startTotal_ = input_total(now);
}

}  // namespace kv318::sim
