"""kv318.Simulator: runs kv318-sim for the length of a `with` block, so
scripts and their tests run without a board.

On Linux the simulator serves its boards in a private temporary directory
and this process's library is pointed there (KV318_DRIVER_DIR, which the
library reads at every open), so boards opened inside the block reach the
simulator and nothing else on the machine sees it.  On Windows kv318-sim.exe
serves the machine's named pipes, where KV318.dll looks when no kernel
driver publishes a board; it is stopped by closing its standard input.
"""

import os
import re
import shutil
import signal as _signal
import subprocess
import sys
import tempfile
import time

from . import _lib
from .errors import KV318Error

ENV_SIM = "KV318_SIM"
# A program path, not a server URL: KV318_SERVER is a URL to every program.
ENV_SERVER = "KV318_SERVER_PROGRAM"
ENV_DRIVER_DIR = "KV318_DRIVER_DIR"

_SIGNALS = ("sine", "ramp", "square", "const")
_DROPS = re.compile(r"board (\d+): connection \d+ .*FIFO drops so far: (\d+) samples")
# An installation's library directory: lib, lib64, lib32, libx32.
_LIB_DIR = re.compile(r"lib(64|32|x32)?")
# Leaves room below the 108 bytes of a Unix socket path for "/KV318Device15".
_MAX_DIR_LENGTH = 80


class SimulatorError(KV318Error):
    """kv318-sim could not be found, did not start, or ended on its own."""


def find_simulator(environ=None, library_path=None, windows=None):
    """The kv318-sim to run: KV318_SIM if set, else the one beside the
    library, else the first on PATH.  Raises SimulatorError naming the
    places it looked."""
    return _find_program("kv318-sim", ENV_SIM, environ, library_path, windows)


def find_server(environ=None, library_path=None, windows=None):
    """The kv318-server to run, found as kv318-sim is (KV318_SERVER_PROGRAM, beside
    the library, on PATH).  Raises SimulatorError naming the places it
    looked."""
    return _find_program("kv318-server", ENV_SERVER, environ, library_path, windows)


def _find_program(program, variable, environ, library_path, windows):
    environ = os.environ if environ is None else environ
    library_path = _lib.path if library_path is None else library_path
    windows = sys.platform == "win32" if windows is None else windows
    name = program + ".exe" if windows else program
    explicit = environ.get(variable, "")
    if explicit:
        if os.path.isfile(explicit):
            return os.path.abspath(explicit)
        raise SimulatorError(f"cannot find {program}: {variable}={explicit} is not a file")
    tried = []
    if os.path.dirname(library_path):
        for where, path in _near_library(os.path.dirname(os.path.abspath(library_path)), name):
            if os.path.isfile(path):
                return path
            tried.append(f"{where}: {path}")
    else:
        tried.append(f"beside the library: not known (it came from the search path as {library_path})")
    on_path = shutil.which(name, path=environ.get("PATH", os.defpath))
    if on_path:
        return on_path
    tried.append(f"{name} on PATH")
    raise SimulatorError(
        f"cannot find {program}; looked at:\n  " + "\n  ".join(tried) + f"\nSet {variable} to its path."
    )


def _near_library(library_dir, name):
    """Where kv318-sim may be, given the library's directory: beside it (a
    build tree, or Windows, where DLLs live in bin), then in the bin
    directory of the installation the library's lib directory belongs to
    (prefix/lib or prefix/lib/<multiarch> gives prefix/bin)."""
    places = [("beside the library", os.path.join(library_dir, name))]
    d = library_dir
    for _ in range(2):
        if _LIB_DIR.fullmatch(os.path.basename(d)):
            places.append(("in the installation's bin", os.path.join(os.path.dirname(d), "bin", name)))
            break
        d = os.path.dirname(d)
    return places


