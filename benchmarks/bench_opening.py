"""How soon `tavix logs view` answers an interrupt while it opens a large archive.

Side by side in one run, on a generated archive (200 MB of task logs with
24,510 sections by default, written to benchmarks/data/ on first use):

(1) entering `Archive` with a progress observer against entering it without
    one: the cost of reporting progress;
(2) `tavix logs view` in a subprocess, sent SIGINT and SIGTERM early in the
    extraction and in the middle of reading the results: the time until it
    says "Interrupted", against the time the whole opening takes.

    PYTHONPATH=src python benchmarks/bench_opening.py [--log-size 200M] [--sections 24510] [--rounds 3]
"""

import argparse
import os
import pathlib
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

from tavix.log.commands.archive import Archive
from tavix.testing.archives import generate_archive, parse_size

DATA = pathlib.Path(__file__).resolve().parent / "data"


def opening_time(path, progress):
    start = time.perf_counter()
    with Archive(path, progress=progress):
        return time.perf_counter() - start


def interrupt_latency(path, last_member, moment, stop, opening):
    """Seconds from the signal to "Interrupted" on standard error."""
    tmp = tempfile.mkdtemp(prefix="bench-opening.")
    env = dict(os.environ, TMPDIR=tmp, TAVIX_CONFIG=os.path.join(tmp, "none.cfg"))
    process = subprocess.Popen([sys.executable, "-m", "tavix.cli.main", "logs", "view", str(path),
                                "--no-browser"], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        def extraction():
            return [name for name in os.listdir(tmp) if name.startswith("tavix.logviewer.")]

        while not extraction():
            time.sleep(0.001)
        if moment == "parse":
            while not os.path.exists(os.path.join(tmp, extraction()[0], last_member)):
                time.sleep(0.001)
            time.sleep(opening * 0.3)  # into the results, whose reading is most of the opening
        sent = time.perf_counter()
        process.send_signal(stop)
        select.select([process.stderr], [], [], 60)
        latency = time.perf_counter() - sent
        _, err = process.communicate(timeout=60)
        if process.returncode != 130 or err != b"Interrupted\n":
            raise RuntimeError("unexpected end: %s %r" % (process.returncode, err))
        return latency
    finally:
        if process.poll() is None:
            process.kill()
        shutil.rmtree(tmp)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--log-size", default="200M")
    parser.add_argument("--sections", type=int, default=24510)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    DATA.mkdir(exist_ok=True)
    path = DATA / f"run-{args.log_size}-{args.sections}.zip"
    if not path.exists():
        print(f"generating {path} ...", flush=True)
        generate_archive(path, log_bytes=parse_size(args.log_size), sections=args.sections, seed=1)
    with zipfile.ZipFile(path) as archive:
        last_member = archive.namelist()[-1]

    calls = []
    with_progress, without = [], []
    for _ in range(args.rounds):
        without.append(opening_time(path, None))
        with_progress.append(opening_time(path, lambda *report: calls.append(report)))
    plain, observed = statistics.median(without), statistics.median(with_progress)
    print(f"(1) opening {path.name}: {plain:.2f} s without progress, {observed:.2f} s with "
          f"({len(calls) // args.rounds} reports): ratio {observed / plain:.2f}")

    for moment in ("extraction", "parse"):
        for stop in (signal.SIGINT, signal.SIGTERM):
            latencies = [interrupt_latency(path, last_member, moment, stop, plain) for _ in range(args.rounds)]
            worst = max(latencies)
            print(f"(2) {stop.name} during the {moment}: answered in {statistics.median(latencies):.3f} s "
                  f"(worst {worst:.3f} s), {worst / plain:.2f} of the opening's {plain:.2f} s")


if __name__ == "__main__":
    main()
