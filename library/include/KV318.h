/**
 * @file KV318.h
 * @brief The public interface of the KV318 data-acquisition library.
 *
 * Every export takes the board handle first and returns a 32-bit signed
 * integer.  Negative results are failures: -1 for a failed request or a
 * refused state, -2 and -3 where a function names them.  The library never
 * logs; what failed, and why, each thread can ask in words with
 * KV318_LastError (see "The last failure in words" at the end).
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
 *
 * @par Samples, converter codes and volts
 * A sample is a signed 16-bit word whose top 14 bits carry the converter's
 * code.  code = sample / 4, rounded to the nearest integer with halves going
 * to the even neighbour (so the two low bits never bias a long average);
 * volts = code x 5 / 8192.  8192 codes are 5 V, so samples span about
 * +-5 V: sample -32768 is code -8192 (-5 V), samples 32766 and 32767 round to
 * code 8192 (+5 V).  In C:
 * @code
 * double code = nearbyint(sample / 4.0);   // default rounding: half to even
 * double volts = code * 5.0 / 8192.0;
 * @endcode
 *
 * @par Sample rate and divider
 * The board converts at its converter clock divided by the divider given to
 * KV318_AD or KV318_M_AD, one sample per period.  The clock belongs to the
 * board: the library cannot read it, so a program that needs the rate must
 * know the clock of its board.  Only the divider's low 12 bits reach the
 * board, and a result below 2 is written as 2: 50 stays 50, 5000 becomes 904,
 * and 0, 1, 4096 and 4097 all become 2 (full speed).  Keep dividers within
 * KV318_DIVIDER_MIN-KV318_DIVIDER_MAX (2-4095) to get the rate you asked for.
 *
 * @par Mode flags
 * KV318_AD and KV318_M_AD take four mode flags.  The library uses bit 0 of
 * each and packs them into the board's mode byte (flag1 to bit 0, flag3 to
 * bit 1, flag2 to bit 2, flag4 to bit 3); nothing else.  What each bit
 * selects inside the board is the board's affair and is not known to the
 * library; the test panel passes 0 for all four, and the simulator stores
 * the byte and reads it back without changing its samples.
 */
#ifndef KV318_H
#define KV318_H

#include <stdint.h>

/** @name Version of this interface
 * The project's version: programs built against major version N load any
 * library of version N.x.
 * @{ */
#define KV318_VERSION_MAJOR 1 /**< Changes when an export changes incompatibly. */
#define KV318_VERSION_MINOR 3 /**< Changes when something is added. */
#define KV318_VERSION_PATCH 0 /**< Changes with fixes only. */
/** @} */

/** @name Sizes of the caller's arrays
 * Each export that fills a caller's array writes at most this many
 * elements; an array of this size is always big enough.
 * @{ */
/** Samples one KV318_Read can return (1 MiB of buffered bytes). */
#define KV318_READ_MAX_SAMPLES 524288
/** Samples one KV318_M_Read can return (the board's largest FIFO level plus
 * one bulk read of 16,384 bytes, in pairs). */
#define KV318_M_READ_MAX_SAMPLES 139264
/** Bytes KV318_Info writes, terminating zero bytes included. */
#define KV318_INFO_BYTES 70
/** @} */

/** @name Divider range
 * The dividers KV318_AD and KV318_M_AD pass to the board unchanged (see
 * "Sample rate and divider" above for what happens to others): the board's
 * divider register is 12 bits wide and runs from 2.
 * @{ */
#define KV318_DIVIDER_MIN 2    /**< The smallest divider: full speed. */
#define KV318_DIVIDER_MAX 4095 /**< The largest divider: the register's 12 bits. */
/** @} */

/** @def KV318_CALL
 * The calling convention of every export: stdcall on Windows, the
 * platform's default elsewhere. */
#if defined(_WIN32)
#define KV318_CALL __stdcall
#else
#define KV318_CALL
#endif

/** @def KV318_EXPORT
 * Marks the exports while the library itself is built; empty for callers. */
#if defined(KV318_BUILDING_LIBRARY) && !defined(_WIN32)
#define KV318_EXPORT __attribute__((visibility("default")))
#else
#define KV318_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Device ---------------------------------------------------------- */

