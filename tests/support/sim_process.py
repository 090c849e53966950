"""kv318-sim as a child process of a test script, serving in a private
driver directory, and a program run against it.

The scripts that test a program end to end (kv318-cli, the C example) share
this, so each starts, waits for and stops the simulator the same way.  It
does not import the kv318 package, which would load the library: the
scripts also run in sanitizer builds, whose library Python cannot load.
"""
import argparse
import ctypes
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


def _die_with_parent():
    # Runs in the child between fork and exec.  CTest kills a script that
    # overruns its timeout, and nothing else would stop a server or a
    # simulator the script had started: this one gets SIGKILL the moment its
    # parent goes, whatever way the parent ends.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def child(argv, **kw):
    """subprocess.Popen(argv, **kw) for a program a test starts: on Linux it
    dies with the test script, so a script killed or failed midway leaves
    nothing running."""
    if os.uname().sysname == "Linux":
        kw.setdefault("preexec_fn", _die_with_parent)
    return subprocess.Popen(argv, **kw)


def stop(proc, sig=signal.SIGTERM, seconds=30):
    """Sends `sig` and waits `seconds` for `proc` to end, then kills it;
    true when it ended on `sig`, false when it had to be killed."""
    if proc.poll() is not None:
        return True
    proc.send_signal(sig)
    try:
        proc.wait(seconds)
        return True
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return False


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
        self.proc = child([sim, "--dir", self.dir, *args], stdout=self.log, stderr=self.log)
        self.env = dict(os.environ, KV318_DRIVER_DIR=self.dir)
        self.program = program

    def output(self):
        """What kv318-sim has printed so far."""
        with open(self.log.name) as f:
            return f.read()

    def __enter__(self):
        if not eventually(lambda: "serving" in self.output() or self.proc.poll() is not None):
            stop(self.proc, signal.SIGKILL)
            raise RuntimeError("kv318-sim did not start: " + self.output())
        if self.proc.poll() is not None:
            raise RuntimeError("kv318-sim exited: " + self.output())
        return self

    def __exit__(self, *exc):
        ended = stop(self.proc)
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        if not ended:
            raise AssertionError("kv318-sim did not end on SIGTERM within 30 s and was killed")

    def run(self, *args, timeout=120, **kw):
        """The program with `args`, to its end; output captured as bytes
        unless `kw` says otherwise."""
        return subprocess.run([self.program, *args], env=self.env, capture_output=True, timeout=timeout, **kw)

    def start(self, *args, **kw):
        """The program with `args`, running; stdout and stderr are pipes
        unless `kw` says otherwise."""
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.PIPE)
        return child([self.program, *args], env=self.env, **kw)
