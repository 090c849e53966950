"""HDF5 recordings in kv318-cli's layout (docs/cli.md, "hdf5"), so a file
written from Python and one written by `kv318-cli stream -o run.h5` read the
same way, and runs of both may share one file.

    with kv318.open(0) as board, board.stream(divider=50) as s, kv318.record(s, "run.h5") as rec:
        rec.run(seconds=10)

Each run is a group /run_0001, /run_0002, ... appended to the file: an int16
`samples` dataset of converter codes and the attributes kv318-cli writes,
plus an `events` dataset (index, kind, text) that says where samples were or
may have been lost.  h5py is imported only when a recording starts, so the
package imports without it (the `hdf5` extra, or Debian's python3-h5py).

A run cut short, even by SIGKILL, must leave a file that opens.  As
kv318-cli's writer does (pipeline/hdf5_store.cpp says why it flushes rather
than uses SWMR), the file is written in HDF5's oldest format with a
metadata cache that never evicts, so between two flushes the file on disk
stays the one the last flush left.  The codes are kept in memory between
flushes (about a second of them) and written just before each flush: an
uncompressed chunk keeps its place in the file, and a compressed one, which
moves when it grows, is only rewritten inside a flush.
"""

import math
import os
import time

import numpy as np

from ._version import __version__
from .acquisition import FIFO_BYTES, Poll, codes, fifo_may_have_run_over, fifo_overflow_text
from .errors import (
    AcquisitionNotEnabled,
    FifoOverflow,
    KV318Error,
    RingOverflow,
    SamplesMissed,
    TransferFailed,
)

#: The `tool` attribute and the first line of the description.
TOOL = f"kv318 (Python) {__version__}"
#: Seconds between flushes: what a run killed at any moment may lose.
FLUSH_SECONDS = 1.0
_GROUP_PREFIX = "run_"
# Samples per chunk: about a second of them, as kv318-cli chunks its runs.
_MIN_CHUNK = 4096
_MAX_CHUNK = 1 << 20
# Room for four of the largest chunks, so a partial chunk stays in memory
# rather than being read back from the disk at every flush.
_CHUNK_CACHE_BYTES = 4 * 2 * _MAX_CHUNK
_EVENT_CHUNK = 64

#: An `events` row's kind for each error that loses samples, most specific
#: first (SamplesMissed and FifoOverflow are kinds of RingOverflow).
EVENT_KINDS = (
    (SamplesMissed, "missed"),
    (FifoOverflow, "fifo"),
    (RingOverflow, "overflow"),
    (TransferFailed, "transfer"),
    (AcquisitionNotEnabled, "stopped"),
    (KV318Error, "error"),
)


def _h5py():
    try:
        import h5py
    except ImportError:
        raise ImportError("kv318.record needs h5py: pip install 'kv318[hdf5]' (or apt install python3-h5py)",
                          name="h5py") from None
    return h5py


def _printable(text):
    """Characters outside printable ASCII as '?', as kv318-cli writes them."""
    return "".join(c if " " <= c <= "~" else "?" for c in str(text))


def chunk_samples(rate):
    """Samples per chunk of the `samples` dataset at `rate` samples/s."""
    if not rate > _MIN_CHUNK:
        return _MIN_CHUNK
    return min(int(rate), _MAX_CHUNK)


def risky_gaps(clock_hz, divider, fifo_bytes, gap_histogram):
    """How many gaps between drains may have let the FIFO run over, counted
    from the histogram (bucket k: 2**k to 2**(k+1) - 1 us, the last one every
    longer gap too): every gap of a bucket whose longest gap could, and at
    least one.  It errs towards more, as kv318-cli's count does."""
    count = 0
    for k, gaps in enumerate(gap_histogram):
        last = k + 1 == len(gap_histogram)
        longest = 2**64 - 1 if last else (2 << k) - 1
        if gaps and fifo_may_have_run_over(clock_hz, divider, fifo_bytes, longest):
            count += gaps
    return max(count, 1)


def fifo_note(stats, clock_hz, divider, fifo_bytes=FIFO_BYTES):
    """The `fifo` attribute: kv318-cli's "fifo: ..." note on a run's drain
    statistics (a StreamStats), or, with None, that there were none."""
    if stats is None:
        return "fifo: not known: the library gave no drain statistics"
    gap = stats.longest_gap_us
    rate = 2 * clock_hz / divider
    if fifo_may_have_run_over(clock_hz, divider, fifo_bytes, gap):
        gaps = risky_gaps(clock_hz, divider, fifo_bytes, stats.gap_histogram)
        return f"fifo: {fifo_overflow_text(gap, rate, fifo_bytes)}; gaps that long: {gaps}"
    return (f"fifo: no gap between drains exceeded its {fifo_bytes // 1024} KiB "
            f"(the longest: {gap / 1000:.1f} ms at {rate / 1e6:.1f} MB/s)")


