"""`tavix logs index` and `tavix logs history`, and the --index option of every
`logs` subcommand.

SQLAlchemy is imported when a command runs, not when the tool starts.
"""
import argparse
import logging
import sys

from tavix.cli.base import CommandError, Subcommand

from .definitions import is_failing

logger = logging.getLogger("tavix.log.commands.logs")

INDEX_HELP = ("The run index: a postgresql://user@host/database URL, sqlite:///path, or the path\n"
              "of a SQLite file. Default: $TAVIX_INDEX, else the [logs] index of the\n"
              "configuration file, else ~/.tavix/index.sqlite. A password in the URL is\n"
              "taken out of the process's arguments as the tool starts, but `ps` may show\n"
              "it before: prefer $TAVIX_INDEX, a .pgpass file or a service file\n"
              "(postgresql:///?service=NAME) for it. Messages show the URL without it.")

# record_archive's search files unless told otherwise: the local ones.
DEFAULT_SEARCH_FILES = object()
# How `history` shows a run's result in its column: failing, other, absent.
HISTORY_MARKS = ("x", ".", "-")


def add_index_option(parser):
    """Adds --index to a subcommand's parser, unless it has one."""
    if "--index" not in parser._option_string_actions:
        parser.add_argument("--index", metavar="URL", type=_index_option, default=None, help=INDEX_HELP)


def _index_option(text):
    """--index as given, a password in it taken out of the process's visible arguments at once."""
    from tavix.cli.arguments import hide_in_arguments

    from .errors import RunIndexError
    from .postgres_url import postgres_parts, shown_postgres_url

    try:
        parts = postgres_parts(text)
    except RunIndexError as error:
        hide_in_arguments(text, "")
        raise argparse.ArgumentTypeError(str(error)) from None
    shown = text if parts is None else shown_postgres_url(parts)
    if shown != text and not hide_in_arguments(text, shown):
        logger.warning("The password of --index stays visible in the process's arguments (ps): "
                       "prefer $TAVIX_INDEX, a .pgpass file or a service file for it.")
    return text


def open_index(args):
    from . import RunIndex, index_url

    return RunIndex(index_url(getattr(args, "index", None)))


def shown(text, stream=None):
    """Text of an archive as it may be written on stream (default: standard output)."""
    from tavix.log.commands.logs import terminal_text

    return terminal_text(text, stream)


def _archive_path(choice):
    from tavix.log.commands.logs import choose_archive

    return choose_archive(choice)


def _open_and_record(index, path, digest, progress, search_files):
    from tavix.log.commands.archive import Archive

    from .run_search import build_run_search

    opening = Archive(path)
    if progress.active:
        opening.progress = lambda stage, done, total: progress.show(
            "Opening %s: %s" % (path.name, stage) + ("" if done is None else " %s" % format(done, ",")))
    try:
        with opening as archive:
            progress.show("Recording %s" % path.name)
            run, added = index.record(archive, digest)
            if search_files is not None:
                progress.show("Indexing the text of %s" % path.name)
                _build_search(lambda cancel: build_run_search(archive, run, search_files, cancel=cancel), path)
            return run, added
    finally:
        progress.clear()


def _build_search(build, path):
    """build(cancel): a run's search index built, Ctrl-C answered meanwhile; one
    that cannot be built is said, and the run stays indexed."""
    from .run_search import cancellable

    try:
        return cancellable(build)
    except (OSError, ValueError) as error:
        logger.warning("the search index of %s was not built: %s", shown(str(path), sys.stderr),
                       shown(str(error), sys.stderr))
        return None


def record_archive(index, path, progress, search_files=DEFAULT_SEARCH_FILES):
    """(run, added) for the archive at `path`: found by its content, else opened
    and recorded, and its search index built in `search_files` (default: the
    local ones, ~/.tavix/search; None: not built)."""
    from . import content_hash

    progress.show("Reading %s" % path.name)
    digest = content_hash(path)
    run = index.find(digest)
    if run is not None:
        progress.clear()
        return run, False
    if search_files is DEFAULT_SEARCH_FILES:
        from .run_search import LocalSearchFiles

        search_files = LocalSearchFiles()
    return _open_and_record(index, path, digest, progress, search_files)