/** Opens board `board` ("\\.\KV318Device" followed by the number) for
 * reading and writing.  Returns the board handle, or -1 when no board
 * answers under that number.
 * @param board  the board's number, 0 for the first.
 * @return the board handle (pass it to every other export), or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_OpenDevice(int32_t board);

/** Closes a handle.  A handle of -1 does nothing and returns 0.  Returns 0,
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
 * never reach a board opened later under the same value.  The close gives
 * back the board lock (see KV318_AD) of every acquisition started on this
 * handle.
 * @param handle  a handle from KV318_OpenDevice, or -1.
 * @return 0, or -1 when the handle is not one the library holds (channel
 *         paths) or the system refuses the close. */
KV318_EXPORT int32_t KV318_CALL KV318_CloseDevice(int32_t handle);

/** Reads identity strings 1 and 2 and writes exactly 70 bytes to `text`:
 * string 1, three spaces, string 2, then zero bytes.  Returns 0.
 * Returns -1 without touching `text` when string 1 cannot be read or `text`
 * is NULL; returns -1 with string 1 and the three spaces written when string
 * 2 cannot be read.  `text` must hold 70 bytes.
 * @param handle  the board handle.
 * @param text    caller-owned, at least KV318_INFO_BYTES bytes.
 * @return 0, or -1 as above. */
KV318_EXPORT int32_t KV318_CALL KV318_Info(int32_t handle, char* text);

/* Raw access (KV318_inb, KV318_outb, KV318_BulkRead, KV318_ResetUSB) goes
 * straight to the board, past the acquisition's rules: a read of register
 * 4 stops conversion, a bulk read takes samples from the FIFO, a reset
 * drops them.  So while another process holds the board's acquisition lock
 * (it streams or polls the board, directly or as kv318-server; see
 * KV318_AD), these four return -1 at once and send nothing to the board,
 * as a start does then.  In the holding process they work as always, and
 * so they do for a handle the library did not open (its board is unknown).
 * Another process may still read the inputs (KV318_DI), set the outputs
 * (KV318_DO), and run and read the counter (KV318_CRun, KV318_CRead) and
 * the pulse generator (KV318_PRun, KV318_PStop): those never touch the
 * conversion or the FIFO. */

/** Reads byte register `reg` (low 8 bits used).  Returns 0-255, or -1.
 * @param handle  the board handle.
 * @param reg     the register number, 0-255.
 * @return the register's value 0-255, or -1 when the request fails or
 *         another process holds the board (then nothing is sent). */
KV318_EXPORT int32_t KV318_CALL KV318_inb(int32_t handle, int32_t reg);

/** Writes the low 8 bits of `value` to byte register `reg` (low 8 bits used).
 * Returns 0, or -1.
 * @param handle  the board handle.
 * @param reg     the register number, 0-255.
 * @param value   the byte to write (low 8 bits).
 * @return 0, or -1 when the request fails or another process holds the
 *         board (then nothing is sent). */
KV318_EXPORT int32_t KV318_CALL KV318_outb(int32_t handle, int32_t reg, int32_t value);

/** One bulk read of (length & 0xFFFF) bytes into `buffer`, which must hold
 * (length & 0xFFFF) + 1 bytes.  Returns the byte count the driver reported,
 * or -1 when the request fails, or when `buffer` is NULL or another process
 * holds the board (then nothing is sent and `buffer` is not touched).
 * @param handle  the board handle.
 * @param buffer  caller-owned, at least (length & 0xFFFF) + 1 bytes.
 * @param length  bytes to ask for; only the low 16 bits count.
 * @return the byte count the driver reported (0 or more), or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_BulkRead(int32_t handle, void* buffer, int32_t length);

/** Resets the board's USB pipe, then sleeps 1 ms.  Returns 0, or -1.
 * @param handle  the board handle.
 * @return 0, or -1 when the request fails; -1 at once, without the sleep
 *         and with nothing sent, while another process holds the board. */
KV318_EXPORT int32_t KV318_CALL KV318_ResetUSB(int32_t handle);

