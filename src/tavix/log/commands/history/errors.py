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
