"""kv318.remote, the wire format in Python, against the vectors the C++
implementation meets too (tests/vectors/remote_wire.csv), and what the
table cannot hold: every header field at its offset, any text through a
value, integers that only Python's int() would read."""

import re
from pathlib import Path

import numpy as np
import pytest

from kv318 import remote as wire

VECTORS = Path(__file__).resolve().parents[2] / "tests" / "vectors" / "remote_wire.csv"


def unescape(cell):
    """A table cell as bytes: \\xHH is a byte."""
    return re.sub(rb"\\x([0-9A-F]{2})", lambda m: bytes([int(m.group(1), 16)]), cell.encode("ascii"))


def load_vectors():
    rows = [line for line in VECTORS.read_text().splitlines() if line and not line.startswith("#")]
    assert rows[0] == "kind,input,want"
    table = [row.split(",") for row in rows[1:]]
    assert all(len(row) == 3 for row in table)
    return table


def describe(header, samples):
    return (f"board={header.board} stream={header.stream} first={header.first_index} count={header.count} "
            f"flags={header.flags} clock={header.clock_hz} divider={header.divider} time={header.host_time_us} "
            "samples=" + ":".join(str(int(s)) for s in samples))


def test_the_shared_vectors():
    table = load_vectors()
    kinds = {kind for kind, _, _ in table}
    assert kinds == {"request", "reply", "data-url", "block", "int", "constant"}
    # Each kind both accepted and refused, or the table proves little.
    for kind, accepted in (("request", "ok"), ("reply", "ok"), ("block", None), ("int", None)):
        wants = [want for k, _, want in table if k == kind]
        assert len(set(wants)) >= 2 and (accepted is None or accepted in wants), kind
    for kind, cell, want in table:
        text = unescape(cell)
        if kind == "request":
            if want == "ok":
                assert wire.encode_request(wire.parse_request(text)).encode() == text
            else:
                with pytest.raises(wire.WireError) as caught:
                    wire.parse_request(text)
                assert caught.value.code == want and str(caught.value), cell[:60]
        elif kind == "reply":
            if want == "refused":
                with pytest.raises(wire.WireError):
                    wire.parse_reply(text)
            else:
                reply = wire.parse_reply(text)
                assert reply.word == want and wire.encode_reply(reply).encode() == text
        elif kind == "data-url":
            assert wire.data_url(cell) == want, cell
        elif kind == "constant":
            facts = {"version": wire.PROTOCOL_VERSION, "default-url": wire.DEFAULT_URL,
                     "header-bytes": wire.BLOCK_HEADER_BYTES, "topic-bytes": wire.BLOCK_TOPIC_BYTES,
                     "max-message-bytes": wire.MAX_MESSAGE_BYTES, "heartbeat-ms": round(wire.HEARTBEAT_S * 1000),
                     "client-timeout-ms": round(wire.CLIENT_TIMEOUT_S * 1000),
                     "idle-block-ms": round(wire.IDLE_BLOCK_S * 1000),
                     "server-silence-ms": round(wire.SERVER_SILENCE_S * 1000), "queue-blocks": wire.QUEUE_BLOCKS}
            assert str(facts[cell]) == want, cell
        elif kind == "int":
            bounds, value = text.decode().split("=", 1)
            lo, hi = (int(b) for b in bounds.split(".."))
            got = wire.Message("ok", n=value).get_int("n", lo, hi)
            assert ("refused" if got is None else str(got)) == want, cell
        else:
            data = bytes.fromhex(cell)
            if want == "refused":
                with pytest.raises(wire.WireError):
                    wire.decode_block(data)
            else:
                assert describe(*wire.decode_block(data)) == want


def test_a_block_holds_every_field_at_its_offset():
    header = wire.BlockHeader(board=0x0102, stream=0x03040506, first_index=0x1122334455667788, count=3,
                              flags=wire.FLAG_GAP | wire.FLAG_END_OF_STREAM, clock_hz=26_000_000, divider=2,
                              host_time_us=-5)
    block = wire.encode_block(header, [-32768, 1, 32767])
    assert len(block) == wire.BLOCK_HEADER_BYTES + 6 and block[:4] == b"KVSB"
    fields = [(4, 1, 2), (6, 0x0102, 2), (8, 56, 2), (10, 0, 2), (12, 0x03040506, 4), (16, 0x1122334455667788, 8),
              (24, 3, 4), (28, 0x11, 4), (32, 26_000_000, 8), (40, 2, 4), (44, 0, 4), (48, 2**64 - 5, 8)]
    for offset, value, size in fields:
        assert int.from_bytes(block[offset:offset + size], "little") == value, offset
    assert block[56:] == bytes([0x00, 0x80, 0x01, 0x00, 0xFF, 0x7F])
    assert wire.block_topic(0x0102) == block[:wire.BLOCK_TOPIC_BYTES]
    back, samples = wire.decode_block(block)
    assert back == header
    np.testing.assert_array_equal(samples, [-32768, 1, 32767])
    with pytest.raises(ValueError, match="3 samples with 2"):
        wire.encode_block(header, [1, 2])


def test_any_text_survives_a_value():
    text = "a b=c%d\xe9\n\udcb5"  # the last a byte that is not UTF-8, as a board's strings may hold
    m = wire.Message("info", client="kv318-cli.42@bench", board=3, text=text)
    line = wire.encode_request(m)
    assert line == "kv318/1 info client=kv318-cli.42@bench board=3 text=a%20b%3Dc%25d%C3%A9%0A%B5"
    back = wire.parse_request(line)
    assert back == m and back.get("text") == text
    refusal = wire.error_reply("controlled", "board 0 is controlled by x").set("controller", "x")
    assert wire.parse_reply(wire.encode_reply(refusal)).fields == {
        "code": "controlled", "text": "board 0 is controlled by x", "controller": "x"}
    assert wire.parse_reply("ok").fields == {}


def test_integers_python_would_read_are_refused():
    # Beyond the shared table: what int() takes and the protocol does not.
    for value in ("\u0661", "1 ", "\t1", "0x1"):  # an Arabic-Indic digit, spaces, hex
        assert wire.Message("ok", n=value).get_int("n", 0, 10) is None
    assert wire.Message("ok").get_int("n", 0, 10) is None


def test_the_block_flags_are_the_cpp_ones():
    # Both copies of the format name every flag alike: a flag
    # added on one side only would be read as nothing on the other.
    header = (Path(__file__).resolve().parents[2] / "pipeline" / "remote" / "protocol.h").read_text()
    flags = {re.sub(r"(?<!^)([A-Z])", r"_\1", name).upper(): 1 << int(bit)
             for name, bit in re.findall(r"kFlag(\w+) = 1u << (\d+)", header)}
    assert flags, "no flags found in protocol.h"
    for name, value in flags.items():
        assert getattr(wire, "FLAG_" + name) == value, name
    assert sorted(v for k, v in vars(wire).items() if k.startswith("FLAG_")) == sorted(flags.values())
