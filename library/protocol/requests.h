// The driver's five I/O-control requests, byte for byte.
//
// Builders fill a caller-owned input area completely: the bytes that carry
// no meaning are sent as zeros.  Parsers are the driver's side of the same
// layouts; the board simulator uses them, so both ends share one definition.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv318 {

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr std::uint32_t ioctl_code(std::uint32_t function) { return (0x22u << 16) | (function << 2); }
inline constexpr std::uint32_t kIoctlBulkRead = ioctl_code(0x800);          // 0x222000
inline constexpr std::uint32_t kIoctlBulkWrite = ioctl_code(0x801);         // 0x222004
inline constexpr std::uint32_t kIoctlStringDescriptor = ioctl_code(0x802);  // 0x222008
inline constexpr std::uint32_t kIoctlCommand = ioctl_code(0x803);           // 0x22200C
inline constexpr std::uint32_t kIoctlCommandPayload = ioctl_code(0x804);    // 0x222010

// Command codes carried in byte 0 of a command request.
inline constexpr std::uint8_t kCmdRead8 = 0x80;
inline constexpr std::uint8_t kCmdRead16 = 0x81;
inline constexpr std::uint8_t kCmdWrite8 = 0x90;
inline constexpr std::uint8_t kCmdWrite16 = 0x91;
inline constexpr std::uint8_t kCmdResetUsb = 0x8E;

// Buffer sizes of each request form.
inline constexpr std::size_t kBulkReadInputSize = 8;
inline constexpr std::uint32_t kBulkReadMaxLength = 0xFFFF;
inline constexpr std::int32_t kBulkWriteMaxLength = 16384;
inline constexpr std::size_t kBulkWriteOverhead = 8;  // 4 header bytes + 4 trailing
inline constexpr std::size_t kBulkWriteAreaSize = 65536;
inline constexpr std::size_t kBulkWriteOutputSize = 8;
inline constexpr std::size_t kStringRequestSize = 64;
inline constexpr std::size_t kStringReplySize = 64;
inline constexpr std::size_t kCommandInputSize = 16;
inline constexpr std::size_t kCommandReplySize = 64;
inline constexpr std::uint8_t kCommandReplyLength = 8;  // byte 1: every caller asks for 8
inline constexpr std::size_t kPayloadInputSize = 80;
inline constexpr std::size_t kPayloadOffset = 6;
inline constexpr std::int32_t kPayloadMaxLength = 74;  // 80 - 6: nothing past byte 79 is sent
inline constexpr std::size_t kPayloadReplySize = 64;

// Length results shared by the two length-checked builders.
inline constexpr std::int32_t kLengthTooLong = -2;
inline constexpr std::int32_t kLengthNegative = -3;

// Bulk read: bytes 0-3 the length masked to 16 bits.  Returns the output
// capacity to offer the driver, length + 1.
std::uint32_t build_bulk_read(std::uint8_t (&in)[kBulkReadInputSize], std::int32_t length);

// String descriptor: byte 0 the string index.
void build_string_request(std::uint8_t (&in)[kStringRequestSize], std::uint8_t index);

// Command: code, reply length, four value bytes.
void build_command(std::uint8_t (&in)[kCommandInputSize], std::uint8_t code, std::uint8_t replyLength,
                   const std::uint8_t (&values)[4]);

// The library sends no bulk write and no command with payload; a driver
// parses them below, and tests build them with tests/support's
// request_builders.h.

// ---- The driver's side: parse what a library sent. ----
// Each parser returns false for an input whose length does not fit the form.

bool parse_bulk_read(const std::uint8_t* in, std::size_t inLen, std::uint32_t* length);

struct BulkWriteRequest {
    const std::uint8_t* payload;  // points into the input
    std::uint32_t length;
};
bool parse_bulk_write(const std::uint8_t* in, std::size_t inLen, BulkWriteRequest* out);

bool parse_string_request(const std::uint8_t* in, std::size_t inLen, std::uint8_t* index);

struct CommandRequest {
    std::uint8_t code;
    std::uint8_t replyLength;
    std::uint8_t values[4];
};
bool parse_command(const std::uint8_t* in, std::size_t inLen, CommandRequest* out);

struct PayloadCommandRequest {
    std::uint8_t code;
    std::uint8_t length;
    std::uint8_t values[4];
    const std::uint8_t* payload;  // points into the input
};
bool parse_command_payload(const std::uint8_t* in, std::size_t inLen, PayloadCommandRequest* out);

}  // namespace kv318