def _event_kind(error):
    for kind_of, kind in EVENT_KINDS:
        if isinstance(error, kind_of):
            return kind
    return "error"


def _open_file(h5py, path):
    """The file to append to: an existing HDF5 file, or a new one in place
    of a missing or empty file.  Anything else is refused untouched."""
    if os.path.exists(path) and os.path.getsize(path) > 0:
        if not h5py.is_hdf5(path):
            raise ValueError(f"{path} exists and is not an HDF5 file, so it was left unchanged: HDF5 runs are only "
                             "appended to HDF5 files; choose another name")
        f = h5py.File(path, "r+", libver="earliest", rdcc_nbytes=_CHUNK_CACHE_BYTES)
    else:
        f = h5py.File(path, "w", libver="earliest", rdcc_nbytes=_CHUNK_CACHE_BYTES)
    try:
        config = f.id.get_mdc_config()
        config.evictions_enabled = False
        # The cache may not resize itself while it cannot evict (0 is each
        # mode's "off").
        config.incr_mode = 0
        config.flash_incr_mode = 0
        config.decr_mode = 0
        f.id.set_mdc_config(config)
    except BaseException:
        f.close()
        raise
    return f


def _last_run(f):
    """The highest run number among the root group's names (run_0012 is 12)."""
    last = 0
    for name in f.keys():
        digits = name[len(_GROUP_PREFIX):]
        if name.startswith(_GROUP_PREFIX) and 0 < len(digits) <= 9 and digits.isascii() and digits.isdigit():
            last = max(last, int(digits))
    return last


