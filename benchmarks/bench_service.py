"""The team service at a team's scale, side by side with the local viewer.

In one run, against `tavix logs serve` in a process of its own (auth none,
a fresh store, index and cache in a temporary directory):

1. pushing the generated 200 MB / 24,510-section archive with `tavix logs
   push`, beside copying the file and opening it with `Archive`;
2. the first paint of that run once the service has restarted (nothing in
   its cache: the entry page, metadata, summary and tree answered), beside
   `tavix logs view` opening the archive until its tree answers;
3. the home page (its HTML and /api/v1/suites) with --runs small runs of
   --suites suites, and again once 500 marks are on the large run's suite,
   with the page of runs the home page then lists for that suite;
4. --users concurrent users browsing random runs for --seconds: each visit
   the run's page, its summary and tree, a random section and its log's
   first page; p50 and p99 of the page routes, errors, the service's largest
   resident memory.

With --replicas N, instead: N replicas on a PostgreSQL index of their own
behind HAProxy (deploy/haproxy.cfg, checking every second), --runs small runs
pushed through it (200 at most), and --users users browsing through HAProxy
for --seconds, each request whose connection drops sent once more as the
front end does; replica 1 is SIGKILLed halfway. Errors users saw after that
retry, and p99 of the page routes before and after the kill.

    PYTHONPATH=src python benchmarks/bench_service.py [--log-size 200M] [--sections 24510]
        [--runs 1000] [--suites 20] [--users 20] [--seconds 60]
    PYTHONPATH=src python benchmarks/bench_service.py --replicas 2 --users 40 --seconds 60
"""
import argparse
import asyncio
import json
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

import tests_path  # noqa: F401
from bench_opening import generated_run
from helpers.history_runs import make_run
from helpers.processes import child_environment, rss_kib

from tavix.log.commands.archive import Archive

VIEWER = "/private/v1/standalone"


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def tavix(*argv, env, **kwargs):
    return subprocess.Popen([sys.executable, "-m", "tavix.cli.main", "logs", *argv], env=env, **kwargs)


def wait_until_up(url, process, deadline=120):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if process.poll() is not None:
            raise SystemExit("the process ended: %s" % process.returncode)
        try:
            with urllib.request.urlopen(url, timeout=5) as answer:
                answer.read()
                return
        except OSError:
            time.sleep(0.02)
    raise SystemExit("%s never answered" % url)


