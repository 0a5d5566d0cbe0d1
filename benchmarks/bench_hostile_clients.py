"""The viewer under clients that misbehave, measured from outside its process.

1. Slow readers: 200 clients ask for the lines of a 6 MB text file or a
   4 MiB page of control bytes and never read the answers. Printed: the
   server's resident memory before, at its highest meanwhile and 5 s after
   they have gone, and how long /summary takes meanwhile, against the same
   requests on the idle server (the ratio).
2. Abandoned searches: 12 job searches with a costly regular expression over
   64 MB of task log, dropped by their clients after 1 s. Printed: the
   server's processor time in the 2 s after they left and in the 2 s after
   that, and how long a section search takes meanwhile against idle.

    python benchmarks/bench_hostile_clients.py

The machine is shared: figures vary from run to run; run it a few times.
"""

import os
import socket
import statistics
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))

import tests_path  # noqa: E402,F401
from helpers.archives import generate_archive  # noqa: E402
from helpers.processes import (LARGE_FILES, ViewerProcess, cpu_seconds, rss_kib,  # noqa: E402
                                     stalled_requests)

P = "/private/v1/standalone"
COSTLY = "[a-q][^u-z]{20}x"

# The last section of the first task runs to the end of a log grown to 64 MB.
LARGE_LOG = """
first = archive.results.scripts[0]
section = archive.results.get_section(first["sections"][-1]["id"])
log = section.logfile
with open(log, "rb") as f:
    text = f.read()
with open(log, "ab") as f:
    for _ in range((64 << 20) // len(text)):
        f.write(text)
section.log_size = -1
"""


def timed_get(url):
    started = time.perf_counter()
    with urllib.request.urlopen(url, timeout=60) as answer:
        answer.read()
    return time.perf_counter() - started


def slow_readers(path):
    with ViewerProcess(path, LARGE_FILES) as viewer:
        summary = viewer.url + P + "/summary"
        idle = [timed_get(summary) for _ in range(20)]
        before = rss_kib(viewer.pid)
        clients = stalled_requests(viewer.port, [P + "/filelines/big.txt", P + "/filepage/zeros.bin?limit=4194304"] * 100)
        loaded, highest = [], before
        for _ in range(30):
            loaded.append(timed_get(summary))
            highest = max(highest, rss_kib(viewer.pid))
            time.sleep(0.1)
        for s in clients:
            s.close()
        time.sleep(5)
        after = rss_kib(viewer.pid)
    print("200 clients that do not read their answers")
    print(f"  memory: {before / 1024:.0f} MB before, {highest / 1024:.0f} MB at most meanwhile, "
          f"{after / 1024:.0f} MB 5 s after they left")
    print(f"  /summary: median {statistics.median(loaded) * 1000:.1f} ms, slowest {max(loaded) * 1000:.1f} ms "
          f"meanwhile; idle median {statistics.median(idle) * 1000:.1f} ms "
          f"(ratio {statistics.median(loaded) / statistics.median(idle):.1f})")


def abandoned_searches(path):
    with ViewerProcess(path, LARGE_LOG) as viewer:
        with urllib.request.urlopen(viewer.url + P + "/results") as answer:
            section = __import__("json").load(answer)[0]["sections"][1]["id"]
        section_search = viewer.url + P + f"/sections/{section}/search?q=host"
        idle = [timed_get(section_search) for _ in range(10)]

        statuses = []

        def drop_after_a_second(i):
            s = socket.create_connection(("127.0.0.1", viewer.port))
            s.sendall(f"GET {P}/search?q={COSTLY}{'x' * i}&regex=1 HTTP/1.1\r\nHost: localhost\r\n\r\n".encode())
            s.settimeout(1)
            try:
                statuses.append(s.recv(12)[9:12].decode())
            except socket.timeout:
                statuses.append("running")
            s.close()

        threads = [threading.Thread(target=drop_after_a_second, args=(i,)) for i in range(12)]
        for t in threads:
            t.start()
        time.sleep(0.3)
        loaded = [timed_get(section_search) for _ in range(3)]
        for t in threads:
            t.join()
        left = cpu_seconds(viewer.pid)
        time.sleep(2)
        first = cpu_seconds(viewer.pid) - left
        time.sleep(2)
        second = cpu_seconds(viewer.pid) - left - first
    print("12 costly job searches dropped by their clients after 1 s")
    print(f"  answers before they left: {sorted(statuses)} (429: over the per-client limit)")
    print(f"  processor time after they left: {first:.2f} s in the first 2 s, {second:.2f} s in the next 2 s")
    print(f"  section search meanwhile: median {statistics.median(loaded) * 1000:.0f} ms; idle "
          f"{statistics.median(idle) * 1000:.0f} ms (ratio {statistics.median(loaded) / statistics.median(idle):.1f})")


def main():
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "run.zip")
        generate_archive(path, log_bytes=400_000, sections=30, seed=2, scripts=1)
        slow_readers(path)
        abandoned_searches(path)


if __name__ == "__main__":
    main()
