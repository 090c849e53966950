"""A program written against the library, unchanged, reaches a board that
kv318-server holds: ctypes calls libKV318's exports as a C program would,
with KV318_SERVER naming the server, and gets the stream's ramp sample by
sample, the digital outputs, the refusal of a second controller naming the
first, a follower's samples at their own indices, and a bounded failure in
words when the server dies.

Run by CTest: library_end_to_end.py --server PATH --sim PATH --library PATH.
"""
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import sim_process
from server_process import Server

SERVER = SIM = LIBRARY = None
SIM_ARGS = ("--signal", "ramp")
SERVED_BASE = 0x40000000
FOLLOWING, CONTROLLING, BUSY, GONE, ENDED = 0x01, 0x02, 0x04, 0x08, 0x20
READ_MAX = 524288
# The header's bound for a silent server, and room for a busy machine.
SILENCE_S = 2.5
SLACK_S = 3.0


class ServedStatus(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("flags", ctypes.c_uint32), ("stream", ctypes.c_uint32),
                ("divider", ctypes.c_uint32), ("clock_hz", ctypes.c_uint64), ("next_index", ctypes.c_uint64),
                ("missed", ctypes.c_uint64), ("url", ctypes.c_char * 256), ("controller", ctypes.c_char * 128),
                ("failure", ctypes.c_char * 1024)]


def load(path):
    lib = ctypes.CDLL(path)
    i32 = ctypes.c_int32
    for name, args in {"KV318_OpenDevice": [i32], "KV318_CloseDevice": [i32], "KV318_AD": [i32] * 6,
                       "KV318_Read": [i32, ctypes.POINTER(i32)], "KV318_StopAD": [i32], "KV318_DO": [i32, i32],
                       "KV318_DI": [i32], "KV318_Info": [i32, ctypes.c_char_p],
                       "KV318_LastError": [ctypes.c_char_p, i32], "KV318_Follow": [i32],
                       "KV318_ServedStatus": [i32, ctypes.POINTER(ServedStatus)]}.items():
        f = getattr(lib, name)
        f.argtypes, f.restype = args, i32
    return lib


class Program:
    """The exports as a program calls them, with the words after a failure."""

    def __init__(self, lib):
        self.lib = lib
        self.samples = (ctypes.c_int32 * READ_MAX)()

    def last_error(self):
        text = ctypes.create_string_buffer(2048)
        self.lib.KV318_LastError(text, len(text))
        return text.value.decode()

    def status(self, h):
        s = ServedStatus()
        s.size = ctypes.sizeof(s)
        assert self.lib.KV318_ServedStatus(h, ctypes.byref(s)) == 0, self.last_error()
        return s

    def read_codes(self, h, want, seconds=30):
        """At least `want` converter codes (bits 2-15 of each sample) from
        reads of `h`, and how many reads returned samples."""
        codes, reads = [], 0
        deadline = time.monotonic() + seconds
        while len(codes) < want and time.monotonic() < deadline:
            n = self.lib.KV318_Read(h, self.samples)
            assert n >= 0, "KV318_Read returned %d: %s" % (n, self.last_error())
            if n == 0:
                time.sleep(0.01)
                continue
            reads += 1
            codes.extend((s >> 2) & 0x3FFF for s in self.samples[:n])
        assert len(codes) >= want, "only %d samples in %d s" % (len(codes), seconds)
        return codes, reads


def breaks(codes):
    """Indices where the ramp does not go on by one code."""
    return [i for i in range(1, len(codes)) if codes[i] != (codes[i - 1] + 1) & 0x3FFF]


