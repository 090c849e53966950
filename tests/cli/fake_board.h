// A scripted board behind the tool's table of exports: reads hand out a
// ramp in batches of a chosen size, a negative read can be scheduled, and
// every call the stream loop makes is counted.  One board per process, as
// the function table has no room for a context pointer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <deque>
#include <thread>
#include <vector>

#include "board_api.h"

namespace kv318::cli::test {

// The scope's tests use this too: it fakes the shared pipeline's types.
using namespace kv318::pipeline;

struct FakeBoard {
    std::int32_t startResult = 0;
    std::deque<std::int32_t> reads;  // each read's result; empty: 0
    std::int32_t status = 0x04;      // register 0
    std::uint64_t next = 0;          // the ramp's next sample number
    std::int32_t carryIn = -1;       // the carry the last polled read was given
    int starts = 0, stops = 0, readCalls = 0;
    std::int32_t lastDivider = 0;
    std::int32_t lastFlags[4] = {};
    // The rest of the board: a counter that advances by one on every read
    // once started (-1: no valid count), register 8 with the pulse
    // generator's run (bit 7) and mode (bit 6), and outputs looped back to
    // the inputs.
    std::int32_t counter = -1;
    std::int32_t reg8 = 0;
    std::int32_t outputs = 0;
    int counterStarts = 0;
    // The drain statistics KV318_StreamStats hands out (their size is the
    // caller's) and what it returns; how often they were asked for.
    KV318_STREAM_STATS stats{};
    std::int32_t statsResult = 0;
    int statsCalls = 0;
    // A read that takes this long before it returns, as one does in a
    // process stopped (Ctrl-Z) in the middle of it: the read numbered
    // pauseOnRead (from 1) sleeps pauseSeconds.
    int pauseOnRead = 0;
    double pauseSeconds = 0;
    // What KV318_Info writes (null: nothing, and it returns 0).
    const char* identity = nullptr;

    static FakeBoard& get() {
        static FakeBoard b;
        return b;
    }
    static void reset() { get() = FakeBoard{}; }
    // Sample n of the simulator's ramp: code n modulo 16384 in bits 2-15.
    static std::int32_t ramp(std::uint64_t n) { return static_cast<std::int16_t>((n & 0x3FFF) << 2); }

