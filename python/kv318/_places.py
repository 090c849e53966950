"""Where kv318 meets the rest of the machine: the driver directory in which
Linux drivers (and kv318-sim) publish boards, and the lock file that says
which process is streaming a board.

Both follow the library's own rules, so that what kv318 reports names the
place the library really looked at.  The functions take the environment and
the platform as arguments, so tests can ask about any setting.
"""

import errno
import os
import re
import sys
import time

ENV_DRIVER_DIR = "KV318_DRIVER_DIR"

# The library holds one byte of the lock file at this offset on Windows, so
# the pid written at offset 0 stays readable while it is held.
_WINDOWS_LOCK_OFFSET = 0x40000000
# How long to wait for a holder that has just taken the lock to write its
# pid: it truncates the file and writes it right after taking the lock.
_PID_WAIT = 0.5
_PID_TEXT = re.compile(rb"(\d+)\n")
# The library's second lock on Linux: an abstract Unix socket named after
# the lock file, which holds the board even when the file is removed.
_SOCKET_PREFIX = b"kv318-lock:"
_SOCKET_NAME_MAX = 108  # sizeof(sockaddr_un.sun_path), the leading NUL included


class DriverDirectory:
    """The directory the library looks in for a board's socket (Linux).

    `path` is the directory; `explicit` is True when KV318_DRIVER_DIR named
    it; `refused` says why the library will not use a default directory
    (a symbolic link, or owned by another user), else None."""

    def __init__(self, path, explicit, refused=None):
        self.path = path
        self.explicit = explicit
        self.refused = refused

    def __repr__(self):
        return f"DriverDirectory({self.path!r}, explicit={self.explicit}, refused={self.refused!r})"


def driver_directory(environ=None, euid=None, lstat=os.lstat):
    """The driver directory the library uses: $KV318_DRIVER_DIR when set and
    not empty; else $XDG_RUNTIME_DIR/kv318 when that is set, not empty and
    absolute; else /tmp/kv318-<euid>.  A default (not named by
    KV318_DRIVER_DIR) that is a symbolic link or belongs to another user is
    refused: someone else could plant boards there or redirect them."""
    environ = os.environ if environ is None else environ
    euid = os.geteuid() if euid is None else euid
    explicit = environ.get(ENV_DRIVER_DIR, "")
    if explicit:
        return DriverDirectory(explicit, True)
    runtime = environ.get("XDG_RUNTIME_DIR", "")
    if runtime and os.path.isabs(runtime):
        path = os.path.join(runtime, "kv318")
    else:
        path = f"/tmp/kv318-{euid}"
    try:
        st = lstat(path)
    except OSError:
        return DriverDirectory(path, False)  # not there yet: nothing to refuse
    refused = None
    if (st.st_mode & 0o170000) == 0o120000:
        refused = f"{path} is a symbolic link"
    elif st.st_uid != euid:
        refused = f"{path} belongs to user {st.st_uid}, not to you"
    if refused:
        refused += f"; set {ENV_DRIVER_DIR} to a directory of your own"
    return DriverDirectory(path, False, refused)


def not_found_hint(board, windows=None, environ=None, euid=None):
    """Where the library looked for board `board` and what to do about it,
    for BoardNotFound."""
    windows = sys.platform == "win32" if windows is None else windows
    if windows:
        return (f"no driver publishes \\\\.\\KV318Device{board} and no kv318-sim serves "
                f"\\\\.\\pipe\\KV318Device{board}; plug the board in or start kv318-sim")
    d = driver_directory(environ, euid)
    if d.refused:
        return f"driver directory refused: {d.refused}"
    return (f"driver directory {d.path}: no driver serves KV318Device{board} there; start the board's "
            f"driver or kv318-sim, or set {ENV_DRIVER_DIR} to its directory, which must be yours and "
            "writable by you alone")


def lock_path(board, windows=None, environ=None, temp_dir=None):
    """The file whose lock the library holds while board `board` streams:
    KV318Device<N>.lock in the driver directory (Linux) or in the
    directory GetTempPathW returns (Windows)."""
    windows = sys.platform == "win32" if windows is None else windows
    name = f"KV318Device{board}.lock"
    if windows:
        return os.path.join(temp_dir if temp_dir is not None else _windows_temp_dir(), name)
    return os.path.join(driver_directory(environ).path, name)


def _windows_temp_dir():
    # GetTempPathW itself rather than tempfile.gettempdir(): the two read
    # TMP, TEMP and the rest in different orders, and only the library's
    # answer finds its lock.
    import ctypes

    buf = ctypes.create_unicode_buffer(300)
    n = ctypes.windll.kernel32.GetTempPathW(len(buf), buf)
    return buf.value if 0 < n < len(buf) else ""


