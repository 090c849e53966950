"""The package as users get it: installed offline with pip from the source
tree, its pytest plugin found through the entry point by a small project of
their own, and the examples run against the simulator."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kv318
from support import ramp

PYTHON_DIR = Path(kv318.__file__).resolve().parents[1]

USER_TESTS = '''
import os, numpy as np, pytest, kv318

def test_default_sine(kv318_sim):
    with kv318.open(0) as board, board.stream() as s:
        volts = s.volts(s.read(4000, timeout=30))
    assert 2.4 < volts.max() <= 2.5 and -2.5 <= volts.min() < -2.4

@pytest.mark.kv318_sim(signal="ramp", boards=2)
def test_marker_options(kv318_sim):
    with kv318.open(1) as board, board.stream() as s:
        assert list(s.read(3, timeout=30)) == [0, 4, 8]

@pytest.mark.kv318_sim(fail="bulk-read")
def test_fault_then_failing_body(kv318_sim):
    with open("sim.txt", "w") as f:
        f.write(f"{kv318_sim.pid} {kv318_sim.dir}")
    with kv318.open(0) as board, board.stream() as s:
        with pytest.raises(kv318.TransferFailed):
            s.read(10, timeout=30)
    assert False, "this test fails on purpose"
'''


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """kv318 installed with pip into a directory of its own, from a copy of
    the source tree (the build leaves files beside its sources).  numpy is
    the system's: --target installs no dependency it could see."""
    root = tmp_path_factory.mktemp("install")
    source = root / "src"
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    target = root / "site"
    env = dict(os.environ, PIP_ROOT_USER_ACTION="ignore")
    r = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-cache-dir",
         "--no-deps", "--disable-pip-version-check", "--target", str(target), str(source)],
        capture_output=True, text=True, env=env, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    return target


def test_pip_installs_the_package_and_its_plugin(installed):
    assert (installed / "kv318" / "acquisition.py").is_file()
    # The metadata's version is the package's own.
    assert [d.name for d in installed.glob("kv318-*.dist-info")] == [f"kv318-{kv318.__version__}.dist-info"]
    entry_points = next(installed.glob("kv318-*.dist-info")).joinpath("entry_points.txt").read_text()
    assert "[pytest11]\nkv318 = pytest_kv318" in entry_points


def test_fixture_in_a_users_project(installed, tmp_path):
    (tmp_path / "test_user.py").write_text(USER_TESTS)
    env = dict(os.environ, PYTHONPATH=str(installed))
    r = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-rA", "test_user.py"],
                       cwd=tmp_path, capture_output=True, text=True, env=env, timeout=300)
    out = r.stdout + r.stderr
    assert re.search(r"1 failed, 2 passed", out), out
    assert "this test fails on purpose" in out
    assert "ERROR" not in out  # teardown stopped the simulator cleanly
    # The failed test's simulator was stopped and its directory removed.
    pid, directory = (tmp_path / "sim.txt").read_text().split()
    assert not os.path.exists(directory)
    with pytest.raises(ProcessLookupError):
        os.kill(int(pid), 0)


def run_example(name, *args):
    r = subprocess.run([sys.executable, str(PYTHON_DIR / "examples" / name), *args],
                       capture_output=True, text=True, timeout=120,
                       env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
    assert r.returncode == 0, r.stdout + r.stderr
    return r


def test_log_to_csv_example(sim_factory, tmp_path):
    sim_factory(signal="ramp")  # the example inherits KV318_DRIVER_DIR
    out = tmp_path / "log.csv"
    run_example("log_to_csv.py", "--samples", "20000", "--divider", "10", str(out))
    lines = out.read_text().splitlines()
    assert lines[0] == "index,time_s,code,volts"  # kv318-cli's columns
    assert lines[1:3] == ["0,0.000000,0,0", "1,0.000005,1,0.0006103515625"]
    rows = np.array([line.split(",") for line in lines[1:]], dtype=np.float64)
    assert rows.shape == (20000, 4)
    np.testing.assert_array_equal(rows[:, 0], np.arange(20000))
    np.testing.assert_allclose(rows[:, 1], np.arange(20000) / 200_000)
    np.testing.assert_array_equal(rows[:, 2], kv318.codes(ramp(0, 20000)))
    np.testing.assert_array_equal(rows[:, 3], kv318.volts(ramp(0, 20000)))


@pytest.mark.parametrize(
    "clock, divider, index, sample, line",
    [
        # kv318-cli's own cases for its CSV lines.
        (2_000_000, 50, 0, 0, "0,0.000000,0,0"),
        (2_000_000, 50, 3, 3 << 2, "3,0.000075,3,0.0018310546875"),
        (2_000_000, 2, 1_000_001, -8192 * 4, "1000001,1.000001,-8192,-5"),
        (2_000_000, 4095, 7, 8191 * 4, "7,0.0143325,8191,4.9993896484375"),
        (1_000, 1, 1_234, -4, "1234,1.234,-1,-0.0006103515625"),
        (1, 1, 5, 4096 * 4, "5,5,4096,2.5"),
        (3, 1, 2, 0, "2,0.666666667,0,0"),  # 1/3 s: rounded at 9 decimals
        (3, 1, 3, 0, "3,1.000000000,0,0"),
        (2_000_000, 50, 0, 6, "0,0.000000,2,0.001220703125"),  # 1.5 rounds to even
        (2_000_000, 50, 0, 10, "0,0.000000,2,0.001220703125"),  # 2.5 too
    ],
)
def test_log_to_csv_writes_what_kv318_cli_writes(clock, divider, index, sample, line):
    sys.path.insert(0, str(PYTHON_DIR / "examples"))
    try:
        import log_to_csv
    finally:
        sys.path.pop(0)
    rows = log_to_csv.CsvRows(clock, divider)
    assert list(rows.lines(np.array([sample], np.int16), first_index=index)) == [line + "\n"]


def test_plot_example_captures_20_ms_of_the_sine(tmp_path):
    sys.path.insert(0, str(PYTHON_DIR / "examples"))
    try:
        import plot
    finally:
        sys.path.pop(0)
    t, v = plot.capture(seconds=0.02)  # starts its own simulator
    assert t.size == v.size == 800  # 40,000 samples/s
    # The simulator's 1 kHz, 2.5 V sine: 20 whole cycles.
    np.testing.assert_allclose(v, 2.5 * np.sin(2 * np.pi * 1000 * t), atol=5 / 8192)
    if importlib.util.find_spec("matplotlib"):  # only the drawing needs it
        run_example("plot.py", str(tmp_path / "sine.png"))
        assert (tmp_path / "sine.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
