// Test screenshots as PNG files, encoded by the scope's PNG writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv318::test {

// Writes `rgb` (width * height * 3 bytes, rows top to bottom) to `path`.
// Returns false when the file cannot be written.
bool write_png(const std::wstring& path, int width, int height, const std::vector<std::uint8_t>& rgb);

}  // namespace kv318::test
