// The simulated KV318 board: it answers the driver's five I/O-control
// requests as the kernel driver and the board would, byte for byte, with
// the request layouts and register map it shares with the library.
// Converter, FIFO, digital I/O, counter and pulse generator are worked out
// lazily from the Clock at each request, so nothing ticks between requests.
//
// One Board stands for one physical board.  Every handle opened on it, from
// any connection and thread, shares it, as handles of a kernel driver share
// the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "clock.h"
#include "counter.h"
#include "faults.h"
#include "fifo.h"
#include "analog_signal.h"
#include "register_map.h"

namespace kv318::sim {

inline constexpr std::uint64_t kDefaultConverterClockHz = 2'000'000;
inline constexpr std::size_t kMinFifoBytes = std::size_t{512} * 1024;
inline constexpr std::uint16_t kPowerUpDivider = 50;
inline constexpr std::uint64_t kDefaultCounterRateHz = 1000;

struct BoardConfig {
    int number = 0;  // shown in identity string 2
    std::uint64_t converterClockHz = kDefaultConverterClockHz;
    std::size_t fifoBytes = kMinFifoBytes;  // held to at least kMinFifoBytes, and even
    SignalConfig signal;
    std::optional<std::uint16_t> fixedInputs;  // empty: the inputs read back the outputs
    std::uint64_t counterRateHz = kDefaultCounterRateHz;
    CounterInput counterInput = CounterInput::External;
};

// The board's answer to one request.
struct Outcome {
    bool ok = false;            // false: a failure reply
    std::uint32_t count = 0;    // bytes written to the output area; 0 on failure
    bool drop = false;          // a fault: close the connection instead of replying
    std::uint32_t delayMs = 0;  // a fault: hold the reply this long
};

struct BoardStats {
    std::uint64_t requests = 0;  // every request seen
    std::uint64_t failed = 0;    // failure replies sent
    std::uint64_t samplesConverted = 0;
    std::uint64_t samplesDropped = 0;  // converted while the FIFO was full
    std::size_t fifoBytes = 0;         // buffered now
    bool converting = false;
};

// Identity strings 1 and 2 of board `number`.
const char* identity_string_1();
void identity_string_2(int number, char (&text)[33]);

class Board {
public:
    // `clock` is owned by the caller and outlives the board.
    Board(const BoardConfig& config, const Clock& clock);

    // Serves one request.  `in` holds inLen bytes; `out` has room for outCap
    // bytes and receives the reply.  Both are the caller's.  Any thread;
    // requests are served one at a time.  Never fails by throwing: a
    // malformed or unknown request gets a failure reply.
    Outcome transact(std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
                     std::uint32_t outCap);

    // ---- the bench around the board (any thread) ----
    void set_signal(const SignalConfig& signal);
    void set_fixed_inputs(std::optional<std::uint16_t> word);
    void set_counter_input(CounterInput input);
    void set_counter_rate(std::uint64_t rateHz);

    // ---- scripted faults (any thread) ----
    void add_fault(const FaultRule& rule);
    void clear_faults();
    // While stalled the FIFO hands out nothing: bulk reads return 0 bytes,
    // and the converter keeps filling it until it drops samples.
    void set_fifo_stall(bool stalled);
    // Caps every bulk reply at `bytes` (0: no cap), as a USB stack that
    // hands back short transfers would.  An odd cap splits samples across
    // replies.
    void set_bulk_reply_limit(std::uint32_t bytes);

    BoardStats stats();
    int number() const { return number_; }

private:
    Outcome serve(std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
                  std::uint32_t outCap, std::uint64_t now, bool stall);
    // `stall`: a scripted stall hit this read; it succeeds with 0 bytes.
    Outcome bulk_read(const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out, std::uint32_t outCap, bool stall);
    Outcome bulk_write(const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out, std::uint32_t outCap);
    Outcome string_descriptor(const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out, std::uint32_t outCap);
    Outcome command(std::uint8_t code, const std::uint8_t (&values)[4], std::uint32_t room, std::uint8_t* out,
                    std::uint64_t now);
    std::int32_t read8(std::uint8_t reg, std::uint64_t now);
    std::int32_t read16(std::uint8_t reg, std::uint64_t now);
    void write8(std::uint8_t reg, std::uint8_t value, std::uint64_t now);
    void write16(std::uint8_t reg, std::uint16_t value, std::uint64_t now);

    // Brings the converter up to `now`: the samples due since the last call
    // enter the FIFO, or are dropped and counted when it is full.
    void convert_until(std::uint64_t now);
    void start_conversion(std::uint64_t now);
    void restart_sample_clock(std::uint64_t now);
    std::uint16_t inputs() const;

    const Clock& clock_;
    const int number_;
    const std::uint64_t converterClockHz_;

    // One board, many handles: the lock makes each request one indivisible
    // step on the board, as the kernel driver serialises requests to the
    // device.  A lock and not atomics, because a request touches many fields
    // together (FIFO, converter, counter) and must see them consistent.
    std::mutex mutex_;
    Fifo fifo_;
    SignalConfig signal_;
    FaultPlan faults_;
    bool stalled_ = false;
    std::uint32_t bulkLimit_ = 0;

    bool converting_ = false;
    std::uint8_t mode_ = 0;  // register 4; stored, no effect on the samples
    std::uint16_t divider_ = kPowerUpDivider;
    std::uint64_t anchorNs_ = 0;  // when the sample clock last (re)started
    std::uint64_t samplesSinceAnchor_ = 0;
    std::uint64_t sampleNumber_ = 0;  // since the start of conversion: the signal's argument

    std::uint16_t outputs_ = 0;
    std::optional<std::uint16_t> fixedInputs_;
    CounterUnit counter_;

    BoardStats stats_;
};

}  // namespace kv318::sim
