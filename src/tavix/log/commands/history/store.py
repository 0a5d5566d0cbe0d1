"""RunIndex: recording runs and reading their history, through SQLAlchemy Core."""
import contextlib
import hashlib
import json
import os
import sqlite3
import stat
import time

import sqlalchemy
from sqlalchemy import and_, event, func, select

from . import schema
from .access_records import AccessRecords
from .definitions import category_status, node_status
from .errors import IndexBusy, IndexDamaged, IndexUnavailable, RequestIdHeld, RunBeingDeleted, RunNotIndexed
from .listing import COUNTED, RunListing, status_counts, summary_text
from .location import shown_url
from .retention_records import RetentionRecords
from .run_order import started_before
from .runs import describe_run, hash64, is_failing, path_key, paths_of
from .stored_text import EscapedText, escaped, full_text, key_of, needs_escaping, recorded
from .triage_records import TriageRecords

DEFAULT_WINDOW = 10
_SQLITE_MAGIC = b"SQLite format 3\0"
# Any number fixed for tavix: the PostgreSQL advisory lock that makes
# writers of one index take turns.
_WRITER_LOCK = 0x7A71C5
# How long a command waits for another process's lock on the index, in
# seconds, and how often it looks meanwhile.
_WAIT_SECONDS = 2
_POLL_SECONDS = 0.05
# What PostgreSQL answers for data it cannot hold (SQLSTATE classes): a data
# exception, a constraint violated, a limit exceeded.
_PG_DATA_CLASSES = ("22", "23", "54")
_PG_LOCK_NOT_AVAILABLE = "55P03"


def content_hash(path):
    """The SHA-256 of the archive file: the same archive indexed twice is one run."""
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _patiently(call, *args):
    """call(*args), again while SQLite answers that another process holds its
    lock, until _WAIT_SECONDS have passed. SQLite's own wait would hold
    Ctrl-C and SIGTERM back until it ends; this one sleeps in Python."""
    deadline = None
    while True:
        try:
            return call(*args)
        except sqlite3.OperationalError as error:
            if error.sqlite_errorcode != sqlite3.SQLITE_BUSY:
                raise
            now = time.monotonic()
            deadline = deadline or now + _WAIT_SECONDS
            if now >= deadline:
                raise
        time.sleep(_POLL_SECONDS)


class _PatientCursor(sqlite3.Cursor):
    def execute(self, sql, parameters=()):
        return _patiently(super().execute, sql, parameters)

    # executemany is not repeated (it would repeat the rows before the lock):
    # it runs inside a write transaction that holds the lock already, and
    # without cache spills (see _serialise_sqlite_writers) it needs no other.


class _PatientConnection(sqlite3.Connection):
    def cursor(self, factory=_PatientCursor):
        return super().cursor(factory)

    def commit(self):
        _patiently(super().commit)


def _seconds_key(started):
    # Runs whose start time is not a date come before all others.
    return float("-inf") if started is None else started


class _Outdated(Exception):
    """Raised by a read of an index of an older schema, before it reads anything."""


