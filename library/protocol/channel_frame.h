// Frames of the driver channel: the byte stream that carries I/O-control
// requests between the library and a user-space driver (the board
// simulator, or any other driver process).  All fields are unsigned 32-bit
// little-endian integers.
//
//   request, library -> driver: code, input length, output capacity, input bytes
//   reply,   driver -> library: status (0 = success), byte count, output bytes
//
// The count of a reply is at most the capacity asked for, and 0 on failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv318 {

inline constexpr std::size_t kRequestHeaderSize = 12;
inline constexpr std::size_t kReplyHeaderSize = 8;
// A driver closes a connection that announces more input than this.
inline constexpr std::uint32_t kMaxChannelInput = 1u << 20;
// A request whose reply has not arrived after this long fails, and breaks the handle.
inline constexpr int kChannelTimeoutMs = 2000;

struct RequestHeader {
    std::uint32_t code;
    std::uint32_t inLen;
    std::uint32_t outCap;
};

struct ReplyHeader {
    std::uint32_t status;
    std::uint32_t count;
};

void encode_request_header(std::uint8_t (&out)[kRequestHeaderSize], const RequestHeader& h);
RequestHeader decode_request_header(const std::uint8_t (&in)[kRequestHeaderSize]);
void encode_reply_header(std::uint8_t (&out)[kReplyHeaderSize], const ReplyHeader& h);
ReplyHeader decode_reply_header(const std::uint8_t (&in)[kReplyHeaderSize]);

// Device names: "\\.\KV318Device" followed by the board number in decimal.
inline constexpr std::size_t kDeviceNameSize = 80;
inline constexpr const char kDeviceNamePrefix[] = "\\\\.\\KV318Device";

// Builds the device name of `board` into `name`.
void format_device_name(char (&name)[kDeviceNameSize], std::int32_t board);

// The channel's socket or pipe name for a device name: the name without
// its "\\.\" prefix ("KV318Device0").  A name without the prefix is kept.
const char* channel_endpoint_name(const char* deviceName);

}  // namespace kv318
