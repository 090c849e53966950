"""Analog input: the timer-driven stream and the polled acquisition, each a
context manager that hands samples over as numpy int16 arrays.

A sample is the converter's 16-bit word: the 14-bit code sits in bits 2-15,
so code = sample / 4 (to the nearest integer) and volts = code * 5 / 8192.
"""

import ctypes
import os
import threading
import time
import weakref
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

from . import _checks, _interrupts, _lib, _places
from ._lib import lib
from .errors import (
    AcquisitionBusy,
    AcquisitionNotEnabled,
    BoardBusy,
    FifoOverflow,
    KV318Error,
    RequestFailed,
    RingOverflow,
    TransferFailed,
)

# The most samples one call can hand over: the library writes up to this
# many elements, so the arrays passed must be at least this long.
STREAM_READ_SAMPLES = 524_288
POLL_READ_SAMPLES = 139_264
#: The dividers the board takes unchanged (KV318_DIVIDER_MIN and _MAX): its
#: register keeps the low 12 bits and writes anything below 2 as 2.
DIVIDER_MIN = 2
DIVIDER_MAX = 4095

# How long to wait before asking again when nothing was buffered.  The
# library drains the board every 10 ms; asking much more often only takes
# turns from its timer.
_IDLE_WAIT = 0.005

_VOLTS_PER_CODE = 5.0 / 8192.0

#: The board's FIFO, in bytes: the default `fifo_bytes` of a stream or poll.
FIFO_BYTES = 524_288
# The most one drain asks for at once (the library's bulk chunk): a drain
# that ran dry may still have left up to this much behind.
_CHUNK_BYTES = 16_384

_STATS_MODES = {_lib.STATS_NONE: "none", _lib.STATS_STREAM: "stream", _lib.STATS_POLLED: "polled"}

# The library keeps one acquisition per process (its ring, transfer area
# and timer are library-wide), so kv318 admits one at a time: whoever holds
# this lock owns them.
_running_lock = threading.Lock()
# The acquisition holding the lock, for the error message; weak, so one
# that is dropped without being stopped can still be collected (and stops).
_owner = lambda: None  # noqa: E731


def _joined(parts):
    if not parts:
        return np.empty(0, dtype=np.int16)
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def _forget_after_fork():
    """In a forked child: the parent's acquisition is not this process's,
    so the admission starts free (the lock may even have been held by a
    thread that does not exist here)."""
    global _running_lock, _owner
    _running_lock = threading.Lock()
    _owner = lambda: None  # noqa: E731


def fifo_may_have_run_over(clock_hz, divider, fifo_bytes, longest_gap_us):
    """Whether the board's FIFO could have run over: the bytes that arrive
    at clock_hz / divider samples a second (two bytes each) during the
    longest gap between drains, plus the chunk the last drain may have left,
    exceed `fifo_bytes`.  `divider` is the one the board takes
    (DIVIDER_MIN-DIVIDER_MAX).
    Decided in exact rational arithmetic, so a float clock such as 26e6
    gives the same answer as the integer."""
    clock = Fraction(clock_hz)
    return 2 * clock * longest_gap_us > (fifo_bytes - _CHUNK_BYTES) * divider * 1_000_000


@dataclass(frozen=True)
class StreamStats:
    """What the library measured of an acquisition's drains (see
    KV318_StreamStats in KV318.h); every count is an exact int.

    `mode` is "stream", "polled" or "none" (nothing started on the handle).
    `ticks` counts timer ticks (stream) or reads (polled), `drains` those
    that took data, `top_level_drains` those that found the FIFO at its top
    level code, `time_bound_drains` those cut short by their time bound.
    `ring_high_water` is the most bytes the library's ring held (0 when
    polled).  `longest_gap_us` is the longest time, in microseconds, the FIFO
    went undrained; `gap_histogram[k]` counts gaps of 2**k to 2**(k+1) - 1
    microseconds, the last bucket every longer one too."""

    mode: str
    bytes_drained: int
    ticks: int
    drains: int
    top_level_drains: int
    time_bound_drains: int
    ring_high_water: int
    longest_gap_us: int
    gap_histogram: tuple

    @classmethod
    def _from_record(cls, record):
        return cls(
            mode=_STATS_MODES.get(record.mode, f"unknown ({record.mode})"),
            bytes_drained=record.bytes_drained,
            ticks=record.ticks,
            drains=record.drains,
            top_level_drains=record.top_level_drains,
            time_bound_drains=record.time_bound_drains,
            ring_high_water=record.ring_high_water,
            longest_gap_us=record.longest_gap_us,
            gap_histogram=tuple(record.gap_histogram),
        )