/* ---- Streaming analog input ------------------------------------------- */
/* One acquisition per loaded library, a stream or a polled run: of two
 * starts at the same moment, on any threads, exactly one succeeds and the
 * other returns -1 without a board request.
 * One stream per loaded library.  Between KV318_AD and KV318_StopAD a timer
 * inside the library drains the board's FIFO into a 2 MiB ring, every 10 ms
 * or, at high rates, every 2 ms; KV318_Read hands the ring's bytes over as
 * samples.  A sample is two FIFO bytes, low byte first, as a signed 16-bit
 * value sign-extended to 32 bits; samples are aligned to the start of the
 * stream.
 *
 * The period follows the rate as the FIFO's level codes show it, since the
 * library cannot read the converter's clock.  A stream starts at 10 ms.  A
 * tick whose status read reports a quarter of the FIFO or more (131,072
 * bytes and up, level code 6 or 7) moves the timer to 2 ms from its next
 * tick on: at 10 ms that is about 13 MB/s and more, a rate at which every
 * period fills a quarter of the FIFO before its tick, and 2 ms leaves a late
 * tick nearly the FIFO's whole time instead.  At 2 ms, 50 ticks in a row
 * whose status reports less than 16,384 bytes (level codes 0-2, under about
 * 8 MB/s) move it back to 10 ms; any other status starts that count again.
 * So from about 13 MB/s up the period is 2 ms, below about 8 MB/s 10 ms, and
 * in between it keeps whichever it had.  The board sees the same requests
 * at either period, tick by tick; only their spacing changes.  On Windows
 * the timer raises the system's timer resolution (timeBeginPeriod) from
 * KV318_AD to KV318_StopAD and for no longer.
 *
 * Each tick drains at least the FIFO level the board reports, and then goes
 * on in bulk reads of 16,384 bytes as long as the board answers each of them
 * in full, so a FIFO that fills faster than its level codes show is still
 * emptied; the first shorter reply ends the tick.  A tick that finds a
 * KV318_Read at work on the buffer waits for it within its own period (10
 * or 2 ms) instead of skipping the period.  On Linux the timer's thread asks
 * for SCHED_FIFO at real-time priority 10 where the process may (CAP_SYS_NICE
 * or RLIMIT_RTPRIO), else for the lowest nice value it may set, else keeps
 * its priority, silently; the caller's threads keep theirs.  That thread is
 * named "kv318-timer", so tools such as top -H and taskset find it.  On
 * Windows the procedure runs on the system's multimedia timer thread, at
 * the priority the system gives it.
 *
 * A board that fails or stalls holds neither the timer nor a KV318_Read
 * waiting for it for longer than the replies it is waiting on.  A tick
 * whose status read or bulk read fails records a transfer fault
 * (KV318_Read returns -3 until KV318_StopAD), so a driver that exits or is
 * killed is never taken for a quiet board.  A tick asks for no further bulk
 * reply once 10 ms have passed since it began, at either period, so it
 * lasts at most one reply longer than that; and a tick whose bulk reads come back
 * empty 16 times in a row (a board that reports a FIFO fill but stopped
 * delivering) ends too.  Either way the tick keeps what it drained; the
 * rest stays on the board and the next tick asks for it.
 *
 * A reply in progress is never cut short: a driver process (the socket on
 * Linux, the named pipe on Windows) gets 2 seconds per request, after which
 * the request fails and the handle fails every later request at once; the
 * kernel driver answers in its own time.  So a driver that answers every
 * request late but within those 2 seconds stretches the bounds by whole
 * replies: a tick takes at most two (its status read and one bulk read),
 * and KV318_Read at most three (the tick's two and its own status read),
 * about 6 seconds at worst.  A driver that does not answer at all holds a
 * tick, and a KV318_Read waiting for it, 2 seconds, once. */

/** Starts a stream on `handle`: stops conversion, resets the USB pipe, writes
 * the mode byte (bit 0 of flag1 to bit 0, flag3 to bit 1, flag2 to bit 2,
 * flag4 to bit 3; note the middle two cross) and the divider (its low 12
 * bits, at least 2), starts the timer at 10 ms and starts conversion.
 * Returns 0, or -1 when a board request fails or the timer cannot start (the
 * board is then configured but not started).
 * While a stream or a polled run is running, or another thread is starting
 * or stopping one, it is refused: -1, and nothing is sent to the board.
 * The test and the claim are one atomic step.  Call KV318_StopAD first,
 * also to start on another board.
 *
 * One acquisition per board across processes: the start takes the board's
 * lock, the file KV318Device<N>.lock (in the driver directory on Linux, in
 * the temporary directory on Windows), held with an OS lock that the
 * system drops when the process ends, and holding this process's id as
 * decimal text and "\n".  While another process holds it (it streams or
 * polls the board), or when the lock file cannot be used, the start returns
 * -1 and sends nothing to the board; on Linux the holder also binds an
 * abstract Unix socket named after the file, so a board stays held when
 * its lock file is removed.  KV318_StopAD, KV318_CloseDevice of
 * this handle, or the end of the process give the lock back.  Only handles
 * from KV318_OpenDevice have a known board; a handle the library did not
 * open starts without the lock.  No other call takes the lock; while
 * another process holds it, raw register access, bulk reads and resets are
 * refused (see KV318_inb), and DI, DO, the counter and the pulse generator
 * stay free.  A look at who holds the
 * lock (a shared lock for an instant, as kv318-cli and the Python package
 * take) never makes a start fail: the start waits it out.  A process forked
 * from the holder (Linux) inherits neither its acquisition nor its lock:
 * the child's exit, stop or close leaves both alone, and requests on the
 * handles it inherited fail without a byte sent.
 * @param handle   the board handle; the stream keeps using it until
 *                 KV318_StopAD.
 * @param flag1    mode flag, bit 0 used (see "Mode flags" above).
 * @param flag2    mode flag, bit 0 used.
 * @param flag3    mode flag, bit 0 used.
 * @param flag4    mode flag, bit 0 used.
 * @param divider  converter clock periods per sample, KV318_DIVIDER_MIN to
 *                 KV318_DIVIDER_MAX (2-4095; see "Sample rate and divider"
 *                 above for what happens outside).
 * @return 0 once the stream runs, or -1 as above. */
