"""Searching every stored run at once, beside grep over the same logs.

On 30 generated runs of a 50 MB suite (1.5 GB of task logs; written to
benchmarks/data/ on first use, with failure causes so that rare lines
exist), recorded in a run index of their own with their search indexes:

- each query through `tavix logs search --runs all --case --json` (a fresh
  process, as a user runs it: time to the first hit and to the last), beside
  `grep -r -F` / `grep -r -E` over the task logs extracted into a directory
  and read once before, so they are in the page cache: a literal found on
  about 3 lines, a literal found in every run, a regex with a literal part,
  a regex with none (a scan of the zips);
- the search index's size beside the zipped archive's;
- building the index (build_search_index of the run's task logs) beside
  `unzip -p ARCHIVE > /dev/null`.

It prints figures; it is not a test.

    PYTHONPATH=src python benchmarks/bench_search_runs.py [--runs 30] [--log-size 50M] [--sections 2000] [--rounds 3]
"""

import argparse
import os
import pathlib
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

import tests_path  # noqa: F401
from helpers.archives import generate_archive, parse_size
from tavix.log.commands import archive
from tavix.log.commands.history.run_search.zip_source import section_map_from_zip

DATA = pathlib.Path(__file__).resolve().parent / "data"
SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
# Texts of the failure causes the generator writes in some runs or all.
EVERY_RUN_CANDIDATES = ("never came up after", "exceeds the threshold of", "waiting for the prompt of device",
                        "Configuration rejected by")
REGEX_WITH_LITERAL = r"BGP neighbor [0-9.]+ \(AS [0-9]+\)"
REGEX_WITHOUT = r"[0-9]+\.[0-9]+%"


def generated_runs(count, log_size, sections):
    """The generated runs in benchmarks/data/, written on first use (seeds 1...count)."""
    folder = DATA / f"search-runs-{log_size}-{sections}"
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for seed in range(1, count + 1):
        path = folder / f"run-{seed}.zip"
        if not path.exists():
            print(f"generating {path} ...", flush=True)
            generate_archive(path, log_bytes=parse_size(log_size), sections=sections, seed=seed,
                             failure_causes=True)
        paths.append(path)
    return paths


def timed(call, *args, **kwargs):
    start = time.perf_counter()
    answer = call(*args, **kwargs)
    return time.perf_counter() - start, answer


def build_figures(paths, work):
    """(index bytes, zip bytes, build seconds, unzip -p seconds) of each run."""
    figures = []
    for path in paths:
        members = section_map_from_zip(str(path)).members()
        target = os.path.join(work, "built.index")
        built, answer = timed(archive.build_search_index, str(path), target, members)
        with open(os.devnull, "wb") as devnull:
            unzipped, _ = timed(subprocess.run, ["unzip", "-p", str(path)], stdout=devnull, check=True)
        figures.append((answer["index_bytes"], path.stat().st_size, built, unzipped))
        os.unlink(target)
    return figures


def extracted_logs(paths, work):
    """The task logs of every run, extracted under work/logs/run-N/ and read once."""
    root = os.path.join(work, "logs")
    for number, path in enumerate(paths, 1):
        members = section_map_from_zip(str(path)).members()
        with zipfile.ZipFile(path) as opened:
            for member in members:
                opened.extract(member, os.path.join(root, "run-%d" % number))
    for folder, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(folder, name), "rb") as stream:
                while stream.read(1 << 24):
                    pass
    return root


def grep_time(root, query, regex, rounds):
    option = "-E" if regex else "-F"
    times = []
    for _ in range(rounds):
        with open(os.devnull, "wb") as devnull:
            took, _ = timed(subprocess.run, ["grep", "-r", option, "-e", query, root], stdout=devnull)
        times.append(took)
    counted = subprocess.run(["grep", "-r", "-h", "-c", option, "-e", query, root], stdout=subprocess.PIPE,
                             text=True).stdout.split()
    return statistics.median(times), sum(map(int, counted))


def search_time(query, regex, environment, rounds):
    """(first hit, all hits: median seconds from the start of the command; hits, notices)."""
    command = [sys.executable, "-m", "tavix.cli.main", "logs", "search", "--runs", "all", query, "--case", "--json"]
    if regex:
        command.append("-E")
    firsts, totals = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=subprocess.PIPE, env=environment)
        first, hits, notices = None, 0, 0
        for line in process.stdout:
            if first is None and not line.startswith(b'{"notice"'):
                first = time.perf_counter() - start
            if line.startswith(b'{"notice"'):
                notices += 1
            else:
                hits += 1
        process.wait()
        totals.append(time.perf_counter() - start)
        firsts.append(first if first is not None else float("nan"))
    return statistics.median(firsts), statistics.median(totals), hits, notices


