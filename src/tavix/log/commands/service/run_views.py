"""Stored runs opened on demand, each served by the local viewer's application.

A run's archive is opened into the run cache (`OpenedRun`) with section ids
derived from its content hash, so the ids a browser holds stay valid after the
run is dropped and opened again, or the service restarts. Its viewer, a
`LogViewerServer`, answers under /runs/{request_id} exactly what `tavix logs
view` answers under /, compared with the previous run of its suite; under
/runs/{request_id}/compare/{base_request_id} with that run instead.

`RunsResource` hands requests of an opened run to its viewer as aiohttp hands
them to a sub-application, its middlewares included. A run not open yet is
left to the service's opening route, which opens it after the request has
passed the service's access check, then sends the browser to the same address.
"""
import os
import shutil
import tempfile
from urllib.parse import unquote

from aiohttp import web
from aiohttp.web_urldispatcher import PrefixResource

from .request_keys import PINNED

__all__ = ["OpenedRun", "RunTarget", "RunViews", "RunsResource", "parse_target"]

RUNS_PREFIX = "/runs"
# The default baseline: the previous run of the suite.
PREVIOUS = object()


class RunTarget:
    """What a path below /runs names: a run, its baseline, and the path its viewer sees."""

    __slots__ = ("request_id", "base_request_id", "inner_path")

    def __init__(self, request_id, base_request_id, inner_path):
        self.request_id, self.base_request_id, self.inner_path = request_id, base_request_id, inner_path


def parse_target(raw_path):
    """The RunTarget of a raw (still percent-encoded) path, or None when it names no run."""
    parts = raw_path.split("/", 3)
    if len(parts) < 4 or parts[1] != "runs" or not parts[2]:
        return None
    request_id, rest = unquote(parts[2]), "/" + parts[3]
    base = PREVIOUS
    if rest.startswith("/compare/"):
        base_part, _, tail = rest[len("/compare/"):].partition("/")
        if not base_part or not tail:
            return None
        base, rest = unquote(base_part), "/" + tail
    return RunTarget(request_id, base, rest)


def tree_bytes(directory):
    """Bytes of the files below `directory`, links not followed."""
    total = 0
    for root, folders, files in os.walk(directory):
        for name in files:
            try:
                total += os.lstat(os.path.join(root, name)).st_size
            except OSError:
                pass
    return total


class OpenedRun:
    """A stored archive opened into the cache: its parser and its sections by
    path. `fetched`: the directory the store put its copy of the archive in,
    when it makes one (removed on closing)."""

    def __init__(self, digest, archive, fetched):
        from tavix.log.commands.history.runs import path_of, section_identities

        self.digest = digest
        self.archive = archive
        self.fetched = fetched
        self.disk_bytes = tree_bytes(archive.dir) + tree_bytes(fetched)
        listed = section_identities(archive.results)
        self.path_of = {record.get("id"): path_of(key) for record, key, *_ in listed}
        self.id_of = {key: record.get("id") for record, key, *_ in listed}

    def close(self):
        try:
            self.archive.__exit__(None, None, None)
        finally:
            shutil.rmtree(self.fetched)


def open_run(store, digest, directory):
    """The OpenedRun of a stored archive, extracted below `directory`. A copy
    the store makes (an object store's download) goes beside the extraction,
    in a directory named as extractions are: one a killed process left is
    removed with them."""
    from tavix.log.commands.archive import TEMP_DIR_PREFIX, Archive

    fetched = tempfile.mkdtemp(prefix=TEMP_DIR_PREFIX, dir=directory)
    try:
        archive = Archive(store.fetch(digest, fetched), directory=directory, id_seed=digest)
        archive.__enter__()
        try:
            return OpenedRun(digest, archive, fetched)
        except BaseException:
            archive.__exit__(None, None, None)
            raise
    except BaseException:
        shutil.rmtree(fetched)
        raise


