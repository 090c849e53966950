// A minimal PNG writer for test screenshots: 8-bit RGB, no filtering, the
// image data in stored (uncompressed) deflate blocks.  Every viewer reads
// it; size does not matter for a few screenshots.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv318::test {

// Writes `rgb` (width * height * 3 bytes, rows top to bottom) to `path`.
// Returns false when the file cannot be written.
bool write_png(const std::wstring& path, int width, int height, const std::vector<std::uint8_t>& rgb);

}  // namespace kv318::test
