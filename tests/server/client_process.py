"""A bare client of kv318-server in a process of its own, so a test can stop
or kill it: `follow` reads a board's stream, `control` starts it, follows it
too, sending heartbeats, and stops it after --seconds.  Either reads until the stream ends or
--seconds pass, then prints one JSON line: the samples it received, the
samples it missed (the jumps in the block index), the indices of its first
and last block, and whether every sample it got is the simulator's ramp
at its index, and how long blocks took from the server to it.
"""
import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from server_process import FLAG_END, FLAG_IDLE, Client  # noqa: E402


def latency_percentiles(values):
    """p50 and p99 of the time from each block's host time to its arrival, in ms."""
    if not values:
        return None
    v = np.sort(np.array(values)) / 1000
    return {"p50": round(float(v[len(v) // 2]), 3), "p99": round(float(v[min(len(v) - 1, int(len(v) * 0.99))]), 3)}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=("follow", "control"))
    p.add_argument("--url", required=True)
    p.add_argument("--name", required=True)
    p.add_argument("--seconds", type=float, default=10)
    p.add_argument("--divider", default="2")
    p.add_argument("--clock", default="2000000")
    a = p.parse_args()

    c = Client(a.url, a.name)
    # The subscription holds once an idle or stream block arrives.
    while c.block() is None:
        pass
    if a.mode == "control":
        word, fields = c.ask("start", board=0, mode="stream", divider=a.divider, clock=a.clock, fifo=8388608)
        if word != "ok" or int(fields["result"]) != 0:
            print(json.dumps({"refused": fields}), flush=True)
            return 3
    print(json.dumps({"ready": True}), flush=True)

    expected = None
    offset = None
    got = missed = 0
    ramp_ok = True
    first = last = None
    stream = None
    flags_seen = 0
    deadline = time.monotonic() + a.seconds
    next_ping = time.monotonic()
    latency_us = []
    stopped = False
    while True:
        if time.monotonic() >= deadline:
            if a.mode != "control" or stopped:
                break
            # The controller ends the stream and reads on to its last block.
            c.ask("stop", board=0)
            stopped = True
            deadline = time.monotonic() + 30
        if a.mode == "control" and time.monotonic() >= next_ping:
            c.ask("ping")
            next_ping = time.monotonic() + 0.5
        b = c.block()
        if b is None:
            # A receive whose wait spanned a stop of this process (SIGSTOP)
            # times out at once on waking, before the data that waited in
            # the kernel is read: the server is gone only when a second,
            # whole wait brings nothing either.
            b = c.block()
        if b is None:
            print(json.dumps({"silent": True, "got": got, "missed": missed, "last": last, "stream": stream}),
                  flush=True)
            return 4
        h, payload = b
        if h["flags"] & FLAG_IDLE or (stream is not None and h["stream"] != stream):
            continue
        latency_us.append(time.time() * 1e6 - h["host_us"])
        stream = h["stream"]
        flags_seen |= h["flags"]
        if expected is not None and h["first"] > expected:
            missed += h["first"] - expected
        expected = h["first"] + h["count"]
        if first is None:
            first = h["first"]
        last = h["first"]
        # Sample i of the ramp is code (i + offset) modulo 16384 in bits 2-15;
        # int16 arithmetic wraps, which the modulo absorbs.
        codes = np.frombuffer(payload, dtype="<i2") >> 2
        if len(codes):
            at = (int(codes[0]) - h["first"]) % 16384
            if offset is None:
                offset = at
            ramp_ok = ramp_ok and at == offset and bool(np.all((np.diff(codes) & 0x3FFF) == 1))
        got += h["count"]
        if h["flags"] & FLAG_END:
            break
    print(json.dumps({"got": got, "missed": missed, "first": first, "last": last, "ramp_ok": ramp_ok,
                      "stream": stream, "flags": flags_seen, "offset": offset,
                      "latency_ms": latency_percentiles(latency_us)}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
