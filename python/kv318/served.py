"""kv318.connect: a board that kv318-server serves, with the API of a board
opened with kv318.open, through the library's own client of the server
(KV318_OpenServed, KV318_Follow and KV318_ServedStatus in KV318.h).

The library speaks the protocol, keeps the board ours with its heartbeat
and bounds every wait for a silent server by KV318_SERVED_SILENCE_MS; this
module turns its results, its status and its words into the package's
exceptions.  A served handle works with every export a local one does, so
the board, its counter and its pulse generator are kv318.Board's, and the
acquisitions kv318.Stream's and kv318.Poll's, with what differs here:
errors named after the server, no process-wide admission (the server's
boards are not this process's ring), the stream's indices, and the
follower.
"""

import contextlib
import ctypes
import os
import shutil
import tempfile
import time
import weakref

import numpy as np

from . import _lib
from ._lib import last_error, lib
from .acquisition import FIFO_BYTES, Poll, Stream, _stream_error, fifo_may_have_run_over, fifo_overflow_text
from .board import Board, Counter
from .errors import (
    AcquisitionBusy,
    BoardControlled,
    BoardGone,
    BoardNotFound,
    FifoOverflow,
    KV318Error,
    RequestFailed,
    SamplesMissed,
    ServerGone,
    StreamEnded,
)

#: Where a server listens unless told otherwise, and where a client looks.
DEFAULT_URL = "tcp://127.0.0.1:6318"
_SCHEMES = ("tcp://", "ipc://")
# KV318.h promises these words for a server that stopped answering; a
# failed open has no status flags to say it otherwise.
_SILENCE_WORDS = "stopped answering"
# How often a follower that found no stream asks again whether one runs.
_JOIN_RETRY_S = 0.1
# The names the library looks for in a key directory: the server's public
# key, and one client secret key NAME.key (pipeline/remote/client_keys.h).
_SERVER_PUBLIC_FILE = "server.pub"
_CLIENT_SECRET_FILE = "client.key"


def connect(url=DEFAULT_URL, board=0, key=None):
    """Connects to board `board` of the kv318-server at `url` (its control
    URL, tcp://HOST:PORT or ipc://PATH) and returns a RemoteBoard: the API
    of kv318.open's board, plus follow() to read a stream another client
    runs.  Use it as a context manager, or call close().  Raises ServerGone
    when no server answers within 2.5 s, BoardNotFound when the open fails
    otherwise (no such board, unreadable keys, a library without its
    client; the library's words say which).  `key` makes the connection
    CURVE-encrypted, as a server reachable from other machines requires: a
    directory holding the server's public key server.pub and this client's
    key pair (NAME.key, NAME.pub), or a pair (server public key, client
    secret key) of Z85 strings.  Without it a loopback server's own user
    needs none."""
    return RemoteBoard(url, board, key)


@contextlib.contextmanager
def _key_directory(key):
    """The key directory to hand the library for `key`: None, a directory as
    it is, or for a pair of key strings a private directory holding them
    under the names the library reads, removed once the open has read it.
    Raises ValueError for anything else."""
    if key is None:
        yield None
        return
    if not isinstance(key, (tuple, list)):
        folder = os.fspath(key)
        if not os.path.isdir(folder):
            raise ValueError(f"key must be a key directory or a pair (server public key, client secret key); "
                             f"{folder} is not a directory")
        yield folder
        return
    if len(key) != 2:
        raise ValueError("key must be a key directory or a pair (server public key, client secret key)")
    texts = [k.decode("ascii", "replace") if isinstance(k, bytes) else str(k) for k in key]
    if any("\n" in t.strip() or "\r" in t.strip() for t in texts):
        raise ValueError("a key is one line of Z85 text")
    # mkdtemp makes the directory readable by this user alone.
    folder = tempfile.mkdtemp(prefix="kv318-keys-")
    try:
        for name, text in zip((_SERVER_PUBLIC_FILE, _CLIENT_SECRET_FILE), texts):
            fd = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            with os.fdopen(fd, "w", encoding="ascii", errors="replace") as f:
                f.write(text.strip() + "\n")
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _text(field):
    return field.decode("utf-8", "replace")


