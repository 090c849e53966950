// The two requests the library never sends, built as a caller of the driver
// would build them, so that tests can drive the simulator's side of every
// request form.  The layouts and limits are the protocol layer's.
#pragma once

#include <cstdint>

#include "requests.h"

namespace kv318 {

// Bulk write into `area` (kBulkWriteAreaSize bytes): length low and high
// byte, two zeros, the payload from byte 4, four trailing zeros.
// Returns the input length (length + 8), kLengthTooLong above 16384,
// kLengthNegative below 0, or -1 for a NULL payload with a length.
std::int32_t build_bulk_write(std::uint8_t* area, const std::uint8_t* payload, std::int32_t length);

// Command with payload: code, payload length, four value bytes, payload
// from byte 6.  Only 80 bytes are ever sent, so a payload over 74 bytes
// would be cut short; it is refused with kLengthTooLong instead.
// Returns the input length (80), kLengthTooLong, kLengthNegative, or -1 for
// a NULL payload with a length.
std::int32_t build_command_payload(std::uint8_t (&in)[kPayloadInputSize], std::uint8_t code,
                                   const std::uint8_t (&values)[4], const std::uint8_t* payload, std::int32_t length);

}  // namespace kv318
