"""kv318.connect: a board that kv318-server shares, with the API of a board
opened with kv318.open.

Two ZeroMQ sockets per connection: a REQ socket for the requests the
caller makes and the heartbeat thread's pings (one at a time, under a
lock, from any thread; a `ping` every 0.5 s while the board is open, so the
server keeps the board ours: it counts only what comes over the connection
that took control), and a SUB socket for the board's sample blocks, read on
the thread that reads the stream.  Every
wait is bounded by wire.SERVER_SILENCE_S, so no call hangs when the server
dies: it raises ServerGone naming the URL.

Imported by kv318.connect on first use, so `import kv318` works without
pyzmq.
"""

import itertools
import os
import re
import socket
import sys
import threading
import time
import weakref

import zmq

from . import _checks, _interrupts
from . import remote as wire
from .acquisition import _STATS_MODES, FIFO_BYTES, StreamStats, _Acquisition, fifo_overflow_text
from .board import _INFO_SEPARATOR
from .errors import (
    AcquisitionBusy,
    AcquisitionNotEnabled,
    BoardControlled,
    BoardGone,
    BoardNotFound,
    FifoOverflow,
    KV318Error,
    RequestFailed,
    RingOverflow,
    SamplesMissed,
    ServerGone,
    StreamEnded,
    TransferFailed,
)

_SILENCE_MS = int(wire.SERVER_SILENCE_S * 1000)
# How long one wait for a block lasts before the reader checks the clock.
_BLOCK_POLL_MS = 20
_INT32 = (-(2**31), 2**31 - 1)

# Numbers this process's connections, so two connections of one process
# get different client ids.
_connections = itertools.count(1)


def client_id():
    """A new client id, PROGRAM.PID@HOST, with a counter after the pid from
    this process's second connection on."""
    argv0 = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] not in ("", "-c", "-m") else ""
    program = re.sub(r"[^A-Za-z0-9._-]", "_", argv0) or "python"
    n = next(_connections)
    pid = str(os.getpid()) if n == 1 else f"{os.getpid()}.{n}"
    return f"{program}.{pid}@{socket.gethostname()}"


_Z85 = re.compile(r"[0-9a-zA-Z.\-:+=^!/*?&<>()\[\]{}@%$#]{40}")


def curve_keys(key):
    """(server public, client public, client secret) keys, Z85 bytes, from
    `key`: a directory holding the server's public key server.pub and one
    client key pair NAME.key, NAME.pub (as `kv318-server keygen DIR --name
    NAME` writes them), or a pair (server public key, client secret key).
    Raises ValueError saying what is missing or wrong."""
    if isinstance(key, (tuple, list)):
        if len(key) != 2:
            raise ValueError("key must be a key directory or a pair (server public key, client secret key)")
        server_public, secret = (k.decode("ascii", "replace") if isinstance(k, bytes) else str(k) for k in key)
        where = ("the server's public key", "the client's secret key")
    else:
        folder = os.fspath(key)
        if not os.path.isdir(folder):
            raise ValueError(f"key must be a key directory or a pair (server public key, client secret key); "
                             f"{folder} is not a directory")
        secrets = sorted(f for f in os.listdir(folder) if f.endswith(".key") and f != "server.key")
        if len(secrets) != 1:
            raise ValueError(f"{folder} must hold one client key pair (kv318-server keygen {folder} --name NAME "
                             f"writes NAME.key and NAME.pub); it holds {', '.join(secrets) or 'none'}")
        where = (os.path.join(folder, "server.pub"), os.path.join(folder, secrets[0]))
        server_public, secret = (_first_line(path) for path in where)
    for text, what in zip((server_public, secret), where):
        if not _Z85.fullmatch(text):
            raise ValueError(f"{what} holds no key (40 characters of Z85)")
    public = zmq.curve_public(secret.encode())
    return server_public.encode(), public, secret.encode()


def _loopback_host(url):
    """The host of a tcp URL on 127.0.0.0/8, [::1] or localhost, else None."""
    if not url.startswith("tcp://") or ":" not in url[6:]:
        return None
    host = url[6:url.rindex(":")]
    return host if host.startswith("127.") or host in ("localhost", "[::1]") else None


