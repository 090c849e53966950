// KV318_LastError: the calling thread's last failure in words.  The texts
// are written where each export fails (last_error.h).
#include "KV318.h"
#include "last_error.h"

extern "C" {

KV318_EXPORT int32_t KV318_CALL KV318_LastError(char* text, int32_t size) {
    // Not cleared here: asking twice gives the same text.
    return kv318::copy_last_error(text, size);
}

}  // extern "C"
