"""Helpers shared by the tests."""

import numpy as np


def ramp(first, count):
    """The simulator's ramp: sample n holds code n modulo 16384 in bits 2-15."""
    n = np.arange(first, first + count, dtype=np.int64)
    return ((n & 0x3FFF) << 2).astype(np.uint16).view(np.int16)
