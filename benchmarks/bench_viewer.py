"""The viewer at the scale of a nightly run, driven in Chromium.

    PYTHONPATH=src python benchmarks/bench_viewer.py                       # 1 GB, 50,000 sections
    PYTHONPATH=src python benchmarks/bench_viewer.py --log-size 200M --sections 20000
    PYTHONPATH=src python benchmarks/bench_viewer.py --log-size 1150M   # ~1.75 million commands in one section

Generates (once, into benchmarks/data/) a run archive of dense device output
(a command about every 650 bytes, all of them in the script-level section),
serves it with `tavix logs view --no-browser --no-token`, and prints in one
run, each beside its target:

1. the time from navigation to the first tree row painted;
2. the time from clicking the big section to its first device-command rows,
   cold scan included, and from a jump to the end to the last command drawn;
3. the page's JavaScript heap;
4. the server's resident memory before and after, what the scan of the big
   section adds to it, and what single requests (a big file's lines, a
   command's log, a refused huge page) add;
5. the p99 latency of log-page and tree requests while a cold scan of the
   big section runs, against the same requests on an idle server (a second
   server process, so the scan is cold again);
6. the time Ctrl-C takes to end the viewer while that scan runs (a third
   server process).
"""

import argparse
import json
import os
import random
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
import urllib.request

import tests_path  # noqa: F401
from helpers.processes import rss_kib

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(os.path.dirname(HERE), "src")
P = "/private/v1/standalone"
CHROMIUM = "/usr/bin/chromium"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Viewer:
    """`tavix logs view` serving the archive in a child process."""

    def __init__(self, archive):
        self.port = free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        command = [sys.executable, "-c", "import sys; from tavix.cli.main import main; sys.exit(main())",
                   "logs", "view", archive, "--no-browser", "--no-token", "--host", "127.0.0.1",
                   "--port", str(self.port)]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([SRC, os.environ.get("PYTHONPATH", "")]))
        started = time.perf_counter()
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                        env=env)
        self.output = []
        threading.Thread(target=self._drain, daemon=True).start()
        while not any("View at" in line for line in self.output):
            if self.process.poll() is not None:
                raise SystemExit("the viewer stopped:\n" + "".join(self.output))
            time.sleep(0.05)
        self.opened_in = time.perf_counter() - started
        self.get("/metadata")

    def _drain(self):
        for line in self.process.stdout:
            self.output.append(line)

    def get(self, suffix):
        with urllib.request.urlopen(self.base + (suffix if suffix.startswith(P) else P + suffix)) as answer:
            return json.loads(answer.read())

    def timed(self, suffix):
        started = time.perf_counter()
        try:
            with urllib.request.urlopen(self.base + P + suffix) as answer:
                answer.read()
        except urllib.error.HTTPError as error:
            error.read()
        return time.perf_counter() - started

    @property
    def rss(self):
        return rss_kib(self.process.pid)

    def stop(self):
        self.process.terminate()
        self.process.wait(60)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def page_load(viewer, sections, stop, latencies):
    """Log pages of random sections and the tree, one after another, until `stop`."""
    rng = random.Random(1)
    while not stop.is_set():
        section = rng.choice(sections)
        offset = rng.randrange(0, max(1, int(section["log_size"]))) // 20480 * 20480
        latencies.append(viewer.timed(f"/sections/{section['id']}/log?offset={offset}&limit=20480"))
        if rng.random() < 0.1:
            latencies.append(viewer.timed("/tree"))


def scan_latencies(archive, sections_of, seconds_idle):
    """p99 of page requests on an idle server, then during a cold scan of the big section."""
    viewer = Viewer(archive)
    try:
        sections = sections_of(viewer)
        big = sections[0]
        idle, stop = [], threading.Event()
        worker = threading.Thread(target=page_load, args=(viewer, sections, stop, idle))
        worker.start()
        time.sleep(seconds_idle)
        stop.set()
        worker.join()
        during, stop = [], threading.Event()
        worker = threading.Thread(target=page_load, args=(viewer, sections, stop, during))
        worker.start()
        started = time.perf_counter()
        first = viewer.get(f"/sections/{big['id']}/executions?limit=1")
        scan = time.perf_counter() - started
        stop.set()
        worker.join()
        return idle, during, scan, first["total"]
    finally:
        viewer.stop()


