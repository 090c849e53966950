"""One stream of kv318-server read by every program at once: kv318-cli
controls it, and kv318-cli, the kv318 package and kv318-scope (offscreen)
follow it, each a process of its own.

Run by CTest: tools_end_to_end.py --cli PATH --sim PATH --server PATH
--scope PATH, with the package importable and its library named by
KV318_LIBRARY.  The controller's raw recording is the stream itself (the
simulator's ramp checked sample by sample); every follower's samples must
be the very samples the controller has at the indices the follower gives
them, with none missed.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import wave

import numpy as np

import sim_process
from server_process import Server
from sim_process import eventually

CLI = SIM = SERVER = SCOPE = None
HERE = os.path.dirname(os.path.abspath(__file__))
PERIOD = 16384  # the ramp repeats after this many samples
# A modest rate: four programs and the server share a busy 2-core machine
# here, and a scope rendering offscreen must keep up too.  The benchmark
# (benchmarks/server) measures the top rate.  The FIFO is made large for
# the same reason: the board must lose nothing before the server reads it.
CLOCK, DIVIDER, SAMPLES = 2_000_000, 8, 1_500_000
SIM_ARGS = ("--signal", "ramp", "--clock", str(CLOCK), "--fifo", "8388608")
BOARD = ("--clock", str(CLOCK), "--fifo-bytes", "8388608")


def ramp_index(words):
    """The ramp index (modulo PERIOD) each sample word stands for."""
    return (np.asarray(words, dtype=np.int16).view(np.uint16) >> 2).astype(np.int64)


def csv_rows(path):
    """A CSV recording's index and code columns (its comment lines and
    column names left out)."""
    with open(path) as f:
        lines = [line for line in f if line[:1].isdigit()]
    rows = np.loadtxt(lines, delimiter=",", usecols=(0, 2), dtype=np.int64, ndmin=2)
    return rows[:, 0], rows[:, 1]


class EveryToolFollowsOneStream(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kv318-test-tools-")
        self.sim = sim_process.Sim(SIM, *SIM_ARGS, program=CLI).__enter__()
        self.server = Server(SERVER, self.sim).start()
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.communicate(timeout=60)
        self.server.__exit__(None, None, None)
        self.sim.__exit__(None, None, None)
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self, argv, **env):
        p = sim_process.child(argv, env=dict(self.sim.env, **env), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)
        self.procs.append(p)
        return p

    def finish(self, p, what):
        out, err = p.communicate(timeout=180)
        self.assertEqual(p.returncode, 0, "%s: %s%s" % (what, out, err))
        return out, err

    def test_a_controller_and_three_different_followers_see_the_same_samples_at_the_same_indices(self):
        url = self.server.url
        package = self.start([sys.executable, os.path.join(HERE, "package_follower.py"), "--url", url,
                              "--out", self.path("package.raw")])
        ready = json.loads(package.stdout.readline() or "{}")
        if ready != {"ready": True}:
            self.fail("the kv318 package's follower did not start: " + package.communicate(timeout=60)[1])
        ctl_path = self.path("controller.raw")
        controller = self.start([CLI, "--server", url, "stream", "-d", str(DIVIDER), "-n", str(SAMPLES), *BOARD,
                                 "-o", ctl_path])
        self.assertTrue(eventually(lambda: os.path.exists(ctl_path) and os.path.getsize(ctl_path) > 200_000
                                   or controller.poll() is not None, 60))
        self.assertIsNone(controller.poll(), controller.stderr.read() if controller.poll() is not None else "")
        cli = self.start([CLI, "--server", url, "stream", "--follow", "--fifo-bytes", "8388608", "-o",
                          self.path("cli.csv")])
        scope = self.start([SCOPE, "--server", url, "--follow", "--record", self.path("scope.wav"),
                            "--screenshot", self.path("scope.png"), "--after", "2"], QT_QPA_PLATFORM="offscreen")

        self.finish(controller, "the controlling kv318-cli")
        ctl = np.fromfile(ctl_path, dtype=np.int16)
        self.assertEqual(ctl.size, SAMPLES)
        bad = np.nonzero(ramp_index(ctl) != np.arange(SAMPLES) % PERIOD)[0]
        self.assertEqual(bad.size, 0, "the controller's ramp breaks at sample %s" % bad[:5])

        def same(what, first, words):
            """`words` are the stream's samples from index `first` on: where
            the controller's file holds those too, they must be its very
            samples, and past its end (the samples the board delivered
            before the controller's stop took effect) the ramp goes on."""
            words = np.asarray(words, dtype=np.int16)
            self.assertGreater(words.size, 0, what)
            shared = max(0, min(words.size, SAMPLES - first))
            differ = np.nonzero(ctl[first:first + shared] != words[:shared])[0]
            self.assertEqual(differ.size, 0, "%s: sample %s differs from the controller's" % (what, differ[:5]))
            beyond = np.nonzero(ramp_index(words) != (first + np.arange(words.size)) % PERIOD)[0]
            self.assertEqual(beyond.size, 0, "%s: the ramp breaks at its sample %s" % (what, beyond[:5]))

        out, _ = self.finish(package, "the kv318 package's follower")
        p = json.loads(out.splitlines()[-1])
        self.assertEqual((p["first"], p["missed"]), (0, 0), p)
        self.assertGreaterEqual(p["got"], SAMPLES, p)
        same("the package", 0, np.fromfile(self.path("package.raw"), dtype=np.int16))

        _, err = self.finish(cli, "the following kv318-cli")
        index, code = csv_rows(self.path("cli.csv"))
        self.assertTrue(np.array_equal(index, np.arange(index[0], index[0] + index.size)),
                        "the following kv318-cli's indices jump: " + err)
        self.assertGreaterEqual(index[-1], SAMPLES - 1, "the following kv318-cli did not read to the end")
        self.assertTrue(np.array_equal(code % PERIOD, index % PERIOD), "the following kv318-cli's codes")
        kept = index < SAMPLES
        self.assertTrue(np.array_equal(code[kept] % PERIOD, ramp_index(ctl[index[kept]])),
                        "the following kv318-cli's codes differ from the controller's")

        _, err = self.finish(scope, "kv318-scope")
        report = re.search(r"(\d+) samples from index (\d+), (\d+) missed", err)
        self.assertIsNotNone(report, err)
        got, first, missed = (int(g) for g in report.groups())
        self.assertEqual(missed, 0, err)
        with wave.open(self.path("scope.wav")) as w:
            words = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        self.assertGreaterEqual(words.size, CLOCK // DIVIDER // 2, err)
        self.assertEqual(words.size, got, err)
        same("kv318-scope", first, words)


if __name__ == "__main__":
    args, rest = sim_process.programs("cli", "sim", "server", "scope")
    CLI, SIM, SERVER, SCOPE = args.cli, args.sim, args.server, args.scope
    unittest.main(argv=[sys.argv[0], *rest])
