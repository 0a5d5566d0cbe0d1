"""The browser front end against an earlier revision's, side by side.

    PYTHONPATH=src python benchmarks/bench_front_end.py [--against main] [--sections 20000] [--rounds 7]

Generates (once, into benchmarks/data/) a run of many sections, serves it
twice from one process, with the working tree's static files and with those
of the git revision given, and measures both in headless Chromium,
interleaved round by round so that the machine's load falls on both alike:

1. the time from navigation to the first tree row;
2. scrolling the test tree from top to bottom in 40 drawn steps (bound by
   the frame rate while drawing keeps up);
3. ten names typed into the tree's filter box, each cleared again;
4. the page's JavaScript heap after a garbage collection, and the tree rows
   in the DOM.

Prints the median of each for both and the ratio working tree / revision.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DATA = os.path.join(HERE, "data")
STATIC = "src/tavix/log/commands/static"
CHROMIUM = "/usr/bin/chromium"

sys.path.insert(0, os.path.join(ROOT, "src"))

from aiohttp import web  # noqa: E402
from tavix.log.commands.archive import Archive  # noqa: E402
from tavix.log.commands.server import HERE as SERVER_HERE, LogViewerServer  # noqa: E402
import tests_path  # noqa: E402,F401
from helpers.archives import generate_archive  # noqa: E402
from helpers.server_thread import ServerThread  # noqa: E402

SCROLL = """async () => {
  const panel = document.querySelector('#tests-panel');
  for (let i = 1; i <= 40; i++) {
    panel.scrollTop = panel.scrollHeight * i / 40;
    await new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done)));
  }
}"""
FIGURES = ["first tree row (s)", "tree scrolled in 40 steps (s)", "10 name filters (s)", "JS heap (MB)",
           "tree rows in the DOM"]


def static_of(revision, into):
    """The front end's files of git `revision`, written below `into`; their directory."""
    archive = subprocess.run(["git", "-C", ROOT, "archive", revision, STATIC], check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", into], input=archive, check=True)
    return os.path.join(into, STATIC)


def viewer(archive, static):
    """A viewer of `archive` whose front end's files come from the directory `static`."""
    app = LogViewerServer(archive)

    @web.middleware
    async def front_end(request, handler):
        path = request.path
        if not path.startswith(("/private/", "/result/archive/")):
            file = os.path.join(static, "index.html" if path.startswith("/result") else path.lstrip("/"))
            if os.path.isfile(file):
                return web.FileResponse(file)
        return await handler(request)

    app.middlewares.append(front_end)
    return app


def measure(page, url):
    started = time.perf_counter()
    page.goto(url + "/result")
    page.wait_for_selector("#task-tree .node")
    first = time.perf_counter() - started
    page.wait_for_selector("body[data-ready=true]")
    started = time.perf_counter()
    page.evaluate(SCROLL)
    scroll = time.perf_counter() - started
    started = time.perf_counter()
    for name in ["Interface", ""] * 5:
        page.fill("#name-filter", name)
    filters = time.perf_counter() - started
    heap = page.evaluate("gc(), performance.memory.usedJSHeapSize") / 1e6
    rows = page.evaluate("document.querySelectorAll('#task-tree .node').length")
    return first, scroll, filters, heap, rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--against", default="main", help="git revision whose front end is the baseline")
    parser.add_argument("--sections", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    if not os.path.exists(CHROMIUM):
        return print("needs /usr/bin/chromium")
    from playwright.sync_api import sync_playwright

    os.makedirs(DATA, exist_ok=True)
    path = os.path.join(DATA, f"front-end-{args.sections}.zip")
    if not os.path.exists(path):
        generate_archive(path, log_bytes=args.sections * 1200, sections=args.sections, seed=4)
    with tempfile.TemporaryDirectory() as scratch, Archive(path) as archive:
        servers = {}
        for name, static in [(args.against, static_of(args.against, scratch)),
                             ("working tree", os.path.join(SERVER_HERE, "static"))]:
            servers[name] = ServerThread(viewer(archive, static))
            with urllib.request.urlopen(servers[name].url + "/tree.js") as answer:
                with open(os.path.join(static, "tree.js"), "rb") as expected:
                    assert answer.read() == expected.read(), f"{name}: another front end is served"
        figures = {name: [] for name in servers}
        with sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path=CHROMIUM, headless=True, args=[
                "--no-sandbox", "--enable-precise-memory-info", "--js-flags=--expose-gc"])
            for round_ in range(args.rounds):
                for name in list(servers)[::1 if round_ % 2 else -1]:
                    page = browser.new_page(viewport={"width": 1440, "height": 860})
                    figures[name].append(measure(page, servers[name].url))
                    page.close()
            browser.close()
        for server in servers.values():
            server.stop()
    medians = {name: [statistics.median(column) for column in zip(*rows)] for name, rows in figures.items()}
    base, new = medians[args.against], medians["working tree"]
    print(f"{args.sections:,} sections, medians of {args.rounds} interleaved rounds")
    print(f"{'':32}{args.against:>14}{'working tree':>14}{'ratio':>8}")
    for label, old, now in zip(FIGURES, base, new):
        print(f"{label:32}{old:14.3f}{now:14.3f}{now / old:8.2f}")


if __name__ == "__main__":
    main()
