"""The tables of the run index, one schema for SQLite and PostgreSQL.

Texts that repeat on every row (results, section types, node paths, failure
signatures) are stored once and referred to by number, so a run of 25,000
sections costs some tens of bytes per section.

SCHEMA_VERSION counts the changes of this schema. An index made by an older
tavix is brought up to date by the steps of MIGRATIONS, in order, inside the
transaction that first writes to it; an index of a newer tavix is refused.
"""
from sqlalchemy import (BigInteger, Column, Float, ForeignKey, Index, Integer, MetaData,
                        Table, Text, UniqueConstraint)

SCHEMA_VERSION = 1

metadata = MetaData()

settings = Table(
    "tavix_settings", metadata,
    Column("key", Text, primary_key=True),
    Column("value", Text, nullable=False),
)

suites = Table(
    "tavix_suites", metadata,
    Column("id", Integer, primary_key=True),
    Column("name", Text, nullable=False, unique=True),
)

# Result and section-type texts.
words = Table(
    "tavix_words", metadata,
    Column("id", Integer, primary_key=True),
    Column("text", Text, nullable=False, unique=True),
)

runs = Table(
    "tavix_runs", metadata,
    Column("id", Integer, primary_key=True),  # also the order in which runs were indexed
    Column("suite_id", Integer, ForeignKey("tavix_suites.id"), nullable=False),
    Column("content_hash", Text, nullable=False, unique=True),
    Column("request_id", Text, nullable=False),
    Column("start_time", Text, nullable=False),
    Column("started", Float),  # start_time in seconds since 1970, when it reads as a date
    Column("archive", Text, nullable=False),
    Column("meta", Text, nullable=False),  # the job metadata as JSON
    Column("sections", Integer, nullable=False),
    Column("indexed_at", Float, nullable=False),
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
    Column("text", Text, nullable=False),
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
    Column("cause", Text),
    sqlite_with_rowid=False,
)

run_categories = Table(
    "tavix_run_categories", metadata,
    Column("run_id", Integer, ForeignKey("tavix_runs.id"), primary_key=True),
    Column("signature_id", Integer, ForeignKey("tavix_signatures.id"), primary_key=True),
    Column("position", Integer, nullable=False),  # as the Failures view lists them
    Column("example", Text, nullable=False),
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
    Column("step_id", Text),  # the step's id within its section, for a step
    sqlite_with_rowid=False,
)

TABLES = [t.name for t in metadata.sorted_tables]

# MIGRATIONS[v] brings a schema of version v + 1 to version v + 2: a function
# of the connection. None yet.
MIGRATIONS = []
