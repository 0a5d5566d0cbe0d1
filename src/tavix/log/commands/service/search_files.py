"""Where the service's searches find a run: its archive read in place in the
store (a directory store's file by offset, an object store's object by
ranged reads), its search index and section map kept beside it.

A run pushed before the service built indexes has none: a search reads it
the slow way and asks for a rebuild, made once per run in a worker thread of
its own. Beside the section map the service keeps the first line of each
section in its task log, which turns a hit's line into the section's own
line of a lasting link.
"""
import collections
import concurrent.futures
import contextlib
import json
import logging
import os
import shutil
import tempfile
import threading

logger = logging.getLogger("tavix.log.commands.service")

__all__ = ["StoreSearchFiles", "first_lines"]

# Section maps kept parsed: a search reads a run's map for its hits' links too.
KEPT_MAPS = 64
_COUNT_BLOCK = 4 << 20


def first_lines(archive):
    """{path key: index (from 0) of the section's first line in its task log}
    of every section of an opened archive, each log read once."""
    from tavix.log.commands.history.runs import section_identities

    parser = archive.results
    starts = collections.defaultdict(list)  # log file -> [(byte offset, path key)]
    for record, key, *_ in section_identities(parser):
        section = parser.get_section(record.get("id"))
        if section.logfile and section.log_start is not None and section.log_start >= 0:
            starts[section.logfile].append((section.log_start, key))
    found = {}
    for logfile, wanted in starts.items():
        wanted.sort()
        try:
            found.update(_lines_at(logfile, wanted))
        except OSError as error:  # a log the archive names but lacks: its sections link without a line
            logger.warning("No line numbers for the sections of %s: %s", os.path.basename(logfile),
                           error.strerror or error)
    return found


def _lines_at(logfile, wanted):
    """{path key: line index} of each (byte offset, path key) of `wanted`, sorted by offset."""
    found = {}
    lines = position = 0
    pending = collections.deque(wanted)
    with open(logfile, "rb") as stream:
        while pending:
            block = stream.read(_COUNT_BLOCK)
            end = position + len(block)
            # An offset past the end of the log counts every line.
            while pending and (pending[0][0] <= end or not block):
                offset, key = pending.popleft()
                found[key] = lines + block.count(b"\n", 0, max(0, offset - position))
            lines += block.count(b"\n")
            position = end
    return found


class StoreSearchFiles:
    """The search files of the runs in `store` (a DirectoryStore or an
    ObjectStore). A rebuild works in `work_directory` (default: the system's
    temporary directory)."""

    def __init__(self, store, work_directory=None):
        self._store = store
        self.work_directory = work_directory
        self._local = {}  # digest -> a local copy of the archive, read while it is built
        self._pending_lines = {}  # digest -> first_lines of the build under way
        self._maps = collections.OrderedDict()  # digest -> parsed section map document
        self._lock = threading.Lock()
        self._rebuilt = set()
        self._rebuilds = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="tavix-search-index")
        self.rebuilding = {}  # digest -> Future of its rebuild

    def close(self):
        self._rebuilds.shutdown(wait=False, cancel_futures=True)

    # ------------------------------------------------------- the SearchFiles
    def source(self, run):
        digest = run["content_hash"]
        return self._local.get(digest) or self._store.search_source(digest)

    def index(self, run):
        return self._store.search_index(run["content_hash"])

    def sections(self, run):
        document = self._document(run["content_hash"])
        return None if document is None else document["sections"]

    def store(self, run, index_path, section_map):
        digest = run["content_hash"]
        document = {"sections": section_map, "first_lines": self._pending_lines.get(digest, {})}
        data = json.dumps(document, ensure_ascii=False, separators=(",", ":")).encode("utf-8", "surrogatepass")
        self._store.put_search(digest, os.fspath(index_path), data)
        with self._lock:
            self._maps.pop(digest, None)

    def rebuild_later(self, run):
        digest = run["content_hash"]
        with self._lock:
            if digest in self._rebuilt:
                return
            self._rebuilt.add(digest)
            self.rebuilding[digest] = self._rebuilds.submit(self._rebuild, dict(run))

    # ------------------------------------------------------------- the rest
    def first_lines(self, run):
        """{path key: first line index} of the run's sections; {} when unknown."""
        document = self._document(run["content_hash"])
        return {} if document is None else document.get("first_lines", {})

    def build(self, archive, run, local_path=None):
        """Builds and keeps the search files of `run`, opened as `archive`;
        its zip read from `local_path` when given (a copy the intake holds)."""
        from tavix.log.commands.history.run_search import build_run_search

        digest = run["content_hash"]
        self._pending_lines[digest] = first_lines(archive)
        if local_path is not None:
            self._local[digest] = local_path
        try:
            build_run_search(archive, run, self)
        finally:
            self._local.pop(digest, None)
            self._pending_lines.pop(digest, None)

    def _document(self, digest):
        with self._lock:
            if digest in self._maps:
                self._maps.move_to_end(digest)
                return self._maps[digest]
        data = self._store.search_sections(digest)
        if data is None:
            return None
        try:
            document = json.loads(data.decode("utf-8", "surrogatepass"))
        except ValueError:
            logger.warning("The section map of the run %s is damaged", digest)
            return None
        with self._lock:
            self._maps[digest] = document
            while len(self._maps) > KEPT_MAPS:
                self._maps.popitem(last=False)
        return document

    def _rebuild(self, run):
        from tavix.log.commands.archive import TEMP_DIR_PREFIX, Archive

        digest = run["content_hash"]
        fetched = tempfile.mkdtemp(prefix=TEMP_DIR_PREFIX, dir=self.work_directory)
        try:
            path = self._store.fetch(digest, fetched)
            with Archive(path, directory=fetched) as archive:
                self.build(archive, run, path)
            logger.info("Built the search index of the run %s", run.get("request_id"))
        except Exception as error:
            logger.warning("Could not build the search index of the run %s: %s: %s",
                           run.get("request_id"), type(error).__name__, error)
            raise
        finally:
            with contextlib.suppress(OSError):
                shutil.rmtree(fetched)
