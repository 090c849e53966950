"""kv318-cli's HDF5 recordings against kv318-sim, read back with h5py.

Run by CTest: hdf5_end_to_end.py --cli PATH --sim PATH.  The simulator's
ramp puts code n modulo 16384 in bits 2-15 of sample n, so the code kv318-cli
stores for sample n is that code read as a signed 14-bit number: every lost,
repeated or misplaced sample shows.
"""
import os
import shutil
import signal
import sys
import tempfile
import unittest

import h5py
import numpy

import sim_process
from sim_process import eventually

CLI = SIM = None
# The `events` rows as kv318.record writes them (python/kv318/recorder.py).
EVENTS_DTYPE = numpy.dtype([("index", "<u8"), ("kind", h5py.string_dtype()), ("text", h5py.string_dtype())])


def ramp_codes(first, count):
    """The converter codes of the ramp's samples first .. first+count-1."""
    n = numpy.arange(first, first + count, dtype=numpy.int64) & 0x3FFF
    return numpy.where(n >= 0x2000, n - 0x4000, n).astype(numpy.int16)


class Sim(sim_process.Sim):
    def __init__(self, *args):
        super().__init__(SIM, "--signal", "ramp", *args, program=CLI)


class Hdf5Recordings(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kv318-cli-hdf5-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def check_group(self, group, first, count):
        samples = group["samples"]
        self.assertEqual(samples.dtype, numpy.int16)
        self.assertEqual(samples.maxshape, (None,), "the dataset can grow")
        self.assertIsNotNone(samples.chunks)
        self.assertEqual(samples.shape, (count,))
        numpy.testing.assert_array_equal(samples[()], ramp_codes(first, count))
        self.assertEqual(group.attrs["first_index"], first)
        self.assertEqual(group.attrs["samples_written"], count)

    def test_runs_append_to_one_file_sample_by_sample(self):
        runs = [
            (["-o", self.path("log.h5"), "-n", "70000", "-d", "20"], 70000),
            (["-o", self.path("log.h5"), "-n", "1234", "-d", "50"], 1234),
            (["-o", self.path("log.hdf5"), "-n", "5000"], 5000),  # another file, by the long extension
            (["-f", "HDF5", "-o", self.path("log.h5"), "-n", "3"], 3),  # -f agreeing with it, in any case
        ]
        with Sim() as sim:
            for args, count in runs:
                r = sim.run("stream", "--clock", "2000000", *args)
                self.assertEqual(r.returncode, 0, r.stderr.decode())
            # A capture appends its group to the same file.
            r = sim.run("capture", "--clock", "2000000", "--trigger", "rising:1", "-n", "2000",
                        "-o", self.path("log.h5"))
            self.assertEqual(r.returncode, 0, r.stderr.decode())
        with h5py.File(self.path("log.h5"), "r") as f:
            self.assertEqual(sorted(f.keys()), ["run_0001", "run_0002", "run_0003", "run_0004"])
            capture = f["run_0004"]
            codes = capture["samples"][()].astype(numpy.int64)
            self.assertEqual((codes.size, capture.attrs["samples_written"]), (2000, 2000))
            self.assertTrue(numpy.all((numpy.diff(codes) & 0x3FFF) == 1), "the captured ramp breaks")
            self.assertGreaterEqual(codes[0] * 5 / 8192, 1.0, "the capture starts at its rising trigger")
            self.assertIn("converter clock: 2000000 Hz", capture.attrs["description"])
            self.assertTrue(capture.attrs["fifo"].startswith("fifo: "), capture.attrs["fifo"])
            for name, count in [("run_0001", 70000), ("run_0002", 1234), ("run_0003", 3)]:
                self.check_group(f[name], 0, count)
            g = f["run_0001"]
            self.assertEqual(g.attrs["clock_hz"], 2000000)
            self.assertEqual(g.attrs["clock_hz"].dtype, numpy.uint64)
            self.assertEqual(g.attrs["divider"], 20)
            self.assertEqual(g.attrs["divider"].dtype, numpy.uint32)
            self.assertEqual(g.attrs["sample_rate_hz"], 100000.0)
            self.assertEqual(f["run_0002"].attrs["divider"], 50)
            self.assertEqual(g.attrs["volts_per_code"], 5 / 8192)
            self.assertEqual(g.attrs["volts_offset"], 0.0)
            self.assertRegex(g.attrs["started_utc"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
            self.assertIn("identity: KV318 USB DAQ simulator | SN KVS-0000 FW 1.00", g.attrs["description"])
            self.assertTrue(g.attrs["tool"].startswith("kv318-cli "), g.attrs["tool"])
            self.assertTrue(g.attrs["fifo"].startswith("fifo: no gap between drains exceeded"), g.attrs["fifo"])
            volts = g["samples"][:5] * g.attrs["volts_per_code"] + g.attrs["volts_offset"]
            numpy.testing.assert_array_equal(volts, numpy.arange(5) * 5 / 8192)
        with h5py.File(self.path("log.hdf5"), "r") as f:
            self.check_group(f["run_0001"], 0, 5000)

    def test_split_continues_first_index_across_groups(self):
        # 0.05 s at 2 MHz / 50 is 2000 samples a group.
        out = self.path("split.h5")
        with Sim() as sim:
            r = sim.run("poll", "-o", out, "-n", "9000", "--split", "0.05")
            self.assertEqual(r.returncode, 0, r.stderr.decode())
            self.assertIn("the run is in /run_0001 to /run_0005", r.stderr.decode())
        with h5py.File(out, "r") as f:
            self.assertEqual(sorted(f.keys()), [f"run_{i:04d}" for i in range(1, 6)])
            joined = numpy.concatenate([f[f"run_{i:04d}"]["samples"][()] for i in range(1, 6)])
            numpy.testing.assert_array_equal(joined, ramp_codes(0, 9000))
            for i, (first, count) in enumerate([(0, 2000), (2000, 2000), (4000, 2000), (6000, 2000), (8000, 1000)]):
                self.check_group(f[f"run_{i + 1:04d}"], first, count)
                self.assertIn("fifo", f[f"run_{i + 1:04d}"].attrs, "every group of the run gets the note")

    def check_events_layout(self, events):
        """The `events` dataset as kv318.record makes it: the same compound
        (index uint64 LE, kind and text variable-length UTF-8 strings), 1-D,
        chunks of 64 rows, unlimited."""
        self.assertEqual(events.dtype, EVENTS_DTYPE)
        for field in ("kind", "text"):
            info = h5py.check_string_dtype(events.dtype.fields[field][0])
            self.assertEqual((info.encoding, info.length), ("utf-8", None), field)
        self.assertEqual(events.chunks, (64,))
        self.assertEqual(events.maxshape, (None,))
        with h5py.File(self.path("python-layout.h5"), "w") as f:
            made = f.create_dataset("events", shape=(0,), maxshape=(None,), dtype=EVENTS_DTYPE, chunks=(64,))
            self.assertEqual(events.id.get_type(), made.id.get_type(), "the same HDF5 type on disk")

    def test_compress_gives_the_same_samples_through_shuffle_and_deflate(self):
        with Sim() as sim:
            for name, args in [("plain.h5", []), ("packed.h5", ["--compress"])]:
                r = sim.run("stream", "-o", self.path(name), "-n", "300000", "-d", "20", *args)
                self.assertEqual(r.returncode, 0, r.stderr.decode())
        with h5py.File(self.path("plain.h5"), "r") as plain, h5py.File(self.path("packed.h5"), "r") as packed:
            self.assertIsNone(plain["run_0001"]["samples"].compression)
            self.assertFalse(plain["run_0001"]["samples"].shuffle)
            g = packed["run_0001"]
            self.check_group(g, 0, 300000)
            self.assertEqual((g["samples"].compression, g["samples"].compression_opts), ("gzip", 4))
            self.assertTrue(g["samples"].shuffle)
            self.assertLess(g["samples"].id.get_storage_size(), plain["run_0001"]["samples"].id.get_storage_size())
            for f in (plain, packed):
                self.check_events_layout(f["run_0001"]["events"])
                self.assertEqual(f["run_0001"]["events"].shape, (0,), "nothing happened")

    def test_events_are_laid_out_as_kv318_record_lays_them_out(self):
        # The package loads the built library, which a sanitizer build
        # instruments so that this interpreter cannot load it.
        if os.environ.get("KV318_SANITIZE") or not os.environ.get("KV318_LIBRARY"):
            self.skipTest("the kv318 package cannot load this build's library")
        cli_path, python_path = self.path("cli.h5"), self.path("python.h5")
        with Sim() as sim:
            r = sim.run("stream", "-o", cli_path, "-n", "1000")
            self.assertEqual(r.returncode, 0, r.stderr.decode())
            os.environ["KV318_DRIVER_DIR"] = sim.dir
            import kv318
            with kv318.open(0) as board, board.stream(divider=50) as s, kv318.record(s, python_path) as rec:
                rec.run(samples=1000)
        with h5py.File(cli_path, "r") as c, h5py.File(python_path, "r") as p:
            ours, theirs = c["run_0001"]["events"], p["run_0001"]["events"]
            self.assertEqual(ours.id.get_type(), theirs.id.get_type(), "the same HDF5 type on disk")
            self.assertEqual((ours.dtype, ours.chunks, ours.maxshape), (theirs.dtype, theirs.chunks, theirs.maxshape))
            self.assertEqual((ours.shape, theirs.shape), ((0,), (0,)))
            self.check_events_layout(theirs)  # the documented layout is the recorder's

    def test_a_failed_transfer_is_an_events_row_at_the_sample_after_the_last(self):
        out = self.path("broken.h5")
        with Sim("--fail", "bulk-read:after=1s") as sim:
            r = sim.run("stream", "-o", out, "-d", "20", "--compress")
        err = r.stderr.decode()
        self.assertEqual(r.returncode, 6, err)
        with h5py.File(out, "r") as f:
            g = f["run_0001"]
            count = g["samples"].shape[0]
            self.assertGreater(count, 0)
            self.check_group(g, 0, count)
            self.check_events_layout(g["events"])
            rows = g["events"][()]
            self.assertEqual(len(rows), 1, rows)
            index, kind, text = rows[0]
            kind, text = (v.decode() if isinstance(v, bytes) else v for v in (kind, text))
            self.assertEqual((index, kind), (count, "transfer"))
            self.assertTrue(text.startswith("board 0: "), text)
            self.assertIn(text + ". " + out + " keeps the %d samples read before it." % count, err)

    def test_refusals_leave_files_alone(self):
        notes = self.path("notes.h5")
        with open(notes, "wb") as f:
            f.write(b"my notes, not HDF5\n")
        with Sim() as sim:
            cases = [
                (["-o", notes, "-n", "10"], 7, "exists and is not an HDF5 file, so it was left unchanged"),
                (["-f", "hdf5", "-n", "10"], 2, "needs a file it can seek in, not standard output"),
                (["-o", "-", "-f", "h5", "-n", "10"], 2, "not standard output"),
                (["-o", self.path("x.csv"), "--split", "1"], 2, "--split starts the next run group of an HDF5"),
                (["-o", self.path("x.raw"), "--compress"], 2, "--compress stores an HDF5 recording's samples"),
                (["-o", self.path("x.h5"), "-f", "wav"], 2, "contradicts the output's extension"),
                (["-o", self.path("x.h5"), "--split", "0.000001"], 2, "less than one sample"),
            ]
            for args, code, words in cases:
                with self.subTest(args=args):
                    r = sim.run("stream", *args)
                    self.assertEqual(r.returncode, code, r.stderr.decode())
                    self.assertIn(words, r.stderr.decode())
            r = sim.run("capture", "--trigger", "rising:2", "-o", "-", "-f", "h5", "--timeout", "1")
            self.assertEqual(r.returncode, 2, r.stderr.decode())
            self.assertIn("not standard output", r.stderr.decode())
        with open(notes, "rb") as f:
            self.assertEqual(f.read(), b"my notes, not HDF5\n")
        self.assertFalse(os.path.exists(self.path("x.h5")))
        self.assertFalse(os.path.exists(self.path("x.raw")))

    def test_a_run_killed_mid_stream_leaves_a_file_h5py_opens(self):
        out = self.path("killed.h5")
        with Sim() as sim:
            # An earlier run in the same file must survive the kill as well.
            self.assertEqual(sim.run("stream", "-o", out, "-n", "100").returncode, 0)
            proc = sim.start("stream", "-o", out, "-d", "20")

            def flushed_past(count):
                # The samples reach the disk about once a second; readers
                # see them only once a flush has declared them.
                try:
                    with h5py.File(out, "r", locking=False) as f:
                        return "run_0002" in f and f["run_0002"]["samples"].shape[0] > count
                except Exception:  # caught mid-flush: look again
                    return False

            self.assertTrue(eventually(lambda: flushed_past(150000), seconds=60), proc.poll())
            proc.send_signal(signal.SIGKILL)
            proc.wait(30)
            self.assertEqual(proc.returncode, -signal.SIGKILL)
            proc.stdout.close()
            proc.stderr.close()
            # The next run appends to the killed file.
            r = sim.run("stream", "-o", out, "-n", "10")
            self.assertEqual(r.returncode, 0, r.stderr.decode())
        with h5py.File(out, "r") as f:
            self.assertEqual(sorted(f.keys()), ["run_0001", "run_0002", "run_0003"])
            self.check_group(f["run_0001"], 0, 100)
            self.check_group(f["run_0003"], 0, 10)
            killed = f["run_0002"]
            count = killed["samples"].shape[0]
            self.assertGreater(count, 150000)
            # Up to the last flush, every sample is there and in order.
            self.check_group(killed, 0, count)
            self.assertNotIn("fifo", killed.attrs, "the run never ended")


def main():
    global CLI, SIM
    args, rest = sim_process.programs("cli", "sim")
    CLI, SIM = args.cli, args.sim
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
