// A simulated board on a hand-driven clock, driven with the library's own
// request builders, so a test speaks to the model exactly as the driver
// channel would.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "board.h"
#include "bytes.h"
#include "requests.h"

namespace kv318::sim::test {

struct Bench {
    explicit Bench(BoardConfig config = {}) : board(config, clock) {}

    ManualClock clock;
    Board board;

    // One request; the reply bytes land in *out (resized to the count).
    Outcome request(std::uint32_t code, const std::vector<std::uint8_t>& in, std::uint32_t outCap,
                    std::vector<std::uint8_t>* out = nullptr) {
        std::vector<std::uint8_t> area(outCap + 1, 0xEE);
        static const std::uint8_t kNone = 0;
        const Outcome o = board.transact(code, in.empty() ? &kNone : in.data(), static_cast<std::uint32_t>(in.size()),
                                         area.data(), outCap);
        EXPECT_EQ(area[outCap], 0xEE) << "the board wrote past the capacity";
        EXPECT_LE(o.count, outCap);
        if (out != nullptr) out->assign(area.begin(), area.begin() + o.count);
        return o;
    }

    Outcome command(std::uint8_t code, std::uint8_t v0 = 0, std::uint8_t v1 = 0, std::uint8_t v2 = 0,
                    std::vector<std::uint8_t>* reply = nullptr) {
        std::uint8_t in[kCommandInputSize];
        const std::uint8_t values[4] = {v0, v1, v2, 0};
        build_command(in, code, kCommandReplyLength, values);
        return request(kIoctlCommand, std::vector<std::uint8_t>(in, in + sizeof in), kCommandReplySize, reply);
    }

    std::int32_t read8(std::uint8_t reg) {
        std::vector<std::uint8_t> r;
        return command(kCmdRead8, reg, 0, 0, &r).ok && !r.empty() ? r[0] : -1;
    }
    std::int32_t read16(std::uint8_t reg) {
        std::vector<std::uint8_t> r;
        return command(kCmdRead16, reg, 0, 0, &r).ok && r.size() >= 2 ? get_u16le(r.data()) : -1;
    }
    bool write8(std::uint8_t reg, std::uint8_t v) { return command(kCmdWrite8, reg, v).ok; }
    bool write16(std::uint8_t reg, std::uint16_t v) {
        return command(kCmdWrite16, reg, static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)).ok;
    }
    bool reset() { return command(kCmdResetUsb).ok; }

    // One bulk read of `length`, offered length + 1 bytes as the library does.
    std::vector<std::uint8_t> bulk(std::int32_t length, bool* ok = nullptr) {
        std::uint8_t in[kBulkReadInputSize];
        const std::uint32_t capacity = build_bulk_read(in, length);
        std::vector<std::uint8_t> out;
        const Outcome o = request(kIoctlBulkRead, std::vector<std::uint8_t>(in, in + sizeof in), capacity, &out);
        if (ok != nullptr) *ok = o.ok;
        return out;
    }

    // Everything buffered, in bulk reads of up to 16 KiB.
    std::vector<std::uint8_t> drain() {
        std::vector<std::uint8_t> all;
        for (;;) {
            const std::vector<std::uint8_t> part = bulk(16384);
            if (part.empty()) return all;
            all.insert(all.end(), part.begin(), part.end());
        }
    }

    // The library's start sequence: stop, reset, mode, divider, stop, start.
    void start(std::uint16_t divider, std::uint8_t mode = 0) {
        read8(4);
        reset();
        write8(4, mode);
        write16(6, divider);
        read8(4);
        read8(1);
    }

    std::uint64_t fifo_bytes() { return board.stats().fifoBytes; }
};

// The 16-bit words of a byte stream, low byte first.
inline std::vector<std::uint16_t> words(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint16_t> w;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) w.push_back(get_u16le(bytes.data() + i));
    return w;
}

inline std::uint16_t ramp_word(std::uint64_t n) { return static_cast<std::uint16_t>((n & 0x3FFF) << 2); }

}  // namespace kv318::sim::test
