"""The service's cache of open runs: one opening per run however many ask,
failures and cancelled users, least recently used first within bytes and
count, pinned runs kept, drop, close, leftovers and the default size."""
import asyncio
import os
import threading
from collections import namedtuple

import pytest

from tavix.log.commands.archive import TEMP_DIR_PREFIX, Archive
from tavix.log.commands.service import run_cache
from tavix.log.commands.service.errors import Unavailable
from tavix.log.commands.service.run_cache import RunCache, default_cache_size

from helpers.waiting import DEADLINE, thread_event, until


class FakeEntry:
    def __init__(self, key, directory, disk_bytes):
        self.key, self.directory, self.disk_bytes = key, directory, disk_bytes
        self.closed = False


class FakeRuns:
    """open_entry and close_entry for a cache, telling what they did and in
    which thread. An opening of a key in `gates` waits for its event; one in
    `failures` raises that error once."""

    def __init__(self, sizes=None):
        self.sizes = sizes or {}
        self.gates, self.started, self.failures = {}, {}, {}
        self.opened, self.closed, self.threads = [], [], set()

    def gate(self, key):
        self.gates[key], self.started[key] = threading.Event(), threading.Event()
        return self.gates[key]

    def open_entry(self, key, directory):
        self.threads.add(threading.get_ident())
        if key in self.gates:
            self.started[key].set()
            assert self.gates[key].wait(DEADLINE)
        if key in self.failures:
            raise self.failures.pop(key)
        self.opened.append(key)
        return FakeEntry(key, directory, self.sizes.get(key, 10))

    def close_entry(self, entry):
        self.threads.add(threading.get_ident())
        assert not entry.closed
        entry.closed = True
        self.closed.append(entry.key)


@pytest.fixture
def runs():
    return FakeRuns()


def cache_of(runs, directory, max_bytes=1000, max_open=8, **hooks):
    return RunCache(directory, max_bytes, max_open, open_entry=runs.open_entry, close_entry=runs.close_entry,
                    **hooks)


async def hold(cache, key, held, leave):
    """A request in flight: holds `key` until `leave` is set."""
    async with cache.use(key) as entry:
        held.append(entry)
        await leave.wait()


async def test_users_of_one_run_share_one_opening_in_a_worker_thread(tmp_path, runs):
    cache = cache_of(runs, tmp_path / "cache")
    gate = runs.gate("a")
    users = [asyncio.ensure_future(cache.acquire("a")) for _ in range(3)]
    assert await thread_event(runs.started["a"])
    gate.set()
    entries = await asyncio.gather(*users)
    assert all(entry is entries[0] for entry in entries)
    assert entries[0].directory == str(tmp_path / "cache")
    assert cache.stats == {"opened": 1, "dropped": 0, "hits": 2}
    for entry in entries:
        cache.release(entry)
    with pytest.raises(ValueError):
        cache.release(entries[0])
    await cache.close()
    assert runs.opened == runs.closed == ["a"]
    assert threading.get_ident() not in runs.threads


async def test_a_failed_opening_reaches_every_user_is_not_kept_and_is_tried_again(tmp_path, runs):
    cache = cache_of(runs, tmp_path)
    runs.failures["a"] = OSError("disk gone")
    gate = runs.gate("a")
    users = [asyncio.ensure_future(cache.acquire("a")) for _ in range(2)]
    assert await thread_event(runs.started["a"])
    gate.set()
    errors = await asyncio.gather(*users, return_exceptions=True)
    assert [str(error) for error in errors] == ["disk gone"] * 2
    async with cache.use("a") as entry:
        assert entry.key == "a"
    assert cache.stats["opened"] == 1

    async def refused(entry):
        raise RuntimeError("sub-application refused")

    # An entry open_entry gave but on_open refused is closed, not kept.
    refusing = cache_of(runs, tmp_path, on_open=refused)
    with pytest.raises(RuntimeError):
        await refusing.acquire("b")
    assert runs.closed == ["b"] and refusing.stats["opened"] == 0


