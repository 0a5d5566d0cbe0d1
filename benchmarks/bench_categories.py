"""Time to the failure categories of a large run, beside grep over the same bytes.

    PYTHONPATH=src python benchmarks/bench_categories.py [--size 1G] [--sections 50000]

Writes (once) a run archive of that size into benchmarks/data/ with failure
causes, opens it, and prints:

1. the time from the first GET of prefix + "/categories" to its answer (the
   failing nodes found, their byte ranges read natively, the signatures
   grouped; the archive is already open), beside `grep -c` of the error lines
   over the whole task log;
2. the same computation called directly, without the HTTP round trip;
3. the one-pass histogram of warnings and errors over the whole log
   (GET prefix + "/timeline/0/histogram"), beside the same grep.
"""

import argparse
import asyncio
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")

sys.path.insert(0, os.path.join(HERE, "..", "src"))

from aiohttp.test_utils import TestClient, TestServer  # noqa: E402

from tavix.log.commands.archive import Archive  # noqa: E402
from tavix.log.commands.parser import base  # noqa: E402
from tavix.log.commands.server import LogViewerServer  # noqa: E402
import tests_path  # noqa: E402,F401
from helpers.archives import generate_archive, parse_size  # noqa: E402

P = "/private/v1/standalone"


def archive_path(size, sections):
    os.makedirs(DATA, exist_ok=True)
    path = os.path.join(DATA, f"categories-{size >> 30 if size >= 1 << 30 else size}"
                              f"{'G' if size >= 1 << 30 else ''}-{sections}.zip")
    if not os.path.exists(path):
        print(f"writing {path} ...", flush=True)
        generate_archive(path + ".part", log_bytes=size, sections=sections, seed=13, scripts=1,
                         failure_causes=True)
        os.replace(path + ".part", path)
    return path


def grep_seconds(pattern, logfile):
    started = time.perf_counter()
    out = subprocess.run(["grep", "-c", "--", pattern, logfile], capture_output=True, text=True).stdout
    return time.perf_counter() - started, int(out.strip() or 0)


async def first_answer(archive, route):
    async with TestClient(TestServer(LogViewerServer(archive))) as client:
        started = time.perf_counter()
        response = await client.get(P + route)
        body = await response.json()
        return time.perf_counter() - started, body


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", default="1G")
    parser.add_argument("--sections", type=int, default=50000)
    args = parser.parse_args(argv)
    path = archive_path(parse_size(args.size), args.sections)
    with Archive(path) as archive:
        results = archive.results
        script = results.get_section(results.scripts[0]["sections"][0]["id"])
        log_bytes = os.path.getsize(script.logfile)
        # The same bytes read once before any timing, so that neither side
        # pays for the first read from disk.
        grep_seconds("-3-ERROR", script.logfile)

        seconds, answer = asyncio.run(first_answer(archive, "/categories"))
        failing = sum(c["count"] for c in answer["categories"]) + len(answer["unexplained"])
        grep, errors = grep_seconds("-3-ERROR", script.logfile)
        print(f"log {log_bytes / 2**30:.2f} GiB, {sum(len(t['sections']) for t in results.scripts)} sections, "
              f"{failing} failing nodes, {len(answer['categories'])} categories, "
              f"{len(answer['unexplained'])} unexplained")
        print(f"GET /categories, first answer  {seconds:8.3f} s   (target: 3 s)")
        print(f"grep -c -- -3-ERROR over log   {grep:8.3f} s   ({errors} lines)")
        print(f"ratio categories / grep        {seconds / grep:8.3f}")

        started = time.perf_counter()
        base.failure_categories(results)
        direct = time.perf_counter() - started
        print(f"failure_categories() directly  {direct:8.3f} s   ratio to grep {direct / grep:.3f}")

        seconds, histogram = asyncio.run(first_answer(archive, "/timeline/0/histogram"))
        grep, lines = grep_seconds("-[34]-", script.logfile)
        print(f"GET /timeline/0/histogram      {seconds:8.3f} s   "
              f"({sum(histogram['warnings']) + sum(histogram['errors'])} lines, {len(histogram['times'])} bins)")
        print(f"grep -c -- '-[34]-' over log   {grep:8.3f} s   ({lines} lines)")
        print(f"ratio histogram / grep         {seconds / grep:8.3f}")


if __name__ == "__main__":
    sys.exit(main())
