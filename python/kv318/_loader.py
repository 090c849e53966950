"""Finding and loading the KV318 shared library.

The search order is: the file named by KV318_LIBRARY (and nothing else when
it is set, so a wrong setting is reported rather than quietly bypassed),
then the file installed beside this package, then the system's own search
path.  On Windows the DLL must match the interpreter: 32-bit Python loads
the 32-bit KV318.dll through WinDLL (stdcall), 64-bit Python the x64 build.
A DLL of the other kind is passed over with a note, so a mixed-up install
says what went wrong instead of failing with a bare "not a valid Win32
application".

The choice is made by plain functions over a `Platform` record, so tests can
ask what would happen on Windows from any machine.
"""

from __future__ import annotations

import ctypes
import os
import struct
import sys
from dataclasses import dataclass, field
from typing import Callable, Mapping, Optional

from ._version import __version__

ENV_LIBRARY = "KV318_LIBRARY"
# The library's major version: the suffix of its run-time file name on Linux.
_MAJOR = __version__.split(".")[0]

# PE machine field values for the two Windows builds.
MACHINE_I386 = 0x014C
MACHINE_AMD64 = 0x8664


@dataclass(frozen=True)
class Platform:
    """The facts the search depends on."""

    windows: bool
    pointer_bits: int  # 32 or 64: the interpreter's, not the machine's
    package_dir: str
    environ: Mapping[str, str] = field(default_factory=dict)
    # The directories of the Windows search path (PATH); unused elsewhere.
    search_dirs: tuple = ()

    @staticmethod
    def current() -> "Platform":
        windows = sys.platform == "win32"
        path = os.environ.get("PATH", "") if windows else ""
        return Platform(
            windows=windows,
            pointer_bits=struct.calcsize("P") * 8,
            package_dir=os.path.dirname(os.path.abspath(__file__)),
            environ=dict(os.environ),
            search_dirs=tuple(d for d in path.split(os.pathsep) if d),
        )


@dataclass(frozen=True)
class Candidate:
    """One place to try: a path (or a bare name for the loader's own
    search), the ctypes loader to use, and how to describe it."""

    target: str
    loader: str  # "CDLL" or "WinDLL"
    where: str
    is_path: bool = True


def library_file_name(platform: Platform) -> str:
    return "KV318.dll" if platform.windows else "libKV318.so"


def loader_for(platform: Platform) -> str:
    # Only 32-bit Windows has a separate stdcall convention; on x64 there is
    # one convention and CDLL and WinDLL are the same thing.
    return "WinDLL" if platform.windows and platform.pointer_bits == 32 else "CDLL"


def candidates(platform: Platform) -> list:
    """The places to look, in order."""
    loader = loader_for(platform)
    name = library_file_name(platform)
    explicit = platform.environ.get(ENV_LIBRARY, "")
    if explicit:
        return [Candidate(explicit, loader, f"{ENV_LIBRARY}={explicit}")]
    beside = os.path.join(platform.package_dir, name)
    found = [Candidate(beside, loader, f"beside the package: {beside}")]
    if platform.windows:
        # Walk PATH here rather than leave it to LoadLibrary, so a DLL of
        # the wrong width is seen, named and skipped.
        for d in platform.search_dirs:
            p = os.path.join(d, name)
            found.append(Candidate(p, loader, f"on PATH: {p}"))
    else:
        # A distribution's run-time package (Debian's libkv318-1) holds only
        # the versioned name; the bare one comes with its development package.
        for n in (name, f"{name}.{_MAJOR}"):
            found.append(Candidate(n, loader, f"{n} on the system's library search path", is_path=False))
    return found


def where_from(platform: Platform) -> str:
    """Where the library comes from, for the error that found none."""
    if platform.windows:
        built = "build\\windows\\library\\KV318.dll" if platform.pointer_bits == 32 else (
            "build\\windows64\\library\\KV318.dll")
        installed = "the KV318 MSI or zip of this width"
    else:
        built = "build/linux/library/libKV318.so"
        installed = "the library's package (Debian: libkv318-1)"
    return (
        "A source install (pip install ./python) carries no library of its own: install the platform wheel, "
        f"which does, or {installed}; or build it (the project's CMake preset) and set {ENV_LIBRARY} to its "
        f"path, such as {built}."
    )


def pe_machine(path: str) -> Optional[int]:
    """The machine field of a PE file's header, or None when the file is not
    a readable PE image."""
    try:
        with open(path, "rb") as f:
            head = f.read(64)
            if len(head) < 64 or head[:2] != b"MZ":
                return None
            (offset,) = struct.unpack_from("<I", head, 0x3C)
            f.seek(offset)
            sig = f.read(6)
    except OSError:
        return None
    if len(sig) < 6 or sig[:4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", sig, 4)[0]


def width_mismatch(path: str, platform: Platform) -> Optional[str]:
    """Why a Windows DLL cannot be loaded by this interpreter, or None."""
    if not platform.windows:
        return None
    machine = pe_machine(path)
    want = MACHINE_AMD64 if platform.pointer_bits == 64 else MACHINE_I386
    if machine is None or machine == want:
        return None  # let the loader report anything else
    kind = {MACHINE_I386: "32-bit", MACHINE_AMD64: "64-bit"}.get(machine, f"machine 0x{machine:04X}")
    return f"is a {kind} DLL, but this Python is {platform.pointer_bits}-bit"


def _ctypes_loader(kind: str) -> Callable:
    return getattr(ctypes, kind)


def load(platform: Optional[Platform] = None, loader: Callable = _ctypes_loader):
    """Loads the library from the first place that works.  Returns the
    ctypes library object, the path (or, from the system's search path, the
    name) it was loaded by, and a description of where that was.
    Raises ImportError listing every place tried and why each failed."""
    platform = platform or Platform.current()
    tried = []
    for c in candidates(platform):
        if c.is_path:
            if not os.path.isfile(c.target):
                tried.append(f"{c.where}: no such file")
                continue
            why = width_mismatch(c.target, platform)
            if why:
                tried.append(f"{c.where}: {why}")
                continue
        target = os.path.abspath(c.target) if c.is_path else c.target
        try:
            return loader(c.loader)(target), target, c.where
        except OSError as e:
            tried.append(f"{c.where}: {e}")
    raise ImportError(
        "kv318: cannot load the KV318 library; looked at:\n  "
        + "\n  ".join(tried)
        + "\n"
        + where_from(platform)
    )
