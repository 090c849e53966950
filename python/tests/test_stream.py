"""Streams and polled acquisitions against kv318-sim's ramp: every sample
checked, read(n) across blocks, each failure as its exception, one
acquisition per process, and the stop on every way out."""

import gc
import re
import signal
import time

import numpy as np
import pytest

import kv318
from kv318._lib import lib
from support import ramp


@pytest.fixture(params=["stream", "poll"])
def acquire(request):
    """Board.stream or Board.poll, for the behaviours both share."""
    return lambda board, **kw: getattr(board, request.param)(**kw)


def test_ramp_arrives_whole_across_many_blocks(sim_factory, acquire):
    sim = sim_factory(signal="ramp")
    with kv318.open(0) as board, acquire(board, divider=10) as acq:  # 200,000 samples/s
        blocks = []
        for block in acq:
            assert block.dtype == np.int16
            blocks.append(block)
            if len(blocks) == 60:
                break
    samples = np.concatenate(blocks)
    # Sample n of the run is ramp code n: nothing lost, doubled or shifted.
    np.testing.assert_array_equal(samples, ramp(0, samples.size))
    sim.wait_for_log(r"board 0: connection 1 closed")
    assert sim.fifo_drops(0) == 0


def test_read_n_across_block_boundaries(sim_factory, acquire):
    sim_factory(signal="ramp")
    with kv318.open(0) as board, acquire(board, divider=10) as acq:
        sizes = [1, 7, 999, 30_000, 3, 150_000, 2]
        got = [acq.read(n, timeout=30) for n in sizes]
        assert [g.size for g in got] == sizes
        after = next(acq)  # iteration goes on where read left off
        assert acq.read(0).size == 0
    np.testing.assert_array_equal(np.concatenate(got + [after]), ramp(0, sum(sizes) + after.size))


def _interrupt_after_first_block(acq):
    """Makes the acquisition's next fetch that brings samples also raise
    SIGINT, as a Ctrl-C in the middle of read(n) would."""
    fetch = acq._fetch

    def fetch_then_interrupt():
        block = fetch()
        if block is not None:
            del acq._fetch
            signal.raise_signal(signal.SIGINT)
        return block

    acq._fetch = fetch_then_interrupt


@pytest.mark.parametrize(
    "fail, error",
    [
        ("bulk-read:after=20", kv318.TransferFailed),  # a transfer fails mid-read
        ("stall:after=20", TimeoutError),  # the board stops sending
        (None, KeyboardInterrupt),  # Ctrl-C mid-read; the acquisition goes on
    ],
)
def test_a_failed_read_hands_over_what_it_took(sim_factory, acquire, fail, error):
    sim_factory(signal="ramp", **({"fail": fail} if fail else {}))
    with kv318.open(0) as board, acquire(board, divider=50, timeout=1) as acq:
        if error is KeyboardInterrupt:
            _interrupt_after_first_block(acq)
        with pytest.raises(error) as e:
            acq.read(10_000_000)
        took = e.value.samples
        assert took.dtype == np.int16 and took.size > 0
        np.testing.assert_array_equal(took, ramp(0, took.size))
        if error is KeyboardInterrupt:
            # Handed over once: the next read goes on right after them.
            np.testing.assert_array_equal(acq.read(100, timeout=30), ramp(took.size, 100))


def test_iteration_times_out_without_samples(sim_factory):
    sim_factory(signal="ramp", clock=1000)
    with kv318.open(0) as board, board.stream(divider=4095, timeout=0.2) as s:  # one sample in 4 s
        with pytest.raises(TimeoutError):
            next(s)


def test_volts_and_codes_as_the_panel_shows_them():
    raw = [4937, 6, 10, 2, -2, 2048, 32767, -32768, 28]
    np.testing.assert_array_equal(kv318.codes(raw), [1234, 2, 2, 0, 0, 512, 8192, -8192, 7])
    np.testing.assert_array_equal(kv318.volts(raw), np.array([1234, 2, 2, 0, 0, 512, 8192, -8192, 7]) * 5 / 8192)
    assert kv318.Stream.volts(np.array([2048], np.int16))[0] == 0.3125


def test_one_acquisition_per_process(sim_factory):
    sim_factory(boards=2, signal="ramp")
    with kv318.open(0) as b0, kv318.open(1) as b1:
        with b0.stream() as first:
            for second in (b0.stream(), b1.stream(), b1.poll()):
                busy = "another stream is running in this process on board 0"
                with pytest.raises(kv318.AcquisitionBusy, match=busy):
                    second.start()
            assert first.read(100, timeout=30).size == 100
        with b1.poll() as p:  # free again once stopped
            assert p.read(100, timeout=30).size == 100


