"""The search index of one stored run, measured side by side with unzip and grep.

    PYTHONPATH=src python benchmarks/bench_search_index.py [ARCHIVE] [--members A,B] [--repeat 3]

ARCHIVE defaults to benchmarks/data/run-200M-24510.zip (members TaskLog.Task-1
and TaskLog.Task-2). Prints, each beside its yardstick:

1. building the index (streaming the members from the zip) against
   `unzip -p ARCHIVE > /dev/null`;
2. the index's size against the zip's;
3. searches through the index (opening it included), against grep over the
   members extracted into the page cache: a rare literal against `grep -c -F`,
   a literal on many lines and a regex with a literal part against `grep -c -F`
   and `grep -c -E`, a regex with none (a scan of every block) against
   `grep -c -E`; and the slow way (no index) for the rare literal.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))

from bench_search import best  # noqa: E402
from tavix.log.commands.archive import RunSearch, build_search_index  # noqa: E402

QUERIES = [
    ("rare literal", "configure_interfaces", False, ["grep", "-c", "-F"]),
    ("common literal", "loss 0.00 %", False, ["grep", "-c", "-F", "-i"]),
    ("regex, literal part", r"Traffic stream [0-9]+ at 1000", True, ["grep", "-c", "-E", "-i"]),
    ("regex, no literal", r"[0-9]{2}:[0-9]{2}:[0-9]7", True, ["grep", "-c", "-E", "-i"]),
]


def run(command, stdout=subprocess.PIPE):
    return subprocess.run(command, check=False, stdout=stdout).stdout


def count_hits(zip_path, index, query, regex, members):
    run = RunSearch(zip_path, index)
    return sum(len(batch) for batch in run.search(query, regex=regex, members=members)), run.counters


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("archive", nargs="?", default=os.path.join(HERE, "data", "run-200M-24510.zip"))
    parser.add_argument("--members", default="TaskLog.Task-1,TaskLog.Task-2")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    members = args.members.split(",")
    zip_size = os.path.getsize(args.archive)
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        index = os.path.join(scratch, "run.index")
        with zipfile.ZipFile(args.archive) as zipped:
            for name in members:
                zipped.extract(name, scratch)
        extracted = [os.path.join(scratch, name) for name in members]
        for path in extracted:  # into the page cache
            with open(path, "rb") as log:
                while log.read(1 << 24):
                    pass

        unzip, _ = best(args.repeat, lambda: run(["unzip", "-p", args.archive], stdout=subprocess.DEVNULL))
        build, summary = best(args.repeat, lambda: build_search_index(args.archive, index, members))
        rows.append(("build the index", build, "unzip -p > /dev/null", unzip))
        for label, query, regex, grep in QUERIES:
            searched, (hits, counters) = best(args.repeat,
                                              lambda: count_hits(args.archive, index, query, regex, members))
            grepped, counts = best(args.repeat, lambda: run(grep + [query] + extracted))
            grep_hits = sum(int(line.rsplit(b":", 1)[-1]) for line in counts.splitlines())
            label = f"{label}: {hits} lines, {counters['blocks_read']}/{counters['blocks_total']} blocks"
            rows.append((label, searched, f"{' '.join(grep)}: {grep_hits} lines", grepped))
        slow, (hits, _) = best(1, lambda: count_hits(args.archive, None, QUERIES[0][1], False, members))
        rows.append((f"rare literal, no index: {hits} lines", slow, "grep -c -F", rows[1][3]))

    print(f"archive {args.archive}: {zip_size / 1e6:.1f} MB zipped, members {', '.join(members)} "
          f"({summary['bytes'] / 1e6:.1f} MB of text)")
    print(f"index: {summary['index_bytes'] / 1e6:.2f} MB = {100 * summary['index_bytes'] / zip_size:.1f} % "
          f"of the zip; {summary['blocks']} blocks, {summary['access_points']} access points")
    for label, seconds, yardstick, yard_seconds in rows:
        print(f"{label:<52} {seconds:8.3f} s   {yardstick:<34} {yard_seconds:8.3f} s   "
              f"x{seconds / yard_seconds:.2f}")


if __name__ == "__main__":
    main()
