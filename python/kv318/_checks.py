"""Argument checks shared by the board and the acquisitions.  They run
before anything is sent, so a bad value never reaches the board half-way
through a sequence of requests."""

import operator


def integer(name, value):
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def in_range(name, value, low, high, hex_digits=0):
    v = integer(name, value)
    if not low <= v <= high:
        if hex_digits:
            raise ValueError(f"{name} must be 0x{low:0{hex_digits}X}-0x{high:0{hex_digits}X}, got {v:#x}")
        raise ValueError(f"{name} must be {low}-{high}, got {v}")
    return v


def positive(name, value):
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}") from None
    if not v > 0:  # also refuses NaN
        raise ValueError(f"{name} must be greater than 0, got {value!r}")
    return v


def flags(name, value, count):
    """A tuple of `count` flags, each 0 or 1 (False or True)."""
    try:
        items = tuple(value)
    except TypeError:
        raise TypeError(f"{name} must be a sequence of {count} flags") from None
    if len(items) != count:
        raise ValueError(f"{name} must hold {count} flags, got {len(items)}")
    return tuple(in_range(f"{name}[{i}]", f, 0, 1) for i, f in enumerate(items))
