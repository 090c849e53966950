#include "channel_frame.h"

#include <cstdio>
#include <cstring>

#include "bytes.h"

namespace kv318 {

void encode_request_header(std::uint8_t (&out)[kRequestHeaderSize], const RequestHeader& h) {
    put_u32le(out, h.code);
    put_u32le(out + 4, h.inLen);
    put_u32le(out + 8, h.outCap);
}

RequestHeader decode_request_header(const std::uint8_t (&in)[kRequestHeaderSize]) {
    return RequestHeader{get_u32le(in), get_u32le(in + 4), get_u32le(in + 8)};
}

void encode_reply_header(std::uint8_t (&out)[kReplyHeaderSize], const ReplyHeader& h) {
    put_u32le(out, h.status);
    put_u32le(out + 4, h.count);
}

ReplyHeader decode_reply_header(const std::uint8_t (&in)[kReplyHeaderSize]) {
    return ReplyHeader{get_u32le(in), get_u32le(in + 4)};
}

void format_device_name(char (&name)[kDeviceNameSize], std::int32_t board) {
    std::snprintf(name, sizeof name, "%s%d", kDeviceNamePrefix, static_cast<int>(board));
}

const char* channel_endpoint_name(const char* deviceName) {
    static constexpr char kPrefix[] = "\\\\.\\";
    const std::size_t n = sizeof kPrefix - 1;
    return std::strncmp(deviceName, kPrefix, n) == 0 ? deviceName + n : deviceName;
}

}  // namespace kv318
