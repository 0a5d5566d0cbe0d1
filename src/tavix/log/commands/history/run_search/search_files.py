"""Where the search index and the section map of each run are kept.

`SearchFiles` is what a search of runs asks of a store: the run's zip, its
index, its section map, a place to build them in, and a rebuild later on.
`LocalSearchFiles` keeps them in a directory (~/.tavix/search by default),
named by the run's content hash, so a run indexed twice has one index.
"""
import logging
import os
import tempfile
import threading

from .section_map import SectionMap, SectionMapError

__all__ = ["DEFAULT_SEARCH_DIRECTORY", "LocalSearchFiles", "SearchFiles"]

logger = logging.getLogger("tavix.log.commands.logs")

DEFAULT_SEARCH_DIRECTORY = os.path.join("~", ".tavix", "search")
INDEX_SUFFIX = ".index"
SECTIONS_SUFFIX = ".sections"


class SearchFiles:
    """A store of runs' search files; `run` is a run as RunIndex.find gives it.

    A subclass gives source, index, sections and store, and calls this
    constructor; rebuilds run in one thread of its own, one run at a time,
    each run at most once."""

    def __init__(self):
        self._rebuilds = _Rebuilds(self)

    def source(self, run):
        """The run's zip: a path, or an object with .size and .read_at(offset, size)."""
        raise NotImplementedError

    def index(self, run):
        """The run's search index (a path or bytes), None when there is none."""
        raise NotImplementedError

    def sections(self, run):
        """The run's SectionMap, None when there is none (or it cannot be read)."""
        raise NotImplementedError

    def store(self, run, index_path, section_map):
        """Keeps a freshly built index file (the file may be moved away) and the run's map."""
        raise NotImplementedError

    def store_sections(self, run, section_map):
        """Keeps a run's map alone (one rebuilt while its index stays)."""
        raise NotImplementedError

    def workspace(self):
        """The directory in which indexes are built (None: the system's temporary one)."""
        return None

    # ------------------------------------------------------------ rebuilds
    def rebuild_later(self, run):
        """Rebuilds the run's search files in the background, once per run."""
        self._rebuilds.ask(run)

    def wait_for_rebuilds(self, timeout=None):
        """Waits until the rebuilds asked for are done; False when `timeout` passed first."""
        return self._rebuilds.wait(timeout)

    def stop_rebuilds(self):
        """Stops the rebuild under way and those waiting (their files stay as they were)."""
        self._rebuilds.stop()


class _Rebuilds:
    """The background rebuilds of one SearchFiles: one worker thread while
    there are runs to rebuild, each run asked for at most once."""

    def __init__(self, files):
        from .cancel import SearchCancel

        self.files = files
        self.lock = threading.Lock()
        self.asked, self.pending, self.worker = set(), [], None
        self.idle = threading.Event()
        self.idle.set()
        self.cancel = SearchCancel()

    def ask(self, run):
        with self.lock:
            if run["content_hash"] in self.asked or self.cancel.is_set():
                return
            self.asked.add(run["content_hash"])
            self.pending.append(run)
            self.idle.clear()
            if self.worker is None:
                self.worker = threading.Thread(target=self._work, name="tavix-search-rebuild", daemon=True)
                self.worker.start()

    def wait(self, timeout):
        return self.idle.wait(timeout)

    def stop(self):
        with self.lock:
            self.pending.clear()
        self.cancel.set()

    def _work(self):
        from .building import rebuild_run_search

        while True:
            with self.lock:
                if not self.pending or self.cancel.is_set():
                    self.pending.clear()
                    self.worker = None
                    self.idle.set()
                    return
                run = self.pending.pop(0)
            try:
                rebuild_run_search(run, self.files, cancel=self.cancel)
            except Exception as error:  # the run stays searchable the slow way; a later search asks again
                logger.debug("the search index of run %s was not rebuilt: %s", run.get("request_id"), error)


class LocalSearchFiles(SearchFiles):
    """Search files in a directory (default ~/.tavix/search), beside runs
    whose zip lies where the run index recorded it."""

    def __init__(self, base=None):
        super().__init__()
        self.base = os.path.expanduser(base or DEFAULT_SEARCH_DIRECTORY)

    def _path(self, run, suffix):
        digest = run["content_hash"]
        if not digest or not all(c in "0123456789abcdef" for c in digest):
            raise ValueError("not a content hash: %r" % digest)
        return os.path.join(self.base, digest + suffix)

    def source(self, run):
        return run["archive"]

    def index(self, run):
        path = self._path(run, INDEX_SUFFIX)
        return path if os.path.isfile(path) else None

    def sections(self, run):
        try:
            with open(self._path(run, SECTIONS_SUFFIX), "rb") as stream:
                return SectionMap.from_bytes(stream.read())
        except (FileNotFoundError, SectionMapError):
            return None

    def store(self, run, index_path, section_map):
        self.store_sections(run, section_map)
        os.replace(index_path, self._path(run, INDEX_SUFFIX))

    def store_sections(self, run, section_map):
        os.makedirs(self.base, exist_ok=True)
        target = self._path(run, SECTIONS_SUFFIX)
        descriptor, written = tempfile.mkstemp(dir=self.base, prefix=".sections.")
        try:
            with os.fdopen(descriptor, "wb") as stream:
                stream.write(section_map.to_bytes())
            os.replace(written, target)
        except BaseException:
            os.unlink(written)
            raise

    def workspace(self):
        os.makedirs(self.base, exist_ok=True)
        return self.base
