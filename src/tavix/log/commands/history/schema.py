"""The tables of the run index, one schema for SQLite and PostgreSQL.

Texts that repeat on every row (results, section types, node paths, failure
signatures) are stored once and referred to by number, so a run of 25,000
sections costs some tens of bytes per section. Texts of the archive are
stored as `stored_text` says; JSON columns need nothing of the kind.

SCHEMA_VERSION counts the changes of this schema. An index made by an older
tavix is brought up to date by the steps of MIGRATIONS, in order, inside the
transaction that first writes to it; an index of a newer tavix is refused.
"""
import sqlalchemy
from sqlalchemy import (BigInteger, Column, Float, ForeignKey, Index, Integer, MetaData,
                        Table, Text, UniqueConstraint)

from .stored_text import ESCAPE, EscapedText, full_text, key_of

SCHEMA_VERSION = 5

metadata = MetaData()

settings = Table(
    "tavix_settings", metadata,
    Column("key", Text, primary_key=True),
    Column("value", Text, nullable=False),
)

suites = Table(
    "tavix_suites", metadata,
    Column("id", Integer, primary_key=True),
    Column("name", EscapedText, nullable=False, unique=True),  # stored_text.key_of the name
    Column("full_name", EscapedText),  # stored_text.full_text of the name
)

# Result and section-type texts.
words = Table(
    "tavix_words", metadata,
    Column("id", Integer, primary_key=True),
    Column("text", EscapedText, nullable=False, unique=True),  # stored_text.key_of the text
    Column("full_text", EscapedText),  # stored_text.full_text of the text
)

runs = Table(
    "tavix_runs", metadata,
    Column("id", Integer, primary_key=True),  # also the order in which runs were indexed
    Column("suite_id", Integer, ForeignKey("tavix_suites.id"), nullable=False),
    Column("content_hash", Text, nullable=False, unique=True),
    Column("request_id", EscapedText, nullable=False),
    Column("start_time", EscapedText, nullable=False),
    Column("started", Float),  # start_time in seconds since 1970, when it reads as a date
    Column("archive", Text, nullable=False),
    Column("meta", Text, nullable=False),  # the job metadata as JSON
    Column("sections", Integer, nullable=False),
    Column("indexed_at", Float, nullable=False),
    # The listings' facts of a run, kept so that a listing opens no archive:
    # the job summary as JSON (NULL for runs recorded before it was kept)...
    Column("summary", Text),
    # ...and how many of its failing sections are new, known and flaky over
    # the default window as it was recorded (NULL until worked out).
    Column("new_count", Integer),
    Column("known_count", Integer),
    Column("flaky_count", Integer),
    # Retention: when the run was pinned (no sweep deletes it), and when a
    # sweep marked it deleted (no listing or look-up answers it from then
    # on; its data go next). NULL when not.
    Column("pinned", Float),
    Column("deleted", Float),
    Index("tavix_runs_suite", "suite_id", "started"),
)

# A section's identity across the runs of a suite.
nodes = Table(
    "tavix_nodes", metadata,
    Column("id", Integer, primary_key=True),
    Column("suite_id", Integer, ForeignKey("tavix_suites.id"), nullable=False),
    Column("path_hash", BigInteger, nullable=False),
    Column("path", Text, nullable=False),  # JSON list of names
    UniqueConstraint("suite_id", "path_hash", name="tavix_nodes_path"),
)

signatures = Table(
    "tavix_signatures", metadata,
    Column("id", Integer, primary_key=True),
    Column("text_hash", BigInteger, nullable=False, unique=True),
    Column("text", EscapedText, nullable=False),
)

run_sections = Table(
    "tavix_run_sections", metadata,
    Column("run_id", Integer, ForeignKey("tavix_runs.id"), primary_key=True),
    Column("node_id", Integer, ForeignKey("tavix_nodes.id"), primary_key=True),
    Column("position", Integer, nullable=False),  # tree order within the run
    Column("type_id", Integer, nullable=False),
    Column("result_id", Integer, nullable=False),
    Column("duration", Float),  # seconds
    Column("signature_id", Integer),  # failing sections only
    Column("cause", EscapedText),
    sqlite_with_rowid=False,
)

run_categories = Table(
    "tavix_run_categories", metadata,
    Column("run_id", Integer, ForeignKey("tavix_runs.id"), primary_key=True),
    Column("signature_id", Integer, ForeignKey("tavix_signatures.id"), primary_key=True),
    Column("position", Integer, nullable=False),  # as the Failures view lists them
    Column("example", EscapedText, nullable=False),
    Column("count", Integer, nullable=False),
    Index("tavix_run_categories_signature", "signature_id"),
    sqlite_with_rowid=False,
)

# The failing sections and steps of each category.
category_nodes = Table(
    "tavix_category_nodes", metadata,
    Column("run_id", Integer, ForeignKey("tavix_runs.id"), primary_key=True),
    Column("position", Integer, primary_key=True),
    Column("signature_id", Integer, nullable=False),
    Column("node_id", Integer, nullable=False),
    Column("step_id", EscapedText),  # the step's id within its section, for a step
    sqlite_with_rowid=False,
)

# Access keys of the team service: only the SHA-256 of a key is kept.
keys = Table(
    "tavix_keys", metadata,
    Column("id", Integer, primary_key=True),
    Column("name", Text, nullable=False, unique=True),  # revoked keys keep their names
    Column("key_hash", Text, nullable=False, unique=True),  # hex
    Column("role", Text, nullable=False),
    Column("created", Float, nullable=False),  # seconds since 1970
    Column("revoked", Float),
)

