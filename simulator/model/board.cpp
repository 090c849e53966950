#include "board.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "requests.h"

namespace kv318::sim {

namespace {
std::size_t even_capacity(std::size_t bytes) { return std::max(bytes, kMinFifoBytes) & ~std::size_t{1}; }
}  // namespace

const char* identity_string_1() { return "KV318 USB DAQ simulator"; }

void identity_string_2(int number, char (&text)[33]) {
    std::snprintf(text, sizeof text, "SN KVS-%04d FW 1.00", number);
}

Board::Board(const BoardConfig& config, const Clock& clock)
    : clock_(clock),
      number_(config.number),
      converterClockHz_(config.converterClockHz == 0 ? kDefaultConverterClockHz : config.converterClockHz),
      fifo_(even_capacity(config.fifoBytes)),
      signal_(config.signal),
      fixedInputs_(config.fixedInputs),
      counter_(config.counterRateHz, config.counterInput) {}

// ---- requests ----

Outcome Board::transact(std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
                        std::uint32_t outCap) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Time is read under the lock, so two requests never see it run backwards.
    const std::uint64_t now = clock_.now_ns();
    ++stats_.requests;

    std::optional<std::uint8_t> commandCode;
    CommandRequest c{};
    PayloadCommandRequest p{};
    if (code == kIoctlCommand && parse_command(in, inLen, &c)) commandCode = c.code;
    if (code == kIoctlCommandPayload && parse_command_payload(in, inLen, &p)) commandCode = p.code;
    const FaultHit hit = faults_.apply(code, commandCode, now);

    Outcome o;
    if (hit.drop) {
        o.drop = true;
        return o;
    }
    if (!hit.fail) o = serve(code, in, inLen, out, outCap, now, hit.stall);
    if (!o.ok) {
        o.count = 0;
        ++stats_.failed;
    }
    o.delayMs = hit.delayMs;
    return o;
}

Outcome Board::serve(std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
                     std::uint32_t outCap, std::uint64_t now, bool stall) {
    if (in == nullptr || (outCap > 0 && out == nullptr)) return {};
    switch (code) {
    case kIoctlBulkRead:
        convert_until(now);
        return bulk_read(in, inLen, out, outCap, stall);
    case kIoctlBulkWrite:
        return bulk_write(in, inLen, out, outCap);
    case kIoctlStringDescriptor:
        return string_descriptor(in, inLen, out, outCap);
    case kIoctlCommand: {
        CommandRequest c{};
        if (!parse_command(in, inLen, &c)) return {};
        return command(c.code, c.values, std::min<std::uint32_t>(c.replyLength, outCap), out, now);
    }
    case kIoctlCommandPayload: {
        // The payload itself means nothing to this board; the command does.
        PayloadCommandRequest p{};
        if (!parse_command_payload(in, inLen, &p)) return {};
        return command(p.code, p.values, std::min<std::uint32_t>(kCommandReplyLength, outCap), out, now);
    }
    default:
        return {};
    }
}

Outcome Board::bulk_read(const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out, std::uint32_t outCap,
                         bool stall) {
    std::uint32_t length = 0;
    if (!parse_bulk_read(in, inLen, &length)) return {};
    if (stalled_ || stall) return {true, 0};
    std::uint32_t n = std::min(length, outCap);
    if (bulkLimit_ > 0) n = std::min(n, bulkLimit_);
    n = static_cast<std::uint32_t>(fifo_.pop(out, n));
    return {true, n};
}

Outcome Board::bulk_write(const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out, std::uint32_t outCap) {
    // The board has no bulk-out sink: the payload is taken and discarded,
    // and the reply reports its length.
    BulkWriteRequest w{};
    if (!parse_bulk_write(in, inLen, &w)) return {};
    if (outCap < 4) return {true, 0};
    put_u32le(out, w.length);
    return {true, 4};
}

Outcome Board::string_descriptor(const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out, std::uint32_t outCap) {
    std::uint8_t index = 0;
    if (!parse_string_request(in, inLen, &index)) return {};
    char second[33];
    const char* text = nullptr;
    if (index == 1) {
        text = identity_string_1();
    } else if (index == 2) {
        identity_string_2(number_, second);
        text = second;
    } else {
        return {};
    }
    // One 16-bit unit per character, with no terminating unit: the count
    // tells where the text ends.
    const std::size_t units = std::min<std::size_t>(std::strlen(text), outCap / 2);
    for (std::size_t i = 0; i < units; ++i) put_u16le(out + 2 * i, static_cast<std::uint8_t>(text[i]));
    return {true, static_cast<std::uint32_t>(2 * units)};
}

Outcome Board::command(std::uint8_t code, const std::uint8_t (&values)[4], std::uint32_t room, std::uint8_t* out,
                       std::uint64_t now) {
    const std::uint8_t reg = values[0];
    if (room > 0) std::memset(out, 0, room);
    switch (code) {
    case kCmdRead8:
        if (room < 1) return {};
        out[0] = static_cast<std::uint8_t>(read8(reg, now));
        break;
    case kCmdRead16:
        if (room < 2) return {};
        put_u16le(out, static_cast<std::uint16_t>(read16(reg, now)));
        break;
    case kCmdWrite8:
        write8(reg, values[1], now);
        break;
    case kCmdWrite16:
        write16(reg, get_u16le(values + 1), now);
        break;
    case kCmdResetUsb:
        convert_until(now);
        fifo_.clear();
        break;
    default:
        return {};
    }
    return {true, room};
}

