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
 * or -1 when the close fails.  Closing a handle that a running stream still
 * uses is the caller's error.  The close gives back the board lock (see
 * KV318_AD) of every acquisition started on this handle. */
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
/* One stream per loaded library.  Between KV318_AD and KV318_StopAD a timer
 * inside the library drains the board's FIFO every 10 ms into a 2 MiB ring;
 * KV318_Read hands the ring's bytes over as samples.  A sample is two FIFO
 * bytes, low byte first, as a signed 16-bit value sign-extended to 32 bits;
 * samples are aligned to the start of the stream.
 *
 * A board that fails or stalls never holds the timer, nor a KV318_Read
 * waiting for it.  A tick whose status read fails drains nothing.  A tick
 * whose bulk reads come back empty 16 times in a row (a board that reports
 * a FIFO fill but stopped delivering) ends with what it drained; the bytes
 * stay on the board and the next tick asks for them again. */

/* Starts a stream on `handle`: stops conversion, resets the USB pipe, writes
 * the mode byte (bit 0 of flag1 to bit 0, flag3 to bit 1, flag2 to bit 2,
 * flag4 to bit 3; note the middle two cross) and the divider (its low 12
 * bits, at least 2), starts the 10 ms timer and starts conversion.
 * Returns 0, or -1 when a board request fails or the timer cannot start (the
 * board is then configured but not started).
 * While a stream is running it is refused: -1, and nothing is sent to the
 * board.  Call KV318_StopAD first, also to start on another board.
 *
 * One acquisition per board across processes: the start takes the board's
 * lock, the file KV318Device<N>.lock (in the driver directory on Linux, in
 * the temporary directory on Windows), held with an OS lock that the
 * system drops when the process ends, and holding this process's id as
 * decimal text and "\n".  While another process holds it (it streams or
 * polls the board), or when the lock file cannot be used, the start returns
 * -1 and sends nothing to the board.  KV318_StopAD, KV318_CloseDevice of
 * this handle, or the end of the process give the lock back.  Only handles
 * from KV318_OpenDevice have a known board; a handle the library did not
 * open starts without the lock.  Register access, bulk reads, DI, DO, the
 * counter and the pulse generator take no lock. */
KV318_EXPORT int32_t KV318_CALL KV318_AD(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3,
                                         int32_t flag4, int32_t divider);

/* Moves the buffered samples into `samples`, which must hold 524,288
 * elements.  Returns the count, 50 to 524,288; 0 while fewer than 100 bytes
 * are buffered.  An odd byte stays buffered for the next call.  Failures:
 * -1 when the board reports acquisition not enabled or its status read fails
 * (the buffer is kept either way) or `samples` is NULL (nothing is read); -2 when the ring overflowed, until
 * the stream is stopped and started again; -3 when a bulk read of the timer
 * failed, until KV318_StopAD.  `handle` is used for the status read. */
KV318_EXPORT int32_t KV318_CALL KV318_Read(int32_t handle, int32_t *samples);

/* Ends the stream: waits for a drain in progress, stops the timer (no drain
 * runs after it returns), clears a bulk-read fault, stops conversion on
 * `handle` and gives back the stream's board lock.  Conversion is not
 * stopped when another process holds the lock of `handle`'s board and this
 * process does not: that acquisition is not this process's to end.  Always
 * returns 0, also when no stream runs. */
KV318_EXPORT int32_t KV318_CALL KV318_StopAD(int32_t handle);

/* ---- Polled analog input ---------------------------------------------- */
/* No timer: each KV318_M_Read drains the FIFO on the caller's thread.  Not to
 * be mixed with a running stream, and only one thread may poll at a time. */

/* Configures and starts conversion as KV318_AD does, without the timer.
 * Returns 0, or -1 when a board request fails, or while a stream is running
 * (then nothing is sent).  Takes the board's lock as KV318_AD does: -1 and
 * nothing sent while another process streams or polls the board; held
 * until KV318_M_StopAD or KV318_CloseDevice of this handle, or the end of
 * the process. */
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
 * stream is running; the carry is unchanged on every -1.  When the board
 * answers 16 bulk reads in a row with 0 bytes (it reports a FIFO fill but
 * stopped delivering), the call stops early and returns the samples it
 * drained, possibly 0, with the carry set as usual: nothing taken from the
 * board is lost.  `reserved` is ignored. */
KV318_EXPORT int32_t KV318_CALL KV318_M_Read(int32_t handle, int32_t *samples, int32_t *carry, int32_t reserved);

/* Stops conversion and gives back the board lock of the polled run on
 * `handle`.  Conversion is not stopped when another process holds the lock
 * of `handle`'s board and this process does not.  Always returns 0. */
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
