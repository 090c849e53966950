"""A kv318-server as its clients see it, in a thread of the test: a ROUTER
socket answering the control verbs and a PUB socket sending blocks, both
speaking kv318.remote.  It serves one board with a scripted stream, so the
client is tested without the server or a board; `requests` records every
request's bytes and `connections` the connection each came on."""

import threading
import time

import zmq

from kv318 import remote as wire
from support import ramp


def ramp_blocks(stream, size=1000):
    """The default script: ramp blocks of `size` samples, without end."""
    first = 0
    while True:
        yield first, size, 0
        first += size


class FakeServer:
    """Serves board `board` at `url` (an ipc:// URL) until stop().  A start
    runs `script(stream)`, an iterator of (first_index, count, flags): each
    becomes a block of the ramp from first_index; the stream ends with the
    iterator.  `replies` maps a verb to a function(request) -> Message,
    ahead of the built-in answers."""

    def __init__(self, url, board=0, script=ramp_blocks, idle_s=wire.IDLE_BLOCK_S, block_s=0.005, curve_secret=None):
        self.url, self.board, self.script = url, board, script
        # With a secret key both sockets take CURVE clients only (any
        # client key: there is no allowed list here).
        self.curve_secret = curve_secret
        self.idle_s, self.block_s = idle_s, block_s
        self.replies = {}
        self.requests = []  # the raw bytes of every request, in order
        self.connections = []  # the routing id each of them came with
        self.controller = ""
        self.stream = 0
        self.outputs = 0
        self.registers = {}
        self._blocks = None
        self._next = 0
        self._clock = self._divider = 0
        self._stop = threading.Event()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        assert self._ready.wait(10), "the fake server did not start"

    def stop(self):
        """Closes both sockets at once: to a client the server is gone."""
        self._stop.set()
        self._thread.join()

    def messages(self, verb=None):
        parsed = [wire.parse_request(r) for r in self.requests]
        return [m for m in parsed if verb is None or m.word == verb]

    # ---- the server's thread -------------------------------------------

    def _run(self):
        context = zmq.Context()
        rep, pub = context.socket(zmq.ROUTER), context.socket(zmq.PUB)
        for s in (rep, pub) if self.curve_secret else ():
            s.curve_server = True
            s.curve_secretkey = self.curve_secret
        rep.bind(self.url)
        pub.bind(wire.data_url(self.url))
        self._ready.set()
        last_idle = 0.0
        try:
            while not self._stop.is_set():
                if rep.poll(1):
                    frames = rep.recv_multipart()
                    # The envelope up to its empty delimiter goes back in
                    # front of the reply, as the server hands it back.
                    cut = frames.index(b"") + 1
                    raw = frames[cut]
                    self.requests.append(raw)
                    self.connections.append(frames[0])
                    rep.send_multipart(frames[:cut] + [wire.encode_reply(self._answer(raw)).encode()])
                if self._blocks is not None:
                    self._publish_next(pub)
                    time.sleep(self.block_s)
                elif time.monotonic() - last_idle >= self.idle_s:
                    last_idle = time.monotonic()
                    header = wire.BlockHeader(board=self.board, flags=wire.FLAG_IDLE)
                    pub.send(wire.encode_block(header, []))
        finally:
            rep.close(0)
            pub.close(0)
            context.term()

    def _publish_next(self, pub):
        try:
            first, count, flags = next(self._blocks)
        except StopIteration:
            self._blocks, self.controller = None, ""
            return
        header = wire.BlockHeader(board=self.board, stream=self.stream, first_index=first, count=count,
                                  flags=flags, clock_hz=self._clock, divider=self._divider,
                                  host_time_us=int(time.time() * 1e6))
        pub.send(wire.encode_block(header, ramp(first, count)))
        self._next = first + count

    def _answer(self, raw):
        try:
            m = wire.parse_request(raw)
        except wire.WireError as e:
            return wire.error_reply(e.code, str(e))
        if m.word in self.replies:
            return self.replies[m.word](m)
        client = m.get("client")
        if m.word in ("hello", "ping", "bye", "list"):
            if m.word == "bye" and client == self.controller:
                self._blocks, self.controller = None, ""
            return wire.Message("ok", version=1, boards=self.board) if m.word == "hello" else wire.Message("ok")
        if m.get_int("board", 0, 65535) != self.board:
            return wire.error_reply("no-board", f"this server does not serve board {m.get('board')}")
        if m.word == "status":
            state = "stream" if self._blocks is not None else "idle"
            return wire.Message("ok", state=state, stream=self.stream, controller=self.controller,
                                clock=self._clock, divider=self._divider, next=self._next)
        if m.word in ("info", "di", "stats"):
            return self._read_only(m)
        if self.controller and client != self.controller:
            code = "running" if m.word == "start" else "controlled"
            return wire.Message("error", code=code, text=f"board {self.board} is controlled by {self.controller}",
                                controller=self.controller)
        return self._control(m)

    def _read_only(self, m):
        if m.word == "info":
            return wire.Message("ok", result=0, text="KV318 fake \udcb5 board   SN FAKE-1")
        if m.word == "di":
            return wire.Message("ok", result=0xA5A5)
        return wire.Message("ok", result=0, mode=1, ticks=10, drains=9).set("bytes-drained", 2**40).set(
            "top-level-drains", 1).set("time-bound-drains", 2).set("ring-high-water", 4096).set(
            "longest-gap-us", 1_269_761).set("gaps", ",".join(["0"] * 31 + [str(2**33)]))

    def _control(self, m):
        if m.word == "do":
            self.outputs = m.get_int("value", 0, 0xFFFF)
            return wire.Message("ok", result=0)
        if m.word == "outb":
            self.registers[m.get_int("reg", 0, 255)] = m.get_int("value", 0, 255)
            return wire.Message("ok", result=0)
        if m.word == "inb":
            return wire.Message("ok", result=self.registers.get(m.get_int("reg", 0, 255), 0))
        if m.word in ("counter-run", "pulse-run", "pulse-stop"):
            return wire.Message("ok", result=0)
        if m.word == "counter-read":
            return wire.Message("ok", result=-1)
        if m.word == "start":
            if self._blocks is not None:
                return wire.Message("error", code="running", text="running", controller=self.controller)
            self.stream += 1
            self.controller = m.get("client")
            self._clock, self._divider = m.get_int("clock", 1, 2**63), m.get_int("divider", 2, 4095)
            self._next = 0
            self._blocks = iter(self.script(self.stream))
            return wire.Message("ok", result=0, stream=self.stream)
        if m.word == "stop":
            if self._blocks is None:
                return wire.error_reply("not-running", "no acquisition runs")
            self._blocks, self.controller = None, ""
            return wire.Message("ok", result=0)
        return wire.error_reply("unknown-verb", m.word)
