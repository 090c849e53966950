#!/usr/bin/python3
"""Prints what the package tests ask of a Windows binary: its machine type
and the file version in its VERSIONINFO resource.

    pe_info.py FILE...    one line each: FILE MACHINE VERSION
                          MACHINE is PE32 (i386), PE32+ (x86-64) or the
                          machine field in hex; VERSION is a.b.c.d, or
                          "none" when the file has no version resource.

The version is read from the VS_FIXEDFILEINFO block, which starts with a
fixed signature wherever the resource compiler put it; the fields are
little-endian 32-bit words read one by one, never through a struct cast.
"""
import sys

FIXED_SIGNATURE = (0xFEEF04BD).to_bytes(4, "little")
MACHINES = {0x014C: "PE32", 0x8664: "PE32+"}


def u16(data: bytes, at: int) -> int:
    return int.from_bytes(data[at:at + 2], "little")


def u32(data: bytes, at: int) -> int:
    return int.from_bytes(data[at:at + 4], "little")


def machine(data: bytes) -> str:
    if data[:2] != b"MZ" or len(data) < 64:
        raise ValueError("not an MZ executable")
    pe = u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE header")
    m = u16(data, pe + 4)
    return MACHINES.get(m, f"0x{m:04X}")


def file_version(data: bytes) -> str:
    at = data.find(FIXED_SIGNATURE)
    if at < 0:
        return "none"
    # Signature, struct version, then FileVersionMS and FileVersionLS.
    ms, ls = u32(data, at + 8), u32(data, at + 12)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def main(paths):
    status = 0
    for p in paths:
        try:
            with open(p, "rb") as f:
                data = f.read()
            print(p, machine(data), file_version(data))
        except (OSError, ValueError) as e:
            print(f"pe_info: {p}: {e}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
