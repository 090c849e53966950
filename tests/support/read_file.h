// Whole files read back by tests (a recording, a screenshot, a log).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kv318::test {

// The bytes of the file at `path`, as they are on disk (no newline
// translation).  What could be read: empty when the file is missing or
// unreadable, which the test's own checks then report.
inline std::vector<std::uint8_t> read_file_bytes(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::uint8_t buffer[65536];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(f);
    }
    return bytes;
}

// The same, as text.
inline std::string read_file_text(const std::string& path) {
    const std::vector<std::uint8_t> bytes = read_file_bytes(path);
    return {bytes.begin(), bytes.end()};
}

}  // namespace kv318::test
