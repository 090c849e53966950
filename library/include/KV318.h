/*
 * KV318.h - the public interface of the KV318 data-acquisition library.
 *
 * Every export takes the board handle first and returns a 32-bit signed
 * integer.  Negative results are failures: -1 for a failed request or a
 * refused state, -2 and -3 where a function names them.  The library never
 * logs and keeps no per-call error state.
 *
 * Buffers passed in are owned by the caller; the library fills them during
 * the call and never keeps a pointer to them.
 *
 * On Windows every export uses the stdcall convention with an undecorated
 * name and a fixed ordinal.  The header is usable from C and C++.
 */
#ifndef KV318_H
#define KV318_H

#include <stdint.h>

#if defined(_WIN32)
#define KV318_CALL __stdcall
#else
#define KV318_CALL
#endif

#if defined(KV318_BUILDING_LIBRARY) && !defined(_WIN32)
#define KV318_EXPORT __attribute__((visibility("default")))
#else
#define KV318_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Device ---------------------------------------------------------- */

/* Opens board `board` ("\\.\KV318Device" followed by the number) for
 * reading and writing.  Returns the board handle, or -1 when no board
 * answers under that number. */
KV318_EXPORT int32_t KV318_CALL KV318_OpenDevice(int32_t board);

/* Closes a handle.  A handle of -1 does nothing and returns 0.  Returns 0,
 * or -1 when the close fails.  Closing a handle that a running stream still
 * uses is the caller's error. */
KV318_EXPORT int32_t KV318_CALL KV318_CloseDevice(int32_t handle);

/* Reads identity strings 1 and 2 and writes exactly 70 bytes to `text`:
 * string 1, three spaces, string 2, then zero bytes.  Returns 0.
 * Returns -1 without touching `text` when string 1 cannot be read or `text`
 * is NULL; returns -1 with string 1 and the three spaces written when string
 * 2 cannot be read.  `text` must hold 70 bytes. */
KV318_EXPORT int32_t KV318_CALL KV318_Info(int32_t handle, char *text);

/* Reads byte register `reg` (low 8 bits used).  Returns 0-255, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_inb(int32_t handle, int32_t reg);

/* Writes the low 8 bits of `value` to byte register `reg` (low 8 bits used).
 * Returns 0, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_outb(int32_t handle, int32_t reg, int32_t value);

/* One bulk read of (length & 0xFFFF) bytes into `buffer`, which must hold
 * (length & 0xFFFF) + 1 bytes.  Returns the byte count the driver reported,
 * or -1 when the request fails or `buffer` is NULL (then nothing is sent). */
KV318_EXPORT int32_t KV318_CALL KV318_BulkRead(int32_t handle, void *buffer, int32_t length);

/* Resets the board's USB pipe, then sleeps 1 ms.  Returns 0, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_ResetUSB(int32_t handle);

/* ---- Digital I/O, counter, pulse -------------------------------------- */

/* Reads the 16 digital inputs, bit k = DI k.  Returns 0-65535.  A failed
 * read returns 65535, which cannot be told from all inputs high. */
KV318_EXPORT int32_t KV318_CALL KV318_DI(int32_t handle);

/* Writes bits 0-15 of `value` to the digital outputs.  Returns 0, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_DO(int32_t handle, int32_t value);

/* Starts the counter from 0.  Returns 0, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_CRun(int32_t handle);

/* Reads the counter: 0-65535, or -1 while the board reports no valid count
 * (also when the state read fails).  A failed byte read counts as 0xFF. */
KV318_EXPORT int32_t KV318_CALL KV318_CRead(int32_t handle);

/* Starts the pulse generator: mode 0 or non-zero, divisor held to 2-255.
 * Returns the result of the divisor write: 0, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_PRun(int32_t handle, int32_t mode, int32_t divisor);

/* Stops the pulse generator.  Returns 0, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_PStop(int32_t handle);

#ifdef __cplusplus
}
#endif

#endif /* KV318_H */