class RunViews:
    """The viewers of the opened runs: one per run and baseline, while both are open."""

    def __init__(self, cache, make_viewer):
        self.cache = cache
        self._make_viewer = make_viewer  # (OpenedRun, OpenedRun or None, run) -> LogViewerServer
        self._viewers = {}  # (digest, base digest or None) -> viewer
        # What the opening route has learnt of each request id: (digest, default base digest).
        self.known = {}

    def forget(self, request_id):
        self.known.pop(request_id, None)

    def digests_of(self, target):
        """(digest, base digest or None) of a target already looked up, else None."""
        known = self.known.get(target.request_id)
        if known is None:
            return None
        if target.base_request_id is PREVIOUS:
            return known
        base = self.known.get(target.base_request_id)
        return None if base is None else (known[0], base[0])

    def ready_viewer(self, target):
        """(viewer, pinned entries) of a run whose viewer is up, else (None, ())."""
        digests = self.digests_of(target)
        viewer = digests and self._viewers.get(digests)
        if viewer is None:
            return None, ()
        pinned = self.cache.pin_if_open(digests[0]), digests[1] and self.cache.pin_if_open(digests[1])
        entries = tuple(entry for entry in pinned if entry)
        if pinned[0] is None or (digests[1] and pinned[1] is None):
            for entry in entries:
                self.cache.release(entry)
            return None, ()
        return viewer, entries

    async def start_viewer(self, run, entry, base_entry):
        """Starts the viewer of an opened run with its baseline (entries pinned by the caller)."""
        key = (entry.digest, base_entry.digest if base_entry else None)
        if key in self._viewers:
            return
        viewer = self._make_viewer(entry, base_entry, run)
        viewer.freeze()
        await viewer.startup()
        if key in self._viewers:  # another request started it meanwhile
            await _stop(viewer)
            return
        self._viewers[key] = viewer

    async def entry_dropped(self, entry):
        """Stops the viewers that read the dropped entry."""
        gone = [key for key in self._viewers if entry.digest in key]
        for key in gone:
            await _stop(self._viewers.pop(key))
        if gone:
            _forget_middleware_chains()

    async def close(self):
        for key in list(self._viewers):
            await _stop(self._viewers.pop(key))
        _forget_middleware_chains()


async def _stop(viewer):
    await viewer.shutdown()
    await viewer.cleanup()


def _forget_middleware_chains():
    # aiohttp keeps the middleware chain it builds for each handler and set of
    # applications; a stopped viewer, with its opened archive, would stay
    # referenced there.
    from aiohttp import web_app

    cached = getattr(web_app, "_cached_build_middleware", None)
    if cached is not None and hasattr(cached, "cache_clear"):
        cached.cache_clear()


class RunsResource(PrefixResource):
    """The requests below /runs whose run's viewer is up, handed to that viewer."""

    def __init__(self, views):
        super().__init__(RUNS_PREFIX)
        self._views = views

    async def resolve(self, request):
        target = parse_target(request.rel_url.raw_path)
        if target is None:
            return None, set()
        viewer, entries = self._views.ready_viewer(target)
        if viewer is None:
            return None, set()
        try:
            inner = request.clone(rel_url=request.rel_url.with_path(target.inner_path, encoded=True))
            match_info = await viewer.router.resolve(inner)
        except BaseException:
            for entry in entries:
                self._views.cache.release(entry)
            raise
        # Released by the service's middleware once the answer is sent.
        request[PINNED] = entries
        match_info.add_app(viewer)
        if isinstance(match_info.http_exception, web.HTTPMethodNotAllowed):
            return match_info, match_info.http_exception.allowed_methods
        return match_info, set()

    def url_for(self, *args, **kwargs):
        raise RuntimeError(".url_for() is not supported by the runs' resource")

    def get_info(self):
        return {"prefix": self._prefix}

    def __len__(self):
        return 0

    def __iter__(self):
        return iter(())
