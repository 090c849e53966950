// The driver channel on Windows: a driver process (the board simulator)
// serves a board over the named pipe "\\.\pipe\KV318DeviceN" when no
// kernel driver publishes "\\.\KV318DeviceN".  Requests on a pipe handle
// speak the same frames, with the same rules, as the Linux socket channel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device_service.h"

namespace kv318::win32 {

// Opens the pipe that serves device `deviceName` ("\\.\KV318Device0" ->
// "\\.\pipe\KV318Device0"), waiting up to the channel timeout while every
// pipe instance is busy.  The pipe must be served by a process in the
// caller's logon session, so no other user can pose as a board.  Any thread.
// Returns the handle, or kInvalidHandle with the reason, a phrase naming
// the pipe, in `why` (the caller's, `whySize` bytes, always terminated).
Handle pipe_open(const char* deviceName, char* why, std::size_t whySize);

// True when `h` is a pipe that pipe_open gave and pipe_close has not closed.
bool pipe_owns(Handle h);

// One request on pipe `h`, as DeviceService::ioctl.  Requests on one handle
// are serialised; a broken frame or a reply that takes over 2 s fails the
// request and breaks the handle, so later requests fail at once.
bool pipe_ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
                std::uint32_t outCap, std::uint32_t* returned);

// Closes pipe `h`: 0, or -1 when `h` is no open pipe or the close fails.
// A request in progress on `h` in another thread is cancelled and ends
// before the pipe handle is closed, so it never reaches a handle that a
// later open is given under the same value.
std::int32_t pipe_close(Handle h);

}  // namespace kv318::win32
