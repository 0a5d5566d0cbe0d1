"""The run index: the runs that have been opened, and the history of their failures.

An index is a SQLite file (by default ``~/.tavix/index.sqlite``) or a
PostgreSQL database shared by a team; `index_url` says which one a command
uses. `RunIndex` records runs and answers the history of a run's failing
sections (see `RunIndex.history`); `RunIndex.previous_run` gives the newest
earlier run of the same suite. The team service lists runs and suites
through it (`RunIndex.runs`, `RunIndex.suites`), keeps its access keys,
users' roles and signing secret there, and its retention's pins and the
marks of runs being deleted (`RunIndex.pin`, `RunIndex.mark_expired`). SQLAlchemy is imported on first use of
`RunIndex`, so the command-line tool starts without it.
"""
from .errors import (IndexBusy, IndexDamaged, IndexUnavailable, RequestIdHeld, RunBeingDeleted, RunIndexError,
                     RunNotIndexed)
from .location import DEFAULT_INDEX, INDEX_ENV_VAR, index_url, shown_url

__all__ = ["DEFAULT_INDEX", "INDEX_ENV_VAR", "IndexBusy", "IndexDamaged", "IndexUnavailable", "RequestIdHeld",
           "RunBeingDeleted",
           "RunIndex", "RunIndexError", "RunNotIndexed", "content_hash", "index_url", "shown_url"]


def __getattr__(name):
    if name in ("RunIndex", "content_hash"):
        from . import store

        return getattr(store, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
