// A stand-in for KV318.dll that writes the name of every export called, one
// a line, to calls.log beside itself, so a test that starts kv318.exe in a
// directory of its own sees each library call the panel makes.  It opens
// "a board" with the handle 0x7C; every other function answers 0.
#include <cstdint>

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
KV318_RECORDED KV318_AD(std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
    log_call("KV318_AD");
    return 0;
}
KV318_RECORDED KV318_Read(std::int32_t, std::int32_t*) {
    log_call("KV318_Read");
    return 0;
}
KV318_RECORDED KV318_StopAD(std::int32_t) {
    log_call("KV318_StopAD");
    return 0;
}
KV318_RECORDED KV318_DO(std::int32_t, std::int32_t) {
    log_call("KV318_DO");
    return 0;
}
KV318_RECORDED KV318_DI(std::int32_t) {
    log_call("KV318_DI");
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