class Simulator:
    """Runs kv318-sim, as a context manager.

        with kv318.Simulator(signal="ramp") as sim, kv318.open(0) as board:
            ...

    The keyword arguments are kv318-sim's options: boards (1-16), signal
    ("sine", "ramp", "square" or "const"), freq, amp, offset, duty (the
    square's percent high), noise (volts of Gaussian noise on any signal),
    seed, value, clock, fifo,
    inputs (a 16-bit word, or "loopback"), counter_rate, counter_input
    ("external" or "pulse") and fail: a failure to script, or a list of them,
    each "WHAT" or "WHAT:once" with WHAT one of bulk-read, bulk-write,
    string, command, payload, any or a command code such as "0x8E".
    Options kv318-sim refuses raise ValueError with its reason.

    `executable` overrides the search for kv318-sim (see find_simulator).
    The simulator is stopped on leaving the block, also when the block
    raises; a simulator that ended on its own by then raises
    SimulatorError, unless the block is already raising.
    """

    def __init__(self, boards=1, signal="sine", *, freq=None, amp=None, offset=None, duty=None,
                 noise=None, seed=None, value=None, clock=None, fifo=None, inputs=None, counter_rate=None,
                 counter_input=None, fail=(), executable=None, start_timeout=10.0):
        # The state first: a refused argument below must leave an object
        # whose repr (shown in tracebacks with their locals) still works.
        self._windows = sys.platform == "win32"
        self._proc = None
        self._root = None
        self._log_file = None
        self._saved_dir = None
        self.dir = None
        self.executable = None
        self.boards = boards
        self.signal = signal
        if signal not in _SIGNALS:
            raise ValueError(f"signal must be one of {', '.join(_SIGNALS)}, got {signal!r}")
        self._options = [("--boards", boards), ("--signal", signal), ("--freq", freq), ("--amp", amp),
                         ("--offset", offset), ("--duty", duty), ("--noise", noise), ("--seed", seed),
                         ("--value", value), ("--clock", clock), ("--fifo", fifo),
                         ("--counter-rate", counter_rate), ("--counter-input", counter_input)]
        if inputs is not None:
            self._options.append(("--inputs", inputs if isinstance(inputs, str) else f"{int(inputs):X}"))
        for f in [fail] if isinstance(fail, str) else list(fail):
            self._options.append(("--fail", f))
        self._executable = executable
        self._start_timeout = start_timeout

    # ---- lifetime ----------------------------------------------------

    def arguments(self):
        """kv318-sim's command line, without the program and the directory."""
        args = []
        for flag, v in self._options:
            if v is not None:
                args += [flag, str(v)]
        return args

    def start(self):
        if self._proc is not None:
            raise SimulatorError("this simulator is already running")
        self.executable = self._executable or find_simulator()
        base = tempfile.gettempdir()
        if len(base) > _MAX_DIR_LENGTH - 20 and not self._windows:
            base = "/tmp"
        self._root = tempfile.mkdtemp(prefix="kv318-sim-", dir=base)  # mode 0700
        cmd = [self.executable] + self.arguments()
        if self._windows:
            cmd.append("--stop-on-eof")
        else:
            self.dir = os.path.join(self._root, "driver")
            cmd += ["--dir", self.dir]
        self._log_path = os.path.join(self._root, "kv318-sim.log")
        self._log_file = open(self._log_path, "wb")
        try:
            self._proc = subprocess.Popen(
                cmd, stdin=subprocess.PIPE if self._windows else subprocess.DEVNULL,
                stdout=self._log_file, stderr=subprocess.STDOUT)
            self._wait_until_serving()
        except BaseException:
            self._shut_down()
            raise
        if not self._windows:
            self._saved_dir = os.environ.get(ENV_DRIVER_DIR)
            os.environ[ENV_DRIVER_DIR] = self.dir

    def _wait_until_serving(self):
        deadline = time.monotonic() + self._start_timeout
        while "serving " not in self.log:
            code = self._proc.poll()
            if code is not None:
                reason = self.log.strip() or f"exit code {code}"
                if code == 2:
                    why = reason.splitlines()[0].removeprefix("kv318-sim: ")
                    raise ValueError(f"kv318-sim refused its options: {why}")
                raise SimulatorError(f"kv318-sim did not start (exit code {code}): {reason}")
            if time.monotonic() > deadline:
                raise SimulatorError(f"kv318-sim did not start within {self._start_timeout} s: {self.log}")
            time.sleep(0.01)

    def stop(self):
        """Stops kv318-sim and removes its directory.  Returns its exit
        code (0 for a clean stop)."""
        if self._proc is None:
            return None
        ended_early = self._proc.poll()
        code = self._shut_down()
        if ended_early is not None:
            raise SimulatorError(f"kv318-sim ended on its own with code {ended_early}: {self.log}")
        return code

    def _shut_down(self):
        if not self._windows and self.dir is not None and os.environ.get(ENV_DRIVER_DIR) == self.dir:
            if self._saved_dir is None:
                del os.environ[ENV_DRIVER_DIR]
            else:
                os.environ[ENV_DRIVER_DIR] = self._saved_dir
        proc, self._proc = self._proc, None
        code = None
        if proc is not None:
            if proc.poll() is None:
                if self._windows:
                    proc.stdin.close()
                else:
                    proc.send_signal(_signal.SIGTERM)
            try:
                code = proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                code = proc.wait()
            self.returncode = code
        self._final_log = self.log
        if self._log_file is not None:
            self._log_file.close()
            self._log_file = None
        if self._root is not None:
            shutil.rmtree(self._root, ignore_errors=True)
            self._root = None
        return code

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.stop()
        else:
            self._shut_down()

    # ---- while it runs ---------------------------------------------------

    @property
    def running(self):
        return self._proc is not None and self._proc.poll() is None

    @property
    def pid(self):
        return None if self._proc is None else self._proc.pid

    @property
    def log(self):
        """What kv318-sim has written so far: its start line, a line for
        each connection as it ends, and its stop line."""
        if self._root is None:
            return getattr(self, "_final_log", "")
        try:
            with open(self._log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def fifo_drops(self, board=0):
        """Samples the board's FIFO has dropped, as of the last connection
        to that board that ended (kv318-sim reports it then), or None when
        none has ended yet."""
        drops = [int(m.group(2)) for m in _DROPS.finditer(self.log) if int(m.group(1)) == board]
        return drops[-1] if drops else None

    def wait_for_log(self, pattern, timeout=10.0):
        """Waits until the log matches the regular expression `pattern`;
        returns the match, or raises TimeoutError."""
        deadline = time.monotonic() + timeout
        while True:
            m = re.search(pattern, self.log)
            if m:
                return m
            if time.monotonic() > deadline:
                raise TimeoutError(f"kv318-sim logged nothing matching {pattern!r}: {self.log}")
            time.sleep(0.01)

    def open(self, board=0):
        """Opens one of the simulated boards."""
        from .board import Board
        return Board(board)

    def __repr__(self):
        state = f"pid {self.pid}" if self.running else "stopped"
        return f"<kv318.Simulator {self.boards} board(s), {self.signal} ({state})>"
