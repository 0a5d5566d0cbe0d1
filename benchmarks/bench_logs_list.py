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


def side_by_side(rounds, first, second, repeat=1):
    """Best times of two functions, measured in alternating rounds so that
    load from other processes hits both alike."""
    times = ([], [])
    for _ in range(rounds):
        for function, spent in zip((first, second), times):
            start = time.perf_counter()
            for _ in range(repeat):
                function()
            spent.append(time.perf_counter() - start)
    return min(times[0]), min(times[1])


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
        native, plain = side_by_side(options.rounds, ListSubcommand.find_all_archives,
                                     plain_find_all_archives)
        print("(1) find_all_archives, %d archives: native %.1f ms, plain Python %.1f ms, "
              "ratio plain/native %.2f" % (options.archives, native * 1e3, plain * 1e3,
                                            plain / native))

    logger = logging.getLogger("warnings")
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    source = os.path.abspath(__file__)

    def routed():
        routing.log_warning("deprecated call", DeprecationWarning, source, 20)

    def interpreter():
        logger.warning(warnings.formatwarning("deprecated call", DeprecationWarning, source, 20))

    repeat = 20000
    native, plain = side_by_side(options.rounds, routed, interpreter, repeat)
    print("(2) one routed warning: log_warning %.2f us, formatwarning + logger.warning %.2f us, "
          "ratio %.2f" % (native / repeat * 1e6, plain / repeat * 1e6, plain / native))


if __name__ == "__main__":
    main()
