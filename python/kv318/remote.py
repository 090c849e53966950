"""What kv318-server and its clients say to each other, as bytes: the sample
blocks it publishes and the control messages it answers.

The Python copy of the format docs/server-protocol.md describes (the C++
one is pipeline/remote/wire.h); tests/vectors/remote_wire.csv holds cases
both are checked against.  No socket here and no pyzmq (kv318.connect's
client, kv318/_client.py, holds those), so the format is tested on its
own.  Every function is pure and may be called from any thread.
"""

import re
import struct
from dataclasses import dataclass

import numpy as np

#: The protocol's version; a block or a reply of another version is refused.
PROTOCOL_VERSION = 1
#: Where a server listens unless told otherwise, and where a client looks.
DEFAULT_URL = "tcp://127.0.0.1:6318"
#: The data socket is the control port plus this (see data_url()).
DATA_PORT_OFFSET = 1
#: How often a client proves it is alive while it holds a board, in seconds.
HEARTBEAT_S = 0.5
#: A server publishes something on every board at least this often.
IDLE_BLOCK_S = 0.25
#: A client that heard nothing from the server for this long says it is gone.
SERVER_SILENCE_S = 2.5
#: How long a server lets a controller be silent before it frees the board.
CLIENT_TIMEOUT_S = 2.0
#: The blocks a subscriber's queue holds, on the server's side and on the
#: client's (its data socket's high-water mark): about a second at the top
#: rate.  A reader further behind loses whole blocks and sees the index
#: jump, rather than buffering the board's full rate without bound.
QUEUE_BLOCKS = 40

#: The block header's size; the little-endian int16 samples follow it.
BLOCK_HEADER_BYTES = 56
#: The subscription prefix of a board's blocks: magic, version, board.
BLOCK_TOPIC_BYTES = 8
#: The largest control message either side reads.
MAX_MESSAGE_BYTES = 4096

# Block flags (BlockFlag in wire.h).
FLAG_GAP = 1 << 0
FLAG_RING_OVERFLOW = 1 << 1
FLAG_TRANSFER_FAULT = 1 << 2
FLAG_FIFO_LOSS = 1 << 3
FLAG_END_OF_STREAM = 1 << 4
FLAG_IDLE = 1 << 5
FLAG_POLLED = 1 << 6
FLAG_STALLED = 1 << 7
FLAG_NOT_ENABLED = 1 << 8
FLAG_DISCONNECTED = 1 << 9

_MAGIC = b"KVSB"
# magic, version, board, header size, 0, stream, first index, count, flags,
# clock, divider, 0, host time: 56 bytes, no padding with "<".
_HEADER = struct.Struct("<4sHHHHIQIIQIIq")
assert _HEADER.size == BLOCK_HEADER_BYTES

_REQUEST_PREFIX = "kv318/"
# Bytes a value carries as they are; every other byte is %XX.
_PLAIN = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.:,/@+")
_KEY = re.compile(r"[a-z0-9_-]{1,32}")
_INTEGER = re.compile(r"-?[0-9]+")
# Field values are text; bytes that are not UTF-8 (a board's identity
# string may hold any) survive the round trip as surrogates.
_TEXT = ("utf-8", "surrogateescape")


class WireError(ValueError):
    """A block or message that is not one of this protocol.  `code` is the
    error code a server answers such a request with (malformed, version)."""

    def __init__(self, code, text):
        super().__init__(text)
        self.code = code


@dataclass
class BlockHeader:
    """What a block says beside its samples (BlockHeader in wire.h)."""

    board: int = 0
    stream: int = 0  # from 1 per board; 0 in an idle block
    first_index: int = 0  # the stream's index of the block's first sample
    count: int = 0
    flags: int = 0
    clock_hz: int = 0
    divider: int = 0
    host_time_us: int = 0  # the server's wall clock when it sent the block


def block_topic(board):
    """The first BLOCK_TOPIC_BYTES of every block of `board`, to subscribe with."""
    return _MAGIC + struct.pack("<HH", PROTOCOL_VERSION, board)


def encode_block(header, samples):
    """A whole block as bytes: `header` (its count must be len(samples))
    and the samples as little-endian int16."""
    samples = np.asarray(samples, dtype="<i2")
    if samples.ndim != 1 or samples.size != header.count:
        raise ValueError(f"a header of {header.count} samples with {samples.size} samples")
    head = _HEADER.pack(_MAGIC, PROTOCOL_VERSION, header.board, BLOCK_HEADER_BYTES, 0, header.stream,
                        header.first_index, header.count, header.flags, header.clock_hz, header.divider, 0,
                        header.host_time_us)
    return head + samples.tobytes()


def decode_block(data):
    """Reads a received block: (BlockHeader, samples), the samples a
    read-only int16 array over `data`.  Raises WireError for anything that
    is not a whole block of this version."""
    if len(data) < BLOCK_HEADER_BYTES:
        raise WireError("malformed", f"a block of {len(data)} bytes, shorter than its header")
    (magic, version, board, header_bytes, _, stream, first, count, flags, clock, divider, _,
     host_time) = _HEADER.unpack_from(data)
    if magic != _MAGIC:
        raise WireError("malformed", "not a sample block")
    if version != PROTOCOL_VERSION:
        raise WireError("version", f"a block of protocol version {version}, "
                        f"this program speaks version {PROTOCOL_VERSION}")
    if header_bytes < BLOCK_HEADER_BYTES or header_bytes > len(data):
        raise WireError("malformed", f"a block whose header size {header_bytes} does not fit")
    # A later version may grow the header; its samples still start where it says.
    if len(data) - header_bytes != 2 * count:
        raise WireError("malformed", f"a block of {count} samples carrying {len(data) - header_bytes} bytes")
    header = BlockHeader(board, stream, first, count, flags, clock, divider, host_time)
    return header, np.frombuffer(data, dtype="<i2", count=count, offset=header_bytes)


