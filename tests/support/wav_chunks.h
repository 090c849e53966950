// A WAV file's chunks as a reader walks them, for the tests that read back
// a recording: RIFF's size must be the file's, and every chunk's size must
// lead exactly to the next.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace kv318::test {

struct WavChunks {
    bool valid = false;
    std::vector<std::pair<std::string, std::size_t>> chunks;  // id and offset of the body
    std::string info;                                         // the INFO entries, "ID=text;"
    std::vector<std::int32_t> samples;
};

inline WavChunks walk_wav(const std::vector<std::uint8_t>& b) {
    const auto u32_at = [&b](std::size_t at) {
        return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
    };
    WavChunks w;
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0) return w;
    if (u32_at(4) != b.size() - 8) return w;
    std::size_t at = 12;
    while (at + 8 <= b.size()) {
        const std::string id(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at) + 4);
        const std::size_t size = u32_at(at + 4);
        if (at + 8 + size > b.size()) return w;
        w.chunks.emplace_back(id, at + 8);
        if (id == "LIST") {
            for (std::size_t e = at + 12; e + 8 <= at + 8 + size;) {
                const std::size_t n = u32_at(e + 4);
                w.info += std::string(b.begin() + static_cast<long>(e), b.begin() + static_cast<long>(e) + 4) + "=" +
                          std::string(reinterpret_cast<const char*>(b.data() + e + 8)) + ";";
                e += 8 + n + (n % 2);
            }
        }
        if (id == "data") {
            for (std::size_t i = at + 8; i + 1 < at + 8 + size; i += 2)
                w.samples.push_back(static_cast<std::int16_t>(b[i] | (b[i + 1] << 8)));
        }
        at += 8 + size + (size % 2);
    }
    w.valid = at == b.size();
    return w;
}

}  // namespace kv318::test
