#!/usr/bin/env python3
"""Logs samples from a KV318 board to a CSV file: time, raw sample,
converter code and volts, one row per sample.

    python3 log_to_csv.py --samples 40000 log.csv
    python3 log_to_csv.py --simulate --samples 40000 -      # no board: kv318-sim, to stdout
"""

import argparse
import contextlib
import sys

import numpy as np

import kv318


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("output", help="CSV file to write, or - for standard output")
    p.add_argument("--board", type=int, default=0)
    p.add_argument("--samples", type=int, default=40_000, help="how many samples to log (default 40000)")
    p.add_argument("--divider", type=int, default=50, help="sample clock divider, 2-4095 (default 50)")
    p.add_argument("--clock", type=float, default=2_000_000, help="converter clock in Hz (default 2 MHz)")
    p.add_argument("--simulate", action="store_true", help="log from kv318-sim's sine instead of a board")
    args = p.parse_args(argv)

    with contextlib.ExitStack() as stack:
        if args.simulate:
            stack.enter_context(kv318.Simulator(signal="sine", clock=int(args.clock)))
        board = stack.enter_context(kv318.open(args.board))
        stream = stack.enter_context(board.stream(divider=args.divider, clock_hz=args.clock))
        samples = stream.read(args.samples)

    rows = np.column_stack([np.arange(samples.size) / stream.rate, samples, kv318.codes(samples),
                            kv318.volts(samples)])
    out = sys.stdout if args.output == "-" else open(args.output, "w", newline="")
    with out if out is not sys.stdout else contextlib.nullcontext():
        out.write("time_s,sample,code,volts\n")
        np.savetxt(out, rows, fmt=["%.9f", "%d", "%d", "%.10f"], delimiter=",")
    return 0


if __name__ == "__main__":
    sys.exit(main())