# The roles of the users a sign-in proxy names.
users = Table(
    "tavix_users", metadata,
    Column("name", Text, primary_key=True),
    Column("role", Text, nullable=False),
)

# Triage: what a team decided about a failure. A mark or a claim is on a
# target of a suite: a failure signature, or the path of a failing section
# (tied to the signature it failed with then). It applies from the run it was
# set on ("since": that run's start and id, kept as numbers, since retention
# may delete the run) to every later run of the suite.
def _target_columns():
    return [
        Column("id", Integer, primary_key=True),
        Column("suite_id", Integer, ForeignKey("tavix_suites.id"), nullable=False),
        Column("scope", Text, nullable=False),  # "signature" or "path"
        Column("target_hash", BigInteger, nullable=False),  # runs.hash64 of the target
        Column("target", EscapedText, nullable=False),  # the signature, or the path's key
        Column("signature_id", Integer),  # the signature's, or the one the path failed with
        Column("node_id", Integer),  # a path's
        Column("since_run", Integer, nullable=False),
        Column("since_started", Float),
        Column("author", Text, nullable=False),
        Column("time", Float, nullable=False),  # seconds since 1970
    ]


marks = Table(
    "tavix_marks", metadata, *_target_columns(),
    Column("kind", Text, nullable=False),
    Column("ticket", Text),
    Column("comment", EscapedText),
    UniqueConstraint("suite_id", "scope", "target_hash", name="tavix_marks_target"),
)

claims = Table(
    "tavix_claims", metadata, *_target_columns(),
    UniqueConstraint("suite_id", "scope", "target_hash", name="tavix_claims_target"),
)

# Every change of a mark or claim, kept after the mark or claim is gone.
triage_changes = Table(
    "tavix_triage_changes", metadata,
    Column("id", Integer, primary_key=True),  # also the order of the changes
    Column("suite_id", Integer, ForeignKey("tavix_suites.id"), nullable=False),
    Column("scope", Text, nullable=False),
    Column("target_hash", BigInteger, nullable=False),
    Column("action", Text, nullable=False),  # set, changed, removed, claimed, released
    Column("author", Text, nullable=False),
    Column("time", Float, nullable=False),
    Column("kind", Text),  # what a set or change wrote
    Column("ticket", Text),
    Column("comment", EscapedText),
    Index("tavix_triage_changes_target", "suite_id", "scope", "target_hash"),
)
TRIAGE_TABLES = (marks, claims, triage_changes)

# The columns version 3 added to tavix_runs.
RUN_FACTS = (runs.c.summary, runs.c.new_count, runs.c.known_count, runs.c.flaky_count)
# The columns version 4 added to tavix_runs.
RETENTION_MARKS = (runs.c.pinned, runs.c.deleted)

# The runs every listing and look-up answers: those no sweep has marked deleted.
LIVE = runs.c.deleted.is_(None)

TABLES = [t.name for t in metadata.sorted_tables]

# Where a text is kept by its key, and where in full.
KEYED_TEXTS = ((suites.c.name, suites.c.full_name), (words.c.text, words.c.full_text))


def _escape_and_keep_long_keys_apart(connection):
    """Version 1 to 2: texts escaped on PostgreSQL, long keys hashed."""
    for key, full in KEYED_TEXTS:
        connection.exec_driver_sql("ALTER TABLE %s ADD COLUMN %s TEXT" % (key.table.name, full.name))
    if connection.dialect.name == "postgresql":
        # Version 1 could hold no NUL there: only ESCAPE needs its pair. Tables
        # of later versions are not there yet.
        present = set(sqlalchemy.inspect(connection).get_table_names())
        for table in [t for t in metadata.sorted_tables if t.name in present]:
            for column in table.columns:
                if isinstance(column.type, EscapedText):
                    connection.exec_driver_sql(
                        "UPDATE {t} SET {c} = replace({c}, {e}, {e} || {e}) WHERE strpos({c}, {e}) > 0"
                        .format(t=table.name, c=column.name, e="chr(%d)" % ord(ESCAPE)))
    for key, full in KEYED_TEXTS:
        table = key.table
        moved = [{"row": row, "key": key_of(text), "full": text}
                 for row, text in connection.execute(sqlalchemy.select(table.c.id, key)) if full_text(text)]
        if moved:
            connection.execute(table.update().where(table.c.id == sqlalchemy.bindparam("row")).values(
                {key.name: sqlalchemy.bindparam("key"), full.name: sqlalchemy.bindparam("full")}), moved)


def _listing_facts_and_access(connection):
    """Version 2 to 3: the runs' listing facts (filled as runs are listed), keys and users."""
    _add_run_columns(connection, RUN_FACTS)
    for table in (keys, users):
        table.create(connection)


def _retention_marks(connection):
    """Version 3 to 4: runs pinned and runs marked deleted (none of either yet)."""
    _add_run_columns(connection, RETENTION_MARKS)


def _triage(connection):
    """Version 4 to 5: marks, claims and their changes (none yet)."""
    for table in TRIAGE_TABLES:
        table.create(connection)


def _add_run_columns(connection, columns):
    for column in columns:
        connection.exec_driver_sql("ALTER TABLE %s ADD COLUMN %s %s" % (
            runs.name, column.name, column.type.compile(connection.dialect)))


# MIGRATIONS[v] brings a schema of version v + 1 to version v + 2: a function
# of the connection.
MIGRATIONS = [_escape_and_keep_long_keys_apart, _listing_facts_and_access, _retention_marks, _triage]
