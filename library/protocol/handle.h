// The board handle, the one type every floor of the library passes: the
// exports, the device service, the channel client and the platform files.
#pragma once

#include <cstdint>

namespace kv318 {

// A board handle as every export sees it: the OS handle or descriptor of an
// opened device, passed by value.  -1 (all bits set) is the failure value.
using Handle = std::int32_t;
inline constexpr Handle kInvalidHandle = -1;

}  // namespace kv318
