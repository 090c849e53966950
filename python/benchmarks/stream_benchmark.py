#!/usr/bin/env python3
"""How fast Board.stream delivers samples through kv318-sim, beside the C
library's own stream benchmark at the same rate, in one run.

    python3 python/benchmarks/stream_benchmark.py            # 10 s each, 22 MB/s
    python3 python/benchmarks/stream_benchmark.py --clock-mhz 24 --seconds 5

kv318-sim streams its ramp at divider 2 (converter clock in Hz = bytes per
second) for the given time.  The run holds when no read failed, every
sample followed its predecessor, and the simulator's FIFO dropped nothing.
CPU per MB counts this process (the reader and the library's timer thread)
and the simulator process together: the C benchmark runs all three in one
process and counts them together too.

KV318_LIBRARY and KV318_SIM name the library and simulator (default: the
linux preset's build tree); --c-benchmark the C program.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "linux"
os.environ.setdefault("KV318_LIBRARY", str(BUILD / "library" / "libKV318.so"))
os.environ.setdefault("KV318_SIM", str(BUILD / "simulator" / "kv318-sim"))
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "tests" / "support"))
from needed_modules import require  # noqa: E402

require("stream_benchmark", ["numpy"])
import numpy as np  # noqa: E402

import kv318  # noqa: E402

RAMP_PERIOD = 16384
# The ramp repeats every 16384 samples, so one precomputed stretch covers any
# block at any offset: checking a block is one comparison.
RAMP = ((np.arange(RAMP_PERIOD + kv318.STREAM_READ_SAMPLES) & 0x3FFF) << 2).astype(np.uint16).view(np.int16)


def cpu_seconds_of(pid):
    """User and system CPU time of another process, from /proc."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def python_run(clock_hz, fifo_kib, seconds):
    r = {"failure": None, "ramp_broken": False}
    fifo_bytes = fifo_kib * 1024
    with kv318.Simulator(signal="ramp", clock=clock_hz, fifo=fifo_bytes) as sim:
        with sim.open(0) as board:
            sim_cpu0, cpu0, t0 = cpu_seconds_of(sim.pid), time.process_time(), time.monotonic()
            delivered = 0
            try:
                with board.stream(divider=2, clock_hz=clock_hz, fifo_bytes=fifo_bytes) as stream:
                    for block in stream:
                        off = delivered % RAMP_PERIOD
                        if not np.array_equal(block, RAMP[off:off + block.size]):
                            r["ramp_broken"] = True
                            break
                        delivered += block.size
                        if time.monotonic() - t0 >= seconds:
                            break
            except kv318.KV318Error as e:
                r["failure"] = f"{type(e).__name__}: {e}"
            r["seconds"] = time.monotonic() - t0
            r["python_cpu"] = time.process_time() - cpu0
            r["sim_cpu"] = cpu_seconds_of(sim.pid) - sim_cpu0
        sim.wait_for_log(r"board 0: connection \d+ closed")
        r["fifo_drops"] = sim.fifo_drops(0)
    r["mb"] = 2 * delivered / 1e6
    r["holds"] = r["failure"] is None and not r["ramp_broken"] and r["fifo_drops"] == 0
    return r


def c_run(program, clock_mhz, fifo_kib, seconds):
    with tempfile.TemporaryDirectory() as d:
        out = Path(d) / "c.json"
        done = subprocess.run(
            [program, f"--benchmark_filter=BM_SustainedStream/clock_MHz:{clock_mhz}/fifo_KiB:{fifo_kib}/",
             f"--benchmark_out={out}", "--benchmark_out_format=json"],
            env=dict(os.environ, KV318_BENCH_SECONDS=str(seconds)), capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"{program} failed:\n{done.stdout}{done.stderr}")
        runs = json.loads(out.read_text())["benchmarks"]
    if not runs:
        raise SystemExit(f"{program} has no run at clock {clock_mhz} MHz")
    return runs[0]


def main():
    p = argparse.ArgumentParser(description="Board.stream through kv318-sim beside the C stream benchmark")
    p.add_argument("--seconds", type=float, default=10)
    p.add_argument("--clock-mhz", type=int, default=22,
                   help="converter clock, MHz = MB/s at divider 2; the C benchmark has 8, 16 and 20-28 "
                        "in steps of 2 (default 22)")
    p.add_argument("--fifo-kib", type=int, default=512,
                   help="the simulated FIFO: 512 (the board's) or 4096, as the C benchmark has (default 512)")
    p.add_argument("--c-benchmark", default=str(BUILD / "benchmarks" / "simulator_stream_benchmark"))
    p.add_argument("--no-c", action="store_true", help="skip the C benchmark")
    args = p.parse_args()

    py = python_run(args.clock_mhz * 1_000_000, args.fifo_kib, args.seconds)
    per_mb = {k: 1e3 * py[k] / py["mb"] for k in ("python_cpu", "sim_cpu")}
    print(f"Board.stream (Python), ramp at {args.clock_mhz} MB/s offered, FIFO {args.fifo_kib} KiB:")
    print(f"  {py['mb'] / py['seconds']:.1f} MB/s over {py['seconds']:.1f} s, {py['mb']:.0f} MB; "
          f"{'held: no failed read, ramp intact, 0 FIFO drops' if py['holds'] else 'DID NOT HOLD'}")
    if not py["holds"]:
        print(f"  failure: {py['failure']}, ramp broken: {py['ramp_broken']}, FIFO drops: {py['fifo_drops']}")
    print(f"  CPU per MB: {per_mb['python_cpu'] + per_mb['sim_cpu']:.2f} ms "
          f"(Python process {per_mb['python_cpu']:.2f} + kv318-sim {per_mb['sim_cpu']:.2f})")
    if not args.no_c:
        c = c_run(args.c_benchmark, args.clock_mhz, args.fifo_kib, args.seconds)
        print(f"C library stream benchmark ({Path(args.c_benchmark).name}), same rate and FIFO:")
        print(f"  {c['MB/s']:.1f} MB/s over {c['real_time']:.1f} s; "
              f"{'held' if c['sustained'] else 'DID NOT HOLD'}; CPU per MB: {c['CPU_ms/MB']:.2f} ms "
              "(library, reader and simulator in one process)")
        if not c["sustained"]:
            print(f"  failed read: {c['read_failure']:.0f}, FIFO drops: {c['fifo_drops']:.0f}, "
                  f"ramp broken: {c['ramp_broken']:.0f}")
    return 0 if py["holds"] else 1


if __name__ == "__main__":
    sys.exit(main())
