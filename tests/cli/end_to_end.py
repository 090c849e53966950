"""kv318-cli against kv318-sim, each in its own private driver directory.

Run by CTest: end_to_end.py --cli PATH --sim PATH.  Files the tool writes
are read back with Python's own wave and csv readers, and the simulator's
ramp (code n modulo 16384 in bits 2-15 of sample n) is checked sample by
sample.
"""
import csv
import json
import os
import pty
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import wave
from array import array

import sim_process
from sim_process import eventually

CLI = SIM = None


def read_register_past_the_library(sim, reg, board=0):
    """Reads byte register `reg` straight from the simulator's socket, one
    request frame and its reply, as a program that does not use the
    library could: the library's board lock cannot refuse it.  Returns the
    reply's status and first byte."""
    request = bytes([0x80, 8, reg]) + bytes(13)  # read byte, 8-byte reply
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(30)
        s.connect(os.path.join(sim.dir, f"KV318Device{board}"))
        s.sendall(struct.pack("<III", 0x22200C, len(request), 64) + request)
        reply = b""
        while len(reply) < 8 or len(reply) < 8 + struct.unpack_from("<I", reply, 4)[0]:
            chunk = s.recv(4096)
            if not chunk:
                raise AssertionError("the simulator closed the connection mid-reply")
            reply += chunk
    status, count = struct.unpack_from("<II", reply)
    return status, reply[8] if count else None


def ramp_word(n):
    """Sample n of the ramp as a signed 16-bit word."""
    w = (n & 0x3FFF) << 2
    return w - 0x10000 if w & 0x8000 else w


def check_ramp(test, words, what):
    for i, w in enumerate(words):
        if w != ramp_word(i):
            test.fail(f"{what}: sample {i} is {w}, expected {ramp_word(i)}")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_csv(path):
    """The comment lines (without "# ") and the rows after them."""
    with open(path, newline="") as f:
        lines = f.read().splitlines()
    comments = [line[2:] for line in lines if line.startswith("# ")]
    return comments, list(csv.reader(line for line in lines if not line.startswith("#")))


def wav_chunks(data):
    """The chunks of a RIFF/WAVE file as (id, body) pairs; each size must
    lead exactly to the next and RIFF's size must be the file's."""
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE", data[:12]
    assert int.from_bytes(data[4:8], "little") == len(data) - 8, "RIFF size is the file's"
    chunks, at = [], 12
    while at < len(data):
        size = int.from_bytes(data[at + 4:at + 8], "little")
        chunks.append((data[at:at + 4].decode(), data[at + 8:at + 8 + size]))
        at += 8 + size + size % 2
    assert at == len(data), "chunks end where the file does"
    return chunks


def wav_info(data):
    """The LIST/INFO entries of a WAV file as a dict."""
    info = {}
    for cid, body in wav_chunks(data):
        if cid == "LIST" and body[:4] == b"INFO":
            at = 4
            while at < len(body):
                size = int.from_bytes(body[at + 4:at + 8], "little")
                info[body[at:at + 4].decode()] = body[at + 8:at + 8 + size].rstrip(b"\0").decode()
                at += 8 + size + size % 2
    return info


class Sim(sim_process.Sim):
    """kv318-sim serving its ramp, with kv318-cli run against it."""

    def __init__(self, *args):
        super().__init__(SIM, "--signal", "ramp", *args, program=CLI)


def text(r):
    return r.stdout.decode(), r.stderr.decode()


