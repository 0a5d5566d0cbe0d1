"""Requests per second of the section-log page endpoint, side by side with
aiohttp's floor.

One server process serves a generated archive with the viewer and, on the
same application and event loop, two extra routes:

  .../floor       an aiohttp handler answering the same JSON body from memory
                  (what the framework itself costs per request);
  .../pylog       the page endpoint written in plain Python, for comparison.

Both sit below the viewer's prefix and are registered after its routes, so
the router does at least as much work for them as for the real page route.

A load generator (wrk) on loopback drives each URL in turn, several rounds,
and the medians are printed with their ratios to the floor.

    python benchmarks/bench_server.py                  # 64 MB of task logs
    python benchmarks/bench_server.py --log-size 1G    # the large archive
"""

import argparse
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
P = "/private/v1/standalone"
PAGE = 20480


def serve(archive_path):
    """Runs in the server process: the viewer plus the comparison routes."""
    from aiohttp import web

    from tavix.log.commands.archive import Archive
    from tavix.log.commands.server import LogViewerServer

    with Archive(archive_path) as archive:
        app = LogViewerServer(archive)
        header = {"Access-Control-Allow-Origin": "*"}
        floor_body = {}

        async def floor(request):
            return web.json_response(floor_body, headers=header)

        async def set_floor(request):
            floor_body.clear()
            floor_body.update(await request.json())
            return web.json_response({})

        async def python_page(request):
            sec_uuid = request.match_info["section_uuid"]
            try:
                log_section = archive.results.get_section(sec_uuid)
            except Exception:
                return web.json_response({"detail": f"Section_{sec_uuid}_RETRIEVE_FAIL"},
                                         status=500, headers=header)
            offset = int(request.query.get("offset", 0))
            limit = int(request.query.get("limit", PAGE))
            if offset < 0 or limit <= 0:
                return web.json_response(
                    {"detail": "offset must be greater or equal to 0, limit must be greater than 0"},
                    status=500, headers=header)
            try:
                data = log_section.read_logs(offset, limit)
                url = request.path
                previous = f"{url}?offset={offset - limit}&limit={limit}" if offset - limit >= 0 else None
                following = (f"{url}?offset={offset + limit}&limit={limit}"
                             if offset + limit < log_section.log_size else None)
                return web.json_response({"previous": previous, "next": following,
                                          "file_content": data}, headers=header)
            except Exception:
                return web.json_response({"detail": "SECTION_LOG_READ_FAIL"}, status=500,
                                         headers=header)

        app.router.add_get(P + "/sections/{section_uuid}/floor", floor)
        app.router.add_post(P + "/floor", set_floor)
        app.router.add_get(P + "/sections/{section_uuid}/pylog", python_page)
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        sock.listen(1024)
        print(sock.getsockname()[1], flush=True)
        app.serve(sock=sock, print=None, access_log=None)


def pinned(cpu, command):
    """The command bound to one CPU when taskset is there: server and load
    generator then do not take turns on the same core."""
    return (["taskset", "-c", str(cpu)] + command) if shutil.which("taskset") and os.cpu_count() > 1 else command


def wrk(url, seconds, connections, headers=()):
    options = [word for header in headers for word in ("-H", header)]
    out = subprocess.run(pinned(1, ["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", *options, url]),
                         capture_output=True, text=True, check=True).stdout
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if errors:
        raise SystemExit(f"{url}: {errors.group(1)} failed responses")
    return float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))


def load_options(doc, seconds):
    """The options of a benchmark driven by wrk: the length of each run, the
    rounds, the connections, and the hidden --serve of its server process.
    Ends the benchmark when wrk is missing (unless serving)."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=seconds, help="per wrk run")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--connections", type=int, default=50)
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    return parser


def require_wrk():
    if not shutil.which("wrk"):
        raise SystemExit("needs the wrk load generator (Debian package wrk)")


def main():
    parser = load_options(__doc__, seconds=5)
    parser.add_argument("--log-size", default="64M", help="task log bytes of the generated archive")
    parser.add_argument("--sections", type=int, default=2000)
    args = parser.parse_args()
    if args.serve:
        return serve(args.serve)
    require_wrk()

    import tests_path  # noqa: F401
    from helpers.archives import generate_archive, parse_size

    data = os.path.join(HERE, "data")
    os.makedirs(data, exist_ok=True)
    path = os.path.join(data, f"bench-server-{args.log_size}-{args.sections}.zip")
    if not os.path.exists(path):
        print(f"generating {path} ...", flush=True)
        generate_archive(path, log_bytes=parse_size(args.log_size), sections=args.sections, seed=3)

    src = os.path.join(os.path.dirname(HERE), "src")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([src, os.environ.get("PYTHONPATH", "")]))
    server = subprocess.Popen(pinned(0, [sys.executable, __file__, "--serve", path]),
                              stdout=subprocess.PIPE, text=True, env=env)
    try:
        base = f"http://127.0.0.1:{int(server.stdout.readline())}"
        scripts = json.load(urllib.request.urlopen(base + P + "/results"))
        section = next(s for task in scripts for s in task["sections"]
                       if int(s["log_size"]) >= 3 * PAGE)
        query = f"/sections/{section['id']}/log?offset={PAGE}&limit={PAGE}"
        page = json.load(urllib.request.urlopen(base + P + query))
        size = len(page["file_content"].encode())
        request = urllib.request.Request(base + P + "/floor", data=json.dumps(page).encode(),
                                         headers={"Content-Type": "application/json"})
        urllib.request.urlopen(request).read()
        urls = {"native page": base + P + query,
                "python page": base + P + query.replace("/log?", "/pylog?"),
                "floor": base + P + query.replace("/log?", "/floor?")}
        assert json.load(urllib.request.urlopen(urls["floor"])) == page
        assert json.load(urllib.request.urlopen(urls["python page"]))["file_content"] == page["file_content"]
        rates = {name: [] for name in urls}
        wrk(urls["floor"], 1, args.connections)  # warm up
        for _ in range(args.rounds):
            for name, url in urls.items():
                rates[name].append(wrk(url, args.seconds, args.connections))
                time.sleep(0.2)
        floor = statistics.median(rates["floor"])
        print(f"archive {os.path.basename(path)}, page of {size} bytes, "
              f"{args.connections} connections, {args.rounds} rounds of {args.seconds} s")
        for name in urls:
            median = statistics.median(rates[name])
            runs = ", ".join(f"{r:.0f}" for r in rates[name])
            print(f"  {name:12s} {median:9.0f} req/s  ({runs})  ratio to floor {median / floor:.2f}")
    finally:
        server.terminate()
        server.wait(20)
        server.stdout.close()


if __name__ == "__main__":
    main()