def fifo_overflow_text(longest_gap_us, bytes_per_second, fifo_bytes):
    """The words of a FIFO that may have run over."""
    # Whole KiB, rounded down, as kv318-cli and kv318-scope write them.
    return (f"samples may have been lost in the board's FIFO: a gap of {longest_gap_us / 1000:.1f} ms between drains "
            f"at {bytes_per_second / 1e6:.1f} MB/s exceeds its {fifo_bytes // 1024} KiB")


def codes(samples):
    """Converter codes (-8192 to 8192) of raw samples: sample / 4 rounded to
    the nearest integer, halves to even."""
    return np.rint(np.asarray(samples, dtype=np.float64) / 4.0).astype(np.int16)


def volts(samples):
    """Volts of raw samples: code * 5 / 8192, as float64."""
    return codes(samples) * _VOLTS_PER_CODE


class _Acquisition:
    """What the stream and the polled acquisition share: arguments, the
    process-wide admission, the queue of samples read ahead, iteration and
    read(n)."""

    _kind = "acquisition"
    # The errors that report lost samples while the acquisition goes on:
    # raised from iteration, they carry the samples fetched before them.
    _loss_errors = (FifoOverflow,)

    def __init__(self, board, divider, mode, clock_hz, timeout, fifo_bytes=FIFO_BYTES):
        # The range the board takes unchanged (it keeps the low 12 bits and
        # at least 2), so the FIFO verdict may use it as it is.
        self.divider = _checks.in_range("divider", divider, DIVIDER_MIN, DIVIDER_MAX)
        self.mode = _checks.flags("mode", mode, 4)
        self.clock_hz = _checks.positive("clock_hz", clock_hz)
        self.timeout = _checks.positive("timeout", timeout)
        self.fifo_bytes = _checks.in_range("fifo_bytes", fifo_bytes, _CHUNK_BYTES, 2**63 - 1)
        self.board = board
        self._running = False
        self._started = False
        # Blocks fetched and not yet handed over, oldest first, and their
        # length.  Every fetched block lands here in the same step as its
        # fetch, so an exception or a Ctrl-C never finds one held only by
        # a local variable.
        self._pending = []
        self._have = 0

    @property
    def rate(self):
        """Samples per second: the converter clock over the divider."""
        return self.clock_hz / self.divider

    @property
    def running(self):
        return self._running

    # ---- drain statistics and the FIFO verdict -----------------------

    def stats(self):
        """The library's drain statistics of this acquisition, as a
        StreamStats; also after the stop, until the next start on the board.
        Raises KV318Error when the library lacks KV318_StreamStats, and
        ValueError when the board is closed."""
        if _lib.stream_stats is None:
            raise KV318Error(f"the library loaded from {_lib.where} has no drain statistics (KV318_StreamStats)")
        return StreamStats._from_record(self._stats_record(self.board.handle))

    def _stats_record(self, handle):
        record = _lib.StreamStatsRecord()
        record.size = ctypes.sizeof(record)
        if _lib.stream_stats(handle, ctypes.byref(record)) != 0:
            raise KV318Error(f"board {self.board.number}: reading the drain statistics failed", code=-1,
                             detail=_lib.last_error())
        return record

    def _check_fifo(self):
        """Raises FifoOverflow when the drains so far leave room for a FIFO
        that ran over.  One library call; nothing without the export."""
        if _lib.stream_stats is None:
            return
        gap = self._stats_record(self.board._handle).longest_gap_us
        if fifo_may_have_run_over(self.clock_hz, self.divider, self.fifo_bytes, gap):
            raise FifoOverflow(fifo_overflow_text(gap, 2 * self.rate, self.fifo_bytes))

    # ---- lifetime ----------------------------------------------------

    def start(self):
        """Starts the acquisition.  Raises AcquisitionBusy while another runs
        in this process, BoardBusy while another process streams the board,
        RequestFailed when the board refuses the start.  A KeyboardInterrupt
        during the start cancels it: when it is raised from here, nothing is
        left running."""
        if self._started:
            raise ValueError(f"this {self._kind} was already started; make a new one")
        self.board._check_open()
        try:
            with _interrupts.held() as interrupt:
                self._start()
                if interrupt.interrupted is not None:
                    self._stop()
        except KeyboardInterrupt:
            # Also one that came just as the handler was put back.
            self._stop()
            raise

    def _start(self):
        global _owner
        if not _running_lock.acquire(blocking=False):
            other = _owner()
            where = f" on board {other.board.number}" if other is not None else ""
            raise AcquisitionBusy(
                f"another {other._kind if other else 'acquisition'} is running in this process{where}; "
                "the library runs one at a time, so stop it first"
            )
        try:
            self._allocate()
            result = self._start_call(self.board.handle)
            if result < 0:
                raise self._start_refused(result)
        except BaseException:
            _running_lock.release()
            raise
        self._started = True
        self._running = True
        _owner = weakref.ref(self)
        self.board._acquisition = weakref.ref(self)

    def _start_refused(self, result):
        """The exception for a refused start: the library refuses one while
        another process holds the board's acquisition lock, and the lock
        file says who."""
        # The library's words first: they belong to the start just refused.
        detail = _lib.last_error()
        number = self.board.number
        holder = _places.lock_holder(number)
        if holder is not None and holder == os.getpid():
            return AcquisitionBusy(
                f"board {number} is streaming in this process, started outside kv318; stop it first", detail=detail)
        if holder is not None:
            return BoardBusy(number, holder or None, detail=detail)
        problem = _places.lock_file_problem(number)
        if problem is not None:
            # The message says it already; the library's words stay beside it.
            refused = RequestFailed(f"board {number} cannot be started: {problem}", code=result)
            refused.detail = detail
            return refused
        return RequestFailed(f"board {number}: starting the {self._kind} failed", code=result, detail=detail)

    def close(self):
        """Stops the acquisition.  Samples read ahead and not yet handed
        over are discarded.  Stopping twice does nothing.  A
        KeyboardInterrupt during the stop is raised once it is complete."""
        with _interrupts.held():
            self._stop()

    stop = close

    def _stop(self):
        global _owner
        if not self._running:
            return
        self._running = False
        try:
            self._stop_call(self.board._handle)
        finally:
            if self.board._acquisition is not None and self.board._acquisition() is self:
                self.board._acquisition = None
            _owner = lambda: None  # noqa: E731
            _running_lock.release()

    def _forget(self):
        """After fork(), in the child: the library's acquisition belongs to
        the parent, so mark this one stopped without touching it."""
        self._running = False

    def __del__(self):
        # Dropped while running: stop the library's stream, or no other
        # acquisition could ever start in this process.
        try:
            self.close()
        except Exception:
            pass

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- samples -----------------------------------------------------

    def _check_running(self):
        if not self._running:
            self.board._check_open()  # says so when a fork left the board behind
            raise ValueError(f"the {self._kind} is not running")

    def _fill(self, deadline):
        """Fetches until one more block is pending.  Raises TimeoutError
        once `deadline` (a monotonic time) passes first."""
        while True:
            # A Ctrl-C during the fetch waits until its samples are queued.
            with _interrupts.held():
                block = self._fetch()
                if block is not None:
                    self._pending.append(block)
                    self._have += block.size
                # After every read, so no sample is handed over before the
                # drains that brought it were judged; the block stays
                # pending for the exception's `samples`.
                self._check_fifo()
            if block is not None:
                return
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no samples from board {self.board.number} in time")
            time.sleep(min(_IDLE_WAIT, left))

    def _take(self, n=None):
        """Removes the first `n` pending samples (all when None) and returns
        them as one array.  Called inside _interrupts.held()."""
        out = _joined(self._pending)
        rest = []
        if n is not None and n < out.size:
            out, rest = out[:n], [out[n:]]
        self._pending = rest
        self._have -= out.size
        return out

    def _put_back(self, samples):
        """Undoes a _take whose samples a Ctrl-C kept from being handed over."""
        self._pending.insert(0, samples)
        self._have += samples.size

    def __iter__(self):
        return self

    def __next__(self):
        """The next block of samples, as soon as one is there.  Raises
        TimeoutError after `timeout` seconds without samples."""
        self._check_running()
        if not self._pending:
            try:
                self._fill(time.monotonic() + self.timeout)
            except self._loss_errors as e:
                # As from read(n): the samples travel on the exception.
                with _interrupts.held():
                    e.samples = self._take()
                raise
        with _interrupts.held() as interrupt:
            block = self._pending.pop(0)
            self._have -= block.size
            if interrupt.interrupted is not None:
                self._put_back(block)  # the next call hands it over
        return block

    def read(self, n, timeout=None):
        """Exactly `n` samples as an int16 array.  With a timeout, raises
        TimeoutError when they have not all come within it; without one,
        waits while samples keep coming, and raises TimeoutError after the
        acquisition's `timeout` with none.

        Whatever makes it fail (a timeout, a failed transfer, a stopped
        converter, a FIFO that may have run over, a KeyboardInterrupt), the
        samples it took before are not
        lost: they travel on the exception as `samples` (an int16 array,
        perhaps empty), in order, and are not handed over again."""
        n = _checks.integer("n", n)
        if n < 0:
            raise ValueError(f"n must not be negative, got {n}")
        self._check_running()
        overall = None if timeout is None else time.monotonic() + _checks.positive("timeout", timeout)
        try:
            while self._have < n:
                gap = time.monotonic() + self.timeout
                self._fill(gap if overall is None else min(gap, overall))
            with _interrupts.held() as interrupt:
                out = self._take(n)
                if interrupt.interrupted is not None:
                    self._put_back(out)  # for the exception below
            return out
        except TimeoutError:
            with _interrupts.held():
                took = self._take()
            e = TimeoutError(f"{took.size} of {n} samples from board {self.board.number} in time")
            e.samples = took
            raise e from None
        except BaseException as e:
            with _interrupts.held():
                e.samples = self._take()
            raise

    @staticmethod
    def codes(samples):
        return codes(samples)

    @staticmethod
    def volts(samples):
        """Volts of raw samples (the int16 words this hands over)."""
        return volts(samples)


