"""What the package repeats from the C++ project must match it: the
version, and (once the header states them) the array sizes."""

import re
from pathlib import Path

import pytest

import kv318
from kv318 import board

SOURCE_ROOT = Path(kv318.__file__).resolve().parents[2]


def test_version_is_the_projects():
    cmake = (SOURCE_ROOT / "CMakeLists.txt").read_text()
    m = re.search(r"project\s*\(\s*KV318\s+VERSION\s+(\d+\.\d+\.\d+)", cmake)
    assert m, "CMakeLists.txt has no project(KV318 VERSION x.y.z)"
    assert kv318.__version__ == m.group(1)
    # Not a leftover import: kv318.version once was importlib's function,
    # which raised when called without a distribution name.
    assert not callable(getattr(kv318, "version", None))


def test_array_sizes_match_the_header():
    header = (SOURCE_ROOT / "library" / "include" / "KV318.h").read_text()
    defined = {name: int(value) for name, value in re.findall(r"#define\s+(KV318_\w+)\s+\(?(\d+)", header)}
    ours = {"KV318_M_READ": kv318.POLL_READ_SAMPLES, "KV318_READ": kv318.STREAM_READ_SAMPLES,
            "KV318_INFO": board._INFO_BYTES}
    found = {}
    for name, value in defined.items():
        for prefix in ours:  # KV318_M_READ before KV318_READ
            if name.startswith(prefix):
                found.setdefault(prefix, (name, value))
                break
    if not found:
        pytest.skip("library/include/KV318.h does not define the array sizes yet")
    for prefix, (name, value) in found.items():
        assert value == ours[prefix], f"{name} is {value} in KV318.h, {ours[prefix]} in kv318"