KV318_EXPORT int32_t KV318_CALL KV318_AD(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4,
                                         int32_t divider);

/** Moves the buffered samples into `samples`, which must hold 524,288
 * elements.  Returns the count, 50 to 524,288; 0 while fewer than 100 bytes
 * are buffered.  An odd byte stays buffered for the next call.  Failures:
 * -1 when the board reports acquisition not enabled (the buffer is kept) or
 * `samples` is NULL (nothing is read); -2 when the ring overflowed, until
 * the stream is stopped and started again; -3 after a transfer fault, until
 * KV318_StopAD, also while fewer than 100 bytes are buffered: a status read
 * or bulk read of the timer failed, or this call's own status read failed
 * (the buffer is kept).  `handle` is used for the status read.  It waits
 * for a drain in progress, which the bound above keeps to about 10 ms with
 * a board that answers promptly (at most three late replies with one that
 * does not; see above).
 * @param handle   the board handle.
 * @param samples  caller-owned, KV318_READ_MAX_SAMPLES elements.
 * @return the sample count (0 while too little is buffered), or
 * @retval -1 acquisition not enabled, or `samples` NULL;
 * @retval -2 the ring overflowed: samples were lost;
 * @retval -3 a transfer fault: a status or bulk read failed. */
KV318_EXPORT int32_t KV318_CALL KV318_Read(int32_t handle, int32_t* samples);

/** Ends the stream: waits for a drain in progress, stops the timer (no drain
 * runs after it returns), clears a transfer fault and stops conversion on
 * `handle` and gives back the stream's board lock.  Conversion is not
 * stopped when another process holds the lock of `handle`'s board and this
 * process does not: that acquisition is not this process's to end.  Waits
 * for a start or stop in progress on another thread.
 * Always returns 0, also when no stream runs; a polled run it leaves
 * running (only conversion stops).
 * @param handle  the board handle.
 * @return 0. */
KV318_EXPORT int32_t KV318_CALL KV318_StopAD(int32_t handle);

/* ---- Polled analog input ---------------------------------------------- */
/* No timer: each KV318_M_Read drains the FIFO on the caller's thread.  Not to
 * be mixed with a running stream, and only one thread may poll at a time.
 * A run lasts from KV318_M_AD to KV318_M_StopAD (or the close of its
 * handle). */

/** Configures and starts conversion as KV318_AD does, without the timer.
 * Returns 0, or -1 when a board request fails, or while a stream or another
 * polled run is running or another thread starts or stops one (then nothing
 * is sent): the test and the claim are one atomic step.  Takes the board's
 * lock as KV318_AD does: -1 and nothing sent while another process streams
 * or polls the board; held until KV318_M_StopAD or KV318_CloseDevice of
 * this handle, or the end of the process.
 * @param handle   the board handle.
 * @param flag1    mode flag, bit 0 used, as for KV318_AD.
 * @param flag2    mode flag, bit 0 used.
 * @param flag3    mode flag, bit 0 used.
 * @param flag4    mode flag, bit 0 used.
 * @param divider  converter clock periods per sample, KV318_DIVIDER_MIN to
 *                 KV318_DIVIDER_MAX (2-4095), as for KV318_AD.
 * @return 0, or -1 as above. */
KV318_EXPORT int32_t KV318_CALL KV318_M_AD(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4,
                                           int32_t divider);