class Stream(_Acquisition):
    """Timer-driven acquisition: a timer inside the library drains the
    board every 10 ms into its 2 MiB ring, and each read hands the ring
    over.  Read often enough that the ring never fills (it holds about 100 ms
    at 20 MB/s); if it does, RingOverflow says samples were lost.

    Errors while reading: AcquisitionNotEnabled (the board stopped
    converting), RingOverflow, TransferFailed, and FifoOverflow when the
    library's drain statistics show a gap between drains long enough for
    the board's FIFO (`fifo_bytes`) to run over at this rate.  They persist
    until the stream is stopped."""

    _kind = "stream"

    def _allocate(self):
        # Once per stream, so reading allocates nothing but the blocks it
        # hands over.
        self._buf = np.empty(STREAM_READ_SAMPLES, dtype=np.int32)
        self._ptr = self._buf.ctypes.data_as(ctypes.POINTER(ctypes.c_int32))

    def _start_call(self, handle):
        m = self.mode
        return lib.KV318_AD(handle, m[0], m[1], m[2], m[3], self.divider)

    def _stop_call(self, handle):
        lib.KV318_StopAD(handle)

    def _fetch(self):
        n = lib.KV318_Read(self.board._handle, self._ptr)
        if n > 0:
            # The one conversion: int32 elements to int16 samples, copied,
            # since the buffer is filled again by the next read.
            return self._buf[:n].astype(np.int16)
        if n == 0:
            return None
        raise _stream_error(n, self.board.number, _lib.last_error())


