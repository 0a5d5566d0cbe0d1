"""Runs and suites as the team service lists them: newest first, paged, each
run with its job summary and the new / known / flaky counts of its failures.

Runs a retention sweep has marked deleted are never listed nor found.

These facts are kept in the run's row, so a listing opens no archive. Runs
recorded before they were kept get their counts worked out from the index
the first time they are listed, and stored; their summary stays unknown.
"""
import json

import sqlalchemy
from sqlalchemy import func, or_, select

from . import schema
from .errors import IndexBusy
from .run_order import newest_first, started_before
from .stored_text import escaped, key_of

DEFAULT_LIMIT = 50
DEFAULT_TREND = 30
# The statuses of failing sections a listing counts, and where each is kept.
COUNTED = {"new": schema.runs.c.new_count, "known": schema.runs.c.known_count,
           "flaky": schema.runs.c.flaky_count}
_LIKE_ESCAPE = "/"


def status_counts(history):
    """{"new", "known", "flaky"}: the failing sections of a history (as
    `RunIndex.history` answers it) with each status."""
    counts = dict.fromkeys(COUNTED, 0)
    for node in history["nodes"]:
        if node["status"] in counts:
            counts[node["status"]] += 1
    return counts


def pass_rate(summary):
    """A job summary's success rate as a share (its "success_rate", the figure
    the viewer shows, in percent), else the passed share of its total; None
    without a summary or when its total is 0."""
    if not isinstance(summary, dict):
        return None
    try:
        if summary.get("success_rate") not in (None, ""):
            return float(summary["success_rate"]) / 100
        total, passed = int(summary.get("total_tasks") or 0), int(summary.get("pass") or 0)
    except (TypeError, ValueError):
        return None
    return passed / total if total > 0 else None


def summary_text(summary):
    """The stored form of a job summary."""
    return None if summary is None else json.dumps(summary, default=str)


def _contains(column, text, dialect):
    """column holds `text`, whatever the case of either."""
    pattern = "".join(_LIKE_ESCAPE + c if c in "%_" + _LIKE_ESCAPE else c for c in text.lower())
    if dialect == "postgresql":
        pattern = escaped(pattern)  # as EscapedText stores the column
    return func.lower(column).like(sqlalchemy.literal("%" + pattern + "%", sqlalchemy.Text), escape=_LIKE_ESCAPE)


