// A stand-in for KV318.dll that kv318-scope.exe loads from its own
// directory: it writes the name of every export called, one a line, to
// calls.log beside itself, so a test sees each library call the scope
// makes.  It opens "a board" with the handle 0x7C, starts it, and hands
// out 100 samples of 1.5 V (code 2458) on each read.
#include <cstdint>
#include <cstring>

#include "KV318.h"
#include "call_log_win32.h"

using kv318::test::log_call;

#define KV318_RECORDED extern "C" __declspec(dllexport) std::int32_t __stdcall

KV318_RECORDED KV318_OpenDevice(std::int32_t) {
    log_call("KV318_OpenDevice");
    return 0x7C;
}
KV318_RECORDED KV318_CloseDevice(std::int32_t) {
    log_call("KV318_CloseDevice");
    return 0;
}
KV318_RECORDED KV318_Info(std::int32_t, char*) {
    log_call("KV318_Info");
    return 0;
}
KV318_RECORDED KV318_inb(std::int32_t, std::int32_t) {
    log_call("KV318_inb");
    return 0;
}
KV318_RECORDED KV318_outb(std::int32_t, std::int32_t, std::int32_t) {
    log_call("KV318_outb");
    return 0;
}
KV318_RECORDED KV318_AD(std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
    log_call("KV318_AD");
    return 0;
}
KV318_RECORDED KV318_Read(std::int32_t, std::int32_t* samples) {
    // Not logged: the scope reads every 20 ms, and the test looks for the
    // start and the stop around them.
    for (int i = 0; i < 100; ++i) samples[i] = 2458 * 4;
    return 100;
}
KV318_RECORDED KV318_StopAD(std::int32_t) {
    log_call("KV318_StopAD");
    return 0;
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
KV318_RECORDED KV318_M_AD(std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
    log_call("KV318_M_AD");
    return 0;
}
KV318_RECORDED KV318_M_Read(std::int32_t, std::int32_t*, std::int32_t*, std::int32_t) {
    log_call("KV318_M_Read");
    return 0;
}
KV318_RECORDED KV318_M_StopAD(std::int32_t) {
    log_call("KV318_M_StopAD");
    return 0;
}
KV318_RECORDED KV318_DI(std::int32_t) {
    log_call("KV318_DI");
    return 0;
}
KV318_RECORDED KV318_DO(std::int32_t, std::int32_t) {
    log_call("KV318_DO");
    return 0;
}
KV318_RECORDED KV318_CRun(std::int32_t) {
    log_call("KV318_CRun");
    return 0;
}
KV318_RECORDED KV318_CRead(std::int32_t) {
    log_call("KV318_CRead");
    return 0;
}
KV318_RECORDED KV318_PRun(std::int32_t, std::int32_t, std::int32_t) {
    log_call("KV318_PRun");
    return 0;
}
KV318_RECORDED KV318_PStop(std::int32_t) {
    log_call("KV318_PStop");
    return 0;
}
