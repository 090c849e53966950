"""kv318-cli capture against kv318-sim in a private driver directory.

Run by CTest: capture_end_to_end.py --cli PATH --sim PATH.  The capture's
CSV is read back with Python's csv module; the trigger point is checked
against the samples around it, and the frequency the tool reports against
the simulator's.
"""
import csv
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import sim_process

CLI = SIM = None


class Sim(sim_process.Sim):
    """kv318-sim with the given signal, with kv318-cli run against it."""

    def __init__(self, *args):
        super().__init__(SIM, *args, program=CLI)


def read_capture(path):
    """The column names, the rows, and the description's comment lines."""
    with open(path, newline="") as f:
        lines = f.read().splitlines()
    comments = [line for line in lines if line.startswith("# ")]
    rows = list(csv.reader(line for line in lines if not line.startswith("#")))
    return rows[0], [(int(r[0]), float(r[1]), int(r[2]), float(r[3])) for r in rows[1:]], comments


class Capture(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kv318-capture-out-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    # One capture per row: the simulator's signal, the trigger, and what the
    # capture must show.  Divider 20 at 2 MHz is 100 kS/s, 100 samples a
    # period of 1 kHz; divider 3 is 666.67 samples a period, so the square's
    # edges fall between whole samples and the rule that places them counts.
    CASES = [
        # signal args, divider, edge, level, pretrigger %, duty (None: not checked)
        (("--signal", "sine", "--freq", "1000", "--amp", "2.5"), 20, "rising", 0.5, 25, None),
        (("--signal", "sine", "--freq", "1000", "--amp", "2.5"), 20, "falling", -1.0, 50, None),
        (("--signal", "sine", "--freq", "1000", "--amp", "2.5"), 20, "rising", 0.0, 0, None),
        (("--signal", "sine", "--freq", "1000", "--amp", "2.5"), 20, "falling", 2.0, 100, None),
        (("--signal", "square", "--freq", "1000", "--amp", "2.5", "--duty", "25"), 20, "rising", 0.0, 25, 25.0),
        (("--signal", "square", "--freq", "1000", "--amp", "2.5", "--duty", "25"), 20, "falling", 1.0, 50, 25.0),
        (("--signal", "square", "--freq", "1000", "--amp", "2.5", "--duty", "25"), 3, "rising", -0.5, 10, 25.0),
        (("--signal", "square", "--freq", "1000", "--amp", "2.5", "--duty", "25"), 3, "falling", 0.0, 100, 25.0),
    ]

    @staticmethod
    def square_high(n, divider, clock=2000000, millihertz=1000000, duty_percent=25):
        """Whether the simulator's square is high at sample n of the run, by
        its documented integer phase rule."""
        phase = (n * divider * millihertz) % (clock * 1000)
        return phase * 100 < duty_percent * clock * 1000

    def test_trigger_point_is_exact_and_the_signal_measured(self):
        n = 20000
        for sim_args, divider, edge, level, pre, duty in self.CASES:
            case = self.subTest(signal=sim_args[1], divider=divider, edge=edge, level=level, pre=pre)
            with case, Sim(*sim_args) as sim:
                out = os.path.join(self.tmp, f"{sim_args[1]}{divider}{edge}{pre}.csv")
                r = sim.run("capture", "--trigger", f"{edge}:{level}", "--pretrigger", str(pre), "--samples",
                            str(n), "--divider", str(divider), "--clock", "2000000", "--timeout", "10", "--format",
                            "csv", "-o", out)
                err = r.stderr.decode()
                self.assertEqual(r.returncode, 0, err)
                header, rows, comments = read_capture(out)
                self.assertEqual(header, ["index", "time_s", "code", "volts"])
                # Described as a stream's recording is, the FIFO's verdict last.
                self.assertTrue(any(c.startswith("# converter clock: ") for c in comments), comments)
                self.assertTrue(comments[-1].startswith("# fifo: "), comments)
                self.assertEqual(len(rows), n)
                self.assertEqual([row[0] for row in rows], list(range(n)))
                # The trigger point: floor(pre% x N), and at 100 % the last
                # sample, so the capture holds it.
                t = min(n * pre // 100, n - 1)
                at = rows[t][3]
                self.assertTrue(at >= level if edge == "rising" else at <= level, (t, at))
                if t > 0:
                    before = rows[t - 1][3]
                    self.assertTrue(before < level if edge == "rising" else before > level, (t, before))
                m = re.search(r"is index (\d+) \(sample (\d+) of the stream\)", err)
                self.assertIsNotNone(m, err)
                self.assertEqual(int(m.group(1)), t)
                if duty is not None:
                    # The square is known sample by sample: every sample of
                    # the capture, before the trigger and after, is the
                    # simulator's, and the trigger sits on an edge.
                    first = int(m.group(2)) - t
                    self.assertGreaterEqual(first, 0)
                    wrong = next((i for i in range(n)
                                  if rows[i][3] != (2.5 if self.square_high(first + i, divider) else -2.5)), None)
                    self.assertIsNone(wrong, f"capture index {wrong} (stream sample {first + (wrong or 0)}) "
                                             "is not the simulator's")
                m = re.search(r"frequency ([0-9.]+) Hz", err)
                self.assertIsNotNone(m, err)
                self.assertAlmostEqual(float(m.group(1)), 1000.0, delta=1.0)  # 0.1 %
                if duty is not None:
                    m = re.search(r"duty ([0-9.]+) %", err)
                    self.assertIsNotNone(m, err)
                    # Exact where a period is whole samples; within a
                    # sample's share of a period (0.15 %) where it is not.
                    self.assertAlmostEqual(float(m.group(1)), duty, delta=0.0001 if divider == 20 else 0.15)

    def test_every_format_names_its_trigger_and_counts_time_from_it(self):
        n, pre, divider = 2000, 25, 20
        t = n * pre // 100
        for fmt in ("csv", "wav", "h5"):
            with self.subTest(fmt=fmt), Sim("--signal", "sine", "--freq", "1000", "--amp", "2.5") as sim:
                out = os.path.join(self.tmp, "trigger." + fmt)
                r = sim.run("capture", "--trigger", "rising:0.5", "--pretrigger", str(pre), "--samples", str(n),
                            "--divider", str(divider), "--clock", "2000000", "--timeout", "10", "-o", out)
                err = r.stderr.decode()
                self.assertEqual(r.returncode, 0, err)
                m = re.search(r"is index (\d+) \(sample (\d+) of the stream\)", err)
                self.assertIsNotNone(m, err)
                self.assertEqual(int(m.group(1)), t)
                stream_index = int(m.group(2))
                line = (f"trigger: rising edge at 0.5 V, hysteresis 0.05 V, pretrigger 25 %; the trigger is index {t} "
                        f"of this file and sample {stream_index} of the acquisition, and time_s is 0 there")
                rule = f"time_s = (index - {t}) x divider / clock, 0 at the trigger"
                if fmt == "csv":
                    header, rows, comments = read_capture(out)
                    self.assertIn("# " + line, comments)
                    self.assertTrue(any(rule in c for c in comments), comments)
                    # The rows' times: (index - t) x 20 / 2 MHz, 10 us apart.
                    self.assertEqual([round(row[1] * 100000) for row in rows], list(range(-t, n - t)))
                    self.assertEqual([round(abs(row[1]) * 100000, 6) % 1 for row in rows], [0.0] * n)
                    self.assertEqual(rows[t][1], 0.0)
                elif fmt == "wav":
                    with open(out, "rb") as f:
                        data = f.read()
                    self.assertIn(("; " + line + ";").encode(), data)
                    self.assertIn(rule.encode(), data)
                else:
                    import h5py
                    with h5py.File(out, "r") as f:
                        a = f["run_0001"].attrs
                        self.assertEqual((a["trigger_edge"], a["trigger_level_volts"], a["pretrigger_percent"]),
                                         ("rising", 0.5, 25.0))
                        self.assertEqual(a["trigger_hysteresis_volts"], 0.05)
                        self.assertEqual((a["trigger_index"], a["trigger_stream_index"]), (t, stream_index))
                        self.assertIn(line, a["description"])
                        volts = f["run_0001"]["samples"][()] * a["volts_per_code"]
                        self.assertTrue(volts[t] >= 0.5 > volts[t - 1], (volts[t - 1], volts[t]))
        # The help says what each format serves, HDF5 for capture too.
        r = subprocess.run([CLI, "capture", "--help"], capture_output=True, timeout=60)
        self.assertIn("a group per run or capture", r.stdout.decode())
        self.assertNotIn("stream and poll", r.stdout.decode())

    def test_no_trigger_in_time_exits_9_and_writes_nothing(self):
        with Sim("--signal", "const", "--value", "1.0") as sim:
            for fmt in ("csv", "wav", "raw"):
                with self.subTest(fmt=fmt):
                    out = os.path.join(self.tmp, "never." + fmt)
                    started = time.monotonic()
                    # A time in seconds, or with its unit: the same half second.
                    timeout = "500ms" if fmt == "raw" else "0.5"
                    r = sim.run("capture", "--trigger", "rising:2", "--samples", "1000", "--divider", "20",
                                "--timeout", timeout, "--format", fmt, "-o", out)
                    self.assertEqual(r.returncode, 9, r.stderr.decode())
                    self.assertIn("no rising trigger at 2 V within 0.5 s", r.stderr.decode())
                    self.assertIn("nothing written", r.stderr.decode())
                    self.assertFalse(os.path.exists(out))
                    # It gave up: far sooner than the test's own limit.
                    self.assertLess(time.monotonic() - started, 60)

    def test_bad_values_exit_2(self):
        for args in (["--trigger", "up:1"], ["--trigger", "rising:7"], ["--trigger", "rising:1", "--pretrigger", "101"],
                     ["--trigger", "rising:1", "--samples", "0"],
                     ["--trigger", "rising:1", "--samples", str((16 << 20) + 1)],
                     ["--trigger", "rising:1", "--divider", "1"],
                     ["--trigger", "rising:1", "--timeout", "0"], ["--trigger", "rising:1", "--clock", "0"],
                     ["--trigger", "rising:1", "--timeout", "0.5 s "], ["--trigger", "rising:1", "--holdoff", "101s"],
                     ["--trigger", "rising: 1"], ["--trigger", "rising:0x1"],
                     # The output's extension and -f must agree, as for stream.
                     ["--trigger", "rising:1", "-o", "trace.csv", "--format", "wav"], []):
            with self.subTest(args=args):
                r = subprocess.run([CLI, "capture", *args], capture_output=True, timeout=60)
                self.assertEqual(r.returncode, 2, r)


if __name__ == "__main__":
    known, rest = sim_process.programs("cli", "sim")
    CLI, SIM = known.cli, known.sim
    unittest.main(argv=[sys.argv[0], *rest])
