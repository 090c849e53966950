// An output in memory for the CLI's tests, and readers of what it holds.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sample_writer.h"

namespace kv318::cli::test {

// An output in memory that can refuse to seek or fail after some bytes.
class MemoryOutput : public ByteOutput {
public:
    std::vector<std::uint8_t> bytes;
    bool seekable = true;
    std::size_t failAfter = SIZE_MAX;
    bool write(const void* data, std::size_t size) override {
        if (bytes.size() + size > failAfter) {
            err_ = "No space left on device";
            return false;
        }
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
        return true;
    }
    bool rewrite(std::uint64_t offset, const void* data, std::size_t size) override {
        if (!seekable) return false;
        std::memcpy(bytes.data() + offset, data, size);
        return true;
    }
    bool flush() override { return true; }
    std::string error() const override { return err_; }

private:
    std::string err_;
};

inline std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

inline std::vector<std::int32_t> raw_samples(const MemoryOutput& out) {
    std::vector<std::int32_t> s;
    for (std::size_t i = 0; i + 1 < out.bytes.size(); i += 2)
        s.push_back(static_cast<std::int16_t>(out.bytes[i] | (out.bytes[i + 1] << 8)));
    return s;
}

}  // namespace kv318::cli::test