class Service:
    def __init__(self, root, env):
        self.root, self.env, self.port = root, env, free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        self.process = None

    def start(self, cache="cache"):
        self.process = tavix("serve", "--auth", "none", "--host", "127.0.0.1", "--port", str(self.port),
                             "--store", str(self.root / "store"), "--index", str(self.root / "index.sqlite"),
                             "--cache", str(self.root / cache), "--max-archive-size", "8G",
                             env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until_up(self.url + "/healthz", self.process)

    def stop(self):
        self.process.terminate()
        self.process.wait(30)


def timed(call, *args):
    start = time.perf_counter()
    call(*args)
    return time.perf_counter() - start


def push_figures(service, path, scratch, env):
    def copy_and_open():
        copy = scratch / "copy.zip"
        shutil.copyfile(path, copy)
        with Archive(copy):
            pass
        copy.unlink()

    def push():
        subprocess.run([sys.executable, "-m", "tavix.cli.main", "logs", "push", str(path), "--to", service.url],
                       env=env, check=True, stdout=subprocess.DEVNULL)

    local = timed(copy_and_open)
    pushed = timed(push)
    print("push of %s (%.0f MB): %.2f s; copying it and opening it: %.2f s; ratio %.2f (target <= 2)"
          % (path.name, path.stat().st_size / 1e6, pushed, local, pushed / local))


def request_id_of(path):
    with Archive(path) as archive:
        return archive.results.meta["request_id"]


def first_paint(base):
    """Seconds until the entry page and the first answers the front end waits for are in."""
    start = time.perf_counter()
    for route in ("/result/", VIEWER + "/metadata", VIEWER + "/summary", VIEWER + "/tree"):
        with urllib.request.urlopen(base + route, timeout=300) as answer:
            answer.read()
    return time.perf_counter() - start


def first_paint_figures(service, path, env):
    request_id = request_id_of(path)
    service.stop()
    service.start(cache="cache-cold")
    cold = first_paint("%s/runs/%s" % (service.url, request_id))
    port = free_port()
    start = time.perf_counter()
    viewer = tavix("view", str(path), "--no-browser", "--no-token", "--no-index", "--host", "127.0.0.1",
                   "--port", str(port), env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until_up("http://127.0.0.1:%d%s/tree" % (port, VIEWER), viewer, deadline=300)
        local = time.perf_counter() - start
    finally:
        viewer.terminate()
        viewer.wait(30)
    print("first paint of a run not in the cache: %.2f s; tavix logs view opening it: %.2f s; "
          "ratio %.2f (target <= 1.5)" % (cold, local, cold / local))


def many_runs(scratch, runs, suites):
    paths = []
    for number in range(runs):
        suite = "suite-%02d" % (number % suites)
        day = number // suites
        cases = [("case-%d" % i, "failed" if (i + day) % 7 == 0 else "passed") for i in range(12)]
        paths.append(make_run(scratch / ("run-%04d.zip" % number), "%s-%04d" % (suite, day),
                              "2026-%02d-%02dT01:00:00" % (1 + day // 28 % 12, 1 + day % 28), cases, suite=suite))
    return paths


async def push_all(url, paths):
    import aiohttp

    async with aiohttp.ClientSession() as session:
        queue = list(paths)

        async def worker():
            while queue:
                path = queue.pop()
                async with session.post(url + "/api/v1/runs", data=path.read_bytes()) as answer:
                    if answer.status not in (200, 201):
                        raise SystemExit("push of %s: %s %s" % (path, answer.status, await answer.text()))

        await asyncio.gather(*(worker() for _ in range(4)))


def route_times(service, routes, rounds=20):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for route in routes:
            with urllib.request.urlopen(service.url + route, timeout=60) as answer:
                answer.read()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000, max(times) * 1000


def home_figures(service, count, suites, marked=""):
    print("home page with %d runs of %d suites%s: median %.0f ms, worst %.0f ms (target <= 200 ms)"
          % ((count, suites, marked) + route_times(service, ("/", "/api/v1/suites"))))


def marked_home_figures(service, big, count, suites):
    """The home page once 500 marks are on the large run's suite, and that suite's page of runs."""
    from bench_triage import mark_failures
    from tavix.log.commands.history import RunIndex, content_hash

    with RunIndex("sqlite:///%s" % (service.root / "index.sqlite")) as index:
        run = index.find(content_hash(big))
        marks, _ = mark_failures(index, run, 500)
    home_figures(service, count, suites, ", %d marks on %s" % (marks, run["suite_name"]))
    route = "/api/v1/runs?" + urllib.parse.urlencode({"suite": run["suite_name"], "limit": 50})
    print("its runs listed on the home page: median %.0f ms, worst %.0f ms" % route_times(service, (route,)))


async def browse(service, request_ids, users, seconds):
    import aiohttp

    latencies, errors, peak = [], [], [0]
    end = time.monotonic() + seconds

    async def timed_get(session, path):
        start = time.perf_counter()
        async with session.get(service.url + path) as answer:
            body = await answer.read()
            if answer.status != 200:
                errors.append((path, answer.status))
                return None
        latencies.append(time.perf_counter() - start)
        return body

    async def user(seed):
        rng = random.Random(seed)
        async with aiohttp.ClientSession() as session:
            while time.monotonic() < end:
                await visit(lambda path: timed_get(session, path), rng, request_ids)

    async def watch_memory():
        while time.monotonic() < end:
            peak[0] = max(peak[0], rss_kib(service.process.pid))
            await asyncio.sleep(1)

    await asyncio.gather(watch_memory(), *(user(i) for i in range(users)))
    latencies.sort()
    p50 = latencies[len(latencies) // 2] * 1000
    p99 = latencies[int(len(latencies) * 0.99)] * 1000
    print("%d users for %d s: %d requests, p50 %.0f ms, p99 %.0f ms (target <= 300), %d errors, "
          "resident memory up to %.0f MB (target <= 1 GB)"
          % (users, seconds, len(latencies), p50, p99, len(errors), peak[0] / 1024))


async def visit(get, rng, request_ids):
    """A user's look at a random run: its page, summary and tree, a section and
    its log's first page; get(path) answers the body, or None."""
    base = "/runs/%s" % rng.choice(request_ids)
    await get(base + "/result/")
    await get(base + VIEWER + "/summary")
    tree = await get(base + VIEWER + "/tree")
    if tree is None:
        return
    rows = json.loads(tree)["rows"]
    section = rng.choice([row for row in rows if row[7] is None])[0]
    await get("%s%s/sections/%s" % (base, VIEWER, section))
    await get("%s%s/sections/%s/log?offset=0&limit=65536" % (base, VIEWER, section))


async def browse_through_failover(url, request_ids, users, seconds, kill):
    """(latencies before the kill, after it, errors after the retry): `kill()` runs halfway."""
    import aiohttp

    before, after, errors, retried = [], [], [], []
    start = time.monotonic()
    end, kill_at = start + seconds, start + seconds / 2
    killed = []

    async def get(session, path):
        began = time.perf_counter()
        for attempt in (1, 2):
            try:
                async with session.get(url + path) as answer:
                    body = await answer.read()
                    status = answer.status
                break
            except aiohttp.ClientConnectionError as error:
                retried.append(path)
                if attempt == 2:
                    errors.append((path, type(error).__name__))
                    return None
        if status != 200:
            errors.append((path, status))
            return None
        (after if killed else before).append(time.perf_counter() - began)
        return body

    async def user(seed):
        rng = random.Random(seed)
        async with aiohttp.ClientSession() as session:
            while time.monotonic() < end:
                await visit(lambda path: get(session, path), rng, request_ids)

    async def killer():
        await asyncio.sleep(kill_at - time.monotonic())
        killed.append(time.monotonic())
        await asyncio.get_running_loop().run_in_executor(None, kill)

    await asyncio.gather(killer(), *(user(i) for i in range(users)))
    return before, after, errors, len(retried)


def p99(latencies):
    latencies = sorted(latencies)
    return latencies[int(len(latencies) * 0.99)] * 1000 if latencies else float("nan")


def failover_figures(args, scratch):
    from helpers.postgres import PostgresCluster, initdb_directory
    from helpers.replicas import Replicas

    cluster = PostgresCluster(initdb_directory())
    try:
        replicas = Replicas(cluster.new_database(), scratch / "replicas", count=args.replicas)
        with replicas:
            replicas.start()
            url = replicas.balance(check_ms=1000, haproxy=shutil.which("haproxy") or "/usr/sbin/haproxy")
            small = many_runs(scratch, min(args.runs, 200), args.suites)
            asyncio.run(push_all(url, small))
            request_ids = [request_id_of(path) for path in small]
            before, after, errors, retried = asyncio.run(browse_through_failover(
                url, request_ids, args.users, args.seconds, lambda: replicas.kill(0)))
    finally:
        cluster.stop()
    print("%d replicas behind HAProxy, %d users for %d s, replica 1 killed at %d s: %d requests, "
          "p99 %.0f ms before the kill, %.0f ms after it (target <= 500), %d connections dropped and sent again, "
          "%d errors after the retry (target 0)%s" % (
              args.replicas, args.users, args.seconds, args.seconds // 2, len(before) + len(after), p99(before),
              p99(after), retried, len(errors), ": %s" % errors[:5] if errors else ""))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--log-size", default="200M")
    parser.add_argument("--sections", type=int, default=24510)
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--suites", type=int, default=20)
    parser.add_argument("--users", type=int, default=20)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--replicas", type=int, default=0)
    args = parser.parse_args()
    if args.replicas:
        import pathlib

        with tempfile.TemporaryDirectory(prefix="tavix-bench-replicas-") as directory:
            failover_figures(args, pathlib.Path(directory))
        return

    big = generated_run(args.log_size, args.sections)
    env = child_environment()
    with tempfile.TemporaryDirectory(prefix="tavix-bench-service-") as directory:
        import pathlib

        scratch = pathlib.Path(directory)
        service = Service(scratch, env)
        service.start()
        try:
            push_figures(service, big, scratch, env)
            first_paint_figures(service, big, env)
            small = many_runs(scratch, args.runs, args.suites)
            asyncio.run(push_all(service.url, small))
            home_figures(service, args.runs + 1, args.suites + 1)
            marked_home_figures(service, big, args.runs + 1, args.suites + 1)
            request_ids = [request_id_of(path) for path in small[: 200]] + [request_id_of(big)]
            asyncio.run(browse(service, request_ids, args.users, args.seconds))
        finally:
            service.stop()


if __name__ == "__main__":
    main()
