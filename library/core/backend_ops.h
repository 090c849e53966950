/* The table through which the exports reach a board: one for the boards
 * this process opens itself, one for the boards a kv318-server serves.
 *
 * The served boards' table lives in a library of its own (libKV318-remote
 * on Linux, KV318Remote.dll on Windows), which libKV318 loads the first
 * time a server is named, so a program that never meets a server loads
 * nothing more than before.  That library exports one C function,
 * KV318_BACKEND_ENTRY, which returns its table.
 *
 * Handles: each table numbers its own handles.  The exports translate:
 * the served table's handles reach a program as KV318_SERVED_HANDLE_BASE
 * plus the table's own number, and the table only ever sees its own.
 *
 * Every entry but `open` and `last_error` takes a handle of the table's own
 * numbering and returns what the export of the same name returns, with the
 * same failure values (-1; 65535 for di; 0 for the stops).  Entries may be
 * called on any thread; one handle's calls take turns inside the table.
 * After every entry but `last_error`, `last_error` tells the calling
 * thread what that entry's failure was, in words without the export's
 * name ("board 0 on kv318-server at tcp://host:5555 is controlled by
 * kv318-cli.4242@host"), or "" when it succeeded.  No entry waits longer
 * than KV318_SERVED_SILENCE_MS for a server that went away; once one found
 * it gone, every later call on that handle fails at once.
 *
 * Buffers are the caller's, filled during the call and never kept. */
#ifndef KV318_BACKEND_OPS_H
#define KV318_BACKEND_OPS_H

#include <stdint.h>

#include "KV318.h"

/** The name of the one function a backend library exports. */
#define KV318_BACKEND_ENTRY "KV318_BackendOps"
/** Changes when an entry changes meaning; grows with the table otherwise. */
#define KV318_BACKEND_ABI 1
/** The first handle number the exports give a served board. */
#define KV318_SERVED_HANDLE_BASE 0x40000000
/** How many handles of a table the served range holds. */
#define KV318_SERVED_HANDLE_SPAN 0x10000000

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KV318_BACKEND_OPS {
    /** sizeof(KV318_BACKEND_OPS) as the backend was built, so the table may
     * grow: the library uses only the entries that fit in it. */
    uint32_t size;
    /** KV318_BACKEND_ABI as the backend was built; the library refuses
     * another. */
    uint32_t abi;

    /** Opens board `board` of the server at `url` (a ZeroMQ endpoint:
     * tcp://host:port, ipc://path).  `keys` is a directory with the
     * server's public key and this client's key pair, or NULL or "" for
     * this user's local keys of a loopback server (none for a plain one).
     * Returns a handle from 1 to KV318_SERVED_HANDLE_SPAN - 1, or -1. */
    int32_t (*open)(const char* url, int32_t board, const char* keys);
    /** Ends what the handle controls, says goodbye and frees it: 0, or -1
     * for a handle the table does not hold. */
    int32_t (*close)(int32_t handle);

    int32_t (*info)(int32_t handle, char* text);
    int32_t (*inb)(int32_t handle, int32_t reg);
    int32_t (*outb)(int32_t handle, int32_t reg, int32_t value);
    int32_t (*bulk_read)(int32_t handle, void* buffer, int32_t length);
    int32_t (*reset_usb)(int32_t handle);

    int32_t (*ad)(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4, int32_t divider);
    int32_t (*read)(int32_t handle, int32_t* samples);
    int32_t (*stop_ad)(int32_t handle);
    int32_t (*m_ad)(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4, int32_t divider);
    int32_t (*m_read)(int32_t handle, int32_t* samples, int32_t* carry, int32_t reserved);
    int32_t (*m_stop_ad)(int32_t handle);
    int32_t (*stream_stats)(int32_t handle, KV318_STREAM_STATS* stats);

    int32_t (*di)(int32_t handle);
    int32_t (*do_write)(int32_t handle, int32_t value);
    int32_t (*c_run)(int32_t handle);
    int32_t (*c_read)(int32_t handle);
    int32_t (*p_run)(int32_t handle, int32_t mode, int32_t divisor);
    int32_t (*p_stop)(int32_t handle);

    /** KV318_Follow: joins the stream that runs on the handle's board. */
    int32_t (*follow)(int32_t handle);
    /** KV318_ServedStatus for one of the table's handles, or, for handle
     * -1, about the calling thread's last open that failed (its url and
     * failure, KV318_SERVED_GONE when no server answered it).  `status->size` is set by the caller; the table fills
     * what fits.  0, or -1 for a handle it does not hold. */
    int32_t (*status)(int32_t handle, KV318_SERVED_STATUS* status);
    /** The calling thread's failure of its last entry, as KV318_LastError
     * copies a text: its whole length, 0 when there was none, -1 when
     * `text` is NULL or `size` is below 1. */
    int32_t (*last_error)(char* text, int32_t size);
    /** KV318_ServedBoard: what the program knows of the handle's board,
     * sent with its next start.  0, or -1 for a handle the table does not
     * hold or a value outside the ranges the server takes. */
    int32_t (*board)(int32_t handle, int32_t clock_hz, int32_t fifo_bytes);
} KV318_BACKEND_OPS;

/** The type of KV318_BACKEND_ENTRY: the backend's table, which lives as
 * long as the library stays loaded. */
typedef const KV318_BACKEND_OPS* (*KV318_BACKEND_ENTRY_FN)(void);

#ifdef __cplusplus
}
#endif

#endif /* KV318_BACKEND_OPS_H */
