// The board's 16-bit counter and its pulse generator, worked out from time
// instead of ticked: every input is a count of pulses up to a moment, so a
// 1 MHz pulse train costs nothing between requests.  Not thread-safe: the
// board's lock guards it.
#pragma once

#include <cstdint>

namespace kv318::sim {

// The pulse generator's base clock: its output runs at 2 MHz / divisor.
inline constexpr std::uint64_t kPulseClockHz = 2'000'000;

// What the counter's input is wired to.
enum class CounterInput { External, Pulse };

class PulseGenerator {
public:
    // Register 9: bit 7 runs the generator, bit 6 makes it a one-shot that
    // emits a single pulse one period after it starts and then stops by
    // itself.  Bits 0-5 mean nothing.  Rewriting the running state leaves
    // the train's phase alone.
    void write_control(std::uint8_t value, std::uint64_t now);

    // Register 10: the divisor; 0 and 1 act as 2.  While the generator runs,
    // the new period starts at the write.
    void write_divisor(std::uint8_t value, std::uint64_t now);

    // Pulses emitted from power-up until `now`.
    std::uint64_t total(std::uint64_t now) const;
    bool running(std::uint64_t now) const;
    bool one_shot() const { return oneShot_; }

private:
    std::uint64_t segment_pulses(std::uint64_t now) const;
    // Counts the current run segment into base_ and starts a new one at `now`.
    void fold(std::uint64_t now);

    bool run_ = false;
    bool oneShot_ = false;
    std::uint8_t divisor_ = 2;
    std::uint64_t base_ = 0;      // pulses of finished segments
    std::uint64_t segStart_ = 0;  // start of the current segment, ns
};

// A steady pulse train of a settable rate, standing for the signal wired to
// the counter's input on the bench.
class ExternalSource {
public:
    explicit ExternalSource(std::uint64_t rateHz) : rateHz_(rateHz) {}
    std::uint64_t total(std::uint64_t now) const;
    void set_rate(std::uint64_t rateHz, std::uint64_t now);
    std::uint64_t rate() const { return rateHz_; }

private:
    std::uint64_t rateHz_;
    std::uint64_t base_ = 0;
    std::uint64_t epoch_ = 0;
};

class CounterUnit {
public:
    CounterUnit(std::uint64_t externalRateHz, CounterInput input) : external_(externalRateHz), input_(input) {}

    // Register 8 read: bit 0 set while the counter is stopped or once its
    // count passed 65535; bit 6 the pulse mode; bit 7 set while the pulse
    // generator runs.
    std::uint8_t read_state(std::uint64_t now) const;
    // Registers 6 and 7: the count's low and high byte.  Past 65535 the
    // count wraps, and the state's bit 0 says so.
    std::uint8_t read_low(std::uint64_t now) const;
    std::uint8_t read_high(std::uint64_t now) const;

    // Register 8 write: 0 starts the counter from 0; anything else stops it
    // and holds the count.
    void write_state(std::uint8_t value, std::uint64_t now);
    void write_pulse_control(std::uint8_t value, std::uint64_t now) { pulse_.write_control(value, now); }
    void write_pulse_divisor(std::uint8_t value, std::uint64_t now) { pulse_.write_divisor(value, now); }

    // Rewiring or retuning keeps what was counted so far.
    void set_input(CounterInput input, std::uint64_t now);
    void set_external_rate(std::uint64_t rateHz, std::uint64_t now);

    // The full count since the last start, not wrapped.
    std::uint64_t count(std::uint64_t now) const;
    std::uint64_t pulses(std::uint64_t now) const { return pulse_.total(now); }

private:
    std::uint64_t input_total(std::uint64_t now) const;
    // Counts the current input segment into counted_ and starts a new one.
    void fold(std::uint64_t now);

    PulseGenerator pulse_;
    ExternalSource external_;
    CounterInput input_;
    bool running_ = false;
    std::uint64_t counted_ = 0;     // counted in earlier segments of this run
    std::uint64_t startTotal_ = 0;  // input total when the current segment began
};

}  // namespace kv318::sim
