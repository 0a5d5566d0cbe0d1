"""What a retention sweep asks of the run index: pins, runs past their time,
the marks of runs being deleted, and a lock that lets one sweep run at a time.

A sweep first marks the runs it deletes (one transaction): from then on no
listing or look-up answers them. Their rows go afterwards, run by run, once
their archives have left the store; a sweep stopped between the two leaves
marked runs that the next one finishes.
"""
import contextlib
import fcntl
import os
import time

import sqlalchemy
from sqlalchemy import and_, func, or_, select

from . import schema
from .errors import IndexUnavailable
from .stored_text import recorded

DAY_SECONDS = 24 * 60 * 60
# Any number fixed for tavix, other than the writers' lock: the PostgreSQL
# advisory lock a sweep holds for as long as it runs.
_SWEEP_LOCK = 0x7A71C6
# Beside a SQLite index, the file a sweep holds locked.
SQLITE_SWEEP_LOCK_SUFFIX = ".sweep-lock"
# Run ids per statement: within every database's limit of parameters.
_CHUNK = 500
# The tables of a run's rows, the run's own last.
_RUN_TABLES = (schema.category_nodes, schema.run_categories, schema.run_sections)


def _chunks(items):
    for start in range(0, len(items), _CHUNK):
        yield items[start:start + _CHUNK]


class RetentionRecords:
    """The retention methods of RunIndex. A run in their answers is
    {"id", "request_id", "suite_name", "start_time", "content_hash"}."""

    @staticmethod
    def _retained_query():
        runs, suites = schema.runs, schema.suites
        return (select(runs.c.id, runs.c.request_id, recorded(suites.c.full_name, suites.c.name).label("suite_name"),
                       runs.c.start_time, runs.c.content_hash)
                .join(suites, suites.c.id == runs.c.suite_id).order_by(runs.c.id))

    def pin(self, request_id, pinned=True):
        """Pins the run of `request_id` (the newest, should there be several)
        so that no sweep deletes it, or unpins it; the run, or None when no
        such run is stored."""
        runs = schema.runs
        with self._transaction(writing=True) as connection:
            if not self._has_tables(connection):
                return None
            run = self._newest_with_request_id(connection, request_id)
            if run is not None:
                connection.execute(runs.update().where(runs.c.id == run["id"]).values(
                    pinned=time.time() if pinned else None))
        return run

    def _expired(self, connection, days_of, now):
        """The condition on tavix_runs of the runs to delete: neither pinned
        nor marked, older than days_of(suite name) days (None: kept forever)
        by their start time, else by when they were indexed."""
        suites, runs = schema.suites, schema.runs
        by_days = {}
        for suite_id, name in connection.execute(select(suites.c.id, recorded(suites.c.full_name, suites.c.name))):
            days = days_of(name)
            if days is not None:
                by_days.setdefault(days, []).append(suite_id)
        if not by_days:
            return None
        age_from = func.coalesce(runs.c.started, runs.c.indexed_at)
        return and_(schema.LIVE, runs.c.pinned.is_(None), or_(*[
            and_(runs.c.suite_id.in_(suite_ids), age_from < now - days * DAY_SECONDS)
            for days, suite_ids in by_days.items()]))

    def expired_runs(self, days_of, now=None):
        """The runs a sweep at `now` (seconds since 1970; default: now) would
        mark, oldest indexed first; nothing is changed."""
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return []
            condition = self._expired(connection, days_of, time.time() if now is None else now)
            if condition is None:
                return []
            return [dict(row) for row in connection.execute(self._retained_query().where(condition)).mappings()]

    def mark_expired(self, days_of, now=None):
        """Marks deleted, in one transaction, the runs `expired_runs` answers; how many."""
        now = time.time() if now is None else now
        runs = schema.runs
        with self._transaction(writing=True) as connection:
            if not self._has_tables(connection):
                return 0
            condition = self._expired(connection, days_of, now)
            if condition is None:
                return 0
            return connection.execute(runs.update().where(condition).values(deleted=now)).rowcount

    def marked_runs(self):
        """The runs marked deleted whose rows are still there, oldest indexed first."""
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return []
            return [dict(row) for row in connection.execute(
                self._retained_query().where(schema.runs.c.deleted.isnot(None))).mappings()]

    def purge(self, runs):
        """Deletes the rows of `runs` (as `marked_runs` gives them) that are
        still marked deleted, in one transaction; how many runs went."""
        ids = [run["id"] for run in runs]
        table = schema.runs
        gone = 0
        with self._transaction(writing=True) as connection:
            for chunk in _chunks(ids):
                marked = [run_id for (run_id,) in connection.execute(select(table.c.id).where(and_(
                    table.c.id.in_(chunk), table.c.deleted.isnot(None))))]
                if not marked:
                    continue
                for rows in _RUN_TABLES:
                    connection.execute(rows.delete().where(rows.c.run_id.in_(marked)))
                gone += connection.execute(table.delete().where(table.c.id.in_(marked))).rowcount
        return gone

    def live_digests(self, digests):
        """The content hashes among `digests` whose run is stored and not marked deleted."""
        runs = schema.runs
        digests = list(digests)
        live = set()
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return live
            for chunk in _chunks(digests):
                live.update(connection.execute(select(runs.c.content_hash).where(and_(
                    runs.c.content_hash.in_(chunk), schema.LIVE))).scalars())
        return live

    @contextlib.contextmanager
    def sweep_lock(self):
        """`with index.sweep_lock() as taken:` taken is True when this sweep
        holds the index's sweep lock until the block ends, False while
        another process or thread holds it. The lock goes with its holder,
        should that be killed."""
        if self.sqlite:
            with self._sqlite_sweep_lock() as taken:
                yield taken
            return
        try:
            connection = self.engine.connect()
        except sqlalchemy.exc.DBAPIError as error:
            raise self._translated(error) from None
        try:
            try:
                # A lock of the session, not of a transaction: it is held
                # while the sweep's own transactions come and go.
                taken = connection.execution_options(isolation_level="AUTOCOMMIT").execute(
                    select(func.pg_try_advisory_lock(_SWEEP_LOCK))).scalar()
            except sqlalchemy.exc.DBAPIError as error:
                raise self._translated(error) from None
            yield bool(taken)
        finally:
            connection.close()  # the session's end lets go of its lock

    @contextlib.contextmanager
    def _sqlite_sweep_lock(self):
        path = self._sqlite_path()
        if not path or path == ":memory:":
            yield True  # a database no other connection sees
            return
        try:
            descriptor = os.open(path + SQLITE_SWEEP_LOCK_SUFFIX, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        except OSError as error:
            raise IndexUnavailable(self.shown, "its sweep lock cannot be opened: %s" % error.strerror) from None
        try:
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                yield False
                return
            yield True
        finally:
            os.close(descriptor)  # closing lets go of the lock
