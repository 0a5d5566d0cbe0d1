"""The hot paths of this tree's build beside another tree's, side by side.

    PYTHONPATH=src python benchmarks/bench_builds.py OTHER_TREE/src [--rounds 5] [--size 100M]

OTHER_TREE is a copy of another revision (or of this one built with other
flags) whose modules scripts/dev-build put into its src/. Each round runs the
same hot paths once in a fresh interpreter of each tree, alternating: the
dense execution scan, a literal and a regular-expression search paged to the
end, 4 MiB page reads, and one- and thirty-line records into a task log. The
best processor time of each path over the rounds is printed for both trees,
with their ratio (this tree / the other).

With --instructions, each path runs once per tree under valgrind's callgrind
instead, and the instructions it executed are compared: the same script
running no path is counted too and subtracted, so start-up and the archive's
opening do not count. Instruction counts do not move with the machine's load,
where timings on a shared machine vary by several per cent.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
SRC = os.path.join(HERE, "..", "src")

ROUND = r"""
import json, logging, os, sys, time, types
from tavix.log.commands.archive import Archive
from tavix.log.commands.parser.base import LogSection
import tavix.log.morlan as morlan

path, host = sys.argv[1:3]
only = sys.argv[3] if len(sys.argv) > 3 else None  # one path, run once; "none" runs none
figures = {}

def clock(name, work, repeat=2):
    if only is not None:
        if name == only:
            work()
        return
    best = None
    for _ in range(repeat):
        started = time.process_time()
        work()
        took = time.process_time() - started
        best = took if best is None else min(best, took)
    figures[name] = best

def scan(directory):
    LogSection.child_execute.fget.cache_clear()
    section = LogSection(types.SimpleNamespace(dir=directory),
                         {"log_file": "TaskLog.Task-1", "log_start": "0", "log_size": "-1",
                          "section_id": "bench"}, host)
    return len(section.child_execute)

with Archive(path) as archive:
    log = os.path.join(str(archive.dir), "TaskLog.Task-1")
    clock("dense execution scan", lambda: scan(str(archive.dir)))

    def pages(query, **options):
        def run():
            offset, line = 0, None
            while True:
                answer = archive.search(log, 0, -1, query, offset=offset, line=line, limit=1000, **options)
                if answer["complete"]:
                    return
                offset, line = answer["scanned_to"], answer["line"]
        return run

    clock("literal search, ignoring case", pages("Ethernet1/7"))
    clock("regular expression search", pages(r"Ethernet\d+/\d{2}", regex=True))
    clock("page reads, 25 x 4 MiB",
          lambda: [archive.read_bytes(log, 0, -1, i << 22, 1 << 22) for i in range(25)])

logger = logging.getLogger("bench_builds")
logger.propagate = False
logger.setLevel(logging.INFO)
logger.addHandler(morlan.TaskLogHandler(os.devnull))
message = "\n".join("line %d" % i for i in range(30))
clock("20,000 one-line records", lambda: [logger.info("hello") for _ in range(20000)], 3)
clock("2,000 thirty-line records", lambda: [logger.info(message) for _ in range(2000)], 3)
print(json.dumps(figures))
"""


def run_archive(size):
    """A run archive of dense device output whose first task log is about `size` bytes, written once."""
    sys.path.insert(0, SRC)
    import tests_path  # noqa: F401
    from helpers.archives import generate_archive, parse_size

    os.makedirs(DATA, exist_ok=True)
    path = os.path.join(DATA, f"builds-{size}.zip")
    if not os.path.exists(path):
        info = generate_archive(path + ".part", log_bytes=2 * parse_size(size), sections=5000, seed=11,
                                dense_devices=True)
        os.replace(path + ".part", path)
        with open(path + ".host", "w") as f:
            f.write(info.host)
    with open(path + ".host") as f:
        return path, f.read()


def one_round(tree, path, host):
    done = subprocess.run([sys.executable, "-c", ROUND, path, host], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=tree), check=True)
    return json.loads(done.stdout)


def instructions(tree, path, host, figure):
    """Instructions callgrind counts for the round running only `figure` ("none": no path)."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sys.executable, "-c", ROUND,
                        path, host, figure], capture_output=True, env=dict(os.environ, PYTHONPATH=tree), check=True)
        with open(out) as counts:
            return int(re.search(r"^summary: (\d+)", counts.read(), re.M).group(1))


FIGURES = ("dense execution scan", "literal search, ignoring case", "regular expression search",
           "page reads, 25 x 4 MiB", "20,000 one-line records", "2,000 thirty-line records")


def compare_instructions(trees, path, host):
    print("millions of instructions (callgrind), start-up subtracted")
    print(f"  {'hot path':<32} {'this':>9} {'other':>9}  this/other")
    rest = {name: instructions(tree, path, host, "none") for name, tree in trees.items()}
    for figure in FIGURES:
        this, other = (instructions(tree, path, host, figure) - rest[name] for name, tree in trees.items())
        print(f"  {figure:<32} {this / 1e6:9.1f} {other / 1e6:9.1f}  {this / other:9.3f}x", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("other", help="the other tree's src/ directory, its modules built")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size", default="100M", help="size of the scanned and searched task log")
    parser.add_argument("--instructions", action="store_true",
                        help="count each path's instructions under callgrind instead of timing rounds")
    args = parser.parse_args()
    path, host = run_archive(args.size)
    trees = {"this": os.path.abspath(SRC), "other": os.path.abspath(args.other)}
    if args.instructions:
        return compare_instructions(trees, path, host)
    best = {name: {} for name in trees}
    for _ in range(args.rounds):
        for name, tree in trees.items():
            for figure, seconds in one_round(tree, path, host).items():
                best[name][figure] = min(seconds, best[name].get(figure, seconds))
    print(f"processor seconds, best of {args.rounds} alternating rounds")
    print(f"  {'hot path':<32} {'this':>8} {'other':>8}  this/other")
    for figure, seconds in best["this"].items():
        other = best["other"][figure]
        print(f"  {figure:<32} {seconds:8.4f} {other:8.4f}  {seconds / other:9.2f}x")


if __name__ == "__main__":
    main()
