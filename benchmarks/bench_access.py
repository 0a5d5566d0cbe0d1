"""Server CPU time per request of a viewer with an access token, side by
side with the same viewer without one.

One server process serves a generated archive twice on one event loop: as
`LogViewerServer(archive)` and as `LogViewerServer(archive, access_token=...)`.
A third copy has an empty middleware instead: what aiohttp itself costs
once an application has any middleware. A load generator (wrk) on loopback
drives the same route on each in turn, several rounds; the token travels in
the cookie or in the Authorization header. The server's CPU time per
request (steadier than a request rate on shared cores) is printed as
medians with their ratio to the viewer without a token (1.00: the check
costs nothing).

    python benchmarks/bench_access.py
    python benchmarks/bench_access.py --seconds 5 --rounds 5
"""

import asyncio
import http.cookiejar
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import time
import urllib.request

from bench_server import P, load_options, pinned, require_wrk, wrk

HERE = os.path.dirname(os.path.abspath(__file__))
TOKEN = "bench-access-token"


def serve(archive_path):
    """Runs in the server process: the plain, the guarded and the empty-middleware viewer."""
    from aiohttp import web

    from tavix.log.commands.archive import Archive
    from tavix.log.commands.server import LogViewerServer

    async def start(app):
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        sock.listen(1024)
        runner = web.AppRunner(app, access_log=None)
        await runner.setup()
        await web.SockSite(runner, sock).start()
        return sock.getsockname()[1]

    @web.middleware
    async def passing(request, handler):
        return await handler(request)

    with Archive(archive_path) as archive:
        loop = asyncio.new_event_loop()
        ports = [loop.run_until_complete(start(LogViewerServer(archive, **options)))
                 for options in ({}, {"access_token": TOKEN}, {"middlewares": [passing]})]
        print(*ports, flush=True)
        try:
            loop.run_forever()
        except KeyboardInterrupt:  # how main() stops it: the archive is then left
            pass


def cpu_seconds(pid):
    """User and system CPU time that process `pid` has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    args = load_options(__doc__, seconds=3).parse_args()
    if args.serve:
        return serve(args.serve)
    require_wrk()

    import tests_path  # noqa: F401
    from helpers.archives import generate_archive

    data = os.path.join(HERE, "data")
    os.makedirs(data, exist_ok=True)
    path = os.path.join(data, "bench-access.zip")
    if not os.path.exists(path):
        generate_archive(path, log_bytes=8 << 20, sections=400, seed=3)

    src = os.path.join(os.path.dirname(HERE), "src")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([src, os.environ.get("PYTHONPATH", "")]))
    server = subprocess.Popen(pinned(0, [sys.executable, __file__, "--serve", path]),
                              stdout=subprocess.PIPE, text=True, env=env)
    try:
        plain, guarded, passed = (f"http://127.0.0.1:{port}" for port in server.stdout.readline().split())
        bearer = "Authorization: Bearer " + TOKEN
        jar = http.cookiejar.CookieJar()
        urllib.request.build_opener(urllib.request.HTTPCookieProcessor(jar)).open(
            f"{guarded}/result?token={TOKEN}").read()
        cookie = "Cookie: " + "; ".join(f"{c.name}={c.value}" for c in jar)
        sections = json.load(urllib.request.urlopen(plain + P + "/results"))[0]["sections"]
        routes = {"summary": P + "/summary",
                  "log page": P + f"/sections/{sections[1]['id']}/log?limit=4096"}
        cases = {"no token": (plain, ()), "cookie": (guarded, (cookie,)),
                 "bearer": (guarded, (bearer,)), "middleware": (passed, ())}
        print(f"{args.connections} connections, {args.rounds} rounds of {args.seconds} s; "
              "server CPU time per request (steady where other work shares the cores)")
        for route_name, route in routes.items():
            costs = {name: [] for name in cases}
            wrk(plain + route, 1, args.connections)  # warm up
            for _ in range(args.rounds):
                for name, (base, headers) in cases.items():
                    used = cpu_seconds(server.pid)
                    rate = wrk(base + route, args.seconds, args.connections, headers)
                    costs[name].append((cpu_seconds(server.pid) - used) / (rate * args.seconds))
                    time.sleep(0.2)
            baseline = statistics.median(costs["no token"])
            for name in cases:
                median = statistics.median(costs[name])
                runs = ", ".join(f"{c * 1e6:.0f}" for c in costs[name])
                print(f"  {route_name:9s} {name:10s} {median * 1e6:6.0f} us/request  ({runs})  "
                      f"ratio to no token {median / baseline:.2f}")
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(20)
        server.stdout.close()


if __name__ == "__main__":
    main()
