"""`tavix logs search --runs SUITE|all TEXT`: the search of every run of the
local run index, printed grep-style with the run named, or as JSON Lines.

The search runs in a thread of its own while the command's thread prints,
so Ctrl-C is answered at once: it sets the search's cancel flag, which the
native search reads between blocks.
"""
import os
import sys

from tavix.cli.base import CommandError

from ..commands import logger, open_index, shown
from .aside import ItemsAside
from .cancel import POLL_SECONDS, STOP_SECONDS, SearchCancel
from .search_files import LocalSearchFiles
from .searching import search_runs

__all__ = ["search_runs_command"]

# What the search thread may get ahead of the printing: a few lists' worth.
QUEUED_ITEMS = 1000
# Output gathered before one write.
BYTES_PER_WRITE = 1 << 20
# The fields of a hit's JSON line, those of `tavix logs search --json` first.
JSON_FIELDS = ("path", "log_file", "line", "column", "text", "request_id", "suite_name")


def search_runs_command(args):
    words = list(args.words)
    if len(words) != 1:
        raise CommandError("with --runs, give TEXT alone (no archive; quote a text with blanks)", status=2)
    from tavix.log.commands.archive import Archive

    try:
        Archive.check_query(words[0], regex=args.regex, case=args.case)
    except ValueError as error:
        message = str(error)
        raise CommandError("invalid pattern: %s" % message[len("invalid query: "):]
                           if message.startswith("invalid query: ") else message, status=2) from None
    files, cancel = LocalSearchFiles(), SearchCancel()
    printer = _Printer(args.json)
    with open_index(args) as index:
        found = search_runs(index, words[0], regex=args.regex, case=args.case,
                            suite=None if args.runs == "all" else args.runs, since=args.since, files=files,
                            cancel=cancel)
    try:
        _print_all(_searched_aside(found, cancel), printer)
        while not files.wait_for_rebuilds(POLL_SECONDS):
            pass
    except _ReaderGone:
        cancel.set()
        files.stop_rebuilds()
    except BaseException:
        cancel.set()
        files.stop_rebuilds()
        raise


def _searched_aside(found, cancel):
    """The items of `found`, searched in a thread of its own, with None
    whenever none is waiting. Leaving early (an interrupt, a closed pipe)
    cancels the search and waits a moment for it."""
    aside = ItemsAside(found, cancel, QUEUED_ITEMS, name="tavix-search-runs")
    try:
        yield from aside.items(pauses=True)
    finally:
        cancel.set()
        aside.stop(STOP_SECONDS)


def _print_all(items, printer):
    for item in items:
        if item is None:
            printer.flush()
        elif "notice" in item:
            printer.notice(item["notice"])
        else:
            printer.hit(item)
    printer.flush()


class _ReaderGone(Exception):
    """Standard output was closed by its reader (`| head`)."""


class _Printer:
    """Hits grep-style (the run, the section's path, the line number, the line,
    coloured on a terminal) or as JSON Lines; notices on standard error, or
    as JSON lines {"notice": ...}."""

    def __init__(self, json_lines):
        from tavix.log.commands.logs import json_text

        self.json_lines, self.json_text = json_lines, json_text
        self.pending, self.size = [], 0
        coloured = sys.stdout.isatty() and not os.environ.get("NO_COLOR")
        self.run_paint, self.path_paint, self.line_paint, self.match_paint = (
            _paint(coloured, *colours) for colours in (("FgColour.CYAN",), ("FgColour.MAGENTA",),
                                                       ("FgColour.GREEN",), ("Style.BOLD", "FgColour.RED")))
        self._run, self._path, self._head = None, None, ""

    def hit(self, hit):
        if self.json_lines:
            self._add(self.json_text({field: hit[field] for field in JSON_FIELDS}) + "\n")
            return
        run, path = (hit["suite_name"], hit["request_id"]), hit["path"]
        if run != self._run or path != self._path:
            self._run, self._path = run, path
            self._head = (self.run_paint(shown("%s %s" % run)) + ":"
                          + self.path_paint(shown(" \u203a ".join(path))) + ":")
        text, begin = hit["text"], hit["column"] - 1
        end = begin + hit["length"]
        self._add(self._head + self.line_paint(str(hit["line"])) + ":" + shown(text[:begin])
                  + self.match_paint(shown(text[begin:end])) + shown(text[end:]) + "\n")

    def notice(self, text):
        if self.json_lines:
            self._add(self.json_text({"notice": text}) + "\n")
            return
        self.flush()
        logger.warning(shown(text, sys.stderr))

    def _add(self, line):
        self.pending.append(line)
        self.size += len(line)
        if self.size >= BYTES_PER_WRITE:
            self.flush()

    def flush(self):
        if self.pending:
            text, self.pending, self.size = "".join(self.pending), [], 0
            try:
                sys.stdout.write(text)
                sys.stdout.flush()
            except BrokenPipeError:
                # The reader has gone (`| head`): the rest goes nowhere, and quietly.
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, sys.stdout.fileno())
                os.close(devnull)
                raise _ReaderGone from None


def _paint(coloured, *colours):
    if not coloured:
        return lambda text: text
    from tavix.log import colour

    codes = [getattr(getattr(colour, kind), name) for kind, name in (c.split(".") for c in colours)]
    before, after = colour.Palette.paint("\x01", *codes).split("\x01")
    return lambda text: before + text + after
