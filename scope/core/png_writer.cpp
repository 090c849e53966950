#include "png_writer.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "bytes.h"

namespace kv318::scope {

namespace {

std::uint32_t crc32(const std::uint8_t* data, std::size_t n, std::uint32_t crc = 0) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void put_u32be(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void chunk(std::vector<std::uint8_t>& out, const char type[4], const std::vector<std::uint8_t>& data) {
    put_u32be(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_u32be(out, crc32(out.data() + start, out.size() - start));
}

// Writes bits least significant first, as deflate packs them.
class BitWriter {
public:
    explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
    void bits(std::uint32_t value, int count) {
        acc_ |= static_cast<std::uint64_t>(value) << used_;
        used_ += count;
        while (used_ >= 8) {
            out_.push_back(static_cast<std::uint8_t>(acc_ & 0xFF));
            acc_ >>= 8;
            used_ -= 8;
        }
    }
    // A Huffman code goes out most significant bit first.
    void code(std::uint32_t code, int length) {
        std::uint32_t reversed = 0;
        for (int i = 0; i < length; ++i) reversed |= ((code >> i) & 1u) << (length - 1 - i);
        bits(reversed, length);
    }
    void flush() {
        if (used_ > 0) out_.push_back(static_cast<std::uint8_t>(acc_ & 0xFF));
        acc_ = 0;
        used_ = 0;
    }

private:
    std::vector<std::uint8_t>& out_;
    std::uint64_t acc_ = 0;
    int used_ = 0;
};

// A literal or length symbol in deflate's fixed Huffman code.
void fixed_symbol(BitWriter& w, unsigned symbol) {
    if (symbol < 144) {
        w.code(0x30 + symbol, 8);
    } else if (symbol < 256) {
        w.code(0x190 + symbol - 144, 9);
    } else if (symbol < 280) {
        w.code(symbol - 256, 7);
    } else {
        w.code(0xC0 + symbol - 280, 8);
    }
}

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                             33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                             1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void fixed_match(BitWriter& w, std::size_t length, std::size_t distance) {
    int l = 28;
    while (kLengthBase[l] > length) --l;
    fixed_symbol(w, 257 + static_cast<unsigned>(l));
    w.bits(static_cast<std::uint32_t>(length - kLengthBase[l]), kLengthExtra[l]);
    int d = 29;
    while (kDistanceBase[d] > distance) --d;
    w.code(static_cast<std::uint32_t>(d), 5);
    w.bits(static_cast<std::uint32_t>(distance - kDistanceBase[d]), kDistanceExtra[d]);
}

// `data` as one deflate block with the fixed Huffman code.  A screenshot is
// mostly runs of one colour and rows like the row above, so the matcher
// tries the pixel before and the row above first, then the last place the
// same three bytes were seen; that takes a scope's picture from megabytes
// to tens of kilobytes without a compression library.
void deflate_fixed(const std::vector<std::uint8_t>& data, std::size_t rowBytes, std::vector<std::uint8_t>& out) {
    constexpr std::size_t kMaxDistance = 32768;
    constexpr std::size_t kMaxLength = 258;
    constexpr std::size_t kHashBits = 15;
    std::vector<std::size_t> lastSeen(std::size_t{1} << kHashBits, SIZE_MAX);
    const auto hash = [&](std::size_t i) {
        const std::uint32_t v = data[i] | (data[i + 1] << 8) | (data[i + 2] << 16);
        return (v * 2654435761u) >> (32 - kHashBits);
    };
    BitWriter w(out);
    w.bits(1, 1);  // the final block
    w.bits(1, 2);  // fixed Huffman codes
    std::size_t i = 0;
    while (i < data.size()) {
        std::size_t bestLength = 0, bestDistance = 0;
        if (i + 3 <= data.size()) {
            const std::size_t h = hash(i);
            const std::size_t candidates[4] = {1, 3, rowBytes, lastSeen[h] == SIZE_MAX ? 0 : i - lastSeen[h]};
            lastSeen[h] = i;
            const std::size_t limit = std::min(kMaxLength, data.size() - i);
            for (const std::size_t d : candidates) {
                if (d == 0 || d > i || d > kMaxDistance) continue;
                std::size_t n = 0;
                while (n < limit && data[i + n] == data[i + n - d]) ++n;
                if (n > bestLength) bestLength = n, bestDistance = d;
            }
        }
        if (bestLength >= 3) {
            fixed_match(w, bestLength, bestDistance);
            i += bestLength;
        } else {
            fixed_symbol(w, data[i]);
            ++i;
        }
    }
    fixed_symbol(w, 256);  // end of block
    w.flush();
}

}  // namespace

std::vector<std::uint8_t> encode_png(int width, int height, const std::vector<std::uint8_t>& rgb) {
    std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> ihdr;
    put_u32be(ihdr, static_cast<std::uint32_t>(width));
    put_u32be(ihdr, static_cast<std::uint32_t>(height));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});  // 8-bit, RGB, deflate, filter 0, no interlace
    chunk(out, "IHDR", ihdr);

    // The raw image: each row led by its filter byte (0, none).
    const std::size_t row = static_cast<std::size_t>(width) * 3;
    std::vector<std::uint8_t> raw;
    raw.reserve((row + 1) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);
        const auto* p = rgb.data() + row * static_cast<std::size_t>(y);
        raw.insert(raw.end(), p, p + row);
    }
    // zlib: header, one compressed block, Adler-32.
    std::vector<std::uint8_t> z = {0x78, 0x01};
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t v : raw) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    deflate_fixed(raw, row + 1, z);
    put_u32be(z, (b << 16) | a);
    chunk(out, "IDAT", z);
    chunk(out, "IEND", {});
    return out;
}

}  // namespace kv318::scope
