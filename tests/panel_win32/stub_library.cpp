// A stand-in for KV318.dll that exports KV318_OpenDevice and nothing else.
// It answers with the handle 0x7C, so the panel opens "a board" and must
// then report the first other function it needs as missing, by name.
// Its one export comes from KV318.def (kv318_stand_in_exports).
#include <cstdint>

#include "KV318.h"

extern "C" std::int32_t KV318_CALL KV318_OpenDevice(std::int32_t) { return 0x7C; }
