#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

Seeds are small, well-formed starting points the fuzzer mutates from: a
few good frames and replies, and the edges each target's code decides on.
Crash inputs found later are added to the same directories by hand, as
crash-<name>, and kept as regression cases.  Run it again after changing
the seeds; it rewrites only the files it names."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

BULK_READ, BULK_WRITE, STRING, COMMAND, PAYLOAD = (0x222000, 0x222004, 0x222008, 0x22200C, 0x222010)


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def frame(code, payload, cap):
    return struct.pack("<III", code, len(payload), cap) + payload


def command(code, reg=0, lo=0, hi=0):
    return frame(COMMAND, bytes([code, 8, reg, lo, hi, 0]) + bytes(10), 64)


def session_seeds():
    start = (command(0x80, 4) + command(0x8E) + command(0x90, 4, 0) + command(0x91, 6, 50, 0)
             + command(0x80, 4) + command(0x80, 1))
    bulk = frame(BULK_READ, struct.pack("<II", 4096, 0), 4097)
    # Setup byte: bits 4-7 move the clock 64 us per read.
    write("fuzz_session", "start-and-stream", bytes([0xF0]) + start + command(0x80, 0) + bulk * 3)
    write("fuzz_session", "digital-loopback",
          bytes([0x10]) + command(0x91, 14, 0xFE, 0xCA) + command(0x81, 14) + command(0x80, 8))
    write("fuzz_session", "string-and-payload",
          bytes([0x01]) + frame(STRING, bytes([1]) + bytes(63), 64) + frame(STRING, bytes([2]) + bytes(63), 64)
          + frame(PAYLOAD, bytes([0x90, 2, 9, 0x80, 0, 0]) + bytes(74), 64)
          + frame(BULK_WRITE, bytes([4, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0, 0]), 8))
    write("fuzz_session", "faults-stall-odd-replies", bytes([0xFF]) + start + bulk + command(0x82, 0) + bulk)
    write("fuzz_session", "cut-frame", bytes([0x20]) + command(0x80, 0) + struct.pack("<III", COMMAND, 16, 64)[:7])
    write("fuzz_session", "input-too-long", bytes([0]) + struct.pack("<III", COMMAND, (1 << 20) + 1, 64))


def reply(status, body):
    return struct.pack("<II", status, len(body)) + body


def channel_seeds():
    # Count byte (exchanges - 1), 3 control bytes each, then the replies.
    def control(kind, cap, fail=False):
        return bytes([kind | (8 if fail else 0), cap & 0xFF, cap >> 8])

    write("fuzz_channel_client", "command-ok", bytes([0]) + control(3, 64) + reply(0, bytes(range(8))))
    write("fuzz_channel_client", "bulk-then-failure",
          bytes([1]) + control(0, 4097) + control(3, 64) + reply(0, bytes(300)) + reply(1, b""))
    write("fuzz_channel_client", "count-over-capacity", bytes([0]) + control(2, 64) + struct.pack("<II", 0, 65))
    write("fuzz_channel_client", "bytes-on-failure", bytes([0]) + control(3, 64) + struct.pack("<II", 1, 4) + bytes(4))
    write("fuzz_channel_client", "short-reply", bytes([0]) + control(0, 100) + struct.pack("<II", 0, 50) + bytes(10))
    write("fuzz_channel_client", "mixed",
          bytes([4]) + control(7, 64) + control(6, 0) + control(4, 64) + control(1, 8) + control(5, 0xFFFF)
          + reply(0, b"") + reply(0, b"") + reply(0, struct.pack("<I", 4)) + reply(1, b""))
    write("fuzz_channel_client", "send-fails", bytes([0]) + control(3, 64, fail=True))


def utf16(text):
    return text.encode("utf-16-le")


def identity_seeds():
    def answer(body, fail=False, count=None):
        return bytes([1 if fail else 0, len(body) if count is None else count]) + body

    write("fuzz_identity", "both-strings",
          answer(utf16("KV318 USB DAQ simulator")) + answer(utf16("SN KVS-0000 FW 1.00")))
    write("fuzz_identity", "second-fails", answer(utf16("KV318")) + answer(b"", fail=True))
    write("fuzz_identity", "first-fails", answer(b"", fail=True))
    write("fuzz_identity", "full-length", answer(utf16("A" * 32)) + answer(utf16("B" * 32)))
    write("fuzz_identity", "odd-and-zero-unit",
          answer(utf16("abc") + b"\x00") + answer(utf16("x") + b"\x00\x00" + utf16("y")))
    write("fuzz_identity", "count-over-area", answer(utf16("C" * 32), count=200) + answer(b""))


def output_word_seeds():
    for name, text in [("word", "A5"), ("blanks", "  00ff "), ("startup-blank", " "), ("too-big", "1FFFF"),
                       ("inner-blank", "1 2"), ("not-hex", "0x12"), ("empty", ""), ("leading-zeros", "0000000abc")]:
        write("fuzz_output_word", name, text.encode())


def server_control_seeds():
    c = "client=a.1@h"
    write("fuzz_server_control", "session", "\n".join([
        "kv318/1 hello " + c, "kv318/1 info board=0 " + c,
        "kv318/1 start board=0 mode=stream divider=50 clock=2000000 fifo=524288 " + c,
        "kv318/1 do board=0 value=3 client=b", "kv318/1 status board=0 client=b", "kv318/1 stats board=0 " + c,
        "kv318/1 stop board=0 " + c, "kv318/1 bye " + c]).encode())
    write("fuzz_server_control", "escapes", b"kv318/1 outb board=0 reg=8 value=%41%20 client=x%2Fy")
    write("fuzz_server_control", "polled-then-silent", "\n".join([
        "kv318/1 start board=0 mode=polled f1=1 f2=0 f3=0 f4=0 divider=2 " + c,
        "kv318/1 ping client=b", "kv318/1 ping client=b", "kv318/1 ping client=b",
        "kv318/1 pulse-run board=0 mode=1 divisor=9 client=b"]).encode())
    header = struct.pack("<4sHHHHIQIIQIIq", b"KVSB", 1, 0, 56, 0, 1, 0, 2, 0, 2000000, 50, 0, 0)
    write("fuzz_server_control", "block", header + struct.pack("<hh", 4, 8))


if __name__ == "__main__":
    session_seeds()
    channel_seeds()
    identity_seeds()
    output_word_seeds()
    server_control_seeds()
