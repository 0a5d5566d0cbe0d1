"""Searching the task logs of every stored run at once.

Runs come newest first (by start time, as the run index orders them);
within a run its task logs in the order their first section comes, then by
line, each line once, for the deepest section or step holding its first
match; lines outside every section are not shown: a run's hits are those
`tavix logs search` finds in its archive. A run's search index picks the
blocks of text worth reading; a run without a sound one is searched the
slow way, streamed from its zip, said in a notice, and its index rebuilt.
"""
import collections
from concurrent.futures import CancelledError

from .aside import ItemsAside
from .building import index_section_map
from .moments import moment_seconds
from .search_files import LocalSearchFiles
from .zip_source import section_map_from_zip

__all__ = ["search_runs"]

# Hits a native search hands over at a time: one list of them is all a search
# holds (16 KiB of text a hit at most).
HITS_PER_LIST = 1000

# Runs searched beyond the one whose hits are being handed on, and the items
# each may queue meanwhile.
RUNS_AHEAD = 1
QUEUED_ITEMS = 2 * HITS_PER_LIST


def search_runs(index, query, *, regex=False, case=False, suite=None, since=None, until=None, result=None,
                files=None, cancel=None):
    """The hits of `query` in the runs of the run index `index`, as an iterator
    of dicts, and notices among them.

    A hit: {"path", "log_file", "line", "column", "text"} as `tavix logs search
    --json` prints them (line and column from 1), with "request_id" and
    "suite_name" of its run, and "length" (of the match, in characters). A
    notice: {"notice": text}, such as a run searched the slow way.

    suite: a suite name (None: all); since, until: bounds of the runs' start
    times, inclusive (see moment_seconds; a date alone as until holds the
    whole day); result: a section result or a set of them, the hits of
    sections and steps of other results left out; files: where the runs'
    search files are (default LocalSearchFiles()); cancel: a SearchCancel
    that ends the iteration once set. ValueError("invalid query: ...") for a
    query the searcher cannot match, before anything is searched.
    """
    from tavix.log.commands.archive import Archive

    Archive.check_query(query, regex=regex, case=case)
    since, until = moment_seconds(since), moment_seconds(until, end=True)
    results = None if result is None else frozenset([result] if isinstance(result, str) else result)
    files = LocalSearchFiles() if files is None else files
    runs = index.runs_started(suite, since, until)
    return _hits_of_runs(runs, query, regex, case, results, files, cancel)


def notice(text):
    return {"notice": text}


def _stopped(cancel):
    return cancel is not None and cancel.is_set()


def _hits_of_runs(runs, query, regex, case, results, files, cancel):
    """Each run's items in turn, the next run searched meanwhile (a search is
    native work that lets go of the interpreter: a second core halves a scan)."""
    runs, ahead = iter(runs), collections.deque()
    try:
        while True:
            while len(ahead) <= RUNS_AHEAD and not _stopped(cancel):
                run = next(runs, None)
                if run is None:
                    break
                ahead.append(ItemsAside(_hits_of_run(run, query, regex, case, results, files, cancel), cancel,
                                        QUEUED_ITEMS, name="tavix-search-run"))
            if not ahead or _stopped(cancel):
                return
            yield from ahead.popleft().items()
    finally:
        for searched in ahead:
            searched.stop()


def _hits_of_run(run, query, regex, case, results, files, cancel):
    try:
        search, told = _opened(run, files)
    except (OSError, ValueError) as error:
        yield notice("%s: not searched, its archive %s cannot be read (%s)" % (_run_name(run), run["archive"], error))
        return
    if told:
        yield told
    sections = _Sections(run, files, search)
    if search.indexed and results is None:
        # The index holds the task logs in the map's order: the map is read
        # at the run's first hit, and a run without hits costs no more.
        members = search.members
    else:
        yield from sections.load()
        if sections.map is None:
            return
        members = sections.map.members(results)
    yield from _searched(run, search, sections, members, query, regex, case, results, files, cancel)


class _Sections:
    """The section map of a run, read when first needed: its file, else the
    index's copy, else the zip's results file (said in a notice)."""

    def __init__(self, run, files, search):
        self.run, self.files, self.search = run, files, search
        self.map = None

    def load(self):
        """Notices; `map` is set after, unless the run cannot be searched."""
        self.map = self.files.sections(self.run)
        if self.map is not None:
            return
        self.map = index_section_map(self.search)
        if self.map is None:
            try:
                self.map = section_map_from_zip(self.files.source(self.run))
            except Exception as error:  # whatever a zip's results file fails with: the run is not searched
                yield notice("%s: not searched, its sections cannot be read (%s)" % (_run_name(self.run), error))
                return
            yield notice("%s: its section map was missing, rebuilt from its archive" % _run_name(self.run))
        self.files.store_sections(self.run, self.map)


def _searched(run, search, sections, members, query, regex, case, results, files, cancel):
    """The run's hits, member by member. An index found damaged while it is
    read (it is checked as it is touched) gives way to the slow way, from
    the member it failed in on, without repeating a hit."""
    from tavix.log.commands import archive

    native_cancel = None if cancel is None else cancel.native
    at, given = 0, -1  # the member being searched, the offset of its last hit given
    while at < len(members):
        try:
            for hits in search.search(query, regex=regex, case=case, members=[members[at]], cancel=native_cancel,
                                      limit=HITS_PER_LIST):
                if sections.map is None:
                    yield from sections.load()
                    if sections.map is None:
                        return
                for hit in hits:
                    if hit["offset"] <= given:
                        continue
                    given = hit["offset"]
                    found = _attributed(hit, members[at], sections.map, results, run)
                    if found is not None:
                        yield found
                if _stopped(cancel):
                    return
        except CancelledError:
            return
        except archive.SearchIndexError as error:
            if not search.indexed:
                raise
            search = archive.RunSearch(files.source(run), None)
            files.rebuild_later(run)
            yield notice("%s: its search index is damaged (%s); searched the slow way, its index is being "
                         "rebuilt" % (_run_name(run), error))
            continue
        except (OSError, ValueError) as error:  # a zip damaged past its directory
            yield notice("%s: its search stopped: %s" % (_run_name(run), error))
            return
        at, given = at + 1, -1


def _opened(run, files):
    """(RunSearch of the run, a notice or None): over its index, else the slow way."""
    from tavix.log.commands import archive

    source, index = files.source(run), files.index(run)
    if index is not None:
        try:
            return archive.RunSearch(source, index), None
        except archive.SearchIndexError as error:
            reason = "its search index cannot be used (%s)" % error
    else:
        reason = "it has no search index"
    search = archive.RunSearch(source, None)
    files.rebuild_later(run)
    return search, notice("%s: %s; searched the slow way, its index is being rebuilt" % (_run_name(run), reason))


def _attributed(hit, member, section_map, results, run):
    """The hit as search_runs gives it, None when it lies outside every
    section or in one of another result. It belongs where its first match
    starts, counted in the UTF-8 of its text as `tavix logs search` counts."""
    text, column = hit["text"], hit["column"]
    node = section_map.owner(member, hit["offset"] + len(text[:column].encode("utf-8", "surrogatepass")))
    if node is None or (results is not None and section_map.result(node) not in results):
        return None
    return {"path": list(section_map.path(node)), "log_file": section_map.log_file(node), "line": hit["line"] + 1,
            "column": column + 1, "text": text, "request_id": run["request_id"], "suite_name": run["suite_name"],
            "length": hit["length"]}


def _run_name(run):
    return "run %s of %s" % (run["request_id"] or "(no request id)", run["suite_name"] or "(no suite)")