def _stream_error(result, number, detail=None):
    """The exception for a failed read's `result`, with the library's words
    for it (`detail`, None when it gave none)."""
    if result == -1:
        return AcquisitionNotEnabled(f"board {number} is not converting: something stopped the acquisition",
                                     detail=detail)
    if result == -2:
        return RingOverflow(
            f"board {number}: the library's ring overflowed and samples were lost; read more often", detail=detail)
    if result == -3:
        return TransferFailed(f"board {number}: a transfer from the board failed and samples were lost",
                              detail=detail)
    return KV318Error(f"board {number}: read failed with {result}", code=result, detail=detail)


class Poll(_Acquisition):
    """Polled acquisition: no timer; each read drains the board's FIFO on the
    calling thread.  The carry word that keeps samples aligned across reads
    stays inside.  The board's FIFO holds 512 KiB, so read often enough: a
    read that comes too late for it raises FifoOverflow, judged from the
    library's drain statistics as for a stream.

    Errors while reading: AcquisitionNotEnabled, TransferFailed (the bytes of
    that read are lost), FifoOverflow."""

    _kind = "polled acquisition"

    def _allocate(self):
        self._buf = np.empty(POLL_READ_SAMPLES, dtype=np.int32)
        self._ptr = self._buf.ctypes.data_as(ctypes.POINTER(ctypes.c_int32))
        self._carry = ctypes.c_int32(0)

    def _start_call(self, handle):
        m = self.mode
        return lib.KV318_M_AD(handle, m[0], m[1], m[2], m[3], self.divider)

    def _stop_call(self, handle):
        lib.KV318_M_StopAD(handle)

    def _fetch(self):
        handle = self.board._handle
        n = lib.KV318_M_Read(handle, self._ptr, ctypes.byref(self._carry), 0)
        if n > 0:
            return self._buf[:n].astype(np.int16)
        if n == 0:
            return None
        # -1 covers both a stopped converter and a failed transfer; the
        # status register tells them apart.  The library's words first: the
        # register read empties them.
        detail = _lib.last_error()
        status = lib.KV318_inb(handle, 0)
        if status >= 0 and not status & 0x04:
            raise _stream_error(-1, self.board.number, detail)
        raise _stream_error(-3, self.board.number, detail)
