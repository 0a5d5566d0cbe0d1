"""The team's runs: what the service's routes ask of its index, store and cache.

Every call of the run index runs in a thread of its own pool, so a slow
database never holds the event loop; its failures become `Unavailable`.
"""
import asyncio
import concurrent.futures
import functools

from .errors import RunNotFound, Unavailable
from .links import Links
from .run_searches import RunSearches
from .run_views import PREVIOUS, RunViews, open_run
from .search_files import StoreSearchFiles

__all__ = ["TeamRuns", "LIST_LIMIT", "MAX_LIST_LIMIT"]

LIST_LIMIT = 50
MAX_LIST_LIMIT = 500
# How long a run just opened stays pinned for the request that follows.
OPENED_GRACE_SECONDS = 5.0
# Lines counted at once while a line number is turned into a byte offset.
_COUNT_BLOCK = 4 << 20


class TeamRuns:
    opened_grace_seconds = OPENED_GRACE_SECONDS

    def __init__(self, index, store, intake, cache_factory, *, links=None, window=10):
        self.index = index
        self.store = store
        self.intake = intake
        self.links = links or Links()
        self.window = window
        self._index_threads = concurrent.futures.ThreadPoolExecutor(4, thread_name_prefix="tavix-index")
        self.cache = cache_factory(open_entry=functools.partial(open_run, store), close_entry=_close_entry,
                                   on_drop=self._entry_dropped)
        self.views = RunViews(self.cache, self._make_viewer)
        # The intake builds each pushed run's search index into the store, which searches read.
        intake.search_files = StoreSearchFiles(store, intake.extraction_directory)
        self.searches = RunSearches(index, intake.search_files, self.links)

    async def close(self):
        await self.cache.close()
        await self.views.close()
        self._index_threads.shutdown(wait=False)
        self.searches.close()

    # ---------------------------------------------------------------- index
    async def indexed(self, method, *args, **kwargs):
        """index.method(*args, **kwargs) in an index thread."""
        from tavix.log.commands.history import RunIndexError

        call = functools.partial(getattr(self.index, method), *args, **kwargs)
        try:
            return await asyncio.get_running_loop().run_in_executor(self._index_threads, call)
        except RunIndexError as error:
            raise Unavailable(str(error)) from None

    def answer(self, origin, run_object):
        """A run object of the index as the API answers it: with its link."""
        return dict(run_object, link=self.links.run(origin, run_object["request_id"]))

    async def run(self, request_id):
        """The index's row of a stored run; RunNotFound when there is none."""
        run = await self.indexed("run_by_request_id", request_id)
        if run is None:
            raise RunNotFound("no run %r is stored" % request_id)
        return run

    async def run_object(self, origin, request_id):
        run = await self.run(request_id)
        return self.answer(origin, await self.indexed("run_object", run))

    async def list_runs(self, origin, suite=None, before=None, limit=LIST_LIMIT, text=None):
        """{"runs", "next"}: a page of runs, newest first."""
        found = await self.indexed("runs", suite=suite, before=before, limit=limit + 1, text=text)
        page = [self.answer(origin, run) for run in found[:limit]]
        following = None
        if len(found) > limit:
            following = self.links.runs_page(origin, suite=suite, before=page[-1]["request_id"],
                                             limit=limit, text=text)
        return {"runs": page, "next": following}

    async def suites(self, origin):
        suites = await self.indexed("suites")
        for suite in suites:
            suite["latest"] = self.answer(origin, suite["latest"])
            for point in suite["trend"]:
                point["link"] = self.links.run(origin, point["request_id"])
        return {"suites": suites}

    async def push(self, origin, chunks, length=None):
        """(answer, created) of an archive streamed in, `length` bytes long when known."""
        run_object, created = await self.intake.take(chunks, length)
        return self.answer(origin, run_object), created

    async def delete(self, request_id):
        run = await self.run(request_id)
        await self.indexed("delete_run", run)
        self.views.forget(request_id)
        self.cache.drop(run["content_hash"])
        await asyncio.get_running_loop().run_in_executor(None, self.store.delete, run["content_hash"])

    def forget_runs(self, digests):
        """Drops the runs of these content hashes (deleted, or being deleted)
        from the cache and from what the viewers' routes know: from now on no
        link answers them without asking the index."""
        gone = set(digests)
        for request_id, known in list(self.views.known.items()):
            if gone.intersection(known):
                self.views.forget(request_id)
        for digest in gone:
            self.cache.drop(digest)

    async def drop_gone_runs(self):
        """forget_runs() of the runs open here that the index no longer answers:
        another replica (or a command) deleted them, or is deleting them."""
        held = set(self.cache.keys())
        held.update(digest for known in self.views.known.values() for digest in known if digest)
        if held:
            self.forget_runs(held - await self.indexed("live_digests", held))

    async def ready(self):
        """Raises Unavailable unless the index and the store answer."""
        await self.indexed("runs", limit=1)
        try:
            await asyncio.get_running_loop().run_in_executor(None, self.store.check)
        except OSError as error:
            raise Unavailable("the store cannot be read: %s" % error.strerror) from None

    # ---------------------------------------------------------------- triage
    async def gate(self, origin, request_id, fail_on):
        """{"fail_on", "failures", "passed"} of a stored run, each failure with its section's link."""
        run = await self.run(request_id)
        failing = await self.indexed("gate", run, fail_on)
        for failure in failing:
            failure["link"] = self.links.section(origin, request_id, failure["path"])
        return {"fail_on": fail_on, "failures": failing, "passed": not failing}

    # --------------------------------------------------------------- opening
    async def open_target(self, target):
        """Opens a run and its baseline and starts their viewer; RunNotFound
        for a run not stored (or a baseline named but not stored)."""
        run = await self.run(target.request_id)
        if target.base_request_id is PREVIOUS:
            base = await self.indexed("previous_run", run)
            loop = asyncio.get_running_loop()
            if base is not None and not await loop.run_in_executor(None, self.store.exists, base["content_hash"]):
                base = None
        else:
            base = await self.run(target.base_request_id)
        entries = [await self.cache.acquire(run["content_hash"])]
        try:
            if base is not None:
                entries.append(await self.cache.acquire(base["content_hash"]))
            await self.views.start_viewer(run, entries[0], entries[1] if base else None)
        finally:
            # Held a moment longer, for the request the browser sends next:
            # a full cache would otherwise drop them before it comes.
            loop = asyncio.get_running_loop()
            for entry in entries:
                loop.call_later(self.opened_grace_seconds, self.release, entry)
        known = self.views.known
        known[run["request_id"]] = (run["content_hash"], base["content_hash"] if base else None)
        if base is not None:
            known.setdefault(base["request_id"], (base["content_hash"], None))

    async def section(self, origin, request_id, *, section_id=None, path=None, line=None, offset=None):
        """{"id", "path", "link"} of a section of a stored run, found by id or
        by path; with `line` (from 1) the byte "offset" of that line in the
        section's log, with `offset` the "line" it falls in."""
        run = await self.run(request_id)
        async with self.cache.use(run["content_hash"]) as entry:
            if section_id is None:
                from tavix.log.commands.history.runs import path_key

                section_id = entry.id_of.get(path_key(path))
            if section_id is None or section_id not in entry.path_of:
                raise LookupError("no such section")
            path = entry.path_of[section_id]
            answer = {"id": section_id, "path": path}
            section = entry.archive.results.get_section(section_id)
            loop = asyncio.get_running_loop()
            if line is not None:
                answer["offset"] = await loop.run_in_executor(None, _offset_of_line, section, line)
            elif offset is not None:
                line = await loop.run_in_executor(None, _line_at, section, offset)
                answer["line"] = line
        answer["link"] = self.links.section(origin, request_id, path, line)
        return answer

    def release(self, entry):
        """Lets go of a pinned entry; one of a cache closed meanwhile is gone already."""
        try:
            self.cache.release(entry)
        except ValueError:  # the cache was closed meanwhile
            pass

    # ------------------------------------------------------------- viewers
    def _make_viewer(self, entry, base_entry, run):
        from tavix.log.commands.history.viewer import ViewerHistory
        from tavix.log.commands.server import LogViewerServer

        history = ViewerHistory(self.index, run, entry.archive.results, self.window)
        return LogViewerServer(entry.archive, baseline=base_entry.archive if base_entry else None,
                               history=history)

    async def _entry_dropped(self, entry):
        await self.views.entry_dropped(entry)