    std::int32_t deliver(std::int32_t* samples) {
        ++readCalls;
        if (readCalls == pauseOnRead) std::this_thread::sleep_for(std::chrono::duration<double>(pauseSeconds));
        if (reads.empty()) return 0;
        const std::int32_t n = reads.front();
        reads.pop_front();
        for (std::int32_t i = 0; i < n; ++i) samples[i] = ramp(next++);
        return n;
    }
};

inline std::int32_t KV318_CALL fake_start(std::int32_t, std::int32_t f1, std::int32_t f2, std::int32_t f3,
                                          std::int32_t f4, std::int32_t divider) {
    FakeBoard& b = FakeBoard::get();
    ++b.starts;
    b.lastDivider = divider;
    b.lastFlags[0] = f1, b.lastFlags[1] = f2, b.lastFlags[2] = f3, b.lastFlags[3] = f4;
    return b.startResult;
}
inline std::int32_t KV318_CALL fake_read(std::int32_t, std::int32_t* s) { return FakeBoard::get().deliver(s); }
inline std::int32_t KV318_CALL fake_m_read(std::int32_t, std::int32_t* s, std::int32_t* carry, std::int32_t) {
    FakeBoard::get().carryIn = *carry;
    *carry = 0x10000 | 0x5A;
    return FakeBoard::get().deliver(s);
}
inline std::int32_t KV318_CALL fake_stop(std::int32_t) {
    ++FakeBoard::get().stops;
    return 0;
}
inline std::int32_t KV318_CALL fake_inb(std::int32_t, std::int32_t reg) {
    return reg == 0 ? FakeBoard::get().status : reg == 8 ? FakeBoard::get().reg8 : 0;
}
inline std::int32_t KV318_CALL fake_c_run(std::int32_t) {
    ++FakeBoard::get().counterStarts;
    FakeBoard::get().counter = 0;
    return 0;
}
inline std::int32_t KV318_CALL fake_c_read(std::int32_t) {
    FakeBoard& b = FakeBoard::get();
    return b.counter < 0 ? -1 : b.counter++;
}
inline std::int32_t KV318_CALL fake_p_run(std::int32_t, std::int32_t mode, std::int32_t) {
    FakeBoard::get().reg8 = (FakeBoard::get().reg8 & 0x3F) | 0x80 | (mode != 0 ? 0x40 : 0);
    return 0;
}
inline std::int32_t KV318_CALL fake_p_stop(std::int32_t) {
    FakeBoard::get().reg8 &= 0x7F;
    return 0;
}
inline std::int32_t KV318_CALL fake_do(std::int32_t, std::int32_t value) {
    FakeBoard::get().outputs = value & 0xFFFF;
    return 0;
}
inline std::int32_t KV318_CALL fake_di(std::int32_t) { return FakeBoard::get().outputs; }
inline std::int32_t KV318_CALL fake_stream_stats(std::int32_t, KV318_STREAM_STATS* stats) {
    FakeBoard& b = FakeBoard::get();
    ++b.statsCalls;
    if (b.statsResult != 0) return b.statsResult;
    const std::uint32_t size = stats->size;
    std::memcpy(stats, &b.stats, std::min<std::size_t>(size, sizeof b.stats));
    stats->size = size;
    return 0;
}
inline std::int32_t KV318_CALL fake_none1(std::int32_t) { return 0; }
inline std::int32_t KV318_CALL fake_none2(std::int32_t, std::int32_t) { return 0; }
inline std::int32_t KV318_CALL fake_none3(std::int32_t, std::int32_t, std::int32_t) { return 0; }
inline std::int32_t KV318_CALL fake_info(std::int32_t, char* text) {
    if (const char* id = FakeBoard::get().identity) std::strncpy(text, id, KV318_INFO_BYTES);
    return 0;
}

inline BoardApi fake_api() {
    return BoardApi{fake_none1, fake_none1, fake_info,   fake_inb,    fake_none3,  fake_start,
                    fake_read,  fake_stop,  fake_start,  fake_m_read, fake_stop,   fake_di,
                    fake_do,    fake_c_run, fake_c_read, fake_p_run,  fake_p_stop, fake_stream_stats,
                    nullptr,    nullptr,    nullptr,     nullptr,     nullptr};
}

// The same board behind a cable that can be pulled: while gone() is set,
// every request fails as it does on a handle whose driver went away (a
// start -1, a read -3, a register read -1) and no open finds the board.
// Each open gives a new handle (1, 2, ...); the closes are counted.  Set
// from the test's thread while the reading thread reads, hence atomic.
struct PluggedBoard {
    static std::atomic<bool>& gone() {
        static std::atomic<bool> g{false};
        return g;
    }
    static std::atomic<int>& opens() {
        static std::atomic<int> n{0};
        return n;
    }
    static std::atomic<int>& closes() {
        static std::atomic<int> n{0};
        return n;
    }
    static void reset() {
        FakeBoard::reset();
        gone() = false;
        opens() = 0;
        closes() = 0;
    }
};

inline std::int32_t KV318_CALL plugged_open(std::int32_t) {
    return PluggedBoard::gone() ? -1 : PluggedBoard::opens().fetch_add(1) + 1;
}
inline std::int32_t KV318_CALL plugged_close(std::int32_t) {
    PluggedBoard::closes().fetch_add(1);
    return 0;
}
inline std::int32_t KV318_CALL plugged_info(std::int32_t h, char* text) {
    return PluggedBoard::gone() ? -1 : fake_info(h, text);
}
inline std::int32_t KV318_CALL plugged_inb(std::int32_t h, std::int32_t reg) {
    return PluggedBoard::gone() ? -1 : fake_inb(h, reg);
}
inline std::int32_t KV318_CALL plugged_start(std::int32_t h, std::int32_t f1, std::int32_t f2, std::int32_t f3,
                                             std::int32_t f4, std::int32_t divider) {
    return PluggedBoard::gone() ? -1 : fake_start(h, f1, f2, f3, f4, divider);
}
inline std::int32_t KV318_CALL plugged_read(std::int32_t h, std::int32_t* s) {
    return PluggedBoard::gone() ? -3 : fake_read(h, s);
}

inline BoardApi plugged_api() {
    BoardApi api = fake_api();
    api.open = plugged_open;
    api.close = plugged_close;
    api.info = plugged_info;
    api.inb = plugged_inb;
    api.ad = plugged_start;
    api.read = plugged_read;
    return api;
}

}  // namespace kv318::cli::test
