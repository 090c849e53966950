"""kv318.record against kv318-sim's ramp, read back with h5py: the layout of
kv318-cli's own HDF5 files attribute by attribute, every code in place,
runs appended, split, compressed, killed, and losses written as events."""

import os
import signal
import subprocess
import sys
from pathlib import Path

import h5py
import numpy as np
import pytest

import kv318
from support import FALL_BEHIND_SAMPLES, ramp, ramp_codes, wait_until

KV318_DIR = Path(kv318.__file__).resolve().parent


def run_cli(*args):
    cli = os.environ["KV318_CLI"]
    assert os.path.isfile(cli), f"KV318_CLI={cli} is not a file: build kv318-cli"
    # A server URL in the caller's environment would send kv318-cli there.
    env = {k: v for k, v in os.environ.items() if k != "KV318_SERVER"}
    done = subprocess.run([cli, *args], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return done


def attribute_types(group):
    """Each attribute's shape, numpy type and, for strings, encoding and
    whether variable-length: what a reader of the file relies on."""
    out = {}
    for name in group.attrs:
        a = group.attrs.get_id(name)
        out[name] = (a.shape, a.dtype.str, h5py.check_string_dtype(a.dtype))
    return out


def check_run(group, first, count):
    samples = group["samples"]
    assert (samples.dtype, samples.maxshape, samples.shape) == (np.int16, (None,), (count,))
    assert samples.chunks is not None
    np.testing.assert_array_equal(samples[()], ramp_codes(first, count))
    assert (group.attrs["first_index"], group.attrs["samples_written"]) == (first, count)


@pytest.mark.parametrize("compress", [False, True])
def test_a_recording_has_the_clis_layout_and_appends_to_its_file(sim_factory, tmp_path, compress):
    sim_factory(signal="ramp")
    path = tmp_path / "shared.h5"
    run_cli("stream", "--clock", "2000000", "-d", "50", "-n", "70000", "-o", str(path))
    with kv318.open(0) as board, board.stream(divider=50) as s, kv318.record(s, path, compress=compress) as rec:
        got = rec.take(70_000, timeout=60)
        assert rec.groups == ["run_0002"]
    np.testing.assert_array_equal(got, ramp(0, 70_000))
    with h5py.File(path, "r") as f:
        assert sorted(f.keys()) == ["run_0001", "run_0002"]
        cli, py = f["run_0001"], f["run_0002"]
        check_run(cli, 0, 70_000)
        check_run(py, 0, 70_000)
        assert attribute_types(py) == attribute_types(cli)
        assert set(py.keys()) == set(cli.keys()) | {"events"}
        assert py["events"].shape == (0,)
        assert (py["samples"].compression, py["samples"].shuffle) == (("gzip", True) if compress else (None, False))
        for name in ("clock_hz", "divider", "sample_rate_hz", "volts_per_code", "volts_offset", "board"):
            assert py.attrs[name] == cli.attrs[name], name
        assert py.attrs["tool"] == kv318.recorder.TOOL and kv318.__version__ in py.attrs["tool"]
        # The same lines in the same order; only the tool, the start and the
        # name of the clock's option differ.
        cli_lines, py_lines = (g.attrs["description"].split("\n") for g in (cli, py))
        assert [line.split(":")[0] for line in py_lines[1:]] == [line.split(":")[0] for line in cli_lines[1:]]
        for mine, theirs in zip(py_lines[1:], cli_lines[1:]):
            if mine.startswith("converter clock"):
                assert mine.split(", as given")[0] == theirs.split(", as given")[0]
            elif not mine.startswith("start"):
                assert mine == theirs
        assert py_lines[0] == py.attrs["tool"] and py_lines[-1] == "start: " + py.attrs["started_utc"]
        for g in (cli, py):
            assert g.attrs["fifo"].startswith("fifo: no gap between drains exceeded its 512 KiB"), g.attrs["fifo"]


def test_runs_append_groups_and_other_files_are_left_alone(sim_factory, tmp_path):
    sim_factory(signal="ramp")
    notes = tmp_path / "notes.h5"
    notes.write_bytes(b"my notes, not HDF5\n")
    empty = tmp_path / "empty.h5"
    empty.write_bytes(b"")
    with kv318.open(0) as board:
        with board.stream() as s, pytest.raises(ValueError, match="exists and is not an HDF5 file, so it was left"):
            kv318.record(s, notes)
        # An empty run still makes its group, which says what it was.
        for path, count in [(empty, 5000), (empty, 1234), (tmp_path / "new.hdf5", 3), (tmp_path / "new.hdf5", 0)]:
            with board.poll(divider=20) as s, kv318.record(s, path) as rec:
                rec.run(samples=count)
    assert notes.read_bytes() == b"my notes, not HDF5\n"
    with h5py.File(empty, "r") as f:
        assert sorted(f.keys()) == ["run_0001", "run_0002"]
        check_run(f["run_0001"], 0, 5000)
        check_run(f["run_0002"], 0, 1234)
        assert "acquisition: polled (KV318_M_AD), mode flags 0 0 0 0" in f["run_0002"].attrs["description"]
    with h5py.File(tmp_path / "new.hdf5", "r") as f:
        check_run(f["run_0001"], 0, 3)
        check_run(f["run_0002"], 0, 0)
        assert f["run_0002"].attrs["fifo"].startswith("fifo: ")


@pytest.mark.parametrize("split", [dict(split_samples=2000), dict(split=0.05)])  # 0.05 s at 40 kS/s
def test_split_continues_first_index_across_groups(sim_factory, tmp_path, split):
    sim_factory(signal="ramp")
    path = tmp_path / "split.h5"
    with kv318.open(0) as board, board.stream(divider=50) as s, kv318.record(s, path, **split) as rec:
        rec.run(seconds=9000 / 40_000)
    names = [f"run_{i:04d}" for i in range(1, 6)]
    assert rec.groups == names
    with h5py.File(path, "r") as f:
        assert sorted(f.keys()) == names
        for name, (first, count) in zip(names, [(0, 2000), (2000, 2000), (4000, 2000), (6000, 2000), (8000, 1000)]):
            check_run(f[name], first, count)
            assert f[name].attrs["fifo"].startswith("fifo: "), "every group of the run gets the note"
            assert f[name].attrs["started_utc"] == f["run_0001"].attrs["started_utc"]


KILLED_RECORDER = """
import sys, kv318
with kv318.open(0) as board, board.stream(divider=20) as s, kv318.record(s, sys.argv[1]) as rec:
    rec.run()
"""


def test_a_killed_recorder_leaves_a_file_that_opens_with_every_flushed_sample(sim_factory, tmp_path):
    sim_factory(signal="ramp")
    path = tmp_path / "killed.h5"
    with kv318.open(0) as board, board.stream() as s, kv318.record(s, path) as rec:
        rec.take(100)  # an earlier run must survive the kill as well
    env = dict(os.environ, PYTHONPATH=str(KV318_DIR.parent))
    child = subprocess.Popen([sys.executable, "-c", KILLED_RECORDER, str(path)], env=env, stderr=subprocess.PIPE)

    def flushed_past(count):
        try:
            with h5py.File(path, "r", locking=False) as f:
                return "run_0002" in f and f["run_0002"]["samples"].shape[0] > count
        except Exception:  # caught mid-flush: look again
            return False

    try:
        assert wait_until(lambda: flushed_past(150_000), timeout=60), child.poll()
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(30)
        child.stderr.close()
    assert child.returncode == -signal.SIGKILL
    # The next run appends to the killed file.
    with kv318.open(0) as board, board.stream() as s, kv318.record(s, path) as rec:
        rec.take(10)
    with h5py.File(path, "r") as f:
        assert sorted(f.keys()) == ["run_0001", "run_0002", "run_0003"]
        check_run(f["run_0001"], 0, 100)
        check_run(f["run_0003"], 0, 10)
        killed = f["run_0002"]
        count = killed["samples"].shape[0]
        assert count > 150_000
        check_run(killed, 0, count)  # samples_written says the same, the ramp intact
        assert "fifo" not in killed.attrs, "the run never ended"


@pytest.mark.parametrize("sim, options, error, kind", [
    (dict(fail="bulk-read:once"), {}, kv318.TransferFailed, "transfer"),
    ({}, dict(fifo_bytes=16_384), kv318.FifoOverflow, "fifo"),  # a FIFO no gap fits
])
def test_a_read_failure_in_the_callers_loop_becomes_an_events_row(sim_factory, tmp_path, sim, options, error, kind):
    sim_factory(signal="ramp", **sim)
    path = tmp_path / "lost.h5"
    with pytest.raises(error) as caught:
        with kv318.open(0) as board, board.stream(divider=50, **options) as s, kv318.record(s, path) as rec:
            for block in s:
                rec.write(block)
    with h5py.File(path, "r") as f:
        g = f["run_0001"]
        count = g.attrs["samples_written"]
        check_run(g, 0, count)  # the samples before it, those it carried too
        rows = g["events"][()]
        assert [(int(r["index"]), r["kind"].decode(), r["text"].decode()) for r in rows] == [
            (count, kind, str(caught.value))]
        assert g.attrs["fifo"].startswith("fifo: samples may have been lost" if kind == "fifo" else "fifo: no gap")


@pytest.mark.kv318_sim(signal="ramp")
def test_a_follower_that_falls_behind_records_the_gap(kv318_server, tmp_path):
    url = kv318_server.url
    path = tmp_path / "followed.h5"
    with kv318.connect(url) as owner, kv318.connect(url) as watcher, watcher.follow(timeout=30) as follower:
        with owner.stream(divider=2) as stream, kv318.record(follower, path) as rec:
            rec.take(1000, timeout=60)
            # 1 MS/s for 30 s while the follower reads nothing: more than
            # the server's and the client's queues hold.
            taken = 0
            while taken < FALL_BEHIND_SAMPLES:
                taken += stream.read(500_000, timeout=60).size
            while follower.missed == 0:
                rec.take(100_000, timeout=60)
            rec.take(100_000, timeout=60)  # and on after the gap
            number = follower.stream_number
    with h5py.File(path, "r") as f:
        g = f["run_0001"]
        rows = g["events"][()]
        assert len(rows) == 1 and rows[0]["kind"] == b"missed", rows
        at = int(rows[0]["index"])
        first = follower.first_index
        assert 1000 <= at - first < rec.samples_written
        assert rows[0]["text"].decode().startswith(f"{follower.missed} samples of board 0 (from index {at})")
        codes = g["samples"][()]
        assert codes.size == g.attrs["samples_written"] == rec.samples_written
        # The codes from the stream's index `first`, the gap's at index `at`.
        k = at - first
        np.testing.assert_array_equal(codes[:k], ramp_codes(first, k))
        np.testing.assert_array_equal(codes[k:], ramp_codes(at + follower.missed, codes.size - k))
        assert g.attrs["description"].split("\n")[-1] == (
            f"server: kv318-server at {url}, stream {number} (followed: the clock and divider are its controller's; "
            "its mode flags are not known here)")
        assert (g.attrs["divider"], g.attrs["first_index"]) == (2, follower.first_index)


def test_the_package_imports_without_h5py_and_record_says_what_it_needs():
    script = ("import sys; sys.modules['h5py'] = None\n"
              "import kv318\n"
              "try:\n    kv318.record(None, 'x.h5')\nexcept ImportError as e:\n    print(e)\n")
    env = dict(os.environ, PYTHONPATH=str(KV318_DIR.parent))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "kv318.record needs h5py: pip install 'kv318[hdf5]'" in done.stdout
