"""The order of runs: by start time, runs whose start time is no date first,
then by the order in which they were indexed."""
from sqlalchemy import and_, case, or_

from . import schema


def started_before(run):
    """A condition on tavix_runs: the run of the row comes before `run` (a run as `find` gives it)."""
    runs = schema.runs
    started = run["started"]
    if started is None:
        return and_(runs.c.started.is_(None), runs.c.id < run["id"])
    return or_(runs.c.started.is_(None), runs.c.started < started,
               and_(runs.c.started == started, runs.c.id < run["id"]))


def newest_first():
    """ORDER BY terms listing runs newest first, alike on every database
    (which put NULLs at different ends)."""
    runs = schema.runs
    return (case((runs.c.started.is_(None), 0), else_=1).desc(), runs.c.started.desc(), runs.c.id.desc())


def order_key(started, run_id):
    """The sort key of a run of this order: (start in seconds, or -inf when it is no date; id)."""
    return (float("-inf") if started is None else started, run_id)
