"""One acquisition per board across processes: a start the library refuses
because another process holds the board's lock is BoardBusy, naming the
holder; and where kv318 looks for boards and locks."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

import kv318
from kv318 import _places
from support import ramp

PYTHON_DIR = Path(kv318.__file__).resolve().parents[1]

# Holds the lock file the way the library does: flock, then the pid as
# decimal text and a newline (or, with "silent", nothing yet).  Says
# "held" and keeps it until its standard input closes.
LOCK_HOLDER = textwrap.dedent('''
    import fcntl, os, sys
    fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o600)
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    os.ftruncate(fd, 0)
    if sys.argv[2] != "silent":
        os.write(fd, f"{os.getpid()}\\n".encode())
    print("held", flush=True)
    sys.stdin.read()
''')


def hold_lock(path, how="pid"):
    """A child process holding the lock file `path`; returns it once it
    holds the lock.  Close its stdin to let go."""
    child = subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, str(path), how],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "held\n"
    return child


def release(child):
    child.stdin.close()
    child.wait(timeout=30)
    child.stdout.close()


@pytest.mark.parametrize("kind", ["stream", "poll"])
@pytest.mark.parametrize(
    "lock, expected",
    [
        ("held", "pid"),  # BoardBusy with the holder's pid
        ("held silent", "unknown"),  # held, the pid not (yet) written
        ("stale", None),  # a file a finished holder left, not locked: not busy
        ("absent", None),
    ],
)
def test_a_refused_start_says_who_streams_the_board(sim_factory, kind, lock, expected):
    # A held lock makes the library refuse the start before any request.
    # Without one, the pipe reset of the start sequence fails once, so the
    # start is refused for a reason that is not the lock.
    held = lock.startswith("held")
    sim = sim_factory(signal="ramp", fail=() if held else "0x8E:once")
    path = Path(sim.dir) / "KV318Device0.lock"
    assert _places.lock_path(0) == str(path)
    child = None
    if held:
        child = hold_lock(path, "silent" if lock.endswith("silent") else "pid")
    elif lock == "stale":
        path.write_text("999999\n")
    try:
        with kv318.open(0) as board:
            acq = getattr(board, kind)()
            if expected is None:
                with pytest.raises(kv318.RequestFailed, match="failed"):
                    acq.start()
            else:
                with pytest.raises(kv318.BoardBusy) as e:
                    acq.start()
                pid = child.pid if expected == "pid" else None
                who = f"pid {pid}" if pid else "pid unknown"
                assert str(e.value) == f"board 0 is streaming in another process ({who})"
                assert (e.value.board, e.value.pid, e.value.code) == (0, pid, -1)
                assert isinstance(e.value, kv318.KV318Error)
                # The library's words name the holder's program as the
                # kernel keeps its name.
                export = "KV318_AD" if kind == "stream" else "KV318_M_AD"
                if pid:
                    holder = f"{Path(f'/proc/{pid}/comm').read_text().strip()} (pid {pid})"
                else:
                    holder = "another process"
                assert e.value.detail == f"{export}: board 0 is busy: acquisition is held by {holder}"
            assert not acq.running
    finally:
        if child is not None:
            release(child)
    # Nothing held on to: once the holder has gone, the board streams.
    with kv318.open(0) as board, getattr(board, kind)() as acq:
        np.testing.assert_array_equal(acq.read(100, timeout=30), ramp(0, 100))


@pytest.mark.parametrize("lock", ["held", "held silent", "absent"])
def test_registers_of_a_board_another_process_holds_are_refused_naming_it(sim_factory, lock):
    sim = sim_factory(signal="ramp")
    child = hold_lock(Path(sim.dir) / "KV318Device0.lock", "silent" if lock.endswith("silent") else "pid")
    if lock == "absent":
        release(child)
    try:
        with kv318.open(0) as board:
            board.do(0x0F0F)
            assert board.di() == 0x0F0F, "the digital lines stay free"
            for call in (lambda: board.inb(4), lambda: board.outb(4, 0x0B)):
                if lock == "absent":
                    call()
                    continue
                with pytest.raises(kv318.BoardBusy) as e:
                    call()
                pid = child.pid if lock == "held" else None
                assert (e.value.board, e.value.pid) == (0, pid)
            if lock == "absent":
                assert board.inb(4) == 0x0B, "register 4 reads back the mode byte"
    finally:
        if lock != "absent":
            release(child)


SECOND_PROCESS = textwrap.dedent('''
    import sys, kv318
    with kv318.open(0) as board:
        try:
            with getattr(board, sys.argv[1])() as acq:
                acq.read(10, timeout=30)
            print("started")
        except kv318.BoardBusy as e:
            print(f"busy {e.pid} {e}")
''')


@pytest.mark.parametrize("first", ["stream", "poll"])
@pytest.mark.parametrize("second", ["stream", "poll"])
@pytest.mark.parametrize("removed", [False, True], ids=["file", "file-removed"])
def test_a_second_process_is_refused_and_the_first_streams_on(sim_factory, first, second, removed):
    sim_factory(signal="ramp")
    with kv318.open(0) as board, getattr(board, first)(divider=50) as acq:
        before = acq.read(1000, timeout=30)
        holder = os.getpid()
        if removed:
            # The board stays held; only who holds it is no longer known.
            os.remove(_places.lock_path(0))
            holder = None
            assert _places.lock_holder(0) == 0
        r = subprocess.run([sys.executable, "-c", SECOND_PROCESS, second], capture_output=True, text=True,
                           timeout=120, env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
        assert r.returncode == 0, r.stderr
        if r.stdout.startswith("started"):
            pytest.skip("the library in use lets a second process start an acquisition on a streaming "
                        "board: it does not take the board's acquisition lock")
        assert r.stdout == f"busy {holder} board 0 is streaming in another process (pid {holder or 'unknown'})\n"
        after = acq.read(20000, timeout=30)
    np.testing.assert_array_equal(np.concatenate([before, after]), ramp(0, 21000))


def _stat(mode, uid):
    return lambda path: SimpleNamespace(st_mode=mode, st_uid=uid)


def _missing(path):
    raise FileNotFoundError(path)


DIRECTORY = 0o040700
LINK = 0o120777


@pytest.mark.parametrize(
    "environ, lstat, path, refused",
    [
        ({"KV318_DRIVER_DIR": "/x"}, _stat(LINK, 0), "/x", None),  # named: used as it is
        ({"KV318_DRIVER_DIR": "", "XDG_RUNTIME_DIR": "/run/user/5"}, _missing, "/run/user/5/kv318", None),
        ({"XDG_RUNTIME_DIR": "/run/user/5"}, _stat(DIRECTORY, 5), "/run/user/5/kv318", None),
        ({"XDG_RUNTIME_DIR": "run/user/5"}, _missing, "/tmp/kv318-5", None),  # not absolute
        ({"XDG_RUNTIME_DIR": ""}, _missing, "/tmp/kv318-5", None),
        ({}, _stat(LINK, 5), "/tmp/kv318-5", "/tmp/kv318-5 is a symbolic link"),
        ({}, _stat(DIRECTORY, 6), "/tmp/kv318-5", "/tmp/kv318-5 belongs to user 6, not to you"),
    ],
)
def test_the_driver_directory(environ, lstat, path, refused):
    d = _places.driver_directory(environ, euid=5, lstat=lstat)
    assert d.path == path
    assert d.explicit == bool(environ.get("KV318_DRIVER_DIR"))
    if refused is None:
        assert d.refused is None
    else:
        assert d.refused == f"{refused}; set KV318_DRIVER_DIR to a directory of your own"


def test_board_not_found_names_where_it_looked(sim_factory, monkeypatch, tmp_path):
    sim = sim_factory()
    with pytest.raises(kv318.BoardNotFound) as e:
        kv318.open(1)
    assert f"(driver directory {sim.dir}: no driver serves KV318Device1 there;" in str(e.value)
    assert "KV318_DRIVER_DIR" in str(e.value)
    assert e.value.detail == (f"KV318_OpenDevice: board 1: no such board (driver channel {sim.dir}/KV318Device1 "
                              "not found)")

    # Without KV318_DRIVER_DIR: the default, or why it is refused.  (Board
    # 99, which no kv318-sim serves, whatever directory the library uses.)
    monkeypatch.delenv("KV318_DRIVER_DIR")
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "kv318").symlink_to(tmp_path / "elsewhere")
    with pytest.raises(kv318.BoardNotFound) as e:
        kv318.open(99)
    assert f"driver directory refused: {tmp_path / 'kv318'} is a symbolic link; set KV318_DRIVER_DIR" in str(e.value)

    hint = _places.not_found_hint(2, windows=True)
    assert "\\\\.\\KV318Device2" in hint and "\\\\.\\pipe\\KV318Device2" in hint


def test_a_look_at_who_holds_a_board_leaves_room_for_a_start(tmp_path, monkeypatch):
    """The look holds a shared lock while it looks: a start that meets it sees
    only a look and waits it out, where an exclusive one would refuse it."""
    import fcntl

    path = tmp_path / "KV318Device0.lock"
    path.write_text("")
    seen = []
    real_flock = fcntl.flock

    def flock_then_try_another(fd, op):
        real_flock(fd, op)
        if op & (fcntl.LOCK_SH | fcntl.LOCK_EX):
            # Another open of the file, as a starting library would try it.
            other = os.open(path, os.O_RDWR)
            try:
                real_flock(other, fcntl.LOCK_SH | fcntl.LOCK_NB)
                seen.append("shared")
            except BlockingIOError:
                seen.append("exclusive")
            finally:
                os.close(other)

    monkeypatch.setattr(fcntl, "flock", flock_then_try_another)
    assert _places.lock_holder(0, path=str(path)) is None
    assert seen == ["shared"]


@pytest.mark.parametrize("kind", ["stream", "poll"])
@pytest.mark.parametrize("make, words", [
    (lambda p: os.mkfifo(p), "is a FIFO"),
    (lambda p: os.mkdir(p), "is a directory"),
    (lambda p: os.symlink(p + ".elsewhere", p), "is a symbolic link"),
])
def test_a_lock_file_the_library_will_not_use_is_named(sim_factory, kind, make, words):
    sim = sim_factory(signal="ramp")
    path = os.path.join(sim.dir, "KV318Device0.lock")
    make(path)
    with kv318.open(0) as board:
        with pytest.raises(kv318.RequestFailed) as e:
            getattr(board, kind)().start()
    assert str(e.value) == f"board 0 cannot be started: the lock file {path} {words}"
    export = "KV318_AD" if kind == "stream" else "KV318_M_AD"
    assert e.value.detail == f"{export}: board 0 cannot be started: the lock file {path} {words}"
