#include "board_api.h"

namespace kv318::cli {

const BoardApi& library_api() {
    static const BoardApi api{
        KV318_OpenDevice, KV318_CloseDevice, KV318_Info,  KV318_inb, KV318_outb,    KV318_AD,
        KV318_Read,       KV318_StopAD,      KV318_M_AD,  KV318_M_Read, KV318_M_StopAD, KV318_DI,
        KV318_DO,         KV318_CRun,        KV318_CRead, KV318_PRun,   KV318_PStop,
    };
    return api;
}

}  // namespace kv318::cli
