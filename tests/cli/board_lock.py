"""One acquisition per board across processes: kv318-cli against kv318-sim.

Run by CTest: board_lock.py --cli PATH --sim PATH --lib PATH.  A first
kv318-cli streams or polls board 0; a second one, in each combination of
stream and poll, must be refused with exit 10 and the first's pid, and so
must this process's own starts through libKV318.so (kv318-cli looks at the
lock before it starts, so only a direct call shows the library's refusal),
while register and DI access stay free.  The first's file must hold an
unbroken ramp.  Raw register access, bulk reads and resets from another
process are refused as well, naming the holder, and send nothing: a read
of register 4 or a reset would break the first's ramp.  A holder killed with SIGKILL must free the board at once.
A holder whose lock file someone removes still holds the board.
"""
import ctypes
import os
import signal
import sys
import tempfile
import shutil
import unittest
from array import array

import end_to_end
from end_to_end import Sim, check_ramp, text
import sim_process
from sim_process import eventually

LOCK = "KV318Device0.lock"
LIB = None


# What the raw calls return when the board is another process's.
RAW_REFUSED = {"KV318_inb": -1, "KV318_outb": -1, "KV318_BulkRead": -1, "KV318_ResetUSB": -1}


def library_starts(sim):
    """KV318_AD's and KV318_M_AD's results on board 0 from this process,
    whether KV318_DI still answers meanwhile, and the results of the raw
    calls (each of which would break a running stream if it reached the
    board: a read of the mode register stops conversion, a write of it
    too, a bulk read takes samples, a reset drops the FIFO); then both
    stop calls."""
    os.environ["KV318_DRIVER_DIR"] = sim.dir
    lib = ctypes.CDLL(LIB)
    h = lib.KV318_OpenDevice(0)
    assert h != -1, "board 0 did not open"
    try:
        results = (lib.KV318_AD(h, 0, 0, 0, 0, 50), lib.KV318_M_AD(h, 0, 0, 0, 0, 50))
        buffer = ctypes.create_string_buffer(4097)
        raw = {"KV318_inb": lib.KV318_inb(h, 4), "KV318_outb": lib.KV318_outb(h, 4, 0),
               "KV318_BulkRead": lib.KV318_BulkRead(h, buffer, 4096), "KV318_ResetUSB": lib.KV318_ResetUSB(h)}
        free = lib.KV318_DI(h) >= 0
        # As the test panel does after every tick, also a refused one: these
        # must leave the other process's conversion running.
        lib.KV318_StopAD(h)
        lib.KV318_M_StopAD(h)
    finally:
        lib.KV318_CloseDevice(h)
    return results, free, raw


def raw_words(path):
    words = array("h")
    with open(path, "rb") as f:
        words.frombytes(f.read())
    return words


def size(path):
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return 0


def holds_lock(sim, proc):
    """True once the lock file names proc: it took the board's lock."""
    try:
        with open(os.path.join(sim.dir, LOCK)) as f:
            return f.read() == f"{proc.pid}\n"
    except FileNotFoundError:
        return False


