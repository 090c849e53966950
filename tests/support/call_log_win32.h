// For a stand-in KV318.dll that a test loads into a program under Wine:
// each call appends the export's name, one a line, to calls.log beside the
// DLL, so the test sees every library call the program makes.
#pragma once

#include <windows.h>

#include <string>

namespace kv318::test {

// Appends `name` and a newline to calls.log in the directory of the DLL
// this is compiled into.  A failure to write is ignored: the test then
// misses the line and says so.
inline void log_call(const char* name) {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&log_call), &self);
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    std::wstring log(path, n);
    log = log.substr(0, log.find_last_of(L'\\') + 1) + L"calls.log";
    // Opened and closed for each line, so that every line is on disk even
    // when the process is ended from outside.
    HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string line = std::string(name) + "\n";
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace kv318::test
