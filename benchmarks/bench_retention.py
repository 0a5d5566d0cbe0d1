"""A retention sweep and the home page's listing on a large run index.

    PYTHONPATH=src python benchmarks/bench_retention.py [--runs 10000] [--expired 1000]
        [--suites 20] [--index URL] [--repeat 5]

Fills a new index (a temporary SQLite file, or the empty database --index
names, e.g. postgresql://user@/db?host=/socket/dir) with `--runs` runs of
`--suites` suites: the first run of each suite is a small hand-made run (12
sections, 4 of them failing, with their failure categories) recorded by
`RunIndex.record`; the others are copies of its rows made by SQL, each with
its own request id, start time and content hash, and each with its archive
(the hand-made zip) in a directory store. `--expired` of them started 31 to
365 days ago, the rest within the last 29 days.

Printed: `RunIndex.suites()` (the home page's listing, each suite's latest
run and its trend of 30), median of --repeat, before and after the sweep;
then one sweep by "*:30" (phase 1, marking, in one transaction; phase 2,
archives deleted from the store and rows from the index, 100 runs a
transaction), whole and its phase 1 alone.
"""
import argparse
import hashlib
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))

import sqlalchemy  # noqa: E402

from tavix.log.commands.archive import Archive  # noqa: E402
from tavix.log.commands.history import RunIndex, index_url, schema  # noqa: E402
from tavix.log.commands.service.archive_store import DirectoryStore  # noqa: E402
from tavix.log.commands.service.retention import parse_keep_days, sweep  # noqa: E402
import tests_path  # noqa: E402,F401
from helpers.history_runs import make_run  # noqa: E402

DAY = 86400
CASES = [("case%d" % i, "failed" if i % 3 == 0 else "passed") for i in range(12)]
# The columns of a run's rows, copied from the suite's first run.
COPIED = {
    schema.run_sections: ("node_id", "position", "type_id", "result_id", "duration", "signature_id", "cause"),
    schema.run_categories: ("signature_id", "position", "example", "count"),
    schema.category_nodes: ("position", "signature_id", "node_id", "step_id"),
}


def fill(index, store, scratch, runs, expired, suites, now):
    """The index and store of `runs` runs; (seconds, digests of the expired runs)."""
    started = time.perf_counter()
    path = make_run(os.path.join(scratch, "run.zip"), "first", "2026-01-01T00:00:00", CASES,
                    summary={"pass": 8, "fail": 4, "skip": 0})
    with Archive(path) as archive:
        meta = archive.results.meta
        for suite in range(suites):
            meta["suite_name"] = "nightly_%02d" % suite
            meta["request_id"] = "first-%02d" % suite
            meta["start_time"] = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now - 60 - suite))
            index.record(archive, hashlib.sha256(b"first-%d" % suite).hexdigest())
    runs_table = schema.runs
    with index.engine.begin() as connection:
        firsts = [dict(row) for row in connection.execute(sqlalchemy.select(runs_table)).mappings()]
        rows = []
        for number in range(runs - suites):
            first = firsts[number % suites]
            age = (31 * DAY + (number * 7919) % (334 * DAY)) if number < expired else (number * 613) % (29 * DAY)
            moment = now - age
            row = {name: value for name, value in first.items() if name != "id"}
            row.update(request_id="run-%05d" % number, content_hash=hashlib.sha256(b"run-%d" % number).hexdigest(),
                       start_time=time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(moment)), started=moment)
            rows.append(row)
        connection.execute(runs_table.insert(), rows)
        template = (sqlalchemy.select(runs_table.c.suite_id, sqlalchemy.func.min(runs_table.c.id).label("first"))
                    .group_by(runs_table.c.suite_id).subquery())
        for table, columns in COPIED.items():
            copy = (sqlalchemy.select(runs_table.c.id, *[table.c[name] for name in columns])
                    .join(template, template.c.suite_id == runs_table.c.suite_id)
                    .join(table, table.c.run_id == template.c.first)
                    .where(runs_table.c.id != template.c.first))
            connection.execute(table.insert().from_select(["run_id", *columns], copy))
        digests = connection.execute(sqlalchemy.select(runs_table.c.content_hash)).scalars().all()
    for digest in digests:
        shutil.copyfile(path, store.path(digest))
    return time.perf_counter() - started, [row["content_hash"] for row in rows[:expired]]


def suites_seconds(index, repeat):
    answers = []
    for _ in range(repeat):
        started = time.perf_counter()
        listed = index.suites()
        answers.append(time.perf_counter() - started)
    return statistics.median(answers), sum(suite["runs"] for suite in listed)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=10_000)
    parser.add_argument("--expired", type=int, default=1_000)
    parser.add_argument("--suites", type=int, default=20)
    parser.add_argument("--index", default=None, help="an empty database's URL (default: a temporary SQLite file)")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)
    now = time.time()
    with tempfile.TemporaryDirectory() as scratch:
        index = RunIndex(index_url(args.index or os.path.join(scratch, "index.sqlite")))
        store = DirectoryStore(os.path.join(scratch, "store"))
        filled, expired = fill(index, store, scratch, args.runs, args.expired, args.suites, now)
        print(f"index {index.shown.split('?')[0]}: {args.runs:,} runs of {args.suites} suites filled in "
              f"{filled:.1f} s, {args.expired:,} of them past 30 days")
        before, counted = suites_seconds(index, args.repeat)
        assert counted == args.runs, counted
        print(f"suites(), {args.runs:,} runs:           {before * 1000:8.1f} ms (median of {args.repeat}; "
              f"target <= 200 ms)")
        rules = parse_keep_days("*:30")
        marking = {}
        real_mark = index.mark_expired

        def timed_mark(days_of, when=None):
            started = time.perf_counter()
            try:
                return real_mark(days_of, when)
            finally:
                marking["seconds"] = time.perf_counter() - started

        index.mark_expired = timed_mark
        started = time.perf_counter()
        done = sweep(index, store, rules, now=now)
        swept = time.perf_counter() - started
        assert done.marked == len(done.deleted) == args.expired, (done.marked, len(done.deleted))
        assert not any(store.exists(digest) for digest in expired)
        after, counted = suites_seconds(index, args.repeat)
        assert counted == args.runs - args.expired, counted
        print(f"sweep of {args.expired:,} expired runs:      {swept:8.2f} s  (phase 1, marking: "
              f"{marking['seconds'] * 1000:.0f} ms; target <= 60 s)")
        print(f"suites(), {counted:,} runs after it:  {after * 1000:8.1f} ms")
        index.close()


if __name__ == "__main__":
    main()
