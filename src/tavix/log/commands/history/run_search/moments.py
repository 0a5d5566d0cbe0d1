"""The moments a search of runs is bounded by: a run counts by its start
time, read in UTC; a bound is an ISO date or date and time, in UTC unless
it says otherwise, inclusive."""
import argparse
import datetime
import re

__all__ = ["moment_option", "moment_seconds"]

_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")


def moment_seconds(value, end=False):
    """A bound as seconds since 1970: a datetime (naive ones in UTC), a date,
    seconds, or ISO text. A date alone is its first moment, or its last with
    `end` (an --until of a day holds the whole day). ValueError for text that
    is no such moment."""
    if value is None or isinstance(value, (int, float)):
        return value
    if isinstance(value, str):
        text = value.strip()
        if _DATE.fullmatch(text):
            value = datetime.date.fromisoformat(text)
        else:
            if not _DATE.match(text) or len(text) < 13 or text[10] not in "T ":
                raise ValueError("not an ISO date or date and time: %r" % value)
            value = datetime.datetime.fromisoformat(text[:-1] + "+00:00" if text.endswith(("Z", "z")) else text)
    if not isinstance(value, datetime.datetime):
        value = datetime.datetime.combine(value, datetime.time.max if end else datetime.time.min)
    if value.tzinfo is None:
        value = value.replace(tzinfo=datetime.timezone.utc)
    return value.timestamp()


def moment_option(text):
    """--since as seconds since 1970; a usage error for anything else."""
    try:
        return moment_seconds(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not an ISO date or date and time (UTC): %r" % text) from None
