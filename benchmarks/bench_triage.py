"""Marks on a large run: what they cost the commands that show them, beside indexing it.

    PYTHONPATH=src python benchmarks/bench_triage.py [--log-size 200M] [--sections 24510] [--marks 500]
        [--repeat 5]

The run is bench_opening.py's generated one (benchmarks/data/run-200M-24510.zip,
written on first use). --marks marks go on its suite: one on each of its
failure signatures but the last, the rest on paths failing with those; the
last signature's sections stay unmarked. Printed, each the median of --repeat
(the commands taken in turns, so that a busier moment of the machine falls
on all alike):

1. side by side, each command in a process of its own as a user runs it,
   in wall-clock and in processor seconds:
   `tavix logs index` of the run on a fresh index (the measure), then
   `failures --json`, `export --junit` and `history --json` of it on an index
   where it is recorded, without marks and with the marks. The extra of the
   marks (with them minus without) is given as a share of indexing; so is,
   for `failures` and `export`, all that the run index adds (with the marks
   minus without a usable index, where they leave the marks out);
2. in this process: recording the run again (under another content hash)
   before the marks and with them; what the commands do with the index
   (`run_marks`, and the reports' use of it: `failures_with_marks` and
   `failing_node_marks` of report_marks.py) without marks and with them,
   the extra as a share of the index command above (steadier than the
   commands' own difference, which a shared machine blurs); `history`
   beside them, and `marks` (the suite's listing);
3. on a hand-made run of --marks + 300 failing sections, each with a cause
   of its own: `RunIndex.run_suggestions` for the 300 left unmarked, with a
   signature mark on each of the others.
"""

import argparse
import os
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))

from bench_opening import generated_run  # noqa: E402
from tavix.log.commands.archive import Archive  # noqa: E402
from tavix.log.commands.history import RunIndex, index_url, report_marks  # noqa: E402
from tavix.log.commands.parser.base import failure_categories  # noqa: E402
import tests_path  # noqa: E402,F401
from helpers.history_runs import make_run  # noqa: E402
from helpers.processes import child_environment  # noqa: E402

UNMARKED = 300
WORDS = ("link", "down", "timeout", "waiting", "for", "prompt", "disk", "full", "on", "port", "refused",
         "connection", "session", "dropped", "peer", "reset", "interface", "error", "counter", "mismatch")


def timed(call, repeat):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        answer = call()
        times.append(time.perf_counter() - started)
    return statistics.median(times), answer


def mark_failures(index, run, count):
    """Sets `count` marks on the suite of `run`: one on each of its failure
    signatures but the last, the rest on the paths of sections failing with
    those. (marks set, failing sections with a cause that no mark applies to)."""
    suite = run["suite_name"]
    answer = index.run_marks(run)
    signatures = [c["signature"] for c in answer["categories"]]
    failing = [n for n in answer["nodes"] if n["signature"] is not None]
    marked_signatures = signatures[:max(0, len(signatures) - 1)][:count]
    for signature in marked_signatures:
        index.set_mark(suite, signature=signature, kind="product-bug", author="bench")
    by_path = [n for n in failing if n["signature"] in marked_signatures]
    for node in by_path[:max(0, count - len(marked_signatures))]:
        index.set_mark(suite, path=node["path"], kind="test-bug", author="bench")
    return len(index.marks(suite)), sum(1 for n in failing if n["signature"] not in marked_signatures)


