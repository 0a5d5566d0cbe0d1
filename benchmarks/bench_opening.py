"""What reporting its progress costs the opening of a large archive.

Side by side in one run, on a generated archive (200 MB of task logs with
24,510 sections by default, written to benchmarks/data/ on first use):
entering `Archive` with a progress observer against entering it without one.
How soon an interrupt ends the opening is measured by bench_stopping.py.

    PYTHONPATH=src python benchmarks/bench_opening.py [--log-size 200M] [--sections 24510] [--rounds 3]
"""

import argparse
import pathlib
import statistics
import time

from tavix.log.commands.archive import Archive
import tests_path  # noqa: F401
from helpers.archives import generate_archive, parse_size

DATA = pathlib.Path(__file__).resolve().parent / "data"


def generated_run(log_size, sections):
    """The generated archive of that size in benchmarks/data/, written on first use."""
    DATA.mkdir(exist_ok=True)
    path = DATA / f"run-{log_size}-{sections}.zip"
    if not path.exists():
        print(f"generating {path} ...", flush=True)
        generate_archive(path, log_bytes=parse_size(log_size), sections=sections, seed=1)
    return path


def opening_time(path, progress):
    start = time.perf_counter()
    with Archive(path, progress=progress):
        return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--log-size", default="200M")
    parser.add_argument("--sections", type=int, default=24510)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    path = generated_run(args.log_size, args.sections)
    calls = []
    with_progress, without = [], []
    for _ in range(args.rounds):
        without.append(opening_time(path, None))
        with_progress.append(opening_time(path, lambda *report: calls.append(report)))
    plain, observed = statistics.median(without), statistics.median(with_progress)
    print(f"opening {path.name}: {plain:.2f} s without progress, {observed:.2f} s with "
          f"({len(calls) // args.rounds} reports): ratio {observed / plain:.2f}")


if __name__ == "__main__":
    main()