def _search_index_of(run, path, files, progress):
    """Builds the search index of a run already recorded unless it has a sound
    one: True when built, False when it had one, None when it could not be built."""
    from tavix.log.commands import archive

    from .run_search import rebuild_run_search

    kept = files.index(run)
    if kept is not None and files.sections(run) is not None:
        try:
            archive.RunSearch(str(path), kept)
            return False
        except ValueError:  # damaged, of an older format, or of another zip: built anew
            pass
    progress.show("Indexing the text of %s" % path.name)
    try:
        figures = _build_search(lambda cancel: rebuild_run_search(dict(run, archive=str(path)), files, cancel=cancel),
                                path)
        return None if figures is None else True
    finally:
        progress.clear()


class IndexSubcommand(Subcommand):
    name = "index"
    help = "record runs in the run index"
    usage = "{prog} ARCHIVE... [--search-index only|skip] [--index URL]"
    description = ("\nRecords each run archive in the run index (once: an archive already there is\n"
                   "recognised by its content), and builds the search index of its task logs\n"
                   "that 'tavix logs search --runs' reads (in ~/.tavix/search). Prints one line\n"
                   "per archive; an archive that cannot be read or whose run the index cannot\n"
                   "hold (\"not indexed: ...\") is reported and the others are indexed all the\n"
                   "same (status 1).\n\n"
                   "--search-index only: builds only the search indexes missing (or of an older\n"
                   "format) of runs already recorded: of the ARCHIVEs, or of every run of the\n"
                   "index without one. --search-index skip: records the runs alone.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("archives", metavar="ARCHIVE", nargs="*", help="Run archive zip files.")
        self.parser.add_argument("--search-index", choices=("only", "skip"), default=None,
                                 help="only: build the search indexes alone; skip: leave them out\n"
                                      "(default: record the runs and build their search indexes)")

    def run(self, args):
        if args.search_index == "only":
            return self._search_indexes_only(args)
        if not args.archives:
            raise CommandError("give the ARCHIVEs to record", status=2)
        from tavix.cli.progress import ProgressLine

        from . import RunIndexError, RunNotIndexed
        from .run_search import LocalSearchFiles

        progress = ProgressLine()
        files = None if args.search_index == "skip" else LocalSearchFiles()
        failed = 0
        with open_index(args) as index:
            for choice in args.archives:
                # An archive that cannot be read, or whose run the database
                # refuses, is reported and passed over; an index that cannot
                # be used ends the command.
                try:
                    path = _archive_path(choice)
                    run, added = record_archive(index, path, progress, files)
                    if not added and files is not None:
                        _search_index_of(run, path, files, progress)
                except RunNotIndexed as error:
                    failed += 1
                    logger.error("not indexed: %s: %s", shown(choice, sys.stderr),
                                 shown(str(error), sys.stderr))
                    continue
                except RunIndexError:
                    raise
                except Exception as error:
                    failed += 1
                    logger.error("could not index %s: %s: %s", shown(choice, sys.stderr),
                                 type(error).__name__, shown(str(error), sys.stderr))
                    continue
                if added:
                    logger.info("indexed %s: %s, run %s (%s)", shown(str(path)),
                                shown(run["suite_name"] or "(no suite)"),
                                shown(run["request_id"] or "(no request id)"),
                                shown(run["start_time"] or "no start time"))
                else:
                    logger.info("already indexed %s: run %s", shown(str(path)),
                                shown(run["request_id"] or "(no request id)"))
        if failed:
            raise CommandError("%d of %d archives could not be indexed" % (failed, len(args.archives)))

    def _search_indexes_only(self, args):
        """The search indexes of the ARCHIVEs' runs, or of every run of the index, where missing."""
        import pathlib

        from tavix.cli.progress import ProgressLine

        from . import content_hash
        from .run_search import LocalSearchFiles

        progress, files, failed = ProgressLine(), LocalSearchFiles(), 0
        with open_index(args) as index:
            if args.archives:
                chosen = []
                for choice in args.archives:
                    path = _archive_path(choice)
                    run = index.find(content_hash(path))
                    if run is None:
                        failed += 1
                        logger.error("not in the run index: %s (tavix logs index records it)",
                                     shown(str(path), sys.stderr))
                    else:
                        chosen.append((run, path))
            else:
                chosen = [(run, run["archive"]) for run in index.runs_started()]
        for run, path in chosen:
            path = pathlib.Path(path)
            if not path.is_file():
                failed += 1
                logger.error("the archive of run %s is gone: %s", shown(run["request_id"] or "(no request id)",
                                                                        sys.stderr), shown(str(path), sys.stderr))
                continue
            built = _search_index_of(run, path, files, progress)
            if built is None:
                failed += 1
            elif built:
                logger.info("search index built for %s: run %s", shown(str(path)),
                            shown(run["request_id"] or "(no request id)"))
        if failed:
            raise CommandError("%d search index(es) could not be built" % failed)


def _window(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("a window is a whole number of runs, at least 1: %r" % text)
    return value


class HistorySubcommand(Subcommand):
    name = "history"
    help = "show whether a run's failures are new, known or flaky"
    usage = "{prog} [ARCHIVE | -INDEX] [--window N] [--json] [--index URL]"
    description = (
        "\nThe failing sections of a run with their history over the run and the earlier\n"
        "runs of its suite in the run index (a run not indexed yet is indexed first).\n"
        "Without ARCHIVE: the newest archive; -INDEX: as 'tavix logs list' numbers them.\n\n"
        "Status: \"new\" (fails now, not in the run before), \"known\" (has failed for\n"
        "STREAK runs, since run SINCE), \"flaky\" (has changed between failing and not\n"
        "at least 3 times in the window), \"no_history\" (no earlier run has it).\n"
        "History: this run first, x failing, . other result, - absent.\n"
        "Mark: the kinds (and tickets) of the marks that apply, else \"to investigate\";\n"
        "a cause's also counts its sections marked by path, as 'tavix logs failures' does.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("archive", metavar="ARCHIVE", nargs="?", default=None,
                                 help="Archive zip file, or -INDEX.")
        self.parser.add_argument("--window", metavar="N", type=_window, default=10,
                                 help="Runs the history covers, this one included (default 10).")
        self.parser.add_argument("--json", action="store_true", help="Print the history as JSON.")

    def run(self, args):
        from tavix.cli.progress import ProgressLine

        from .report_marks import with_history_marks

        path = _archive_path(args.archive)
        with open_index(args) as index:
            run, _ = record_archive(index, path, ProgressLine())
            answer = with_history_marks(index.history(run, args.window), index.run_marks(run))
        if args.json:
            from tavix.log.commands.logs import json_text

            sys.stdout.write(json_text(answer, indent=1) + "\n")
            sys.stdout.flush()
            return
        show_history(answer)


def _marks(history):
    failing, other, absent = HISTORY_MARKS
    return "".join(absent if r is None else failing if is_failing(r) else other for r in history)


def show_history(answer):
    from tavix.cli.utils import format_table

    from .report_marks import category_column, marks_column

    run = answer["run"]
    logger.info("Run %s of %s, started %s; %d earlier run(s) in the window of %d",
                shown(str(run["request_id"])), shown(str(run["suite_name"])),
                shown(run["start_time"] or "(unknown)"), len(answer["earlier_runs"]), answer["window"])
    if not answer["nodes"]:
        logger.info("No failing sections.")
    else:
        rows = [[node["status"], str(node["streak"]), shown(node["since"] or ""), shown(node["result"]),
                 _marks(node["history"]), shown(marks_column(node["marks"])),
                 shown(" / ".join(node["path"]))] for node in answer["nodes"]]
        for line in format_table(rows, ["Status", "Streak", "Since", "Result", "History", "Mark", "Section"]):
            logger.info(line)
    if answer["categories"]:
        rows = [[c["status"], shown(c["first_seen"]), str(c["count"]), shown(category_column(c)),
                 shown(c["signature"])] for c in answer["categories"]]
        logger.info("")
        for line in format_table(rows, ["Cause", "First seen", "Count", "Mark", "Signature"]):
            logger.info(line)
