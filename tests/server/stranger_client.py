"""What another user of the machine gets from a kv318-server of someone
else's: run as that user by end_to_end.py.  Tries every way in it has (the
key folder, a plain request, the blocks, the ipc socket, kv318-cli and the
kv318 package) and prints one JSON line of what each gave.
"""
import argparse
import json
import os
import subprocess
import sys
import time

import zmq


def ask(ctx, url, text, timeout_ms):
    s = ctx.socket(zmq.REQ)
    s.setsockopt(zmq.LINGER, 0)
    s.setsockopt(zmq.RCVTIMEO, timeout_ms)
    s.connect(url)
    try:
        s.send_string(text)
        return s.recv().decode()
    except zmq.Again:
        return None
    finally:
        s.close(0)


def blocks(ctx, url, seconds):
    s = ctx.socket(zmq.SUB)
    s.setsockopt(zmq.LINGER, 0)
    s.setsockopt(zmq.SUBSCRIBE, b"")
    s.connect(url)
    got = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if s.poll(100):
            s.recv()
            got += 1
    s.close(0)
    return got


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--url", required=True)
    p.add_argument("--data", required=True)
    p.add_argument("--ipc", required=True)
    p.add_argument("--keys", required=True, help="the server's local key folder")
    p.add_argument("--cli", required=True)
    p.add_argument("--package", help="the folder holding the kv318 package, when it can be tried")
    a = p.parse_args()
    out = {"uid": os.geteuid()}
    try:
        out["keys"] = sorted(os.listdir(a.keys))
    except OSError as e:
        out["keys"] = e.strerror
    ctx = zmq.Context()
    out["hello"] = ask(ctx, a.url, "kv318/1 hello client=stranger.1@here", 3000)
    out["do"] = ask(ctx, a.url, "kv318/1 do client=stranger.1@here board=0 value=0", 3000)
    out["info"] = ask(ctx, a.url, "kv318/1 info client=stranger.1@here board=0", 3000)
    out["ipc_do"] = ask(ctx, a.ipc, "kv318/1 do client=stranger.1@here board=0 value=0", 3000)
    out["blocks"] = blocks(ctx, a.data, 3)
    out["ipc_blocks"] = blocks(ctx, a.ipc + ".data", 1)
    ctx.term()
    cli = subprocess.run([a.cli, "--server", a.url, "do", "0"], capture_output=True, text=True, timeout=60)
    out["cli"] = [cli.returncode, cli.stdout, cli.stderr]
    if a.package:
        sys.path.insert(0, a.package)
        import kv318

        try:
            with kv318.connect(a.url) as board:
                board.do(0)
                out["package"] = "connected"
        except Exception as e:  # what it raised is the result
            out["package"] = "%s: %s" % (type(e).__name__, e)
    print(json.dumps(out), flush=True)


if __name__ == "__main__":
    main()
