"""Finding the library: the search order and the Windows width check with the
platform's facts given, and the real import in fresh interpreters."""

import os
import shutil
import struct
import subprocess
import sys

import pytest

import kv318
from kv318 import _loader
from kv318._loader import MACHINE_AMD64, MACHINE_I386, Platform


def write_pe(path, machine):
    """A file with just enough of a PE header to carry its machine field."""
    head = bytearray(64)
    head[:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 64)
    path.write_bytes(bytes(head) + b"PE\0\0" + struct.pack("<H", machine) + bytes(18))


@pytest.mark.parametrize(
    "windows, bits, env, loader, places",
    [
        (False, 64, {}, "CDLL", ["/pkg/libKV318.so", "libKV318.so", "libKV318.so." + kv318.__version__[0]]),
        (False, 64, {"KV318_LIBRARY": "/x/lib.so"}, "CDLL", ["/x/lib.so"]),
        (True, 32, {}, "WinDLL", ["/pkg/KV318.dll", "/a/KV318.dll", "/b/KV318.dll"]),
        (True, 64, {}, "CDLL", ["/pkg/KV318.dll", "/a/KV318.dll", "/b/KV318.dll"]),
        (True, 32, {"KV318_LIBRARY": "C:/k/KV318.dll"}, "WinDLL", ["C:/k/KV318.dll"]),
    ],
)
def test_search_order_and_loader(windows, bits, env, loader, places):
    p = Platform(windows=windows, pointer_bits=bits, package_dir="/pkg", environ=env, search_dirs=("/a", "/b"))
    found = _loader.candidates(p)
    assert [c.target.replace(os.sep, "/") for c in found] == places
    assert {c.loader for c in found} == {loader}


@pytest.mark.parametrize("bits, want_dir, want_loader", [(64, "on_path", "CDLL"), (32, "pkg", "WinDLL")])
def test_windows_loads_the_dll_matching_the_interpreter(tmp_path, bits, want_dir, want_loader):
    # A 32-bit DLL beside the package, a 64-bit one on PATH.
    (tmp_path / "pkg").mkdir()
    (tmp_path / "on_path").mkdir()
    write_pe(tmp_path / "pkg" / "KV318.dll", MACHINE_I386)
    write_pe(tmp_path / "on_path" / "KV318.dll", MACHINE_AMD64)
    p = Platform(windows=True, pointer_bits=bits, package_dir=str(tmp_path / "pkg"),
                 search_dirs=(str(tmp_path / "on_path"),))
    calls = []
    lib, path, where = _loader.load(p, loader=lambda kind: lambda target: calls.append((kind, target)) or "lib")
    assert calls == [(want_loader, str(tmp_path / want_dir / "KV318.dll"))]
    assert path == calls[0][1] and want_dir in where


def test_import_error_names_every_place_and_why(tmp_path):
    write_pe(tmp_path / "KV318.dll", MACHINE_AMD64)
    (tmp_path / "broken").mkdir()
    (tmp_path / "broken" / "KV318.dll").write_bytes(b"MZ but not a PE image")

    def refuse(kind):
        def load(target):
            raise OSError(f"cannot load {target}")
        return load

    p = Platform(windows=True, pointer_bits=32, package_dir=str(tmp_path),
                 search_dirs=(str(tmp_path / "missing"), str(tmp_path / "broken")))
    with pytest.raises(ImportError) as e:
        _loader.load(p, loader=refuse)
    text = str(e.value)
    assert f"beside the package: {tmp_path / 'KV318.dll'}: is a 64-bit DLL, but this Python is 32-bit" in text
    assert f"on PATH: {tmp_path / 'missing' / 'KV318.dll'}: no such file" in text
    assert f"cannot load {tmp_path / 'broken' / 'KV318.dll'}" in text
    assert "pip install ./python) carries no library" in text
    assert "set KV318_LIBRARY to its path, such as build\\windows\\library\\KV318.dll" in text


@pytest.mark.parametrize("compiler, machine", [("i686-w64-mingw32-gcc", MACHINE_I386),
                                               ("x86_64-w64-mingw32-gcc", MACHINE_AMD64)])
def test_width_of_real_dlls(tmp_path, compiler, machine):
    # The cross compilers the Windows builds use make a DLL of each width.
    if shutil.which(compiler) is None:
        pytest.skip(f"{compiler} is not installed")
    (tmp_path / "f.c").write_text("int __stdcall f(int x) { return x; }\n")
    subprocess.run([compiler, "-shared", "-o", str(tmp_path / "KV318.dll"), str(tmp_path / "f.c")], check=True)
    assert _loader.pe_machine(str(tmp_path / "KV318.dll")) == machine
    assert _loader.pe_machine(os.environ["KV318_LIBRARY"]) is None  # an ELF file


def run_import(env, path_entry):
    code = "import kv318; print(kv318.library_path)"
    env = {k: v for k, v in env.items() if v is not None}
    return subprocess.run([sys.executable, "-c", code], cwd=path_entry, env=env, capture_output=True, text=True,
                          timeout=60)


def test_import_with_a_wrong_setting_says_so(tmp_path):
    source = os.path.dirname(os.path.dirname(kv318.__file__))
    env = dict(os.environ, KV318_LIBRARY=str(tmp_path / "nowhere.so"), PYTHONPATH=source)
    r = run_import(env, tmp_path)
    assert r.returncode != 0
    assert f"ImportError: kv318: cannot load the KV318 library; looked at:\n  KV318_LIBRARY={tmp_path}" in r.stderr


def test_library_beside_the_package_then_the_search_path(tmp_path):
    package = tmp_path / "kv318"
    shutil.copytree(os.path.dirname(kv318.__file__), package, ignore=shutil.ignore_patterns("__pycache__"))
    env = dict(os.environ, KV318_LIBRARY=None, PYTHONPATH=str(tmp_path), LD_LIBRARY_PATH=None)

    # Nothing beside it, nothing on the search path: both named.
    r = run_import(env, tmp_path)
    assert "ImportError" in r.stderr
    assert f"beside the package: {package / 'libKV318.so'}: no such file" in r.stderr
    assert "libKV318.so on the system's library search path: " in r.stderr

    # On the search path.
    lib_dir = os.path.dirname(os.environ["KV318_LIBRARY"])
    r = run_import(dict(env, LD_LIBRARY_PATH=lib_dir), tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "libKV318.so"

    # Beside the package, which comes first.
    shutil.copy(os.environ["KV318_LIBRARY"], package / "libKV318.so")
    r = run_import(dict(env, LD_LIBRARY_PATH=lib_dir), tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == str(package / "libKV318.so")
