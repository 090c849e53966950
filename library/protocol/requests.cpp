#include "requests.h"

#include <cstring>

#include "bytes.h"

namespace kv318 {

std::uint32_t build_bulk_read(std::uint8_t (&in)[kBulkReadInputSize], std::int32_t length) {
    const std::uint32_t masked = static_cast<std::uint32_t>(length) & kBulkReadMaxLength;
    std::memset(in, 0, sizeof in);
    put_u32le(in, masked);
    return masked + 1;
}

void build_string_request(std::uint8_t (&in)[kStringRequestSize], std::uint8_t index) {
    std::memset(in, 0, sizeof in);
    in[0] = index;
}

void build_command(std::uint8_t (&in)[kCommandInputSize], std::uint8_t code, std::uint8_t replyLength,
                   const std::uint8_t (&values)[4]) {
    std::memset(in, 0, sizeof in);
    in[0] = code;
    in[1] = replyLength;
    std::memcpy(in + 2, values, 4);
}

bool parse_bulk_read(const std::uint8_t* in, std::size_t inLen, std::uint32_t* length) {
    if (in == nullptr || inLen != kBulkReadInputSize) return false;
    *length = get_u32le(in);
    return *length <= kBulkReadMaxLength;
}

bool parse_bulk_write(const std::uint8_t* in, std::size_t inLen, BulkWriteRequest* out) {
    if (in == nullptr || inLen < kBulkWriteOverhead) return false;
    const std::uint32_t length = get_u16le(in);
    if (length > static_cast<std::uint32_t>(kBulkWriteMaxLength) || inLen != length + kBulkWriteOverhead) return false;
    out->payload = in + 4;
    out->length = length;
    return true;
}

bool parse_string_request(const std::uint8_t* in, std::size_t inLen, std::uint8_t* index) {
    if (in == nullptr || inLen != kStringRequestSize) return false;
    *index = in[0];
    return true;
}

bool parse_command(const std::uint8_t* in, std::size_t inLen, CommandRequest* out) {
    if (in == nullptr || inLen != kCommandInputSize) return false;
    out->code = in[0];
    out->replyLength = in[1];
    std::memcpy(out->values, in + 2, 4);
    return true;
}

bool parse_command_payload(const std::uint8_t* in, std::size_t inLen, PayloadCommandRequest* out) {
    if (in == nullptr || inLen != kPayloadInputSize || in[1] > kPayloadMaxLength) return false;
    out->code = in[0];
    out->length = in[1];
    std::memcpy(out->values, in + 2, 4);
    out->payload = in + kPayloadOffset;
    return true;
}

}  // namespace kv318
