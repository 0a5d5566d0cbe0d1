"""Comparing runs: the section diff route against GNU diff, and
`tavix logs compare` against opening both runs.

Side by side in one run, interleaved:

(1) two runs whose biggest section holds SIZE of log (10 MB and 100 MB by
    default), the same lines with every sequence number, time stamp and
    process id moved and a few lines changed: the time of
    GET prefix/sections/{id}/diff of that section (a viewer of the new run
    with the other as its baseline) against GNU `diff` of the two section
    logs with their headers masked beforehand;
(2) two generated runs of 24,510 sections: `tavix logs compare A B --json`
    against opening both archives, each in a fresh interpreter.

    PYTHONPATH=src python benchmarks/bench_diff.py [--sizes 10M,100M] [--sections 24510]
        [--log-size 64M] [--rounds 3]

Runs and logs are written to benchmarks/data/ on first use.
"""

import argparse
import asyncio
import pathlib
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

from aiohttp.test_utils import TestClient, TestServer

from tavix.log.commands.archive import Archive
from tavix.log.commands.parser import base
from tavix.log.commands.server import LogViewerServer
import tests_path  # noqa: F401
from helpers.archives import generate_archive, parse_size
from helpers.hand_made_runs import make_run, record

DATA = pathlib.Path(__file__).resolve().parent / "data"

HEADER = re.compile(rb"^\d+: ([^:]*): [^:]*: (%[^:]*): %\[[^\]]*\]\[[^\]]*\]: ", re.M)


def section_lines(size, day, pid, changes, seed):
    """Lines of about `size` bytes; `changes` of them differ from the other run's."""
    rng = random.Random(seed)
    lines, total, i = [], 0, 0
    while total < size:
        if i % 3:
            line = "  interface Ethernet1/%d is up, line protocol is up, %d packets input" % (i % 48, i * 7)
        else:
            line = record(i + pid, "step %d: verifying neighbour 10.0.%d.%d" % (i, i % 250, i % 7), day=day, pid=pid)
        lines.append(line)
        total += len(line) + 1
        i += 1
    for at in rng.sample(range(len(lines)), changes):
        lines[at] = record(at, "ERROR: neighbour lost at step %d" % at, day=day, pid=pid, severity=3)
    return lines


def make_pair(size):
    base_path, new_path = DATA / ("diff-%d-base.zip" % size), DATA / ("diff-%d-new.zip" % size)
    if not new_path.exists():
        DATA.mkdir(exist_ok=True)
        make_run(base_path, [("big.py", [("huge", "passed", section_lines(size, 7, 100, 0, 1), [])])])
        make_run(new_path, [("big.py", [("huge", "failed", section_lines(size, 8, 200, 5, 2), [])])])
    return base_path, new_path


def masked_copy(archive, section, path):
    """The section's log with its headers masked, as a file for GNU diff."""
    with open(section.logfile, "rb") as log:
        log.seek(section.log_start)
        data = log.read(int(section.log_size))
    path.write_bytes(HEADER.sub(rb"#: \1: T: \2: %[pid][pname]: ", data))
    return path


async def route_seconds(client, url):
    start = time.perf_counter()
    response = await client.get(url)
    body = await response.json()
    assert response.status == 200, body
    return time.perf_counter() - start, body


def diff_benchmark(size, rounds):
    base_path, new_path = make_pair(size)
    with Archive(base_path) as base_run, Archive(new_path) as new_run:
        (sid, _), = [(i, p) for i, p in base.section_paths(new_run.results).items() if p[-1] == "huge"]
        (bid, _), = [(i, p) for i, p in base.section_paths(base_run.results).items() if p[-1] == "huge"]
        work = DATA / "masked"
        work.mkdir(exist_ok=True)
        a = masked_copy(base_run, base_run.results.get_section(bid), work / "a.log")
        b = masked_copy(new_run, new_run.results.get_section(sid), work / "b.log")

        async def run():
            client = TestClient(TestServer(LogViewerServer(new_run, baseline=base_run)))
            await client.start_server()
            ours, gnu = [], []
            try:
                for _ in range(rounds):
                    seconds, body = await route_seconds(client, "/private/v1/standalone/sections/%s/diff" % sid)
                    ours.append(seconds)
                    start = time.perf_counter()
                    subprocess.run(["diff", str(a), str(b)], stdout=subprocess.DEVNULL)
                    gnu.append(time.perf_counter() - start)
            finally:
                await client.close()
            return ours, gnu, body

        ours, gnu, body = asyncio.run(run())
    changed = sum(line["op"] != " " for hunk in body["hunks"] for line in hunk["lines"])
    route, plain = statistics.median(ours), statistics.median(gnu)
    print("diff of a %s section (%d lines changed, approximate=%s): route %.3f s, GNU diff on masked logs "
          "%.3f s, ratio %.2fx" % (fmt(size), changed, body["approximate"], route, plain, route / plain))


def fmt(size):
    return "%d MB" % (size // 1_000_000) if size >= 1_000_000 else "%d bytes" % size


def timed(argv):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def compare_benchmark(sections, log_size, rounds):
    paths = []
    for seed in (1, 2):
        path = DATA / ("compare-%d-%d-%d.zip" % (sections, log_size, seed))
        if not path.exists():
            DATA.mkdir(exist_ok=True)
            generate_archive(path, log_bytes=log_size, sections=sections, seed=seed, failure_causes=True)
        paths.append(str(path))
    opening = ("from tavix.log.commands.archive import Archive\n"
               "with Archive(%r), Archive(%r): pass" % tuple(paths))
    compare, both = [], []
    for _ in range(rounds):
        both.append(timed([sys.executable, "-c", opening]))
        compare.append(timed([sys.executable, "-m", "tavix.cli.main", "logs", "compare", *paths, "--json"]))
    c, o = statistics.median(compare), statistics.median(both)
    print("tavix logs compare of two %d-section runs: %.2f s, opening both: %.2f s, ratio %.2fx"
          % (sections, c, o, c / o))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10M,100M")
    parser.add_argument("--sections", type=int, default=24510)
    parser.add_argument("--log-size", default="64M")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if not shutil.which("diff"):
        sys.exit("needs GNU diff")
    for size in args.sizes.split(","):
        diff_benchmark(parse_size(size), args.rounds)
    compare_benchmark(args.sections, parse_size(args.log_size), args.rounds)


if __name__ == "__main__":
    main()
