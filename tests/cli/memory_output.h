// An output in memory for the CLI's tests, and readers of what it holds.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sample_writer.h"

namespace kv318::cli::test {

// The scope's tests use this too: it fakes the shared pipeline's types.
using namespace kv318::pipeline;

// An output in memory that can refuse to seek, or take only its first
// `failAfter` bytes and then fail as a full disk does: the write that
// reaches the limit puts in what fits, every later one nothing.
class MemoryOutput : public ByteOutput {
public:
    std::vector<std::uint8_t> bytes;
    bool seekable = true;
    std::size_t failAfter = SIZE_MAX;
    bool write(const void* data, std::size_t size) override {
        const auto* p = static_cast<const std::uint8_t*>(data);
        const std::size_t room = failAfter - std::min(failAfter, appended_);
        const std::size_t n = std::min(size, room);
        bytes.insert(bytes.end(), p, p + n);
        appended_ += n;
        if (n == size) return true;
        err_ = "No space left on device";
        return false;
    }
    std::uint64_t landed() const override { return appended_; }
    bool rewrite(std::uint64_t offset, const void* data, std::size_t size) override {
        if (!seekable) return false;
        std::memcpy(bytes.data() + offset, data, size);
        return true;
    }
    bool flush() override { return true; }
    bool cut(std::uint64_t size) override {
        if (!seekable || size > bytes.size()) return false;
        bytes.resize(static_cast<std::size_t>(size));
        appended_ = static_cast<std::size_t>(size);
        return true;
    }
    std::string error() const override { return err_; }

private:
    std::string err_;
    std::size_t appended_ = 0;
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
