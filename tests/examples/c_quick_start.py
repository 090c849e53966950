"""The C quick start (examples/c/stream_volts.c) against kv318-sim, which
serves its ramp (code n modulo 16384 in bits 2-15 of sample n) in a private
driver directory.  Every printed line is checked byte for byte.

Run by CTest: c_quick_start.py --example PATH --sim PATH.
"""
import argparse
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from sim_process import Sim

EXAMPLE = SIM = None


def ramp_line(n):
    """The line the example prints for sample n of the ramp."""
    w = (n & 0x3FFF) << 2
    w = w - 0x10000 if w & 0x8000 else w
    code = w // 4  # the ramp's samples have clear low bits: exact
    return f"{n} {w} {code} {code * 5 / 8192:.6f}"


def run(driver_dir, *args):
    env = dict(os.environ, KV318_DRIVER_DIR=driver_dir)
    return subprocess.run([EXAMPLE, *args], env=env, capture_output=True, text=True, timeout=120)


class QuickStart(unittest.TestCase):
    def test_prints_the_ramp_as_volts(self):
        # More than one KV318_Read's worth at divider 2, so the loop goes
        # round; and a count that ends inside a batch.
        for count, divider in (("1000", "50"), ("70000", "2")):
            with self.subTest(count=count, divider=divider), Sim(SIM, "--signal", "ramp", program=EXAMPLE) as sim:
                r = sim.run("0", count, divider, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                lines = r.stdout.splitlines()
                self.assertEqual(len(lines), int(count))
                for n, line in enumerate(lines):
                    if line != ramp_line(n):
                        self.fail(f"line {n} is {line!r}, expected {ramp_line(n)!r}")

    def test_each_failure_is_named_with_its_exit_status(self):
        empty = tempfile.mkdtemp(prefix="kv318-example-empty-")
        os.chmod(empty, 0o700)
        try:
            cases = [
                (("0", "10", "4096"), 2, "DIVIDER 2-4095"),  # the library would mask it to full speed
                (("0", "10", "1"), 2, "usage:"),  # the library would write it as 2
                (("0", "0"), 2, "usage:"),
                (("x",), 2, "usage:"),
                # Nothing serves the directory: the library's own words name
                # the channel it looked for.
                (("0", "10"), 1, "no board answers (KV318_OpenDevice returned -1): KV318_OpenDevice: board 0: "
                 f"no such board (driver channel {empty}/KV318Device0 not found)"),
            ]
            for args, status, text in cases:
                with self.subTest(args=args):
                    r = run(empty, *args)
                    self.assertEqual(r.returncode, status, r.stderr)
                    self.assertIn(text, r.stderr)
                    self.assertEqual(r.stdout, "")
        finally:
            shutil.rmtree(empty, ignore_errors=True)

    def test_a_refused_start_says_who_holds_the_board(self):
        # This process holds board 0's lock as a streaming process would:
        # an exclusive lock on the file, with its pid written in it.
        with Sim(SIM, "--signal", "ramp", program=EXAMPLE) as sim:
            fd = os.open(os.path.join(sim.dir, "KV318Device0.lock"), os.O_RDWR | os.O_CREAT, 0o600)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX)
                os.write(fd, f"{os.getpid()}\n".encode())
                with open(f"/proc/{os.getpid()}/comm") as f:
                    name = f.read().strip()
                r = sim.run("0", "10", text=True)
            finally:
                os.close(fd)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout, "")
        self.assertEqual(r.stderr, "board 0: the stream did not start (KV318_AD returned -1): KV318_AD: board 0 is "
                         f"busy: acquisition is held by {name} (pid {os.getpid()})\n")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--example", required=True)
    parser.add_argument("--sim", required=True)
    args, rest = parser.parse_known_args()
    EXAMPLE, SIM = args.example, args.sim
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
