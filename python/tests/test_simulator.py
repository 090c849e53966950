"""kv318.Simulator: finding kv318-sim, its options, and a clean stop on
every way out of the block."""

import os
import signal

import numpy as np
import pytest

import kv318
from kv318.simulator import find_simulator


def gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def test_stops_and_cleans_up_when_the_body_raises():
    before = os.environ.get("KV318_DRIVER_DIR")
    with pytest.raises(RuntimeError, match="body"):
        with kv318.Simulator(signal="ramp") as sim:
            pid, directory = sim.pid, sim.dir
            assert os.environ["KV318_DRIVER_DIR"] == directory
            assert os.stat(directory).st_mode & 0o077 == 0
            with kv318.open(0) as board:
                board.do(0x55)
            raise RuntimeError("body")
    assert gone(pid)
    assert sim.returncode == 0  # SIGTERM, not a kill
    assert not os.path.exists(os.path.dirname(directory))
    assert os.environ.get("KV318_DRIVER_DIR") == before
    assert "stopped by SIGTERM" in sim.log
    with pytest.raises(kv318.BoardNotFound):  # the library no longer looks there
        kv318.open(0)


def test_a_simulator_that_died_is_reported():
    with pytest.raises(kv318.SimulatorError, match="ended on its own"):
        with kv318.Simulator() as sim:
            os.kill(sim.pid, signal.SIGKILL)
            sim._proc.wait()
    assert not sim.running


@pytest.mark.parametrize(
    "options, message",
    [
        (dict(boards=17), "bad value '17' for --boards"),
        (dict(fail="nonsense"), "--fail"),
        (dict(signal="triangle"), "signal must be one of sine, ramp, square, const"),
        (dict(duty=101), "--duty"),
    ],
)
def test_refused_options(options, message):
    with pytest.raises(ValueError, match=message):
        kv318.Simulator(**options).start()


def test_refused_arguments_leave_a_clean_object():
    # Tracebacks show the half-built object (pytest --showlocals, debuggers):
    # its repr must work.
    with pytest.raises(ValueError) as e:
        kv318.Simulator(signal="triangle")
    frame = e.tb.tb_next.tb_frame if e.tb.tb_next else e.tb.tb_frame
    half_built = frame.f_locals["self"]
    assert repr(half_built) == "<kv318.Simulator 1 board(s), triangle (stopped)>"


def test_options_reach_the_simulator():
    with kv318.Simulator(boards=2, signal="const", value=-2.5, inputs=0x00A5) as sim:
        assert "serving 2 boards" in sim.log
        with sim.open(1) as board, board.stream() as s:
            assert board.di() == 0x00A5
            assert set(s.volts(s.read(100, timeout=30))) == {-2.5}


def test_square_wave_options_reach_the_simulator():
    # 2 MHz / 50 = 40 kS/s: a 1 kHz square is 40 samples a period, 10 of
    # them high at 25 % duty.
    with kv318.Simulator(signal="square", freq=1000, amp=2.0, offset=0.5, duty=25) as sim:
        with sim.open(0) as board, board.stream(divider=50) as s:
            volts = s.volts(s.read(4000, timeout=30))
    assert set(np.round(volts, 2)) == {-1.5, 2.5}
    assert abs(np.mean(volts > 0.5) - 0.25) <= 1 / 40


def test_finding_kv318_sim(tmp_path):
    exe = os.environ["KV318_SIM"]
    assert find_simulator({"KV318_SIM": exe}) == exe
    with pytest.raises(kv318.SimulatorError, match="KV318_SIM=/nowhere is not a file"):
        find_simulator({"KV318_SIM": "/nowhere"})

    beside = tmp_path / "lib"
    beside.mkdir()
    (beside / "kv318-sim").write_text("")
    assert find_simulator({}, library_path=str(beside / "libKV318.so")) == str(beside / "kv318-sim")

    # Installed: the library in prefix/lib or prefix/lib/<multiarch>, the
    # simulator in prefix/bin.
    installed = tmp_path / "usr"
    (installed / "bin").mkdir(parents=True)
    (installed / "bin" / "kv318-sim").write_text("")
    for libdir in ("lib", "lib64", "lib/x86_64-linux-gnu"):
        (installed / libdir).mkdir(parents=True, exist_ok=True)
        found = find_simulator({}, library_path=str(installed / libdir / "libKV318.so"))
        assert found == str(installed / "bin" / "kv318-sim")

    on_path = tmp_path / "bin"
    on_path.mkdir()
    (on_path / "kv318-sim").write_text("")
    (on_path / "kv318-sim").chmod(0o755)
    assert find_simulator({"PATH": str(on_path)}, library_path="libKV318.so") == str(on_path / "kv318-sim")

    with pytest.raises(kv318.SimulatorError) as e:
        find_simulator({"PATH": str(tmp_path)}, library_path=str(tmp_path / "libKV318.so"))
    assert f"beside the library: {tmp_path / 'kv318-sim'}" in str(e.value)
    assert "kv318-sim on PATH" in str(e.value)
