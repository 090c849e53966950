/* The test driver's private control request, shared by the driver and the
 * tests that script it.  It lies outside the board's five requests and
 * exists only in this test driver: no board driver and no library call
 * knows it.
 *
 * Request code: device type 0x22, function 0x8FF, buffered, any access.
 *
 * Input, 16 bytes:
 *   byte 0      operation (KVT_OP_*)
 *   byte 1      for the two failure operations, how many times the rule
 *               fires: 0 = every time, n = the next n matching requests
 *   bytes 4-7   the operation's value, 32-bit little-endian
 *   other bytes carry no meaning
 * Output: at least KVT_STATS_SIZE bytes, filled with the board's counters
 * after the operation (layout below), whatever the operation.
 *
 * A scripted failure completes the matching request with
 * STATUS_IO_DEVICE_ERROR and no data; the board's state is not touched. */
#ifndef KV318_TEST_CONTROL_H
#define KV318_TEST_CONTROL_H

#define KVT_IOCTL_CONTROL 0x00223FFCu /* (0x22 << 16) | (0x8FF << 2) */
#define KVT_CONTROL_INPUT_SIZE 16u

/* Operations. */
#define KVT_OP_QUERY 0        /* change nothing, only report */
#define KVT_OP_FAIL_REQUEST 1 /* value: one of the five request codes */
#define KVT_OP_FAIL_COMMAND 2 /* value: a command code of request 0x22200C or 0x222010 */
#define KVT_OP_STALL 3        /* value: 1 = the FIFO hands out nothing, 0 = normal */
#define KVT_OP_REPLY_LIMIT 4  /* value: most bytes one bulk read returns, 0 = no limit */
#define KVT_OP_CLEAR 5        /* drop every rule, the stall and the limit; zero the counters */

/* Report, each field 32-bit little-endian at the byte offset given. */
#define KVT_STATS_REQUESTS 0      /* requests of the five codes seen */
#define KVT_STATS_FAILED 4        /* of them, completed with an error */
#define KVT_STATS_UNKNOWN 8       /* requests with a code the driver does not know */
#define KVT_STATS_LAST_UNKNOWN 12 /* the last such code, 0 if none */
#define KVT_STATS_FIFO_BYTES 16   /* bytes in the FIFO now */
#define KVT_STATS_DROPPED 20      /* samples lost to a full FIFO since the last start */
#define KVT_STATS_CONVERTED 24    /* samples converted since the last start */
#define KVT_STATS_TIME_LOW 28     /* the driver's clock, 100 ns units, low half */
#define KVT_STATS_TIME_HIGH 32    /*   ... and high half */
#define KVT_STATS_SIZE 36u

/* The board as this driver models it. */
#define KVT_CONVERTER_CLOCK_HZ 1000000u /* sample rate = this / divider */
#define KVT_PULSE_CLOCK_HZ 1000000u     /* pulse rate = this / divisor */
#define KVT_FIFO_BYTES (512u * 1024u)
#define KVT_DEFAULT_BOARDS 2u
#define KVT_MAX_BOARDS 8u

/* Identity strings; string 2 ends in the board number, four digits. */
#define KVT_IDENTITY_1 "KV318 kernel test driver"
#define KVT_IDENTITY_2_PREFIX "KVT-"

#endif
