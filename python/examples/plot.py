#!/usr/bin/env python3
"""Draws 20 ms of kv318-sim's sine, as a KV318 board would stream it, to a
PNG.  Needs matplotlib (Debian: python3-matplotlib); kv318 itself does not.

    python3 plot.py sine.png
"""

import argparse
import sys

import numpy as np

import kv318


def capture(seconds=0.02, divider=50):
    """Times (s) and volts of `seconds` of the simulator's default sine
    (1 kHz, 2.5 V peak), streamed at 2 MHz / divider samples a second."""
    with kv318.Simulator(signal="sine") as sim, sim.open(0) as board:
        with board.stream(divider=divider) as stream:
            samples = stream.read(round(seconds * stream.rate))
    return np.arange(samples.size) / stream.rate, stream.volts(samples)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("output", nargs="?", default="sine.png", help="PNG file to write (default sine.png)")
    args = p.parse_args(argv)
    try:
        import matplotlib
    except ImportError:
        sys.exit("plot.py needs matplotlib (Debian: apt-get install python3-matplotlib)")
    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    t, v = capture()
    fig, ax = plt.subplots(figsize=(8, 3.2), dpi=100)
    ax.plot(t * 1e3, v, ".-", markersize=3, linewidth=0.8)
    ax.set_xlabel("time (ms)")
    ax.set_ylabel("volts")
    ax.set_ylim(-5, 5)
    rate = 1 / (t[1] - t[0])
    ax.set_title(f"kv318-sim sine: {t.size} samples at {rate / 1e3:.0f} kS/s through Board.stream")
    ax.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(args.output)
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
