/* What a program written for this board does on Windows: loads KV318.dll
 * by its name alone, so Windows' own search finds it (the system folder of
 * the program's width, once the installer has run), then opens board 0,
 * reads its identity and closes it.  Prints where the DLL came from and
 * the identity; exits 0 only when every step worked.  Run by the installer
 * tests from a directory that holds no KV318.dll. */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "KV318.h"

typedef int32_t(KV318_CALL* open_fn)(int32_t);
typedef int32_t(KV318_CALL* close_fn)(int32_t);
typedef int32_t(KV318_CALL* info_fn)(int32_t, char*);

/* GetProcAddress returns a generic function pointer; going through
 * uintptr_t avoids the cast warning between unrelated function types. */
static FARPROC must_find(HMODULE dll, const char* name) {
    FARPROC f = GetProcAddress(dll, name);
    if (f == NULL) {
        fprintf(stderr, "load_by_name: KV318.dll exports no %s\n", name);
        exit(1);
    }
    return f;
}

int main(void) {
    HMODULE dll = LoadLibraryA("KV318.dll");
    if (dll == NULL) {
        fprintf(stderr, "load_by_name: LoadLibraryA(\"KV318.dll\") failed, error %lu\n", GetLastError());
        return 1;
    }
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(dll, path, sizeof path);
    printf("library: %s\n", n > 0 ? path : "?");

    open_fn open_device = (open_fn)(uintptr_t)must_find(dll, "KV318_OpenDevice");
    close_fn close_device = (close_fn)(uintptr_t)must_find(dll, "KV318_CloseDevice");
    info_fn info = (info_fn)(uintptr_t)must_find(dll, "KV318_Info");

    int32_t h = open_device(0);
    if (h == -1) {
        fprintf(stderr, "load_by_name: KV318_OpenDevice(0) failed\n");
        return 1;
    }
    /* The identity is two strings of at most a few dozen bytes each. */
    char text[512] = {0};
    int32_t got = info(h, text);
    printf("info: %d %s\n", (int)got, text);
    close_device(h);
    return got < 0 ? 1 : 0;
}
