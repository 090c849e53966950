// The numbers the Win32 window gives its controls and timers.  Tests that
// drive the running panel from outside find each control by its number.
#pragma once

#include "controls.h"

namespace kv318::win32 {

// Control ids start well above IDOK and IDCANCEL (1 and 2), which the
// dialog manager sends for Enter and Escape: those must never click a
// button.
inline constexpr int kFirstControlId = 1000;

constexpr int control_id(panel::Control c) { return kFirstControlId + static_cast<int>(c); }

// SetTimer ids of the two interval timers.
inline constexpr unsigned kTimer1Id = 1;
inline constexpr unsigned kTimer2Id = 2;

// The window class of Form1.
inline constexpr const wchar_t* kForm1Class = L"KV318Form1";

}  // namespace kv318::win32