def rare_literal(root, rng):
    """A text of a failure cause found on about 3 lines of all the logs: a
    number of a cause line, cut shorter until enough lines hold it."""
    errors = subprocess.run(["grep", "-r", "-h", "-F", "-e", "-ERROR:", root], stdout=subprocess.PIPE,
                            text=True, errors="replace").stdout.splitlines()
    words = [word for line in errors for word in re.findall(r"AS \d{5}|after \d{5} seconds", line)]
    best = None
    for _ in range(20 if words else 0):
        word = rng.choice(words)
        digits = re.search(r"\d+", word)
        for end in range(digits.end(), digits.start() + 2, -1):
            literal = word[:end]
            counted = subprocess.run(["grep", "-r", "-h", "-c", "-F", "-e", literal, root],
                                     stdout=subprocess.PIPE, text=True).stdout.split()
            lines = sum(map(int, counted))
            if best is None or abs(lines - 3) < abs(best[1] - 3):
                best = (literal, lines)
            if lines >= 3:
                break
        if best[1] == 3:
            break
    if best is None:
        raise SystemExit("no failure cause in the generated logs")
    return best[0]


def every_run_literal(root, runs):
    for literal in EVERY_RUN_CANDIDATES:
        found = subprocess.run(["grep", "-r", "-l", "-F", "-e", literal, root], stdout=subprocess.PIPE,
                               text=True).stdout.split()
        if len({pathlib.Path(p).relative_to(root).parts[0] for p in found}) == runs:
            return literal
    raise SystemExit("no literal of the failure causes is in every run")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--log-size", default="50M")
    parser.add_argument("--sections", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    paths = generated_runs(args.runs, args.log_size, args.sections)
    work = tempfile.mkdtemp(prefix="tavix.bench-search-runs.")
    try:
        figures = build_figures(paths, work)
        index_bytes, zip_bytes = sum(f[0] for f in figures), sum(f[1] for f in figures)
        ratios = [f[2] / f[3] for f in figures]
        print(f"search index: {index_bytes / 2**20:.1f} MiB for {zip_bytes / 2**20:.1f} MiB of zips "
              f"({100 * index_bytes / zip_bytes:.1f} % of the zipped archives; target <= 25 %)")
        print(f"building: median {statistics.median(f[2] for f in figures):.2f} s a run, unzip -p "
              f"{statistics.median(f[3] for f in figures):.2f} s: ratio median {statistics.median(ratios):.2f}, "
              f"worst {max(ratios):.2f} (target <= 3)")

        environment = dict(os.environ, HOME=work, TAVIX_INDEX=os.path.join(work, "index.sqlite"),
                           PYTHONPATH=os.pathsep.join([str(SRC)] + sys.path))
        took, _ = timed(subprocess.run, [sys.executable, "-m", "tavix.cli.main", "logs", "index",
                                         *map(str, paths)], env=environment, stdout=subprocess.DEVNULL, check=True)
        print(f"tavix logs index of {len(paths)} runs (recording and search indexes): {took:.1f} s")
        root = extracted_logs(paths, work)
        rng = random.Random(7)
        queries = [("a literal on a few lines", rare_literal(root, rng), False, 0.05),
                   ("a literal in every run", every_run_literal(root, len(paths)), False, None),
                   ("a regex with a literal part", REGEX_WITH_LITERAL, True, 0.2),
                   ("a regex with none", REGEX_WITHOUT, True, 2)]
        for label, query, regex, target in queries:
            grep, grep_lines = grep_time(root, query, regex, args.rounds)
            first, total, hits, notices = search_time(query, regex, environment, args.rounds)
            goal = "" if target is None else f"; target <= {target}x"
            print(f"{label} {query!r}: tavix {total:.3f} s (first hit {first:.3f} s; target <= 0.3 s), {hits} hits"
                  f"{f', {notices} notices' if notices else ''}; grep -r {'-E' if regex else '-F'} {grep:.3f} s, "
                  f"{grep_lines} lines: {total / grep:.2f}x{goal}")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