/** Drains at least the FIFO level the board reports, then goes on in bulk
 * reads of 16,384 bytes while the board answers each in full and one more
 * reply still fits `samples`, and converts the bytes into `samples`, which
 * must hold 139,264 elements (the most one call can return).  `*carry`
 * links the calls: set it to 0 before the first read of a run; bit 16 set
 * means bits 0-7 hold a byte left over, which leads this call's bytes.  On
 * return it holds 0x10000 | the unpaired last byte, or 0.
 * Returns the sample count, 0 when the FIFO is empty (carry unchanged), or
 * -1 when acquisition is not enabled, a status read fails, a bulk read fails
 * (the bytes of this call are dropped), `samples` or `carry` is NULL, or a
 * stream is running; the carry is unchanged on every -1.  The call asks
 * for no further bulk reply once 1 second has passed since it began, so it
 * returns within about a second plus one reply however slowly the board
 * trickles (with a driver whose every reply comes late within the
 * channel's 2 seconds, at most three replies, two status reads and one bulk
 * read: about 6 seconds); and when the board answers 16 bulk reads in a
 * row with 0 bytes (it reports a FIFO fill but stopped delivering) it stops
 * early too.  Either way it returns the samples it drained, possibly 0,
 * with the carry set as usual: nothing taken from the board is lost.
 * `reserved` is ignored.
 * @param handle    the board handle.
 * @param samples   caller-owned, KV318_M_READ_MAX_SAMPLES elements.
 * @param carry     caller-owned, kept between the calls of one run.
 * @param reserved  ignored; pass 0.
 * @return the sample count (0 or more), or -1 as above. */
KV318_EXPORT int32_t KV318_CALL KV318_M_Read(int32_t handle, int32_t* samples, int32_t* carry, int32_t reserved);

/** Stops conversion and ends the polled run, so a new start may follow.
 * Gives back the board lock of the polled run on `handle`.  Conversion is
 * not stopped when another process holds the lock of `handle`'s board and
 * this process does not.  Always returns 0.  A running stream it does not
 * end.
 * @param handle  the board handle.
 * @return 0. */
KV318_EXPORT int32_t KV318_CALL KV318_M_StopAD(int32_t handle);

/* ---- Drain statistics ------------------------------------------------- */
/* The board's registers have no overflow bit: a FIFO that ran over looks
 * like any other.  So the library measures what it can of every drain, in
 * both modes, and hands the figures to a caller who knows the sample rate
 * (the library cannot know the converter clock).  Such a caller decides
 * whether the FIFO could have run over: it could when
 * rate in bytes/s x longest_gap_us / 1e6 + 16384 exceeds the FIFO's size
 * (the board's is 524,288 bytes).  The figures are kept from the start of
 * an acquisition (KV318_AD or KV318_M_AD zero them) until the next start,
 * so they can be read after the stop too. */

/** Buckets of KV318_STREAM_STATS::gap_histogram: bucket k counts the gaps
 * of 2^k to 2^(k+1) - 1 microseconds (bucket 0 also those under 1 us); the
 * last bucket also counts every longer gap. */
#define KV318_GAP_BUCKETS 32

/** KV318_STREAM_STATS::mode: no acquisition was started on the handle. */
#define KV318_STATS_NONE 0
/** KV318_STREAM_STATS::mode: a stream (KV318_AD). */
#define KV318_STATS_STREAM 1
/** KV318_STREAM_STATS::mode: a polled run (KV318_M_AD). */
#define KV318_STATS_POLLED 2

/** What the library measured of an acquisition.  Every count is 64-bit and
 * never wraps.  The layout is the same in 32- and 64-bit programs: two
 * 32-bit fields, then 64-bit ones only.  Fields may be added at the end in
 * later versions; `size` tells the library how much of the structure the
 * caller knows.
 *
 * A gap is the time from the last moment the FIFO was known to hold less
 * than one bulk chunk (16,384 bytes) to the next status read that starts a
 * drain.  The FIFO is known to be that low at the start of conversion, when
 * a status read reports level code 0, and when a drain ends on a bulk reply
 * shorter than the chunk asked for.  A drain that ends for another reason
 * (its time bound, a full ring, a full KV318_M_Read array, a stop) leaves
 * the FIFO's fill unknown, so the gap goes on growing until a drain does
 * run dry: the measure errs towards warning, never towards silence. */
