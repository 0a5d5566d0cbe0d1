"""The cost of a request handler call (the handler's body and its awaitable
outcome, without HTTP), for this build of the server module beside another.

    PYTHONPATH=src python benchmarks/bench_handlers.py OTHER_BUILD/server.cpython-*.so

OTHER_BUILD is another revision's tavix/log/commands/server extension, built
with scripts/dev-build in a copy of that revision. Both serve one generated
archive in one process; the calls of the two alternate, and the medians of
`--rounds` rounds of `--calls` calls each are printed with their ratio.
"""

import argparse
import asyncio
import importlib.util
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))

from aiohttp.test_utils import make_mocked_request  # noqa: E402

from tavix.log.commands import server as this_build  # noqa: E402
from tavix.log.commands.archive import Archive  # noqa: E402
import tests_path  # noqa: E402,F401
from helpers.archives import generate_archive  # noqa: E402

P = "/private/v1/standalone"


def other_build(path):
    # The last part of the name picks the module's init function.
    found = importlib.util.spec_from_file_location("other_build.server", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


async def measure(archive, builds, rounds, calls):
    section = archive.results.scripts[0]["sections"][1]["id"]
    routes = [("archive_name", "/archive_name", {}),
              ("logfile_sec", f"/sections/{section}/log?limit=2000", {"section_uuid": section})]
    apps = {name: module.LogViewerServer(archive) for name, module in builds.items()}
    seconds = {(build, route[0]): [] for build in apps for route in routes}
    for _ in range(rounds):
        for build, app in apps.items():
            for name, path, match_info in routes:
                request = make_mocked_request("GET", P + path, app=app, match_info=match_info)
                handler = getattr(app, name)
                started = time.perf_counter()
                for _ in range(calls):
                    await handler(request)
                seconds[build, name].append((time.perf_counter() - started) / calls)
    return routes, seconds


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("other", help="the other build's server extension module")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=1000)
    args = parser.parse_args(argv)
    builds = {"other": other_build(args.other), "this": this_build}
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "run.zip")
        generate_archive(path, log_bytes=200_000, sections=30, seed=2)
        with Archive(path) as archive:
            routes, seconds = asyncio.run(measure(archive, builds, args.rounds, args.calls))
    for name, *_ in routes:
        other, this = (statistics.median(seconds[build, name]) for build in ("other", "this"))
        print(f"{name:14} other {other * 1e6:8.2f} us   this {this * 1e6:8.2f} us   this/other {this / other:5.2f}")


if __name__ == "__main__":
    sys.exit(main())
