"""What a user does first with an installed kv318 package, run from a
directory outside the source tree by the Debian package and wheel tests:
import it, start the simulator it brings along or finds, open board 0, read
the identity, loop the outputs back to the inputs, and read 100,000 samples
of the ramp with none lost, doubled or shifted; the same through the
kv318-server it brings along or finds; and kv318.connect finds the
library's client of kv318-server.

    python3 python_smoke.py PREFIX [VERSION]

PREFIX is where the library and the simulator must come from (the scratch
root or the venv): the test fails if either came from anywhere else.  With
VERSION, the package's installed metadata must say that version.
"""
import os
import sys

import numpy as np


def fail(why):
    print(f"python_smoke: {why}", file=sys.stderr)
    sys.exit(1)


def main(prefix, version=None):
    prefix = os.path.realpath(prefix)
    for name in ("KV318_LIBRARY", "KV318_SIM"):
        if os.environ.get(name):
            fail(f"{name} is set; the package must work without it")
    import kv318

    library = os.path.realpath(kv318.library_path)
    print(f"kv318 {kv318.__version__} from {os.path.dirname(kv318.__file__)}, library {library}")
    for what, path in (("package", kv318.__file__), ("library", library)):
        if not os.path.realpath(path).startswith(prefix + os.sep):
            fail(f"the {what} came from {path}, not from under {prefix}")
    if version is not None and kv318.__version__ != version:
        fail(f"installed version {kv318.__version__}, expected {version}")

    with kv318.Simulator(signal="ramp") as sim:
        simulator = os.path.realpath(sim.executable)
        if not simulator.startswith(prefix + os.sep):
            fail(f"the simulator came from {simulator}, not from under {prefix}")
        with kv318.open(0) as board:
            first, second = board.info()
            print(f"info: {first!r} {second!r}")
            if not first:
                fail("empty identity")
            for word in (0x5A3C, 0xA5C3):
                board.do(word)
                if board.di() != word:
                    fail(f"DO 0x{word:04X} read back as 0x{board.di():04X}")
            with board.stream(divider=10) as stream:
                samples = stream.read(100_000, timeout=60)
    n = np.arange(samples.size, dtype=np.int64)
    expected = ((n & 0x3FFF) << 2).astype(np.uint16).view(np.int16)
    if samples.size != 100_000 or not np.array_equal(samples, expected):
        bad = int(np.argmax(samples != expected)) if samples.size == expected.size else -1
        fail(f"the ramp arrived damaged: {samples.size} samples, first difference at {bad}")
    # kv318-server came along too, where the pytest plugin's kv318_server
    # fixture finds it: the same ramp through it, with the library's client.
    from kv318.simulator import find_server
    from pytest_kv318 import ServedSimulator

    server = os.path.realpath(find_server())
    if not server.startswith(prefix + os.sep):
        fail(f"kv318-server came from {server}, not from under {prefix}")
    with kv318.Simulator(signal="ramp") as sim:
        served = ServedSimulator(sim)
        try:
            with kv318.connect(served.url) as board, board.stream(divider=10) as stream:
                through = stream.read(100_000, timeout=60)
        finally:
            served.close()
    if not np.array_equal(through, expected):
        fail(f"the ramp arrived damaged through kv318-server: {through.size} samples")
    print(f"served: 100000 samples through {server}")
    # The library's client of kv318-server came along: a server nobody runs
    # is waited for and named, not a client the library cannot load.
    try:
        kv318.connect("ipc://" + os.path.join(os.path.realpath("."), "no-kv318-server-here")).close()
        fail("kv318.connect reached a server that does not run")
    except kv318.ServerGone as e:
        print(f"connect: {e}")
    except kv318.KV318Error as e:
        fail(f"kv318.connect has no client of kv318-server: {e}")
    print("python_smoke: passed")


if __name__ == "__main__":
    main(*sys.argv[1:])
