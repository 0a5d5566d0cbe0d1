"""`tavix logs search`, `failures` and `export` beside grep and the opening.

    PYTHONPATH=src python benchmarks/bench_terminal.py [--size 200M] [--sections 5000]
                                                       [--rounds 3] [--text TEXT]

Writes (once) a run archive of that size into benchmarks/data/ with failure
causes, then runs each command as a user would (a new interpreter, the
archive opened from its zip), interleaved round by round, and prints the
median wall times and these ratios:

1. `tavix logs search ARCHIVE TEXT --case` beside `grep -c -F TEXT` over
   the same task logs taken from the same zip (`unzip -p ARCHIVE LOGS |
   grep -c -F TEXT`), start-up included on both sides; and beside `grep`
   over the logs already extracted, next to the search alone inside an
   opened archive (what the command adds to the opening);
2. `tavix logs failures` and `tavix logs export --junit` beside opening
   the archive (a new interpreter entering `Archive(path)`).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
SRC = os.path.join(HERE, "..", "src")
sys.path.insert(0, SRC)

from tavix.log.commands.archive import Archive  # noqa: E402
import tests_path  # noqa: E402,F401
from helpers.archives import generate_archive, parse_size  # noqa: E402

OPEN = "import sys; from tavix.log.commands.archive import Archive\nwith Archive(sys.argv[1]): pass"
SEARCH_ALONE = """import sys, time
from tavix.log.commands.archive import Archive
with Archive(sys.argv[1]) as a:
    logs = sorted({s.logfile for s in map(a.results.get_section, [t["sections"][0]["id"] for t in a.results.scripts])})
    start = time.perf_counter()
    for log in logs:
        offset, line, line_start = 0, 0, 0
        while True:
            r = a.search(log, 0, -1, sys.argv[2], case=True, offset=offset, line=line, line_start=line_start,
                         limit=10000, max_seconds=60, max_bytes=1 << 62)
            if r["complete"]:
                break
            offset, line, line_start = r["scanned_to"], r["line"], r["line_start"]
    print(time.perf_counter() - start)
"""


def archive_path(size, sections):
    os.makedirs(DATA, exist_ok=True)
    path = os.path.join(DATA, "terminal-%s-%d.zip" % (size, sections))
    if not os.path.exists(path):
        print("writing", path, file=sys.stderr)
        generate_archive(path, log_bytes=parse_size(size), sections=sections, seed=5, failure_causes=True)
    return path


def timed(command, shell=False):
    env = dict(os.environ, PYTHONPATH=SRC)
    start = time.perf_counter()
    done = subprocess.run(command, shell=shell, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if done.returncode not in (0, 1):  # grep -c exits 1 on no match
        raise SystemExit("failed: %s\n%s" % (command, done.stderr.decode()))
    return elapsed, done.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", default="200M")
    parser.add_argument("--sections", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--text", default="Retrying the connection")
    args = parser.parse_args()
    path = archive_path(args.size, args.sections)
    with Archive(path) as opened:
        logs = sorted({s["log_file"] for t in opened.results.scripts for s in t["sections"]})
    extracted = tempfile.mkdtemp(prefix="bench-terminal.")
    subprocess.run(["unzip", "-q", "-o", path, *logs, "-d", extracted], check=True)
    quoted_logs = " ".join("'%s'" % log for log in logs)
    junit = os.path.join(extracted, "junit.xml")
    python = sys.executable
    commands = {
        "open": [python, "-c", OPEN, path],
        "failures": [python, "-m", "tavix.cli.main", "logs", "failures", path],
        "export": [python, "-m", "tavix.cli.main", "logs", "export", path, "--junit", junit],
        "search": [python, "-m", "tavix.cli.main", "logs", "search", path, args.text, "--case"],
        "unzip|grep": "unzip -p '%s' %s | grep -c -F '%s'" % (path, quoted_logs, args.text),
        "grep": ["grep", "-c", "-F", args.text] + [os.path.join(extracted, log) for log in logs],
    }
    times = {name: [] for name in commands}
    alone = []
    hits = None
    for _ in range(args.rounds):
        for name, command in commands.items():
            elapsed, out = timed(command, shell=isinstance(command, str))
            times[name].append(elapsed)
            if name == "search":
                hits = out.count(b"\n")
        alone.append(float(timed([python, "-c", SEARCH_ALONE, path, args.text])[1]))
    median = {name: statistics.median(values) for name, values in times.items()}
    search_alone = statistics.median(alone)
    print("archive: %s (%s of task logs, %d sections); %d lines hold %r"
          % (path, args.size, args.sections, hits, args.text))
    for name, value in median.items():
        print("  %-11s %7.3f s" % (name, value))
    print("  %-11s %7.3f s  (inside an opened archive)" % ("search only", search_alone))
    print("ratios (median of %d interleaved rounds; a shared machine: noisy):" % args.rounds)
    print("  search / (unzip -p | grep -c -F)   %5.2f" % (median["search"] / median["unzip|grep"]))
    print("  search / grep -c -F (extracted)    %5.2f" % (median["search"] / median["grep"]))
    print("  search only / grep -c -F           %5.2f" % (search_alone / median["grep"]))
    print("  failures / open                    %5.2f" % (median["failures"] / median["open"]))
    print("  export / open                      %5.2f" % (median["export"] / median["open"]))


if __name__ == "__main__":
    main()
