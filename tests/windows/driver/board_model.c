#include "board_model.h"

#include <string.h>

#include "test_control.h"

/* The five request codes: device type 0x22, functions 0x800-0x804,
 * buffered, any access. */
#define REQ_BULK_READ 0x222000u
#define REQ_BULK_WRITE 0x222004u
#define REQ_STRING 0x222008u
#define REQ_COMMAND 0x22200Cu
#define REQ_COMMAND_PAYLOAD 0x222010u

#define CMD_READ8 0x80
#define CMD_READ16 0x81
#define CMD_WRITE8 0x90
#define CMD_WRITE16 0x91
#define CMD_RESET 0x8E

/* Input sizes of each request form, as the library sends them. */
#define BULK_READ_INPUT 8u
#define BULK_WRITE_OVERHEAD 8u
#define STRING_INPUT 64u
#define COMMAND_INPUT 16u
#define PAYLOAD_INPUT 80u
#define PAYLOAD_MAX 74u
#define COMMAND_REPLY 8u

/* Registers with a meaning on this board. */
#define REG_STATUS 0
#define REG_START 1
#define REG_MODE 4
#define REG_DIVIDER 6 /* W16 */
#define REG_COUNT_LOW 6
#define REG_COUNT_HIGH 7
#define REG_COUNTER_STATE 8
#define REG_PULSE_CONTROL 9
#define REG_PULSE_DIVISOR 10
#define REG_DIGITAL 14

#define STATUS_ENABLED 0x04
#define LEVEL_SHIFT 4

#define TICKS_PER_SECOND 10000000u /* interrupt time runs in 100 ns units */
#define FIFO_MASK (KVT_FIFO_BYTES - 1u)

