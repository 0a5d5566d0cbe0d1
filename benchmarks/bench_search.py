"""Log search over a generated 1 GB run, measured side by side with grep.

    PYTHONPATH=src python benchmarks/bench_search.py [--size 1G] [--repeat 3]

Writes (once) a run archive of one script with a task log of the given size
into benchmarks/data/, opens it, and prints, each against grep on the same
bytes (the script's section spans the whole log):

1. a literal search of the whole section, paged to the end (the native
   searcher, then through the HTTP route), against `grep -c -F`; case-
   sensitive and ignoring case (`grep -c -F -i`);
2. a regular expression, against `grep -c -E`;
3. the job search (every section's hit count) against `grep -c` over the log;
4. the time to the first answer of the section route, for a term on many
   lines and for a term that occurs once, at the end of the log;
5. in headless Chromium (when /usr/bin/chromium and Playwright are there),
   the time from Enter in the log pane's search to the highlighted line, for
   that term at the end of the log.
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
from tavix.log.commands.server import LogViewerServer  # noqa: E402
import tests_path  # noqa: E402,F401
from helpers.archives import generate_archive, parse_size  # noqa: E402

P = "/private/v1/standalone"
RARE = "needle-at-the-very-end"


def run_archive(size):
    """Path of a run archive whose one script logs about `size` bytes, written once."""
    os.makedirs(DATA, exist_ok=True)
    path = os.path.join(DATA, f"search-{size}.zip")
    if not os.path.exists(path):
        generate_archive(path + ".part", log_bytes=size, sections=max(50, size >> 16), seed=5, scripts=1)
        os.replace(path + ".part", path)
    return path


def best(repeat, work):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - started)
    return min(times), result


def grep(*args):
    done = subprocess.run(["grep", *args], capture_output=True, text=True, env={"LC_ALL": "C.UTF-8"})
    return int(done.stdout.strip() or 0)


def native_pages(archive, path, query, **options):
    hits, offset, line = 0, 0, None
    while True:
        answer = archive.search(path, 0, -1, query, offset=offset, line=line, limit=1000, **options)
        hits += len(answer["hits"])
        if answer["complete"]:
            return hits
        offset, line = answer["scanned_to"], answer["line"]


async def route_pages(client, section_id, params):
    hits, url = 0, f"{P}/sections/{section_id}/search"
    response = await client.get(url, params={**params, "limit": 1000})
    while True:
        body = await response.json()
        hits += len(body["hits"])
        if not body["next"]:
            return hits
        response = await client.get(body["next"])


def row(label, ours, theirs, count_ours, count_theirs):
    same = "" if count_ours == count_theirs else f"  (hit lines differ: {count_ours} vs {count_theirs})"
    print(f"  {label:<46} {ours:8.3f} s  grep {theirs:8.3f} s  ratio {ours / theirs:5.2f}x{same}")


async def browser_figure(client, archive, term, repeat):
    try:
        from playwright.async_api import async_playwright
    except ImportError:
        return print("  (skipped: Playwright is not installed)")
    if not os.path.exists("/usr/bin/chromium"):
        return print("  (skipped: no /usr/bin/chromium)")
    url = str(client.make_url("/result/task/0/section/1"))
    async with async_playwright() as p:
        browser = await p.chromium.launch(executable_path="/usr/bin/chromium", args=["--no-sandbox"])
        page = await browser.new_page(viewport={"width": 1440, "height": 860})
        times = []
        for _ in range(repeat):
            await page.goto(url)
            await page.wait_for_selector("#log-lines .ln")
            await page.fill("#log-search", term)
            started = time.perf_counter()
            await page.press("#log-search", "Enter")
            await page.wait_for_selector("#log-lines .ln.hit mark.current")
            times.append(time.perf_counter() - started)
        await browser.close()
    print(f"  {term!r:<46} {min(times) * 1000:8.1f} ms")


async def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", default="1G", help="task log size (default 1G)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per figure; the best counts")
    args = parser.parse_args()
    size = parse_size(args.size)
    zip_path = run_archive(size)

    with Archive(zip_path) as archive:
        script = archive.results.scripts[0]["sections"][0]
        log = os.path.join(archive.dir, script["log_file"])
        with open(log, "ab") as f:  # one rare line, at the very end
            f.write(f"{RARE}\n".encode())
        archive.search(log, 0, -1, "warm the page cache", limit=1)
        subprocess.run(["cat", log], stdout=subprocess.DEVNULL)
        print(f"task log {os.path.getsize(log) / 2**20:.0f} MiB, {len(archive.results.sections_dict)} sections;"
              f" best of {args.repeat}")

        print("1. literal search of the whole section, all pages")
        for term, case, grep_args in [("Traffic stream 3", True, ["-c", "-F"]),
                                      ("traffic stream 3", False, ["-c", "-F", "-i"]),
                                      (RARE, True, ["-c", "-F"])]:
            ours, hits = best(args.repeat, lambda: native_pages(archive, log, term, case=case))
            theirs, count = best(args.repeat, lambda: grep(*grep_args, term, log))
            row(f"{term!r} case={int(case)} (native, pages of 1000)", ours, theirs, hits, count)

        client = TestClient(TestServer(LogViewerServer(archive)))
        await client.start_server()
        try:
            section_id = script["id"]
            for term, case, grep_args in [(RARE, True, ["-c", "-F"]), ("Unexpected answer", False, ["-c", "-F", "-i"])]:
                params = {"q": term, "case": int(case)}
                started = time.perf_counter()
                hits = await route_pages(client, section_id, params)
                ours = time.perf_counter() - started
                theirs, count = best(args.repeat, lambda: grep(*grep_args, term, log))
                row(f"{term!r} case={int(case)} (HTTP route)", ours, theirs, hits, count)

            print("2. regular expression of the whole section, all pages")
            for pattern in [r"loss 0\.[0-9]+ %", r"(Traffic|Neighbour) [a-z]+ [0-9]+"]:
                ours, hits = best(args.repeat, lambda: native_pages(archive, log, pattern, regex=True, case=True))
                theirs, count = best(args.repeat, lambda: grep("-c", "-E", pattern, log))
                row(f"{pattern!r} (native)", ours, theirs, hits, count)

            print("3. job search: hit counts of every section")
            for term in ["Unexpected answer", RARE]:
                async def job():
                    body = await (await client.get(f"{P}/search", params={"q": term, "case": 1})).json()
                    return body["total"]
                times = []
                for _ in range(args.repeat):
                    started = time.perf_counter()
                    total = await job()
                    times.append(time.perf_counter() - started)
                theirs, count = best(args.repeat, lambda: grep("-c", "-F", term, log))
                row(f"{term!r} (HTTP route)", min(times), theirs, total, count)

            print("4. time to the first answer of the section route")
            for term in ["Traffic stream", RARE]:
                times = []
                for _ in range(args.repeat):
                    started = time.perf_counter()
                    body = await (await client.get(f"{P}/sections/{section_id}/search", params={"q": term})).json()
                    times.append(time.perf_counter() - started)
                print(f"  {term!r:<46} {min(times) * 1000:8.1f} ms  ({len(body['hits'])} hits,"
                      f" scanned to {body['scanned_to'] / 2**20:.0f} MiB)")

            print("5. in the browser: Enter to the highlighted hit at the end of the log")
            await browser_figure(client, archive, RARE, args.repeat)
        finally:
            await client.close()


if __name__ == "__main__":
    asyncio.run(main())
