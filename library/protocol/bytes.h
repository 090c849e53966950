// Little-endian byte helpers.  Every byte layout of the driver interface goes
// through these instead of casting structs onto bytes, so the layouts do not
// depend on the compiler's padding or the host's byte order.
#pragma once

#include <cstdint>

namespace kv318 {

inline void put_u16le(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void put_u32le(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
    p[2] = static_cast<std::uint8_t>((v >> 16) & 0xFF);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint16_t get_u16le(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

inline std::uint32_t get_u32le(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void put_u64le(std::uint8_t* p, std::uint64_t v) {
    put_u32le(p, static_cast<std::uint32_t>(v & 0xFFFFFFFFu));
    put_u32le(p + 4, static_cast<std::uint32_t>(v >> 32));
}

inline std::uint64_t get_u64le(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(get_u32le(p)) | (static_cast<std::uint64_t>(get_u32le(p + 4)) << 32);
}

// A signed 16-bit sample from two bytes, low byte first.
inline std::int32_t get_s16le(const std::uint8_t* p) { return static_cast<std::int16_t>(get_u16le(p)); }

}  // namespace kv318
