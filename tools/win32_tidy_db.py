#!/usr/bin/env python3
"""Writes a compilation database clang-tidy can read for the win32 files.

The windows64 build compiles with mingw-w64's GCC, and clang parses those
commands only after three changes: the mingw-w64 target, GCC's own C++
library headers (clang's MinGW driver does not find them under Debian's
"12-posix" directory name), and no GCC-only flags.  Response files are
spelled out so that clang-tidy needs nothing but the database.

Usage: win32_tidy_db.py BUILD_DIR OUT_DIR FILE...
Keeps the entries of FILE... (absolute paths) only; exits 1 when one of
them is not in BUILD_DIR/compile_commands.json.
"""

import json
import os
import shlex
import subprocess
import sys

TARGET = "--target=x86_64-w64-mingw32"
# Flags GCC takes and clang refuses outright.
GCC_ONLY = {"-fno-keep-inline-dllexport"}


def cxx_include_dirs(compiler):
    """The C++ library directories the cross compiler searches, in its order."""
    probe = subprocess.run([compiler, "-xc++", "-E", "-v", "-"], input="", capture_output=True, text=True, check=True)
    lines = probe.stderr.splitlines()
    start = lines.index("#include <...> search starts here:") + 1
    end = lines.index("End of search list.")
    # GCC's own intrinsics (./include, ./include-fixed) stay out: clang has
    # its own, and GCC's use builtins clang lacks.
    dirs = [os.path.normpath(d.strip()) for d in lines[start:end]]
    return [d for d in dirs if "/c++" in d or d.endswith("mingw32/include")]


def expand(args, directory):
    """The arguments with each @response-file replaced by its contents."""
    out = []
    for a in args:
        if a.startswith("@"):
            with open(os.path.join(directory, a[1:]), encoding="utf-8") as f:
                out.extend(shlex.split(f.read()))
        else:
            out.append(a)
    return out


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    build, out_dir, wanted = argv[0], argv[1], set(argv[2:])
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        entries = [e for e in json.load(f) if e["file"] in wanted]
    missing = wanted - {e["file"] for e in entries}
    if missing:
        print("win32_tidy_db: not in the windows64 build: " + " ".join(sorted(missing)), file=sys.stderr)
        return 1
    includes = {}
    db = []
    for e in entries:
        args = shlex.split(e["command"]) if "command" in e else list(e["arguments"])
        compiler = args[0]
        if compiler not in includes:
            includes[compiler] = cxx_include_dirs(compiler)
        args = [a for a in expand(args[1:], e["directory"]) if a not in GCC_ONLY]
        system = [x for d in includes[compiler] for x in ("-isystem", d)]
        db.append({"directory": e["directory"], "file": e["file"],
                   "arguments": ["clang++", TARGET] + system + args})
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "compile_commands.json"), "w", encoding="utf-8") as f:
        json.dump(db, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