class Recorder:
    """Writes what `stream` delivers to a run group of the HDF5 file `path`.

    Made by kv318.record; use it as a context manager (or call close()) on
    the thread that reads the stream.  The group is made when the first
    samples (or the close) come, so a follower's divider and clock are the
    stream's own by then.  Raises ValueError for a file that exists and is
    not HDF5 (left unchanged) and for a split shorter than one sample,
    ImportError without h5py, OSError when HDF5 cannot open or write it."""

    def __init__(self, stream, path, split=None, split_samples=None, compress=False):
        h5py = _h5py()
        if split is not None and split_samples is not None:
            raise ValueError("give split (seconds) or split_samples, not both")
        if split is not None and not (isinstance(split, (int, float)) and math.isfinite(split) and split > 0):
            raise ValueError(f"split must be a positive number of seconds, got {split!r}")
        if split_samples is not None and not (isinstance(split_samples, int) and split_samples > 0):
            raise ValueError(f"split_samples must be a positive whole number, got {split_samples!r}")
        if split is not None and round(split * stream.rate) < 1:
            raise ValueError(f"split {split} s is less than one sample at {stream.rate:g} samples/s")
        self.stream = stream
        self.path = os.fspath(path)
        self.compress = bool(compress)
        self._split_seconds = split
        self._split = split_samples or 0  # fixed when the first group is made
        self._events_dtype = np.dtype([("index", "<u8"), ("kind", h5py.string_dtype()),
                                       ("text", h5py.string_dtype())])
        board = stream.board
        try:
            self._identity = tuple(board.info())
        except KV318Error:
            self._identity = ("(not readable)", "")
        self.started_utc = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
        self._file = _open_file(h5py, self.path)
        self._next_run = _last_run(self._file) + 1
        #: The names of the groups this run wrote, in order.
        self.groups = []
        self._group = self._samples = self._events = None
        self._first = None     # the run's number of its first code
        self._in_group = 0     # codes written to the current group
        self._on_disk = 0      # codes written to the file
        self._accepted = 0     # codes handed to write()
        self._buffer = []      # codes accepted and not yet written
        self._pending = []     # events not yet written: (index, kind, text)
        self._missed_noted = 0
        self._seen = set()     # ids of exceptions already recorded
        self._last_flush = time.monotonic()
        self._closed = False

    # ---- what the caller hands over -----------------------------------

    @property
    def samples_written(self):
        """Samples handed to the recorder so far (all in the file once it
        is flushed or closed)."""
        return self._accepted

    def write(self, samples):
        """Records raw samples (the int16 words a stream hands over) as
        converter codes, flushing the file when a second has passed since
        the last flush."""
        self._check_open()
        block = codes(samples)
        if block.size:
            self._start_index()
            self._buffer.append(block)
            self._accepted += block.size
        # The group reaches the file with the first samples, and every
        # sample within about a second.
        if (self._group is None and self._accepted) or time.monotonic() - self._last_flush >= FLUSH_SECONDS:
            self.flush()

    def event(self, kind, text):
        """Adds an `events` row at the current sample: `kind` a short word,
        `text` what happened."""
        self._check_open()
        self._pending.append((self._start_index() + self._accepted, str(kind), str(text)))

    def lost(self, error):
        """Records an error a read raised: the samples it carries (`samples`,
        read before it) and an `events` row of its kind with its words.  An
        error already recorded is not recorded again."""
        if id(error) in self._seen:
            return
        self._seen.add(id(error))
        taken = getattr(error, "samples", None)
        if taken is not None:
            self.write(taken)
        if isinstance(error, SamplesMissed):
            self._missed_noted += error.missed
        self.event(_event_kind(error), error)

    def take(self, n, timeout=None):
        """Reads exactly `n` samples from the stream (stream.read), records
        and returns them.  Samples missed on the way from kv318-server are
        recorded as an events row and the read goes on.  Any other error is
        recorded (its samples and a row) and raised."""
        got = []
        have = 0
        while have < n:
            try:
                part = self.stream.read(n - have, timeout=timeout)
            except SamplesMissed as e:
                self.lost(e)
                part = e.samples if e.samples is not None else np.empty(0, dtype=np.int16)
            except KV318Error as e:
                self.lost(e)
                raise
            except BaseException as e:
                # A timeout or Ctrl-C: what was read is kept, not lost.
                taken = getattr(e, "samples", None)
                if taken is not None:
                    self.write(taken)
                raise
            else:
                self.write(part)
            got.append(part)
            have += part.size
        return np.concatenate(got) if got else np.empty(0, dtype=np.int16)

    def run(self, seconds=None, samples=None):
        """Records the stream's blocks until `samples` samples, or
        round(seconds x rate) of them, are written, or, with neither, until
        the stream ends (a followed one) or Ctrl-C.  Missed samples and
        other errors are handled as by take().  Returns the samples
        written."""
        if seconds is not None and samples is not None:
            raise ValueError("give seconds or samples, not both")
        if seconds is not None:
            if not (isinstance(seconds, (int, float)) and math.isfinite(seconds) and seconds > 0):
                raise ValueError(f"seconds must be a positive number, got {seconds!r}")
            samples = round(seconds * self.stream.rate)
        before = self._accepted
        if samples is not None:
            self.take(samples)
            return samples
        while True:
            try:
                block = next(self.stream)
            except StopIteration:
                return self._accepted - before
            except SamplesMissed as e:
                self.lost(e)
                continue
            except KV318Error as e:
                self.lost(e)
                raise
            self.write(block)

    # ---- the file ----------------------------------------------------

    def flush(self):
        """Writes what is held and flushes the file, so that it opens with
        every sample so far however the process ends later."""
        self._check_open()
        self._drain()
        if self._group is not None:
            self._group.attrs.modify("samples_written", np.uint64(self._in_group))
        self._file.flush()
        self._last_flush = time.monotonic()

    def close(self):
        """Writes what is held, an events row for missed samples that were
        never handed over, and the FIFO note on every group of the run, and
        closes the file.  Closing twice does nothing."""
        if self._closed:
            return
        try:
            unseen = getattr(self.stream, "missed", 0) - self._missed_noted
            if unseen > 0:
                self.event("missed", f"{unseen} samples never reached this program from the server; where in the "
                           "run is not known (the SamplesMissed errors were not handed to the recorder)")
                self._missed_noted += unseen
            self.flush()  # makes the group of an empty run too: it still says what it was
            note = self._fifo_note()
            for name in self.groups:
                self._file[name].attrs.create("fifo", note, dtype=self._string_type())
            self._file.flush()
        finally:
            self._closed = True
            self._group = self._samples = self._events = None
            self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        # An error that escaped the caller's own loop over the stream: its
        # samples and an events row, so the file says where the run broke.
        if isinstance(error, KV318Error) and not self._closed:
            try:
                self.lost(error)
            except Exception:
                pass  # the close below reports a file that cannot be written
        self.close()

    # ---- inside ------------------------------------------------------

    def _check_open(self):
        if self._closed:
            raise ValueError(f"the recording to {self.path} is closed")

    def _start_index(self):
        if self._first is None:
            # A followed stream starts where the follower joined, when the
            # stream says so.
            self._first = int(getattr(self.stream, "first_index", 0) or 0)
        return self._first

    def _string_type(self):
        return _h5py().string_dtype()

    def _fifo_note(self):
        s = self.stream
        try:
            stats = s.stats()
        except (KV318Error, ValueError):
            stats = None
        return fifo_note(stats, s.clock_hz, s.divider, getattr(s, "fifo_bytes", FIFO_BYTES))

    def _drain(self):
        """Writes the codes and events held, starting groups as the split
        says.  An event goes to the group that holds the sample after it,
        or the last one when none follows."""
        data = np.concatenate(self._buffer) if self._buffer else np.empty(0, dtype=np.int16)
        self._buffer = []
        done = 0
        while True:
            if self._group is None:
                self._open_group()
            elif self._split and self._in_group == self._split and done < data.size:
                self._close_group()
                self._open_group()
            here = self._first + self._on_disk
            rows = [e for e in self._pending if e[0] <= here]
            if rows:
                self._pending = self._pending[len(rows):]
                self._append_events(rows)
            if done == data.size:
                return
            n = data.size - done
            if self._split:
                n = min(n, self._split - self._in_group)
            self._samples.resize((self._in_group + n,))
            self._samples[self._in_group:self._in_group + n] = data[done:done + n]
            self._in_group += n
            self._on_disk += n
            done += n

    def _append_events(self, rows):
        size = self._events.shape[0]
        self._events.resize((size + len(rows),))
        self._events[size:] = np.array(rows, dtype=self._events_dtype)

    def _close_group(self):
        self._group.attrs.modify("samples_written", np.uint64(self._in_group))
        self._group = self._samples = self._events = None

    def _description(self, clock_hz, divider, rate):
        s = self.stream
        polled = isinstance(s, Poll) or getattr(s, "_polled", False)
        flags = " ".join(str(int(m)) for m in s.mode)
        lines = [
            TOOL,
            f"board: {s.board.number}",
            f"identity: {_printable(self._identity[0])} | {_printable(self._identity[1])}",
            f"acquisition: {'polled (KV318_M_AD)' if polled else 'timer-driven (KV318_AD)'}, mode flags {flags}",
            f"converter clock: {clock_hz} Hz, as given by clock_hz (the board's clock cannot be read; "
            "time_s = index x divider / clock)",
            f"divider: {divider}",
            f"sample rate: {rate:.10g} samples/s",
            "volts: code = sample / 4 (halves to even), volts = code x 5 / 8192",
            f"start: {self.started_utc}",
        ]
        url = getattr(s.board, "url", None)
        if url is not None:
            from .served import Follower

            followed = (" (followed: the clock and divider are its controller's; its mode flags are not known here)"
                        if isinstance(s, Follower) else "")
            lines.append(f"server: kv318-server at {_printable(url)}, stream {s.stream_number or 0}{followed}")
        return "\n".join(lines)

    def _open_group(self):
        s = self.stream
        clock_hz = int(round(s.clock_hz))
        divider = int(s.divider)
        rate = clock_hz / divider
        if not self._split and self._split_seconds is not None:
            self._split = max(1, round(self._split_seconds * rate))
        name = f"{_GROUP_PREFIX}{self._next_run:04d}"
        g = self._file.create_group(name)
        self._next_run += 1
        self.groups.append(name)
        text = self._string_type()
        a = g.attrs
        a.create("clock_hz", np.uint64(clock_hz))
        a.create("divider", np.uint32(divider))
        a.create("sample_rate_hz", np.float64(rate))
        a.create("volts_per_code", np.float64(5.0 / 8192.0))
        a.create("volts_offset", np.float64(0.0))
        a.create("first_index", np.uint64(self._start_index() + self._on_disk))
        a.create("started_utc", self.started_utc, dtype=text)
        a.create("board", np.int32(s.board.number))
        a.create("tool", TOOL, dtype=text)
        a.create("description", self._description(clock_hz, divider, rate), dtype=text)
        a.create("samples_written", np.uint64(0))
        chunk = chunk_samples(rate)
        filters = {"compression": "gzip", "shuffle": True} if self.compress else {}
        self._samples = g.create_dataset("samples", shape=(0,), maxshape=(None,), dtype="<i2", chunks=(chunk,),
                                         **filters)
        self._events = g.create_dataset("events", shape=(0,), maxshape=(None,), dtype=self._events_dtype,
                                        chunks=(_EVENT_CHUNK,))
        self._group = g
        self._in_group = 0
        # The new group reaches the disk before any sample, so the space its
        # making set free is never taken while the file on disk still points
        # there.
        self._file.flush()


def record(stream, path, split=None, split_samples=None, compress=False):
    """Records `stream` (a Stream, Poll, or a remote stream or follower) to
    the HDF5 file `path`, in kv318-cli's layout: a new group /run_NNNN
    appended to an existing HDF5 file, or a new file.  Returns a Recorder,
    a context manager: write(block), take(n), run(seconds=, samples=).

    `split` (seconds) or `split_samples` starts the next group every that
    many samples, as kv318-cli's --split does; `compress` stores the codes
    with deflate and shuffle.  Needs h5py (the `hdf5` extra, or Debian's
    python3-h5py)."""
    return Recorder(stream, path, split=split, split_samples=split_samples, compress=compress)
