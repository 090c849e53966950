// Text between the programs' cores (UTF-8) and the wide Win32 APIs (UTF-16),
// for the panel's and the scope's windows.
#pragma once

#include <string>
#include <string_view>

namespace kv318::win32 {

// UTF-8 to UTF-16.  Invalid sequences become U+FFFD, so a bad byte never
// loses the rest of the text.
std::wstring widen(std::string_view utf8);

// UTF-16 to UTF-8.  Unpaired surrogates become U+FFFD.
std::string narrow(std::wstring_view utf16);

// The system's text for error `code` (GetLastError), in UTF-8, without the
// trailing line break, followed by the code itself: "... (error 126)".
std::string system_error_text(unsigned long code);

// The application's name: the program's own file name without its folder
// and extension ("kv318" for kv318.exe).  The windows' message boxes carry
// it as their title, as the Qt windows' do.
std::wstring application_name();

}  // namespace kv318::win32