typedef struct KV318_STREAM_STATS {
    uint32_t size;              /**< in: sizeof(KV318_STREAM_STATS) as the caller was built. */
    uint32_t mode;              /**< KV318_STATS_NONE, KV318_STATS_STREAM or KV318_STATS_POLLED. */
    uint64_t bytes_drained;     /**< bytes taken from the board's FIFO. */
    uint64_t ticks;             /**< timer ticks that ran (stream), or KV318_M_Read calls (polled). */
    uint64_t drains;            /**< those that found data and asked for it. */
    uint64_t top_level_drains;  /**< drains that found the top level code (262,144 bytes or more). */
    uint64_t time_bound_drains; /**< drains ended by their time bound (10 ms a tick, 1 s a polled read). */
    uint64_t ring_high_water;   /**< most bytes the ring held at once (stream; 0 when polled). */
    uint64_t longest_gap_us;    /**< the longest gap, in microseconds (see above). */
    uint64_t gap_histogram[KV318_GAP_BUCKETS]; /**< gaps by length, see KV318_GAP_BUCKETS. */
} KV318_STREAM_STATS;

/** Copies the drain statistics of the acquisition last started on `handle`
 * (running or stopped) into `stats`.  Set `stats->size` to
 * sizeof(KV318_STREAM_STATS) first: the library fills as many whole fields
 * as fit in that size and leaves the rest of the caller's structure alone,
 * so a program built against an older header keeps working.  Safe while
 * the stream runs, from the thread that calls KV318_Read; the figures are
 * consistent with each other as of one moment between two drains.  Returns
 * 0; mode KV318_STATS_NONE and zero counts when no acquisition since the
 * library was loaded was started on `handle`.  Returns -1 when `stats` is
 * NULL or `stats->size` is below 16 (then nothing is written).
 * @param handle  the board handle the acquisition was started on.
 * @param stats   caller-owned; `size` set by the caller.
 * @return 0, or -1 as above. */
KV318_EXPORT int32_t KV318_CALL KV318_StreamStats(int32_t handle, KV318_STREAM_STATS* stats);

/* ---- Digital I/O, counter, pulse -------------------------------------- */

/** Reads the 16 digital inputs, bit k = DI k.  Returns 0-65535.  A failed
 * read returns 65535, which cannot be told from all inputs high.
 * @param handle  the board handle.
 * @return the inputs, 0-65535 (65535 also on failure). */
KV318_EXPORT int32_t KV318_CALL KV318_DI(int32_t handle);

/** Writes bits 0-15 of `value` to the digital outputs.  Returns 0, or -1.
 * @param handle  the board handle.
 * @param value   bit k sets DO k; bits above 15 are ignored.
 * @return 0, or -1 when the request fails. */
KV318_EXPORT int32_t KV318_CALL KV318_DO(int32_t handle, int32_t value);

/** Starts the counter from 0.  Returns 0, or -1.
 * @param handle  the board handle.
 * @return 0, or -1 when the request fails. */
KV318_EXPORT int32_t KV318_CALL KV318_CRun(int32_t handle);

/** Reads the counter: 0-65535, or -1 while the board reports no valid count
 * (also when the state read fails).  A failed byte read counts as 0xFF.
 * @param handle  the board handle.
 * @return the count 0-65535, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_CRead(int32_t handle);

/** Starts the pulse generator: mode 0 or non-zero, divisor held to 2-255.
 * Returns the result of the divisor write: 0, or -1.
 * @param handle   the board handle.
 * @param mode     0 clears the board's pulse mode bit, non-zero sets it
 *                 (one-shot).
 * @param divisor  the pulse divisor; below 2 becomes 2, above 255 becomes 255.
 * @return 0, or -1 when the divisor write fails. */
KV318_EXPORT int32_t KV318_CALL KV318_PRun(int32_t handle, int32_t mode, int32_t divisor);

/** Stops the pulse generator.  Returns 0, or -1.
 * @param handle  the board handle.
 * @return 0, or -1 when the request fails. */
KV318_EXPORT int32_t KV318_CALL KV318_PStop(int32_t handle);