class BoardLock(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kv318-lock-test-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start_holder(self, sim, mode, path):
        # Runs until told to stop; a signal ends it with a complete file.
        first = sim.start(mode, "-n", "1000000000", "-f", "raw", "-o", path, "--no-progress", stdout=None)
        # A failing check must not leave it running past the test.
        self.addCleanup(lambda: first.poll() is None and first.kill())
        self.addCleanup(first.stderr.close)
        self.assertTrue(eventually(lambda: holds_lock(sim, first) or first.poll() is not None),
                        f"the first {mode} never took the lock")
        self.assertIsNone(first.poll(), first.stderr.read() if first.poll() is not None else "")
        return first

    def test_a_second_process_is_refused_and_the_first_stream_stays_whole(self):
        for mode1 in ("stream", "poll"):
            for mode2 in ("stream", "poll"):
                with self.subTest(first=mode1, second=mode2), Sim() as sim:
                    first_path = os.path.join(self.tmp, f"first-{mode1}-{mode2}.raw")
                    second_path = os.path.join(self.tmp, f"second-{mode1}-{mode2}.raw")
                    first = self.start_holder(sim, mode1, first_path)
                    # Well under way before the second comes.
                    self.assertTrue(eventually(lambda: size(first_path) >= 40000), "the first run writes nothing")

                    r = sim.run(mode2, "-n", "2000", "-f", "raw", "-o", second_path)
                    self.assertEqual(r.returncode, 10, r)
                    self.assertIn(f"board 0 is streaming in another process (pid {first.pid})", text(r)[1])
                    self.assertFalse(os.path.exists(second_path), "a refused run creates no file")

                    if mode2 == "stream":
                        results, free, raw = library_starts(sim)
                        self.assertEqual(results, (-1, -1), "the library refuses both starts")
                        self.assertTrue(free, "DI stays free for every process")
                        self.assertEqual(raw, RAW_REFUSED, "raw access is the holder's alone")

                        # kv318-cli says who holds the board, as for a start.
                        for args, call in ((("get", "4"), "KV318_inb"), (("set", "4", "0"), "KV318_outb")):
                            r = sim.run("reg", *args)
                            self.assertEqual(r.returncode, 10, r)
                            self.assertEqual(text(r)[1], f"board 0 is streaming in another process (pid {first.pid}): "
                                             f"{call} is refused until it stops "
                                             "(DI, DO, counter and pulse stay free)\n")
                        r = sim.run("do", "0x0F0F")
                        self.assertEqual(r.returncode, 0, r)
                        self.assertEqual(text(sim.run("di"))[0], "0x0F0F  0000 1111 0000 1111  (DI15..DI0)\n")

                        # The bench check looks and steps aside too.
                        r = sim.run("selftest")
                        out = text(r)[0]
                        self.assertEqual(r.returncode, 0, r)
                        self.assertIn(f"SKIP  stream 1 s: board 0 is streaming in another process "
                                      f"(pid {first.pid})", out)
                        self.assertIn(f"SKIP  pulse generator starts and stops: board 0 is streaming in another "
                                      f"process (pid {first.pid})", out)
                        self.assertIn("0 failed, 2 skipped", out)

                    # ... and still going after it.
                    grown = size(first_path) + 40000
                    self.assertTrue(eventually(lambda: size(first_path) >= grown), "the first run stopped")
                    first.send_signal(signal.SIGINT)
                    self.assertEqual(first.wait(60), 0, first.stderr.read())
                    words = raw_words(first_path)
                    self.assertGreaterEqual(len(words), 40000)
                    check_ramp(self, words, f"first {mode1} beside a second {mode2}")

                    # The stop gave the board back: a new run starts at once.
                    r = sim.run(mode2, "-n", "2000", "-f", "raw", "-o", second_path)
                    self.assertEqual(r.returncode, 0, r)
                    check_ramp(self, raw_words(second_path), f"{mode2} after the first ended")

    def test_a_removed_lock_file_leaves_the_board_held(self):
        for mode in ("stream", "poll"):
            with self.subTest(mode=mode), Sim() as sim:
                first_path = os.path.join(self.tmp, f"removed-{mode}.raw")
                second_path = os.path.join(self.tmp, f"after-removed-{mode}.raw")
                first = self.start_holder(sim, mode, first_path)
                self.assertTrue(eventually(lambda: size(first_path) >= 40000), "the first run writes nothing")
                os.remove(os.path.join(sim.dir, LOCK))

                # Neither no file nor a new, unlocked file of that name may
                # let a second run in.
                for fresh in (False, True):
                    if fresh:
                        with open(os.path.join(sim.dir, LOCK), "w"):
                            pass
                    r = sim.run("stream", "-n", "2000", "-f", "raw", "-o", second_path)
                    self.assertEqual(r.returncode, 10, r)
                    self.assertIn("board 0 is streaming in another process", text(r)[1])
                    self.assertFalse(os.path.exists(second_path), "a refused run creates no file")
                    results, free, raw = library_starts(sim)
                    self.assertEqual(results, (-1, -1), "the library refuses both starts")
                    self.assertTrue(free)
                    self.assertEqual(raw, RAW_REFUSED, "the lock socket still says the board is held")

                grown = size(first_path) + 40000
                self.assertTrue(eventually(lambda: size(first_path) >= grown), "the first run stopped")
                first.send_signal(signal.SIGINT)
                self.assertEqual(first.wait(60), 0, first.stderr.read())
                check_ramp(self, raw_words(first_path), f"first {mode} whose lock file was removed")

                r = sim.run(mode, "-n", "2000", "-f", "raw", "-o", second_path)
                self.assertEqual(r.returncode, 0, r)
                check_ramp(self, raw_words(second_path), f"{mode} after the first ended")

    def test_a_holder_killed_with_sigkill_frees_the_board_at_once(self):
        for mode in ("stream", "poll"):
            with self.subTest(mode=mode), Sim() as sim:
                first = self.start_holder(sim, mode, os.path.join(self.tmp, f"killed-{mode}.raw"))
                first.kill()
                first.wait(60)
                # No waiting and no retry: the kernel dropped the lock with the process.
                path = os.path.join(self.tmp, f"after-{mode}.raw")
                r = sim.run(mode, "-n", "5000", "-f", "raw", "-o", path)
                self.assertEqual(r.returncode, 0, r)
                words = raw_words(path)
                self.assertEqual(len(words), 5000)
                check_ramp(self, words, f"{mode} after a killed holder")


if __name__ == "__main__":
    known, rest = sim_process.programs("cli", "sim", "lib")
    end_to_end.CLI, end_to_end.SIM, LIB = known.cli, known.sim, known.lib
    unittest.main(argv=[sys.argv[0], *rest])
