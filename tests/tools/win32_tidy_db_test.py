"""tools/win32_tidy_db.py on a made-up windows64 database: the entries kept,
the arguments clang gets, and the refusal of a file the build lacks."""

import json
import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "tools" / "win32_tidy_db.py"

# What `g++ -xc++ -E -v -` prints of its search list, as mingw-w64's does.
SEARCH_LIST = """\
#include "..." search starts here:
#include <...> search starts here:
 /gcc/12-posix/include/c++
 /gcc/12-posix/include/c++/x86_64-w64-mingw32
 /gcc/12-posix/include
 /gcc/12-posix/include-fixed
 /gcc/12-posix/../../../../x86_64-w64-mingw32/include
End of search list.
"""


@pytest.fixture
def build(tmp_path):
    compiler = tmp_path / "fake-g++"
    compiler.write_text("#!/bin/sh\ncat >/dev/null\ncat >&2 <<'END'\n" + SEARCH_LIST + "END\n")
    compiler.chmod(compiler.stat().st_mode | stat.S_IXUSR)
    obj = tmp_path / "lib"
    obj.mkdir()
    (obj / "includes.rsp").write_text("-I/src/a -I'/src/with space'\n")
    entries = [
        {"directory": str(obj), "file": "/src/win32/one.cpp",
         "command": f"{compiler} -DX=1 @includes.rsp -fno-keep-inline-dllexport -O3 -c /src/win32/one.cpp"},
        {"directory": str(obj), "file": "/src/linux/other.cpp",
         "arguments": [str(compiler), "-c", "/src/linux/other.cpp"]},
    ]
    (tmp_path / "compile_commands.json").write_text(json.dumps(entries))
    return tmp_path


def run(build, *files):
    out = build / "tidy"
    done = subprocess.run([sys.executable, str(SCRIPT), str(build), str(out), *files], capture_output=True, text=True)
    return done, out


def test_keeps_the_named_files_with_what_clang_needs(build):
    done, out = run(build, "/src/win32/one.cpp")
    assert done.returncode == 0, done.stderr
    [entry] = json.loads((out / "compile_commands.json").read_text())
    assert entry["file"] == "/src/win32/one.cpp"
    assert entry["arguments"] == [
        "clang++", "--target=x86_64-w64-mingw32",
        # GCC's C++ headers and mingw-w64's, not GCC's own intrinsics.
        "-isystem", "/gcc/12-posix/include/c++",
        "-isystem", "/gcc/12-posix/include/c++/x86_64-w64-mingw32",
        "-isystem", os.path.normpath("/gcc/12-posix/../../../../x86_64-w64-mingw32/include"),
        # The response file spelled out, the GCC-only flag gone.
        "-DX=1", "-I/src/a", "-I/src/with space", "-O3", "-c", "/src/win32/one.cpp",
    ]


def test_a_file_the_build_lacks_is_an_error(build):
    done, out = run(build, "/src/win32/one.cpp", "/src/win32/missing.cpp")
    assert done.returncode == 1
    assert "/src/win32/missing.cpp" in done.stderr
    assert not (out / "compile_commands.json").exists()