class Commands(unittest.TestCase):
    def test_identity_list_and_not_found(self):
        with Sim("--boards", "2") as sim:
            r = sim.run("info")
            self.assertEqual(r.returncode, 0, r)
            self.assertIn("string 1: KV318 USB DAQ simulator", text(r)[0])
            info = json.loads(sim.run("info", "-b", "1", "--json").stdout)
            self.assertEqual(info, {"board": 1, "string1": "KV318 USB DAQ simulator", "string2": "SN KVS-0001 FW 1.00"})
            listed = json.loads(sim.run("list", "--max", "4", "--json").stdout)
            self.assertEqual([b["board"] for b in listed["boards"]], [0, 1])
            out, _ = text(sim.run("list"))
            self.assertEqual(len(out.splitlines()), 2, out)
            r = sim.run("di", "-b", "2")
            self.assertEqual(r.returncode, 3)
            self.assertIn("board 2: not found (driver directory " + sim.dir, text(r)[1])
            r = sim.run("list", "-b", "2", "--max", "3")
            self.assertEqual(r.returncode, 3)
            self.assertIn("no board found among boards 2-4", text(r)[1])

    def test_outputs_inputs_and_registers(self):
        with Sim() as sim:
            self.assertEqual(sim.run("do", "0xA5C3").returncode, 0)
            self.assertEqual(text(sim.run("di"))[0], "0xA5C3  1010 0101 1100 0011  (DI15..DI0)\n")
            self.assertEqual(json.loads(sim.run("di", "--json").stdout)["di"], 0xA5C3)
            self.assertEqual(sim.run("reg", "set", "4", "0x0B").returncode, 0)
            self.assertEqual(text(sim.run("reg", "get", "4"))[0], "register 0x04 = 0x0B (11)\n",
                             "register 4 reads back the mode byte")
            self.assertEqual(text(sim.run("reg", "get", "14"))[0], "register 0x0E = 0xC3 (195)\n",
                             "a byte read of the inputs gives their low byte")

    def test_counter_and_pulse(self):
        with Sim("--counter-rate", "1000") as sim:
            r = sim.run("counter", "read")
            self.assertEqual(r.returncode, 1)
            self.assertIn("board 0: KV318_CRead failed: no valid count", text(r)[1])
            self.assertEqual(sim.run("counter", "start").returncode, 0)
            self.assertTrue(eventually(lambda: json.loads(sim.run("counter", "read", "--json").stdout)["counter"] > 5))
            watch = sim.start("counter", "watch", "--interval", "20ms")
            self.assertTrue(eventually(lambda: watch.poll() is not None or len(os.read(watch.stdout.fileno(), 1)) > 0))
            time.sleep(0.2)
            watch.send_signal(signal.SIGINT)
            out, _ = watch.communicate(timeout=30)
            self.assertEqual(watch.returncode, 0)
            counts = [int(line.split()[1]) for line in out.decode().splitlines()[1:] if line.split()[1] != "invalid"]
            self.assertGreaterEqual(len(counts), 2, out)
            self.assertEqual(counts, sorted(counts), "the count only climbs")
            watch = sim.start("counter", "watch", "--interval", "10")
            watch.stdout.readline()
            watch.stdout.close()  # as `| head -1` does
            self.assertEqual(watch.wait(60), 7, "a reader that went away ends the watch")
            watch.stderr.close()

            self.assertEqual(sim.run("pulse", "start", "--mode", "0", "--divisor", "200").returncode, 0)
            self.assertIn("= 0x80", text(sim.run("reg", "get", "8"))[0], "running, continuous")
            self.assertEqual(sim.run("pulse", "stop").returncode, 0)
            self.assertIn("= 0x00", text(sim.run("reg", "get", "8"))[0])

    def test_selftest_passes_on_the_simulator_and_fails_without_loopback(self):
        with Sim() as sim:
            r = sim.run("selftest", "--loopback")
            out = text(r)[0]
            self.assertEqual(r.returncode, 0, out)
            self.assertEqual(out.count("PASS  "), 7, out)
            self.assertIn("selftest PASS", out)
            self.assertIn("LEFT CHANGED  counter: left counting from 0", out, "it held no count before")

            # What selftest changes it puts back, or names.
            self.assertEqual(sim.run("do", "0x1234").returncode, 0)
            self.assertEqual(sim.run("pulse", "start", "--mode", "0", "--divisor", "100").returncode, 0)
            r = sim.run("selftest", "--loopback", "--json")
            self.assertEqual(r.returncode, 0, r)
            report = json.loads(r.stdout)
            self.assertEqual(report["restored"], ["counter: left counting, not restarted",
                                                  "outputs: 0x1234 again, as the looped-back inputs read "
                                                  "before the walk"])
            self.assertEqual(len(report["left_changed"]), 1, report)
            self.assertIn("pulse generator: left stopped; it was running (mode 0)", report["left_changed"][0])
            self.assertEqual(text(sim.run("di"))[0].split()[0], "0x1234")
        with Sim("--inputs", "0x0000") as sim:
            r = sim.run("selftest", "--loopback", "--json")
            self.assertEqual(r.returncode, 8, r)
            report = json.loads(r.stdout)
            self.assertFalse(report["pass"])
            failed = [c["check"] for c in report["checks"] if not c["pass"]]
            self.assertEqual(failed, ["loopback walking one", "loopback walking zero"])
            self.assertIn("DO 0x0001 read back 0x0000", report["checks"][5]["detail"])

    def test_values_out_of_range_are_refused_before_any_board_is_opened(self):
        # No driver serves this directory: a command that tried to open a
        # board would end with "not found" (3), not a usage error.
        empty = tempfile.mkdtemp(prefix="kv318-cli-empty-")
        env = dict(os.environ, KV318_DRIVER_DIR=empty)
        cases = [
            (["reg", "get", "256"], "register 256 is out of range 0-255"),
            (["reg", "set", "0x100", "0"], "register 256 is out of range"),
            (["reg", "set", "4", "256"], "register value 256 is out of range 0-255"),
            (["do", "0x10000"], "output word 65536 is out of range 0-65535"),
            (["do", "-1"], "output word -1 is out of range"),
            (["stream", "-d", "1"], "divider 1 is out of range 2-4095"),
            (["stream", "--divider", "4096"], "divider 4096 is out of range"),
            (["poll", "-d", "0"], "divider 0 is out of range"),
            (["pulse", "start", "--divisor", "1"], "pulse divisor 1 is out of range 2-255"),
            (["pulse", "start", "--divisor", "256"], "pulse divisor 256 is out of range"),
            (["info", "-b", "256"], "board number 256 is out of range"),
            (["reg", "get", "010"], "without a leading zero"),
            (["stream", "-s", "1", "-n", "5"], "excludes"),
            (["stream", "-f", "mp3"],
             "format 'mp3' is not one of the formats: csv (text), raw (int16 little-endian), wav or hdf5 (h5)"),
            (["stream", "--format", "nonsense"], "csv (text), raw (int16 little-endian), wav or hdf5"),
            (["stream", "-f", "2"], "format '2' is not one of"),
            (["stream", "-f", "raw", "-o", "run.wav"], "-f raw contradicts the output's extension"),
            (["stream", "-n", "99999999999999999999999"], "sample count 99999999999999999999999 is out of range"),
            (["do", "0xFFFFFFFFFFFFFFFFFF"], "output word 0xFFFFFFFFFFFFFFFFFF is out of range 0-65535"),
            (["stream", "-s", "abc"], "--seconds 'abc' is not a number"),
            (["stream", "-s", "nan"], "not a finite number"),
            (["stream", "-s", "inf"], "not a finite number"),
            (["stream", "-s", "-1"], "must be more than 0"),
            (["stream", "-s", "0.00001"], "less than one sample"),
            (["poll", "--stall-timeout", "0"], "--stall-timeout '0' must be more than 0"),
            (["stream", "--clock", "1e6"], "'1e6' is not a number"),
            (["stream", "-s", "1 x"], "--seconds '1 x' is not a number"),
            (["counter", "watch", "--interval", "1.5ms"], "'1.5ms' is not a whole number of ms"),
            (["counter", "watch", "--interval", "2h"], "'2h' is not a number"),
            (["counter", "watch", "--interval", "3601s"], "interval 3601s is out of range 1-3600000 ms"),
            (["bogus"], "bogus"),
            ([], "Subcommands:"),
        ]
        try:
            for args, says in cases:
                with self.subTest(args=args):
                    r = subprocess.run([CLI, *args], env=env, capture_output=True, timeout=60)
                    self.assertEqual(r.returncode, 2, r)
                    self.assertIn(says, r.stderr.decode())
        finally:
            os.rmdir(empty)

    def test_help_documents_the_exit_codes_once_and_the_programs_their_version(self):
        out = subprocess.run([CLI, "--help"], capture_output=True, timeout=60).stdout.decode()
        for line in ("3  board not found", "5  stream/poll/capture: samples were or may have been lost",
                     "could have filled the board's FIFO", "6  stream/poll/capture: a bulk transfer",
                     "4  stream/poll/capture: acquisition not enabled",
                     "cannot read\nthe board's converter clock"):
            self.assertIn(line, out)
        for sub in (["stream"], ["poll"], ["do"], ["reg", "get"], ["selftest"]):
            with self.subTest(sub=sub):
                out = subprocess.run([CLI, *sub, "--help"], capture_output=True, timeout=60).stdout.decode()
                self.assertIn("Usage: kv318-cli " + " ".join(sub), out)
                self.assertNotIn("board not found", out, "the exit codes are in the top-level help only")
        out = subprocess.run([CLI, "stream", "--help"], capture_output=True, timeout=60).stdout.decode()
        self.assertIn("cannot read the board's clock", out, "--clock says the clock is not read")
        self.assertIn("sample clock divider, 2-4095", out, "--divider states the header's range")
        for program, name in ((CLI, "kv318-cli"), (SIM, "kv318-sim")):
            r = subprocess.run([program, "--version"], capture_output=True, timeout=60)
            self.assertEqual(r.returncode, 0, r)
            self.assertRegex(r.stdout.decode(), "^" + name + r" \d+\.\d+\.\d+\n$")