async def test_a_cancelled_user_leaves_the_opening_to_the_others(tmp_path, runs):
    cache = cache_of(runs, tmp_path)
    gate = runs.gate("a")
    leaving, staying = (asyncio.ensure_future(cache.acquire("a")) for _ in range(2))
    assert await thread_event(runs.started["a"])
    leaving.cancel()
    await asyncio.gather(leaving, return_exceptions=True)
    gate.set()
    entry = await staying
    assert leaving.cancelled() and runs.opened == ["a"]
    cache.release(entry)
    async with cache.use("a") as again:
        assert again is entry


async def abandoned_opening(cache, runs, key):
    gate = runs.gate(key)
    user = asyncio.ensure_future(cache.acquire(key))
    assert await thread_event(runs.started[key])
    user.cancel()
    gate.set()
    await asyncio.gather(user, return_exceptions=True)


async def test_an_opening_nobody_waits_for_is_kept_or_closed_within_the_bounds(tmp_path, runs):
    cache = cache_of(runs, tmp_path)
    await abandoned_opening(cache, runs, "a")
    async with cache.use("a"):
        pass
    assert cache.stats == {"opened": 1, "dropped": 0, "hits": 1}
    too_small = cache_of(runs, tmp_path, max_bytes=5)
    await abandoned_opening(too_small, runs, "b")
    assert await until(lambda: runs.closed == ["b"])
    assert too_small.stats == {"opened": 1, "dropped": 1, "hits": 0}


async def test_the_least_recently_used_goes_first_a_release_counting_as_a_use(tmp_path, runs):
    cache = cache_of(runs, tmp_path, max_open=2)
    a = await cache.acquire("a")
    async with cache.use("b"):
        pass
    cache.release(a)
    async with cache.use("c"):
        pass
    assert await until(lambda: runs.closed == ["b"])
    async with cache.use("a"):
        pass
    async with cache.use("d"):
        pass
    assert await until(lambda: runs.closed == ["b", "c"])


@pytest.mark.parametrize("max_bytes, max_open", [(100, 8), (1000, 1)])
async def test_runs_in_flight_are_kept_beyond_the_bounds_until_their_requests_end(tmp_path, max_bytes, max_open):
    runs = FakeRuns(sizes={"a": 60, "b": 60, "c": 60})
    cache = cache_of(runs, tmp_path, max_bytes=max_bytes, max_open=max_open)
    leaves = {key: asyncio.Event() for key in "abc"}
    held = []
    requests = {key: asyncio.ensure_future(hold(cache, key, held, leaves[key])) for key in "abc"}
    assert await until(lambda: len(held) == 3)
    assert runs.closed == [] and cache.stats["dropped"] == 0
    for key, closed in (("b", ["b"]), ("a", ["b", "a"])):
        leaves[key].set()
        await requests[key]
        assert await until(lambda: runs.closed == closed)
    leaves["c"].set()
    await requests["c"]
    async with cache.use("c"):
        pass
    assert runs.opened == ["a", "b", "c"] and runs.closed == ["b", "a"]


async def test_a_dropped_run_goes_with_its_last_pin_and_is_opened_afresh(tmp_path, runs):
    dropped = []

    async def on_drop(entry):
        dropped.append(entry.closed)

    cache = cache_of(runs, tmp_path, on_drop=on_drop)
    old = await cache.acquire("a")
    cache.drop("a")
    cache.drop("not held")
    fresh = await cache.acquire("a")
    assert fresh is not old and runs.opened == ["a", "a"]
    cache.release(old)
    assert await until(lambda: old.closed)
    assert not fresh.closed and dropped == [False]
    # Dropped while it opens: its user still gets it, then it goes.
    gate = runs.gate("b")
    user = asyncio.ensure_future(cache.acquire("b"))
    assert await thread_event(runs.started["b"])
    cache.drop("b")
    gate.set()
    entry = await user
    cache.release(entry)
    assert await until(lambda: entry.closed)
    # Dropped while it opens for a user who left: it goes once open.
    gate = runs.gate("c")
    user = asyncio.ensure_future(cache.acquire("c"))
    assert await thread_event(runs.started["c"])
    user.cancel()
    cache.drop("c")
    gate.set()
    assert await until(lambda: "c" in runs.closed)
    cache.release(fresh)
    assert not fresh.closed


