// A stand-in for KV318.dll that exports KV318_OpenDevice and nothing else.
// It answers with the handle 0x7C, so the panel opens "a board" and must
// then report the first other function it needs as missing, by name.
#include <cstdint>

extern "C" __declspec(dllexport) std::int32_t __stdcall KV318_OpenDevice(std::int32_t) { return 0x7C; }
