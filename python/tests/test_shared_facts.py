"""What the package shares with the C++ side without sharing code: the
sample -> code -> volts vectors every reader of samples must meet, and the
array sizes, divider range and version that the library's public header
states."""

import re
from pathlib import Path

import numpy as np
import pytest

import ctypes

import kv318
from kv318 import _lib
from kv318 import board as board_module

ROOT = Path(__file__).resolve().parents[2]
VECTORS = ROOT / "tests" / "vectors" / "sample_units.csv"
HEADER = ROOT / "library" / "include" / "KV318.h"


def load_vectors():
    rows = [line for line in VECTORS.read_text().splitlines() if line and not line.startswith("#")]
    assert rows[0] == "sample,code,volts"
    table = [row.split(",") for row in rows[1:]]
    return (
        np.array([int(s) for s, _, _ in table], dtype=np.int16),
        np.array([int(c) for _, c, _ in table]),
        np.array([float(v) for _, _, v in table]),
    )


def header_defines():
    text = HEADER.read_text()
    found = re.findall(r"^#define (KV318_\w+) +(0x[0-9A-Fa-f]+|\d+)u?\b", text, re.M)
    return {name: int(value, 0) for name, value in found}


_C_TYPES = {"uint32_t": ctypes.c_uint32, "uint64_t": ctypes.c_uint64, "char": ctypes.c_char}


def header_struct(name):
    """The fields of `typedef struct NAME {...} NAME;` in the header, as
    ctypes (name, type) pairs, array sizes resolved through its defines."""
    body = re.search(r"typedef struct %s \{(.*?)\} %s;" % (name, name), HEADER.read_text(), re.S).group(1)
    defines = header_defines()
    fields = []
    for c_type, field, count in re.findall(r"^\s*(\w+) +(\w+)(?:\[(\w+)\])?;", body, re.M):
        t = _C_TYPES[c_type]
        if count:
            t = t * (defines[count] if count in defines else int(count))
        fields.append((field, t))
    return fields


def test_codes_and_volts_match_the_shared_vectors():
    samples, codes, volts = load_vectors()
    # Low bits 01, 10 and 11 and both ends, or the table proves little.
    assert {1, 2, 3} <= set(int(s) & 3 for s in samples)
    assert samples.min() == -32768 and samples.max() == 32767
    np.testing.assert_array_equal(kv318.codes(samples), codes)
    # Exact: code * 5 / 8192 is a dyadic fraction a double holds exactly.
    np.testing.assert_array_equal(kv318.volts(samples), volts)


@pytest.mark.parametrize(
    "package_value, header_name",
    [
        (kv318.STREAM_READ_SAMPLES, "KV318_READ_MAX_SAMPLES"),
        (kv318.POLL_READ_SAMPLES, "KV318_M_READ_MAX_SAMPLES"),
        (board_module._INFO_BYTES, "KV318_INFO_BYTES"),
        (kv318.DIVIDER_MIN, "KV318_DIVIDER_MIN"),
        (kv318.DIVIDER_MAX, "KV318_DIVIDER_MAX"),
    ],
)
def test_sizes_and_ranges_are_the_headers(package_value, header_name):
    assert package_value == header_defines()[header_name]


def test_package_version_is_the_headers():
    defines = header_defines()
    header_version = "{}.{}.{}".format(
        defines["KV318_VERSION_MAJOR"], defines["KV318_VERSION_MINOR"], defines["KV318_VERSION_PATCH"]
    )
    assert kv318.__version__ == header_version
    # Not a leftover import: kv318.version once was importlib's function,
    # which raised when called without a distribution name.
    assert not callable(getattr(kv318, "version", None))


@pytest.mark.parametrize("record, header_name", [
    (_lib.StreamStatsRecord, "KV318_STREAM_STATS"),
    (_lib.ServedStatusRecord, "KV318_SERVED_STATUS"),
])
def test_structures_are_the_headers_field_for_field(record, header_name):
    fields = header_struct(header_name)
    got = [(name, ctypes.sizeof(t), getattr(record, name).offset) for name, t in record._fields_]
    # The C layout of the header's fields, as ctypes lays them out.
    expected = type("Expected", (ctypes.Structure,), {"_fields_": fields})
    want = [(name, ctypes.sizeof(t), getattr(expected, name).offset) for name, t in fields]
    assert got == want
    assert ctypes.sizeof(record) == ctypes.sizeof(expected)


@pytest.mark.parametrize("package_value, header_name", [
    (_lib.SERVED_FOLLOWING, "KV318_SERVED_FOLLOWING"),
    (_lib.SERVED_CONTROLLING, "KV318_SERVED_CONTROLLING"),
    (_lib.SERVED_BUSY, "KV318_SERVED_BUSY"),
    (_lib.SERVED_GONE, "KV318_SERVED_GONE"),
    (_lib.SERVED_DISCONNECTED, "KV318_SERVED_DISCONNECTED"),
    (_lib.SERVED_ENDED, "KV318_SERVED_ENDED"),
    (round(_lib.SERVED_SILENCE_S * 1000), "KV318_SERVED_SILENCE_MS"),
    (_lib.GAP_BUCKETS, "KV318_GAP_BUCKETS"),
])
def test_served_flags_and_bounds_are_the_headers(package_value, header_name):
    assert package_value == header_defines()[header_name]
