"""Errors of the run index, shown to the user as their message alone."""
from tavix.cli.base import CommandError


class RunIndexError(CommandError):
    """The run index cannot be used."""


class IndexDamaged(RunIndexError):
    """The index is not a run index, or its file is damaged; nothing was written to it."""

    def __init__(self, url, reason):
        super().__init__("the run index %s is damaged: %s" % (url, reason))


class IndexUnavailable(RunIndexError):
    """The index's database cannot be reached or refuses the login."""

    def __init__(self, url, reason):
        super().__init__("the run index %s cannot be used: %s" % (url, reason))


class IndexBusy(RunIndexError):
    """Another process holds the index's lock for longer than a command waits."""

    def __init__(self, url):
        super().__init__("the run index %s is in use by another process" % url)


class RunNotIndexed(RunIndexError):
    """The database refused this run's data; the index is sound and other runs can be recorded."""

    def __init__(self, url, reason):
        super().__init__("the run index %s cannot hold this run: %s" % (url, reason))


class RunBeingDeleted(RunIndexError):
    """A retention sweep is deleting the run of this content: it can be recorded again once the sweep is done."""

    def __init__(self, url):
        super().__init__("the run index %s is deleting this run, whose time is up: record it again once "
                         "the retention sweep is done" % url)


class RequestIdHeld(RunIndexError):
    """Another run of the index holds the request id of the run being recorded; nothing was written."""

    def __init__(self, url, request_id):
        super().__init__("the run index %s holds another run of request id %s" % (url, request_id))
        self.request_id = request_id
