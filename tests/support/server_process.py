"""kv318-server as a child process of a test script, serving the boards of a
kv318-sim (sim_process.Sim), on a loopback port of its own; and a bare client
that speaks the server's protocol with pyzmq, so a test sees every byte.

Scripts that test kv318-server, or a program through it, share this.
"""
import os
import random
import re
import signal
import socket
import struct
import tempfile

import zmq

from sim_process import child, eventually, stop

HEADER = struct.Struct("<4sHHHHIQIIQIIq")
FLAG_IDLE = 1 << 5
FLAG_END = 1 << 4
FLAG_DISCONNECTED = 1 << 9


def free_port_pair():
    """A port P such that P and P+1 are free on 127.0.0.1 just now."""
    for _ in range(200):
        port = random.randrange(20000, 60000, 2)
        try:
            for p in (port, port + 1):
                with socket.socket() as s:
                    s.bind(("127.0.0.1", p))
            return port
        except OSError:
            continue
    raise RuntimeError("no two free ports next to each other on 127.0.0.1")


# The driver directory of each server started here, by its URL: a client of
# the same user finds the server's local keys there.
_DRIVER_DIRS = {}


def driver_dir_of(url):
    """The driver directory of the server at `url` started by this process,
    else $KV318_DRIVER_DIR (a client process given it by its test)."""
    return _DRIVER_DIRS.get(url) or os.environ.get("KV318_DRIVER_DIR")


def local_keys_dir(url, driver_dir):
    """Where a server keeps its user's keys for loopback `url`, as the
    server's documentation gives it: DRIVERDIR/kv318-server-keys/HOST_PORT,
    localhost as 127.0.0.1, other characters than letters, digits, '.' and
    '-' as '_'."""
    host, port = url[len("tcp://"):].rsplit(":", 1)
    name = re.sub(r"[^A-Za-z0-9.-]", "_", ("127.0.0.1" if host == "localhost" else host) + "_" + port)
    return os.path.join(driver_dir, "kv318-server-keys", name)


def local_curve(url, driver_dir=None):
    """(server public, client public, client secret) of the server's local
    keys for `url`, or None when there are none."""
    driver_dir = driver_dir or driver_dir_of(url)
    if not url.startswith("tcp://") or not driver_dir:
        return None
    folder = local_keys_dir(url, driver_dir)
    try:
        with open(os.path.join(folder, "server.pub")) as f:
            server_public = f.readline().strip().encode()
        with open(os.path.join(folder, "local.key")) as f:
            secret = f.readline().strip().encode()
    except OSError:
        return None
    return server_public, zmq.curve_public(secret), secret


class Server:
    """kv318-server (the executable `server`) serving the boards of `sim`
    until the with-block ends, with `args`; `url` is its control URL."""

    def __init__(self, server, sim, *args, listen=None):
        self.port = free_port_pair()
        self.url = listen or "tcp://127.0.0.1:%d" % self.port
        self.log = tempfile.NamedTemporaryFile("w+", prefix="kv318-test-server-", delete=False)
        self.argv = [server, "--listen", self.url, *args]
        self.env = sim.env
        self.proc = None

    def output(self):
        with open(self.log.name) as f:
            return f.read()

    def start(self, ready="serving board"):
        """Starts the server and waits until its output says `ready` (a
        server whose board is absent says it waits for it)."""
        self.proc = child(self.argv, env=self.env, stdout=self.log, stderr=self.log)
        if not eventually(lambda: ready in self.output() or self.proc.poll() is not None):
            stop(self.proc, signal.SIGKILL)
            raise RuntimeError("kv318-server did not start: " + self.output())
        if self.proc.poll() is not None:
            raise RuntimeError("kv318-server exited: " + self.output())
        if "KV318_DRIVER_DIR" in self.env:
            _DRIVER_DIRS[self.url] = self.env["KV318_DRIVER_DIR"]
        return self

    def __enter__(self):
        return self.start()

    def stop(self, sig=signal.SIGTERM):
        """Stops the server; a sanitizer's report in its output fails the
        test that ran it, as a crash would."""
        if self.proc is not None and not stop(self.proc, sig):
            raise AssertionError("kv318-server did not end on signal %d within 30 s and was killed:\n%s"
                                 % (sig, self.output()))
        if "Sanitizer" in self.output():
            raise AssertionError("kv318-server: a sanitizer reported:\n" + self.output())

    def __exit__(self, *exc):
        self.stop()
        self.log.close()
        os.unlink(self.log.name)


