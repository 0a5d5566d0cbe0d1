"""Log pages while a large JSON answer is written.

    PYTHONPATH=src python benchmarks/bench_loop_answers.py                # 40,000 sections
    PYTHONPATH=src python benchmarks/bench_loop_answers.py --sections 100000

Serves a generated run (made once into benchmarks/data/) and, while one
client fetches `/results` (every record of the run) over and over, another
reads log pages of small sections. Prints, side by side in one run, the
slowest and p99 log-page latencies and the time of one `/results` answer for
the server as it is and for one whose `/results` is json_response on the
event loop, as it once was.
"""

import argparse
import asyncio
import json
import os
import socket
import statistics
import threading
import time
import urllib.request

from aiohttp import web

import tests_path  # noqa: F401
from helpers.archives import generate_archive
from tavix.log.commands.archive import Archive
from tavix.log.commands.server import LogViewerServer

HERE = os.path.dirname(os.path.abspath(__file__))
P = "/private/v1/standalone"


class OnLoop(LogViewerServer):
    """The results route as it was: the whole body made on the loop."""

    async def results(self, request):
        return web.json_response(self.archive.results.scripts, headers=self._default_header)


class DumpsInWorker(LogViewerServer):
    """json.dumps in a worker thread: off the loop, but holding the interpreter lock."""

    async def results(self, request):
        body = await asyncio.get_running_loop().run_in_executor(None, json.dumps, self.archive.results.scripts)
        return web.Response(body=body.encode(), content_type="application/json", headers=self._default_header)


def serve(app):
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    loop = asyncio.new_event_loop()
    runner = web.AppRunner(app)
    started = threading.Event()

    def run():
        asyncio.set_event_loop(loop)
        loop.run_until_complete(runner.setup())
        loop.run_until_complete(web.SockSite(runner, sock).start())
        started.set()
        loop.run_forever()
        loop.run_until_complete(runner.cleanup())
        loop.close()

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    started.wait(30)
    return "http://127.0.0.1:%d" % sock.getsockname()[1], lambda: (loop.call_soon_threadsafe(loop.stop),
                                                                   thread.join(30))


def get(url):
    with urllib.request.urlopen(url, timeout=120) as response:
        return response.read()


def measure(archive, server_class, rounds):
    base, stop = serve(server_class(archive))
    ids = [r["id"] for task in archive.results.scripts for r in task["sections"]][1:200]
    get(base + P + "/results")  # warm
    done, latencies, whole = threading.Event(), [], []

    def fetch_results():
        for _ in range(rounds):
            began = time.perf_counter()
            get(base + P + "/results")
            whole.append(time.perf_counter() - began)
        done.set()

    worker = threading.Thread(target=fetch_results)
    worker.start()
    i = 0
    while not done.is_set():
        began = time.perf_counter()
        get(base + P + "/sections/%s/log?limit=4096" % ids[i % len(ids)])
        latencies.append(time.perf_counter() - began)
        i += 1
    worker.join()
    stop()
    latencies.sort()
    return max(latencies), latencies[int(len(latencies) * 0.99)], statistics.median(whole), len(latencies)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sections", type=int, default=40_000)
    parser.add_argument("--rounds", type=int, default=4)
    args = parser.parse_args()
    os.makedirs(os.path.join(HERE, "data"), exist_ok=True)
    path = os.path.join(HERE, "data", "loop-answers-%d.zip" % args.sections)
    if not os.path.exists(path):
        generate_archive(path, log_bytes=args.sections * 1000, sections=args.sections, seed=2)
    with Archive(path) as archive:
        size = len(get_size(archive))
        print("run of %d sections, /results %.1f MB" % (args.sections, size / 1e6))
        print("%-24s %12s %12s %14s %8s" % ("", "slowest page", "p99 page", "one /results", "pages"))
        for name, server_class in [("written in a worker", LogViewerServer), ("json.dumps in a worker", DumpsInWorker),
                                   ("json_response on loop", OnLoop)]:
            slowest, p99, one, count = measure(archive, server_class, args.rounds)
            print("%-24s %9.1f ms %9.1f ms %11.0f ms %8d" % (name, slowest * 1e3, p99 * 1e3, one * 1e3, count))


def get_size(archive):
    return json.dumps(archive.results.scripts).encode()


if __name__ == "__main__":
    main()
