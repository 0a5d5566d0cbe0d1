"""Retention: how long the service keeps each suite's runs, and the sweep
that deletes the runs past their time.

`service.keep_days` ("nightly_*:30, *:90") gives days by suite-name
patterns; the first pattern that matches a suite counts, and a suite none
matches is kept forever. A run's age counts from its start time (from when
it was indexed, for a start time that is no date); a pinned run is never
deleted.

A sweep runs in two phases under the index's sweep lock, so that one
process sweeps at a time and others skip: first it marks the runs past their
time deleted in one transaction, after which no listing, link or look-up
answers them; then, a batch at a time, it deletes their archives from the
store and their rows from the index. Killed between or within the phases,
it leaves marked runs, hidden, which the next sweep finishes. Each replica
of a service drops its cached extraction of a run gone from the index
within CHECK_SECONDS (`TeamRuns.drop_gone_runs`).
"""
import argparse
import asyncio
import fnmatch
import logging
import threading
from dataclasses import dataclass
from typing import List, Tuple

__all__ = ["KeepDays", "Sweep", "keep_up", "parse_keep_days", "sweep", "sweep_now", "would_sweep"]

logger = logging.getLogger("tavix.log.commands.service")

# How often a service looks for runs of its cache gone from the index, and
# sweeps; its first sweep comes a little after it starts, restarts
# more often than daily notwithstanding.
CHECK_SECONDS = 30.0
SWEEP_SECONDS = 24 * 60 * 60.0
FIRST_SWEEP_SECONDS = 60.0
# Runs whose archives are deleted before their rows go, in one transaction.
PURGE_BATCH = 100


@dataclass(frozen=True)
class KeepDays:
    """((suite-name pattern, days), ...), in the order they are tried."""

    rules: Tuple[Tuple[str, int], ...]

    def days_for(self, suite_name):
        """The days runs of the suite named `suite_name` are kept; None: forever."""
        for pattern, days in self.rules:
            if fnmatch.fnmatchcase(suite_name, pattern):
                return days
        return None

    def __str__(self):
        return ", ".join("%s:%d" % rule for rule in self.rules)


def parse_keep_days(text):
    """KeepDays from "PATTERN:DAYS, PATTERN:DAYS, ..."; an argparse type."""
    rules = []
    for part in text.split(","):
        pattern, colon, days = part.strip().rpartition(":")
        pattern, days = pattern.strip(), days.strip()
        if not colon or not pattern or not days.isdigit() or int(days) < 1:
            raise argparse.ArgumentTypeError(
                "retention is suite-name patterns with whole days above 0, separated by commas "
                "('nightly_*:30, *:90'): %r" % text)
        rules.append((pattern, int(days)))
    return KeepDays(tuple(rules))


@dataclass
class Sweep:
    """What a sweep did: `marked` runs newly marked deleted; `deleted` the
    runs whose archives and rows went (those an earlier sweep marked
    included); `stopped` when it was asked to stop before the end."""

    marked: int
    deleted: List[dict]
    stopped: bool = False


def sweep(index, store, keep_days, *, now=None, forget=None, stop=None):
    """Sweeps `index` (a RunIndex) and `store` by `keep_days` (a KeepDays;
    None: only the runs left marked by an earlier sweep go). forget(digests),
    when given, is called with the content hashes of the marked runs before
    their archives go; `stop` (a threading.Event) ends the sweep after the
    batch under way. A Sweep, or None when another sweep holds the lock."""
    with index.sweep_lock() as taken:
        if not taken:
            return None
        marked = index.mark_expired(keep_days.days_for, now) if keep_days else 0
        going = index.marked_runs()
        if forget is not None and going:
            forget([run["content_hash"] for run in going])
        deleted = []
        for start in range(0, len(going), PURGE_BATCH):
            if stop is not None and stop.is_set():
                return Sweep(marked, deleted, stopped=True)
            batch = going[start:start + PURGE_BATCH]
            # Archives first: a run whose rows are gone would leave its archive behind for good.
            for run in batch:
                store.delete(run["content_hash"])
            index.purge(batch)
            deleted.extend(batch)
        return Sweep(marked, deleted)


def would_sweep(index, keep_days, *, now=None):
    """The runs a sweep would delete now: those marked already, then those past their time."""
    going = index.marked_runs()
    if keep_days:
        going += index.expired_runs(keep_days.days_for, now)
    return going


async def sweep_now(team, keep_days):
    """sweep() of a service's `team` (a TeamRuns) in a worker thread, its
    cache forgetting the runs as they are marked. Cancelled, the sweep
    stops after the batch under way."""
    loop = asyncio.get_running_loop()
    stop = threading.Event()

    def forget(digests):
        loop.call_soon_threadsafe(team.forget_runs, digests)

    try:
        done = await asyncio.to_thread(sweep, team.index, team.store, keep_days, forget=forget, stop=stop)
    except asyncio.CancelledError:
        stop.set()
        raise
    if done is None:
        logger.info("Retention sweep skipped: another one is under way.")
    elif done.marked or done.deleted:
        logger.info("Retention sweep: %d run(s) past their time marked, %d deleted.", done.marked,
                    len(done.deleted))
    return done


async def keep_up(team, keep_days, *, check_seconds=CHECK_SECONDS, sweep_seconds=SWEEP_SECONDS,
                  first_sweep_seconds=FIRST_SWEEP_SECONDS):
    """What a service does in the background until cancelled: every
    `check_seconds`, drops its cached runs another replica swept; every
    `sweep_seconds`, the first time `first_sweep_seconds` after it starts,
    a sweep. A failure is logged, and tried again at the next turn."""
    loop = asyncio.get_running_loop()
    next_sweep = loop.time() + first_sweep_seconds
    while True:
        await asyncio.sleep(max(0.0, min(check_seconds, next_sweep - loop.time())))
        sweeping = loop.time() >= next_sweep
        try:
            if sweeping:
                next_sweep = loop.time() + sweep_seconds
                await sweep_now(team, keep_days)
            else:
                await team.drop_gone_runs()
        except Exception as error:
            from tavix.log.commands.history import RunIndexError

            from .errors import ServiceError

            doing = "The retention sweep" if sweeping else "Looking for runs gone from the index"
            if isinstance(error, (RunIndexError, ServiceError, OSError)):
                logger.warning("%s failed: %s", doing, error)
            else:
                logger.exception("%s failed", doing)
