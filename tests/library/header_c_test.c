/* The public header compiles as C and declares every export with the
 * library's calling convention; the linker checks the names exist. */
#include "KV318.h"

#include <stdio.h>

/* The sizes are integer constant expressions a C caller can size arrays
 * with, and the version is there for #if. */
typedef int32_t stream_samples[KV318_READ_MAX_SAMPLES];
typedef int32_t polled_samples[KV318_M_READ_MAX_SAMPLES];
typedef char identity_text[KV318_INFO_BYTES];
#if !defined(KV318_VERSION_MAJOR) || !defined(KV318_VERSION_MINOR) || !defined(KV318_VERSION_PATCH) || \
    KV318_VERSION_MAJOR < 1
#error "KV318.h states no version"
#endif

int main(void) {
    int32_t(KV318_CALL * open_device)(int32_t) = KV318_OpenDevice;
    int32_t(KV318_CALL * info)(int32_t, char*) = KV318_Info;
    int32_t(KV318_CALL * bulk)(int32_t, void*, int32_t) = KV318_BulkRead;
    int32_t(KV318_CALL * pulse)(int32_t, int32_t, int32_t) = KV318_PRun;
    int32_t(KV318_CALL * last_error)(char*, int32_t) = KV318_LastError;
    char text[64];
    /* A closed board number far out of range: no board answers. */
    if (KV318_CloseDevice(-1) != 0) return 1;
    if (open_device == 0 || info == 0 || bulk == 0 || pulse == 0 || last_error == 0) return 1;
    /* A call that succeeded leaves no failure text, and a NULL buffer is refused. */
    if (last_error(text, (int32_t)sizeof text) != 0 || text[0] != '\0' || last_error(0, 10) != -1) return 1;
    puts("1 passed, 0 failed");
    return 0;
}
