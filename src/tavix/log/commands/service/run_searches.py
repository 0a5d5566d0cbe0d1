"""Searching every stored run from the service: the query checked before
anything is answered, the search run in a worker thread of its own, its
hits handed on as they are found, each with its lasting link into the
run's viewer."""
import concurrent.futures
import json
import threading

from .thread_items import ThreadItems

__all__ = ["BadSearch", "RunSearches", "SearchQuery", "search_query"]

# Searches running at once; more wait for a thread.
SEARCH_THREADS = 2
# Longest query taken, in characters.
MAX_QUERY = 4096
_FLAGS = {"": False, "0": False, "false": False, "1": True, "true": True}


class BadSearch(ValueError):
    """A search query that cannot be run: its message says why."""


class SearchQuery:
    __slots__ = ("text", "regex", "case", "suite", "since", "result")

    def __init__(self, text, regex=False, case=False, suite=None, since=None, result=None):
        self.text, self.regex, self.case = text, regex, case
        self.suite, self.since, self.result = suite, since, result


def _flag(query, name):
    value = query.get(name, "").strip().lower()
    if value not in _FLAGS:
        raise BadSearch("%s is 1 or 0" % name)
    return _FLAGS[value]


def search_query(query):
    """The SearchQuery of a request's query parameters (q, regex, case, suite,
    since, result); BadSearch for one that cannot be run."""
    from tavix.log.commands.archive import Archive
    from tavix.log.commands.history.run_search import moment_seconds

    text = query.get("q", "")
    if not text:
        raise BadSearch("give the text to look for as q")
    if len(text) > MAX_QUERY:
        raise BadSearch("q holds at most %d characters" % MAX_QUERY)
    regex, case = _flag(query, "regex"), _flag(query, "case")
    try:
        Archive.check_query(text, regex=regex, case=case)
    except ValueError as error:
        raise BadSearch(str(error)) from None
    since = query.get("since") or None
    try:
        moment_seconds(since)
    except ValueError:
        raise BadSearch("since is an ISO date or date and time, in UTC unless it names its zone "
                        "(2026-12-01, 2026-12-01T08:00): %r" % since) from None
    return SearchQuery(text, regex=regex, case=case, suite=query.get("suite") or None, since=since,
                       result=query.get("result") or None)


def json_line(item):
    """A JSON line of an answer; a text holding lone surrogates (bytes of a log
    that are not UTF-8) written with escapes."""
    try:
        return (json.dumps(item, ensure_ascii=False) + "\n").encode("utf-8")
    except UnicodeEncodeError:
        return (json.dumps(item) + "\n").encode("ascii")


class RunSearches:
    """The searches of the runs `index` records, their files in `files` (a
    StoreSearchFiles), their links made by `links`. `running` counts the
    searches whose thread is at work."""

    def __init__(self, index, files, links):
        self.index, self.files, self.links = index, files, links
        self.running = 0
        self._counting = threading.Lock()
        self._threads = concurrent.futures.ThreadPoolExecutor(SEARCH_THREADS, thread_name_prefix="tavix-search")

    def close(self):
        self._threads.shutdown(wait=False, cancel_futures=True)
        self.files.close()

    def start(self, origin, query):
        """The ThreadItems of a search: its hits with their links, and its
        notices, each a JSON line (bytes) made in the search's thread."""
        from tavix.log.commands.history.run_search import SearchCancel

        return ThreadItems(lambda cancel: self._lines(origin, query, cancel), self._threads, SearchCancel())

    def _lines(self, origin, query, cancel):
        from tavix.log.commands.history.run_search import search_runs

        with self._counting:
            self.running += 1
        try:
            found = search_runs(self.index, query.text, regex=query.regex, case=query.case, suite=query.suite,
                                since=query.since, result=query.result, files=self.files, cancel=cancel)
            linked = {}  # request id -> (run, its sections' first lines)
            try:
                for item in found:
                    if "notice" not in item:
                        item["link"] = self._link(origin, item, linked)
                    yield json_line(item)
            finally:
                close = getattr(found, "close", None)
                if close is not None:
                    close()
        finally:
            with self._counting:
                self.running -= 1

    def _link(self, origin, hit, linked):
        """The lasting link of a hit: its section at the hit's line; the
        nearest section holding a step's hit; a section without a line when
        its first line is unknown."""
        from tavix.log.commands.history.runs import path_key

        request_id = hit["request_id"]
        if request_id not in linked:
            run = self.index.run_by_request_id(request_id)
            linked.clear()  # hits come run by run
            linked[request_id] = self.files.section_lines(run) if run else {}
        known = linked[request_id]
        path = list(hit["path"])
        for depth in range(len(path), 0, -1):
            sections = known.get(path_key(path[:depth]))
            if sections:
                # Of sections sharing the names, the last one starting at or before the line.
                first, names = next((s for s in reversed(sections) if s[0] < hit["line"]), sections[0])
                return self.links.section(origin, request_id, names, max(1, hit["line"] - first))
        if not path:
            return self.links.run(origin, request_id)
        return self.links.section(origin, request_id, path)
