"""kv318-cli recording to a disk that fills up, against kv318-sim's ramp.

Run by CTest: full_disk_end_to_end.py --cli PATH --sim PATH.  The disk is
3 MiB: a limit on the size of a file (RLIMIT_FSIZE, SIGXFSZ ignored, so a
write past it fails with EFBIG), and, where the test runs as root, a tmpfs of
3 MiB mounted in a private mount namespace (a write fails with ENOSPC).
Whatever the format, the run ends with exit 7, the file holds only samples
the board delivered, each the ramp's, its sizes and counts say just those,
and the message says how many.
"""
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

import h5py
import numpy

import sim_process

CLI = SIM = None
DISK_BYTES = 3 << 20
# More samples than 3 MiB holds in any format.
SAMPLES = 3000000


def ramp_codes(count):
    """The converter codes of the ramp's first `count` samples."""
    n = numpy.arange(count, dtype=numpy.int64) & 0x3FFF
    return numpy.where(n >= 0x2000, n - 0x4000, n)


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (DISK_BYTES, DISK_BYTES))


def wav_samples(data):
    """The data chunk's samples of a WAV file whose every size must agree
    with the file, and its ICMT comment."""
    assert data[:4] == b"RIFF" and int.from_bytes(data[4:8], "little") == len(data) - 8, "RIFF size is the file's"
    at, samples, comment = 12, None, ""
    while at < len(data):
        size = int.from_bytes(data[at + 4:at + 8], "little")
        body = data[at + 8:at + 8 + size]
        if data[at:at + 4] == b"data":
            samples = numpy.frombuffer(body, "<i2").astype(numpy.int64)
        elif data[at:at + 4] == b"LIST":
            comment = body[body.find(b"ICMT") + 8:].rstrip(b" \0").decode()
        at += 8 + size + size % 2
    assert at == len(data), "the chunks end where the file does"
    return samples, comment


class FullDisk(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kv318-cli-full-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def record(self, sim, way, name):
        """Streams the ramp to `name` on a full disk made `way`; the run's
        result and the path of the file it left."""
        args = [CLI, "stream", "--clock", "2000000", "-d", "4", "-n", str(SAMPLES)]
        if way == "file-size limit":
            out = os.path.join(self.dir, name)
            r = subprocess.run(args + ["-o", out], env=sim.env, capture_output=True, timeout=120,
                               preexec_fn=limit_file_size)
            return r, out
        if os.geteuid() != 0:
            self.skipTest("a full tmpfs needs root to mount it; the file-size limit stands in")
        disk = tempfile.mkdtemp(dir=self.dir)
        kept = os.path.join(self.dir, name)
        # The mount lives as long as the namespace: the file is copied out
        # before it goes.  Exit 99 says the mount itself failed.
        script = ('mount -t tmpfs -o size="$1" tmpfs "$2" || exit 99; out="$2/$3"; shift 3; '
                  '"$@" -o "$out"; rc=$?; cp "$out" "$KEPT"; exit $rc')
        r = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", str(DISK_BYTES), disk, name] + args,
                           env=dict(sim.env, KEPT=kept), capture_output=True, timeout=120)
        if r.returncode == 99:
            self.skipTest("no private tmpfs here: " + r.stderr.decode().strip())
        return r, kept

    def test_a_full_disk_leaves_only_the_samples_that_reached_it(self):
        for way in ("file-size limit", "full tmpfs"):
            for fmt in ("csv", "wav", "h5"):
                with self.subTest(way=way, format=fmt), sim_process.Sim(SIM, "--signal", "ramp", program=CLI) as sim:
                    r, path = self.record(sim, way, "run." + fmt)
                    err = r.stderr.decode()
                    self.assertEqual(r.returncode, 7, err)
                    self.assertNotIn("HDF5-DIAG", err)
                    self.assertLessEqual(len(err.splitlines()), 2, err)
                    m = re.search(r"cannot write .*; it holds the (\d+) before them\)", err)
                    self.assertIsNotNone(m, err)
                    held = int(m.group(1))
                    self.assertGreater(held, 0, err)
                    self.assertLess(held, SAMPLES, err)
                    if fmt == "csv":
                        with open(path, "rb") as f:
                            text = f.read().decode()
                        self.assertTrue(text.endswith("\n"), "no part of a line: " + text[-100:])
                        rows = [line.split(",") for line in text.splitlines() if not line.startswith("#")]
                        self.assertEqual(rows[0], ["index", "time_s", "code", "volts"])
                        codes = numpy.array([int(row[2]) for row in rows[1:]])
                    elif fmt == "wav":
                        with open(path, "rb") as f:
                            samples, comment = wav_samples(f.read())
                        codes = samples >> 2
                        self.assertRegex(comment, r"; fifo: (no gap|.*may have)", "the run's end wrote its note")
                    else:
                        with h5py.File(path, "r") as f:
                            group = f["run_0001"]
                            codes = group["samples"][()].astype(numpy.int64)
                            self.assertEqual(group.attrs["samples_written"], codes.size)
                            events = group["events"][()]
                            self.assertGreater(len(events), 0, "an events row says why the run ends")
                            last = events[-1]
                            self.assertEqual((last["index"], last["kind"].decode()), (codes.size, "error"))
                            self.assertIn("no room for more samples", last["text"].decode())
                            self.assertTrue(group.attrs["fifo"].startswith("fifo: "))
                    self.assertEqual(codes.size, held, err)
                    wrong = numpy.nonzero(codes != ramp_codes(codes.size))[0]
                    self.assertEqual(wrong.size, 0, f"sample {wrong[:1]} is not the ramp's")


if __name__ == "__main__":
    known, rest = sim_process.programs("cli", "sim")
    CLI, SIM = known.cli, known.sim
    unittest.main(argv=[sys.argv[0], *rest])
