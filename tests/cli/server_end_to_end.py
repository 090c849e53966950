"""kv318-cli --server against the real kv318-server serving kv318-sim's
board, each kv318-cli a process of its own so it can be stopped or killed.

Run by CTest: server_end_to_end.py --cli PATH --sim PATH --server PATH.
Recordings are raw, so the simulator's ramp (code n modulo 16384 in bits
2-15 of sample n) is checked sample by sample; a jump of the ramp is a
loss, which the tool must have counted.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from array import array

import numpy
import server_process
import sim_process
from server_process import Server
from sim_process import eventually

CLI = SIM = SERVER = None
PERIOD = 16384  # the ramp repeats after this many samples
# The simulator's FIFO is made large: these tests are about the client and
# the server, and a busy test machine must not lose samples in the board
# before the server ever sees them.  cli_fifo_end_to_end_test measures
# with the board's own FIFO.
# A sanitizer build's library cannot keep up with 13 MB/s (its ring runs
# over and the stream ends), so it streams at 2 MB/s.
CLOCK = "2000000" if os.environ.get("KV318_SANITIZE") else "13000000"
SIM_ARGS = ("--signal", "ramp", "--clock", CLOCK, "--fifo", "8388608")
# What a controller tells the server of that board.
BOARD = ("--clock", CLOCK, "--fifo-bytes", "8388608")


def wire_constant(name):
    """A fact of the protocol (times in ms) from the table both clients'
    tests check their constants against."""
    table = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vectors", "remote_wire.csv")
    with open(table) as f:
        for line in f:
            kind, _, rest = line.rstrip("\n").partition(",")
            key, _, value = rest.partition(",")
            if kind == "constant" and key == name:
                return int(value)
    raise KeyError(name)


# How long a client waits for a server that went quiet, and the bound
# docs/server.md gives for a kv318-cli follower of a killed server to exit:
# the silence, plus the second between two of its statistics requests (one
# may have been sent just before the server died and wait out its own
# silence).
SILENCE_S = wire_constant("server-silence-ms") / 1000
EXIT_BOUND_S = SILENCE_S + 1


def index_of(word):
    """The ramp index (modulo PERIOD) a sample word stands for."""
    return (word & 0xFFFF) >> 2


def samples(path):
    a = array("h")
    with open(path, "rb") as f:
        a.frombytes(f.read())
    return a


def jumps(words):
    """The samples skipped at each break of the ramp, modulo PERIOD."""
    return [(index_of(b) - index_of(a) - 1) % PERIOD for a, b in zip(words, words[1:])
            if (index_of(b) - index_of(a)) % PERIOD != 1]


def size(path):
    return os.path.getsize(path) if os.path.exists(path) else 0


class PastTheGap:
    """Follows what a follower writes to `path` from byte `offset` on (raw
    words, or CSV rows numbered by the stream) and counts the samples it
    has written since the first break in their numbering.  A follower that
    resumes first writes what the socket and the server's queue still held
    from before its stop; only past the break is it taking fresh blocks."""

    def __init__(self, path, offset, csv):
        # Raw words start at even offsets; a CSV row cut by `offset` is
        # skipped whole.
        self.path, self.offset, self.csv = path, offset & ~1, csv
        self.cut = csv
        self.last = None  # the numbering (ramp index or stream index) of the last sample read
        self.past = None  # samples since the break; None before it

    def samples(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        if self.csv:
            data = data[:data.rfind(b"\n") + 1]
            if self.cut and data:
                self.offset += data.index(b"\n") + 1
                data = data[data.index(b"\n") + 1:]
                self.cut = False
            rows = [line for line in data.split(b"\n") if line[:1].isdigit()]
            at = numpy.array([int(line.split(b",", 1)[0]) for line in rows], dtype=numpy.int64)
        else:
            data = data[:len(data) & ~1]
            at = (numpy.frombuffer(data, dtype="<u2") >> 2).astype(numpy.int64)
        self.offset += len(data)
        if len(at) == 0:
            return self.past or 0
        if self.last is not None:
            at = numpy.concatenate(([self.last], at))
        self.last = int(at[-1])
        if self.past is not None:
            self.past += len(at) - 1
        else:
            steps = numpy.diff(at) if self.csv else numpy.diff(at) % PERIOD
            breaks = numpy.flatnonzero(steps != 1)
            if len(breaks):
                self.past = len(at) - 1 - int(breaks[0])
        return self.past or 0


class CliThroughServer(unittest.TestCase):
    def setUp(self):
        self.sim = sim_process.Sim(SIM, *SIM_ARGS, program=CLI).__enter__()
        self.dir = tempfile.mkdtemp(prefix="kv318-test-cli-server-")
        self.serve()
        self.procs = []

    def serve(self, listen=None):
        """(Re)starts the server, on `listen` or a loopback port."""
        if getattr(self, "server", None) is not None:
            self.server.__exit__(None, None, None)
        self.server = Server(SERVER, self.sim, listen=listen).start()
        self.url = self.server.url

    def tearDown(self):
        # A test that failed half-way leaves no kv318-cli behind.
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.communicate(timeout=60)
        self.server.__exit__(None, None, None)
        self.sim.__exit__(None, None, None)
        shutil.rmtree(self.dir, ignore_errors=True)

    def cli(self, *args, **kw):
        p = self.sim.start("--server", self.url, *args, **kw)
        self.procs.append(p)
        return p

    def path(self, name):
        return os.path.join(self.dir, name)

    def wait_for_samples(self, path, count, proc):
        self.assertTrue(eventually(lambda: size(path) >= 2 * count or proc.poll() is not None, 60),
                        "no samples reached " + path)
        self.assertIsNone(proc.poll(), proc.stderr.read() if proc.poll() is not None else "")

    def follow_with_a_stop(self, divider, ctl_path, fol_path, after_samples):
        """Over a Unix socket: a controller streams at `divider` to
        ctl_path while a follower records to fol_path and is stopped for
        4 s, as a debugger or a full disk would stop it (the server never
        waits for it, so whole blocks are lost on the way); once the
        follower has written `after_samples` past the gap, the controller
        stops.  The controller must end well and the follower with exit 11.
        Returns the follower's stderr and the index at which the stream
        ended, as the server tells it."""
        self.serve("ipc://" + self.path("kv318-server"))
        controller = self.cli("stream", "-d", divider, *BOARD, "-o", ctl_path)
        self.wait_for_samples(ctl_path, 100_000, controller)
        follower = self.cli("stream", "--follow", "--fifo-bytes", "8388608", "-o", fol_path)
        self.wait_for_samples(fol_path, 100_000, follower)
        follower.send_signal(signal.SIGSTOP)
        time.sleep(4)
        # The controller stops only once the follower takes fresh blocks
        # again, so the stop's loss lies within the file: stopped while the
        # follower still works through what it held, the stream would end
        # with that loss after the file's last sample.
        past = PastTheGap(fol_path, size(fol_path), fol_path.endswith(".csv"))
        follower.send_signal(signal.SIGCONT)
        self.assertTrue(eventually(lambda: past.samples() >= after_samples or follower.poll() is not None, 60),
                        "the follower wrote %s samples past a gap" % past.past)
        controller.send_signal(signal.SIGINT)
        _, ctl_err = controller.communicate(timeout=120)
        _, fol_err = follower.communicate(timeout=120)
        self.assertEqual(controller.returncode, 0, ctl_err)
        self.assertEqual(follower.returncode, 11, fol_err)
        asking = server_process.Client(self.url, "status")
        status = asking.ask("status", board=0)
        asking.close()
        self.assertIsNotNone(status, "the server does not answer")
        return fol_err, int(status[1]["next"])

    def test_a_follower_beside_the_controller_gets_the_same_samples_at_the_same_indices(self):
        # Slow enough that the whole run lies within one period of the
        # ramp: every sample word names its stream index.
        ctl_path, fol_path = self.path("controller.raw"), self.path("follower.raw")
        controller = self.cli("stream", "-d", "4095", "-n", "6000", *BOARD, "-o", ctl_path)
        self.wait_for_samples(ctl_path, 100, controller)
        follower = self.cli("stream", "--follow", "--fifo-bytes", "8388608", "-o", fol_path)
        _, ctl_err = controller.communicate(timeout=120)
        _, fol_err = follower.communicate(timeout=120)
        self.assertEqual(controller.returncode, 0, ctl_err)
        # The controller's stop ends the follower's run, and that is no
        # failure.  A follower the machine held back for longer than the
        # server's queue lasts (a sanitizer's build on a busy machine) misses
        # blocks: it must then say how many (exit 11), and what it holds must
        # still be the stream's samples at their own indices.
        said = re.search(rb"(\d+) samples of stream \d+ never arrived", fol_err)
        self.assertEqual(follower.returncode, 11 if said else 0, fol_err)
        self.assertIn(b"ended: its controller stopped it", fol_err)
        ctl, fol = samples(ctl_path), samples(fol_path)
        self.assertEqual(len(ctl), 6000)
        for i, w in enumerate(ctl):
            self.assertEqual(index_of(w), i, "controller sample %d" % i)
        self.assertGreater(len(fol), 0, fol_err)
        first = index_of(fol[0])
        self.assertGreater(first, 0, "the follower joined a stream that ran already")
        # The whole run lies within one period, so each word names its index.
        at = [index_of(w) for w in fol]
        self.assertEqual([b - a for a, b in zip(at, at[1:]) if b <= a], [], "the follower's indices only grow")
        # Every jump is one the tool reported (a gap before the stream's last
        # block leaves no jump in the file, so the count may be larger).
        self.assertLessEqual(sum(jumps(fol)), int(said.group(1)) if said else 0, fol_err)
        for j, w in enumerate(fol):
            if at[j] < len(ctl):
                self.assertEqual(w, ctl[at[j]], "follower sample %d" % j)

    def test_a_stopped_follower_counts_exactly_the_samples_it_missed(self):
        # Over a Unix socket, whose buffers are small: what the server's
        # queue cannot hold of a 4 s stop is surely lost.  The queue holds
        # 40 blocks of 25-50 ms, up to 2 s when a busy machine makes the
        # server's reads late and its blocks long.
        ctl_path, fol_path = self.path("controller.raw"), self.path("follower.raw")
        fol_err, _ = self.follow_with_a_stop("2", ctl_path, fol_path, 1_000_000)
        self.assertEqual(jumps(samples(ctl_path)), [], "the controller got every sample")
        said = re.search(rb"(\d+) samples of stream (\d+) never arrived", fol_err)
        self.assertIsNotNone(said, fol_err)
        missed = int(said.group(1))
        fol = samples(fol_path)
        self.assertNotEqual(jumps(fol), [], "the stop shows as a gap in the file")
        # Each jump in the file is at least its size modulo the ramp's
        # period, and the count holds them all.  It may hold more: blocks
        # dropped between the join and the first sample, or just before the
        # end, leave no jump in a raw file, which has no index to say where
        # it starts.  The CSV test below, whose file names its join, holds
        # the count to the whole span exactly.
        self.assertLessEqual(sum(jumps(fol)), missed, fol_err)
        self.assertEqual(int(re.search(rb"holds the (\d+) samples that did", fol_err).group(1)), len(fol))

    def test_a_followed_csv_numbers_its_rows_as_the_stream_so_a_gap_shows(self):
        # About 650 kS/s in either build; a 4 s stop overruns what the Unix
        # socket's buffers and the server's queue hold (40 blocks of 25-50
        # ms, up to 2 s on a busy machine).  A stopped client does not take
        # the time it was stopped for the server's silence.
        divider = "3" if os.environ.get("KV318_SANITIZE") else "20"
        ctl_path, fol_path = self.path("controller.raw"), self.path("follower.csv")
        fol_err, end = self.follow_with_a_stop(divider, ctl_path, fol_path, 50_000)
        missed = int(re.search(rb"(\d+) samples of stream \d+ never arrived", fol_err).group(1))
        with open(fol_path) as f:
            text = f.read()
        joined = re.search(r"^# server: .*, from its sample (\d+) \(followed: ", text, re.M)
        self.assertIsNotNone(joined, text[:2000])
        rows = [line.split(",") for line in text.splitlines() if line and not line.startswith(("#", "index"))]
        self.assertGreater(len(rows), 20_000, fol_err)
        indices = [int(r[0]) for r in rows]
        # Every row's code is the ramp's at its index: the index column is
        # the stream's own numbering, not a count of the rows.
        for index, row in zip(indices, rows):
            if int(row[2]) % PERIOD != index % PERIOD:
                self.fail("row %r does not hold the ramp's code at its index" % row)
        steps = [b - a for a, b in zip(indices, indices[1:])]
        self.assertTrue(all(step >= 1 for step in steps), "the index only moves forward")
        # What never arrived shows as jumps, in the rows or before the
        # first, or lies after the last row (blocks dropped just before the
        # stream's end): from where the follower joined to the end, every
        # sample is a row or counted.
        first = int(joined.group(1))
        self.assertGreaterEqual(indices[0], first)
        self.assertGreater(sum(step - 1 for step in steps), 0, "the stop shows as a gap in the rows")
        self.assertEqual(end - first - len(rows), missed, fol_err)

    def test_a_second_controller_is_refused_naming_the_first(self):
        first_path = self.path("first.raw")
        first = self.cli("stream", "-d", "50", *BOARD, "-o", first_path)
        self.wait_for_samples(first_path, 1000, first)
        with open(self.path("second.raw"), "wb") as f:
            f.write(b"kept")
        second = self.sim.run("--server", self.url, "stream", "-n", "10", "-o", self.path("second.raw"))
        self.assertEqual(second.returncode, 10, second.stderr)
        self.assertRegex(second.stderr, rb"is controlled by kv318-cli\.%d@\S+" % first.pid)
        with open(self.path("second.raw"), "rb") as f:
            self.assertEqual(f.read(), b"kept", "a refused start leaves the file alone")
        capture = self.sim.run("--server", self.url, "capture", "--trigger", "rising:0", "-o", self.path("capture.csv"))
        self.assertEqual(capture.returncode, 10, capture.stderr)
        self.assertIn(b"controlled by kv318-cli.%d@" % first.pid, capture.stderr)
        controls = self.sim.run("--server", self.url, "do", "0x1")
        self.assertEqual(controls.returncode, 1, controls.stderr)
        self.assertIn(b"controlled by kv318-cli.%d@" % first.pid, controls.stderr)
        first.send_signal(signal.SIGINT)
        _, err = first.communicate(timeout=120)
        self.assertEqual(first.returncode, 0, err)
        self.assertEqual(jumps(samples(first_path)), [])
        # With the board free, the same request goes through.
        self.assertEqual(self.sim.run("--server", self.url, "do", "0x1").returncode, 0)
        none = self.sim.run("--server", self.url, "stream", "--follow", "-n", "10")
        self.assertEqual(none.returncode, 1, none.stderr)
        self.assertIn(b"no stream runs on board 0 of kv318-server at " + self.url.encode(), none.stderr)

    def second_server(self, *args):
        """Another kv318-server on the simulator's boards, on a port of its
        own; it must be refused, so it is waited for."""
        url = "tcp://127.0.0.1:%d" % server_process.free_port_pair()
        return subprocess.run([SERVER, "--listen", url, *args], env=self.sim.env, capture_output=True, timeout=60)

    def test_the_served_board_is_the_servers_alone_streaming_or_not(self):
        # While it streams, kv318-cli straight on the board may not reach
        # its registers: a read of register 4 would stop the stream.
        path = self.path("served.raw")
        controller = self.cli("stream", "-d", "50", *BOARD, "-o", path)
        self.wait_for_samples(path, 20000, controller)
        pid = self.server.proc.pid
        for args, call in ((("get", "4"), b"KV318_inb"), (("set", "4", "0"), b"KV318_outb")):
            r = self.sim.run("reg", *args)
            self.assertEqual(r.returncode, 10, r.stderr)
            self.assertIn(b"board 0 is streaming in another process (pid %d): %s is refused" % (pid, call), r.stderr)
        # Opened directly, the outputs stay free; opened as a program of
        # this machine opens it by default, the board is the server's, and
        # the outputs are its controller's.
        direct = dict(self.sim.env, KV318_SERVER="none")
        self.assertEqual(subprocess.run([CLI, "do", "0x0F0F"], env=direct, capture_output=True, timeout=120).returncode,
                         0, "the outputs stay free")
        served = self.sim.run("do", "0x0F0F")
        self.assertEqual(served.returncode, 1, served.stderr)
        self.assertIn(b"controlled by kv318-cli.%d@" % controller.pid, served.stderr)
        for streaming in (True, False):
            with self.subTest(streaming=streaming):
                named = self.second_server("--board", "0")
                self.assertEqual(named.returncode, 3, named.stderr)
                self.assertEqual(named.stderr, b"kv318-server: board 0 is served by kv318-server (pid %d)\n" % pid)
                probing = self.second_server()
                self.assertEqual(probing.returncode, 3, probing.stderr)
                self.assertIn(b"kv318-server: board 0 is served by kv318-server (pid %d); skipped\n" % pid,
                              probing.stderr)
            if streaming:
                grown = size(path) + 40000
                self.assertTrue(eventually(lambda: size(path) >= grown, 60), "the served stream stopped")
                controller.send_signal(signal.SIGINT)
                _, err = controller.communicate(timeout=120)
                self.assertEqual(controller.returncode, 0, err)
                self.assertEqual(jumps(samples(path)), [], "the stream went on whole")
        # Once the first server is gone, the board is free to serve again.
        self.server.stop()
        self.serve()

    def test_keys_let_an_allowed_client_reach_a_network_endpoint_and_no_other(self):
        keys, mine, stranger = (self.path(n) for n in ("server-keys", "desk1", "stranger"))
        for d, name in ((keys, "server"), (mine, "desk1"), (stranger, "stranger")):
            made = subprocess.run([SERVER, "keygen", d, "--name", name], capture_output=True, timeout=30)
            self.assertEqual(made.returncode, 0, made.stderr)
        for d in (mine, stranger):
            shutil.copy(os.path.join(keys, "server.pub"), d)
        shutil.copy(os.path.join(mine, "desk1.pub"), os.path.join(keys, "allowed"))
        port = server_process.free_port_pair()
        self.server.__exit__(None, None, None)
        self.server = Server(SERVER, self.sim, "--keys", keys, listen="tcp://0.0.0.0:%d" % port).start()
        self.url = "tcp://127.0.0.1:%d" % port
        out = self.path("keyed.raw")
        run = self.sim.run("--server", self.url, "--server-keys", mine, "stream", "-d", "50", *BOARD, "-n", "20000",
                           "-o", out)
        self.assertEqual(run.returncode, 0, run.stderr)
        words = samples(out)
        self.assertEqual((len(words), jumps(words)), (20000, []))
        for refused in (["--server-keys", stranger], []):
            r = self.sim.run("--server", self.url, *refused, "info", timeout=60)
            self.assertNotEqual(r.returncode, 0, r.stderr)
            self.assertIn(b"stopped answering", r.stderr)

    def test_garbage_on_the_control_port_costs_a_streaming_controller_nothing(self):
        path = self.path("run.raw")
        run = self.cli("stream", "-d", "50", "--seconds", "6", *BOARD, "-o", path)
        self.wait_for_samples(path, 10_000, run)
        host, port = self.url[len("tcp://"):].rsplit(":", 1)
        # Ten connections of 100 KB of random bytes each, which are no
        # ZeroMQ at all: the server drops each, and nobody else notices.
        for _ in range(10):
            with socket.create_connection((host, int(port))) as raw:
                try:
                    raw.sendall(os.urandom(100_000))
                except OSError:
                    pass  # the server closed it part way: what it should do
        _, err = run.communicate(timeout=120)
        self.assertEqual(run.returncode, 0, err)
        words = samples(path)
        self.assertGreater(len(words), 10_000)
        self.assertEqual(jumps(words), [], "every sample, in order")
        for i in range(min(len(words), PERIOD)):
            self.assertEqual(index_of(words[i]), i)
        other = server_process.Client(self.url, "after")
        self.assertEqual(other.ask("hello")[0], "ok")
        other.close()

    def test_a_follower_of_a_killed_server_exits_once_the_silence_limit_is_up(self):
        controller = self.cli("stream", "-d", "50", *BOARD, "-o", self.path("ctl.raw"))
        self.wait_for_samples(self.path("ctl.raw"), 10_000, controller)
        follower = self.cli("stream", "--follow", "-o", self.path("fol.raw"))
        self.wait_for_samples(self.path("fol.raw"), 10_000, follower)
        self.server.stop(signal.SIGKILL)
        killed = time.monotonic()
        _, err = follower.communicate(timeout=60)
        took = time.monotonic() - killed
        controller.communicate(timeout=60)
        print("a follower exited %.2f s after its server was killed" % took, file=sys.stderr)
        self.assertEqual(follower.returncode, 6, err)
        self.assertIn(b"stopped answering", err)
        # Not before the server's silence could be told from a pause of its
        # blocks (they come every 50 ms at the latest while it streams), and
        # within the bound the documentation gives, with room for a busy
        # machine.
        self.assertGreater(took, SILENCE_S - 0.25, err)
        self.assertLess(took, EXIT_BOUND_S + 2, err)

    def test_a_killed_server_fails_the_run_plainly_within_seconds(self):
        path = self.path("run.raw")
        run = self.cli("stream", "-d", "50", *BOARD, "-o", path)
        self.wait_for_samples(path, 10_000, run)
        self.server.stop(signal.SIGKILL)
        killed = time.monotonic()
        _, err = run.communicate(timeout=60)
        took = time.monotonic() - killed
        self.assertEqual(run.returncode, 6, err)
        self.assertIn(b"kv318-server at " + self.url.encode() + b" stopped answering", err)
        # The client's limit is 2.5 s of silence; a generous bound for a busy machine.
        self.assertLess(took, 20, err)
        words = samples(path)
        self.assertGreater(len(words), 10_000)
        self.assertEqual(jumps(words), [], "the file keeps every sample received, in order")
        for i in range(min(len(words), PERIOD)):
            self.assertEqual(index_of(words[i]), i)


if __name__ == "__main__":
    args, rest = sim_process.programs("cli", "sim", "server")
    CLI, SIM, SERVER = args.cli, args.sim, args.server
    unittest.main(argv=[sys.argv[0], *rest])
