"""The kv318 pytest plugin: a fixture `kv318_sim` that runs kv318-sim around
each test that asks for it, and `kv318_server`, which serves that simulator
through kv318-server for tests of kv318.connect.

    def test_reads_ramp(kv318_sim):
        with kv318.open(0) as board, board.stream() as stream:
            ...

    @pytest.mark.kv318_sim(signal="ramp", fail="bulk-read:once")
    def test_survives_a_failed_transfer(kv318_sim):
        ...

    def test_reads_remotely(kv318_server):
        with kv318.connect(kv318_server.url) as board:
            ...

The marker's keyword arguments are kv318.Simulator's.  Registered through
the package's pytest11 entry point, so installing kv318 is all it takes.
kv318 is imported only when a test uses the fixture, so a missing library
never breaks unrelated test sessions.
"""

import os
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

# How long kv318-server may take to start on a busy machine.
_SERVER_START_S = 30.0


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "kv318_sim(**options): kv318-sim options for the kv318_sim fixture (see kv318.Simulator)"
    )


@pytest.fixture
def kv318_sim(request):
    """A running kv318.Simulator; boards opened during the test reach it.
    It is stopped after the test, passed or failed."""
    import kv318

    marker = request.node.get_closest_marker("kv318_sim")
    options = dict(marker.kwargs) if marker is not None else {}
    with kv318.Simulator(**options) as sim:
        yield sim


class ServedSimulator:
    """kv318-server serving the boards of a kv318.Simulator, listening on
    `listen` (default: a private ipc:// URL) with further command-line
    `args`.  `url` is its control URL, `sim` the simulator, `process` the
    server's Popen; stop(sig) ends the server (SIGKILL: at once, as a crash
    would)."""

    def __init__(self, sim, *args, listen=None):
        from kv318.simulator import SimulatorError, find_server

        self.sim = sim
        self._dir = tempfile.mkdtemp(prefix="kv318-server-", dir="/tmp")
        self.url = listen or f"ipc://{self._dir}/control"
        self._log_path = os.path.join(self._dir, "kv318-server.log")
        with open(self._log_path, "wb") as log:
            # The simulator pointed this process at its boards
            # (KV318_DRIVER_DIR); the server inherits that.
            self.process = subprocess.Popen([find_server(), "--listen", self.url, *args], stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + _SERVER_START_S
        while "serving board" not in self.log:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop(signal.SIGKILL)
                raise SimulatorError(f"kv318-server did not start: {self.log}")
            time.sleep(0.01)

    @property
    def log(self):
        with open(self._log_path, errors="replace") as f:
            return f.read()

    def stop(self, sig=signal.SIGTERM):
        """Ends the server with `sig` and waits for it; returns its exit code."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        return self.process.wait(_SERVER_START_S)

    def close(self):
        self.stop()
        shutil.rmtree(self._dir, ignore_errors=True)


@pytest.fixture
def kv318_server(kv318_sim):
    """kv318-server serving the kv318_sim fixture's boards (the marker's
    options apply); `kv318_server.url` is for kv318.connect.  Stopped after
    the test."""
    served = ServedSimulator(kv318_sim)
    yield served
    served.close()