// ---- registers ----

std::int32_t Board::read8(std::uint8_t reg, std::uint64_t now) {
    switch (reg) {
    case reg::kStatus: {
        convert_until(now);
        std::uint8_t s = static_cast<std::uint8_t>(fifo_level_code(fifo_.size()) << kStatusLevelShift);
        if (converting_) s |= kStatusEnabledBit;
        return s;
    }
    case reg::kStart:
        start_conversion(now);
        return 0;
    case reg::kMode:
        // Reading the mode register stops conversion; what was converted stays in the FIFO.
        convert_until(now);
        converting_ = false;
        return mode_;
    case reg::kCounterLow:
        return counter_.read_low(now);
    case reg::kCounterHigh:
        return counter_.read_high(now);
    case reg::kCounterState:
        return counter_.read_state(now);
    case reg::kDigital:
        return inputs() & 0xFF;
    default:
        return 0;  // an unmapped register reads as 0
    }
}

std::int32_t Board::read16(std::uint8_t reg, std::uint64_t now) {
    if (reg == reg::kDigital) return inputs();
    return read8(reg, now);
}

void Board::write8(std::uint8_t reg, std::uint8_t value, std::uint64_t now) {
    switch (reg) {
    case reg::kMode:
        mode_ = value & 0x0F;
        break;
    case reg::kCounterState:
        counter_.write_state(value, now);
        break;
    case reg::kPulseControl:
        counter_.write_pulse_control(value, now);
        break;
    case reg::kPulseDivisor:
        counter_.write_pulse_divisor(value, now);
        break;
    default:
        break;  // writes to unmapped registers change nothing
    }
}

void Board::write16(std::uint8_t reg, std::uint16_t value, std::uint64_t now) {
    switch (reg) {
    case reg::kDivider: {
        // The divider is 12 bits wide and runs from 2.
        convert_until(now);
        divider_ = std::max<std::uint16_t>(value & kDividerMask, kMinDivider);
        restart_sample_clock(now);
        break;
    }
    case reg::kDigital:
        outputs_ = value;
        break;
    default:
        write8(reg, static_cast<std::uint8_t>(value & 0xFF), now);
        break;
    }
}

std::uint16_t Board::inputs() const { return fixedInputs_ ? *fixedInputs_ : outputs_; }

// ---- converter ----

void Board::restart_sample_clock(std::uint64_t now) {
    anchorNs_ = now;
    samplesSinceAnchor_ = 0;
}

void Board::start_conversion(std::uint64_t now) {
    // A start while converting changes nothing, so a stream is never cut.
    if (converting_) return;
    converting_ = true;
    sampleNumber_ = 0;
    restart_sample_clock(now);
}

void Board::convert_until(std::uint64_t now) {
    if (!converting_ || now <= anchorNs_) return;
    const std::uint64_t due = periods_in(now - anchorNs_, converterClockHz_) / divider_;
    const std::uint64_t n = due - samplesSinceAnchor_;
    if (n == 0) return;
    samplesSinceAnchor_ = due;
    // Only as many as fit are made; the rest are counted as dropped without
    // being made, so a long gap between requests costs nothing.
    const std::uint64_t room = (fifo_.capacity() - fifo_.size()) / 2;
    const std::uint64_t fit = std::min(n, room);
    const SampleTiming timing{converterClockHz_, divider_};
    // Made in batches on the stack and copied in whole.
    std::uint8_t batch[8192];
    for (std::uint64_t done = 0; done < fit;) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(fit - done, sizeof batch / 2));
        signal_bytes(signal_, sampleNumber_ + done, count, timing, batch);
        fifo_.append(batch, 2 * count);
        done += count;
    }
    sampleNumber_ += n;
    stats_.samplesConverted += n;
    stats_.samplesDropped += n - fit;
}

// ---- the bench ----

void Board::set_signal(const SignalConfig& signal) {
    std::lock_guard<std::mutex> lock(mutex_);
    convert_until(clock_.now_ns());
    signal_ = signal;
}

void Board::set_fixed_inputs(std::optional<std::uint16_t> word) {
    std::lock_guard<std::mutex> lock(mutex_);
    fixedInputs_ = word;
}

void Board::set_counter_input(CounterInput input) {
    std::lock_guard<std::mutex> lock(mutex_);
    counter_.set_input(input, clock_.now_ns());
}

void Board::set_counter_rate(std::uint64_t rateHz) {
    std::lock_guard<std::mutex> lock(mutex_);
    counter_.set_external_rate(rateHz, clock_.now_ns());
}

void Board::add_fault(const FaultRule& rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.add(rule);
}

void Board::clear_faults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
    stalled_ = false;
    bulkLimit_ = 0;
}

void Board::set_fifo_stall(bool stalled) {
    std::lock_guard<std::mutex> lock(mutex_);
    convert_until(clock_.now_ns());
    stalled_ = stalled;
}

void Board::set_bulk_reply_limit(std::uint32_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    bulkLimit_ = bytes;
}

BoardStats Board::stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    convert_until(clock_.now_ns());
    BoardStats s = stats_;
    s.fifoBytes = fifo_.size();
    s.converting = converting_;
    return s;
}

}  // namespace kv318::sim