def ctrl_c_during_scan(archive, sections_of):
    """Seconds from Ctrl-C, sent 0.2 s into a cold scan of the big section, to
    the viewer's exit; and whether the scan was still running then."""
    viewer = Viewer(archive)
    try:
        big = sections_of(viewer)[0]
        threading.Thread(target=lambda: viewer.timed(f"/sections/{big['id']}/executions?limit=1"),
                         daemon=True).start()
        while not viewer.get(f"/sections/{big['id']}/scan")["scanning"]:
            time.sleep(0.01)
        time.sleep(0.2)
        running = viewer.get(f"/sections/{big['id']}/scan")["scanning"]
        started = time.perf_counter()
        viewer.process.send_signal(signal.SIGINT)
        viewer.process.wait(60)
        return time.perf_counter() - started, running
    finally:
        if viewer.process.poll() is None:
            viewer.stop()


def dense_archive(name, log_size, sections):
    """A run archive of dense device output in benchmarks/data/, all its commands
    in the script-level section, generated once."""
    from helpers.archives import generate_archive, parse_size

    data = os.path.join(HERE, "data")
    os.makedirs(data, exist_ok=True)
    archive = os.path.join(data, f"{name}-{log_size}-{sections}-dense.zip")
    if not os.path.exists(archive):
        print(f"generating {archive} ...", flush=True)
        generate_archive(archive, log_bytes=parse_size(log_size), sections=sections, seed=3, scripts=1,
                         dense_devices=True)
    return archive


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--log-size", default="1G", help="task log bytes of the generated archive")
    parser.add_argument("--sections", type=int, default=50000)
    args = parser.parse_args()

    from playwright.sync_api import sync_playwright

    archive = dense_archive("viewer", args.log_size, args.sections)

    def sections_of(viewer):
        scripts = viewer.get("/results")
        return [s for task in scripts for s in task["sections"]]

    results = {}
    viewer = Viewer(archive)
    try:
        results["opened"] = viewer.opened_in
        sections = sections_of(viewer)
        script = sections[0]
        rss_idle = viewer.rss
        with sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path=CHROMIUM, headless=True, args=["--no-sandbox"])
            page = browser.new_page(viewport={"width": 1440, "height": 900})
            cdp = page.context.new_cdp_session(page)
            cdp.send("Performance.enable")

            started = time.perf_counter()
            page.goto(viewer.base + "/result")
            page.wait_for_selector("#task-tree .node")
            results["tree"] = time.perf_counter() - started
            page.wait_for_selector("body[data-ready=true]")

            rss_before_scan = viewer.rss
            started = time.perf_counter()
            page.click(f"#task-tree .node[data-key='task/0/section/{script['sequence_number']}']")
            # The section's record comes first; opening it starts the scan.
            page.wait_for_function("name => document.querySelector('#section-title').textContent === name",
                                   arg=script["section_name"])
            page.click("#section-view .tab[data-view=executions]")
            scanning_seen = False
            while not page.query_selector("#executions-body .exe-row .cmd"):
                if not scanning_seen and "scanning" in (page.text_content("#exe-count") or ""):
                    scanning_seen = True
                    page.screenshot(path=os.path.join(data, "bench-viewer-scanning.png"))
                page.wait_for_timeout(50)
            results["rows"] = time.perf_counter() - started
            rss_after_scan = viewer.rss
            page.screenshot(path=os.path.join(data, "bench-viewer-devices.png"))
            total = int(page.inner_text("#exe-count").replace(",", ""))

            started = time.perf_counter()
            page.click("#exe-end")
            page.wait_for_selector(f"#executions-body .exe-row[data-index='{total - 1}'] .cmd")
            results["end"] = time.perf_counter() - started
            page.click(f"#executions-body .exe-row[data-index='{total - 1}']")
            page.wait_for_function("document.querySelector('#execution-lines').textContent.includes('+++')")
            metrics = {m["name"]: m["value"] for m in cdp.send("Performance.getMetrics")["metrics"]}
            results["heap"] = metrics["JSHeapUsedSize"] / 2 ** 20
            results["dom"] = metrics["Nodes"]
            browser.close()
        rss_after_browser = viewer.rss

        # Single requests that used to hold whole files or sections.
        growth = {}
        executions = viewer.get(f"/sections/{script['id']}/executions?limit=1&offset={total // 2}")
        for name, suffix in [
                ("task log file lines", "/filelines/" + urllib.request.quote(script["log_file"], safe="")),
                ("log page limit 1e12", f"/sections/{script['id']}/log?limit={10 ** 12}"),
                ("a command's log", f"/sections/{script['id']}/{executions['executions'][0]['execute_id']}/log"),
                ("task log download", "/download/" + urllib.request.quote(script["log_file"], safe=""))]:
            before = viewer.rss
            viewer.timed(suffix)
            growth[name] = (viewer.rss - before) / 1024
        rss_after = viewer.rss
    finally:
        viewer.stop()

    idle, during, scan, commands = scan_latencies(archive, sections_of, seconds_idle=5)
    stopped_in, stopped_scanning = ctrl_c_during_scan(archive, sections_of)

    size = os.path.getsize(archive)
    print(f"archive {os.path.basename(archive)} ({size / 2 ** 20:.0f} MiB zip): {len(sections):,} sections, "
          f"{commands:,} device commands in the script section; opened in {results['opened']:.1f} s")

    def line(label, value, unit, target=None):
        ratio = f"   {value / target:5.2f} x target ({target:g} {unit})" if target else ""
        print(f"  {label:52s} {value:9.2f} {unit}{ratio}")

    line("navigation to first tree row", results["tree"], "s", 1.0)
    line("click to first device-command rows (cold scan)", results["rows"], "s", 1.5)
    print(f"  {'':52s} scan indicator seen: {'yes' if scanning_seen else 'no'}")
    line("jump to the end to last command drawn", results["end"], "s", 0.5)
    line("JS heap", results["heap"], "MiB", 150)
    print(f"  {'DOM nodes':52s} {results['dom']:9.0f}")
    line("server RSS idle", rss_idle / 1024, "MiB")
    line("server RSS before the scan", rss_before_scan / 1024, "MiB")
    line("server RSS growth of the scan (first rows drawn)", (rss_after_scan - rss_before_scan) / 1024, "MiB", 250)
    line("server RSS after the browser (scan cache held)", rss_after_browser / 1024, "MiB")
    line("server RSS after all", rss_after / 1024, "MiB")
    for name, grown in growth.items():
        line(f"RSS growth of one request: {name}", grown, "MiB", 64)
    p99_idle, p99_during = percentile(idle, 0.99) * 1000, percentile(during, 0.99) * 1000
    line(f"p99 of page requests, idle ({len(idle)} requests)", p99_idle, "ms")
    line(f"p99 of page requests during cold scan ({len(during)} requests)", p99_during, "ms", 100)
    print(f"  {'':52s} p99 during scan / idle: {p99_during / p99_idle:.2f}; "
          f"median {statistics.median(during) * 1000:.1f} ms vs {statistics.median(idle) * 1000:.1f} ms; "
          f"scan answered in {scan:.2f} s")
    line("Ctrl-C during the cold scan to the viewer's exit", stopped_in, "s", 1.0)
    print(f"  {'':52s} scan still running when Ctrl-C was sent: {'yes' if stopped_scanning else 'no'}")


if __name__ == "__main__":
    main()
