"""Where the service's searches find a run: its archive read in place in the
store (a directory store's file by offset, an object store's object by
ranged reads), its search index, section map and section lines kept beside
it.

A run pushed before the service built indexes has none: a search reads it
the slow way and asks for a rebuild, made once per run in a worker thread
of its own from a copy of the archive, opened as at push. The section
lines are the first line of each section in its task log: they turn a
hit's line into the section's own line of a lasting link.
"""
import collections
import concurrent.futures
import contextlib
import json
import logging
import shutil
import tempfile
import threading
import zlib

from tavix.log.commands.history.run_search import SearchFiles, SectionMap, SectionMapError

logger = logging.getLogger("tavix.log.commands.service")

__all__ = ["StoreSearchFiles", "section_lines"]

# Section maps kept read: a search reads a run's map for its hits' links too.
KEPT_MAPS = 64
_COUNT_BLOCK = 4 << 20


def section_lines(archive):
    """{path key of the names a hit gives: [[index (from 0) of the section's
    first line in its task log, the section's path as the run index names
    it], ...] by first line} of every section of an opened archive, each log
    read once. Sections of one name under one parent share a hit's path;
    the index tells them apart ("#2")."""
    from tavix.log.commands.history.runs import path_key, path_of, section_identities

    parser = archive.results
    names_of = {}  # sequence number -> the section's names, as a hit gives them
    starts = collections.defaultdict(list)  # log file -> [(byte offset, hit path key, index path)]
    for record, key, *_ in section_identities(parser):
        parents = record.get("parents") or []
        names = names_of.get(parents[-1], []) + [str(record.get("section_name", ""))] if parents else \
            [str(record.get("section_name", ""))]
        names_of[record.get("sequence_number")] = names
        section = parser.get_section(record.get("id"))
        if section is not None and section.logfile and int(section.log_start) >= 0:
            starts[section.logfile].append((int(section.log_start), path_key(names), path_of(key)))
    found = collections.defaultdict(list)
    for logfile, wanted in starts.items():
        wanted.sort(key=lambda start: start[0])
        try:
            counted = _lines_at(logfile, [start[0] for start in wanted])
        except OSError as error:  # a log the archive names but lacks: its sections link without a line
            logger.warning("No line numbers for the sections of a log of the run: %s", error.strerror or error)
            continue
        for (_, names, path), line in zip(wanted, counted):
            found[names].append([line, path])
    for sections in found.values():
        sections.sort(key=lambda section: section[0])
    return dict(found)


def _lines_at(logfile, offsets):
    """The index of the line holding each byte offset of `offsets` (sorted), in order."""
    found = []
    lines = position = 0
    pending = collections.deque(offsets)
    with open(logfile, "rb") as stream:
        while pending:
            block = stream.read(_COUNT_BLOCK)
            end = position + len(block)
            # An offset past the end of the log counts every line.
            while pending and (pending[0] <= end or not block):
                found.append(lines + block.count(b"\n", 0, max(0, pending.popleft() - position)))
            lines += block.count(b"\n")
            position = end
    return found


class StoreSearchFiles(SearchFiles):
    """The search files of the runs in `store` (a DirectoryStore or an
    ObjectStore). Indexes are built, and archives copied for a rebuild, in
    `work_directory` (default: the system's temporary directory)."""

    def __init__(self, store, work_directory=None):
        super().__init__()
        self._store = store
        self.work_directory = work_directory
        self._local = {}  # digest -> a local copy of the archive, read while its index is built
        self._pending_lines = {}  # digest -> section_lines of the build under way
        self._read = collections.OrderedDict()  # digest -> (SectionMap or None, section lines)
        self._lock = threading.Lock()
        self._rebuilt = set()
        self._rebuild_threads = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="tavix-search-index")
        self.rebuilding = {}  # digest -> Future of its rebuild

    def close(self):
        self.stop_rebuilds()

    # ------------------------------------------------------- the SearchFiles
    def source(self, run):
        digest = run["content_hash"]
        return self._local.get(digest) or self._store.search_source(digest)

    def index(self, run):
        return self._store.search_index(run["content_hash"])

    def sections(self, run):
        return self._kept(run["content_hash"])[0]

    def store(self, run, index_path, section_map):
        digest = run["content_hash"]
        lines = self._pending_lines.get(digest, {})
        self._store.put_search_part(digest, "lines", zlib.compress(json.dumps(
            lines, ensure_ascii=False, separators=(",", ":")).encode("utf-8", "surrogatepass")))
        self.store_sections(run, section_map)
        self._store.put_search_index(digest, index_path)

    def store_sections(self, run, section_map):
        digest = run["content_hash"]
        self._store.put_search_part(digest, "sections", section_map.to_bytes())
        with self._lock:
            self._read.pop(digest, None)

    def workspace(self):
        return self.work_directory

    def rebuild_later(self, run):
        digest = run["content_hash"]
        with self._lock:
            if digest in self._rebuilt:
                return
            self._rebuilt.add(digest)
            self.rebuilding[digest] = self._rebuild_threads.submit(self._rebuild, dict(run))

    def wait_for_rebuilds(self, timeout=None):
        with self._lock:
            asked = list(self.rebuilding.values())
        return not concurrent.futures.wait(asked, timeout).not_done

    def stop_rebuilds(self):
        self._rebuild_threads.shutdown(wait=False, cancel_futures=True)

    # ------------------------------------------------------------- the rest
    def section_lines(self, run):
        """The run's section lines (see `section_lines`); {} when unknown."""
        return self._kept(run["content_hash"])[1]

    def build(self, archive, run, local_path=None):
        """Builds and keeps the search files of `run`, opened as `archive`;
        its zip read from `local_path` when given (a copy the intake holds)."""
        from tavix.log.commands.history.run_search import build_run_search

        digest = run["content_hash"]
        self._pending_lines[digest] = section_lines(archive)
        stored_at = archive.file
        if local_path is not None:
            self._local[digest] = archive.file = local_path
        try:
            build_run_search(archive, run, self)
        finally:
            archive.file = stored_at
            self._local.pop(digest, None)
            self._pending_lines.pop(digest, None)

    def _kept(self, digest):
        """(SectionMap or None, section lines) of a run, read once in a while."""
        with self._lock:
            if digest in self._read:
                self._read.move_to_end(digest)
                return self._read[digest]
        section_map = lines = None
        data = self._store.search_part(digest, "sections")
        if data is not None:
            try:
                section_map = SectionMap.from_bytes(data)
            except SectionMapError:
                logger.warning("The section map of the run %s cannot be read", digest)
        data = self._store.search_part(digest, "lines")
        if data is not None:
            try:
                lines = json.loads(zlib.decompress(data).decode("utf-8", "surrogatepass"))
            except (zlib.error, ValueError):
                logger.warning("The section lines of the run %s cannot be read", digest)
        found = (section_map, lines if isinstance(lines, dict) else {})
        if section_map is None:  # not kept: another replica may build it meanwhile
            return found
        with self._lock:
            self._read[digest] = found
            while len(self._read) > KEPT_MAPS:
                self._read.popitem(last=False)
        return found

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
