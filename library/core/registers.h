// Register primitives over the board's register map.  Each primitive issues
// its requests on the calling thread through the device service and maps
// every failure to -1.
#pragma once

#include <cstdint>

#include "device_service.h"
#include "register_map.h"

namespace kv318 {

// Issues command `code` with the four value bytes and copies the driver's
// reply (as many bytes as it reported, at most 64) into `reply`, which must
// hold 64 bytes.  Returns 0, or -1 when the request fails.
std::int32_t ControlRequest(Handle h, std::uint8_t code, const std::uint8_t (&values)[4], std::uint8_t* reply,
                            std::uint8_t replyLength);

// Reads identity string `index` into `text` (80 bytes): the low byte of each
// 16-bit unit of the reply, up to the first zero unit or the last reported
// unit, then a terminating zero.  Returns 0, or -1 when the request fails
// (then `text` is not touched).
inline constexpr std::size_t kStringTextSize = 80;
std::int32_t GetStringDescriptor(Handle h, char* text, std::uint8_t index);

std::int32_t RegRead8(Handle h, std::uint8_t reg);                         // 0-255, or -1
std::int32_t RegRead16(Handle h, std::uint8_t reg);                        // 0-65535, or -1
std::int32_t RegWrite8(Handle h, std::uint8_t reg, std::uint8_t value);    // 0, or -1
std::int32_t RegWrite16(Handle h, std::uint8_t reg, std::uint16_t value);  // 0, or -1

// The name of register `reg` as command `code` uses it ("status",
// "digital outputs"), or nullptr for a register the library does not name.
// Reads and writes of one address may mean different registers.
const char* register_name(std::uint8_t code, std::uint8_t reg);

// Every primitive below notes a failed request on the calling thread
// (note_failed_request, last_error.h), so the export that fails can say
// which request it was and why.

// Resets the USB pipe, then always sleeps 1 ms.  Returns 0, or -1.
std::int32_t ResetUsb(Handle h);

// One bulk read of (length & 0xFFFF) bytes straight into `buffer`, which
// must hold (length & 0xFFFF) + 1 bytes: the driver may use the extra byte.
// Returns the reported byte count, or -1 when the request fails.
std::int32_t BulkIn(Handle h, std::uint8_t* buffer, std::int32_t length);

}  // namespace kv318
