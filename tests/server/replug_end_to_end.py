"""kv318-server whose board goes away and comes back: kv318-sim killed and
started again on the same board number in the same driver directory, as a
cable pulled and plugged back in; and a board that appears only after the
server started.  Bare pyzmq clients see every byte; kv318-cli shows what a
user reads.

Run by CTest: replug_end_to_end.py --server PATH --sim PATH --cli PATH.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import numpy as np

import sim_process
from server_process import FLAG_DISCONNECTED, FLAG_END, FLAG_IDLE, Client, Server
from sim_process import eventually

SERVER = SIM = CLI = None
SIM_ARGS = ("--signal", "ramp")
# What every client is told while the board is away.
GONE = re.compile(r"board 0 is disconnected since \d\d:\d\d:\d\d; kv318-server will take it back when it returns")
# A board back is served again within this long (the server tries every
# 500 ms); generous for a busy machine, and what a user may expect.
BACK_SECONDS = 5


class Driver:
    """kv318-sim in a directory that outlives it, so the board comes back
    under the same number where the server looks."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kv318-test-replug-")
        self.env = dict(os.environ, KV318_DRIVER_DIR=self.dir)
        self.proc = None
        self.log = None

    def start(self):
        self.log = tempfile.TemporaryFile("w+")
        self.proc = sim_process.child([SIM, "--dir", self.dir, *SIM_ARGS], stdout=self.log, stderr=self.log)

        def serving():
            self.log.seek(0)
            return "serving" in self.log.read() or self.proc.poll() is not None
        assert eventually(serving), "kv318-sim did not start"
        assert self.proc.poll() is None, "kv318-sim exited"
        return time.monotonic()

    def kill(self):
        """The cable pulled: the driver dies at once, saying nothing."""
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(30)
        self.log.close()
        self.proc = None

    def close(self):
        if self.proc is not None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(30)
            self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def ramp_ok(first, payload, offset):
    """Whether the block's samples are the ramp at stream index `first`:
    code (index + offset) modulo 16384 in bits 2-15, sample by sample."""
    codes = (np.frombuffer(payload, dtype="<i2") >> 2).astype(np.int64) & 0x3FFF
    want = (np.arange(first, first + codes.size, dtype=np.int64) + offset) & 0x3FFF
    return bool(np.array_equal(codes, want))


