"""Searching the archive directories for `tavix logs list` / `tavix logs view`.

Side by side in one run, on a fake environment holding N archives spread over
nested directories of the shared and the user archive directory:

(1) `ListSubcommand.find_all_archives()` against the same search written
    plainly in Python (two recursive globs, one stable sort by mtime);
(2) `log_warning` of a routed warning against the interpreter's own
    `warnings.formatwarning` plus one `logger.warning` of its text.

    PYTHONPATH=src python benchmarks/bench_logs_list.py [--archives 3000] [--rounds 5]
"""
import argparse
import getpass
import logging
import os
import pathlib
import statistics
import sys
import tempfile
import time
import warnings


def plain_find_all_archives():
    shared = pathlib.Path(sys.prefix) / "users" / getpass.getuser() / "archive"
    user = pathlib.Path("~/.tavix/archive").expanduser()
    found = []
    for directory in (shared, user):
        if directory.exists():
            found.extend(directory.glob("**/*.zip"))
    return sorted(found, key=lambda path: path.stat().st_mtime, reverse=True)


def best_of(rounds, function, repeat=1):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(repeat):
            function()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def make_archives(root, count):
    shared = pathlib.Path(sys.prefix) / "users" / getpass.getuser() / "archive"
    for index in range(count):
        base = shared if index % 2 else pathlib.Path.home() / ".tavix" / "archive"
        path = base / ("run%02d" % (index % 40)) / ("job%05d.zip" % index)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"PK\x05\x06" + b"\0" * 18)
        os.utime(path, (1_700_000_000 + index, 1_700_000_000 + index))
        if index % 5 == 0:
            (path.parent / ("notes%05d.txt" % index)).write_text("not an archive")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--archives", type=int, default=3000)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="tavix-bench-") as root:
        sys.prefix = os.path.join(root, "env")
        os.environ["HOME"] = os.path.join(root, "home")
        from tavix.log.commands.logs import ListSubcommand
        from tavix.log import warnings as routing

        make_archives(root, options.archives)
        assert ListSubcommand.find_all_archives() == plain_find_all_archives()
        native = best_of(options.rounds, ListSubcommand.find_all_archives)
        plain = best_of(options.rounds, plain_find_all_archives)
        print("(1) find_all_archives, %d archives: native %.1f ms, plain Python %.1f ms, "
              "ratio plain/native %.2f" % (options.archives, native[0] * 1e3, plain[0] * 1e3,
                                            plain[0] / native[0]))

    logger = logging.getLogger("warnings")
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    source = os.path.abspath(__file__)

    def routed():
        routing.log_warning("deprecated call", DeprecationWarning, source, 20)

    def interpreter():
        logger.warning(warnings.formatwarning("deprecated call", DeprecationWarning, source, 20))

    repeat = 20000
    native = best_of(options.rounds, routed, repeat)
    plain = best_of(options.rounds, interpreter, repeat)
    print("(2) one routed warning: log_warning %.2f us, formatwarning + logger.warning %.2f us, "
          "ratio %.2f" % (native[0] / repeat * 1e6, plain[0] / repeat * 1e6, plain[0] / native[0]))


if __name__ == "__main__":
    main()
