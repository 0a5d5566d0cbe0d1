"""Marks on a large run: what they add to recording it and to reading its failures.

    PYTHONPATH=src python benchmarks/bench_triage.py [--sections 24510] [--marks 500] [--repeat 3]

Writes (once) a run archive of that many sections with short logs into
benchmarks/data/ (the one bench_history.py writes), records it into a new
SQLite index, then sets `--marks` marks on its suite: one on each of its
failure signatures and the rest on failing paths, leaving at least 300
failing sections unmarked. Printed, each the median of --repeat:

1. recording the run again (under another content hash) before the marks and
   with them;
2. `RunIndex.run_marks` (what `failures --json` and `history --json` gain)
   and `RunIndex.history`, beside it;
3. `RunIndex.marks` (the suite's listing).

Then, on a hand-made run of --marks + 300 failing sections, each with a cause
of its own: `RunIndex.run_suggestions` for the 300 left unmarked, with a
signature mark on each of the others.
"""

import argparse
import os
import pathlib
import random
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))

from bench_history import archive_path  # noqa: E402
from tavix.log.commands.archive import Archive  # noqa: E402
from tavix.log.commands.history import RunIndex, index_url  # noqa: E402
import tests_path  # noqa: E402,F401
from helpers.history_runs import make_run  # noqa: E402

UNMARKED = 300
WORDS = ("link", "down", "timeout", "waiting", "for", "prompt", "disk", "full", "on", "port", "refused",
         "connection", "session", "dropped", "peer", "reset", "interface", "error", "counter", "mismatch")


def timed(call, repeat):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        answer = call()
        times.append(time.perf_counter() - started)
    return statistics.median(times), answer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sections", type=int, default=24510)
    parser.add_argument("--marks", type=int, default=500)
    parser.add_argument("--repeat", type=int, default=3)
    options = parser.parse_args()
    path = archive_path(options.sections)
    with tempfile.TemporaryDirectory() as directory, Archive(path) as archive:
        index = RunIndex(index_url(os.path.join(directory, "index.sqlite")))
        started = time.perf_counter()
        run, _ = index.record(archive, "a" * 64)
        recording = time.perf_counter() - started
        suite = run["suite_name"]
        answer = index.run_marks(run)
        signatures = [c["signature"] for c in answer["categories"]]
        failing = [n for n in answer["nodes"] if n["signature"] is not None]
        marked_signatures = signatures[:max(0, len(signatures) - 1)]
        for signature in marked_signatures[:options.marks]:
            index.set_mark(suite, signature=signature, kind="product-bug", author="bench")
        # The last signature's sections stay unmarked, and as many others as needed.
        left = [n for n in failing if n["signature"] not in marked_signatures]
        by_path = [n for n in failing if n["signature"] in marked_signatures]
        for node in by_path[:max(0, options.marks - len(marked_signatures))]:
            index.set_mark(suite, path=node["path"], kind="test-bug", author="bench")
        marks = index.marks(suite)
        print(f"{options.sections:,} sections, {len(failing):,} failing with a cause, {len(signatures)} signatures, "
              f"{len(marks)} marks, {len(left)} failing sections under no mark")
        counter = iter(range(1, 1 << 30))
        before, _ = timed(lambda: index.record(archive, "%064x" % next(counter)), options.repeat)
        index.set_mark(suite, signature=signatures[-1], kind="muted", author="bench")
        index.remove_mark(suite, signature=signatures[-1], author="bench")
        again, _ = timed(lambda: index.record(archive, "%064x" % next(counter)), options.repeat)
        reading, _ = timed(lambda: index.run_marks(run), options.repeat)
        history, _ = timed(lambda: index.history(run), options.repeat)
        listing, _ = timed(lambda: index.marks(suite), options.repeat)
        suggesting, suggested = suggestions(pathlib.Path(directory), options.marks, options.repeat)
    print(f"first recording              {recording:8.3f} s")
    print(f"recording, no marks          {before:8.3f} s")
    print(f"recording, {len(marks)} marks       {again:8.3f} s")
    print(f"run_marks                    {reading:8.3f} s  ({reading / before:.2f}x recording)")
    print(f"history (beside it)          {history:8.3f} s")
    print(f"marks(suite)                 {listing:8.3f} s")
    print(f"run_suggestions, {len(suggested)} unmarked sections, {options.marks} marks: {suggesting:.3f} s")


def suggestions(directory, marks, repeat):
    rng = random.Random(5)
    causes = []
    while len(causes) < marks + UNMARKED:
        cause = " ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 9))) + " after %d s" % rng.randint(1, 99)
        if cause not in causes:
            causes.append(cause)
    path = make_run(directory / "crafted.zip", "c1", "2026-12-01 02:00:00",
                    [("t%d" % i, "failed", [], cause) for i, cause in enumerate(causes)], suite="crafted")
    index = RunIndex(index_url(str(directory / "crafted.sqlite")))
    with Archive(path) as archive:
        run, _ = index.record(archive)
    for category in index.run_marks(run)["categories"][:marks]:
        index.set_mark("crafted", signature=category["signature"], kind="product-bug", author="bench")
    return timed(lambda: index.run_suggestions(run), repeat)


if __name__ == "__main__":
    main()