class Commands:
    """`tavix logs ...` in processes of their own, in a home of their own."""

    def __init__(self, directory):
        self.env = child_environment(HOME=str(directory / "home"))
        self.env.pop("TAVIX_INDEX", None)

    def seconds(self, *words):
        """(wall-clock seconds, processor seconds) of the command. On a machine
        others share, the processor's are the steadier measure of its cost."""
        started = time.perf_counter()
        process = subprocess.Popen([sys.executable, "-m", "tavix.cli.main", "logs", *words], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode:
            raise SystemExit("tavix logs %s: exit status %d" % (" ".join(words), process.returncode))
        return time.perf_counter() - started, usage.ru_utime + usage.ru_stime


def medians(pairs):
    return tuple(statistics.median(values) for values in zip(*pairs))


def command_figures(path, directory, marks, repeat):
    commands = Commands(directory)
    indexing = medians([commands.seconds("index", str(path), "--index", str(directory / ("fresh-%d.sqlite" % n)))
                        for n in range(repeat)])
    plain, marked = directory / "fresh-0.sqlite", directory / "marked.sqlite"
    shutil.copyfile(plain, marked)
    with RunIndex(index_url(str(marked))) as index, Archive(path) as archive:
        set_marks, unmarked = mark_failures(index, index.record(archive)[0], marks)
    print(f"{path.name}: {set_marks} marks, {unmarked} failing sections with a cause under no mark")
    junit = str(directory / "run.xml")
    reports = {"failures --json": ["failures", str(path), "--json"],
               "export --junit": ["export", str(path), "--junit", junit],
               "history --json": ["history", str(path), "--json"]}
    # No usable index (a directory): the reports are made without marks.
    indexes = {"no marks": plain, "marks": marked, "no index": directory}
    times = {(report, which): [] for report in reports for which in indexes}
    for _ in range(repeat):
        for report, words in reports.items():
            for which, index in indexes.items():
                if report.startswith("history") and which == "no index":
                    continue  # history needs the index
                times[report, which].append(commands.seconds(*words, "--index", str(index)))
    median = {key: medians(found) for key, found in times.items() if found}
    for measure, at in (("wall-clock", 0), ("processor", 1)):
        print(f"{measure} seconds, median of {repeat}:")
        print(f"  tavix logs index, fresh index  {indexing[at]:5.2f} s  (the measure: an extra <= 0.2x of it)")
        for report in reports:
            without, with_marks = median[report, "no marks"][at], median[report, "marks"][at]
            line = (f"  {report:16} no marks {without:5.2f} s, {set_marks} marks {with_marks:5.2f} s: "
                    f"extra {with_marks - without:+.2f} s = {(with_marks - without) / indexing[at]:+.2f}x")
            if (report, "no index") in median:
                bare = median[report, "no index"][at]
                line += f"; no index {bare:5.2f} s, all the index adds {(with_marks - bare) / indexing[at]:+.2f}x"
            print(line)
    return indexing[0]


def in_process_figures(path, directory, marks, repeat, indexing):
    """Recording the run, and what marks add to the reports' work with the
    index: the commands' extra without what the processes add around it."""
    location = str(directory / "index.sqlite")
    with Archive(path) as archive:
        index = RunIndex(index_url(location))
        started = time.perf_counter()
        run, _ = index.record(archive)
        recording = time.perf_counter() - started
        suite = run["suite_name"]
        counter = iter(range(1, 1 << 30))

        def reports():
            return {"run_marks": timed(lambda: index.run_marks(run), repeat)[0],
                    "failures' marks": timed(lambda: report_marks.failures_with_marks(
                        archive, failure_categories(archive.results), location), repeat)[0],
                    "export's marks": timed(lambda: report_marks.failing_node_marks(archive, location), repeat)[0]}

        before, _ = timed(lambda: index.record(archive, "%064x" % next(counter)), repeat)
        unmarked = reports()
        set_marks, _ = mark_failures(index, run, marks)
        again, _ = timed(lambda: index.record(archive, "%064x" % next(counter)), repeat)
        marked = reports()
        history, _ = timed(lambda: index.history(run), repeat)
        listing, _ = timed(lambda: index.marks(suite), repeat)
    print("in this process, median of %d:" % repeat)
    print(f"  first recording              {recording:6.3f} s")
    print(f"  recording, no marks          {before:6.3f} s")
    print(f"  recording, {set_marks} marks       {again:6.3f} s")
    for name in unmarked:
        extra = marked[name] - unmarked[name]
        print(f"  {name:16} no marks {unmarked[name]:6.3f} s, {set_marks} marks {marked[name]:6.3f} s: "
              f"extra {extra:+.3f} s = {extra / indexing:+.3f}x the index command")
    print(f"  history (beside run_marks)   {history:6.3f} s")
    print(f"  marks(suite)                 {listing:6.3f} s")


def suggestions(directory, marks, repeat):
    rng = random.Random(5)
    causes = []
    while len(causes) < marks + UNMARKED:
        cause = " ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 9))) + " after %d s" % rng.randint(1, 99)
        if cause not in causes:
            causes.append(cause)
    path = make_run(directory / "crafted.zip", "c1", "2026-12-01 02:00:00",
                    [("t%d" % i, "failed", [], cause) for i, cause in enumerate(causes)], suite="crafted")
    index = RunIndex(index_url(str(directory / "crafted.sqlite")))
    with Archive(path) as archive:
        run, _ = index.record(archive)
    for category in index.run_marks(run)["categories"][:marks]:
        index.set_mark("crafted", signature=category["signature"], kind="product-bug", author="bench")
    seconds, suggested = timed(lambda: index.run_suggestions(run), repeat)
    print(f"run_suggestions, {len(suggested)} unmarked sections, {marks} marks: {seconds:.3f} s (target <= 0.5 s)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--log-size", default="200M")
    parser.add_argument("--sections", type=int, default=24510)
    parser.add_argument("--marks", type=int, default=500)
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()
    path = generated_run(options.log_size, options.sections)
    with tempfile.TemporaryDirectory(prefix="tavix-bench-triage-") as directory:
        directory = pathlib.Path(directory)
        for part in ("commands", "in-process", "crafted"):
            (directory / part).mkdir()
        indexing = command_figures(path, directory / "commands", options.marks, options.repeat)
        in_process_figures(path, directory / "in-process", options.marks, options.repeat, indexing)
        suggestions(directory / "crafted", options.marks, options.repeat)


if __name__ == "__main__":
    main()
