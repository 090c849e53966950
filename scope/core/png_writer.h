// A small PNG encoder for the Windows window's screenshots, where no image
// library is at hand: 8-bit RGB, filter 0 on every row, and the image data
// in one deflate block with the fixed Huffman code and a simple matcher.
// Every PNG reader takes it, and a scope's screenshot comes to tens of
// kilobytes, near what a full compressor makes of it.
#pragma once

#include <cstdint>
#include <vector>

namespace kv318::scope {

// The PNG file of `rgb` (width x height x 3 bytes, rows top to bottom).
std::vector<std::uint8_t> encode_png(int width, int height, const std::vector<std::uint8_t>& rgb);

}  // namespace kv318::scope
