"""A KV318 board: its handle, identity, registers, digital I/O, counter and
pulse generator, and the acquisitions started on it."""

import ctypes
import os
import weakref

from . import _checks, _interrupts, _places
from . import acquisition as _acquisition
from ._lib import last_error, lib
from .acquisition import Poll, Stream
from .errors import BoardBusy, BoardNotFound, RequestFailed

# What the library's text buffer for the identity strings holds.
_INFO_BYTES = 70
# The two identity strings are joined by three spaces.
_INFO_SEPARATOR = "   "


def open(board=0):  # noqa: A001 - the package's entry point, as open() is for files
    """Opens board number `board` and returns a Board.  Use it as a context
    manager, or call close().  Raises BoardNotFound when no board (and no
    simulator) answers under that number."""
    return Board(board)


class Board:
    """One opened board.  Its methods may be called from any thread; each
    call is one or a few requests on the board, made on the calling
    thread."""

    def __init__(self, board=0):
        self._handle = None
        self._forked_away = False
        # The process the handle belongs to: a forked child inherits the
        # object but not the right to use the parent's handle.
        self._pid = os.getpid()
        # The Stream or Poll running on this handle, weakly: dropping it
        # unstopped lets it be collected, which stops it.
        self._acquisition = None
        self.number = _checks.in_range("board", board, 0, 2**31 - 1)
        # A Ctrl-C between the open and the store would lose the handle;
        # held, it comes once the handle is ours to close.
        with _interrupts.held():
            handle = self._open_handle()
            detail = last_error() if handle == -1 else None
            if handle != -1:
                self._handle = handle
                _open_boards.add(self)
        if handle == -1:
            raise self._open_refused(detail)
        self.counter = Counter(self)
        self.pulse = Pulse(self)

    def _open_handle(self):
        """The library's handle of the board, or -1 (its words then say why)."""
        return lib.KV318_OpenDevice(self.number)

    def _open_refused(self, detail):
        """The exception for an open that failed, with the library's words."""
        return BoardNotFound(
            f"no KV318 board {self.number} answers ({_places.not_found_hint(self.number)})", code=-1, detail=detail)

    # ---- lifetime ----------------------------------------------------

    @property
    def handle(self):
        """The library's handle, for calling its exports directly."""
        self._check_open()
        return self._handle

    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Stops an acquisition still running on this board, then closes
        the handle.  Closing twice does nothing.  A KeyboardInterrupt
        during the close is raised once it is complete."""
        with _interrupts.held():
            if self._handle is None:
                return
            running = self._acquisition() if self._acquisition is not None else None
            if running is not None:
                running.close()
            handle, self._handle = self._handle, None
            _open_boards.discard(self)
            result = lib.KV318_CloseDevice(handle)
            detail = last_error() if result < 0 else None
        if result < 0:
            raise RequestFailed(f"closing board {self.number} failed", code=-1, detail=detail)

    def _forget(self):
        """After fork(), in the child: the handle and any acquisition on it
        are the parent's.  Drop them without a library call, so neither a
        close nor the collection of this object at the child's exit stops
        the parent's stream or sends on its connection."""
        running = self._acquisition() if self._acquisition is not None else None
        if running is not None:
            running._forget()
        self._acquisition = None
        self._handle = None
        self._forked_away = True

    def __enter__(self):
        self._check_open()
        return self

    def __del__(self):
        # A board dropped without close() gives its handle back.
        try:
            self.close()
        except Exception:
            pass

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        if self._forked_away:
            state = f"opened by process {self._pid}"
        else:
            state = "closed" if self.closed else f"handle {self._handle}"
        return f"<kv318.Board {self.number} ({state})>"

    def _check_open(self):
        if self._handle is None:
            if self._forked_away:
                raise ValueError(f"board {self.number} was opened by process {self._pid} before it forked; "
                                 "open the board again in this process")
            raise ValueError(f"board {self.number} is closed")

    def _request(self, what, result, detail=None):
        """`result` of the export just called on this thread, or RequestFailed
        with the library's words for its failure (`detail` when the caller
        fetched them already)."""
        if result < 0:
            raise RequestFailed(f"board {self.number}: {what} failed", code=result, detail=detail or last_error())
        return result

    # ---- identity and registers ----------------------------------------

    def info(self):
        """The board's two identity strings, as a tuple (first, second)."""
        text = ctypes.create_string_buffer(_INFO_BYTES)
        self._request("reading the identity strings", lib.KV318_Info(self.handle, text))
        # One byte per character of the board's strings; latin-1 maps
        # every byte, so nothing the board sends can fail to decode.
        joined = text.raw.split(b"\0", 1)[0].decode("latin-1")
        first, _, second = joined.partition(_INFO_SEPARATOR)
        return first, second

    def _register(self, what, result):
        # The library refuses register access, sending nothing, while
        # another process streams the board: a read of register 4 would
        # stop that stream.  Say who, as a refused start does.
        if result < 0:
            # The library's words first: they belong to the call just made.
            detail = last_error()
            holder = _places.lock_holder(self.number)
            if holder is not None and holder != os.getpid():
                raise BoardBusy(self.number, holder or None, detail=detail)
            return self._request(what, result, detail)
        return result

    def inb(self, reg):
        """Reads byte register `reg` (0-255).  BoardBusy while another
        process streams the board."""
        reg = _checks.in_range("reg", reg, 0, 255)
        return self._register(f"reading register {reg}", lib.KV318_inb(self.handle, reg))

    def outb(self, reg, value):
        """Writes `value` (0-255) to byte register `reg` (0-255).  BoardBusy
        while another process streams the board."""
        reg = _checks.in_range("reg", reg, 0, 255)
        value = _checks.in_range("value", value, 0, 0xFF, hex_digits=2)
        self._register(f"writing register {reg}", lib.KV318_outb(self.handle, reg, value))

    # ---- digital I/O ---------------------------------------------------

    def di(self):
        """The 16 digital inputs, bit k = DI k.  A failed read reads as
        0xFFFF, which the library cannot tell from all inputs high."""
        return lib.KV318_DI(self.handle) & 0xFFFF

    def do(self, value):
        """Sets the 16 digital outputs to `value` (0-0xFFFF), bit k = DO k."""
        value = _checks.in_range("value", value, 0, 0xFFFF, hex_digits=4)
        self._request("writing the digital outputs", lib.KV318_DO(self.handle, value))

    # ---- analog input --------------------------------------------------

    def stream(self, divider=50, mode=(0, 0, 0, 0), clock_hz=2_000_000, timeout=5.0,
               fifo_bytes=_acquisition.FIFO_BYTES):
        """A timer-driven acquisition, as a context manager: see Stream."""
        self._check_open()
        return Stream(self, divider=divider, mode=mode, clock_hz=clock_hz, timeout=timeout, fifo_bytes=fifo_bytes)

    def poll(self, divider=50, mode=(0, 0, 0, 0), clock_hz=2_000_000, timeout=5.0,
             fifo_bytes=_acquisition.FIFO_BYTES):
        """A polled acquisition, as a context manager: see Poll."""
        self._check_open()
        return Poll(self, divider=divider, mode=mode, clock_hz=clock_hz, timeout=timeout, fifo_bytes=fifo_bytes)


