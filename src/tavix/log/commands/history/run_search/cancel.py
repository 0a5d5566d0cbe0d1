"""How a search of runs is stopped: from any thread, for the Python side
and for the native search it is running at once."""
import threading

__all__ = ["SearchCancel"]


class SearchCancel:
    """set() stops the search (a client gone, Ctrl-C); `native` is the flag
    handed to the native search and index builder."""

    def __init__(self):
        from tavix.log.commands.logs import cancel_flag

        self.native, self._set_native = cancel_flag()
        self._event = threading.Event()

    def set(self):
        self._set_native()
        self._event.set()

    def is_set(self):
        return self._event.is_set()
