// Board handles cross every export as 32-bit integers.  On 64-bit Windows a
// HANDLE is 64 bits wide, but the system keeps kernel handle values within
// 32 bits so that 32- and 64-bit processes can share them, and documents
// HandleToLong and LongToHandle (sign extension) as the way to narrow and
// widen them.  INVALID_HANDLE_VALUE narrows to -1 and -1 widens back to it.
// A plain cast would zero-extend on the way back and break that value.
#pragma once

#include <windows.h>

#include "device_service.h"

namespace kv318::win32 {

inline HANDLE to_os(Handle h) { return LongToHandle(h); }

inline Handle from_os(HANDLE h) { return static_cast<Handle>(HandleToLong(h)); }

}  // namespace kv318::win32
