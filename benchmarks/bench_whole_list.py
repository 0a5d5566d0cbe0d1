"""Log pages of other sections while the whole list of a big section's device
commands is built.

    PYTHONPATH=src python benchmarks/bench_whole_list.py                  # ~300,000 commands
    PYTHONPATH=src python benchmarks/bench_whole_list.py --src OTHER_TREE/src

Generates (once, into benchmarks/data/) a run archive of dense device output
(a command about every 650 bytes, all of them in the script-level section),
serves it with `tavix logs view` from the tree `--src` (this one by default),
scans the big section, then asks for its whole list of commands
(`…/sections/{id}/executions`, no paging) while another client reads log
pages of the other sections one after another. Prints the slowest and the
p99 of those pages while the list is built, beside the same on an idle
server, and the time the whole list took (target: slowest ≤ 100 ms).
"""

import argparse
import os
import sys
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench_viewer  # noqa: E402
from bench_viewer import P, Viewer, dense_archive, page_load, percentile  # noqa: E402


def whole_list(viewer, big, rounds):
    """Page latencies while the whole list is built `rounds` times, and the list's times."""
    sections = [s for s in sections_of(viewer) if s["id"] != big["id"]]
    during, took = [], []
    for _ in range(rounds):
        stop, latencies = threading.Event(), []
        worker = threading.Thread(target=page_load, args=(viewer, sections, stop, latencies))
        worker.start()
        started = time.perf_counter()
        with urllib.request.urlopen(viewer.base + P + f"/sections/{big['id']}/executions") as answer:
            size = len(answer.read())
        took.append(time.perf_counter() - started)
        stop.set()
        worker.join()
        during += latencies
    return during, took, size


def sections_of(viewer):
    return [s for task in viewer.get("/results") for s in task["sections"]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--log-size", default="200M", help="task log bytes of the generated archive")
    parser.add_argument("--sections", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--src", default=bench_viewer.SRC, help="the src/ of the tree to serve from")
    args = parser.parse_args()

    archive = dense_archive("whole-list", args.log_size, args.sections)
    bench_viewer.SRC = os.path.abspath(args.src)
    viewer = Viewer(archive)
    try:
        sections = sections_of(viewer)
        big = sections[0]
        total = viewer.get(f"/sections/{big['id']}/executions?limit=1")["total"]  # scanned, kept
        idle, stop = [], threading.Event()
        worker = threading.Thread(target=page_load, args=(viewer, sections[1:], stop, idle))
        worker.start()
        time.sleep(3)
        stop.set()
        worker.join()
        during, took, size = whole_list(viewer, big, args.rounds)
    finally:
        viewer.stop()
    print(f"tree: {args.src}")
    print(f"the big section: {total:,} commands, whole list {size / 1e6:.0f} MB, "
          f"built in {min(took):.2f} s (best of {args.rounds})")
    print(f"log pages, idle server:        slowest {max(idle) * 1e3:7.1f} ms, p99 "
          f"{percentile(idle, 0.99) * 1e3:6.1f} ms ({len(idle)} requests)")
    print(f"log pages, whole list building: slowest {max(during) * 1e3:7.1f} ms, p99 "
          f"{percentile(during, 0.99) * 1e3:6.1f} ms ({len(during)} requests; target: slowest <= 100 ms)")


if __name__ == "__main__":
    main()