static uint32_t get_u32le(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static void put_u32le(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

/* Whole periods of a `hz` clock in `ticks` of 100 ns, split so that the
 * product cannot overflow however long the driver has run. */
static uint64_t periods_in(uint64_t ticks, uint32_t hz) {
    return (ticks / TICKS_PER_SECOND) * hz + (ticks % TICKS_PER_SECOND) * hz / TICKS_PER_SECOND;
}

void kvt_board_init(struct kvt_board* b, int number, uint8_t* fifo) {
    memset(b, 0, sizeof *b);
    b->number = number;
    b->fifo = fifo;
    b->divider = 50;
    b->pulse_divisor = 2;
    b->counter_held = 0;
}

/* ---- FIFO and converter ---- */

/* The FIFO level code of `fill` bytes: the highest code whose level the
 * fill has reached, so a reader told code k may drain that level at once. */
static int level_code(uint32_t fill) {
    static const uint32_t levels[] = {1024, 4096, 16384, 32768, 65536, 131072, 262144};
    int code = 0;
    while (code < 7 && fill >= levels[code]) ++code;
    return code;
}

/* Brings the converter up to `now`: each sample due since the last call
 * enters the FIFO as the ramp's next value, low byte first, or is lost when
 * the FIFO is full.  A lost sample still advances the ramp, so a reader
 * sees the gap. */
static void convert_until(struct kvt_board* b, uint64_t now) {
    if (!b->converting || now <= b->anchor) return;
    const uint64_t due = periods_in(now - b->anchor, KVT_CONVERTER_CLOCK_HZ) / b->divider;
    const uint64_t n = due - b->due_since_anchor;
    b->due_since_anchor = due;
    const uint64_t room = (KVT_FIFO_BYTES - b->fill) / 2;
    const uint64_t fit = n < room ? n : room;
    for (uint64_t i = 0; i < fit; ++i) {
        const uint16_t v = (uint16_t)(b->sample_number + i);
        b->fifo[(b->head + b->fill) & FIFO_MASK] = (uint8_t)v;
        b->fifo[(b->head + b->fill + 1) & FIFO_MASK] = (uint8_t)(v >> 8);
        b->fill += 2;
    }
    b->sample_number += (uint32_t)n;
    b->converted += (uint32_t)n;
    b->dropped += (uint32_t)(n - fit);
}

static uint32_t fifo_pop(struct kvt_board* b, uint8_t* out, uint32_t n) {
    if (n > b->fill) n = b->fill;
    for (uint32_t i = 0; i < n; ++i) out[i] = b->fifo[(b->head + i) & FIFO_MASK];
    b->head = (b->head + n) & FIFO_MASK;
    b->fill -= n;
    return n;
}

static void restart_sample_clock(struct kvt_board* b, uint64_t now) {
    b->anchor = now;
    b->due_since_anchor = 0;
}

/* ---- pulse generator and counter ---- */

static uint64_t pulse_total(const struct kvt_board* b, uint64_t now) {
    if (!b->pulse_run || now < b->pulse_seg_start) return b->pulse_base;
    return b->pulse_base + periods_in(now - b->pulse_seg_start, KVT_PULSE_CLOCK_HZ) / b->pulse_divisor;
}

/* Closes the running segment at `now`, so a new divisor or state applies
 * from here on without changing the pulses already emitted. */
static void pulse_fold(struct kvt_board* b, uint64_t now) {
    b->pulse_base = pulse_total(b, now);
    b->pulse_seg_start = now;
}

static uint64_t counter_value(const struct kvt_board* b, uint64_t now) {
    return b->counter_running ? pulse_total(b, now) - b->counter_start : b->counter_held;
}

/* Register 8: bit 0 set while the counter is stopped or has passed 65535,
 * bit 6 the pulse mode, bit 7 set while the pulse generator runs. */
static uint8_t counter_state(const struct kvt_board* b, uint64_t now) {
    uint8_t s = 0;
    if (!b->counter_running || counter_value(b, now) > 0xFFFF) s |= 0x01;
    if (b->pulse_mode) s |= 0x40;
    if (b->pulse_run) s |= 0x80;
    return s;
}

/* ---- registers ---- */

static uint8_t read8(struct kvt_board* b, uint8_t reg, uint64_t now) {
    switch (reg) {
    case REG_STATUS:
        convert_until(b, now);
        return (uint8_t)((level_code(b->fill) << LEVEL_SHIFT) | (b->converting ? STATUS_ENABLED : 0));
    case REG_START:
        /* A start while converting changes nothing, so a stream is never cut. */
        if (!b->converting) {
            b->converting = 1;
            b->sample_number = 0;
            b->converted = b->dropped = 0;
            restart_sample_clock(b, now);
        }
        return b->regs[reg];
    case REG_MODE:
        /* Reading the mode stops conversion; what was converted stays. */
        convert_until(b, now);
        b->converting = 0;
        return b->mode;
    case REG_COUNT_LOW:
        return (uint8_t)counter_value(b, now);
    case REG_COUNT_HIGH:
        return (uint8_t)(counter_value(b, now) >> 8);
    case REG_COUNTER_STATE:
        return counter_state(b, now);
    case REG_DIGITAL:
        return (uint8_t)b->outputs;
    case REG_DIGITAL + 1:
        return (uint8_t)(b->outputs >> 8);
    default:
        return b->regs[reg];
    }
}

static uint16_t read16(struct kvt_board* b, uint8_t reg, uint64_t now) {
    if (reg == REG_DIGITAL) return b->outputs; /* DI reads DO back */
    return read8(b, reg, now);
}

static void write8(struct kvt_board* b, uint8_t reg, uint8_t value, uint64_t now) {
    switch (reg) {
    case REG_MODE:
        b->mode = value & 0x0F;
        break;
    case REG_COUNTER_STATE:
        if (value == 0) {
            b->counter_running = 1;
            b->counter_start = pulse_total(b, now);
        } else if (b->counter_running) {
            b->counter_held = counter_value(b, now);
            b->counter_running = 0;
        }
        break;
    case REG_PULSE_CONTROL:
        pulse_fold(b, now);
        b->pulse_run = (value & 0x80) != 0;
        b->pulse_mode = (value & 0x40) != 0;
        break;
    case REG_PULSE_DIVISOR:
        pulse_fold(b, now);
        b->pulse_divisor = value < 2 ? 2 : value;
        break;
    case REG_DIGITAL:
        b->outputs = (uint16_t)((b->outputs & 0xFF00) | value);
        break;
    default:
        b->regs[reg] = value;
        break;
    }
}

static void write16(struct kvt_board* b, uint8_t reg, uint16_t value, uint64_t now) {
    if (reg == REG_DIVIDER) {
        /* The divider is 12 bits wide and runs from 2. */
        convert_until(b, now);
        b->divider = (uint16_t)((value & 0x0FFF) < 2 ? 2 : (value & 0x0FFF));
        restart_sample_clock(b, now);
    } else if (reg == REG_DIGITAL) {
        b->outputs = value;
    } else {
        write8(b, reg, (uint8_t)value, now);
    }
}

/* ---- requests ---- */

/* One command on the register file.  `v` is the four value bytes; the reply
 * of `room` bytes is zeroed and then filled. */
static enum kvt_result command(struct kvt_board* b, uint8_t code, const uint8_t v[4], uint8_t* out, uint32_t room,
                               uint32_t* returned, uint64_t now) {
    const uint8_t reg = v[0];
    switch (code) {
    case CMD_READ8:
        if (room < 1) return KVT_BAD_INPUT;
        memset(out, 0, room);
        out[0] = read8(b, reg, now);
        break;
    case CMD_READ16: {
        if (room < 2) return KVT_BAD_INPUT;
        const uint16_t w = read16(b, reg, now);
        memset(out, 0, room);
        out[0] = (uint8_t)w;
        out[1] = (uint8_t)(w >> 8);
        break;
    }
    case CMD_WRITE8:
        write8(b, reg, v[1], now);
        memset(out, 0, room);
        break;
    case CMD_WRITE16:
        write16(b, reg, (uint16_t)(v[1] | (v[2] << 8)), now);
        memset(out, 0, room);
        break;
    case CMD_RESET:
        convert_until(b, now);
        b->head = b->fill = 0;
        memset(out, 0, room);
        break;
    default:
        return KVT_BAD_INPUT;
    }
    *returned = room;
    return KVT_DONE;
}

/* Identity string `index` as 16-bit units, one per character, with no
 * terminating unit: the reported count says where the text ends. */
static enum kvt_result string_descriptor(const struct kvt_board* b, uint8_t index, uint8_t* out, uint32_t out_cap,
                                         uint32_t* returned) {
    char text[33];
    if (index == 1) {
        strcpy(text, KVT_IDENTITY_1);
    } else if (index == 2) {
        /* "KVT-0001 test board": the board number in four digits. */
        strcpy(text, KVT_IDENTITY_2_PREFIX "0000 test board");
        int n = b->number;
        for (int i = 7; i >= 4; --i, n /= 10) text[i] = (char)('0' + n % 10);
    } else {
        return KVT_BAD_INPUT;
    }
    uint32_t units = (uint32_t)strlen(text);
    if (units > out_cap / 2) units = out_cap / 2;
    for (uint32_t i = 0; i < units; ++i) {
        out[2 * i] = (uint8_t)text[i];
        out[2 * i + 1] = 0;
    }
    *returned = 2 * units;
    return KVT_DONE;
}

static void fill_stats(struct kvt_board* b, uint8_t* out, uint64_t now) {
    convert_until(b, now);
    put_u32le(out + KVT_STATS_REQUESTS, b->requests);
    put_u32le(out + KVT_STATS_FAILED, b->failed);
    put_u32le(out + KVT_STATS_UNKNOWN, b->unknown);
    put_u32le(out + KVT_STATS_LAST_UNKNOWN, b->last_unknown);
    put_u32le(out + KVT_STATS_FIFO_BYTES, b->fill);
    put_u32le(out + KVT_STATS_DROPPED, b->dropped);
    put_u32le(out + KVT_STATS_CONVERTED, b->converted);
    put_u32le(out + KVT_STATS_TIME_LOW, (uint32_t)now);
    put_u32le(out + KVT_STATS_TIME_HIGH, (uint32_t)(now >> 32));
}

static void add_rule(struct kvt_board* b, uint8_t on_command, uint32_t code, uint8_t times) {
    for (int i = 0; i < KVT_MAX_RULES; ++i) {
        if (b->rules[i].active) continue;
        b->rules[i].active = 1;
        b->rules[i].on_command = on_command;
        b->rules[i].code = code;
        b->rules[i].remaining = times;
        return;
    }
}

static enum kvt_result control(struct kvt_board* b, const uint8_t* in, uint32_t in_len, uint8_t* out, uint32_t out_cap,
                               uint32_t* returned, uint64_t now) {
    if (in_len < KVT_CONTROL_INPUT_SIZE || out_cap < KVT_STATS_SIZE) return KVT_BAD_INPUT;
    const uint8_t op = in[0];
    const uint8_t times = in[1];
    const uint32_t value = get_u32le(in + 4);
    switch (op) {
    case KVT_OP_QUERY:
        break;
    case KVT_OP_FAIL_REQUEST:
        add_rule(b, 0, value, times);
        break;
    case KVT_OP_FAIL_COMMAND:
        add_rule(b, 1, value, times);
        break;
    case KVT_OP_STALL:
        convert_until(b, now);
        b->stalled = value != 0;
        break;
    case KVT_OP_REPLY_LIMIT:
        b->reply_limit = value;
        break;
    case KVT_OP_CLEAR:
        memset(b->rules, 0, sizeof b->rules);
        b->stalled = 0;
        b->reply_limit = 0;
        b->requests = b->failed = b->unknown = b->last_unknown = 0;
        break;
    default:
        return KVT_BAD_INPUT;
    }
    fill_stats(b, out, now);
    *returned = KVT_STATS_SIZE;
    return KVT_DONE;
}

/* Whether a rule fails this request; a counted rule is used up as it fires. */
static int scripted_failure(struct kvt_board* b, uint32_t code, int has_command, uint8_t command_code) {
    for (int i = 0; i < KVT_MAX_RULES; ++i) {
        struct kvt_rule* r = &b->rules[i];
        if (!r->active) continue;
        const int match = r->on_command ? (has_command && r->code == command_code) : r->code == code;
        if (!match) continue;
        if (r->remaining > 0 && --r->remaining == 0) r->active = 0;
        return 1;
    }
    return 0;
}

static enum kvt_result serve(struct kvt_board* b, uint32_t code, const uint8_t* in, uint32_t in_len, uint8_t* out,
                             uint32_t out_cap, uint32_t* returned, uint64_t now) {
    switch (code) {
    case REQ_BULK_READ: {
        if (in_len < BULK_READ_INPUT) return KVT_BAD_INPUT;
        uint32_t n = get_u32le(in);
        convert_until(b, now);
        if (b->stalled) return KVT_DONE;
        if (n > out_cap) n = out_cap;
        if (b->reply_limit > 0 && n > b->reply_limit) n = b->reply_limit;
        *returned = fifo_pop(b, out, n);
        return KVT_DONE;
    }
    case REQ_BULK_WRITE: {
        /* The board has no bulk-out sink: the payload is taken and
         * discarded, and the reply reports its length. */
        if (in_len < BULK_WRITE_OVERHEAD) return KVT_BAD_INPUT;
        const uint32_t length = (uint32_t)in[0] | ((uint32_t)in[1] << 8);
        if (in_len < length + BULK_WRITE_OVERHEAD || out_cap < 4) return KVT_BAD_INPUT;
        put_u32le(out, length);
        *returned = 4;
        return KVT_DONE;
    }
    case REQ_STRING:
        if (in_len < STRING_INPUT) return KVT_BAD_INPUT;
        return string_descriptor(b, in[0], out, out_cap, returned);
    case REQ_COMMAND: {
        if (in_len < COMMAND_INPUT) return KVT_BAD_INPUT;
        const uint8_t c = in[0];
        const uint8_t v[4] = {in[2], in[3], in[4], in[5]};
        const uint32_t room = in[1] < out_cap ? in[1] : out_cap;
        return command(b, c, v, out, room, returned, now);
    }
    case REQ_COMMAND_PAYLOAD: {
        /* The payload means nothing to this board; the command does. */
        if (in_len < PAYLOAD_INPUT || in[1] > PAYLOAD_MAX) return KVT_BAD_INPUT;
        const uint8_t c = in[0];
        const uint8_t v[4] = {in[2], in[3], in[4], in[5]};
        return command(b, c, v, out, COMMAND_REPLY < out_cap ? COMMAND_REPLY : out_cap, returned, now);
    }
    default:
        return KVT_UNKNOWN_CODE;
    }
}

enum kvt_result kvt_board_serve(struct kvt_board* b, uint32_t code, const uint8_t* in, uint32_t in_len, uint8_t* out,
                                uint32_t out_cap, uint32_t* returned, uint64_t now) {
    *returned = 0;
    if (code == KVT_IOCTL_CONTROL) return control(b, in, in_len, out, out_cap, returned, now);
    const int known = code >= REQ_BULK_READ && code <= REQ_COMMAND_PAYLOAD && (code & 3u) == 0;
    if (!known) {
        ++b->unknown;
        b->last_unknown = code;
        return KVT_UNKNOWN_CODE;
    }
    ++b->requests;
    const int has_command = (code == REQ_COMMAND || code == REQ_COMMAND_PAYLOAD) && in_len >= 1;
    enum kvt_result r;
    if (scripted_failure(b, code, has_command, has_command ? in[0] : 0)) r = KVT_SCRIPTED;
    else r = serve(b, code, in, in_len, out, out_cap, returned, now);
    if (r != KVT_DONE) {
        *returned = 0;
        ++b->failed;
    }
    return r;
}