def local_keys_dir(url):
    """Where kv318-server keeps this user's local keys for the loopback
    endpoint `url` (its server.pub, the client pair local.key and local.pub):
    DRIVERDIR/kv318-server-keys/HOST_PORT on Linux, HOST_PORT in
    %LOCALAPPDATA%\\kv318\\server on Windows; None when `url` is not a
    loopback one.  localhost counts as 127.0.0.1, which it reaches."""
    host = _loopback_host(url)
    if host is None:
        return None
    name = re.sub(r"[^A-Za-z0-9.-]", "_", ("127.0.0.1" if host == "localhost" else host) + "_" + url.rsplit(":", 1)[1])
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA", "")
        return os.path.join(base, "kv318", "server", name) if base else None
    from ._places import driver_directory

    return os.path.join(driver_directory().path, "kv318-server-keys", name)


def local_curve(url):
    """This user's local keys for `url` as curve_keys gives them, or None
    when there are none to use: the server then either needs none or is
    not this user's."""
    folder = local_keys_dir(url)
    if folder is None:
        return None
    try:
        return curve_keys((_first_line(os.path.join(folder, "server.pub")),
                           _first_line(os.path.join(folder, "local.key"))))
    except ValueError:
        return None


def _silence_cause(curve, local_dir):
    """What else the silence of a server may mean, with the way out: a
    server that refuses a CURVE handshake, or a keyless client, hears
    nothing at all."""
    if local_dir is not None:
        return (f"or it refused this user's local keys in {local_dir}: a server started with --keys, or by "
                "another user, needs key=DIR holding its server.pub and a client pair it allows")
    if curve is not None:
        return (f"or it refused this client's key {curve[1].decode()}: is it in the server's allowed file, and "
                "is server.pub the server's?")
    return ("or it takes only clients with keys, and this one has none: give key=DIR holding the server's "
            "server.pub and a client pair it allows; a loopback server's own user needs none")


def _first_line(path):
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            return f.readline().strip()
    except OSError as e:
        raise ValueError(f"cannot read {path}: {e.strerror}") from None


def _socket(context, kind, curve):
    """A socket of `kind` that never lingers, with CURVE `curve` (see
    curve_keys) when it is not None."""
    s = context.socket(kind)
    s.setsockopt(zmq.LINGER, 0)
    if curve is not None:
        s.setsockopt(zmq.CURVE_SERVERKEY, curve[0])
        s.setsockopt(zmq.CURVE_PUBLICKEY, curve[1])
        s.setsockopt(zmq.CURVE_SECRETKEY, curve[2])
    return s


def _req_socket(context, url, curve):
    """A REQ socket that never wedges: a lost reply is given up after the
    silence timeout, and the next request may still be sent."""
    s = _socket(context, zmq.REQ, curve)
    s.setsockopt(zmq.REQ_RELAXED, 1)
    s.setsockopt(zmq.REQ_CORRELATE, 1)
    s.setsockopt(zmq.RCVTIMEO, _SILENCE_MS)
    s.setsockopt(zmq.SNDTIMEO, _SILENCE_MS)
    s.connect(url)
    return s


def _exchange(s, lock, request, stop=None):
    """Sends `request` on the REQ socket `s` under `lock` and returns the
    reply's bytes, or None when none came (or `stop` was set).  The wait
    for the lock counts in the silence: no exchange takes longer than
    wire.SERVER_SILENCE_S, however the caller's requests and the
    heartbeat's pings meet.  A reply left unread is dropped by the
    socket's correlation."""
    deadline = time.monotonic() + wire.SERVER_SILENCE_S
    if not lock.acquire(timeout=wire.SERVER_SILENCE_S):
        return None
    try:
        s.send_string(request)
        # Short polls when a stop may come, so a close does not wait out a
        # silent server.
        while stop is None or not stop.is_set():
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            if s.poll(int(min(left, 0.05 if stop is not None else left) * 1000) + 1):
                try:
                    return s.recv(zmq.NOBLOCK)
                except zmq.Again:
                    continue  # a stale reply the socket dropped
        return None
    except zmq.ZMQError:
        return None
    finally:
        lock.release()


def _heartbeat(s, lock, client, stop):
    """The heartbeat thread: pings until `stop` is set, on the board's own
    control socket `s`, taking turns with the caller's requests under
    `lock` (the server knows its controller by its connection: pings on a
    socket of their own would keep nothing alive).  It holds the socket and
    the lock, never the board, so a board nobody holds is still collected
    and closed.  A ping that gets no answer is not an error here: the
    caller's next request or read says the server is gone."""
    ping = wire.encode_request(wire.Message("ping", client=client))
    while not stop.wait(wire.HEARTBEAT_S):
        _exchange(s, lock, ping, stop)


