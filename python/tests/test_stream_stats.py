"""The library's drain statistics from Python and the verdict on the board's
FIFO drawn from them: the record's layout against the header, the verdict
against the shared vectors, and FifoOverflow raised from stream and poll
alike with the samples read so far on it."""

import ctypes
import re
from pathlib import Path

import numpy as np
import pytest

import kv318
from kv318 import _lib
from support import ramp

ROOT = Path(__file__).resolve().parents[2]
HEADER = ROOT / "library" / "include" / "KV318.h"
VERDICT_VECTORS = ROOT / "tests" / "vectors" / "fifo_verdict.csv"

needs_export = pytest.mark.skipif(
    _lib.stream_stats is None, reason="the library under test does not export KV318_StreamStats yet")


@pytest.fixture(params=["stream", "poll"])
def acquire(request):
    return lambda board, **kw: getattr(board, request.param)(**kw)


def header_record_layout():
    """(name, offset, size) of each field of KV318_STREAM_STATS as the
    header declares it, laid out with natural alignment, and the total."""
    text = HEADER.read_text()
    defines = {n: int(v) for n, v in re.findall(r"^#define (KV318_\w+) +(\d+)\b", text, re.M)}
    body = re.search(r"typedef struct KV318_STREAM_STATS \{(.*?)\} KV318_STREAM_STATS;", text, re.S).group(1)
    body = re.sub(r"/\*.*?\*/", "", body, flags=re.S)
    fields, offset, align = [], 0, 1
    for ctype, name, count in re.findall(r"(uint32_t|uint64_t)\s+(\w+)(?:\[(\w+)\])?\s*;", body):
        width = 4 if ctype == "uint32_t" else 8
        n = 1 if not count else (int(count) if count.isdigit() else defines[count])
        offset = (offset + width - 1) // width * width
        fields.append((name, offset, width * n))
        offset += width * n
        align = max(align, width)
    return fields, (offset + align - 1) // align * align, defines


def test_the_record_is_the_headers_field_for_field():
    fields, size, defines = header_record_layout()
    assert len(fields) == 10, "the header's record was not read whole"
    record = _lib.StreamStatsRecord
    assert [(name, getattr(record, name).offset, getattr(record, name).size) for name, *_ in record._fields_] == fields
    assert ctypes.sizeof(record) == size
    assert _lib.GAP_BUCKETS == defines["KV318_GAP_BUCKETS"]
    assert (_lib.STATS_NONE, _lib.STATS_STREAM, _lib.STATS_POLLED) == (
        defines["KV318_STATS_NONE"], defines["KV318_STATS_STREAM"], defines["KV318_STATS_POLLED"])


def test_the_verdict_gives_the_shared_answers():
    rows = [line for line in VERDICT_VECTORS.read_text().splitlines() if line and not line.startswith("#")]
    assert rows[0] == "clock_hz,divider,fifo_bytes,longest_gap_us,possible_loss"
    table = [[int(x) for x in row.split(",")] for row in rows[1:]]
    assert {0, 1} == {row[4] for row in table}
    for clock, divider, fifo, gap, loss in table:
        assert kv318.fifo_may_have_run_over(clock, divider, fifo, gap) == bool(loss), (clock, divider, fifo, gap)
        # The clock as the package keeps it (a float) decides the same.
        assert kv318.fifo_may_have_run_over(float(clock), divider, fifo, gap) == bool(loss)


class FakeStats:
    """Stands in for KV318_StreamStats: the longest gap is 0 until `loud()`
    holds, `gap_us` from then on; counts beyond 2**32."""

    def __init__(self, gap_us, loud=lambda: True):
        self.gap_us, self.loud, self.gone_loud = gap_us, loud, False

    def __call__(self, handle, ref):
        record = ref._obj
        assert record.size == ctypes.sizeof(_lib.StreamStatsRecord)
        self.gone_loud = self.gone_loud or self.loud()
        record.mode = _lib.STATS_STREAM
        record.bytes_drained = 2**40 + 3
        record.gap_histogram[31] = 2**33
        record.longest_gap_us = self.gap_us if self.gone_loud else 0
        return 0


