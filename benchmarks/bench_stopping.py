"""How soon a signal ends `tavix logs view`, against the 0.5 s target.

The tests check that a signal is answered and that the work stops at its
next look at signals; this prints the seconds, measured side by side in one
run (the rounds go round the cases in turn):

(a) SIGINT or SIGTERM early in the extraction of a large archive (200 MB of
    task logs, 24,510 sections by default, written to benchmarks/data/ on
    first use), until "Interrupted" on standard error and until the exit;
(b) the same in the middle of reading its results, the longest stage of the
    opening;
(c) SIGINT or SIGTERM 0.2 s into a scan of a section of dense device output
    (a command about every 650 bytes, the section's log stretched to some
    300 MB) that a serving viewer runs in a worker thread, until the exit.

Beside them: how long the opening and the scan take when left alone. The
machine may be shared: figures are noisy, the worst of the rounds is shown.

    PYTHONPATH=src python benchmarks/bench_stopping.py [--log-size 200M] [--sections 24510] [--stretch 72] [--rounds 5]
    PYTHONPATH=src python benchmarks/bench_stopping.py --quick   # 32 MB, 16,000 sections, 100 MB scanned, 2 rounds
"""

import argparse
import json
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import zipfile

from bench_opening import DATA, generated_run, opening_time
import tests_path  # noqa: F401
from helpers.archives import generate_archive
from helpers.processes import ViewerProcess

TARGET = 0.5  # seconds from a signal to the end
P = "/private/v1/standalone"
SIGNALS = (signal.SIGINT, signal.SIGTERM)


def stop_opening(path, last_member, moment, stop, opening):
    """Seconds from the signal to "Interrupted" and to the exit of `tavix logs view`."""
    tmp = tempfile.mkdtemp(prefix="bench-stopping.")
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
        answered = time.perf_counter() - sent
        _, err = process.communicate(timeout=60)
        exited = time.perf_counter() - sent
        if process.returncode != 130 or err != b"Interrupted\n":
            raise RuntimeError("unexpected end: %s %r" % (process.returncode, err))
        return answered, exited
    finally:
        if process.poll() is None:
            process.kill()
        shutil.rmtree(tmp)


def dense_viewer(path, stretch):
    """A viewer of `path` whose last section's log is written `stretch` more times."""
    return ViewerProcess(path, prepare="from helpers.archives import stretch_last_section\n"
                                       f"stretch_last_section(archive, {stretch})")


def stretched_section(viewer):
    """The address of the section that `dense_viewer` stretched."""
    with urllib.request.urlopen(viewer.url + P + "/results") as answer:
        return f"{viewer.url}{P}/sections/{json.loads(answer.read())[0]['sections'][-1]['id']}"


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=120) as answer:
            return answer.read()
    except OSError:
        return None  # the viewer stopped under the request


def scanning(section):
    return json.loads(get(section + "/scan"))["scanning"]


def scan_time(path, stretch):
    """Seconds a viewer takes to scan the stretched section when left alone."""
    with dense_viewer(path, stretch) as viewer:
        section = stretched_section(viewer)
        start = time.perf_counter()
        get(section + "/executions?limit=5")
        return time.perf_counter() - start


def stop_scan(path, stretch, stop):
    """Seconds from the signal, sent 0.2 s into the scan, to the viewer's
    exit; and whether the scan was still running as the signal went."""
    with dense_viewer(path, stretch) as viewer:
        section = stretched_section(viewer)
        threading.Thread(target=get, args=(section + "/executions?limit=5",), daemon=True).start()
        while not scanning(section):
            time.sleep(0.01)
        time.sleep(0.2)
        running = scanning(section)
        sent = time.perf_counter()
        viewer.process.send_signal(stop)
        viewer.process.wait(60)
        exited = time.perf_counter() - sent
        if viewer.process.returncode != 0:
            raise RuntimeError(f"the viewer ended with status {viewer.process.returncode}")
        return exited, running


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--log-size", default="200M", help="task log bytes of the archive opened in (a) and (b)")
    parser.add_argument("--sections", type=int, default=24510)
    parser.add_argument("--stretch", type=int, default=72,
                        help="times the dense section's 4 MiB log is written again for (c)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true",
                        help="a smaller archive and scan, 2 rounds: some 10 seconds once the archives exist")
    args = parser.parse_args()
    if args.quick:
        args.log_size, args.sections, args.stretch, args.rounds = "32M", 16000, 24, 2

    path = generated_run(args.log_size, args.sections)
    dense = DATA / "stopping-dense-4M.zip"
    if not dense.exists():
        print(f"generating {dense} ...", flush=True)
        generate_archive(dense, log_bytes=4 << 20, sections=4, seed=3, scripts=1, dense_devices=True)
    with zipfile.ZipFile(path) as archive:
        last_member = archive.namelist()[-1]

    opening = opening_time(path, None)
    scan = scan_time(dense, args.stretch)
    answers = {(moment, stop): [] for moment in ("extraction", "parse") for stop in SIGNALS}
    scans = {stop: [] for stop in SIGNALS}
    for _ in range(args.rounds):
        for (moment, stop), figures in answers.items():
            figures.append(stop_opening(path, last_member, moment, stop, opening))
        for stop, figures in scans.items():
            figures.append(stop_scan(dense, args.stretch, stop))

    print(f"{path.name}: opened in {opening:.2f} s; the dense section ({args.stretch + 1} x 4 MiB) "
          f"scanned in {scan:.2f} s; {args.rounds} rounds, median (worst) in seconds")
    print(f"{'':40s} {'to Interrupted':>16s} {'to the exit':>16s}   worst exit / target {TARGET} s")

    def figure(seconds):
        return f"{statistics.median(seconds):.3f} ({max(seconds):.3f})" if seconds else "-"

    def row(label, answered, exited):
        print(f"{label:40s} {figure(answered):>16s} {figure(exited):>16s}   {max(exited) / TARGET:>25.2f}")

    for (moment, stop), figures in answers.items():
        letter = "a" if moment == "extraction" else "b"
        row(f"({letter}) {stop.name} during the {moment}", [f[0] for f in figures], [f[1] for f in figures])
    for stop, figures in scans.items():
        row(f"(c) {stop.name} during a scan", [], [f[0] for f in figures])
    running = sum(f[1] for figures in scans.values() for f in figures)
    print(f"(c) the scan still ran as the signal went in {running} of {2 * args.rounds} rounds")


if __name__ == "__main__":
    main()