class RemoteBoard:
    """A board served by kv318-server at `url`.  The methods of kv318.Board
    (info, di, do, inb, outb, counter, pulse, stream, poll) make the same
    calls on the server's board and raise the same errors, plus
    ServerGone when the server stops answering and BoardControlled when
    another client controls the board.  follow() joins a stream another
    client runs.  Methods may be called from any thread; reading a stream
    belongs to one thread at a time."""

    def __init__(self, url=wire.DEFAULT_URL, board=0, key=None):
        self.url = url
        self.number = _checks.in_range("board", board, 0, 65535)
        # A loopback server keeps its user's keys where that user alone can
        # read them: the same user's programs need no setup.
        self._curve = curve_keys(key) if key is not None else local_curve(url)
        self._local_keys = local_keys_dir(url) if key is None and self._curve is not None else None
        self._data_url = wire.data_url(url)
        if not self._data_url:
            raise ValueError(f"{url!r} is not a kv318-server URL: use tcp://HOST:PORT or ipc://PATH")
        self.client_id = client_id()
        # The process the sockets belong to: a forked child inherits this
        # object, but must neither use the parent's sockets nor say
        # goodbye in the parent's name.
        self._pid = os.getpid()
        self._acquisition = None
        # Set once the server failed to answer: closing then skips the
        # requests that would each wait out the silence again.
        self._gone = False
        self._closed = False
        self._context = zmq.Context()
        self._control = self._sub = self._beat = None
        self._beat_stop = threading.Event()
        self._lock = threading.Lock()
        try:
            self._control = _req_socket(self._context, url, self._curve)
            try:
                hello = self._ask("hello", "connecting", board=False)
            except ServerGone:
                # A CURVE handshake the server refuses looks the same as
                # silence to the client, so both causes are named.
                raise ServerGone(url, _silence_cause(self._curve, self._local_keys)) from None
            served = hello.get("boards", "")
            if str(self.number) not in served.split(","):
                raise BoardNotFound(
                    f"kv318-server at {url} serves board(s) {served or 'none'}, not board {self.number}")
            self._sub = _socket(self._context, zmq.SUB, self._curve)
            self._sub.setsockopt(zmq.RCVHWM, wire.QUEUE_BLOCKS)
            self._sub.setsockopt(zmq.SUBSCRIBE, wire.block_topic(self.number))
            self._sub.connect(self._data_url)
            # When a block last came from the server: read and written by
            # the one thread reading the stream.
            self._last_heard = time.monotonic()
            self._beat = threading.Thread(target=_heartbeat, name=f"kv318 heartbeat {url}", daemon=True,
                                          args=(self._control, self._lock, self.client_id, self._beat_stop))
            self._beat.start()
        except BaseException:
            self._shut_down()
            raise
        self.counter = _Counter(self)
        self.pulse = _Pulse(self)

    # ---- lifetime ----------------------------------------------------

    @property
    def closed(self):
        return self._closed

    def close(self):
        """Stops an acquisition this client runs, says goodbye (the server
        then frees whatever this client controls) and closes the sockets.
        Closing twice does nothing; a server that is gone is not waited for."""
        with _interrupts.held():
            if self._closed:
                return
            if os.getpid() != self._pid:
                self._closed = True  # the parent's connection: left to the parent
                return
            running = self._acquisition() if self._acquisition is not None else None
            try:
                if running is not None:
                    running.close()
                if not self._gone:
                    self._ask("bye", "saying goodbye", board=False)
            except ServerGone:
                pass
            finally:
                self._shut_down()

    def _shut_down(self):
        self._closed = True
        self._beat_stop.set()
        if self._beat is not None:
            self._beat.join()
        for s in (self._control, self._sub):
            if s is not None:
                s.close(0)
        self._context.term()

    def __enter__(self):
        self._check_open()
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self):
        state = "closed" if self._closed else f"client {self.client_id}"
        return f"<kv318.RemoteBoard {self.number} at {self.url} ({state})>"

    def _check_open(self):
        if os.getpid() != self._pid:
            raise ValueError(f"board {self.number} at {self.url} was connected by process {self._pid} before it "
                             "forked; connect again in this process")
        if self._closed:
            raise ValueError(f"board {self.number} at {self.url} is closed")

    # ---- requests ----------------------------------------------------

    def _ask(self, verb, what, board=True, **fields):
        """Sends one request and returns the "ok" reply; a refusal raises the
        package's error for it, `what` saying what was refused."""
        if os.getpid() != self._pid:
            self._check_open()  # raises: the sockets are the parent's
        request = wire.Message(verb, client=self.client_id)
        if board:
            request.set("board", self.number)
        for key, value in fields.items():
            request.set(key.replace("_", "-"), value)
        text = _exchange(self._control, self._lock, wire.encode_request(request))
        if text is None:
            self._gone = True
            raise ServerGone(self.url)
        self._gone = False
        try:
            reply = wire.parse_reply(text)
        except wire.WireError as e:
            raise KV318Error(f"kv318-server at {self.url}: {e}") from None
        if reply.word == "error":
            raise self._refusal(what, reply)
        return reply

    def _refusal(self, what, reply):
        code, text = reply.get("code", "?"), reply.get("text", "")
        where = f"board {self.number} at {self.url}"
        controller = reply.get("controller")
        if code in ("controlled", "running"):
            if controller and controller not in text:
                text = f"{text} (controller {controller})"
            error = BoardControlled(f"{where}: {what} was refused: {text}", self.number, controller)
        elif code == "no-board":
            error = BoardNotFound(f"{where}: {text}")
        elif code == "disconnected":
            # The server's words name the board and say since when.
            error = BoardGone(text or f"board {self.number} at {self.url} is disconnected", self.number)
        else:
            error = RequestFailed(f"{where}: {what} was refused ({code}): {text}")
        # The protocol's error code, for callers that tell refusals apart.
        error.server_code = code
        return error

    def _result(self, verb, what, **fields):
        """The export's 32-bit result the server passed on."""
        self._check_open()
        reply = self._ask(verb, what, **fields)
        result = reply.get_int("result", *_INT32)
        if result is None:
            raise KV318Error(f"kv318-server at {self.url} answered {what} without a result")
        return result, reply

    def _call(self, verb, what, **fields):
        result, _ = self._result(verb, what, **fields)
        if result < 0:
            raise RequestFailed(f"board {self.number} at {self.url}: {what} failed", code=result)
        return result

    # ---- identity, registers, digital I/O -------------------------------

    def info(self):
        """The board's two identity strings, as a tuple (first, second)."""
        _, reply = self._result("info", "reading the identity strings")
        if reply.get_int("result", *_INT32) < 0:
            raise RequestFailed(f"board {self.number} at {self.url}: reading the identity strings failed",
                                code=reply.get_int("result", *_INT32))
        # One character per byte of the board's text, as kv318.Board has it.
        text = reply.get("text", "").encode("utf-8", "surrogateescape").decode("latin-1")
        first, _, second = text.partition(_INFO_SEPARATOR)
        return first, second

    def inb(self, reg):
        """Reads byte register `reg` (0-255)."""
        reg = _checks.in_range("reg", reg, 0, 255)
        return self._call("inb", f"reading register {reg}", reg=reg)

    def outb(self, reg, value):
        """Writes `value` (0-255) to byte register `reg` (0-255)."""
        reg = _checks.in_range("reg", reg, 0, 255)
        value = _checks.in_range("value", value, 0, 0xFF, hex_digits=2)
        self._call("outb", f"writing register {reg}", reg=reg, value=value)

    def di(self):
        """The 16 digital inputs, bit k = DI k (0xFFFF when the read failed,
        as for kv318.Board)."""
        result, _ = self._result("di", "reading the digital inputs")
        return result & 0xFFFF

    def do(self, value):
        """Sets the 16 digital outputs to `value` (0-0xFFFF)."""
        value = _checks.in_range("value", value, 0, 0xFFFF, hex_digits=4)
        self._call("do", "writing the digital outputs", value=value)

    def status(self):
        """What the server says of the board: a dict with state ("idle",
        "stream", "polled" or "disconnected", with text then saying since
        when, as BoardGone does), stream (the last stream's number), controller
        (a client id, "" when none), ended (the last stream ended on a
        failure its controller has not yet stopped; the state is then
        "idle"), clock_hz, divider and fifo_bytes as its controller gave
        them, and next (the index the next block starts at)."""
        self._check_open()
        reply = self._ask("status", "reading the board's status")
        out = {"state": reply.get("state", ""), "controller": reply.get("controller", ""),
               "ended": reply.get("ended", "0") == "1", "text": reply.get("text", "")}
        for key, name in (("stream", "stream"), ("clock", "clock_hz"), ("divider", "divider"), ("fifo", "fifo_bytes"),
                          ("next", "next")):
            out[name] = reply.get_int(key, 0, 2**64 - 1) or 0
        return out

    def _disconnected_words(self):
        """The server's words for this board when a stream's last block says
        it went away: the status asked for them (the server marks the board
        before it sends that block)."""
        try:
            status = self.status()
        except KV318Error:
            status = {}
        if status.get("state") == "disconnected" and status.get("text"):
            return status["text"]
        return f"board {self.number} at {self.url} went away"

    def _stats(self):
        reply = self._ask("stats", "reading the drain statistics")
        numbers = {key: reply.get_int(key, 0, 2**64 - 1) or 0 for key in (
            "bytes-drained", "ticks", "drains", "top-level-drains", "time-bound-drains", "ring-high-water",
            "longest-gap-us")}
        gaps = tuple(int(g) for g in reply.get("gaps", "").split(",") if g.isdigit())
        # The server passes on the record's mode number.
        mode = reply.get("mode", "0")
        mode = _STATS_MODES.get(int(mode), f"unknown ({mode})") if mode.isdigit() else mode
        return StreamStats(mode=mode, bytes_drained=numbers["bytes-drained"],
                           ticks=numbers["ticks"], drains=numbers["drains"],
                           top_level_drains=numbers["top-level-drains"],
                           time_bound_drains=numbers["time-bound-drains"],
                           ring_high_water=numbers["ring-high-water"], longest_gap_us=numbers["longest-gap-us"],
                           gap_histogram=gaps)

    # ---- analog input --------------------------------------------------

    def stream(self, divider=50, mode=(0, 0, 0, 0), clock_hz=2_000_000, timeout=5.0, fifo_bytes=FIFO_BYTES):
        """A stream the server runs for this client, as a context manager:
        the API of kv318.Stream.  Starting it makes this client the board's
        controller until it stops."""
        self._check_open()
        return RemoteStream(self, divider=divider, mode=mode, clock_hz=clock_hz, timeout=timeout,
                            fifo_bytes=fifo_bytes)

    def poll(self, divider=50, mode=(0, 0, 0, 0), clock_hz=2_000_000, timeout=5.0, fifo_bytes=FIFO_BYTES):
        """A polled acquisition the server runs for this client: as stream()."""
        self._check_open()
        return RemoteStream(self, divider=divider, mode=mode, clock_hz=clock_hz, timeout=timeout,
                            fifo_bytes=fifo_bytes, polled=True)

    def follow(self, timeout=5.0):
        """Joins the stream running on the board, or the next one to start,
        without controlling it: the iterator and read(n) of a stream, with
        the samples from the moment of joining.  Iteration ends when the
        stream does; like a stream's, a read with no samples for `timeout`
        seconds (no stream started, say) raises TimeoutError."""
        self._check_open()
        return Follower(self, timeout=timeout)

    # ---- blocks ------------------------------------------------------

    def _sync(self):
        """Discards the blocks queued so far and makes sure the
        subscription holds: a start waits for it, so the first block of
        its stream is not missed.  Raises ServerGone when no block comes."""
        got = False
        while self._sub.poll(0):
            self._sub.recv()
            got = True
        if not got and not self._sub.poll(_SILENCE_MS):
            self._gone = True
            raise ServerGone(self.url)
        self._last_heard = time.monotonic()

    def _next_block(self):
        """The next block of this board, or None when none came for a short
        while; raises ServerGone when nothing came for the silence timeout."""
        if self._sub.poll(_BLOCK_POLL_MS):
            data = self._sub.recv()
            self._last_heard = time.monotonic()
            self._gone = False
            try:
                return wire.decode_block(data)
            except wire.WireError as e:
                raise KV318Error(f"kv318-server at {self.url} sent a block that is not one: {e}") from None
        if time.monotonic() - self._last_heard > wire.SERVER_SILENCE_S:
            self._gone = True
            raise ServerGone(self.url)
        return None