async def test_close_waits_for_openings_closes_everything_and_refuses_uses(tmp_path, runs):
    cache = cache_of(runs, tmp_path)
    pinned = await cache.acquire("a")
    gate = runs.gate("b")
    user = asyncio.ensure_future(cache.acquire("b"))
    assert await thread_event(runs.started["b"])
    closing = asyncio.ensure_future(cache.close())
    await asyncio.sleep(0)
    assert not closing.done()
    gate.set()
    await asyncio.wait_for(closing, DEADLINE)
    assert sorted(runs.closed) == ["a", "b"]
    with pytest.raises(Unavailable):
        await cache.acquire("a")
    cache.release(pinned)
    cache.release(await user)


async def test_leftover_extractions_are_removed_and_nothing_else(tmp_path, runs):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "precious").write_text("kept")
    directory = tmp_path / "cache"
    leftover = directory / (TEMP_DIR_PREFIX + "killed")
    (leftover / "logs").mkdir(parents=True)
    (leftover / "logs" / "task.log").write_text("x")
    (leftover / "out").symlink_to(outside)
    (directory / (TEMP_DIR_PREFIX + "link")).symlink_to(outside)
    (directory / (TEMP_DIR_PREFIX + "file")).write_text("not a directory")
    (directory / "other").mkdir()
    cache_of(runs, directory)
    assert sorted(os.listdir(directory)) == sorted([TEMP_DIR_PREFIX + "link", TEMP_DIR_PREFIX + "file", "other"])
    assert (outside / "precious").read_text() == "kept"
    cache_of(runs, tmp_path / "new" / "cache")
    assert (tmp_path / "new" / "cache").is_dir()


def test_the_default_size_is_a_fifth_of_the_free_space_at_most_10_gib(tmp_path, monkeypatch):
    measured = []
    usage = namedtuple("usage", "total used free")

    def disk_usage(path):
        measured.append(path)
        return usage(0, 0, free)

    monkeypatch.setattr(run_cache.shutil, "disk_usage", disk_usage)
    free = 5 << 30
    assert default_cache_size(tmp_path / "not" / "yet") == 1 << 30
    free = 100 << 30
    assert default_cache_size(str(tmp_path)) == 10 << 30
    assert measured == [str(tmp_path)] * 2


class OpenedRun:
    """A run archive opened into the cache's directory, as the service opens one."""

    def __init__(self, path, directory):
        self.archive = Archive(path, directory=directory)
        self.archive.__enter__()
        self.disk_bytes = sum(os.lstat(os.path.join(top, name)).st_size
                              for top, _, files in os.walk(self.archive.dir) for name in files)

    def close(self):
        self.archive.__exit__(None, None, None)


async def test_real_runs_open_once_into_the_cache_and_leave_nothing(tmp_path, generated_run):
    try:
        Archive(generated_run.path, directory=str(tmp_path))
    except TypeError:
        pytest.skip("Archive takes no `directory` keyword yet: extractions cannot go to the cache")
    directory = tmp_path / "cache"
    cache = RunCache(directory, 1 << 30, max_open=1, open_entry=lambda key, d: OpenedRun(generated_run.path, d),
                     close_entry=OpenedRun.close)
    first, second = await asyncio.gather(cache.acquire("x"), cache.acquire("x"))
    assert first is second and first.disk_bytes > 0
    assert first.archive.dir.parent == directory and first.archive.dir.name.startswith(TEMP_DIR_PREFIX)
    assert first.archive.results is not None
    extraction = first.archive.dir
    cache.release(first)
    cache.release(second)
    async with cache.use("y"):
        assert await until(lambda: not extraction.exists())
    await cache.close()
    assert os.listdir(directory) == []