class RemoteBoard(Board):
    """A board served by kv318-server at `url`.  The methods of kv318.Board
    (info, di, do, inb, outb, counter, pulse, stream, poll) make the same
    calls on the server's board and raise the same errors, plus
    ServerGone when the server stops answering, BoardGone when the
    server's board went away, and BoardControlled when another client
    controls the board and this one's start is refused.  follow() joins a
    stream another client runs.  Methods may be called from any thread;
    reading a stream belongs to one thread at a time."""

    def __init__(self, url=DEFAULT_URL, board=0, key=None):
        if _lib.open_served is None:
            raise KV318Error(f"the library loaded from {_lib.where} has no client of kv318-server (KV318_OpenServed)")
        url = str(url)
        if not url.startswith(_SCHEMES) or len(url) <= len(_SCHEMES[0]):
            raise ValueError(f"{url!r} is not a kv318-server URL: use tcp://HOST:PORT or ipc://PATH")
        self.url = url
        # Kept for the follower's connection of its own.
        self._key = key
        super().__init__(board)
        self.counter = _Counter(self)

    def _open_handle(self):
        with _key_directory(self._key) as keys:
            return _lib.open_served(self.url.encode(), self.number, None if keys is None else os.fsencode(keys))

    def _open_refused(self, detail):
        if detail and _SILENCE_WORDS in detail:
            return ServerGone(self.url, detail)
        return BoardNotFound(f"board {self.number} of kv318-server at {self.url} cannot be opened", code=-1,
                             detail=detail)

    def __repr__(self):
        return super().__repr__().replace("kv318.Board", "kv318.RemoteBoard", 1).replace(
            f" {self.number} (", f" {self.number} at {self.url} (", 1)

    # ---- the library's view of the handle ------------------------------

    def _record(self):
        """The handle's KV318_SERVED_STATUS."""
        record = _lib.ServedStatusRecord()
        record.size = ctypes.sizeof(record)
        if _lib.served_status(self.handle, ctypes.byref(record)) != 0:
            raise KV318Error(f"board {self.number} at {self.url}: reading its status failed", detail=last_error())
        return record

    def status(self):
        """What the library knows of this connection, as a dict: url;
        following, controlling, busy (the last start was refused), gone
        (the server stopped answering), disconnected (the server's board
        went away), ended (a followed stream's controller stopped it);
        controller (who controls the board, after a refused start, else
        ""); stream (the server's number of the stream started or joined),
        clock_hz and divider as its controller gave them, next (the
        stream's index of the next sample a read returns), missed; failure
        (the last failure in words, "" when none)."""
        r = self._record()
        flags = r.flags
        out = {"url": _text(r.url), "controller": _text(r.controller), "failure": _text(r.failure),
               "stream": r.stream, "clock_hz": r.clock_hz, "divider": r.divider, "next": r.next_index,
               "missed": r.missed}
        for name, bit in (("following", _lib.SERVED_FOLLOWING), ("controlling", _lib.SERVED_CONTROLLING),
                          ("busy", _lib.SERVED_BUSY), ("gone", _lib.SERVED_GONE),
                          ("disconnected", _lib.SERVED_DISCONNECTED), ("ended", _lib.SERVED_ENDED)):
            out[name] = bool(flags & bit)
        return out

    def _failure(self, what, detail, code=-1):
        """The exception for a call that failed, `detail` its words, after
        what the status says of the server and its board."""
        record = self._record()
        flags = record.flags
        where = f"board {self.number} at {self.url}"
        if flags & _lib.SERVED_GONE:
            return ServerGone(self.url, detail)
        if flags & _lib.SERVED_DISCONNECTED:
            return BoardGone(f"{where} is disconnected: {what} failed", self.number, detail)
        if flags & _lib.SERVED_BUSY:
            controller = _text(record.controller)
            return BoardControlled(f"{where}: {what} was refused: {controller or 'another client'} controls the board",
                                   self.number, controller or None, detail)
        return RequestFailed(f"{where}: {what} failed", code=code, detail=detail)

    # ---- Board's requests, with the server's errors ----------------------

    def _request(self, what, result, detail=None):
        if result < 0:
            raise self._failure(what, detail or last_error(), code=result)
        return result

    def _register(self, what, result):
        return self._request(what, result)

    def di(self):
        """The 16 digital inputs, bit k = DI k.  Unlike a local board's, a
        read that failed raises (the library's words say it failed)."""
        value = lib.KV318_DI(self.handle)
        detail = last_error()
        if detail:
            raise self._failure("reading the digital inputs", detail)
        return value & 0xFFFF

    # ---- analog input --------------------------------------------------

    def stream(self, divider=50, mode=(0, 0, 0, 0), clock_hz=2_000_000, timeout=5.0, fifo_bytes=FIFO_BYTES):
        """A stream the server runs for this client: see kv318.Stream.
        Starting it makes this client the board's controller until it
        stops."""
        self._check_open()
        return RemoteStream(self, divider=divider, mode=mode, clock_hz=clock_hz, timeout=timeout, fifo_bytes=fifo_bytes)

    def poll(self, divider=50, mode=(0, 0, 0, 0), clock_hz=2_000_000, timeout=5.0, fifo_bytes=FIFO_BYTES):
        """A polled acquisition the server runs for this client: as stream()."""
        self._check_open()
        return RemotePoll(self, divider=divider, mode=mode, clock_hz=clock_hz, timeout=timeout, fifo_bytes=fifo_bytes)

    def follow(self, timeout=5.0):
        """Joins the stream running on the board, or the next one to start,
        without controlling it, over a connection of its own: the iterator
        and read(n) of a stream, with the samples from the moment of
        joining.  Iteration ends when the stream does; a read with no
        samples for `timeout` seconds (no stream started, say) raises
        TimeoutError."""
        self._check_open()
        return Follower(RemoteBoard(self.url, self.number, self._key), timeout)


