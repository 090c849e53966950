"""Checks a platform wheel as pip and a user would see it, without
installing it: its file name and WHEEL tags (never `any` for a wheel that
carries binaries), that it installs into platlib, that RECORD lists every
file with the right hash, that it holds exactly the expected files, the
machine type of each binary in it, and that its dist-info carries the
licence: the tree's LICENSE file, and "License: MIT" in METADATA.

    python3 wheel_check.py WHEEL LICENSE TAG MACHINE FILE...

TAG is the expected platform tag (linux_x86_64, win_amd64, win32); MACHINE
is what every binary must be: ELF-x86-64, PE32+ or PE32; FILE... are the
paths the wheel must hold outside its .dist-info, and no others.
"""
import base64
import csv
import hashlib
import io
import os
import sys
import zipfile

# Named as CMake names the processor, so the test passes its own name.
ELF_MACHINES = {62: "ELF-x86_64", 3: "ELF-i686", 183: "ELF-aarch64"}
PE_MACHINES = {0x014C: "PE32", 0x8664: "PE32+"}


def machine(data: bytes):
    """The machine type of an executable's bytes, or None for other files."""
    if data[:4] == b"\x7fELF":
        m = int.from_bytes(data[18:20], "little")
        return ELF_MACHINES.get(m, f"ELF-{m}")
    if data[:2] == b"MZ" and len(data) >= 64:
        pe = int.from_bytes(data[0x3C:0x40], "little")
        if data[pe:pe + 4] == b"PE\0\0":
            m = int.from_bytes(data[pe + 4:pe + 6], "little")
            return PE_MACHINES.get(m, f"PE-0x{m:04X}")
    return None


def check(path, license_path, tag, want_machine, want_files):
    errors = []
    name = os.path.basename(path)
    parts = name[:-len(".whl")].split("-")
    if len(parts) != 5 or parts[2:] != ["py3", "none", tag]:
        errors.append(f"file name {name} is not <name>-<version>-py3-none-{tag}.whl")
    dist, version = parts[0], parts[1]
    info = f"{dist}-{version}.dist-info"
    with zipfile.ZipFile(path) as z:
        names = set(z.namelist())
        wheel = z.read(f"{info}/WHEEL").decode()
        fields = [line.split(": ", 1) for line in wheel.splitlines() if ": " in line]
        tags = [v for k, v in fields if k == "Tag"]
        if tags != [f"py3-none-{tag}"]:
            errors.append(f"WHEEL tags {tags}, expected py3-none-{tag}")
        if ("Root-Is-Purelib", "false") not in [tuple(f) for f in fields]:
            errors.append("WHEEL does not say Root-Is-Purelib: false")
        record = list(csv.reader(io.StringIO(z.read(f"{info}/RECORD").decode())))
        recorded = {row[0] for row in record}
        if recorded != names:
            errors.append(f"RECORD and the archive differ: {sorted(recorded ^ names)}")
        for row in record:
            if row[0].endswith("/RECORD"):
                continue
            algo, _, digest = row[1].partition("=")
            data = z.read(row[0])
            got = base64.urlsafe_b64encode(hashlib.new(algo, data).digest()).rstrip(b"=").decode()
            if got != digest:
                errors.append(f"{row[0]}: hash in RECORD does not match")
        with open(license_path, "rb") as f:
            if f"{info}/LICENSE" not in names:
                errors.append(f"no {info}/LICENSE")
            elif z.read(f"{info}/LICENSE") != f.read():
                errors.append(f"{info}/LICENSE is not {license_path}")
        if "License: MIT" not in z.read(f"{info}/METADATA").decode().splitlines():
            errors.append("METADATA does not say License: MIT")
        payload = {n for n in names if not n.startswith(info + "/")}
        if payload != set(want_files):
            missing, unexpected = sorted(set(want_files) - payload), sorted(payload - set(want_files))
            errors.append(f"files: missing {missing}, unexpected {unexpected}")
        binaries = 0
        for n in sorted(payload):
            m = machine(z.read(n))
            if m is None:
                continue
            binaries += 1
            print(f"{n}: {m}")
            if m != want_machine:
                errors.append(f"{n} is {m}, not {want_machine}")
        if binaries == 0:
            errors.append("the wheel holds no binary")
    for e in errors:
        print(f"wheel_check: {name}: {e}", file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    if len(sys.argv) < 6:
        sys.exit(__doc__)
    sys.exit(check(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]))