/* ---- Boards served by kv318-server ------------------------------------ */
/* kv318-server shares a machine's boards over the network.  A handle of a
 * served board works with every export above, with the results and
 * failure values a board of this process gives: the server makes each
 * request on its board, and a stream's samples arrive in order in the
 * blocks it publishes.  A start while another client controls the board
 * fails as a busy board does, and KV318_LastError and KV318_ServedStatus
 * name the controller.  KV318_BulkRead and KV318_ResetUSB are not served
 * (they would take the FIFO's bytes from under the server's stream): they
 * fail with -1 on a served handle.
 *
 * A program reaches a served board in one of two ways:
 *  - KV318_OpenServed(url, board, keys) below;
 *  - unchanged, through KV318_OpenDevice(board), when the environment
 *    variable KV318_SERVER holds the server's URL (and KV318_SERVER_KEYS
 *    its key directory).  KV318_SERVER=none opens boards directly.
 *
 * The client lives in a library of its own (libKV318-remote.so.1 beside
 * libKV318 on Linux, KV318Remote.dll beside KV318.dll on Windows), loaded
 * the first time a server is named; a program that never names one loads
 * nothing more.  When it cannot be loaded, the open fails and
 * KV318_LastError says why.
 *
 * No call on a served handle waits longer than KV318_SERVED_SILENCE_MS for
 * a server that went away; after that every call on the handle fails at
 * once (KV318_LastError: "... stopped answering"). */

/** The environment KV318_OpenDevice reads: the server's URL, its key
 * directory, and the value that opens boards directly whatever else says. */
#define KV318_SERVER_ENV "KV318_SERVER"
#define KV318_SERVER_KEYS_ENV "KV318_SERVER_KEYS"
#define KV318_SERVER_NONE "none"

/** How long a call on a served handle waits for a silent server, in ms. */
#define KV318_SERVED_SILENCE_MS 2500

/** Bits of KV318_SERVED_STATUS::flags. */
#define KV318_SERVED_FOLLOWING 0x01u    /**< starts join the running stream (KV318_Follow) */
#define KV318_SERVED_CONTROLLING 0x02u  /**< this handle controls the board's stream or run */
#define KV318_SERVED_BUSY 0x04u         /**< the last start or command was refused: another client controls the board */
#define KV318_SERVED_GONE 0x08u         /**< the server stopped answering; every call fails at once */
#define KV318_SERVED_DISCONNECTED 0x10u /**< the server's board went away (the server waits for it) */
#define KV318_SERVED_ENDED 0x20u        /**< the stream ended: its controller stopped it */

/** Sizes of the texts of KV318_SERVED_STATUS, terminating zero included. */
#define KV318_SERVED_URL_BYTES 256
#define KV318_SERVED_NAME_BYTES 128
#define KV318_SERVED_TEXT_BYTES 1024

/** What a served handle knows beside the exports' results.  The layout is
 * the same in 32- and 64-bit programs; fields may be added at the end, and
 * `size` tells the library how much of the structure the caller knows.
 * Texts are zero-terminated, cut to fit. */
typedef struct KV318_SERVED_STATUS {
    uint32_t size;                    /**< in: sizeof(KV318_SERVED_STATUS) as the caller was built. */
    uint32_t flags;                   /**< KV318_SERVED_ bits. */
    uint32_t stream;                  /**< the server's number of the stream started or joined; 0 before one. */
    uint32_t divider;                 /**< the stream's divider, as its controller gave it; 0 before one. */
    uint64_t clock_hz;                /**< the stream's converter clock, as its controller gave it; 0 before one. */
    uint64_t next_index;              /**< the stream's index of the next sample a read returns, counted from
                                           the stream's start: a read's first sample has index next_index
                                           (after the read) less the read's count. */
    uint64_t missed;                  /**< samples of the stream that never arrived (the indices jumped);
                                           a read never returns samples from both sides of a jump. */
    char url[KV318_SERVED_URL_BYTES]; /**< the server's URL. */
    char controller[KV318_SERVED_NAME_BYTES]; /**< who controls the board, when a start or command was refused. */
    char failure[KV318_SERVED_TEXT_BYTES];    /**< the last failure in words; "" when none. */
} KV318_SERVED_STATUS;

