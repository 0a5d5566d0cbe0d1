"""The run index beside the opening of the run it records.

    PYTHONPATH=src python benchmarks/bench_history.py [--sections 24510] [--runs 30]

Writes (once) a run archive of that many sections with short logs into
benchmarks/data/, opens it, and records it `--runs` times into a new SQLite
index, as a nightly series: each recording gets its own start time, request
id and content hash, and a few results flip from run to run. The last one is
recorded under the archive's true content hash. Printed, each beside the time
`Archive(path)` takes to open the run (see below):

1. recording one run (mean over the runs);
2. `tavix logs history ARCHIVE --json` in this process (the run found by its
   content hash, its history over the window of 10);
3. the first answer of GET prefix + "/history" (a new server over the opened
   run, which also starts building its tree answer as it starts);
4. the size of the index file per section per run.
The openings are the median of one before the recordings and one beside
each measurement of 2 and 3 (--repeat times, medians printed).

Then, as the team service's home page lists them, over `--listing-runs`
runs of a small hand-made run recorded into another index as 20 suites
(0 leaves it out): `RunIndex.suites()` (each suite's latest run and its trend
of 30) and the first page of `RunIndex.runs()`, each the median of --repeat.
"""

import argparse
import asyncio
import contextlib
import io
import os
import random
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")

sys.path.insert(0, os.path.join(HERE, "..", "src"))

from aiohttp.test_utils import TestClient, TestServer  # noqa: E402

from tavix.cli.main import main as tavix  # noqa: E402
from tavix.log.commands.archive import Archive  # noqa: E402
from tavix.log.commands.history import RunIndex, content_hash, index_url  # noqa: E402
from tavix.log.commands.history.viewer import ViewerHistory  # noqa: E402
from tavix.log.commands.server import LogViewerServer  # noqa: E402
import tests_path  # noqa: E402,F401
from helpers.archives import generate_archive  # noqa: E402
from helpers.history_runs import make_run  # noqa: E402

P = "/private/v1/standalone"


def archive_path(sections):
    os.makedirs(DATA, exist_ok=True)
    path = os.path.join(DATA, f"history-{sections}.zip")
    if not os.path.exists(path):
        print(f"writing {path} ...", flush=True)
        generate_archive(path + ".part", log_bytes=sections * 400, sections=sections, seed=21, scripts=4,
                         failure_causes=True)
        os.replace(path + ".part", path)
    return path


def opening_seconds(path):
    started = time.perf_counter()
    with Archive(path):
        return time.perf_counter() - started


async def first_answer(server):
    async with TestClient(TestServer(server)) as client:
        started = time.perf_counter()
        response = await client.get(P + "/history")
        body = await response.json()
        assert response.status == 200, body
        return time.perf_counter() - started, body


def listing_seconds(runs, repeat, suites=20):
    """(suites(), runs()) in seconds over `runs` runs of `suites` suites, medians of `repeat`."""
    with tempfile.TemporaryDirectory() as scratch:
        index = RunIndex(index_url(os.path.join(scratch, "listing.sqlite")))
        path = make_run(os.path.join(scratch, "run.zip"), "r", "2026-12-01 02:00:00",
                        [("a", "passed"), ("b", "failed"), ("c", "passed")], summary={"pass": 2, "fail": 1, "skip": 0})
        with Archive(path) as archive:
            meta = archive.results.meta
            for run in range(runs):
                meta["suite_name"] = f"suite-{run % suites:02d}"
                meta["request_id"] = f"listing-{run}"
                meta["start_time"] = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(1.79e9 + 3600 * run))
                index.record(archive, f"listing-{run}")
        answers = {"suites": [], "runs": []}
        for _ in range(repeat):
            for name, call in (("suites", index.suites), ("runs", index.runs)):
                started = time.perf_counter()
                call()
                answers[name].append(time.perf_counter() - started)
        return statistics.median(answers["suites"]), statistics.median(answers["runs"])


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--sections", type=int, default=24_510)
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--repeat", type=int, default=3, help="measurements of the history and openings")
    parser.add_argument("--listing-runs", type=int, default=1000, help="runs of the listings (0: none)")
    args = parser.parse_args(argv)
    path = archive_path(args.sections)
    rng = random.Random(5)
    opening = [opening_seconds(path)]
    with tempfile.TemporaryDirectory() as scratch:
        url = index_url(os.path.join(scratch, "index.sqlite"))
        index = RunIndex(url)
        recording = []
        with Archive(path) as archive:
            parser_ = archive.results
            records = [s for task in parser_.scripts for s in task["sections"]]
            original = [s["result"] for s in records]
            meta = parser_.meta
            real = content_hash(path)
            for run in range(args.runs):
                last = run == args.runs - 1
                for section, result in zip(records, original):
                    section["result"] = result if last or rng.random() > 0.02 else rng.choice(["passed", "failed"])
                meta["start_time"] = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(1.79e9 + 86400 * run))
                meta["request_id"] = f"bench-{run}"
                started = time.perf_counter()
                run_record, _ = index.record(archive, real if last else f"bench-{run}")
                recording.append(time.perf_counter() - started)
            history = ViewerHistory(index, run_record, parser_)
            routes, commands = [], []
            # Interleaved with openings, each a fresh server's first answer.
            for _ in range(args.repeat):
                opening.append(opening_seconds(path))
                seconds, body = asyncio.run(first_answer(LogViewerServer(archive, history=history)))
                routes.append(seconds)
                started = time.perf_counter()
                with contextlib.redirect_stdout(io.StringIO()):
                    status = tavix(["logs", "history", path, "--index", url, "--json"])
                commands.append(time.perf_counter() - started)
                assert status == 0
        size = os.path.getsize(url[len("sqlite:///"):])
    route, command = statistics.median(routes), statistics.median(commands)
    open_time = statistics.median(opening)
    record_time = sum(recording) / len(recording)
    print(f"run of {args.sections:,} sections, {args.runs} runs indexed; "
          f"{len(body['nodes'])} failing sections, {len(body['categories'])} categories")
    print(f"opening the archive:        {open_time:7.3f} s (median of {len(opening)}: "
          + ", ".join(f"{t:.2f}" for t in opening) + ")")
    print(f"recording one run:          {record_time:7.3f} s  = {record_time / open_time:5.2f}x opening (target <= 2x)")
    print(f"tavix logs history --json:  {command:7.3f} s  = {command / open_time:5.2f}x opening (target <= 2x)")
    print(f"GET /history, first answer: {route:7.3f} s  (target <= 0.5 s)")
    print(f"index size:                 {size / (args.sections * args.runs):7.1f} bytes per section per run "
          f"(target <= 200)")
    if args.listing_runs:
        suites, runs = listing_seconds(args.listing_runs, args.repeat)
        print(f"suites(), {args.listing_runs:,} runs of 20 suites: {suites * 1000:7.1f} ms (target well under 100 ms)")
        print(f"runs(), its first page of 50:     {runs * 1000:7.1f} ms")


if __name__ == "__main__":
    main()