class RunIndex(RunListing, AccessRecords, RetentionRecords, TriageRecords):
    """One run index. Every method is one transaction; writers take turns.

    Listings for the team service come from `RunListing`, its keys, users
    and secret from `AccessRecords`, pins and sweeps from `RetentionRecords`,
    marks and claims on failures from `TriageRecords`.
    A run a sweep has marked deleted is in no answer of any of them.

    RunIndex(url) with an SQLAlchemy URL (see `index_url`). Nothing is
    written before the index has been checked, so a damaged file or a
    database of something else is left as it was (IndexDamaged).
    writer_wait: the seconds a writer of a PostgreSQL index waits for
    another's turn (an upgrade of the schema, a large run recorded) before
    IndexBusy; a service whose replicas share the index waits longer than a
    command.
    """

    def __init__(self, url, *, writer_wait=_WAIT_SECONDS):
        self.url = url
        self.writer_wait = writer_wait
        self.shown = shown_url(url)
        self.sqlite = url.startswith("sqlite")
        if self.sqlite:
            self._check_sqlite_file()
        try:
            self.engine = sqlalchemy.create_engine(url, **self._engine_options())
        except Exception as error:
            raise IndexUnavailable(self.shown, _first_line(error)) from None
        if self.sqlite:
            self._serialise_sqlite_writers()
        self._words = {}
        self._checked = False

    # ------------------------------------------------------------ connecting
    def _engine_options(self):
        if self.sqlite:
            return {"connect_args": {"timeout": 0, "factory": _PatientConnection},
                    "poolclass": sqlalchemy.pool.NullPool}
        return {"connect_args": {"connect_timeout": 10}, "poolclass": sqlalchemy.pool.NullPool}

    def _sqlite_path(self):
        return sqlalchemy.engine.make_url(self.url).database

    def _check_sqlite_file(self):
        path = self._sqlite_path()
        if not path or path == ":memory:":
            return
        try:
            # Without blocking: a FIFO there would wait for a writer.
            descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except FileNotFoundError:
            os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
            return
        try:
            mode = os.fstat(descriptor).st_mode
            head = os.read(descriptor, len(_SQLITE_MAGIC)) if stat.S_ISREG(mode) else None
        finally:
            os.close(descriptor)
        if stat.S_ISDIR(mode):
            raise IndexDamaged(self.shown, "it is a directory")
        if head is None:
            raise IndexUnavailable(self.shown, "it is not a regular file")
        if head and head != _SQLITE_MAGIC:
            raise IndexDamaged(self.shown, "not an SQLite database")

    def _serialise_sqlite_writers(self):
        # The standard library's sqlite3 opens transactions late and deferred;
        # a writer takes the database's write lock at its start instead, so
        # two indexers wait for each other rather than fail.
        @event.listens_for(self.engine, "connect")
        def connect(dbapi_connection, record):
            dbapi_connection.isolation_level = None
            # Pages of a write stay in memory until it commits, so a writer
            # waits for the readers' locks at its COMMIT alone.
            dbapi_connection.execute("PRAGMA cache_spill = OFF")

        @event.listens_for(self.engine, "begin")
        def begin(connection):
            writing = connection.get_execution_options().get("tavix_writing", False)
            connection.exec_driver_sql("BEGIN IMMEDIATE" if writing else "BEGIN")

    @contextlib.contextmanager
    def _transaction(self, writing=False):
        """A connection in one transaction; database errors become the index's errors.
        An index of an older schema is brought up to date before it is read."""
        try:
            with self._opened(writing) as connection:
                yield connection
            return
        except _Outdated:
            pass
        with self._opened(writing=True):
            pass
        with self._opened(writing) as connection:
            yield connection

    @contextlib.contextmanager
    def _opened(self, writing):
        try:
            with self.engine.connect() as connection:
                if writing:
                    connection = connection.execution_options(tavix_writing=True)
                with connection.begin():
                    if writing and not self.sqlite:
                        connection.execute(sqlalchemy.text(
                            "SET LOCAL lock_timeout = '%dms'" % (self.writer_wait * 1000)))
                        connection.execute(select(func.pg_advisory_xact_lock(_WRITER_LOCK)))
                    self._check_schema(connection, writing)
                    yield connection
        except BaseException as error:
            self._words = {}  # ids of words added by a transaction that did not land
            if isinstance(error, sqlalchemy.exc.DBAPIError):
                raise self._translated(error) from None
            raise

    def _translated(self, error):
        original = error.orig
        text = _first_line(original)
        if self.sqlite:
            if getattr(original, "sqlite_errorcode", None) == sqlite3.SQLITE_BUSY:
                return IndexBusy(self.shown)
            if isinstance(original, (sqlite3.IntegrityError, sqlite3.DataError)):
                return RunNotIndexed(self.shown, text)
            if isinstance(original, sqlite3.OperationalError) and not text.startswith("no such"):
                return IndexUnavailable(self.shown, text)
            return IndexDamaged(self.shown, text)
        state = getattr(original, "sqlstate", None) or ""
        if state == _PG_LOCK_NOT_AVAILABLE:
            return IndexBusy(self.shown)
        if state[:2] in _PG_DATA_CLASSES or isinstance(error, sqlalchemy.exc.DataError):
            return RunNotIndexed(self.shown, text)
        if isinstance(error, (sqlalchemy.exc.OperationalError, sqlalchemy.exc.InterfaceError)):
            return IndexUnavailable(self.shown, text)
        return IndexDamaged(self.shown, text)

    def _check_schema(self, connection, writing):
        if self._checked:
            return
        present = set(sqlalchemy.inspect(connection).get_table_names())
        if schema.settings.name not in present:
            if self.sqlite and present:
                raise IndexDamaged(self.shown, "not a run index (it holds other tables)")
            if not writing:
                return  # an empty index: nothing recorded yet
            schema.metadata.create_all(connection)
            connection.execute(schema.settings.insert(),
                               [{"key": "schema_version", "value": str(schema.SCHEMA_VERSION)}])
        else:
            version = connection.execute(select(schema.settings.c.value).where(
                schema.settings.c.key == "schema_version")).scalar()
            if version is None or not version.isdigit():
                raise IndexDamaged(self.shown, "no schema version")
            version = int(version)
            if version > schema.SCHEMA_VERSION:
                raise IndexUnavailable(self.shown, "it was made by a newer tavix (schema %d; this one "
                                       "reads up to %d)" % (version, schema.SCHEMA_VERSION))
            if version < schema.SCHEMA_VERSION:
                if not writing:
                    raise _Outdated
                for step in schema.MIGRATIONS[version - 1:]:
                    step(connection)
                connection.execute(schema.settings.update().where(
                    schema.settings.c.key == "schema_version").values(value=str(schema.SCHEMA_VERSION)))
        self._checked = True

    def close(self):
        self.engine.dispose()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    # ------------------------------------------------------------- recording
    def find(self, digest):
        """The run recorded with this content hash, as a dict, or None."""
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return None
            row = connection.execute(self._run_query().where(
                schema.runs.c.content_hash == digest)).mappings().first()
            return dict(row) if row else None

    def record(self, archive, digest=None, *, sole_request_id=False):
        """Records the opened `archive` unless a run of the same content is
        there already; returns (run, added), run a dict of its recorded facts.
        The run's job summary and the counts of its new, known and flaky
        failures as of now are kept for listings (see `runs`).
        sole_request_id: a run of other content holding the archive's
        request id refuses it (RequestIdHeld), checked in the writers' turn,
        so that of two processes recording one request id at once one wins.

        The whole run is one transaction: an interruption records nothing.
        RunBeingDeleted while a retention sweep deletes a run of the same
        content: its archive may be leaving the store.
        """
        if digest is None:
            digest = content_hash(archive.file)
        found = self.find(digest)
        if found is not None:
            return found, False
        described = describe_run(archive)
        with self._transaction(writing=True) as connection:
            row = connection.execute(self._run_query().where(
                schema.runs.c.content_hash == digest)).mappings().first()
            if row:
                return dict(row), False
            if self._marked_run_of(connection, digest):
                raise RunBeingDeleted(self.shown)
            request_id = described.meta.get("request_id") or ""
            if sole_request_id and self._newest_with_request_id(connection, request_id) is not None:
                raise RequestIdHeld(self.shown, request_id)
            run_id = self._insert_run(connection, digest, archive, described)
            row = dict(connection.execute(self._run_query().where(schema.runs.c.id == run_id)).mappings().first())
            counts = self._status_counts(connection, row)
            connection.execute(schema.runs.update().where(schema.runs.c.id == run_id).values(
                {column: counts[status] for status, column in COUNTED.items()}))
            return row, True

    @staticmethod
    def _marked_run_of(connection, digest):
        """Whether a sweep has marked the run of this content deleted (its data may be going)."""
        runs = schema.runs
        return connection.execute(select(runs.c.id).where(and_(
            runs.c.content_hash == digest, runs.c.deleted.isnot(None)))).first() is not None

    def _insert_run(self, connection, digest, archive, described):
        meta = described.meta
        suite_id = self._suite_id(connection, meta.get("suite_name") or "")
        run_id = connection.execute(schema.runs.insert().values(
            suite_id=suite_id, content_hash=digest, request_id=meta.get("request_id") or "",
            start_time=meta.get("start_time") or "", started=described.started,
            archive=str(archive.file), meta=json.dumps(meta, default=str),
            sections=len(described.sections), indexed_at=time.time(),
            summary=summary_text(getattr(archive.results, "summary", None)))).inserted_primary_key[0]
        node_ids = self._node_ids(connection, suite_id, [s[1] for s in described.sections])
        signature_ids = self._signature_ids(connection, described.signatures())
        word = self._word_ids(connection, described.words())
        _insert_many(connection, schema.run_sections, (
            "run_id", "node_id", "position", "type_id", "result_id", "duration", "signature_id", "cause"), [
            (run_id, node_ids[position], position, word[type_], word[result], duration)
            + _cause_columns(signature_ids, described.causes.get(position))
            for position, (_, _, type_, result, duration) in enumerate(described.sections)])
        _insert_many(connection, schema.run_categories, ("run_id", "signature_id", "position", "example", "count"), [
            (run_id, signature_ids[c.signature], i, c.example, c.count) for i, c in enumerate(described.categories)])
        _insert_many(connection, schema.category_nodes, ("run_id", "position", "signature_id", "node_id", "step_id"), [
            (run_id, i, signature_ids[signature], node_ids[section], step)
            for i, (signature, section, step) in enumerate(described.category_nodes())])
        return run_id

    def _suite_id(self, connection, name):
        suites = schema.suites
        found = connection.execute(select(suites.c.id).where(suites.c.name == key_of(name))).scalar()
        if found is None:
            found = connection.execute(suites.insert().values(
                name=key_of(name), full_name=full_text(name))).inserted_primary_key[0]
        return found

    def _node_ids(self, connection, suite_id, keys):
        """The node id of each path (as `path_key` gives it), in order; new paths are added."""
        nodes = schema.nodes
        known = {path: node for node, path in connection.execute(
            select(nodes.c.id, nodes.c.path).where(nodes.c.suite_id == suite_id)).all()}
        missing = list(dict.fromkeys(key for key in keys if key not in known))
        if missing:
            # Writers take turns, so the nodes after the newest one are this run's.
            newest = connection.execute(select(func.coalesce(func.max(nodes.c.id), 0))).scalar()
            _insert_many(connection, nodes, ("suite_id", "path_hash", "path"),
                         [(suite_id, hash64(key), key) for key in missing])
            known.update((path, node) for node, path in connection.execute(
                select(nodes.c.id, nodes.c.path).where(and_(
                    nodes.c.suite_id == suite_id, nodes.c.id > newest))))
        return [known[key] for key in keys]

    def _signature_ids(self, connection, texts):
        table = schema.signatures
        wanted = {hash64(text): text for text in texts}
        found = {}
        for chunk in _chunks(list(wanted)):
            found.update(connection.execute(select(table.c.text_hash, table.c.id).where(
                table.c.text_hash.in_(chunk))).all())
        missing = [h for h in wanted if h not in found]
        if missing:
            connection.execute(table.insert(), [{"text_hash": h, "text": wanted[h]} for h in missing])
            for chunk in _chunks(missing):
                found.update(connection.execute(select(table.c.text_hash, table.c.id).where(
                    table.c.text_hash.in_(chunk))).all())
        return {wanted[h]: found[h] for h in wanted}

    def _word_ids(self, connection, texts):
        table = schema.words

        def look_up(wanted):
            keys = {key_of(t): t for t in wanted}
            for chunk in _chunks(list(keys)):
                self._words.update((keys[key], word) for word, key in connection.execute(
                    select(table.c.id, table.c.text).where(table.c.text.in_(chunk))))

        missing = [t for t in set(texts) if t not in self._words]
        if missing:
            look_up(missing)
            new = [t for t in missing if t not in self._words]
            if new:
                connection.execute(table.insert(), [{"text": key_of(t), "full_text": full_text(t)} for t in new])
                look_up(new)
        return self._words

    # --------------------------------------------------------------- reading
    @staticmethod
    def _run_query():
        runs, suites = schema.runs, schema.suites
        return (select(runs.c.id, runs.c.suite_id, recorded(suites.c.full_name, suites.c.name).label("suite_name"),
                       runs.c.request_id, runs.c.start_time, runs.c.started, runs.c.archive, runs.c.content_hash)
                .join(suites, suites.c.id == runs.c.suite_id).where(schema.LIVE))

    @staticmethod
    def _has_tables(connection):
        return sqlalchemy.inspect(connection).has_table(schema.runs.name)

    def _earlier_runs(self, connection, run, limit=None):
        """The runs of `run`'s series before it, newest first."""
        runs = schema.runs
        query = (select(runs.c.id, runs.c.request_id, runs.c.start_time, runs.c.started)
                 .where(and_(runs.c.suite_id == run["suite_id"], started_before(run), schema.LIVE)))
        rows = [dict(r) for r in connection.execute(query).mappings()]
        rows.sort(key=lambda r: (_seconds_key(r["started"]), r["id"]), reverse=True)
        return rows if limit is None else rows[:limit]

    def _texts(self, connection):
        table = schema.words
        return dict(connection.execute(select(table.c.id, recorded(table.c.full_text, table.c.text))).all())

    def history(self, run, window=DEFAULT_WINDOW, ids=None):
        """The history of `run`'s failing sections and failure categories.

        run: a run as `find` or `record` give it. window: how many runs the
        history covers, this one included. ids: when given, a list of the
        section ids of the opened run in tree order; each node then also
        carries its "id".
        """
        if window < 1:
            raise ValueError("the window is at least 1 run")
        with self._transaction() as connection:
            return self._history(connection, run, window, ids)

    def _history(self, connection, run, window, ids=None):
        rs, nodes = schema.run_sections, schema.nodes
        earlier = self._earlier_runs(connection, run, window - 1)
        texts = self._texts(connection)
        failing_ids = {word for word, text in texts.items() if is_failing(text)}
        failing = connection.execute(
            select(rs.c.node_id, rs.c.position, rs.c.type_id, rs.c.result_id, nodes.c.path)
            .join(nodes, nodes.c.id == rs.c.node_id)
            .where(and_(rs.c.run_id == run["id"], rs.c.result_id.in_(failing_ids)))
            .order_by(rs.c.position)).all()
        # Per earlier run, newest first: node -> result.
        earlier_results = [{} for _ in earlier]
        if earlier and failing:
            slot = {r["id"]: i for i, r in enumerate(earlier)}
            mine = rs.alias("mine")
            query = (select(rs.c.run_id, rs.c.node_id, rs.c.result_id)
                     .join(mine, and_(mine.c.node_id == rs.c.node_id, mine.c.run_id == run["id"],
                                      mine.c.result_id.in_(failing_ids)))
                     .where(rs.c.run_id.in_([r["id"] for r in earlier])))
            for run_id, node_id, result_id in connection.execute(query).all():
                earlier_results[slot[run_id]][node_id] = result_id
        categories = self._categories(connection, run)
        request_ids = [run["request_id"]] + [r["request_id"] for r in earlier]
        listed = []
        for (node_id, position, type_id, result_id, _), path in zip(failing, paths_of(row[4] for row in failing)):
            results = [result_id] + [run_results.get(node_id) for run_results in earlier_results]
            states = [None if word is None else word in failing_ids for word in results]
            history = [None if word is None else texts[word] for word in results]
            status, streak, since = node_status(states, request_ids)
            node = {"path": path, "type": texts[type_id], "result": texts[result_id],
                    "status": status, "streak": streak, "since": since, "history": history}
            if ids is not None:
                node["id"] = ids[position] if position < len(ids) else None
            listed.append(node)
        return {
            "run": {"request_id": run["request_id"], "suite_name": run["suite_name"],
                    "start_time": run["start_time"]},
            "window": window,
            "earlier_runs": [{"request_id": r["request_id"], "start_time": r["start_time"]} for r in earlier],
            "nodes": listed,
            "categories": categories,
        }

    def _status_counts(self, connection, run):
        """{"new", "known", "flaky"} of `run`'s failing sections over the default window."""
        return status_counts(self._history(connection, run, DEFAULT_WINDOW))

    def _categories(self, connection, run):
        rc, runs, sig = schema.run_categories, schema.runs, schema.signatures
        mine = connection.execute(
            select(rc.c.signature_id, sig.c.text, rc.c.example, rc.c.count)
            .join(sig, sig.c.id == rc.c.signature_id)
            .where(rc.c.run_id == run["id"]).order_by(rc.c.position)).all()
        if not mine:
            return []
        seen = {}
        ours = rc.alias("ours")
        query = (select(rc.c.signature_id, runs.c.id, runs.c.started, runs.c.request_id)
                 .join(runs, runs.c.id == rc.c.run_id)
                 .join(ours, and_(ours.c.signature_id == rc.c.signature_id, ours.c.run_id == run["id"]))
                 .where(and_(runs.c.suite_id == run["suite_id"], schema.LIVE)))
        for signature_id, run_id, started, request_id in connection.execute(query):
            seen.setdefault(signature_id, []).append(((_seconds_key(started), run_id), request_id))
        this = (_seconds_key(run["started"]), run["id"])
        answer = []
        for signature_id, text, example, count in mine:
            status, first_seen = category_status(seen.get(signature_id, []), this, run["request_id"])
            answer.append({"signature": text, "example": example, "count": count, "status": status,
                           "first_seen": first_seen})
        return answer

    def section_history(self, run, path, window=DEFAULT_WINDOW):
        """The result of the section at `path` (a list of names) in each run
        of `run`'s window, this run first: [{"request_id", "start_time", "result"}]."""
        rs, nodes = schema.run_sections, schema.nodes
        key = path_key(path)
        with self._transaction() as connection:
            window_runs = [run] + self._earlier_runs(connection, run, window - 1)
            node_id = connection.execute(select(nodes.c.id).where(and_(
                nodes.c.suite_id == run["suite_id"], nodes.c.path_hash == hash64(key),
                nodes.c.path == key))).scalar()
            results = {}
            if node_id is not None:
                texts = self._texts(connection)
                results = {run_id: texts[result_id] for run_id, result_id in connection.execute(
                    select(rs.c.run_id, rs.c.result_id).where(and_(
                        rs.c.node_id == node_id, rs.c.run_id.in_([r["id"] for r in window_runs]))))}
        return [{"request_id": r["request_id"], "start_time": r["start_time"], "result": results.get(r["id"])}
                for r in window_runs]

    def previous_run(self, run):
        """The newest run of `run`'s series before it (by start time, then the
        order of indexing), as `find` gives runs; None when there is none."""
        with self._transaction() as connection:
            earlier = self._earlier_runs(connection, run, 1)
            if not earlier:
                return None
            return dict(connection.execute(self._run_query().where(
                schema.runs.c.id == earlier[0]["id"])).mappings().first())


