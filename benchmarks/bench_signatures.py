"""Failure signatures of pathological cause lines, beside ordinary ones.

    PYTHONPATH=src python benchmarks/bench_signatures.py [--size 262144] [--rounds 5]

For each kind of line that makes a naive reading slow (runs of unclosed
quotes, of colons, of address characters), prints the time of
failure_signature on a line of `size` characters and on one of a quarter of
that size, and their ratio: about 4 while the reading is linear, 16 for one
that rescans the line at every position. The last column is the ratio to an
ordinary message of the same length. Medians of `rounds` runs, interleaved.
"""

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))

from tavix.log.commands.parser import base  # noqa: E402
import tests_path  # noqa: E402,F401
from helpers.signatures import pathological_lines  # noqa: E402


def seconds(message):
    started = time.perf_counter()
    base.failure_signature(message)
    return time.perf_counter() - started


def ordinary(size):
    words = "BGP neighbor 10.0.1.2 (AS 65001) on 'R1' never came up after 30 s; "
    return (words * (size // len(words) + 1))[:size]


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=1 << 18)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args(argv)
    large = [message for message, _ in pathological_lines(args.size)]
    small = [message for message, _ in pathological_lines(args.size // 4)]
    times = {(kind, which): [] for kind in range(len(large)) for which in ("large", "small", "ordinary")}
    for _ in range(args.rounds):
        for kind in range(len(large)):
            times[kind, "large"].append(seconds(large[kind]))
            times[kind, "small"].append(seconds(small[kind]))
            times[kind, "ordinary"].append(seconds(ordinary(len(large[kind]))))
    print(f"{'line':24} {'chars':>7} {'ms':>9} {'x size/4':>9} {'x ordinary':>11}")
    for kind, message in enumerate(large):
        large_s, small_s, plain_s = (statistics.median(times[kind, which])
                                     for which in ("large", "small", "ordinary"))
        print(f"{message[:12]!r:24} {len(message):7} {large_s * 1e3:9.3f} {large_s / small_s:9.2f} "
              f"{large_s / plain_s:11.2f}")


if __name__ == "__main__":
    sys.exit(main())
