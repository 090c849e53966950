#!/usr/bin/python3
"""A follower that reaches kv318-server through libKV318's exports alone, as
an unchanged C program would (KV318_OpenServed, KV318_Follow, KV318_Read,
KV318_ServedStatus): joins the stream on board 0 of --url once it runs,
reads until it ends or --seconds pass, and checks the simulator's ramp
sample by sample at the stream's own indices.  Prints one JSON line: the
index of its first sample, how many it got and missed, and whether the
ramp held.

    library_follower.py --library libKV318.so --url URL --seconds S
"""
import argparse
import ctypes
import json
import time

import numpy as np

READ_MAX = 524288
ENDED = 0x20


class ServedStatus(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("flags", ctypes.c_uint32), ("stream", ctypes.c_uint32),
                ("divider", ctypes.c_uint32), ("clock_hz", ctypes.c_uint64), ("next_index", ctypes.c_uint64),
                ("missed", ctypes.c_uint64), ("url", ctypes.c_char * 256), ("controller", ctypes.c_char * 128),
                ("failure", ctypes.c_char * 1024)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--library", required=True)
    ap.add_argument("--url", required=True)
    ap.add_argument("--seconds", type=float, required=True)
    args = ap.parse_args()
    lib = ctypes.CDLL(args.library)
    lib.KV318_OpenServed.argtypes = [ctypes.c_char_p, ctypes.c_int32, ctypes.c_char_p]
    lib.KV318_Read.argtypes = [ctypes.c_int32, ctypes.POINTER(ctypes.c_int32)]
    lib.KV318_ServedStatus.argtypes = [ctypes.c_int32, ctypes.POINTER(ServedStatus)]
    h = lib.KV318_OpenServed(args.url.encode(), 0, None)
    if h < 0:
        raise SystemExit("KV318_OpenServed failed")
    deadline = time.monotonic() + 30
    while lib.KV318_Follow(h) != 0:
        if time.monotonic() > deadline:
            raise SystemExit("no stream to follow")
        time.sleep(0.05)
    buf = (ctypes.c_int32 * READ_MAX)()
    samples = np.ctypeslib.as_array(buf)
    status = ServedStatus()
    status.size = ctypes.sizeof(status)
    got, first, offset, ramp_ok = 0, None, None, True
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        n = lib.KV318_Read(h, buf)
        lib.KV318_ServedStatus(h, ctypes.byref(status))
        if n < 0 or (n == 0 and status.flags & ENDED):
            break
        if n == 0:
            time.sleep(0.005)
            continue
        index = status.next_index - n
        codes = (samples[:n] >> 2) & 0x3FFF
        if first is None:
            first, offset = index, (int(codes[0]) - index) & 0x3FFF
        want = (np.arange(index, index + n, dtype=np.int64) + offset) & 0x3FFF
        ramp_ok = ramp_ok and bool(np.array_equal(codes, want))
        got += n
    lib.KV318_StopAD(h)
    lib.KV318_CloseDevice(h)
    print(json.dumps({"first": first or 0, "got": got, "missed": status.missed, "ramp_ok": ramp_ok}), flush=True)


if __name__ == "__main__":
    main()
