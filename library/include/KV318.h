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
 *
 * The board handle is a 32-bit integer on every platform.  On 64-bit
 * Windows it is the OS handle narrowed with HandleToLong; the library widens
 * it again with LongToHandle (sign extension).  Windows keeps kernel handle
 * values within 32 bits so that 32- and 64-bit processes can share them, so
 * nothing is lost, and INVALID_HANDLE_VALUE is -1 both ways.  A caller that
 * needs the OS handle itself uses LongToHandle too, never a plain cast.
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
 * or -1 when the close fails.  An acquisition started on this handle (a
 * stream or a polled run) ends first, as KV318_StopAD or KV318_M_StopAD
 * would end it.
 * Where boards are reached through a driver process (the socket on Linux,
 * the named-pipe fallback on Windows) the library closes only handles it
 * opened and has not closed yet: any other value returns -1 and nothing is
 * closed, so a stale second close or a stray number never closes a file of
 * the program's own.  (A handle of the Windows kernel driver is closed with
 * CloseHandle as given.)  A request in progress on the handle in another
 * thread fails, and has ended before the handle is really closed, so it can
 * never reach a board opened later under the same value. */
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

/* ---- Streaming analog input ------------------------------------------- */
/* One acquisition per loaded library, a stream or a polled run: of two
 * starts at the same moment, on any threads, exactly one succeeds and the
 * other returns -1 without a board request.
 * One stream per loaded library.  Between KV318_AD and KV318_StopAD a timer
 * inside the library drains the board's FIFO every 10 ms into a 2 MiB ring;
 * KV318_Read hands the ring's bytes over as samples.  A sample is two FIFO
 * bytes, low byte first, as a signed 16-bit value sign-extended to 32 bits;
 * samples are aligned to the start of the stream.
 *
 * A board that fails or stalls never holds the timer, nor a KV318_Read
 * waiting for it.  A tick whose status read or bulk read fails records a
 * transfer fault (KV318_Read returns -3 until KV318_StopAD), so a driver
 * that exits or is killed is never taken for a quiet board.  A tick asks
 * for no further bulk reply once 10 ms (its period) have passed since it
 * began, so it lasts at most one reply longer than that; and a tick whose
 * bulk reads come back empty 16 times in a row (a board that reports a FIFO
 * fill but stopped delivering) ends too.  Either way the tick keeps what it
 * drained; the rest stays on the board and the next tick asks for it. */

/* Starts a stream on `handle`: stops conversion, resets the USB pipe, writes
 * the mode byte (bit 0 of flag1 to bit 0, flag3 to bit 1, flag2 to bit 2,
 * flag4 to bit 3; note the middle two cross) and the divider (its low 12
 * bits, at least 2), starts the 10 ms timer and starts conversion.
 * Returns 0, or -1 when a board request fails or the timer cannot start (the
 * board is then configured but not started).
 * While a stream or a polled run is running, or another thread is starting
 * or stopping one, it is refused: -1, and nothing is sent to the board.
 * The test and the claim are one atomic step.  Call KV318_StopAD first,
 * also to start on another board. */
KV318_EXPORT int32_t KV318_CALL KV318_AD(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3,
                                         int32_t flag4, int32_t divider);

/* Moves the buffered samples into `samples`, which must hold 524,288
 * elements.  Returns the count, 50 to 524,288; 0 while fewer than 100 bytes
 * are buffered.  An odd byte stays buffered for the next call.  Failures:
 * -1 when the board reports acquisition not enabled (the buffer is kept) or
 * `samples` is NULL (nothing is read); -2 when the ring overflowed, until
 * the stream is stopped and started again; -3 after a transfer fault, until
 * KV318_StopAD, also while fewer than 100 bytes are buffered: a status read
 * or bulk read of the timer failed, or this call's own status read failed
 * (the buffer is kept).  `handle` is used for the status read.  It waits
 * for a drain in progress, which the bound above keeps to about 10 ms. */
KV318_EXPORT int32_t KV318_CALL KV318_Read(int32_t handle, int32_t *samples);

/* Ends the stream: waits for a drain in progress, stops the timer (no drain
 * runs after it returns), clears a transfer fault and stops conversion on
 * `handle`.  Waits for a start or stop in progress on another thread.
 * Always returns 0, also when no stream runs; a polled run it leaves
 * running (only conversion stops). */
KV318_EXPORT int32_t KV318_CALL KV318_StopAD(int32_t handle);

/* ---- Polled analog input ---------------------------------------------- */
/* No timer: each KV318_M_Read drains the FIFO on the caller's thread.  Not to
 * be mixed with a running stream, and only one thread may poll at a time.
 * A run lasts from KV318_M_AD to KV318_M_StopAD (or the close of its
 * handle). */

/* Configures and starts conversion as KV318_AD does, without the timer.
 * Returns 0, or -1 when a board request fails, or while a stream or another
 * polled run is running or another thread starts or stops one (then nothing
 * is sent): the test and the claim are one atomic step. */
KV318_EXPORT int32_t KV318_CALL KV318_M_AD(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3,
                                           int32_t flag4, int32_t divider);

/* Drains at least the FIFO level the board reports and converts the bytes
 * into `samples`, which must hold 139,264 elements (the most one call can
 * return).  `*carry` links the calls: set it to 0 before the first read of a
 * run; bit 16 set means bits 0-7 hold a byte left over, which leads this
 * call's bytes.  On return it holds 0x10000 | the unpaired last byte, or 0.
 * Returns the sample count, 0 when the FIFO is empty (carry unchanged), or
 * -1 when acquisition is not enabled, a status read fails, a bulk read fails
 * (the bytes of this call are dropped), `samples` or `carry` is NULL, or a
 * stream is running; the carry is unchanged on every -1.  The call asks
 * for no further bulk reply once 1 second has passed since it began, so it
 * returns within about a second plus one reply however slowly the board
 * trickles; and when the board answers 16 bulk reads in a row with 0 bytes
 * (it reports a FIFO fill but stopped delivering) it stops early too.
 * Either way it returns the samples it drained, possibly 0, with the carry
 * set as usual: nothing taken from the board is lost.  `reserved` is
 * ignored. */
KV318_EXPORT int32_t KV318_CALL KV318_M_Read(int32_t handle, int32_t *samples, int32_t *carry, int32_t reserved);

/* Stops conversion and ends the polled run, so a new start may follow.
 * Always returns 0.  A running stream it does not end. */
KV318_EXPORT int32_t KV318_CALL KV318_M_StopAD(int32_t handle);

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