class _Counter(Counter):
    def read(self):
        """The count, 0-65535, or None while the board reports no valid
        count; raises when the request failed."""
        b = self._board
        value = lib.KV318_CRead(b.handle)
        if value < 0:
            detail = last_error()
            if detail:  # -1 without words is "no valid count"
                raise b._failure("reading the counter", detail)
            return None
        return value


class _Served:
    """What a stream, a poll and a follower on a served board share (mixed
    in before kv318.Stream or kv318.Poll).

    Besides a local acquisition's errors: ServerGone when the server falls
    silent; SamplesMissed once per jump in the stream's indices (samples
    the server sent never reached this program: `missed` counts them all),
    carrying the samples before the jump, after which the stream goes on;
    StreamEnded from read(n) when the stream's controller ended it
    (iteration simply stops); BoardGone when the server's board went
    away."""

    _loss_errors = (FifoOverflow, SamplesMissed)

    def __init__(self, board, **options):
        super().__init__(board, **options)
        #: The server's number of this stream (None before it starts).
        self.stream_number = None
        #: Samples missed so far: the sum of the jumps in the indices.
        self.missed = 0
        #: The stream's index of the first sample handed to this program
        #: (None before one came): 0 for the stream's controller, where it
        #: joined for a follower.
        self.first_index = None
        # The index the next read should start at, a block held back
        # behind a jump, whether samples came since the FIFO was last
        # judged, and the FIFO verdict's words once given.  Used by the
        # reading thread only.
        self._next_index = 0
        self._held_back = None
        self._unjudged = False
        self._fifo_text = None

    # ---- lifetime ----------------------------------------------------

    def _start(self):
        other = self.board._acquisition() if self.board._acquisition is not None else None
        if other is not None and other.running:
            raise AcquisitionBusy(f"a {other._kind} is running on this connection to board {self.board.number}; "
                                  "stop it first, or connect again")
        self._allocate()
        result = self._start_call(self.board.handle)
        if result < 0:
            raise self._start_refused(result)
        self._joined(self.board._record(), rate=False)

    def _start_refused(self, result):
        detail = last_error()
        b = self.board
        record = b._record()
        if record.flags & _lib.SERVED_BUSY:
            controller = _text(record.controller)
            return BoardControlled(f"board {b.number} at {b.url}: starting the {self._kind} was refused: "
                                   f"{controller or 'another client'} controls the board", b.number,
                                   controller or None, detail)
        return b._failure(f"starting the {self._kind}", detail, code=result)

    def _joined(self, record, rate):
        """Begins reading the stream `record` (the handle's status) names;
        `rate`: take the controller's clock and divider."""
        self.stream_number = record.stream
        self._next_index = record.next_index
        if rate and record.divider:
            self.divider = record.divider
        if rate and record.clock_hz:
            self.clock_hz = record.clock_hz
        self._started = True
        self._running = True
        self.board._acquisition = weakref.ref(self)

    def _stop(self):
        if not self._running:
            return
        self._running = False
        b = self.board
        try:
            if b._handle is not None:
                self._stop_call(b._handle)  # always succeeds; a gone server is not waited for
        finally:
            if b._acquisition is not None and b._acquisition() is self:
                b._acquisition = None

    # ---- samples -----------------------------------------------------

    def __next__(self):
        try:
            return super().__next__()
        except StreamEnded:
            raise StopIteration from None

    def _fetch(self):
        if self._held_back is not None:
            block, self._held_back = self._held_back, None
            return block
        n = self._read_call(self.board._handle)
        if n == 0:
            return None
        if n < 0:
            raise self._ended(n, last_error())
        block = self._buf[:n].astype(np.int16)
        self._unjudged = True
        # A read's samples are consecutive in the stream, and its first one
        # is the index after the read less the count.
        start = self.board._record().next_index - n
        if self.first_index is None:
            self.first_index = start
        expected, self._next_index = self._next_index, start + n
        if start > expected:
            jump = start - expected
            self.missed += jump
            error = SamplesMissed(
                f"{jump} samples of board {self.board.number} (from index {expected}) never reached this program "
                f"from kv318-server at {self.board.url}; {self.missed} missed so far", jump)
            error.index = expected
            self._held_back = block
            raise error
        return block

    def _ended(self, result, detail):
        """The exception for a read's failure `result`."""
        b = self.board
        flags = b._record().flags
        where = f"board {b.number} at {b.url}"
        if flags & _lib.SERVED_GONE:
            return ServerGone(b.url, detail)
        if flags & _lib.SERVED_DISCONNECTED:
            return BoardGone(f"{where} went away; the {self._kind} ended", b.number, detail)
        if flags & _lib.SERVED_ENDED:
            return StreamEnded(f"the {self._kind} on {where} ended", detail=detail)
        return _stream_error(result, b.number, detail)

    def _check_fifo(self):
        # Each judgement asks the server, so only after samples came: the
        # longest gap grows only with drains that brought samples.
        if self._fifo_text is None and self._unjudged:
            self._unjudged = False
            record = _lib.StreamStatsRecord()
            record.size = ctypes.sizeof(record)
            if _lib.stream_stats(self.board._handle, ctypes.byref(record)) != 0:
                raise self.board._failure("reading the drain statistics", last_error())
            gap = record.longest_gap_us
            if fifo_may_have_run_over(self.clock_hz, self.divider, self.fifo_bytes, gap):
                self._fifo_text = fifo_overflow_text(gap, 2 * self.rate, self.fifo_bytes)
        if self._fifo_text is not None:
            raise FifoOverflow(self._fifo_text)


