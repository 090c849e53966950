#include "request_builders.h"

#include <cstring>

#include "bytes.h"

namespace kv318 {

std::int32_t build_bulk_write(std::uint8_t* area, const std::uint8_t* payload, std::int32_t length) {
    if (length > kBulkWriteMaxLength) return kLengthTooLong;
    if (length < 0) return kLengthNegative;
    if (area == nullptr || (payload == nullptr && length > 0)) return -1;
    const auto n = static_cast<std::size_t>(length);
    std::memset(area, 0, n + kBulkWriteOverhead);
    put_u16le(area, static_cast<std::uint16_t>(n));
    if (n > 0) std::memcpy(area + 4, payload, n);
    return static_cast<std::int32_t>(n + kBulkWriteOverhead);
}

std::int32_t build_command_payload(std::uint8_t (&in)[kPayloadInputSize], std::uint8_t code,
                                   const std::uint8_t (&values)[4], const std::uint8_t* payload, std::int32_t length) {
    if (length > kPayloadMaxLength) return kLengthTooLong;
    if (length < 0) return kLengthNegative;
    if (payload == nullptr && length > 0) return -1;
    std::memset(in, 0, sizeof in);
    in[0] = code;
    in[1] = static_cast<std::uint8_t>(length);
    std::memcpy(in + 2, values, 4);
    if (length > 0) std::memcpy(in + kPayloadOffset, payload, static_cast<std::size_t>(length));
    return static_cast<std::int32_t>(kPayloadInputSize);
}

}  // namespace kv318