def _close_entry(entry):
    entry.close()


def _section_bytes(section):
    """Blocks of the section's log, in order: the file the viewer reads it
    from (inside the run's extraction), as bytes."""
    size = section.log_size
    left = None if size is None or size < 0 else size
    with open(section.logfile, "rb") as stream:
        stream.seek(section.log_start)
        while left is None or left > 0:
            block = stream.read(_COUNT_BLOCK if left is None else min(left, _COUNT_BLOCK))
            if not block:
                return
            if left is not None:
                left -= len(block)
            yield block


def _offset_of_line(section, line):
    """The byte offset, in the section, of its line number `line` (from 1);
    the end of the log for a line past it."""
    wanted = max(line, 1) - 1
    offset = 0
    for block in _section_bytes(section):
        count = block.count(b"\n")
        if count >= wanted:
            if not wanted:
                return offset
            return offset + len(b"\n".join(block.split(b"\n", wanted)[:wanted])) + 1
        wanted -= count
        offset += len(block)
    return offset


def _line_at(section, offset):
    """The line number (from 1) of the line that holds byte `offset` of the section."""
    counted = 0
    for block in _section_bytes(section):
        if offset <= len(block):
            return counted + block.count(b"\n", 0, offset) + 1
        counted += block.count(b"\n")
        offset -= len(block)
    return counted + 1
