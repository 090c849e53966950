"""The C quick start (examples/c/stream_volts.c) against kv318-sim, which
serves its ramp (code n modulo 16384 in bits 2-15 of sample n) in a private
driver directory.  Every printed line is checked byte for byte.

Run by CTest: c_quick_start.py --example PATH --sim PATH.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

EXAMPLE = SIM = None


def eventually(done, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if done():
            return True
        time.sleep(0.02)
    return done()


def ramp_line(n):
    """The line the example prints for sample n of the ramp."""
    w = (n & 0x3FFF) << 2
    w = w - 0x10000 if w & 0x8000 else w
    code = w // 4  # the ramp's samples have clear low bits: exact
    return f"{n} {w} {code} {code * 5 / 8192:.6f}"


class Sim:
    """kv318-sim serving in a private directory until the with-block ends."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kv318-example-test-")
        self.log = open(os.path.join(self.dir, ".log"), "w+")
        self.proc = subprocess.Popen([SIM, "--dir", self.dir, "--signal", "ramp"], stdout=self.log, stderr=self.log)

    def output(self):
        with open(self.log.name) as f:
            return f.read()

    def __enter__(self):
        if not eventually(lambda: "serving" in self.output() or self.proc.poll() is not None):
            raise RuntimeError("kv318-sim did not start: " + self.output())
        if self.proc.poll() is not None:
            raise RuntimeError("kv318-sim exited: " + self.output())
        return self

    def __exit__(self, *exc):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(30)
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def run(driver_dir, *args):
    env = dict(os.environ, KV318_DRIVER_DIR=driver_dir)
    return subprocess.run([EXAMPLE, *args], env=env, capture_output=True, text=True, timeout=120)


class QuickStart(unittest.TestCase):
    def test_prints_the_ramp_as_volts(self):
        # More than one KV318_Read's worth at divider 2, so the loop goes
        # round; and a count that ends inside a batch.
        for count, divider in (("1000", "50"), ("70000", "2")):
            with self.subTest(count=count, divider=divider), Sim() as sim:
                r = run(sim.dir, "0", count, divider)
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
                (("0", "10", "4096"), 2, "usage:"),  # the library would mask it to full speed
                (("0", "0"), 2, "usage:"),
                (("x",), 2, "usage:"),
                (("0", "10"), 1, "no board answers"),  # nothing serves the directory
            ]
            for args, status, text in cases:
                with self.subTest(args=args):
                    r = run(empty, *args)
                    self.assertEqual(r.returncode, status, r.stderr)
                    self.assertIn(text, r.stderr)
                    self.assertEqual(r.stdout, "")
        finally:
            shutil.rmtree(empty, ignore_errors=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--example", required=True)
    parser.add_argument("--sim", required=True)
    args, rest = parser.parse_known_args()
    EXAMPLE, SIM = args.example, args.sim
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
