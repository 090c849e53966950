"""The benchmark scripts run by a Python that lacks a module they import:
one line naming the Debian package, exit status 2, no traceback; and with
every module there, the check lets them start."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SERVER_BENCHMARK = ROOT / "benchmarks" / "server" / "server_benchmark.py"
STREAM_BENCHMARK = ROOT / "python" / "benchmarks" / "stream_benchmark.py"
sys.path.insert(0, str(ROOT / "tests" / "support"))
import needed_modules  # noqa: E402


def run_hiding(script, hidden, tmp_path):
    """Runs `script --help` with the modules of `hidden` failing to import:
    a module of that name earlier on the path raises ImportError, as an
    absent one would."""
    for module in hidden:
        (tmp_path / f"{module}.py").write_text(f"raise ImportError('{module} is hidden by the test')\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path), PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([sys.executable, str(script), "--help"], env=env, capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize("script, hidden, packages", [
    (SERVER_BENCHMARK, ["zmq"], "python3-zmq"),
    (SERVER_BENCHMARK, ["numpy"], "python3-numpy"),
    (SERVER_BENCHMARK, ["zmq", "numpy"], "python3-zmq python3-numpy"),
    (STREAM_BENCHMARK, ["numpy"], "python3-numpy"),
])
def test_missing_module_names_its_package(script, hidden, packages, tmp_path):
    r = run_hiding(script, hidden, tmp_path)
    assert r.returncode == 2, r.stdout + r.stderr
    assert "Traceback" not in r.stderr
    assert f"cannot import {', '.join(hidden)}; install with: sudo apt-get install {packages}\n" in r.stderr
    assert r.stdout == ""


def test_all_modules_present_starts(tmp_path):
    # The stream benchmark loads the built library as it starts, so only the
    # server benchmark's --help runs with nothing built.
    r = run_hiding(SERVER_BENCHMARK, [], tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("usage:")
    assert "apt-get" not in r.stderr


@pytest.mark.parametrize("executable, hinted", [
    (needed_modules.SYSTEM_PYTHON, False),
    ("/opt/venv/bin/python3", True),
])
def test_other_interpreter_is_told_which_python_the_packages_serve(executable, hinted, monkeypatch, capsys):
    monkeypatch.setattr(sys, "executable", executable)
    # None in sys.modules makes an import fail as if the module were absent.
    monkeypatch.setitem(sys.modules, "zmq", None)
    with pytest.raises(SystemExit) as e:
        needed_modules.require("tool", ["zmq"])
    assert e.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith(f"tool: {executable} cannot import zmq; install with: sudo apt-get install python3-zmq\n")
    assert ("run the script with it" in err) == hinted


def test_nothing_missing_returns(monkeypatch):
    monkeypatch.setitem(sys.modules, "zmq", None)
    assert needed_modules.missing(["os", "zmq", "json"]) == ["zmq"]
    needed_modules.require("tool", ["os", "json"])
