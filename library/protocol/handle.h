// The board handle, the one type every floor of the library passes: the
// exports, the device service, the channel client and the platform files.
#pragma once

#include <cstdint>

namespace kv318 {

// A board handle as every export sees it: the OS handle or descriptor of an
// opened device, passed by value.  -1 (all bits set) is the failure value.
using Handle = std::int32_t;
inline constexpr Handle kInvalidHandle = -1;

// What a failed request on a handle came to, as the floor that made it
// knows it (the channel client, the kernel driver's service); the library
// puts it into the words KV318_LastError hands out.
enum class RequestFault : std::uint8_t {
    Refused,       // the driver answered with a failure, or nothing more is known
    NotOpen,       // the handle is none the service holds: never opened, or closed
    Disconnected,  // the board went away: its driver closed the connection or stopped answering
    OutOfStep,     // the driver's reply broke the channel's frame; the handle is unusable
    Inherited,     // the handle belongs to the process this one was forked from
};

}  // namespace kv318