@pytest.mark.parametrize("how", ["read", "iterate"])
def test_a_gap_too_long_for_the_fifo_raises_with_the_samples_so_far(sim_factory, acquire, monkeypatch, how):
    sim_factory(signal="ramp")
    handed = []
    with kv318.open(0) as board, acquire(board, divider=10) as acq:
        # 2 MHz / 10: 0.4 MB/s, which fills 512 KiB less a chunk in 1.27 s.
        # The gap shows once a few blocks have come.
        fetched = lambda: acq._have + sum(b.size for b in handed) > 20_000  # noqa: E731
        monkeypatch.setattr(_lib, "stream_stats", FakeStats(1_269_761, fetched))
        with pytest.raises(kv318.FifoOverflow) as caught:
            if how == "read":
                acq.read(10_000_000, timeout=60)
            else:
                for block in acq:
                    handed.append(block)
        err = caught.value
        assert isinstance(err, kv318.RingOverflow) and err.code is None
        assert str(err) == ("samples may have been lost in the board's FIFO: "
                            "a gap of 1269.8 ms between drains at 0.4 MB/s exceeds its 512 KiB")
        # Every sample fetched came out, in order: handed over before the
        # verdict or carried on the exception.
        got = np.concatenate(handed + [err.samples])
        assert got.size > 20_000
        np.testing.assert_array_equal(got, ramp(0, got.size))
        # The longest gap never shrinks: the next read says so again.
        with pytest.raises(kv318.FifoOverflow):
            acq.read(1, timeout=60)
        stats = acq.stats()
        assert (stats.mode, stats.bytes_drained, stats.gap_histogram[31]) == ("stream", 2**40 + 3, 2**33)


def test_the_verdict_takes_the_fifo_size_and_rate_given(sim_factory, monkeypatch):
    sim_factory(signal="ramp")
    # Exactly at the loss for 2 MHz / 10 and a 4 MiB FIFO, which is not
    # yet a loss; a clock 1 Hz faster makes it one.
    monkeypatch.setattr(_lib, "stream_stats", FakeStats(10_444_800))
    with kv318.open(0) as board, board.stream(divider=10, fifo_bytes=4 * 1024 * 1024) as stream:
        np.testing.assert_array_equal(stream.read(50_000, timeout=60), ramp(0, 50_000))
    with kv318.open(0) as board, board.poll(divider=10, clock_hz=2_000_001, fifo_bytes=4 * 1024 * 1024) as poll:
        with pytest.raises(kv318.FifoOverflow, match=r"10444\.8 ms between drains at 0\.4 MB/s exceeds its 4096 KiB"):
            poll.read(50_000, timeout=60)
    with kv318.open(0) as board, pytest.raises(ValueError, match="fifo_bytes"):
        board.stream(fifo_bytes=16_383)


@needs_export
def test_the_librarys_statistics_of_a_run(sim_factory, acquire):
    sim_factory(signal="ramp")
    with kv318.open(0) as board:
        acq = acquire(board, divider=10)
        with acq:
            samples = acq.read(100_000, timeout=60)
        np.testing.assert_array_equal(samples, ramp(0, samples.size))
        stats = acq.stats()  # after the stop too
    assert stats.mode == ("stream" if isinstance(acq, kv318.Stream) else "polled")
    assert stats.bytes_drained >= 2 * samples.size
    assert stats.ticks >= stats.drains >= 1
    assert len(stats.gap_histogram) == _lib.GAP_BUCKETS and sum(stats.gap_histogram) >= 1
    if stats.mode == "polled":
        assert stats.ring_high_water == 0


@needs_export
def test_a_fifo_barely_bigger_than_a_chunk_is_judged_overrun(sim_factory, acquire):
    sim_factory(signal="ramp")
    # One byte over a chunk: any gap of 13 us or more at 2 MHz / 10 could
    # have filled it, and every real gap between drains is longer.
    with kv318.open(0) as board, acquire(board, divider=10, fifo_bytes=16_385) as acq:
        with pytest.raises(kv318.FifoOverflow) as caught:
            acq.read(1_000_000, timeout=60)
    np.testing.assert_array_equal(caught.value.samples, ramp(0, caught.value.samples.size))