class Streams(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kv318-cli-files-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def read_wav(self, path):
        with wave.open(path, "rb") as w:
            self.assertEqual((w.getnchannels(), w.getsampwidth()), (1, 2))
            frames = w.readframes(w.getnframes())
            rate = w.getframerate()
        words = array("h", frames)
        if sys.byteorder != "little":
            words.byteswap()
        with open(path, "rb") as f:
            data_chunks = [body for cid, body in wav_chunks(f.read()) if cid == "data"]
        self.assertEqual(len(data_chunks), 1)
        self.assertEqual(len(data_chunks[0]), 2 * len(words), "the header's size is the file's")
        return rate, words

    def test_csv_file_read_back_line_by_line(self):
        path = os.path.join(self.tmp, "ramp.csv")
        with Sim() as sim:
            r = sim.run("stream", "-d", "2", "-n", "50000", "-o", path)
            self.assertEqual(r.returncode, 0, r)
        _, rows = read_csv(path)
        self.assertEqual(rows[0], ["index", "time_s", "code", "volts"])
        self.assertEqual(len(rows), 50001)
        for i, (index, t, code, volts) in enumerate(rows[1:]):
            want = ramp_word(i) // 4
            if (int(index), int(code), float(volts)) != (i, want, want * 5 / 8192) or abs(float(t) - i * 1e-6) > 1e-12:
                self.fail(f"row {i}: {index},{t},{code},{volts}")

    def test_wav_and_raw_read_back_sample_by_sample(self):
        wav_path = os.path.join(self.tmp, "ramp.wav")
        poll_path = os.path.join(self.tmp, "poll.wav")
        with Sim() as sim:
            r = sim.run("stream", "-d", "2", "-s", "1", "-f", "wav", "-o", wav_path)
            self.assertEqual(r.returncode, 0, r)
            r = sim.run("poll", "-d", "2", "-n", "300000", "-f", "wav", "-o", poll_path)
            self.assertEqual(r.returncode, 0, r)
            raw = sim.run("stream", "-d", "4", "-n", "100000", "-f", "raw")
            self.assertEqual(raw.returncode, 0, raw)
        rate, words = self.read_wav(wav_path)
        self.assertEqual(rate, 1000000)
        self.assertGreater(len(words), 500000, "a second at 1 MS/s")
        check_ramp(self, words, "stream wav")
        rate, words = self.read_wav(poll_path)
        self.assertEqual(len(words), 300000)
        check_ramp(self, words, "poll wav (across carried bytes)")
        words = array("h", raw.stdout)
        self.assertEqual(len(words), 100000)
        check_ramp(self, words, "raw to standard output")

    def test_a_signal_mid_stream_leaves_a_complete_file(self):
        for sig, fmt in ((signal.SIGINT, "wav"), (signal.SIGTERM, "wav"), (signal.SIGINT, "csv")):
            with self.subTest(signal=sig.name, format=fmt), Sim() as sim:
                path = os.path.join(self.tmp, f"run-{sig.name}.{fmt}")
                run = sim.start("stream", "-d", "2", "-f", fmt, "-o", path, "--progress")
                self.assertTrue(eventually(lambda: os.path.exists(path) and os.path.getsize(path) > 3000000))
                run.send_signal(sig)
                _, err = run.communicate(timeout=60)
                self.assertEqual(run.returncode, 0, err)
                self.assertRegex(err.decode(), r"MS/s .* MB/s +0 errors\n$")
                if fmt == "wav":
                    _, words = self.read_wav(path)
                    check_ramp(self, words, f"wav stopped by {sig.name}")
                else:
                    with open(path, "rb") as f:
                        data = f.read()
                    self.assertTrue(data.endswith(b"\n"), "ends on a whole line")
                    rows = list(csv.reader(line for line in data.decode().splitlines() if line[:1] != "#"))[1:]
                    check_ramp(self, [int(r[2]) * 4 for r in rows], "csv stopped by SIGINT")

    def test_a_terminal_gets_progress_and_no_binary_samples(self):
        with Sim() as sim:
            master, slave = pty.openpty()
            try:
                r = subprocess.run([CLI, "stream", "-f", "raw", "-n", "10"], env=sim.env, stdout=slave,
                                   stderr=subprocess.PIPE, timeout=60)
                self.assertEqual(r.returncode, 2)
                self.assertIn("refusing to write binary samples to a terminal", r.stderr.decode())
                path = os.path.join(self.tmp, "t.raw")
                r = subprocess.run([CLI, "stream", "-n", "20000", "-f", "raw", "-o", path], env=sim.env,
                                   stdout=subprocess.PIPE, stderr=slave, timeout=60)
                self.assertEqual(r.returncode, 0)
                shown = b""
                while select.select([master], [], [], 0.5)[0]:
                    shown += os.read(master, 65536)
                self.assertIn(b"20000 samples", shown, "progress shows on a terminal")
            finally:
                os.close(master)
                os.close(slave)


class Recordings(unittest.TestCase):
    """What a run writes: its exact length, its format from the file's
    name, and the description it carries."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kv318-cli-rec-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_seconds_give_exactly_round_s_times_rate_samples(self):
        cases = [  # args, samples expected
            (["stream", "-d", "2", "-s", "0.5"], 500000),
            (["poll", "-d", "50", "-s", "0.25"], 10000),
            (["stream", "-d", "3", "-s", "0.1"], 66667),                    # 66,666.67
            (["stream", "-d", "100", "--clock", "1000000", "-s", "1"], 10000),  # the rate is --clock's
        ]
        with Sim() as sim:
            for args, expected in cases:
                with self.subTest(args=args):
                    path = os.path.join(self.tmp, "exact.raw")
                    r = sim.run(*args, "-o", path)
                    self.assertEqual(r.returncode, 0, r)
                    words = array("h", read_bytes(path))
                    self.assertEqual(len(words), expected)
                    check_ramp(self, words, " ".join(args))

    def test_the_format_follows_the_extension(self):
        with Sim() as sim:
            for name, kind in (("a.raw", "raw"), ("b.WAV", "wav"), ("c.csv", "csv"), ("d.dat", "csv")):
                with self.subTest(name=name):
                    path = os.path.join(self.tmp, name)
                    r = sim.run("stream", "-n", "1000", "-o", path)
                    self.assertEqual(r.returncode, 0, r)
                    data = read_bytes(path)
                    if kind == "raw":
                        self.assertEqual(len(data), 2000)
                    elif kind == "wav":
                        self.assertEqual(data[:4], b"RIFF")
                    else:
                        self.assertTrue(data.startswith(b"# kv318-cli "), data[:40])
            r = sim.run("stream", "-n", "1000", "-f", "wav", "-o", os.path.join(self.tmp, "e.dat"))
            self.assertEqual(r.returncode, 0, r)
            self.assertEqual(read_bytes(os.path.join(self.tmp, "e.dat"))[:4], b"RIFF", "-f decides for other names")
            r = sim.run("stream", "-n", "1000", "-f", "csv", "-o", os.path.join(self.tmp, "f.raw"))
            self.assertEqual(r.returncode, 2, r)
            self.assertFalse(os.path.exists(os.path.join(self.tmp, "f.raw")), "refused before anything is written")

    def test_a_wav_header_is_never_appended_to_a_file_opened_for_appending(self):
        # `>> run.wav`: every write of an O_APPEND file lands at its end, a
        # header fix-up too, so the header keeps its open-ended sizes.
        path = os.path.join(self.tmp, "appended.wav")
        with Sim() as sim, open(path, "ab") as out:
            r = subprocess.run([CLI, "stream", "-n", "1000", "-f", "wav"], env=sim.env, stdout=out,
                               stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(r.returncode, 0, r)
        data = read_bytes(path)
        with wave.open(path, "rb") as w:
            words = array("h", w.readframes(1000))
        self.assertEqual(len(words), 1000)
        check_ramp(self, words, "appended wav")
        self.assertEqual(data.count(b"RIFF"), 1, "one header, at the start")
        self.assertTrue(data.endswith(words.tobytes()), "the samples end the file")

    def test_csv_and_wav_describe_the_run(self):
        csv_path = os.path.join(self.tmp, "run.csv")
        wav_path = os.path.join(self.tmp, "run.wav")
        before = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() - 1))
        with Sim("--boards", "2") as sim:
            poll = sim.run("poll", "-b", "1", "-d", "3", "--flag2", "-n", "100", "-o", csv_path)
            self.assertEqual(poll.returncode, 0)
            stream = sim.run("stream", "-d", "3", "--clock", "3000000", "-n", "100", "-o", wav_path)
            self.assertEqual(stream.returncode, 0)
        after = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 1))
        comments, rows = read_csv(csv_path)
        self.assertRegex(comments[0], r"^kv318-cli \d+\.\d+\.\d+$")
        for line in ("board: 1", "identity: KV318 USB DAQ simulator | SN KVS-0001 FW 1.00",
                     "acquisition: polled (KV318_M_AD), mode flags 0 1 0 0", "divider: 3",
                     "sample rate: 666666.6667 samples/s",
                     "volts: code = sample / 4 (halves to even), volts = code x 5 / 8192"):
            self.assertIn(line, comments)
        clock = [c for c in comments if c.startswith("converter clock: ")]
        self.assertEqual(len(clock), 1, comments)
        self.assertTrue(clock[0].startswith("converter clock: 2000000 Hz, as given by --clock"), clock)
        start = [c[len("start: "):] for c in comments if c.startswith("start: ")]
        self.assertEqual(len(start), 1, comments)
        self.assertTrue(before <= start[0] <= after, start)
        self.assertEqual(rows[0], ["index", "time_s", "code", "volts"])
        self.assertEqual(len(rows), 101)

        data = read_bytes(wav_path)
        info = wav_info(data)
        self.assertRegex(info["ISFT"], r"^kv318-cli \d+\.\d+\.\d+$")
        self.assertTrue(before <= info["ICRD"] <= after, info)
        for part in ("board: 0", "converter clock: 3000000 Hz", "divider: 3", "sample rate: 1000000 samples/s",
                     "acquisition: timer-driven (KV318_AD)"):
            self.assertIn(part, info["ICMT"])
        with wave.open(wav_path, "rb") as w:  # a reader that knows no LIST chunk skips it
            self.assertEqual((w.getframerate(), w.getnframes()), (1000000, 100))
            words = array("h", w.readframes(100))
        check_ramp(self, words, "wav with INFO")


class Interruptions(unittest.TestCase):
    """Runs that must end although the board or the output stops taking
    part."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kv318-cli-int-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_a_board_that_stops_delivering_ends_the_run_with_exit_6(self):
        # The simulator's bulk reads return nothing from a second on; the
        # library then reads 0 for ever.  Without the stall timeout the
        # run would last its 600 s and outlive the test's timeout.
        for args in (["stream", "--stall-timeout", "2"], ["poll"], ["stream", "-d", "4095"]):
            with self.subTest(args=args), Sim("--fail", "stall:after=1s") as sim:
                path = os.path.join(self.tmp, "stalled.wav")
                r = sim.run(*args, "-s", "600", "-o", path, timeout=120)
                out, err = text(r)
                self.assertEqual(r.returncode, 6, err)
                self.assertIn("board 0: the board stopped delivering samples", err)
                kept = int(err.split(" keeps the ")[1].split()[0])
                with wave.open(path, "rb") as w:
                    self.assertEqual(w.getnframes(), kept)
                    words = array("h", w.readframes(kept))
                self.assertGreater(kept, 0)
                check_ramp(self, words, "stalled run")

    def test_a_driver_that_goes_away_mid_stream_ends_the_run_with_exit_6(self):
        # A driver that exits looks to the reader like a board that stopped
        # delivering (or, as the library may report it, a failed transfer):
        # either way the run ends with exit 6 and a whole file, long
        # before its 600 s.
        for mode in ("stream", "poll"):
            with self.subTest(mode=mode):
                sim = Sim()
                sim.__enter__()
                path = os.path.join(self.tmp, mode + ".raw")
                run = sim.start(mode, "-d", "50", "-s", "600", "-o", path, "--progress")
                try:
                    self.assertTrue(eventually(lambda: os.path.exists(path) and os.path.getsize(path) > 20000))
                finally:
                    sim.__exit__(None, None, None)
                _, err = run.communicate(timeout=120)
                self.assertEqual(run.returncode, 6, err)
                self.assertRegex(err.decode(), r"board 0: (the board stopped delivering samples|bulk transfer failed)")
                self.assertNotRegex(err.decode(), r" 0 errors\n", "the progress line counts the failure")
                words = array("h", read_bytes(path))
                self.assertGreater(len(words), 10000)
                check_ramp(self, words, "before the driver went away")

    def stuck_run(self, sim, args, stdout):
        """Starts a run whose output nobody reads, interrupts it once it has
        streamed for a while, and returns (exit code, stderr)."""
        run = sim_process.child([CLI, *args, "--progress"], env=sim.env, stdout=stdout, stderr=subprocess.PIPE)
        try:
            progress = b""

            def streamed():
                nonlocal progress
                if select.select([run.stderr], [], [], 0.05)[0]:
                    progress += os.read(run.stderr.fileno(), 4096)
                counts = re.findall(rb"(\d+) samples", progress)
                return run.poll() is not None or (len(counts) > 0 and int(counts[-1]) > 300000)
            self.assertTrue(eventually(streamed))
            run.send_signal(signal.SIGINT)
            code = run.wait(timeout=30)  # never reads the output: Ctrl-C alone must end the run
            return code, (progress + run.stderr.read()).decode()
        finally:
            if run.poll() is None:
                run.kill()
                run.wait()
            run.stderr.close()

    def test_ctrl_c_ends_a_run_whose_output_nobody_reads(self):
        with Sim() as sim:
            # Standard output is a pipe whose reader never reads (| less).
            r, w = os.pipe()
            try:
                code, err = self.stuck_run(sim, ["stream", "-d", "2", "-f", "raw"], w)
                os.close(w)
                w = -1
                self.assertEqual(code, 7, err)
                self.assertRegex(err, r"board 0: stopped; \d+ samples could not be written: standard output took "
                                      r"nothing more within 1 s")
                data = b""
                while chunk := os.read(r, 1 << 20):
                    data += chunk
                self.assertEqual(len(data) % 2, 0, "whole samples only")
                self.assertGreater(len(data), 0)
                check_ramp(self, array("h", data), "raw in the pipe")
            finally:
                os.close(r)
                if w >= 0:
                    os.close(w)

            # A FIFO whose reader opened it and never reads.
            fifo = os.path.join(self.tmp, "run.wav")
            os.mkfifo(fifo)
            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            try:
                code, err = self.stuck_run(sim, ["stream", "-d", "2", "-o", fifo], subprocess.DEVNULL)
                self.assertEqual(code, 7, err)
                self.assertIn("samples could not be written: " + fifo, err)
                data = os.read(reader, 1 << 20)
                self.assertEqual(data[:4], b"RIFF", "the header went out first")
                self.assertIn(b"LIST", data[:200])
            finally:
                os.close(reader)


class Failures(unittest.TestCase):
    """Each failure kv318-sim can script, and the exit code and message it
    gives; then the failures that come from the run itself."""

    def test_scripted_failures(self):
        cases = [
            ("bulk-read", ["stream", "-n", "100000"], 6, "board 0: bulk transfer failed"),
            ("bulk-read:once", ["stream", "-n", "100000"], 6, "(KV318_Read returned -3)"),
            ("bulk-read", ["poll", "-n", "100000"], 6, "bulk transfer failed: the board stopped"),
            ("string", ["info"], 1, "board 0: KV318_Info failed: identity string 1 could not be read"),
            ("string:once", ["list"], 0, "board 0: (identity not readable)"),
            ("command", ["do", "1"], 1, "board 0: KV318_DO failed"),
            ("command", ["di"], 1, "board 0: KV318_DI failed: the input register could not be read"),
            ("command", ["stream", "-n", "10"], 1, "board 0: KV318_AD failed: acquisition did not start"),
            ("command:once", ["reg", "get", "0"], 1, "board 0: KV318_inb failed"),
            ("0x8E", ["poll", "-n", "10"], 1, "board 0: KV318_M_AD failed"),
            ("0x91", ["do", "5"], 1, "board 0: KV318_DO failed"),
            ("0x90", ["counter", "start"], 1, "board 0: KV318_CRun failed"),
            ("0x90", ["pulse", "start"], 1, "board 0: KV318_PRun failed"),
            ("0x90", ["pulse", "stop"], 1, "board 0: KV318_PStop failed"),
            ("0x90", ["reg", "set", "4", "1"], 1, "board 0: KV318_outb failed"),
            ("any", ["info"], 1, "board 0: KV318_Info failed"),
            ("any", ["selftest"], 8, "FAIL  identity"),
            ("bulk-write", ["info"], 0, "KV318 USB DAQ simulator"),
            ("payload", ["stream", "-n", "1000", "-f", "raw", "-o", os.devnull], 0, ""),
        ]
        for fail, args, code, says in cases:
            with self.subTest(fail=fail, args=args), Sim("--fail", fail) as sim:
                r = sim.run(*args)
                out, err = text(r)
                self.assertEqual(r.returncode, code, out + err)
                self.assertIn(says, out + err)

    def test_a_stopped_converter_an_overflow_and_a_failed_output(self):
        tmp = tempfile.mkdtemp(prefix="kv318-cli-files-")
        path = os.path.join(tmp, "stopped.raw")
        try:
            with Sim() as sim:
                # Reading register 4 stops conversion.  The library refuses
                # that to every process but the streaming one, so it comes
                # past the library, as from a program of the driver's own.
                run = sim.start("stream", "-d", "2", "-f", "raw", "-o", path)
                self.assertTrue(eventually(lambda: os.path.exists(path) and os.path.getsize(path) > 100000))
                self.assertEqual(sim.run("reg", "get", "4").returncode, 10, "the library refuses it")
                self.assertEqual(read_register_past_the_library(sim, 4)[0], 0)
                _, err = run.communicate(timeout=60)
                self.assertEqual(run.returncode, 4, err)
                self.assertIn("acquisition not enabled", err.decode())
                # Either a read found the converter off, or the FIFO's last
                # bytes were too few to drain and the stall check asked the
                # status register: where the stop lands between two drains
                # decides which.
                self.assertRegex(err.decode(), r"\(KV318_Read returned -1\)|the status register says conversion is off")

            # A reader whose output blocks falls behind the library's ring
            # once the tool's own queue (64 MiB, about 10 s at 6.5 MB/s) is
            # full too; the pipe is held for 14 s.  The rate leaves the first
            # reads a third of a second of ring, so a busy machine still lets
            # samples through before the overflow.
            with Sim("--clock", "26000000") as fast:
                run = fast.start("stream", "-d", "8", "-f", "raw")
                time.sleep(14)
                out, err = run.communicate(timeout=120)
                self.assertEqual(run.returncode, 5, err)
                self.assertIn("ring overflow: the reader fell behind and samples were lost", err.decode())
                self.assertGreater(len(out), 0, "the samples read before the overflow reach the output")

            with Sim() as sim:
                for target, says in ((os.path.join(tmp, "no", "such.csv"), "No such file"),
                                     ("/dev/full", "No space left")):
                    r = sim.run("stream", "-n", "2000000", "-d", "2", "-o", target)
                    self.assertEqual(r.returncode, 7, r)
                    self.assertIn("cannot write " + target + ": " + says, text(r)[1])
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    known, rest = sim_process.programs("cli", "sim")
    CLI, SIM = known.cli, known.sim
    unittest.main(argv=[sys.argv[0], *rest])