def _cause_columns(signature_ids, cause):
    return (None, None) if cause is None else (signature_ids[cause[0]], cause[1])


def _insert_many(connection, table, columns, rows):
    """Inserts `rows` (tuples of the values of `columns`) with one executemany
    of the driver: SQLAlchemy's own per-row work would cost more than the
    database's. The driver does not escape texts as EscapedText does: done here."""
    if not rows:
        return
    if connection.dialect.name == "postgresql":
        texts = [i for i, name in enumerate(columns) if isinstance(table.c[name].type, EscapedText)]
        # One look at all of a column's texts; rows are rebuilt only where one needs escaping.
        if any(needs_escaping("".join(filter(None, [row[i] for row in rows]))) for i in texts):
            rows = [tuple(escaped(value) if i in texts and value is not None else value
                          for i, value in enumerate(row)) for row in rows]
    compiled = table.insert().values({name: sqlalchemy.bindparam(name) for name in columns}).compile(
        dialect=connection.dialect)
    if compiled.positional:
        at = {name: i for i, name in enumerate(columns)}
        order = [at[name] for name in compiled.positiontup]
        if order != list(range(len(columns))):
            rows = [tuple(row[i] for i in order) for row in rows]
    else:
        rows = [dict(zip(columns, row)) for row in rows]
    connection.exec_driver_sql(str(compiled), rows)


def _chunks(items, size=500):
    for start in range(0, len(items), size):
        yield items[start:start + size]


def _first_line(error):
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
