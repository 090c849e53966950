"""kv318-sim as a child process of a test script, serving in a private
driver directory, and a program run against it.

The scripts that test a program end to end (kv318-cli, the C example) share
this, so each starts, waits for and stops the simulator the same way.  It
does not import the kv318 package, which would load the library: the
scripts also run in sanitizer builds, whose library Python cannot load.
"""
import argparse
import os
import shutil
import signal
import subprocess
import tempfile
import time


def programs(*names):
    """The program paths CTest passes a script (`--cli PATH`, `--sim PATH`,
    one option per name, each required), and the arguments left for
    unittest."""
    parser = argparse.ArgumentParser()
    for name in names:
        parser.add_argument("--" + name, required=True)
    return parser.parse_known_args()


def eventually(done, seconds=30):
    """Asks `done` until it holds or `seconds` have passed, and once more at
    the deadline; true when it held.  Generous, for a busy machine."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if done():
            return True
        time.sleep(0.02)
    return done()


class Sim:
    """kv318-sim (the executable `sim`, with `args`) serving in a private
    directory until the with-block ends, and `program` run against it: the
    directory is passed to the program through KV318_DRIVER_DIR."""

    def __init__(self, sim, *args, program=None):
        self.dir = tempfile.mkdtemp(prefix="kv318-test-sim-")
        self.log = open(os.path.join(self.dir, ".log"), "w+")
        self.proc = subprocess.Popen([sim, "--dir", self.dir, *args], stdout=self.log, stderr=self.log)
        self.env = dict(os.environ, KV318_DRIVER_DIR=self.dir)
        self.program = program

    def output(self):
        """What kv318-sim has printed so far."""
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

    def run(self, *args, timeout=120, **kw):
        """The program with `args`, to its end; output captured as bytes
        unless `kw` says otherwise."""
        return subprocess.run([self.program, *args], env=self.env, capture_output=True, timeout=timeout, **kw)

    def start(self, *args, **kw):
        """The program with `args`, running; stdout and stderr are pipes
        unless `kw` says otherwise."""
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.PIPE)
        return subprocess.Popen([self.program, *args], env=self.env, **kw)