class _Counter:
    """The board's 16-bit counter, through the server."""

    def __init__(self, board):
        self._board = board

    def start(self):
        self._board._call("counter-run", "starting the counter")

    def read(self):
        """The count, 0-65535, or None while the board reports no valid count."""
        value, _ = self._board._result("counter-read", "reading the counter")
        return None if value < 0 else value


class _Pulse:
    """The board's pulse generator, through the server."""

    def __init__(self, board):
        self._board = board

    def start(self, mode, divisor):
        mode = _checks.in_range("mode", mode, 0, 1)
        divisor = _checks.in_range("divisor", divisor, 2, 255)
        self._board._call("pulse-run", "starting the pulse generator", mode=mode, divisor=divisor)

    def stop(self):
        self._board._call("pulse-stop", "stopping the pulse generator")


class RemoteStream(_Acquisition):
    """A stream (or polled run) kv318-server runs on this client's behalf;
    see kv318.Stream for the API.  Samples arrive in the server's blocks.

    Besides a Stream's errors: ServerGone when the server falls silent;
    SamplesMissed once per jump in the block indices (this program lost
    samples on the way: `missed` counts them all), carrying the samples
    before the jump, after which the stream goes on; StreamEnded from
    read(n) when the server ended the stream (iteration simply stops)."""

    _kind = "stream"
    _loss_errors = (FifoOverflow, SamplesMissed)

    def __init__(self, board, polled=False, **options):
        super().__init__(board, **options)
        self._polled = polled
        if polled:
            self._kind = "polled acquisition"
        #: The server's number of this stream (None before it starts).
        self.stream_number = None
        #: Samples missed so far: the sum of the jumps in the block indices.
        self.missed = 0
        #: The index within the stream of the first sample handed to this
        #: program (None before one came): 0 for the stream's controller,
        #: later for a follower that joined a running stream.
        self.first_index = None
        # The index the next block should start at, a block held back
        # behind a jump, the error the stream ended with, and the FIFO
        # verdict's words once a block carried it.  Used by the reading
        # thread only.
        self._next_index = 0
        self._held_back = None
        self._end = None
        self._fifo_text = None

    # ---- lifetime ----------------------------------------------------

    def _claim(self):
        other = self.board._acquisition() if self.board._acquisition is not None else None
        if other is not None and other.running:
            raise AcquisitionBusy(f"a {other._kind} is running on this connection to board {self.board.number}; "
                                  "stop it first, or connect again")

    def _start(self):
        b = self.board
        self._claim()
        b._sync()
        m = self.mode
        result, reply = b._result("start", f"starting the {self._kind}", mode="polled" if self._polled else "stream",
                                  f1=m[0], f2=m[1], f3=m[2], f4=m[3], divider=self.divider,
                                  clock=round(self.clock_hz), fifo=self.fifo_bytes)
        if result < 0:
            raise RequestFailed(f"board {b.number} at {b.url}: starting the {self._kind} failed", code=result)
        self.stream_number = reply.get_int("stream", 1, 2**32 - 1)
        self._begin()

    def _begin(self):
        self._started = True
        self._running = True
        self.board._acquisition = weakref.ref(self)

    def _check_running(self):
        self.board._check_open()  # says so in a forked child
        super()._check_running()

    def _stop(self):
        if not self._running:
            return
        self._running = False
        b = self.board
        try:
            if not b._gone and not b._closed and os.getpid() == b._pid:
                b._ask("stop", f"stopping the {self._kind}")
        except RequestFailed as e:
            # A stream the server ended already (a fault, a silent spell)
            # has nothing left to stop.
            if e.server_code != "not-running":
                raise
        except BoardGone:
            pass  # its board went away, and the stream with it
        except ServerGone:
            pass  # the server frees a silent client's board by itself
        finally:
            if b._acquisition is not None and b._acquisition() is self:
                b._acquisition = None

    def _forget(self):
        self._running = False

    def stats(self):
        """The server's drain statistics of the board's last acquisition,
        as a StreamStats."""
        self.board._check_open()
        return self.board._stats()

    # ---- samples -----------------------------------------------------

    def __next__(self):
        try:
            return super().__next__()
        except StreamEnded:
            raise StopIteration from None

    def _check_fifo(self):
        if self._fifo_text is not None:
            raise FifoOverflow(self._fifo_text)

    def _fetch(self):
        if self._held_back is not None:
            block, self._held_back = self._held_back, None
            return block
        if self._end is not None:
            raise self._end()
        got = self.board._next_block()
        if got is None:
            return None
        header, samples = got
        if not self._accept(header):
            return None
        return self._take_block(header, samples)

    def _accept(self, header):
        """Whether a block belongs to the stream read here."""
        return header.stream == self.stream_number and not header.flags & wire.FLAG_IDLE

    def _take_block(self, header, samples):
        if header.divider:
            self.divider = header.divider
        if header.clock_hz:
            self.clock_hz = header.clock_hz
        self._note_end(header)
        if header.flags & wire.FLAG_FIFO_LOSS and self._fifo_text is None:
            self._fifo_text = self._fifo_words()
        # A block that starts before the next index repeats samples already
        # handed over (or from before a follower joined): only its new part.
        skip = min(max(self._next_index - header.first_index, 0), header.count)
        block = samples[skip:].astype("int16")
        start = header.first_index + skip
        if self.first_index is None and block.size:
            self.first_index = start
        if start > self._next_index:
            jump = start - self._next_index
            self.missed += jump
            error = SamplesMissed(
                f"{jump} samples of board {self.board.number} (from index {self._next_index}) never reached this "
                f"program from kv318-server at {self.board.url}; {self.missed} missed so far", jump)
            error.index = self._next_index
            self._next_index = start + block.size
            self._held_back = block if block.size else None
            raise error
        self._next_index = start + block.size
        return block if block.size else None

    # The flags that end a stream, checked in this order, each with the error
    # a read then raises and its words after "board N at URL".
    _ENDINGS = (
        (wire.FLAG_RING_OVERFLOW, RingOverflow,
         ": the library's ring on the server overflowed and samples were lost; the stream ended"),
        (wire.FLAG_TRANSFER_FAULT, TransferFailed,
         ": a transfer from the board failed and samples were lost; the stream ended"),
        (wire.FLAG_STALLED, AcquisitionNotEnabled,
         ": no sample came for the server's stall timeout; the stream ended"),
        (wire.FLAG_NOT_ENABLED, AcquisitionNotEnabled,
         " is not converting: something stopped the converter beneath the server; the stream ended"),
    )

    def _note_end(self, header):
        where = f"board {self.board.number} at {self.board.url}"
        if header.flags & wire.FLAG_DISCONNECTED:
            words = self.board._disconnected_words()
            self._end = lambda: BoardGone(words, self.board.number)
            return
        for flag, error, words in self._ENDINGS:
            if header.flags & flag:
                self._end = lambda: error(where + words)
                return
        if header.flags & wire.FLAG_END_OF_STREAM:
            self._end = lambda: StreamEnded(f"the {self._kind} on {where} ended")

    def _fifo_words(self):
        """The FIFO verdict's words, as kv318.Stream gives them, with the
        longest gap the server measured."""
        try:
            gap = self.board._stats().longest_gap_us
        except KV318Error:
            return f"samples may have been lost in board {self.board.number}'s FIFO, kv318-server says"
        return fifo_overflow_text(gap, 2 * self.rate, self.fifo_bytes)


