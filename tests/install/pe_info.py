#!/usr/bin/python3
"""Prints what the package tests ask of a Windows binary: its machine type
and the file version in its VERSIONINFO resource.

    pe_info.py [--no-debug] FILE...
                          one line each: FILE MACHINE VERSION
                          MACHINE is PE32 (i386), PE32+ (x86-64) or the
                          machine field in hex; VERSION is a.b.c.d, or
                          "none" when the file has no version resource.
                          With --no-debug, a file that has debug sections
                          (.debug_*, as a shipped file must not) fails,
                          naming them.

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


def section_names(data: bytes) -> list:
    """The names of the file's sections.  A name longer than 8 bytes is
    written "/N" in the section table, N being its offset in the COFF
    string table, which follows the symbol table (18 bytes a symbol)."""
    pe = u32(data, 0x3C)
    count, optional_size = u16(data, pe + 6), u16(data, pe + 20)
    symbols, symbol_count = u32(data, pe + 12), u32(data, pe + 16)
    strings = symbols + 18 * symbol_count
    table = pe + 24 + optional_size
    names = []
    for i in range(count):
        raw = data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0")
        if raw.startswith(b"/") and symbols:
            at = strings + int(raw[1:])
            raw = data[at:data.index(b"\0", at)]
        names.append(raw.decode("latin-1"))
    return names


def main(args):
    no_debug = args[:1] == ["--no-debug"]
    status = 0
    for p in args[1:] if no_debug else args:
        try:
            with open(p, "rb") as f:
                data = f.read()
            print(p, machine(data), file_version(data))
            debug = [n for n in section_names(data) if n.startswith(".debug")]
            if no_debug and debug:
                print(f"pe_info: {p} has debug sections: {' '.join(debug)}", file=sys.stderr)
                status = 1
        except (OSError, ValueError) as e:
            print(f"pe_info: {p}: {e}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
