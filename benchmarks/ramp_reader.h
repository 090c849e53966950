// The benchmarks' library reader: KV318_Read every 40 ms for a while, each
// sample checked against the simulator's ramp.  A drain that finds the
// reader busy waits for it, so the reader keeps out of its way: every 40 ms
// is half of what the ring holds at 26 MB/s.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "KV318.h"

namespace kv318::bench {

struct RampRead {
    std::int32_t failure = 0;  // the first negative read, else 0
    bool rampBroken = false;
    std::uint64_t samples = 0;  // delivered: the ramp's next sample number
};

// Reads the stream already started on `h` until `seconds` have passed since
// `t0`.  Runs on the caller's thread; the stream is left running.
inline RampRead read_ramp(std::int32_t h, std::chrono::steady_clock::time_point t0, double seconds) {
    static std::vector<std::int32_t> samples(KV318_READ_MAX_SAMPLES);
    RampRead r;
    auto tick = t0;
    while (std::chrono::steady_clock::now() - t0 < std::chrono::duration<double>(seconds)) {
        tick += std::chrono::milliseconds(40);
        std::this_thread::sleep_until(tick);
        const std::int32_t n = KV318_Read(h, samples.data());
        if (n < 0) {
            r.failure = n;
            break;
        }
        for (std::int32_t i = 0; i < n; ++i, ++r.samples)
            if (samples[static_cast<std::size_t>(i)] != static_cast<std::int16_t>((r.samples & 0x3FFF) << 2))
                r.rampBroken = true;
    }
    return r;
}

}  // namespace kv318::bench
