"""Test setup: the library and kv318-sim under test, and the plugin.

KV318_LIBRARY, KV318_SIM and KV318_SERVER_PROGRAM name the built library,
simulator and server (CTest sets them); when unset, the linux preset's
build tree is used.  Any missing is an error, never a skip, so the suite cannot pass
without having run.
"""

import os
import sys
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
BUILD_DIR = PYTHON_DIR.parent / "build" / "linux"

os.environ.setdefault("KV318_LIBRARY", str(BUILD_DIR / "library" / "libKV318.so"))
os.environ.setdefault("KV318_SIM", str(BUILD_DIR / "simulator" / "kv318-sim"))
os.environ.setdefault("KV318_SERVER_PROGRAM", str(BUILD_DIR / "server" / "kv318-server"))
# kv318-cli, whose HDF5 files the recorder's must match; only those tests
# need it, and they fail without it.
os.environ.setdefault("KV318_CLI", str(BUILD_DIR / "cli" / "kv318-cli"))
for var in ("KV318_LIBRARY", "KV318_SIM", "KV318_SERVER_PROGRAM"):
    if not os.path.isfile(os.environ[var]):
        raise pytest.UsageError(f"{var}={os.environ[var]} is not a file: build the linux preset or set {var}")

# The package under test is this source tree's, ahead of any installed one.
sys.path.insert(0, str(PYTHON_DIR))
# The helpers the end-to-end scripts share (tests/support: free ports, a
# kv318-server child process), behind everything else.
sys.path.append(str(PYTHON_DIR.parent / "tests" / "support"))

import kv318  # noqa: E402  (loads the library named above)
import pytest_kv318  # noqa: E402


def pytest_configure(config):
    # Installed, kv318 registers its plugin through its entry point; from the
    # source tree it is registered here.
    if not config.pluginmanager.is_registered(pytest_kv318) and not config.pluginmanager.has_plugin("kv318"):
        config.pluginmanager.register(pytest_kv318, "kv318")


@pytest.fixture
def sim_factory():
    """Starts simulators with the given options; stops them after the test."""
    started = []

    def start(**options):
        sim = kv318.Simulator(**options)
        sim.start()
        started.append(sim)
        return sim

    yield start
    for sim in reversed(started):
        sim._shut_down()
