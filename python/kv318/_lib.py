"""The loaded KV318 library with every export's prototype declared.

Every export takes and returns 32-bit integers; the sample and carry
arrays are passed as pointers to int32.  ctypes releases the interpreter
lock around each call, so other Python threads run while a call waits on
the board.
"""

import ctypes

from . import _loader

lib, path, where = _loader.load()

_i32 = ctypes.c_int32
_p32 = ctypes.POINTER(ctypes.c_int32)

_PROTOTYPES = {
    "KV318_OpenDevice": (_i32,),
    "KV318_CloseDevice": (_i32,),
    "KV318_Info": (_i32, ctypes.c_char_p),
    "KV318_inb": (_i32, _i32),
    "KV318_outb": (_i32, _i32, _i32),
    "KV318_AD": (_i32, _i32, _i32, _i32, _i32, _i32),
    "KV318_Read": (_i32, _p32),
    "KV318_StopAD": (_i32,),
    "KV318_M_AD": (_i32, _i32, _i32, _i32, _i32, _i32),
    "KV318_M_Read": (_i32, _p32, _p32, _i32),
    "KV318_M_StopAD": (_i32,),
    "KV318_DI": (_i32,),
    "KV318_DO": (_i32, _i32),
    "KV318_CRun": (_i32,),
    "KV318_CRead": (_i32,),
    "KV318_PRun": (_i32, _i32, _i32),
    "KV318_PStop": (_i32,),
}

for _name, _args in _PROTOTYPES.items():
    try:
        _f = getattr(lib, _name)
    except AttributeError:
        raise ImportError(f"kv318: the library loaded from {where} lacks {_name}") from None
    _f.argtypes = _args
    _f.restype = _i32


# ---- Drain statistics (KV318_StreamStats) ------------------------------

#: Buckets of the gap histogram (KV318_GAP_BUCKETS).
GAP_BUCKETS = 32
#: KV318_STREAM_STATS.mode values: none started, a stream, a polled run.
STATS_NONE, STATS_STREAM, STATS_POLLED = 0, 1, 2


class StreamStatsRecord(ctypes.Structure):
    """KV318_STREAM_STATS, field for field: two 32-bit fields, then 64-bit
    ones only, so the layout is the same for 32- and 64-bit libraries."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("mode", ctypes.c_uint32),
        ("bytes_drained", ctypes.c_uint64),
        ("ticks", ctypes.c_uint64),
        ("drains", ctypes.c_uint64),
        ("top_level_drains", ctypes.c_uint64),
        ("time_bound_drains", ctypes.c_uint64),
        ("ring_high_water", ctypes.c_uint64),
        ("longest_gap_us", ctypes.c_uint64),
        ("gap_histogram", ctypes.c_uint64 * GAP_BUCKETS),
    ]


# Libraries built before the statistics lack the export; the package works
# with them, without the statistics and the FIFO verdict.
try:
    stream_stats = lib.KV318_StreamStats
except AttributeError:
    stream_stats = None
else:
    stream_stats.argtypes = (_i32, ctypes.POINTER(StreamStatsRecord))
    stream_stats.restype = _i32


# ---- Boards served by kv318-server (KV318_OpenServed) --------------------

#: KV318_SERVED_STATUS.flags bits (KV318_SERVED_* in KV318.h).
SERVED_FOLLOWING = 0x01
SERVED_CONTROLLING = 0x02
SERVED_BUSY = 0x04
SERVED_GONE = 0x08
SERVED_DISCONNECTED = 0x10
SERVED_ENDED = 0x20
#: How long a call on a served handle waits for a silent server
#: (KV318_SERVED_SILENCE_MS), in seconds.
SERVED_SILENCE_S = 2.5
#: Sizes of the status's texts, terminating zero included.
SERVED_URL_BYTES, SERVED_NAME_BYTES, SERVED_TEXT_BYTES = 256, 128, 1024


class ServedStatusRecord(ctypes.Structure):
    """KV318_SERVED_STATUS, field for field: four 32-bit fields, three 64-bit
    ones, then the texts, so the layout is the same for 32- and 64-bit
    libraries."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("stream", ctypes.c_uint32),
        ("divider", ctypes.c_uint32),
        ("clock_hz", ctypes.c_uint64),
        ("next_index", ctypes.c_uint64),
        ("missed", ctypes.c_uint64),
        ("url", ctypes.c_char * SERVED_URL_BYTES),
        ("controller", ctypes.c_char * SERVED_NAME_BYTES),
        ("failure", ctypes.c_char * SERVED_TEXT_BYTES),
    ]


# Libraries before 1.3 lack the client; kv318.connect then says so.
try:
    open_served, served_status, follow = lib.KV318_OpenServed, lib.KV318_ServedStatus, lib.KV318_Follow
except AttributeError:
    open_served = served_status = follow = None
else:
    open_served.argtypes = (ctypes.c_char_p, _i32, ctypes.c_char_p)
    served_status.argtypes = (_i32, ctypes.POINTER(ServedStatusRecord))
    follow.argtypes = (_i32,)
    for _f in (open_served, served_status, follow):
        _f.restype = _i32


# ---- The last failure in words (KV318_LastError) -------------------------

# Libraries before 1.2 lack the export; with them a failure has no words
# of the library's own, and the package's messages stand alone.
try:
    _last_error = lib.KV318_LastError
except AttributeError:
    _last_error = None
else:
    _last_error.argtypes = (ctypes.c_char_p, _i32)
    _last_error.restype = _i32

# Room for every text the library writes but the longest paths; a longer
# one is asked for again at its length.
_LAST_ERROR_BYTES = 512


def last_error():
    """The library's words for the failure of the last call this thread made
    of an export ("KV318_DO: handle 7 is not open"), or None when that call
    succeeded or the library is too old to say.  Ask right after the call
    that failed: the next call on this thread empties the text."""
    if _last_error is None:
        return None
    size = _LAST_ERROR_BYTES
    while True:
        text = ctypes.create_string_buffer(size)
        n = _last_error(text, size)
        if n < size:
            break
        size = n + 1
    # Paths in the text are the system's bytes: undecodable ones are shown,
    # never raised.
    return text.value.decode("utf-8", "replace") if n > 0 else None
