// A stand-in for KV318.dll that the panel and scope tests put beside
// kv318.exe or kv318-scope.exe in a directory of their own: it writes the
// name of every export called, one a line, to calls.log beside itself, so a
// test sees each library call the program makes.  It opens "a board" with
// the handle 0x7C, starts it, and hands out 100 samples of 1.5 V (code 2458)
// on each read; every other function answers 0.  Its export table comes
// from KV318.def (kv318_stand_in_exports): every export, at the real DLL's
// ordinals, each defined with the header's prototype.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "KV318.h"

namespace {

// Appends `name` and a newline to calls.log in this DLL's directory.  A
// failure to write is ignored: the test then misses the line and says so.
void log_call(const char* name) {
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

}  // namespace

#define KV318_RECORDED extern "C" std::int32_t KV318_CALL
// An export that logs its call and answers 0.
#define KV318_LOGGED(fn, ...)        \
    KV318_RECORDED fn(__VA_ARGS__) { \
        log_call(#fn);               \
        return 0;                    \
    }

KV318_RECORDED KV318_OpenDevice(std::int32_t) {
    log_call("KV318_OpenDevice");
    return 0x7C;
}
KV318_RECORDED KV318_Read(std::int32_t, std::int32_t* samples) {
    // Not logged: the scope reads every 20 ms, and the test looks for the
    // start and the stop around them.
    for (int i = 0; i < 100; ++i) samples[i] = 2458 * 4;
    return 100;
}
KV318_RECORDED KV318_StreamStats(std::int32_t, KV318_STREAM_STATS* stats) {
    // Not logged: the scope asks once a second.  A board that never paused:
    // every count 0, so no FIFO warning.
    if (stats == nullptr || stats->size < 16) return -1;
    const std::uint32_t size = stats->size < sizeof *stats ? stats->size : sizeof *stats;
    std::memset(reinterpret_cast<char*>(stats) + 4, 0, size - 4);
    stats->mode = KV318_STATS_STREAM;
    return 0;
}

KV318_LOGGED(KV318_CloseDevice, std::int32_t)
KV318_LOGGED(KV318_Info, std::int32_t, char*)
KV318_LOGGED(KV318_inb, std::int32_t, std::int32_t)
KV318_LOGGED(KV318_outb, std::int32_t, std::int32_t, std::int32_t)
KV318_LOGGED(KV318_BulkRead, std::int32_t, void*, std::int32_t)
KV318_LOGGED(KV318_ResetUSB, std::int32_t)
KV318_LOGGED(KV318_AD, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t)
KV318_LOGGED(KV318_StopAD, std::int32_t)
KV318_LOGGED(KV318_M_AD, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t)
KV318_LOGGED(KV318_M_Read, std::int32_t, std::int32_t*, std::int32_t*, std::int32_t)
KV318_LOGGED(KV318_M_StopAD, std::int32_t)
KV318_LOGGED(KV318_DI, std::int32_t)
KV318_LOGGED(KV318_DO, std::int32_t, std::int32_t)
KV318_LOGGED(KV318_CRun, std::int32_t)
KV318_LOGGED(KV318_CRead, std::int32_t)
KV318_LOGGED(KV318_PRun, std::int32_t, std::int32_t, std::int32_t)
KV318_LOGGED(KV318_PStop, std::int32_t)
KV318_LOGGED(KV318_OpenServed, const char*, std::int32_t, const char*)
KV318_LOGGED(KV318_ServedStatus, std::int32_t, KV318_SERVED_STATUS*)
KV318_LOGGED(KV318_Follow, std::int32_t)
KV318_LOGGED(KV318_ServedBoard, std::int32_t, std::int32_t, std::int32_t)
// No failure to tell: the stand-in's calls all succeed.
KV318_RECORDED KV318_LastError(char* text, std::int32_t size) {
    log_call("KV318_LastError");
    if (text == nullptr || size < 1) return -1;
    text[0] = '\0';
    return 0;
}
