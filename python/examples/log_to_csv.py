#!/usr/bin/env python3
"""Logs samples from a KV318 board to a CSV file with kv318-cli's columns:
index, time_s, code, volts, one row per sample.

    python3 log_to_csv.py --samples 40000 log.csv
    python3 log_to_csv.py --simulate --samples 40000 -      # no board: kv318-sim, to stdout

The numbers are written as kv318-cli writes them, so files from either
read the same: the time as index x divider / clock with just the decimals
the sample period needs (at most 9), the code as sample / 4 rounded half to
even, and the volts as code x 5 / 8192, exactly.
"""

import argparse
import contextlib
import sys

import kv318

HEADER = "index,time_s,code,volts\n"


class CsvRows:
    """The CSV lines of samples taken at clock_hz / divider samples a
    second."""

    def __init__(self, clock_hz, divider):
        self.clock = clock_hz
        self.divider = divider
        # The fewest decimals that write every sample time exactly; a period
        # that no power of ten up to 10^9 divides is rounded at 9.
        self.decimals = 0
        while self.decimals < 9 and (divider * 10**self.decimals) % clock_hz:
            self.decimals += 1

    def time_text(self, index):
        scale = 10**self.decimals
        # Integer arithmetic: exact where the decimals allow, else rounded
        # half up at the last one.
        units = (index * self.divider * scale * 2 + self.clock) // (2 * self.clock)
        seconds, fraction = divmod(units, scale)
        return f"{seconds}.{fraction:0{self.decimals}d}" if self.decimals else str(seconds)

    @staticmethod
    def volts_text(code):
        # code x 5 / 8192 has at most 13 binary places, so the shortest text
        # that reads back as the same float is exact; whole volts lose ".0".
        text = repr(code * 5 / 8192)
        return text[:-2] if text.endswith(".0") else text

    def lines(self, samples, first_index=0):
        for i, code in enumerate(kv318.codes(samples).tolist(), start=first_index):
            yield f"{i},{self.time_text(i)},{code},{self.volts_text(code)}\n"


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("output", help="CSV file to write, or - for standard output")
    p.add_argument("--board", type=int, default=0)
    p.add_argument("--samples", type=int, default=40_000, help="how many samples to log (default 40000)")
    p.add_argument(
        "--divider",
        type=int,
        default=50,
        help=f"sample clock divider, {kv318.DIVIDER_MIN}-{kv318.DIVIDER_MAX} (default 50)",
    )
    p.add_argument("--clock", type=int, default=2_000_000, help="converter clock in Hz (default 2000000)")
    p.add_argument("--simulate", action="store_true", help="log from kv318-sim's sine instead of a board")
    args = p.parse_args(argv)

    with contextlib.ExitStack() as stack:
        if args.simulate:
            stack.enter_context(kv318.Simulator(signal="sine", clock=args.clock))
        board = stack.enter_context(kv318.open(args.board))
        stream = stack.enter_context(board.stream(divider=args.divider, clock_hz=args.clock))
        samples = stream.read(args.samples)

    out = sys.stdout if args.output == "-" else open(args.output, "w", newline="")
    with out if out is not sys.stdout else contextlib.nullcontext():
        out.write(HEADER)
        out.writelines(CsvRows(args.clock, args.divider).lines(samples))
    return 0


if __name__ == "__main__":
    sys.exit(main())
