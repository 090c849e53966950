/* The board behind the test driver: the five requests served byte for byte
 * on a small register file, a FIFO filled with a ramp, DO looped back to DI,
 * the counter fed by the pulse generator.  Plain C with no kernel headers:
 * the driver glue owns locking, memory and the clock, and passes the time
 * in with every call, so nothing ticks between requests.
 *
 * Not thread-safe: the caller serialises every call on one board. */
#ifndef KV318_TEST_BOARD_MODEL_H
#define KV318_TEST_BOARD_MODEL_H

#include <stdint.h>

/* How a request ended; the glue maps each to a completion status. */
enum kvt_result {
    KVT_DONE = 0,    /* success, *returned bytes of reply */
    KVT_SCRIPTED,    /* failed by the test's script */
    KVT_BAD_INPUT,   /* a buffer too short for the request's form, or an unknown command */
    KVT_UNKNOWN_CODE /* not one of the five requests nor the control request */
};

#define KVT_MAX_RULES 8

struct kvt_rule {
    uint8_t active;
    uint8_t on_command; /* 0: match a request code, 1: a command code */
    uint32_t code;
    uint32_t remaining; /* 0 = fires every time */
};

struct kvt_board {
    int number;

    /* Plain registers: what is written is read back.  Registers the board
     * gives a meaning to (0, 1, 4, 6-10, 14) are served from the fields
     * below instead. */
    uint8_t regs[256];

    /* Converter.  Time is in 100 ns units, as the kernel's interrupt time. */
    uint8_t mode;
    uint16_t divider;
    int converting;
    uint64_t anchor;           /* when the sample clock last (re)started */
    uint64_t due_since_anchor; /* samples made since then, kept or dropped */
    uint32_t sample_number;    /* since conversion started; the ramp's value */
    uint32_t converted, dropped;

    /* FIFO: a ring of KVT_FIFO_BYTES bytes owned by the glue. */
    uint8_t* fifo;
    uint32_t head, fill;

    uint16_t outputs; /* DO; DI reads them back */

    /* Pulse generator and counter. */
    int pulse_run, pulse_mode;
    uint8_t pulse_divisor;
    uint64_t pulse_base;      /* pulses of finished run segments */
    uint64_t pulse_seg_start; /* start of the running segment */
    int counter_running;
    uint64_t counter_start; /* pulse total when the counter started */
    uint64_t counter_held;  /* the count while stopped */

    /* Test script. */
    struct kvt_rule rules[KVT_MAX_RULES];
    int stalled;
    uint32_t reply_limit;
    uint32_t requests, failed, unknown, last_unknown;
};

/* Prepares `b` as a freshly powered board number `number`, with `fifo`
 * (KVT_FIFO_BYTES bytes, owned by the caller, kept while the board lives). */
void kvt_board_init(struct kvt_board* b, int number, uint8_t* fifo);

/* Serves one I/O-control request.  `in` holds in_len bytes, `out` has room
 * for out_cap bytes; with buffered I/O they may be the same area, so the
 * input is read whole before the reply is written.  `now` is the current
 * interrupt time.  *returned receives the reply's byte count (0 unless
 * KVT_DONE). */
enum kvt_result kvt_board_serve(struct kvt_board* b, uint32_t code, const uint8_t* in, uint32_t in_len, uint8_t* out,
                                uint32_t out_cap, uint32_t* returned, uint64_t now);

#endif
