"""kv318-server.exe under Wine, serving kv318-sim.exe's board through the
named pipe in the same prefix, read by clients on this Linux host over
tcp://127.0.0.1: a Windows technician's server reached from a Linux desk.

Run by CTest for the Windows presets:
  wine_end_to_end.py --wine-run PATH --prefix DIR --dll-dir DIR --sim EXE --server EXE [--cli PATH]
                     [--example EXE]
The prefix is the test run's own (tools/wine-prefix).  --cli names a Linux
kv318-cli; when it is there and takes --server, it follows the stream too.
--example names the C quick start built for Windows, which reaches the
server through KV318.dll with KV318_SERVER set.
Every program the script starts is ended before it returns, and the Wine
programs run with a private HOME that must stay empty.
"""
import argparse
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
from array import array
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "support"))
import server_process  # noqa: E402
import sim_process  # noqa: E402
from server_process import Client  # noqa: E402
from sim_process import eventually  # noqa: E402

ARGS = None
# Wine is slow: a modest rate, well within what the server keeps up with
# there, so any loss is a fault rather than a busy machine.
CLOCK = 2_000_000
DIVIDER = 4
SECONDS = 6
# The simulator's FIFO is made large, as in end_to_end.py: the test is about
# the server, and a busy machine must not lose samples in the board before
# the server sees them.
FIFO = 8388608
PERIOD = 16384  # the simulator's ramp repeats after this many samples
CONTROLLER = "ctl.1@linux-desk"


class WineProgram:
    """A Windows program run by tools/wine-run in the test's prefix, its
    output in a file; standard input is a pipe the script holds."""

    def __init__(self, exe, *args, env):
        self.log = tempfile.NamedTemporaryFile("w+", prefix="kv318-test-wine-", delete=False)
        self.proc = sim_process.child([ARGS.wine_run, "--prefix", ARGS.prefix, "--path", ARGS.dll_dir, exe, *args],
                                      stdin=subprocess.PIPE, stdout=self.log, stderr=self.log, env=env)

    def output(self):
        with open(self.log.name, errors="replace") as f:
            return f.read()

    def wait_for(self, text, seconds=120):
        """True once `text` is in the output; false when the program ends
        first or the deadline passes."""
        eventually(lambda: text in self.output() or self.proc.poll() is not None, seconds)
        return text in self.output()

    def end(self):
        """Kills the program if it still runs; safe to call twice."""
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(60)
        if self.proc.stdin and not self.proc.stdin.closed:
            self.proc.stdin.close()
        self.log.close()
        if os.path.exists(self.log.name):
            os.unlink(self.log.name)


