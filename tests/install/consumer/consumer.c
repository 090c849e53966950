/* A program of a library user, built against an installed KV318: it opens
 * board 0, writes the outputs, reads them back through the inputs (the
 * simulator loops them back) and names the file the library came from, so
 * the test can check it is the installed one. */
#define _GNU_SOURCE
#include <KV318.h>

#include <dlfcn.h>
#include <stdio.h>

int main(void) {
    Dl_info where;
    if (dladdr((void*)KV318_OpenDevice, &where) == 0 || where.dli_fname == NULL) {
        fprintf(stderr, "consumer: cannot tell where KV318_OpenDevice came from\n");
        return 1;
    }
    printf("library: %s\n", where.dli_fname);

    int32_t h = KV318_OpenDevice(0);
    if (h == -1) {
        fprintf(stderr, "consumer: KV318_OpenDevice(0) failed\n");
        return 1;
    }
    const int32_t word = 0x5A3C;
    if (KV318_DO(h, word) < 0) {
        fprintf(stderr, "consumer: KV318_DO failed\n");
        return 1;
    }
    int32_t in = KV318_DI(h);
    printf("outputs 0x%X, inputs 0x%X\n", (unsigned)word, (unsigned)in);
    KV318_CloseDevice(h);
    return in == word ? 0 : 1;
}
