"""Helpers shared by the tests."""

import time

import numpy as np

# Generous: tests run on a busy machine, and only a real fault waits this long.
WAIT_LIMIT_S = 30.0


def wait_until(condition, timeout=WAIT_LIMIT_S):
    """Asks `condition` until it holds or `timeout` seconds have passed;
    whether it held."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return condition()
        time.sleep(0.01)
    return True


def ramp(first, count):
    """The simulator's ramp: sample n holds code n modulo 16384 in bits 2-15."""
    n = np.arange(first, first + count, dtype=np.int64)
    return ((n & 0x3FFF) << 2).astype(np.uint16).view(np.int16)


def ramp_codes(first, count):
    """The converter codes of the ramp's samples: code n modulo 16384 read as
    a signed 14-bit number."""
    n = np.arange(first, first + count, dtype=np.int64) & 0x3FFF
    return np.where(n >= 0x2000, n - 0x4000, n).astype(np.int16)


# Samples a follower leaves unread at 1 MS/s to fall behind for certain: 8 s,
# where the server's queue and the library client's each hold about a
# second of blocks.
FALL_BEHIND_SAMPLES = 8_000_000
