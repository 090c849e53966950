/* The C quick start: open a board, stream N samples, print them as volts,
 * stop.  Every failure value the library can return is handled and named.
 *
 *   stream_volts [BOARD [COUNT [DIVIDER]]]      defaults: 0 1000 50
 *
 * One line per sample on stdout: its index, the sample, its converter code
 * and its volts.  Exit status 0 on success, 1 when the board fails (the
 * library's own words for the failure, from KV318_LastError, go to
 * stderr), 2 on a bad argument.  On Linux, kv318-sim stands in for a board (its driver
 * directory is found as the library finds it, KV318_DRIVER_DIR first). */
#include <KV318.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#if defined(_WIN32)
#include <windows.h>
static void sleep_ms(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void sleep_ms(unsigned ms) {
    struct timespec t;
    t.tv_sec = (time_t)(ms / 1000u);
    t.tv_nsec = (long)(ms % 1000u) * 1000000L;
    nanosleep(&t, NULL);
}
#endif

/* KV318_Read writes up to KV318_READ_MAX_SAMPLES elements: the array must be
 * that big whatever COUNT is.  Static, as it is 2 MiB. */
static int32_t samples[KV318_READ_MAX_SAMPLES];

/* How long to wait for samples that do not come before giving up.  The
 * library buffers every 10 ms, so a running board delivers well within it. */
#define WAIT_LIMIT_MS 5000u
#define POLL_MS 10u

static int parse(const char* text, long lo, long hi, long* out) {
    char* end;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < lo || v > hi) return 0;
    *out = v;
    return 1;
}

/* Prints the library's own words for the failure of the call just made on
 * this thread, after `what`.  Asked at once: the next call of an export
 * (KV318_StopAD, KV318_CloseDevice) empties the text. */
static void print_failure(long board, const char* what) {
    char text[512];
    int32_t n = KV318_LastError(text, (int32_t)sizeof text);
    if (n <= 0) {
        fprintf(stderr, "board %ld: %s\n", board, what);
    } else {
        /* A text longer than the buffer arrives cut, and still terminated. */
        fprintf(stderr, "board %ld: %s: %s%s\n", board, what, text, n >= (int32_t)sizeof text ? "..." : "");
    }
}

int main(int argc, char** argv) {
    long board = 0, count = 1000, divider = 50;
    if (argc > 4 || (argc > 1 && !parse(argv[1], 0, 9999, &board)) ||
        (argc > 2 && !parse(argv[2], 1, 100000000L, &count)) ||
        (argc > 3 && !parse(argv[3], KV318_DIVIDER_MIN, KV318_DIVIDER_MAX, &divider))) {
        /* Dividers outside the header's range are masked to 12 bits by the
         * library: refuse them rather than run at a rate nobody asked for. */
        fprintf(stderr, "usage: %s [BOARD 0-9999 [COUNT 1-100000000 [DIVIDER %d-%d]]]\n", argv[0], KV318_DIVIDER_MIN,
                KV318_DIVIDER_MAX);
        return 2;
    }

    int32_t h = KV318_OpenDevice((int32_t)board);
    if (h == -1) {
        print_failure(board, "no board answers (KV318_OpenDevice returned -1)");
        return 1;
    }

    /* All four mode flags 0, as the test panel runs the board. */
    if (KV318_AD(h, 0, 0, 0, 0, (int32_t)divider) != 0) {
        print_failure(board, "the stream did not start (KV318_AD returned -1)");
        KV318_CloseDevice(h);
        return 1;
    }

    int status = 0;
    long printed = 0;
    unsigned waited = 0;
    while (printed < count) {
        int32_t n = KV318_Read(h, samples);
        if (n < 0) {
            /* -1 acquisition not enabled, -2 the ring overflowed, -3 a
             * transfer fault: the text says which, and why. */
            char what[64];
            snprintf(what, sizeof what, "KV318_Read returned %d", (int)n);
            print_failure(board, what);
            status = 1;
            break;
        }
        if (n == 0) {
            /* Fewer than 100 bytes buffered yet. */
            if (waited >= WAIT_LIMIT_MS) {
                fprintf(stderr, "board %ld: no samples for %u ms\n", board, WAIT_LIMIT_MS);
                status = 1;
                break;
            }
            sleep_ms(POLL_MS);
            waited += POLL_MS;
            continue;
        }
        waited = 0;
        for (int32_t i = 0; i < n && printed < count; ++i, ++printed) {
            /* The header's rule: code = sample / 4 rounded half to even (the
             * default rounding of nearbyint), volts = code x 5 / 8192. */
            double code = nearbyint(samples[i] / 4.0);
            double volts = code * 5.0 / 8192.0;
            printf("%ld %d %.0f %.6f\n", printed, (int)samples[i], code, volts);
        }
    }

    /* Always stop, also after a failure: the library's timer would run on. */
    KV318_StopAD(h);
    if (KV318_CloseDevice(h) != 0) {
        print_failure(board, "KV318_CloseDevice failed");
        status = 1;
    }
    return status;
}
