"""Opening a large run archive and paging through its task log.

Side by side in one run, on a generated archive (a 1 GB task log with 50,000
sections by default, written to benchmarks/data/ on first use):

(1) entering `Archive` (extraction, results parsing and section index)
    against `unzip -q` of the same file plus a bare ElementTree parse of its
    results file;
(4) `read_bytes` of the last page of the task log, and of the last page of
    the last section, against a plain open, seek, read and decode of the same
    bytes in the interpreter.

    PYTHONPATH=src python benchmarks/bench_archive.py [--log-size 1G] [--sections 50000] [--rounds 2]
"""

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

from tavix.log.commands.archive import Archive
import tests_path  # noqa: F401
from helpers.archives import RESULTS_FILE, generate_archive, parse_size

DATA = pathlib.Path(__file__).resolve().parent / "data"


def timed(action):
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def baseline(path):
    target = tempfile.mkdtemp(prefix="bench-unzip.")
    try:
        unzip, _ = timed(lambda: subprocess.run(["unzip", "-q", str(path), "-d", target], check=True))
        parse, _ = timed(lambda: ET.parse(os.path.join(target, RESULTS_FILE)))
        return unzip, parse
    finally:
        shutil.rmtree(target)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--log-size", default="1G")
    parser.add_argument("--sections", type=int, default=50000)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    log_bytes = parse_size(args.log_size)

    DATA.mkdir(exist_ok=True)
    path = DATA / f"run-{args.log_size}-{args.sections}.zip"
    if not path.exists():
        print(f"generating {path} ...", flush=True)
        generate_archive(path, log_bytes=log_bytes, sections=args.sections, seed=1, scripts=1)
    print(f"archive {path.name}: {path.stat().st_size} bytes zipped, {args.sections} sections")

    entering, unzips, parses = [], [], []
    for _ in range(args.rounds):
        unzip, parse = baseline(path)
        unzips.append(unzip)
        parses.append(parse)
        archive = Archive(path)
        seconds, _ = timed(archive.__enter__)
        entering.append(seconds)
        archive.__exit__(None, None, None)
    enter_s, unzip_s, parse_s = min(entering), min(unzips), min(parses)
    print(f"(1) enter Archive          {enter_s:8.3f} s  (best of {args.rounds})")
    print(f"    unzip -q + ET.parse    {unzip_s + parse_s:8.3f} s  (unzip {unzip_s:.3f} s, parse {parse_s:.3f} s)")
    print(f"    ratio                  {enter_s / (unzip_s + parse_s):8.3f}  (target <= 1.3)")

    with Archive(path) as archive:
        sections = archive.results.scripts[0]["sections"]
        log = str(archive.dir / sections[0]["log_file"])
        size = os.path.getsize(log)
        limit = 20480
        last = sections[-1]
        start, length = int(last["log_start"]), int(last["log_size"])
        pages = {
            "last page of the log": (0, size, (size - 1) // limit * limit),
            "last page of the last section": (start, length, (length - 1) // limit * limit),
        }
        for label, (log_start, log_size, offset) in pages.items():
            runs = []
            for _ in range(200):
                seconds, page = timed(lambda: archive.read_bytes(log, log_start, log_size, offset=offset,
                                                                 limit=limit))
                runs.append(seconds)
            plain = []

            def read():
                with open(log, "rb") as stream:
                    stream.seek(log_start + offset)
                    return stream.read(min(limit, log_size - offset)).decode("utf-8", "replace")

            for _ in range(200):
                seconds, expected = timed(read)
                plain.append(seconds)
            assert page == expected
            median, plain_median = statistics.median(runs), statistics.median(plain)
            print(f"(4) read_bytes, {label:30s} {median * 1e3:8.4f} ms median, {max(runs) * 1e3:.4f} ms max "
                  f"(open+seek+read+decode {plain_median * 1e3:.4f} ms, ratio {median / plain_median:.2f}; "
                  f"target < 1 ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