def data_endpoint(url):
    """Where the server at control endpoint `url` publishes its blocks, as
    the protocol page gives it: the next port, or PATH.data beside an ipc
    socket."""
    if url.startswith("ipc://"):
        return url + ".data"
    host, port = url.rsplit(":", 1)
    return "%s:%d" % (host, int(port) + 1)


class Client:
    """One client of a server: a REQ socket for requests and a SUB socket
    for `board`'s blocks.  Requests time out after `timeout` seconds.
    `curve` is (server public, client public, client secret); by default
    the server's local keys for a loopback `url` when there are any, as the
    server's own user finds them; False for none."""

    def __init__(self, url, name, board=0, timeout=2.5, context=None, curve=None):
        self.ctx = context or zmq.Context.instance()
        self.name = name
        self.url = url
        self.timeout_ms = int(timeout * 1000)
        self.curve = local_curve(url) if curve is None else curve
        self.req = None
        self._connect_req()
        self.sub = self.ctx.socket(zmq.SUB)
        self._secure(self.sub)
        self.sub.setsockopt(zmq.LINGER, 0)
        self.sub.setsockopt(zmq.RCVTIMEO, self.timeout_ms)
        self.sub.connect(data_endpoint(url))
        self.sub.setsockopt(zmq.SUBSCRIBE, b"KVSB" + struct.pack("<HH", 1, board))

    def _secure(self, s):
        if self.curve:
            server_public, public, secret = self.curve
            s.setsockopt(zmq.CURVE_SERVERKEY, server_public)
            s.setsockopt(zmq.CURVE_PUBLICKEY, public)
            s.setsockopt(zmq.CURVE_SECRETKEY, secret)

    def _connect_req(self):
        if self.req is not None:
            self.req.close(0)
        self.req = self.ctx.socket(zmq.REQ)
        self._secure(self.req)
        self.req.setsockopt(zmq.LINGER, 0)
        self.req.setsockopt(zmq.RCVTIMEO, self.timeout_ms)
        self.req.setsockopt(zmq.REQ_RELAXED, 1)
        self.req.setsockopt(zmq.REQ_CORRELATE, 1)
        self.req.connect(self.url)

    def raw(self, text):
        """Sends `text` as it is; the reply's text, or None on a timeout."""
        self.req.send(text.encode() if isinstance(text, str) else text)
        try:
            return self.req.recv().decode()
        except zmq.Again:
            return None

    def ask(self, verb, **fields):
        """A request; the reply as (word, {field: value}), or None on a
        timeout.  Values are sent as they are (tests use plain ones)."""
        text = " ".join(["kv318/1", verb, "client=" + self.name] + ["%s=%s" % kv for kv in fields.items()])
        reply = self.raw(text)
        if reply is None:
            return None
        word, *rest = reply.split(" ")
        out = {}
        for token in rest:
            k, v = token.split("=", 1)
            out[k] = _unescape(v)
        return word, out

    def block(self):
        """The next block: (header fields as a dict, samples as bytes), or
        None when none came within the timeout."""
        try:
            m = self.sub.recv()
        except zmq.Again:
            return None
        f = HEADER.unpack_from(m, 0)
        h = dict(zip(("magic", "version", "board", "header", "zero", "stream", "first", "count", "flags",
                      "clock", "divider", "zero2", "host_us"), f))
        return h, m[h["header"]:]

    def close(self):
        self.req.close(0)
        self.sub.close(0)


def _unescape(v):
    out = bytearray()
    i = 0
    while i < len(v):
        if v[i] == "%":
            out.append(int(v[i + 1:i + 3], 16))
            i += 3
        else:
            out.append(ord(v[i]))
            i += 1
    return out.decode("utf-8", "replace")
