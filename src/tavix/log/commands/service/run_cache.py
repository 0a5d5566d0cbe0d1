"""The runs the service holds open: extracted on demand into one directory,
bounded by their bytes on disk and by their number, least recently used first.

Opening and closing a run is disk work of seconds: it runs in worker threads
and the event loop only keeps the books. A run in use (pinned) is never
dropped; the cache may then exceed its bounds, and goes back within them as
soon as the pins are released.
"""
import asyncio
import collections
import contextlib
import logging
import os
import shutil

from tavix.log.commands.archive import TEMP_DIR_PREFIX

from .errors import Unavailable

logger = logging.getLogger("tavix.log.commands.service")

# Whatever the disk, the cache never takes more by default; nor more than a
# fifth of the space left, so that the store beside it keeps room to grow.
DEFAULT_CACHE_CEILING = 10 << 30
DEFAULT_FREE_SHARE = 5


def default_cache_size(directory):
    """The bytes the cache in `directory` may hold by default: 10 GiB, or a
    fifth of the free space of its filesystem if that is less. `directory`
    need not exist yet: its nearest existing parent is measured."""
    existing = os.path.abspath(os.fspath(directory))
    while not os.path.isdir(existing):
        existing = os.path.dirname(existing)
    return min(DEFAULT_CACHE_CEILING, shutil.disk_usage(existing).free // DEFAULT_FREE_SHARE)


def remove_leftover_extractions(directory):
    """Removes the extraction directories a killed process left in
    `directory`: only real directories named as archives name theirs, never
    a symbolic link, nor anything else."""
    with os.scandir(directory) as entries:
        leftovers = [entry.path for entry in entries
                     if entry.name.startswith(TEMP_DIR_PREFIX) and entry.is_dir(follow_symlinks=False)]
    for path in leftovers:
        # rmtree unlinks the symbolic links inside without following them.
        shutil.rmtree(path)


class _Slot:
    """One run of the cache: being opened (`entry` None, `opening` its task),
    open, or gone (its closing under way, or done)."""

    __slots__ = ("key", "entry", "disk_bytes", "opening", "pins", "dropped", "gone")

    def __init__(self, key):
        self.key = key
        self.entry = None
        self.disk_bytes = 0
        self.opening = None
        # Users holding the run, those still waiting for its opening included.
        self.pins = 0
        # Asked to go (the run was deleted): leaves once its last pin goes.
        self.dropped = False
        # Out of the cache, its entry closed or being closed.
        self.gone = False


class RunCache:
    """Runs opened on demand by `open_entry(key, directory)` (called in a
    worker thread; it returns an entry whose int attribute `disk_bytes` says
    what it takes on disk) and closed by `close_entry(entry)` (in a worker
    thread too). The coroutines `on_open(entry)` and `on_drop(entry)`, when
    given, run once an entry is open and before it is closed.

    At most `max_bytes` of `disk_bytes` and `max_open` entries are kept, the
    least recently used unpinned ones dropped first. Leftover extraction
    directories in `directory` are removed when the cache is made, before
    anything is served: each process needs a directory of its own.
    """

    def __init__(self, directory, max_bytes, max_open=8, *, open_entry, close_entry, on_open=None,
                 on_drop=None):
        self._directory = os.fspath(directory)
        self._max_bytes = max_bytes
        self._max_open = max_open
        self._open_entry = open_entry
        self._close_entry = close_entry
        self._on_open = on_open
        self._on_drop = on_drop
        # Runs by key, least recently used first.
        self._slots = collections.OrderedDict()
        # Pinned or open slots by id(entry), for `release`: an entry need not
        # be hashable, and the slot holds it, so its id is not reused meanwhile.
        self._by_entry = {}
        self._openings = set()
        self._closings = set()
        self._closed = False
        self.stats = {"opened": 0, "dropped": 0, "hits": 0}
        os.makedirs(self._directory, exist_ok=True)
        remove_leftover_extractions(self._directory)

    @contextlib.asynccontextmanager
    async def use(self, key):
        """`async with cache.use(key) as entry:` holds the run `key` open
        inside the block."""
        entry = await self.acquire(key)
        try:
            yield entry
        finally:
            self.release(entry)

    async def acquire(self, key):
        """The entry of the run `key`, opened if it is not, pinned until
        `release(entry)`. Users of one key share one opening; one that fails
        raises its error to each of them and is not kept. A user cancelled
        while waiting leaves the opening to go on for the others."""
        if self._closed:
            raise Unavailable("the run cache is closed")
        slot = self._slots.get(key)
        if slot is None:
            slot = self._slots[key] = _Slot(key)
            slot.opening = asyncio.ensure_future(self._open(slot))
            self._openings.add(slot.opening)
            slot.opening.add_done_callback(self._openings.discard)
        else:
            self.stats["hits"] += 1
            self._slots.move_to_end(key)
        slot.pins += 1
        if slot.entry is None:
            try:
                await asyncio.shield(slot.opening)
            except BaseException:
                self._unpin(slot)
                raise
        return slot.entry

    def pin_if_open(self, key):
        """The entry of the run `key`, pinned as `acquire` pins it, when it is
        open; None (and nothing pinned) when it is not."""
        slot = self._slots.get(key)
        if slot is None or slot.entry is None or self._closed:
            return None
        self.stats["hits"] += 1
        self._slots.move_to_end(key)
        slot.pins += 1
        return slot.entry

    def keys(self):
        """The keys of the runs open or being opened."""
        return list(self._slots)

    def __len__(self):
        """The runs open in the cache."""
        return sum(1 for slot in self._slots.values() if slot.entry is not None)

    def release(self, entry):
        """Lets go of a pin `acquire` gave; the run becomes the most recently used."""
        slot = self._by_entry.get(id(entry))
        if slot is None or slot.pins == 0:
            raise ValueError("this entry is not held from the run cache")
        if self._slots.get(slot.key) is slot:
            self._slots.move_to_end(slot.key)
        self._unpin(slot)

    def drop(self, key):
        """Forgets the run `key` (it was deleted): it is closed now, or once
        its last user releases it. Uses from now on open it afresh."""
        slot = self._slots.pop(key, None)
        if slot is None:
            return
        slot.dropped = True
        if slot.entry is not None and slot.pins == 0:
            self._discard(slot)

    async def close(self):
        """Waits for the openings under way, then closes every run, pinned or
        not, and waits for every closing. Uses from now on are refused."""
        self._closed = True
        await asyncio.gather(*self._openings, return_exceptions=True)
        # Open slots are all in _by_entry, those dropped but still pinned too.
        for slot in list(self._by_entry.values()):
            if not slot.gone:
                self._discard(slot)
        await asyncio.gather(*self._closings, return_exceptions=True)

    async def _open(self, slot):
        try:
            entry = await asyncio.to_thread(self._open_entry, slot.key, self._directory)
            try:
                disk_bytes = int(entry.disk_bytes)
                if self._on_open is not None:
                    await self._on_open(entry)
            except BaseException:
                await asyncio.to_thread(self._close_entry, entry)
                raise
        except BaseException:
            if self._slots.get(slot.key) is slot:
                del self._slots[slot.key]
            raise
        slot.entry = entry
        slot.disk_bytes = disk_bytes
        self._by_entry[id(entry)] = slot
        self.stats["opened"] += 1
        if slot.dropped and slot.pins == 0:
            self._discard(slot)
        self._keep_bounds()
        return entry

    def _unpin(self, slot):
        slot.pins -= 1
        if slot.pins > 0 or slot.entry is None:
            return
        if slot.gone:
            del self._by_entry[id(slot.entry)]
        elif slot.dropped:
            self._discard(slot)
        else:
            self._keep_bounds()

    def _keep_bounds(self):
        while True:
            held = [slot for slot in self._slots.values() if slot.entry is not None]
            if sum(slot.disk_bytes for slot in held) <= self._max_bytes and len(held) <= self._max_open:
                return
            victim = next((slot for slot in held if slot.pins == 0), None)
            if victim is None:
                return
            self._discard(victim)

    def _discard(self, slot):
        """Takes the open `slot` out of the cache and closes its entry in the
        background."""
        slot.gone = True
        if self._slots.get(slot.key) is slot:
            del self._slots[slot.key]
        if slot.pins == 0:
            del self._by_entry[id(slot.entry)]
        self.stats["dropped"] += 1
        closing = asyncio.ensure_future(self._close(slot.key, slot.entry))
        self._closings.add(closing)
        closing.add_done_callback(self._closings.discard)

    async def _close(self, key, entry):
        # Nobody waits for a closing to answer it: its failure is told here.
        try:
            try:
                if self._on_drop is not None:
                    await self._on_drop(entry)
            finally:
                await asyncio.to_thread(self._close_entry, entry)
        except Exception:
            logger.exception("Closing the cached run %r failed", key)