class LibraryThroughServer(unittest.TestCase):
    def setUp(self):
        self.sim = sim_process.Sim(SIM, *SIM_ARGS).__enter__()
        self.addCleanup(self.sim.__exit__, None, None, None)
        self.server = Server(SERVER, self.sim)
        self.addCleanup(self.server.__exit__, None, None, None)
        self.server.start()
        # The program's environment: the sim's directory for a direct open,
        # and the server's URL, as a user would export it.
        self.saved = dict(os.environ)
        self.addCleanup(lambda: (os.environ.clear(), os.environ.update(self.saved)))
        os.environ.update(KV318_DRIVER_DIR=self.sim.dir, KV318_SERVER=self.server.url)
        self.p = Program(load(LIBRARY))

    def test_an_unchanged_program_streams_writes_and_is_refused_as_a_busy_board(self):
        lib, p = self.p.lib, self.p
        h = lib.KV318_OpenDevice(0)
        self.assertGreaterEqual(h, SERVED_BASE, p.last_error())
        info = ctypes.create_string_buffer(70)
        self.assertGreaterEqual(lib.KV318_Info(h, info), 0, p.last_error())
        self.assertTrue(info.value, "no identity")
        # The simulator loops its outputs back to its inputs.
        for value in (0x1234, 0xA5C3, 0):
            self.assertEqual(lib.KV318_DO(h, value), 0, p.last_error())
            self.assertEqual(lib.KV318_DI(h), value)

        self.assertEqual(lib.KV318_AD(h, 0, 0, 0, 0, 50), 0, p.last_error())
        s = p.status(h)
        self.assertTrue(s.flags & CONTROLLING, hex(s.flags))
        self.assertEqual(s.url.decode(), self.server.url)
        codes, reads = p.read_codes(h, 100_000)
        self.assertGreater(reads, 1)
        self.assertEqual(breaks(codes), [], "the ramp broke")
        self.assertEqual(p.status(h).next_index, len(codes))
        self.assertEqual(p.status(h).missed, 0)

        # A second handle is a second client: its start is refused as a busy
        # board's, and the words and the status name the first.
        other = lib.KV318_OpenDevice(0)
        self.assertGreaterEqual(other, SERVED_BASE, p.last_error())
        self.assertEqual(lib.KV318_AD(other, 0, 0, 0, 0, 50), -1)
        words = p.last_error()
        self.assertTrue(words.startswith("KV318_AD: "), words)
        busy = p.status(other)
        self.assertTrue(busy.flags & BUSY, hex(busy.flags))
        self.assertTrue(busy.controller, "no controller named")
        self.assertIn(busy.controller.decode(), words)

        # It follows instead: its samples are the stream's at their indices.
        self.assertEqual(lib.KV318_Follow(other), 0, p.last_error())
        followed, _ = p.read_codes(other, 20_000)
        self.assertEqual(breaks(followed), [])
        f = p.status(other)
        self.assertTrue(f.flags & FOLLOWING, hex(f.flags))
        first = f.next_index - len(followed)
        self.assertEqual(f.stream, p.status(h).stream)
        # The controller's sample at that index has the same code.
        self.assertEqual(followed[0], (codes[0] + first) & 0x3FFF)

        self.assertEqual(lib.KV318_StopAD(h), 0)
        self.assertEqual(lib.KV318_CloseDevice(h), 0)
        self.assertEqual(lib.KV318_CloseDevice(other), 0)

    def test_a_dead_server_fails_every_call_in_words_within_the_bound(self):
        lib, p = self.p.lib, self.p
        h = lib.KV318_OpenDevice(0)
        self.assertGreaterEqual(h, SERVED_BASE, p.last_error())
        self.assertEqual(lib.KV318_AD(h, 0, 0, 0, 0, 50), 0, p.last_error())
        p.read_codes(h, 10_000)
        self.server.proc.send_signal(signal.SIGKILL)
        self.server.proc.wait(30)
        began = time.monotonic()
        result = 0
        while result >= 0 and time.monotonic() - began < SILENCE_S + SLACK_S + 5:
            result = lib.KV318_Read(h, p.samples)
        took = time.monotonic() - began
        self.assertLess(result, 0, "reads went on after the server died")
        self.assertLess(took, SILENCE_S + SLACK_S, "the failure took %.1f s" % took)
        self.assertIn("stopped answering", p.last_error())
        self.assertTrue(p.status(h).flags & GONE)
        began = time.monotonic()
        self.assertEqual(lib.KV318_DO(h, 1), -1)
        self.assertLess(time.monotonic() - began, 1.0, "a call after the failure waited")
        lib.KV318_CloseDevice(h)

    def test_a_board_served_on_this_machine_is_reached_with_no_setting(self):
        lib, p = self.p.lib, self.p
        del os.environ["KV318_SERVER"]
        h = lib.KV318_OpenDevice(0)
        self.assertGreaterEqual(h, SERVED_BASE, p.last_error())
        self.assertEqual(p.status(h).url.decode(), self.server.url, "the URL the board's served lock file names")
        self.assertEqual(lib.KV318_DO(h, 0x0F0F), 0, p.last_error())
        self.assertEqual(lib.KV318_DI(h), 0x0F0F)
        self.assertEqual(lib.KV318_AD(h, 0, 0, 0, 0, 50), 0, p.last_error())
        codes, _ = p.read_codes(h, 20_000)
        self.assertEqual(breaks(codes), [])
        self.assertEqual(lib.KV318_StopAD(h), 0)
        self.assertEqual(lib.KV318_CloseDevice(h), 0)

    def test_none_opens_the_board_directly_and_a_missing_client_is_named(self):
        lib, p = self.p.lib, self.p
        os.environ["KV318_SERVER"] = "none"
        h = lib.KV318_OpenDevice(0)
        self.assertGreaterEqual(h, 0, p.last_error())
        self.assertLess(h, SERVED_BASE)
        self.assertEqual(lib.KV318_CloseDevice(h), 0)
        # A copy of the library alone, without its client beside it, in a
        # process of its own that never loaded the client.
        alone = tempfile.mkdtemp(prefix="kv318-test-alone-")
        self.addCleanup(shutil.rmtree, alone, True)
        copy = os.path.join(alone, "libKV318.so.1")
        shutil.copy(LIBRARY, copy)
        code = ("import ctypes; lib = ctypes.CDLL(%r); t = ctypes.create_string_buffer(2048); "
                "print(lib.KV318_OpenDevice(0)); lib.KV318_LastError(t, 2048); print(t.value.decode())" % copy)
        env = dict(os.environ, KV318_SERVER=self.server.url)
        env.pop("LD_LIBRARY_PATH", None)
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
        lines = out.stdout.splitlines()
        self.assertEqual(lines[:1], ["-1"], out.stdout + out.stderr)
        self.assertIn("libKV318-remote.so.1", out.stdout)
        self.assertIn("KV318_OpenDevice: board 0 of " + self.server.url, out.stdout)


def main():
    global SERVER, SIM, LIBRARY
    args = sys.argv[1:]
    for flag in ("--server", "--sim", "--library"):
        i = args.index(flag)
        globals()[flag[2:].upper()] = args[i + 1]
        del args[i:i + 2]
    unittest.main(argv=[sys.argv[0], *args], verbosity=2)


if __name__ == "__main__":
    main()