def test_stream_failures_raise_their_exceptions(sim_factory):
    sim_factory(signal="ramp", fail="bulk-read:once")
    with kv318.open(0) as board:
        with board.stream() as s:
            with pytest.raises(kv318.TransferFailed) as e:
                s.read(100, timeout=30)
            assert e.value.code == -3
            assert re.fullmatch(r"KV318_Read: a transfer fault, until KV318_StopAD: a bulk read of \d+ bytes on "
                                rf"handle {board.handle} failed: the driver refused it", e.value.detail)
            with pytest.raises(kv318.TransferFailed) as again:  # until stopped
                next(s)
            assert again.value.detail == e.value.detail
        with board.stream() as s:  # the failure was once
            np.testing.assert_array_equal(s.read(100, timeout=30), ramp(0, 100))

        # Another handle stops the converter: the board then reports the
        # acquisition not enabled as soon as samples wait in the ring.
        with board.stream(divider=50) as s, kv318.open(0) as other:
            time.sleep(0.2)  # 8000 samples made on the simulator's clock, nothing read yet
            other.inb(4)
            with pytest.raises(kv318.AcquisitionNotEnabled) as e:
                s.read(1_000_000, timeout=30)
            assert e.value.code == -1
            assert re.fullmatch(r"KV318_Read: the board reports acquisition not enabled \(status 0x[0-9A-F]{2}\): "
                                r"something stopped its conversion; the buffered samples are kept", e.value.detail)

        # Not read for long enough, the library's 2 MiB ring overflows.
        with board.stream(divider=2) as s:  # 2 MB/s
            with pytest.raises(kv318.RingOverflow) as e:
                for wait in (1.5, 3, 6, 12):
                    time.sleep(wait)
                    s.read(1)
            assert e.value.code == -2
            assert e.value.detail == ("KV318_Read: the ring ran over: samples were lost; stop the stream and start it "
                                      "again")


@pytest.mark.parametrize("kind", ["stream", "poll"])
def test_a_board_that_goes_away_is_named_disconnected(sim_factory, kind):
    sim = sim_factory(signal="ramp")
    with kv318.open(0) as board, getattr(board, kind)(timeout=30) as acq:
        np.testing.assert_array_equal(acq.read(100), ramp(0, 100))
        sim.stop()  # the driver exits: its connection ends
        with pytest.raises(kv318.TransferFailed) as e:
            acq.read(10_000_000)
        assert e.value.detail.endswith(f"on handle {board.handle} failed: the board is disconnected (its driver "
                                       "closed the connection or stopped answering)")


def test_poll_failures_raise_their_exceptions(sim_factory):
    sim_factory(signal="ramp", fail="bulk-read:once")
    with kv318.open(0) as board, kv318.open(0) as other:
        with board.poll() as p:
            with pytest.raises(kv318.TransferFailed):
                p.read(1000, timeout=30)
        with board.poll() as p:
            p.read(10, timeout=30)
            other.inb(4)
            with pytest.raises(kv318.AcquisitionNotEnabled):
                p.read(1_000_000, timeout=30)


def test_start_failure_leaves_nothing_running(sim_factory):
    sim_factory(signal="ramp", fail="0x8E:once")  # the pipe reset of the start sequence
    with kv318.open(0) as board:
        with pytest.raises(kv318.RequestFailed, match="starting the stream failed"):
            with board.stream():
                pytest.fail("the body ran")
        with board.stream() as s:
            np.testing.assert_array_equal(s.read(100, timeout=30), ramp(0, 100))


def test_stream_stops_when_the_body_raises(sim_factory, acquire):
    sim_factory(signal="ramp")
    with kv318.open(0) as board:
        with pytest.raises(RuntimeError, match="body"):
            with acquire(board) as acq:
                acq.read(100, timeout=30)
                raise RuntimeError("body")
        assert not acq.running
        assert not board.inb(0) & 0x04  # the converter is stopped
        # The library's own stream is over too: it accepts a new start.
        assert lib.KV318_AD(board.handle, 0, 0, 0, 0, 50) == 0
        lib.KV318_StopAD(board.handle)
        with pytest.raises(ValueError, match="not running"):
            acq.read(1)


def test_closing_the_board_stops_its_stream(sim_factory):
    sim_factory(signal="ramp")
    board = kv318.open(0)
    s = board.stream()
    s.start()
    board.close()
    assert not s.running
    with kv318.open(0) as again, again.stream() as s2:
        assert s2.read(10, timeout=30).size == 10


def test_a_dropped_stream_stops_and_frees_the_process(sim_factory):
    sim_factory(signal="ramp")
    with kv318.open(0) as board:
        s = board.stream()
        s.start()
        del s
        gc.collect()
        assert not board.inb(0) & 0x04
        with board.stream() as again:
            np.testing.assert_array_equal(again.read(100, timeout=30), ramp(0, 100))
