"""General helpers of the framework."""
import datetime


def get_time(seconds=None):
    """Local date and time (a timezone-aware datetime) of an epoch time in seconds, now if None."""
    if seconds is None:
        return datetime.datetime.now().astimezone()
    return datetime.datetime.fromtimestamp(seconds).astimezone()