class RunListing:
    """The listing methods of RunIndex."""

    def _object_query(self):
        return self._run_query().add_columns(*schema.RUN_FACTS)

    def run_object(self, run):
        """{"request_id", "suite_name", "start_time", "summary", "new", "known",
        "flaky", "content_hash"} of a run as `find` gives it; None when it is no
        longer in the index."""
        if "new_count" not in run:
            with self._transaction() as connection:
                found = connection.execute(self._object_query().where(
                    schema.runs.c.id == run["id"])).mappings().first()
            if found is None:
                return None
            run = dict(found)
        return self._listed([run])[0]

    def runs(self, suite=None, before=None, limit=DEFAULT_LIMIT, text=None):
        """Run objects (see `run_object`) newest first: of the suite named
        `suite`, else of all; started before the run of the request id
        `before` (none when there is no such run); whose request id or start
        time holds `text`, whatever its case; `limit` of them at most."""
        if limit < 1:
            raise ValueError("a listing holds at least 1 run")
        runs, suites = schema.runs, schema.suites
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return []
            query = self._object_query()
            if suite is not None:
                query = query.where(suites.c.name == key_of(suite))
            if before is not None:
                mark = self._newest_with_request_id(connection, before)
                if mark is None:
                    return []
                query = query.where(started_before(mark))
            if text:
                dialect = connection.dialect.name
                query = query.where(or_(_contains(runs.c.request_id, text, dialect),
                                        _contains(runs.c.start_time, text, dialect)))
            rows = [dict(r) for r in connection.execute(query.order_by(*newest_first()).limit(limit)).mappings()]
        return self._listed(rows)

    def runs_started(self, suite=None, since=None, until=None):
        """Runs as `find` gives them, newest first: of the suite named `suite`,
        else of all; started at or after `since` and at or before `until`
        (seconds since 1970, None for no bound; a run whose start time is no
        date is outside any bound)."""
        runs, suites = schema.runs, schema.suites
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return []
            query = self._run_query()
            if suite is not None:
                query = query.where(suites.c.name == key_of(suite))
            if since is not None:
                query = query.where(runs.c.started >= since)
            if until is not None:
                query = query.where(runs.c.started <= until)
            return [dict(r) for r in connection.execute(query.order_by(*newest_first())).mappings()]

    def run_by_request_id(self, request_id):
        """The run with this request id (the newest, should there be several), as `find` gives runs; or None."""
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return None
            return self._newest_with_request_id(connection, request_id)

    def _newest_with_request_id(self, connection, request_id):
        row = connection.execute(self._run_query().where(schema.runs.c.request_id == request_id)
                                 .order_by(*newest_first()).limit(1)).mappings().first()
        return dict(row) if row else None

    def suites(self, trend=DEFAULT_TREND):
        """Every suite that has runs, by name: {"suite_name", "runs" (how many),
        "latest" (its newest run's object), "trend" ([{"request_id",
        "start_time", "pass_rate"}] of its newest `trend` runs, oldest first)}."""
        if trend < 1:
            raise ValueError("a trend covers at least 1 run")
        runs = schema.runs
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return []
            counts = dict(connection.execute(select(runs.c.suite_id, func.count()).where(schema.LIVE)
                                             .group_by(runs.c.suite_id)).all())
            place = func.row_number().over(partition_by=runs.c.suite_id, order_by=newest_first())
            ranked = self._object_query().add_columns(place.label("place")).subquery()
            rows = connection.execute(select(ranked).where(ranked.c.place <= trend)).mappings().all()
        by_suite = {}
        for row in rows:
            by_suite.setdefault(row["suite_id"], []).append(dict(row))
        for listed in by_suite.values():
            listed.sort(key=lambda r: r["place"])
        suite_ids = sorted(by_suite, key=lambda s: by_suite[s][0]["suite_name"])
        latest = self._listed([by_suite[s][0] for s in suite_ids])
        return [{"suite_name": by_suite[s][0]["suite_name"], "runs": counts[s], "latest": newest,
                 "trend": [{"request_id": r["request_id"], "start_time": r["start_time"],
                            "pass_rate": pass_rate(_summary(r))} for r in reversed(by_suite[s])]}
                for s, newest in zip(suite_ids, latest)]

    def delete_run(self, run):
        """Takes a run (as `find` gives it) out of the index; False when it was not there."""
        with self._transaction(writing=True) as connection:
            if not self._has_tables(connection):
                return False
            for table in (schema.category_nodes, schema.run_categories, schema.run_sections):
                connection.execute(table.delete().where(table.c.run_id == run["id"]))
            return connection.execute(schema.runs.delete().where(schema.runs.c.id == run["id"])).rowcount > 0

    def _listed(self, rows):
        """The objects of rows of `_object_query`, counts worked out and stored where missing."""
        missing = [row for row in rows if row["new_count"] is None]
        if missing:
            self._fill_counts(missing)
        return [{"request_id": row["request_id"], "suite_name": row["suite_name"], "start_time": row["start_time"],
                 "summary": _summary(row), **{status: row[column.name] for status, column in COUNTED.items()},
                 "content_hash": row["content_hash"]} for row in rows]

    def _fill_counts(self, rows):
        with self._transaction() as connection:
            for row in rows:
                counts = self._status_counts(connection, row)
                row.update((column.name, counts[status]) for status, column in COUNTED.items())
        runs = schema.runs
        try:
            with self._transaction(writing=True) as connection:
                connection.execute(runs.update().where(runs.c.id == sqlalchemy.bindparam("run")).values(
                    {column.name: sqlalchemy.bindparam("counted_" + status) for status, column in COUNTED.items()}),
                    [{"run": row["id"], **{"counted_" + status: row[column.name] for status, column in COUNTED.items()}}
                     for row in rows])
        except IndexBusy:
            pass  # another writer holds the index: the counts are stored at a later listing


def _summary(row):
    return None if row["summary"] is None else json.loads(row["summary"])