class Message:
    """One control message: a request ("kv318/1 VERB key=value ...") or a
    reply ("ok ..." or "error code=... text=..."); `word` is the verb, "ok"
    or "error", `fields` the key=value pairs in order (values are str)."""

    def __init__(self, word, **fields):
        self.word = word
        self.fields = {}
        for key, value in fields.items():
            self.set(key, value)

    def set(self, key, value):
        """Sets `key` (str or int value) and returns the message."""
        self.fields[key] = str(value)
        return self

    def get(self, key, default=None):
        return self.fields.get(key, default)

    def get_int(self, key, lo, hi):
        """The value of `key` as an integer within [lo, hi], or None when it is
        missing, not a decimal integer or out of range."""
        value = self.fields.get(key)
        if value is None or len(value) > 20 or not _INTEGER.fullmatch(value):
            return None
        n = int(value)
        return n if lo <= n <= hi else None

    def __eq__(self, other):
        return isinstance(other, Message) and (self.word, self.fields) == (other.word, other.fields)

    def __repr__(self):
        return f"Message({encode_reply(self)!r})"


def _escape(value):
    return "".join(chr(b) if b in _PLAIN else f"%{b:02X}" for b in value.encode(*_TEXT))


def _unescape(token):
    out = bytearray()
    raw = token.encode("ascii")
    i = 0
    while i < len(raw):
        b = raw[i]
        if b != 0x25:  # '%'
            if b not in _PLAIN:
                return None
            out.append(b)
            i += 1
            continue
        pair = raw[i + 1:i + 3]
        if len(pair) != 2 or not all(c in b"0123456789abcdefABCDEF" for c in pair):
            return None
        out.append(int(pair, 16))
        i += 3
    return out.decode(*_TEXT)


def _encode(head, message):
    return " ".join([head] + [f"{k}={_escape(v)}" for k, v in message.fields.items()])


def encode_request(message):
    return _encode(f"{_REQUEST_PREFIX}{PROTOCOL_VERSION} {message.word}", message)


def encode_reply(message):
    return _encode(message.word, message)


def _tokens(text):
    """The space-separated tokens of a received frame (bytes or str), or
    None when it is too long, not printable ASCII or has an empty token."""
    if isinstance(text, str):
        text = text.encode("utf-8", "surrogateescape")
    if len(text) > MAX_MESSAGE_BYTES or any(b < 0x20 or b > 0x7E for b in text):
        return None
    tokens = text.decode("ascii").split(" ")
    return None if "" in tokens else tokens


def _fields(tokens, message):
    for token in tokens:
        key, eq, value = token.partition("=")
        if not eq:
            raise WireError("malformed", f"a field without '=': {token[:40]}")
        if not _KEY.fullmatch(key):
            raise WireError("malformed", "a field name that is not lower-case letters, digits, '-' or '_'")
        text = _unescape(value)
        if text is None:
            raise WireError("malformed", f"a bad %-escape in field {key}")
        if key in message.fields:
            raise WireError("malformed", f"field {key} given twice")
        message.fields[key] = text
    return message


def parse_request(text):
    """A request as a Message; raises WireError (code malformed or version)
    when it is not one."""
    if len(text) > MAX_MESSAGE_BYTES:
        raise WireError("malformed", f"a request longer than {MAX_MESSAGE_BYTES} bytes")
    tokens = _tokens(text)
    if tokens is None or len(tokens) < 2:
        raise WireError("malformed", f'not a request: expected "kv318/{PROTOCOL_VERSION} VERB key=value ..."')
    if not tokens[0].startswith(_REQUEST_PREFIX):
        raise WireError("malformed", "not a request: it does not start with kv318/VERSION")
    if tokens[0] != f"{_REQUEST_PREFIX}{PROTOCOL_VERSION}":
        raise WireError("version", f"this server speaks protocol version {PROTOCOL_VERSION}, "
                        f"the request {tokens[0][len(_REQUEST_PREFIX):][:12]}")
    if not _KEY.fullmatch(tokens[1]):
        raise WireError("malformed", "a verb that is not lower-case letters, digits, '-' or '_'")
    return _fields(tokens[2:], Message(tokens[1]))


def parse_reply(text):
    """A reply as a Message; raises WireError when it is not "ok ..." or
    "error ..."."""
    tokens = _tokens(text)
    if tokens is None or tokens[0] not in ("ok", "error"):
        raise WireError("malformed", "the server's reply is not \"ok ...\" or \"error ...\"")
    return _fields(tokens[1:], Message(tokens[0]))


def error_reply(code, text):
    """A reply that refuses a request: "error code=CODE text=TEXT"."""
    return Message("error", code=code, text=text)


def data_url(control_url):
    """The data URL for a control URL: the next port for tcp://host:port,
    ipc://PATH.data for ipc://PATH; "" when `control_url` is neither."""
    if control_url.startswith("ipc://") and len(control_url) > 6:
        return control_url + ".data"
    if not control_url.startswith("tcp://"):
        return ""
    colon = control_url.rfind(":")
    port = control_url[colon + 1:]
    if colon < 6 or not re.fullmatch(r"[0-9]{1,5}", port):
        return ""
    n = int(port)
    if n == 0 or n + DATA_PORT_OFFSET > 65535:
        return ""
    return f"{control_url[:colon + 1]}{n + DATA_PORT_OFFSET}"
