#!/usr/bin/python3
"""kv318-server fanning one board out to several followers, against
kv318-sim with the board's own FIFO, beside a local kv318-cli stream at the
same rate:

  local      kv318-cli stream at clock / divider to /dev/null, no server
  server     kv318-server serving the board, its controller and followers
  controller a bare client that starts the stream and checks it
  follower-N bare clients (pyzmq + numpy) that follow it and check it
  library    a follower through libKV318's exports alone (library_follower.py,
             ctypes), as an unchanged C program reaches the server; it
             joins once the stream runs, so it holds when it got every
             sample from its first on

Each reader checks the simulator's ramp sample by sample against its block
index.  CPU ms/MB is each process's user and system time per MB of samples
(2 bytes a sample); latency is the time from a block's host time to its
arrival at a follower (p50, p99).  The run holds when the simulator's FIFO
dropped nothing and no reader missed a sample or saw the ramp break.

    benchmarks/server/server_benchmark.py --build build/linux [--seconds 20] [--followers 3]
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "support"))
from needed_modules import require  # noqa: E402

# This script's and its client processes' (tests/server/client_process.py).
require("server_benchmark", ["zmq", "numpy"])
from server_process import free_port_pair  # noqa: E402
from sim_process import eventually  # noqa: E402

CLIENT = ROOT / "tests" / "server" / "client_process.py"
LIBRARY_FOLLOWER = Path(__file__).resolve().parent / "library_follower.py"


def board_priority():
    """The simulator stands in for hardware, which never falls behind: it runs
    at the highest priority this process may give it."""
    try:
        os.nice(-20)
    except OSError:
        pass


def wait_cpu(p):
    """Waits for `p`; its user + system CPU seconds."""
    _, _, ru = os.wait4(p.pid, 0)
    p.returncode = 0
    return ru.ru_utime + ru.ru_stime


def fifo_drops(log):
    found = re.findall(r"FIFO drops so far: (\d+)", open(log).read())
    return int(found[-1]) if found else 0


def start_sim(build, clock, d):
    log = os.path.join(d, "sim.log")
    sim = subprocess.Popen([str(build / "simulator" / "kv318-sim"), "--dir", d, "--signal", "ramp", "--clock",
                            str(clock), "--fifo", "524288"], stdout=open(log, "w"), stderr=subprocess.STDOUT,
                           preexec_fn=board_priority)
    if not eventually(lambda: "serving" in open(log).read(), 30):
        raise RuntimeError("kv318-sim did not start: " + open(log).read())
    return sim, log


def stop(p):
    p.send_signal(signal.SIGTERM)
    return wait_cpu(p)


def local_run(build, clock, divider, seconds):
    d = tempfile.mkdtemp(prefix="kv318-bench-")
    sim, log = start_sim(build, clock, d)
    env = dict(os.environ, KV318_DRIVER_DIR=d)
    cli = subprocess.Popen([str(build / "cli" / "kv318-cli"), "stream", "--divider", str(divider), "--clock",
                            str(clock), "--seconds", str(seconds), "--format", "raw", "-o", "/dev/null",
                            "--no-progress"], env=env, stderr=subprocess.PIPE)
    cpu = wait_cpu(cli)
    stop(sim)
    samples = clock // divider * seconds
    return {"cpu_ms_per_mb": 1000 * cpu / (samples * 2 / 1e6), "fifo_drops": fifo_drops(log)}


def served_run(build, clock, divider, seconds, followers):
    d = tempfile.mkdtemp(prefix="kv318-bench-")
    sim, log = start_sim(build, clock, d)
    env = dict(os.environ, KV318_DRIVER_DIR=d)
    url = "tcp://127.0.0.1:%d" % free_port_pair()
    slog = os.path.join(d, "server.log")
    server = subprocess.Popen([str(build / "server" / "kv318-server"), "--listen", url], env=env,
                              stdout=open(slog, "w"), stderr=subprocess.STDOUT)
    if not eventually(lambda: "serving board" in open(slog).read(), 30):
        raise RuntimeError("kv318-server did not start: " + open(slog).read())

    def client(mode, name, secs):
        return subprocess.Popen([sys.executable, str(CLIENT), mode, "--url", url, "--name", name, "--seconds",
                                 str(secs), "--divider", str(divider), "--clock", str(clock)],
                                stdout=subprocess.PIPE, text=True, env=env)  # the server's local keys are there
    fs = [client("follow", "follower-%d" % i, seconds + 30) for i in range(followers)]
    for f in fs:
        json.loads(f.stdout.readline())
    ctl = client("control", "controller", seconds)
    json.loads(ctl.stdout.readline())
    lib = subprocess.Popen([sys.executable, str(LIBRARY_FOLLOWER), "--library",
                            str(build / "library" / "libKV318.so"), "--url", url, "--seconds", str(seconds + 30)],
                           stdout=subprocess.PIPE, text=True, env=env)
    rows = []
    for name, p in [("controller", ctl)] + [("follower-%d" % i, f) for i, f in enumerate(fs)] + [("library", lib)]:
        out = p.stdout.read()
        cpu = wait_cpu(p)
        r = json.loads(out.splitlines()[-1])
        r["cpu_ms_per_mb"] = 1000 * cpu / max(1e-9, r.get("got", 0) * 2 / 1e6)
        rows.append((name, r))
    total = rows[0][1].get("got", 0)
    server_cpu = stop(server)
    stop(sim)
    return rows, {"cpu_ms_per_mb": 1000 * server_cpu / max(1e-9, total * 2 / 1e6), "samples": total,
                  "fifo_drops": fifo_drops(log)}


def main():
    a = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    a.add_argument("--build", default=str(ROOT / "build" / "linux"))
    a.add_argument("--seconds", type=int, default=20)
    a.add_argument("--followers", type=int, default=3)
    a.add_argument("--clock", type=int, default=26_000_000)
    a.add_argument("--divider", type=int, default=2)
    args = a.parse_args()
    build = Path(args.build)
    rate = args.clock / args.divider * 2 / 1e6
    print("rate %.1f MB/s, %d s, FIFO 512 KiB, %d followers" % (rate, args.seconds, args.followers))
    local = local_run(build, args.clock, args.divider, args.seconds)
    print("%-12s cpu %6.2f ms/MB  fifo_drops %d" % ("local cli", local["cpu_ms_per_mb"], local["fifo_drops"]))
    rows, server = served_run(build, args.clock, args.divider, args.seconds, args.followers)
    print("%-12s cpu %6.2f ms/MB  fifo_drops %d  samples %d"
          % ("server", server["cpu_ms_per_mb"], server["fifo_drops"], server["samples"]))
    held = server["fifo_drops"] == 0
    for name, r in rows:
        lat = r.get("latency_ms") or {}
        print("%-12s cpu %6.2f ms/MB  got %d  missed %d  ramp %s  latency p50 %s ms p99 %s ms" % (
            name, r["cpu_ms_per_mb"], r.get("got", 0), r.get("missed", -1), "ok" if r.get("ramp_ok") else "BROKEN",
            lat.get("p50"), lat.get("p99")))
        whole = r.get("first", 0) + r.get("got", 0) == server["samples"] if name == "library" else \
            r.get("got") == server["samples"]
        held = held and r.get("missed") == 0 and r.get("ramp_ok") and whole
    print("held" if held else "NOT HELD")
    return 0 if held else 1


if __name__ == "__main__":
    sys.exit(main())
