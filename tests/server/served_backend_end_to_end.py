"""libKV318-remote.so against a real kv318-server serving kv318-sim's ramp:
the table KV318_BackendOps() returns opens board 0, starts a stream and
reads it, sample by sample, as libKV318 will once it loads the library.

Run by CTest: served_backend_end_to_end.py --backend PATH --server PATH
--sim PATH.
"""
import argparse
import ctypes
import os
import sys
import time
import unittest

import server_process
import sim_process
from server_process import Server

BACKEND = SERVER = SIM = None
CLOCK = 2_000_000
DIVIDER = 50
READ_MAX = 524288
SERVED_TEXT_BYTES = 1024
I32 = ctypes.c_int32
HANDLE_FN = ctypes.CFUNCTYPE(I32, I32)


class ServedStatus(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("flags", ctypes.c_uint32), ("stream", ctypes.c_uint32),
                ("divider", ctypes.c_uint32), ("clock_hz", ctypes.c_uint64), ("next_index", ctypes.c_uint64),
                ("missed", ctypes.c_uint64), ("url", ctypes.c_char * 256), ("controller", ctypes.c_char * 128),
                ("failure", ctypes.c_char * SERVED_TEXT_BYTES)]


START_FN = ctypes.CFUNCTYPE(I32, I32, I32, I32, I32, I32, I32)
# backend_ops.h's table, in its order.
OPS_FIELDS = [
    ("size", ctypes.c_uint32), ("abi", ctypes.c_uint32),
    ("open", ctypes.CFUNCTYPE(I32, ctypes.c_char_p, I32, ctypes.c_char_p)),
    ("close", HANDLE_FN),
    ("info", ctypes.CFUNCTYPE(I32, I32, ctypes.c_char_p)),
    ("inb", ctypes.CFUNCTYPE(I32, I32, I32)),
    ("outb", ctypes.CFUNCTYPE(I32, I32, I32, I32)),
    ("bulk_read", ctypes.CFUNCTYPE(I32, I32, ctypes.c_void_p, I32)),
    ("reset_usb", HANDLE_FN),
    ("ad", START_FN),
    ("read", ctypes.CFUNCTYPE(I32, I32, ctypes.POINTER(I32))),
    ("stop_ad", HANDLE_FN),
    ("m_ad", START_FN),
    ("m_read", ctypes.CFUNCTYPE(I32, I32, ctypes.POINTER(I32), ctypes.POINTER(I32), I32)),
    ("m_stop_ad", HANDLE_FN),
    ("stream_stats", ctypes.CFUNCTYPE(I32, I32, ctypes.c_void_p)),
    ("di", HANDLE_FN),
    ("do_write", ctypes.CFUNCTYPE(I32, I32, I32)),
    ("c_run", HANDLE_FN),
    ("c_read", HANDLE_FN),
    ("p_run", ctypes.CFUNCTYPE(I32, I32, I32, I32)),
    ("p_stop", HANDLE_FN),
    ("follow", HANDLE_FN),
    ("status", ctypes.CFUNCTYPE(I32, I32, ctypes.POINTER(ServedStatus))),
    ("last_error", ctypes.CFUNCTYPE(I32, ctypes.c_char_p, I32)),
    ("board", ctypes.CFUNCTYPE(I32, I32, I32, I32)),
]


class BackendOps(ctypes.Structure):
    _fields_ = OPS_FIELDS


def ramp(index):
    """kv318-sim's ramp: sample i is i * 4 as a signed 16-bit word."""
    v = (index * 4) & 0xFFFF
    return v - 0x10000 if v >= 0x8000 else v


class ServedBackendEndToEnd(unittest.TestCase):
    def setUp(self):
        self.sim = sim_process.Sim(SIM, "--signal", "ramp", "--clock", str(CLOCK), "--fifo", "8388608").__enter__()
        self.addCleanup(self.sim.__exit__, None, None, None)
        self.server = Server(SERVER, self.sim)
        self.addCleanup(self.server.__exit__, None, None, None)
        self.server.start()
        # The server's user's own client finds the local keys in the
        # server's driver directory, read at each open.
        os.environ["KV318_DRIVER_DIR"] = server_process.driver_dir_of(self.server.url)
        lib = ctypes.CDLL(BACKEND)
        lib.KV318_BackendOps.restype = ctypes.POINTER(BackendOps)
        lib.KV318_BackendOps.argtypes = []
        self.ops = lib.KV318_BackendOps().contents

    def last_error(self):
        text = ctypes.create_string_buffer(SERVED_TEXT_BYTES)
        self.ops.last_error(text, len(text))
        return text.value.decode()

    def test_a_stream_of_board_0_reads_the_ramp_sample_by_sample(self):
        ops = self.ops
        self.assertEqual(ops.size, ctypes.sizeof(BackendOps))
        self.assertEqual(ops.abi, 1)
        h = ops.open(self.server.url.encode(), 0, None)
        self.assertGreaterEqual(h, 1, self.last_error())
        self.assertEqual(ops.bulk_read(h, None, 64), -1)
        self.assertIn("not served", self.last_error())
        # What the program knows of the board goes with the start, and the
        # stream's status carries it.
        self.assertEqual(ops.board(h, 1_000_000, 524_288), 0, self.last_error())
        self.assertEqual(ops.ad(h, 0, 0, 0, 0, DIVIDER), 0, self.last_error())
        status = ServedStatus(size=ctypes.sizeof(ServedStatus))
        self.assertEqual(ops.status(h, ctypes.byref(status)), 0)
        self.assertEqual((status.flags, status.divider, status.clock_hz, status.url.decode()),
                         (0x02, DIVIDER, 1_000_000, self.server.url))
        samples = (I32 * READ_MAX)()
        index = reads = 0
        deadline = time.monotonic() + 60
        # Several reads, each continuing the ramp where the last one ended.
        while (index < CLOCK // DIVIDER or reads < 5) and time.monotonic() < deadline:
            n = ops.read(h, samples)
            self.assertGreaterEqual(n, 0, self.last_error())
            if n == 0:
                time.sleep(0.02)
                continue
            reads += 1
            got = samples[:n]
            want = [ramp(index + i) for i in range(n)]
            self.assertEqual(got, want, "read %d at sample %d" % (reads, index))
            index += n
        self.assertGreaterEqual(index, CLOCK // DIVIDER, "a second's samples within the deadline")
        self.assertEqual(ops.status(h, ctypes.byref(status)), 0)
        self.assertEqual((status.next_index, status.missed), (index, 0))
        self.assertEqual(ops.stop_ad(h), 0)
        self.assertEqual(self.last_error(), "")
        self.assertEqual(ops.close(h), 0)
        self.assertEqual(ops.close(h), -1)
        print("read %d samples in %d reads" % (index, reads), file=sys.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--backend", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--sim", required=True)
    args, rest = parser.parse_known_args()
    BACKEND, SERVER, SIM = args.backend, args.server, args.sim
    unittest.main(argv=[sys.argv[0], *rest])
