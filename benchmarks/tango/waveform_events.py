#!/usr/bin/python3
"""kv318-tango's waveform events: two devices, each served by its own
kv318-tango instance (the library runs one acquisition of this machine's
boards per process) on a simulated board with the board's own FIFO, streaming at 100 kS/s with
windows of 10,000 samples at 10 events a second, to one PyTango client
subscribed to both.

For each device it reports the events received a second, the windows the
client saw skipped (FirstIndex jumping), the ramp checked sample by sample
against FirstIndex, and the latency from the event's time stamp (the
device's push) to its arrival in the client (p50, p99); for each device
server its CPU time per second of the run.  Goal: 10 events a second from
each device, none skipped, the ramp intact, p99 under 100 ms.

The devices are registered in a Tango database of the benchmark's own
(tests/tango/tango_site.py: a private MariaDB and DataBaseds), as a
facility runs them: cppTango 9.3's clients lose a database-free server's
events after ten seconds on a machine whose host name resolves to
localhost (its heartbeat names the host otherwise than the client does).

    benchmarks/tango/waveform_events.py --build build/linux [--seconds 20]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "support"))
sys.path.insert(0, str(ROOT / "tests" / "tango"))
from needed_modules import require  # noqa: E402

require("waveform_events", ["tango", "numpy"])
import numpy  # noqa: E402
import tango  # noqa: E402
import tango_site  # noqa: E402
from sim_process import eventually  # noqa: E402

LENGTH = 10_000
RATE = 10
CLOCK = 2_000_000
DIVIDER = CLOCK // (LENGTH * RATE)  # 100 kS/s: each window is a tenth of a second


def ramp_volts(first, count):
    """The simulator's ramp at the stream's indices first..first+count-1, in
    volts: code n modulo 16384 as a signed 14-bit number, 5 V per 8192."""
    codes = (numpy.arange(first, first + count, dtype=numpy.int64) & 0x3FFF)
    codes = numpy.where(codes >= 8192, codes - 16384, codes)
    return codes * (5.0 / 8192.0)


class Watch:
    """One device's events: FirstIndex and Waveform, paired in order."""

    def __init__(self, name):
        self.name = name
        self.lock = threading.Lock()
        self.first = None
        self.windows = 0
        self.skipped = 0
        self.broken = 0
        self.latencies = []
        self.last_first = None

    def on_first(self, ev):
        if not ev.err and ev.attr_value.value is not None:
            with self.lock:
                self.first = int(ev.attr_value.value)

    def on_waveform(self, ev):
        arrived = time.time()
        if ev.err or ev.attr_value.value is None:
            return
        values = ev.attr_value.value
        with self.lock:
            first = self.first
            if first is None or len(values) != LENGTH:
                return
            self.windows += 1
            self.latencies.append(arrived - ev.attr_value.time.totime())
            if self.last_first is not None and first != self.last_first + LENGTH:
                self.skipped += max(0, (first - self.last_first) // LENGTH - 1)
            self.last_first = first
            if not numpy.array_equal(values, ramp_volts(first, LENGTH)):
                self.broken += 1


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--seconds", type=float, default=20)
    args = parser.parse_args()
    if tango_site.missing_packages():
        sys.exit("waveform_events: install " + " ".join(tango_site.missing_packages()))
    tmp = tempfile.mkdtemp(prefix="kv318-tango-bench-")
    site = tango_site.TangoSite()
    site.start()
    os.environ["TANGO_HOST"] = site.tango_host
    env = dict(site.env, KV318_DRIVER_DIR=tmp, KV318_SERVER="none")
    sim = subprocess.Popen([str(args.build / "simulator" / "kv318-sim"), "--dir", tmp, "--boards", "2",
                            "--signal", "ramp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    names = ["bench/kv318/0", "bench/kv318/1"]
    for i, n in enumerate(names):
        site.register(f"kv318-tango/bench{i}", "KV318", {n: {"Board": i}})
    servers = [subprocess.Popen([str(args.build / "tango" / "kv318-tango"), f"bench{i}"], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
               for i in range(len(names))]
    try:
        devices = [tango.DeviceProxy(n) for n in names]

        def answers():
            try:
                return all(d.state() == tango.DevState.ON for d in devices)
            except tango.DevFailed:
                return False
        if not eventually(answers, 60):
            sys.exit("waveform_events: the devices never came up ON")
        watches = []
        subscriptions = []
        for d, n in zip(devices, names):
            w = Watch(n)
            d.Divider = DIVIDER
            d.WaveformLength = LENGTH
            d.EventRate = RATE
            subscriptions.append([d.subscribe_event("FirstIndex", tango.EventType.CHANGE_EVENT, w.on_first),
                                  d.subscribe_event("Waveform", tango.EventType.CHANGE_EVENT, w.on_waveform)])
            watches.append(w)
        for d in devices:
            d.Start()
        time.sleep(1)  # the first windows settle: counted from here on
        for w in watches:
            with w.lock:
                w.windows = w.skipped = w.broken = 0
                w.latencies = []
        cpu0, t0 = [cpu_seconds(s.pid) for s in servers], time.monotonic()
        time.sleep(args.seconds)
        cpu1, t1 = [cpu_seconds(s.pid) for s in servers], time.monotonic()
        for d in devices:
            d.Stop()
        for d, ids in zip(devices, subscriptions):
            for i in ids:
                d.unsubscribe_event(i)
        elapsed = t1 - t0
        ok = True
        print(f"kv318-tango: 2 devices, {LENGTH} samples a window at {RATE} Hz "
              f"({CLOCK // DIVIDER} S/s each), {elapsed:.1f} s")
        for w, d in zip(watches, devices):
            with w.lock:
                lat = numpy.array(w.latencies) * 1000
                rate = w.windows / elapsed
                p50 = numpy.percentile(lat, 50) if len(lat) else float("nan")
                p99 = numpy.percentile(lat, 99) if len(lat) else float("nan")
                print(f"  {w.name}: {rate:.2f} events/s, {w.skipped} windows skipped, {w.broken} broken, "
                      f"latency p50 {p50:.1f} ms p99 {p99:.1f} ms, FifoLoss {d.FifoLoss}")
                ok = ok and rate >= RATE * 0.95 and w.skipped == 0 and w.broken == 0 and p99 < 100
        for n, a, b in zip(names, cpu0, cpu1):
            print(f"  device server of {n}: CPU {(b - a) / elapsed * 100:.1f} % of one core")
        print("held" if ok else "did not hold")
        return 0 if ok else 1
    finally:
        for p in (*servers, sim):
            p.terminate()
        for p in (*servers, sim):
            try:
                p.wait(30)
            except subprocess.TimeoutExpired:
                p.kill()
        site.stop()
        subprocess.run(["rm", "-rf", tmp], check=False)


if __name__ == "__main__":
    sys.exit(main())