def client(mode, name, seconds, url):
    """tests/server/client_process.py in a process of its own."""
    return sim_process.child([sys.executable, str(HERE / "client_process.py"), mode, "--url", url, "--name", name,
                             "--seconds", str(seconds), "--clock", str(CLOCK), "--divider", str(DIVIDER)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def first_line(p, timeout=120):
    """The client's first JSON line, or {} when none came by the deadline
    (a client that hangs fails the test rather than holding it)."""
    ready, _, _ = select.select([p.stdout], [], [], timeout)
    return json.loads(p.stdout.readline() or "{}") if ready else {}


def result(p, timeout=180):
    out, err = p.communicate(timeout=timeout)
    lines = [json.loads(x) for x in out.splitlines() if x.strip()]
    assert lines, "client printed nothing: " + err
    return lines[-1]


def cli_follows():
    """True when --cli names a kv318-cli that reaches a kv318-server."""
    if not ARGS.cli or not os.access(ARGS.cli, os.X_OK):
        return False

    def helps(*args):
        r = subprocess.run([ARGS.cli, *args, "--help"], capture_output=True, text=True, timeout=60)
        return r.stdout + r.stderr
    return "--server" in helps() and "--follow" in helps("stream")


class ServerUnderWine(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="kv318-test-wine-home-")
        self.work = tempfile.mkdtemp(prefix="kv318-test-wine-work-")
        env = dict(os.environ, HOME=self.home)
        self.started = []
        self.clients = []
        # Runs even when setUp fails half-way, unlike tearDown.
        self.addCleanup(self.end_everything)
        self.sim = self.wine(ARGS.sim, "--stop-on-eof", "--signal", "ramp", "--clock", str(CLOCK), "--fifo",
                             str(FIFO), env=env)
        self.assertTrue(self.sim.wait_for("kv318-sim: serving"), self.sim.output())
        self.url = "tcp://127.0.0.1:%d" % server_process.free_port_pair()
        self.server = self.wine(ARGS.server, "--listen", self.url, env=env)
        self.assertTrue(self.server.wait_for("kv318-server: serving board 0"), self.server.output())
        self.share_local_keys()

    def share_local_keys(self):
        """The server guards loopback with its user's local keys, kept in
        %LOCALAPPDATA%\\kv318\\server in the prefix.  This host's clients
        play that same user: they find the keys where a Linux server's
        would be, in a driver directory of the test's own."""
        name = os.path.basename(server_process.local_keys_dir(self.url, "/"))
        found = sorted(Path(ARGS.prefix, "drive_c", "users").glob("*/*/*/kv318/server/" + name)) + sorted(
            Path(ARGS.prefix, "drive_c", "users").glob("*/*/kv318/server/" + name))
        self.assertTrue(found, "no local keys of %s in the prefix: %s" % (self.url, self.server.output()))
        drivers = tempfile.mkdtemp(prefix="kv318-test-wine-keys-")
        self.addCleanup(shutil.rmtree, drivers, ignore_errors=True)
        mine = Path(server_process.local_keys_dir(self.url, drivers))
        mine.mkdir(parents=True)
        for f in ("server.pub", "local.key"):
            shutil.copy(found[0] / f, mine / f)
        previous = os.environ.get("KV318_DRIVER_DIR")
        os.environ["KV318_DRIVER_DIR"] = drivers
        self.addCleanup(lambda: os.environ.pop("KV318_DRIVER_DIR") if previous is None
                        else os.environ.__setitem__("KV318_DRIVER_DIR", previous))

    def wine(self, exe, *args, env):
        p = WineProgram(exe, *args, env=env)
        self.started.append(p)
        return p

    def end_everything(self):
        for p in self.started:
            p.end()
        for p in self.clients:
            if p.poll() is None:
                p.kill()
            p.communicate(timeout=60)
        shutil.rmtree(self.work, ignore_errors=True)
        left = os.listdir(self.home)
        shutil.rmtree(self.home, ignore_errors=True)
        self.assertEqual(left, [], "Wine wrote into HOME")

    def test_a_linux_client_gets_the_ramp_whole_and_the_server_stops_cleanly(self):
        # The controller starts only once the follower's subscription holds,
        # or the stream's first blocks may go by before it does.
        follower = client("follow", "fol.2@linux-desk", SECONDS + 60, self.url)
        self.clients.append(follower)
        self.assertEqual(first_line(follower), {"ready": True})
        controller = client("control", CONTROLLER, SECONDS, self.url)
        self.clients.append(controller)
        self.assertEqual(first_line(controller), {"ready": True})

        other = Client(self.url, "other.3@linux-desk", timeout=10)
        word, fields = other.ask("start", board=0, mode="stream", divider=DIVIDER, clock=CLOCK)
        self.assertEqual((word, fields["code"], fields["controller"]), ("error", "running", CONTROLLER))
        self.assertIn(CONTROLLER, fields["text"])
        word, fields = other.ask("do", board=0, value=1)
        self.assertEqual((word, fields["code"]), ("error", "controlled"))

        cli_path = cli = None
        if cli_follows():
            cli_path = os.path.join(self.work, "follower.raw")
            cli = sim_process.child([ARGS.cli, "--server", self.url, "stream", "--follow", "--fifo-bytes", str(FIFO),
                                    "-o", cli_path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.clients.append(cli)
        else:
            print("no kv318-cli with --server at %s: the Python clients only" % ARGS.cli, file=sys.stderr)

        c = result(controller)
        f = result(follower)
        self.assertTrue(c["ramp_ok"], c)
        self.assertEqual((c["first"], c["missed"], c["offset"]), (0, 0, 0), c)
        self.assertTrue(c["flags"] & server_process.FLAG_END, c)
        self.assertGreater(c["got"], CLOCK // DIVIDER * SECONDS // 2, c)
        self.assertTrue(f["ramp_ok"], f)
        self.assertEqual((f["got"], f["missed"], f["first"], f["last"], f["stream"]),
                         (c["got"], 0, 0, c["last"], c["stream"]), f)
        print("%d samples over Wine's winsock, latency %s" % (c["got"], c["latency_ms"]), file=sys.stderr)

        if cli is not None:
            _, err = cli.communicate(timeout=180)
            words = array("h")
            with open(cli_path, "rb") as fh:
                words.frombytes(fh.read())
            self.assertEqual(cli.returncode, 0, err)
            self.assertGreater(len(words), 0, err)
            # It joined mid-stream: its first word names where it joined,
            # and every later one the next index.
            first = (words[0] & 0xFFFF) >> 2
            for j, w in enumerate(words):
                self.assertEqual((w & 0xFFFF) >> 2, (first + j) % PERIOD, "kv318-cli sample %d" % j)
            # The controller's stop ended its run, and that is no failure.
            self.assertIn(b"ended: its controller stopped it", err)
            print("kv318-cli followed %d samples, the ramp whole" % len(words), file=sys.stderr)

        self.assertEqual(other.ask("start", board=0, mode="stream", divider=DIVIDER, clock=CLOCK)[1]["result"], "0")
        other.close()
        # Ctrl-C as a technician would press it: Wine hands SIGINT to the
        # console handler, the server stops the stream it runs and says so.
        self.server.proc.send_signal(signal.SIGINT)
        self.assertEqual(self.server.proc.wait(120), 0, self.server.output())
        self.assertIn("kv318-server: stopped", self.server.output())
        self.sim.proc.stdin.close()
        self.assertEqual(self.sim.proc.wait(120), 0, self.sim.output())

    def test_an_unchanged_windows_program_streams_through_the_server(self):
        if not ARGS.example:
            self.skipTest("no stream_volts.exe given")
        # The C quick start, unchanged: KV318.dll reaches the server because
        # its environment names it, through KV318Remote.dll beside it, with
        # the local keys the server keeps for its user in the prefix.
        env = dict(os.environ, HOME=self.home, KV318_SERVER=self.url)
        count = 20000
        example = self.wine(ARGS.example, "0", str(count), str(DIVIDER), env=env)
        self.assertEqual(example.proc.wait(300), 0, example.output())
        rows = [line.split() for line in example.output().splitlines() if line[:1].isdigit()]
        self.assertEqual(len(rows), count, example.output()[-2000:])
        codes = [(int(r[1]) & 0xFFFF) >> 2 for r in rows]
        self.assertEqual([int(r[0]) for r in rows], list(range(count)))
        for j, c in enumerate(codes):
            self.assertEqual(c, (codes[0] + j) % PERIOD, "stream_volts sample %d" % j)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for name in ("wine-run", "prefix", "dll-dir", "sim", "server"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--cli", default="")
    parser.add_argument("--example", default="")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest])