class RemoteStream(_Served, Stream):
    """A stream kv318-server runs on this client's behalf; see kv318.Stream
    for the API and _Served for what differs."""

    def _read_call(self, handle):
        return lib.KV318_Read(handle, self._ptr)


class RemotePoll(_Served, Poll):
    """A polled acquisition kv318-server runs on this client's behalf; see
    kv318.Poll and RemoteStream."""

    def _read_call(self, handle):
        return lib.KV318_M_Read(handle, self._ptr, ctypes.byref(self._carry), 0)


class Follower(RemoteStream):
    """A stream another client controls, read without controlling it over a
    connection of its own (see RemoteBoard.follow), which closes with it.
    Stopping it only stops reading.  The divider and clock are the
    controller's, taken once joined."""

    _kind = "followed stream"

    def __init__(self, board, timeout):
        super().__init__(board, divider=50, mode=(0, 0, 0, 0), clock_hz=2_000_000, timeout=timeout)
        # When to ask again whether a stream runs, while none was joined.
        self._retry_at = 0.0

    def _start(self):
        try:
            self._allocate()
            self._join()
        except BaseException:
            self.board.close()
            raise
        self._started = True
        self._running = True
        self.board._acquisition = weakref.ref(self)

    def _join(self):
        """Joins the stream that runs; False when none does yet.  Raises for a
        server or board that is gone."""
        b = self.board
        if _lib.follow(b.handle) == 0:
            self._joined(b._record(), rate=True)
            return True
        detail = last_error()
        if b._record().flags & (_lib.SERVED_GONE | _lib.SERVED_DISCONNECTED):
            raise b._failure("joining the stream", detail)
        self._retry_at = time.monotonic() + _JOIN_RETRY_S
        return False

    def _fetch(self):
        if self.stream_number is None:
            if time.monotonic() < self._retry_at or not self._join():
                return None
        block = super()._fetch()
        if block is not None and not self.stream_number:
            # Joined before the start: the stream and its rate are known
            # once its first block came.
            record = self.board._record()
            self.stream_number = record.stream
            if record.divider:
                self.divider = record.divider
            if record.clock_hz:
                self.clock_hz = record.clock_hz
        return block

    def _stop(self):
        try:
            super()._stop()
        finally:
            self.board.close()