/** Opens board `board` of the kv318-server at `url` ("tcp://host:6318",
 * "ipc:///path").  `keys` is the directory holding the server's public key
 * and this client's key pair (see docs/server.md), or NULL for this user's
 * own keys of a server on this machine, or none for a plain endpoint.
 * Returns a handle for every other export, or -1 (KV318_LastError says
 * why: no server answers, it serves no such board, the client library is
 * missing).
 * @param url    the server's URL; not kept.
 * @param board  the board's number on the server, 0 for the first.
 * @param keys   a key directory, or NULL.
 * @return the board handle, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_OpenServed(const char* url, int32_t board, const char* keys);

/** Copies what a served handle knows into `status`; set `status->size` to
 * sizeof(KV318_SERVED_STATUS) first (whole fields that fit are filled).
 * For `handle` -1 it tells about the calling thread's last open of a
 * served board that failed (url and failure, and KV318_SERVED_GONE when
 * no server answered it).  Returns 0, or -1 when
 * `status` is NULL, `status->size` is below 16, or the handle is not a
 * served one.
 * @param handle  a served handle, or -1.
 * @param status  caller-owned; `size` set by the caller.
 * @return 0, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_ServedStatus(int32_t handle, KV318_SERVED_STATUS* status);

/** Joins the stream another client controls on the handle's board, or,
 * when none runs, the next one to start, from its first sample: from then
 * on KV318_Read returns its samples (0 while none has come), and
 * KV318_StopAD leaves it without stopping it (the next KV318_AD starts a
 * stream of the handle's own).  A follower that falls too far behind
 * misses samples; KV318_ServedStatus counts them, and gives the stream's
 * number, clock and divider once its first block came.  Returns 0, or -1
 * when the handle is not a served one, controls the board itself, or the
 * server does not answer.
 * @param handle  a served handle.
 * @return 0, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_Follow(int32_t handle);

/** Tells the server what this program knows of the handle's board, sent
 * with every later start on the handle: the converter's clock, from which
 * followers of the stream learn its rate, and the FIFO's size, against
 * which the server judges whether a drain came too late.  Until it is
 * called a start says 2 MHz and 524,288 bytes (the board's own).  Nothing
 * is sent at once.  Returns 0, or -1 when the handle is not a served one
 * or a value is outside what kv318-server takes: a clock of 1 Hz to 1 GHz,
 * a FIFO of 16,384 bytes (one bulk chunk) to 1 GiB.
 * @param handle      a served handle.
 * @param clock_hz    the converter clock in Hz.
 * @param fifo_bytes  the board's FIFO in bytes.
 * @return 0, or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_ServedBoard(int32_t handle, int32_t clock_hz, int32_t fifo_bytes);

/* ---- The last failure in words ---------------------------------------- */
/* Every thread has a text of its own (thread-local), which says what its
 * last call of an export came to.  Every export except KV318_LastError
 * empties it first thing, and writes it where it fails: so right after a
 * call the text is that call's failure, or empty when the call succeeded.
 * Ask before calling another export on the same thread (a KV318_StopAD
 * after a failed KV318_Read empties it).  Calls on other threads never
 * touch it.
 *
 * A text names the export and says which request failed and why, in
 * plain English, for example:
 *   "KV318_OpenDevice: board 3: no such board (driver channel
 *    /run/user/1000/kv318/KV318Device3 not found)"
 *   "KV318_AD: board 0 is busy: acquisition is held by kv318-cli (pid 1234)"
 *   "KV318_DO: handle 7 is not open"
 *   "KV318_inb: reading register 0 (status) on handle 7 failed: the board is
 *    disconnected (its driver closed the connection or stopped answering)"
 *   "KV318_Read: the ring ran over: samples were lost; stop the stream and
 *    start it again"
 * The wording may change between versions; programs show it to people and
 * should not parse it.
 *
 * A text is written exactly when the call fails: when it returns a
 * negative result (KV318_CRead's -1 for "no valid count" writes none; its
 * failed state read does), and for KV318_DI when its read fails, although
 * its 65535 cannot show that.  KV318_StopAD, KV318_M_StopAD and a close of
 * handle -1 always succeed and leave the text empty.  Texts longer than
 * 1023 bytes are cut to 1023. */

/** Copies the calling thread's last failure text into `text`: at most
 * `size` - 1 bytes of it, always followed by a terminating zero, so a text
 * that does not fit is cut.  Returns the text's whole length in bytes, not
 * counting the zero: a result below `size` means the whole text was
 * copied, and a buffer of the result + 1 bytes holds it whole.  Returns 0,
 * with an empty string written, when the thread's last call succeeded (or
 * it made none).  Returns -1, writing nothing, when `text` is NULL or
 * `size` is below 1.  Reads only the calling thread's text and leaves it
 * as it is, so asking twice gives the same text.  Any thread.
 * @param text  caller-owned, `size` bytes; the library does not keep it.
 * @param size  bytes `text` holds, 1 or more.
 * @return the text's length (0 when there is no failure), or -1. */
KV318_EXPORT int32_t KV318_CALL KV318_LastError(char* text, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* KV318_H */
