"""Memory bounded by the answer, not by the input: peak resident memory of
fresh processes.

(1) Two runs of about 1 MB each whose one section holds a LINES-line log of
    one-byte lines (100 million, 200 MB, by default), "a" in the base and "b"
    in the new run, so that every line differs:
    - `tavix logs diff BASE NEW --path big.py/huge`, against the same command
      on two one-line runs (its resting size);
    - the viewer of the new run with the other as its baseline: one
      GET prefix/sections/{id}/diff, then two at once, against the server's
      size once both runs are open.
(2) A run of one testcase holding DEPTH (10,000) steps, each inside the one
    before: `tavix logs failures`, `search` (the deepest step's line) and
    `export --junit`.

    PYTHONPATH=src python benchmarks/bench_memory.py [--lines 100000000] [--depth 10000]

Runs are written to benchmarks/data/ on first use. The machine is shared:
times vary from run to run, memory hardly.
"""

import argparse
import multiprocessing
import os
import pathlib
import subprocess
import sys
import tempfile
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data"
SOURCE = HERE.parent / "src"
import tests_path  # noqa: F401,E402
from helpers.hand_made_runs import deep_step_run  # noqa: E402
from tavix.log.commands.parser.xml import NAMESPACE  # noqa: E402

MB = 1 << 20

SERVER_PROBE = """
import asyncio, resource, sys
from aiohttp.test_utils import TestClient, TestServer
from tavix.log.commands.archive import Archive
from tavix.log.commands.parser import base
from tavix.log.commands.server import LogViewerServer

def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

async def main(base_run, new_run):
    (sid,) = [i for i, p in base.section_paths(new_run.results).items() if p[-1] == "huge"]
    client = TestClient(TestServer(LogViewerServer(new_run, baseline=base_run)))
    await client.start_server()
    url = "/private/v1/standalone/sections/%s/diff" % sid
    async def diff():
        response = await client.get(url)
        body = await response.json()
        assert response.status == 200, body
        return body
    try:
        rest = peak()
        body = await diff()
        one = peak()
        await asyncio.gather(diff(), diff())
        two = peak()
    finally:
        await client.close()
    print(rest, one, two, body["approximate"], len(body["hunks"][0]["lines"]))

with Archive(sys.argv[1]) as base_run, Archive(sys.argv[2]) as new_run:
    asyncio.run(main(base_run, new_run))
"""


def one_byte_run(path, byte, lines):
    """A run whose section "huge" of big.py spans a log of `lines` lines of `byte`."""
    size = 2 * lines
    section = (f"<testcase><initinfo><name>huge</name><logfile begin=\"0\" size=\"{size}\">TaskLog.0</logfile>"
               f"<xref><file>t.py</file></xref></initinfo><result>failed</result></testcase>")
    summary = "<summary><pass>0</pass><fail>1</fail><skip>0</skip></summary>"
    results = (f'<?xml version="1.0"?><results xmlns="{NAMESPACE}"><testsuite><initinfo><name>nightly</name>'
               f"<jobid>job-1</jobid><host>lab1</host></initinfo>{summary}<jobexecution><testscript>"
               f"<initinfo><taskid>big.py</taskid><script><name>big.py</name><path>/ws</path></script>"
               f"<logfile>TaskLog.0</logfile></initinfo><result>failed</result>{summary}{section}"
               f"</testscript></jobexecution></testsuite></results>")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        archive.writestr("ResultsDetails.xml", results)
        chunk = (byte + b"\n") * min(lines, 1 << 20)
        with archive.open("TaskLog.0", "w", force_zip64=True) as log:
            left = lines
            while left:
                part = chunk[:2 * min(left, len(chunk) // 2)]
                log.write(part)
                left -= len(part) // 2
    return path


def cached(name, make):
    """The run `make` writes, made in a child process: a child started later
    would count this process's size in its peak."""
    path = DATA / name
    if not path.exists():
        DATA.mkdir(exist_ok=True)
        maker = multiprocessing.get_context("fork").Process(target=make, args=(path.with_suffix(".tmp"),))
        maker.start()
        maker.join()
        if maker.exitcode:
            raise SystemExit("could not write %s" % path)
        path.with_suffix(".tmp").rename(path)
    return path


def environment(home):
    return dict(os.environ, PYTHONPATH=str(SOURCE), HOME=home, TMPDIR=home, TAVIX_CONFIG=home + "/none.cfg")


def command_peak(env, *argv):
    """Peak resident bytes of `tavix logs ARGV` in a fresh process."""
    child = subprocess.Popen([sys.executable, "-m", "tavix.cli.main", "logs", *map(str, argv)], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    error = child.stderr.read().decode()
    child.stderr.close()
    if status:
        raise SystemExit("tavix logs %s failed: %s" % (" ".join(map(str, argv)), error))
    return usage.ru_maxrss * 1024


def diff_benchmark(lines, env):
    base = cached("memory-%d-a.zip" % lines, lambda p: one_byte_run(p, b"a", lines))
    new = cached("memory-%d-b.zip" % lines, lambda p: one_byte_run(p, b"b", lines))
    tiny_base = cached("memory-1-a.zip", lambda p: one_byte_run(p, b"a", 1))
    tiny_new = cached("memory-1-b.zip", lambda p: one_byte_run(p, b"b", 1))
    print("diff of %d one-byte lines a side (zips of %.2f and %.2f MB):" % (
        lines, base.stat().st_size / 1e6, new.stat().st_size / 1e6))
    rest = command_peak(env, "diff", tiny_base, tiny_new, "--path", "big.py/huge")
    peak = command_peak(env, "diff", base, new, "--path", "big.py/huge")
    print("  tavix logs diff: peak %.0f MiB, resting %.0f MiB, above resting %.0f MiB (budget 256 MiB)" % (
        peak / MB, rest / MB, (peak - rest) / MB))
    done = subprocess.run([sys.executable, "-c", SERVER_PROBE, str(base), str(new)], env=env,
                          capture_output=True, text=True, check=True)
    rest, one, two, approximate, shown = done.stdout.split()
    rest, one, two = int(rest), int(one), int(two)
    print("  viewer route: open %.0f MiB; one request: peak %.0f MiB (+%.0f MiB); two at once: peak %.0f MiB "
          "(+%.0f MiB); approximate=%s, %s lines shown" % (rest / MB, one / MB, (one - rest) / MB, two / MB,
                                                          (two - rest) / MB, approximate, shown))


def deep_benchmark(depth, env, home):
    run = cached("memory-deep-%d.zip" % depth, lambda p: deep_step_run(p, depth) and None)
    print("%d nested steps (zip of %.0f KB):" % (depth, run.stat().st_size / 1e3))
    for argv in (["failures", run], ["search", run, "step %d failed" % (depth - 1)],
                 ["export", run, "--junit", home + "/junit.xml"]):
        print("  tavix logs %s: peak %.0f MiB (target 300 MB = 286 MiB)" % (argv[0], command_peak(env, *argv) / MB))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--lines", type=int, default=100_000_000)
    parser.add_argument("--depth", type=int, default=10_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as home:
        env = environment(home)
        diff_benchmark(args.lines, env)
        deep_benchmark(args.depth, env, home)


if __name__ == "__main__":
    main()