class Follower(RemoteStream):
    """A stream another client controls, read without controlling it (see
    RemoteBoard.follow).  Stopping it only stops reading."""

    _kind = "followed stream"

    def __init__(self, board, timeout):
        # The divider and clock are the controller's: taken from the
        # server's status and blocks once joined.
        super().__init__(board, divider=50, mode=(0, 0, 0, 0), clock_hz=2_000_000, timeout=timeout)
        # The last stream before joining, when none ran: the next one is
        # followed.
        self._after = None

    def _start(self):
        self._claim()
        b = self.board
        b._sync()
        status = b.status()
        if status["state"] == "disconnected":
            # Nothing will stream until the board is back: say so now.
            raise BoardGone(status["text"] or f"board {b.number} at {b.url} is disconnected", b.number)
        if status["state"] in ("stream", "polled"):
            self.stream_number = status["stream"]
            self._next_index = status["next"]
            if status["divider"]:
                self.divider = status["divider"]
            if status["clock_hz"]:
                self.clock_hz = status["clock_hz"]
        else:
            self._after = status["stream"]
        self._begin()

    def _accept(self, header):
        if self.stream_number is None and not header.flags & wire.FLAG_IDLE and header.stream > self._after:
            self.stream_number = header.stream
        return super()._accept(header)

    def _stop(self):
        self._running = False
        b = self.board
        if b._acquisition is not None and b._acquisition() is self:
            b._acquisition = None