# Every open Board of this process, for the fork handler below.
_open_boards = weakref.WeakSet()


def _forget_after_fork():
    for board in list(_open_boards):
        board._forget()
    _open_boards.clear()
    _acquisition._forget_after_fork()


if hasattr(os, "register_at_fork"):  # not on Windows, which has no fork
    os.register_at_fork(after_in_child=_forget_after_fork)


class Counter:
    """The board's 16-bit counter."""

    def __init__(self, board):
        self._board = board

    def start(self):
        """Starts the count from 0."""
        b = self._board
        b._request("starting the counter", lib.KV318_CRun(b.handle))

    def read(self):
        """The count, 0-65535, or None while the board reports no valid
        count (not started, or past 65535)."""
        value = lib.KV318_CRead(self._board.handle)
        return None if value < 0 else value


class Pulse:
    """The board's pulse generator, running at 2 MHz / divisor."""

    def __init__(self, board):
        self._board = board

    def start(self, mode, divisor):
        """Starts the generator: mode 0 for a continuous train, 1 for a
        single pulse; divisor 2-255."""
        mode = _checks.in_range("mode", mode, 0, 1)
        divisor = _checks.in_range("divisor", divisor, 2, 255)
        b = self._board
        b._request("starting the pulse generator", lib.KV318_PRun(b.handle, mode, divisor))

    def stop(self):
        b = self._board
        b._request("stopping the pulse generator", lib.KV318_PStop(b.handle))