class Replug(unittest.TestCase):
    def setUp(self):
        self.driver = Driver()
        self.server = None
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()
        if self.server is not None:
            self.server.__exit__(None, None, None)
        self.driver.close()

    def client(self, name):
        c = Client(self.server.url, name)
        self.clients.append(c)
        return c

    def serve(self, *args, ready="serving board"):
        self.server = Server(SERVER, self.driver, *args)
        self.server.start(ready=ready)

    def assert_told_gone(self, c):
        """Every way of asking gets the same words, the server stays up."""
        word, fields = c.ask("status", board=0)
        self.assertEqual((word, fields["state"]), ("ok", "disconnected"), fields)
        self.assertRegex(fields["text"], "^" + GONE.pattern + "$")
        for verb, extra in (("start", dict(mode="stream", divider=50)), ("info", {}), ("do", dict(value=1)),
                            ("di", {})):
            word, fields = c.ask(verb, board=0, **extra)
            self.assertEqual((word, fields["code"]), ("error", "disconnected"), verb)
            self.assertRegex(fields["text"], "^" + GONE.pattern + "$", verb)
        cli = subprocess.run([CLI, "--server", self.server.url, "info"], capture_output=True, text=True,
                             timeout=60, env=self.driver.env)
        self.assertNotEqual(cli.returncode, 0)
        self.assertRegex(cli.stderr.strip(), "^" + GONE.pattern + "$")
        self.assertIsNone(self.server.proc.poll(), "the server must never exit for a board gone")

    def stream_again(self, c, back_at, after_stream):
        """Within BACK_SECONDS of the board's return a new stream starts,
        and its samples are the ramp, every one where it belongs."""
        while True:
            word, fields = c.ask("start", board=0, mode="stream", divider=10)
            if word == "ok":
                break
            self.assertEqual(fields["code"], "disconnected", fields)
            self.assertLess(time.monotonic() - back_at, BACK_SECONDS, "the board was not served again in time")
            time.sleep(0.05)
        self.assertEqual(fields["result"], "0")
        stream = int(fields["stream"])
        self.assertGreater(stream, after_stream)
        self.check_ramp(c, stream, 100_000)
        self.assertEqual(c.ask("stop", board=0)[0], "ok")
        word, fields = c.ask("info", board=0)
        self.assertEqual((word, fields["text"].split("   ")[0]), ("ok", "KV318 USB DAQ simulator"))
        return stream

    def check_ramp(self, c, stream, want):
        got, offset = 0, None
        deadline = time.monotonic() + 60
        pinged = time.monotonic()
        while got < want and time.monotonic() < deadline:
            # A controller proves it is alive, or the server frees its board.
            if time.monotonic() - pinged > 0.5:
                c.ask("ping")
                pinged = time.monotonic()
            b = c.block()
            self.assertIsNotNone(b, "no block")
            h, payload = b
            if h["stream"] != stream or h["flags"] & FLAG_IDLE:
                continue
            self.assertEqual(h["first"], got, "a block went missing")
            if offset is None and h["count"]:
                offset = ((int(np.frombuffer(payload[:2], dtype="<i2")[0]) >> 2) - h["first"]) & 0x3FFF
            if h["count"]:
                self.assertTrue(ramp_ok(h["first"], payload, offset), "stream %d at %d" % (stream, h["first"]))
            got += h["count"]
            self.assertFalse(h["flags"] & FLAG_END, "the stream ended early: flags %#x" % h["flags"])
        self.assertGreaterEqual(got, want)

    def test_a_board_pulled_while_streaming_and_while_idle_is_served_again(self):
        self.driver.start()
        self.serve("--board", "0")
        c = self.client("ctl")
        word, fields = c.ask("start", board=0, mode="stream", divider=50)
        self.assertEqual(word, "ok", fields)
        first_stream = int(fields["stream"])
        self.check_ramp(c, first_stream, 20_000)
        self.driver.kill()
        # The stream's last block says the board went away.
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            h, _ = c.block() or ({"stream": -1, "flags": 0}, b"")
            if h["stream"] == first_stream and h["flags"] & FLAG_END:
                break
        self.assertTrue(h["flags"] & FLAG_DISCONNECTED, "flags %#x" % h["flags"])
        self.assertTrue(eventually(lambda: c.ask("status", board=0)[1]["state"] == "disconnected"))
        # Followers keep hearing the server, and that the board is away.
        h, _ = c.block()
        self.assertEqual(h["flags"], FLAG_IDLE | FLAG_DISCONNECTED)
        self.assert_told_gone(c)
        self.assertEqual(c.ask("status", board=0)[1]["controller"], "", "a board gone has no controller")
        stream = self.stream_again(c, self.driver.start(), first_stream)

        # Pulled while nobody streams it: the server's probe notices.
        self.driver.kill()
        self.assertTrue(eventually(lambda: c.ask("status", board=0)[1]["state"] == "disconnected"))
        self.assert_told_gone(c)
        self.stream_again(c, self.driver.start(), stream)
        self.assertIn("board 0 is back", self.server.output())

    def test_a_cli_run_the_boards_loss_ends_says_so_and_keeps_its_samples(self):
        self.driver.start()
        self.serve("--board", "0")
        out = os.path.join(self.driver.dir, "run.csv")
        run = sim_process.child([CLI, "--server", self.server.url, "stream", "-d", "50", "-s", "60", "-o", out],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=self.driver.env)
        try:
            self.assertTrue(eventually(lambda: os.path.exists(out) and os.path.getsize(out) > 20_000))
            self.driver.kill()
            _, err = run.communicate(timeout=60)
        finally:
            if run.poll() is None:
                run.kill()
                run.communicate()
        self.assertEqual(run.returncode, 6, err)
        self.assertRegex(err, GONE.pattern + r" \(KV318_Read returned -3\)\. .* keeps the \d+ samples read before it")
        self.assertNotIn("drain statistics", err)
        with open(out) as f:
            table = [line for line in f if not line.startswith("#")][1:]  # the header line first
        rows = np.loadtxt(table, delimiter=",", usecols=(0, 2), dtype=np.int64, ndmin=2)
        self.assertGreater(len(rows), 1000)
        np.testing.assert_array_equal(rows[:, 0], np.arange(len(rows)))
        np.testing.assert_array_equal(np.diff(rows[:, 1]) & 0x3FFF, np.ones(len(rows) - 1, dtype=np.int64))

    def test_a_board_that_appears_after_the_server_started_is_served(self):
        for args, ready in ((("--board", "0"), "waiting for board 0"), ((), "waiting for one to answer")):
            with self.subTest(args=args):
                self.serve(*args, ready=ready)
                c = self.client("early")
                if args:
                    self.assertEqual(c.ask("list")[1]["boards"], "0")
                    self.assert_told_gone(c)
                else:
                    self.assertEqual(c.ask("list")[1]["boards"], "")
                back = self.driver.start()
                self.assertTrue(eventually(lambda: "0" in c.ask("list")[1]["boards"].split(","), BACK_SECONDS))
                self.stream_again(c, back, 0)
                self.assertIn("serving board 0", self.server.output())
                c.close()
                self.clients.remove(c)
                self.server.__exit__(None, None, None)
                self.server = None
                self.driver.kill()


if __name__ == "__main__":
    args, rest = sim_process.programs("server", "sim", "cli")
    SERVER, SIM, CLI = args.server, args.sim, args.cli
    unittest.main(argv=[sys.argv[0], *rest])
