// KV318.dll's load and unload entry.  Loading needs nothing.  Unloading with
// FreeLibrary while a stream runs must stop the multimedia timer first, or
// its next tick would call into code that is no longer mapped.
#include <windows.h>

#include "acquisition.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason != DLL_PROCESS_DETACH) return TRUE;
    if (reserved == nullptr) {
        // FreeLibrary: the timer thread still runs.  End the drain, cancel the
        // timer and wait until its procedure has returned.  The procedure
        // needs no loader lock, so waiting here cannot deadlock.
        kv318::EndStreamForUnload();
    }
    // Process exit (reserved != NULL): the system has already ended every
    // other thread, possibly in the middle of a tick, so there is nothing to
    // wait for and waiting could hang.  Leave everything as it is.
    return TRUE;
}