def lock_holder(board, path=None):
    """Whether another open of the lock file holds board `board`'s
    acquisition lock right now.  Returns None when nobody holds it, else
    the holder's pid, or 0 when the pid could not be read (also when the
    holder's file was removed and only its lock socket holds the board).

    The check takes a shared lock for a moment when nobody holds the lock
    and lets go at once: a start that meets it only retries for a moment,
    while an exclusive lock here could make a start fail."""
    path = lock_path(board) if path is None else path
    if sys.platform == "win32":
        return _windows_lock_holder(path)
    import fcntl

    try:
        # No link following and no blocking open: the file is only read.
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        fd = None
    if fd is not None:
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
            except BlockingIOError:
                return _read_pid(fd)
            fcntl.flock(fd, fcntl.LOCK_UN)
        finally:
            os.close(fd)
    # A holder whose lock file was removed still holds the board; who it
    # is, its socket does not say.
    return 0 if lock_socket_bound(path) else None


def _fnv1a(data):
    h = 0xcbf29ce484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


def lock_socket_name(path):
    """The abstract socket name (leading NUL included) that the library
    binds beside the flock on lock file `path` (Linux): "kv318-lock:" and
    the file's absolute path, its directory resolved, or a hash of that
    path where it is too long."""
    directory, name = os.path.split(os.fsencode(path))
    full = os.path.join(os.path.realpath(os.path.abspath(directory or b".")), name)
    socket_name = b"\0" + _SOCKET_PREFIX + full
    if len(socket_name) > _SOCKET_NAME_MAX:
        socket_name = b"\0" + _SOCKET_PREFIX + b"#%016x:" % _fnv1a(full) + name
    return socket_name


def lock_socket_bound(path):
    """Whether some process holds the library's lock socket of lock file
    `path` (Linux), looked at with a datagram connect that sends nothing
    and takes nothing."""
    import socket

    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
        try:
            s.connect(lock_socket_name(path))
        except ConnectionRefusedError:
            return False
        except OSError as e:
            # A socket of another type under the name still holds it.
            return e.errno == errno.EPROTOTYPE
    return True


def lock_file_problem(board, path=None):
    """Why the library will not use board `board`'s lock file (Linux): a
    sentence naming the file, or None when it will or there is none yet.
    The library refuses every start of the board while there is one."""
    path = lock_path(board) if path is None else path
    if sys.platform == "win32":
        return None
    import stat

    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    except OSError as e:
        return f"the lock file {path} cannot be used: {e.strerror}"
    what = None
    if stat.S_ISLNK(st.st_mode):
        what = "is a symbolic link"
    elif stat.S_ISFIFO(st.st_mode):
        what = "is a FIFO"
    elif stat.S_ISDIR(st.st_mode):
        what = "is a directory"
    elif not stat.S_ISREG(st.st_mode):
        what = "is not a regular file"
    elif st.st_uid != os.geteuid():
        what = f"belongs to another user (uid {st.st_uid})"
    return f"the lock file {path} {what}" if what else None


def _windows_lock_holder(path):
    # A shared lock, as on Linux: msvcrt.locking can only take an exclusive
    # one, which a start meeting it would take for a holder's.
    import ctypes
    import msvcrt
    from ctypes import wintypes

    class Overlapped(ctypes.Structure):
        _fields_ = [("Internal", ctypes.c_size_t), ("InternalHigh", ctypes.c_size_t),
                    ("Offset", wintypes.DWORD), ("OffsetHigh", wintypes.DWORD), ("hEvent", wintypes.HANDLE)]

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    lock = kernel32.LockFileEx
    lock.argtypes = (wintypes.HANDLE, wintypes.DWORD, wintypes.DWORD, wintypes.DWORD, wintypes.DWORD,
                     ctypes.POINTER(Overlapped))
    lock.restype = wintypes.BOOL
    unlock = kernel32.UnlockFileEx
    unlock.argtypes = (wintypes.HANDLE, wintypes.DWORD, wintypes.DWORD, wintypes.DWORD, ctypes.POINTER(Overlapped))
    unlock.restype = wintypes.BOOL
    fail_immediately, lock_violation = 0x1, 33
    try:
        fd = os.open(path, os.O_RDONLY | os.O_BINARY)
    except OSError:
        return None
    try:
        handle = msvcrt.get_osfhandle(fd)
        at = Overlapped(Offset=_WINDOWS_LOCK_OFFSET)
        if lock(handle, fail_immediately, 0, 1, 0, ctypes.byref(at)):
            unlock(handle, 0, 1, 0, ctypes.byref(at))
            return None
        if ctypes.get_last_error() == lock_violation:
            return _read_pid(fd)
        return None
    finally:
        os.close(fd)


def _read_pid(fd):
    """The pid the holder wrote at the start of the file: decimal text and
    a newline.  Waits a little for a holder that is still writing it."""
    deadline = time.monotonic() + _PID_WAIT
    while True:
        text = os.pread(fd, 32, 0) if hasattr(os, "pread") else _read_at_start(fd)
        m = _PID_TEXT.fullmatch(text)
        if m:
            return int(m.group(1))
        if time.monotonic() > deadline:
            return 0
        time.sleep(0.01)


def _read_at_start(fd):
    os.lseek(fd, 0, os.SEEK_SET)
    return os.read(fd, 32)
