"""The items of a blocking iterator, made in a worker thread and handed to the
event loop as they come, a bounded number ahead of the reader: a reader who
stops (a client gone) stops the thread at its next item."""
import asyncio
import threading

__all__ = ["ThreadItems"]

# Items made ahead of the reader at most.
AHEAD = 256
_ITEM, _END, _FAILED = range(3)


class ThreadItems:
    """`make(cancel)` returns the iterator, called in a thread of `executor`;
    `cancel` (a threading.Event unless given: an object with set() and
    is_set()) is set once the reader is gone, for work inside one item to
    look at. `await batch()` gives the items made since
    the last call (see there); the iterator's error is raised there. `close()` stops the thread; the iterator is closed in it."""

    def __init__(self, make, executor, cancel=None, ahead=AHEAD):
        self.cancel = threading.Event() if cancel is None else cancel
        self._loop = asyncio.get_running_loop()
        self._queue = asyncio.Queue()
        self._room = threading.Condition()
        self._ahead, self._in_flight = ahead, 0
        self._getter = None
        self._loop.run_in_executor(executor, self._run, make)

    # ------------------------------------------------------------ the thread
    def _run(self, make):
        try:
            iterator = make(self.cancel)
            try:
                for item in iterator:
                    with self._room:
                        while self._in_flight >= self._ahead and not self.cancel.is_set():
                            self._room.wait()
                        if self.cancel.is_set():
                            return
                        self._in_flight += 1
                    self._hand(_ITEM, item)
            finally:
                close = getattr(iterator, "close", None)
                if close is not None:
                    close()
            self._hand(_END, None)
        except BaseException as error:
            if not self.cancel.is_set():
                self._hand(_FAILED, error)

    def _hand(self, kind, value):
        try:
            self._loop.call_soon_threadsafe(self._queue.put_nowait, (kind, value))
        except RuntimeError:  # the loop is closed: nobody reads any longer
            self.cancel.set()

    # ------------------------------------------------------------ the reader
    async def batch(self, timeout=None):
        """The items made since the last call, at least one; [] once the
        iterator is done; None when none came within `timeout` seconds."""
        if self._getter is None:
            self._getter = asyncio.ensure_future(self._queue.get())
        done, _ = await asyncio.wait({self._getter}, timeout=timeout)
        if not done:
            return None
        taken = [self._getter.result()]
        self._getter = None
        while not self._queue.empty():
            taken.append(self._queue.get_nowait())
        items = []
        for kind, value in taken:
            if kind == _ITEM:
                items.append(value)
            elif items:  # the end or the failure is said at the next call
                self._queue.put_nowait((kind, value))
            elif kind == _FAILED:
                raise value
        with self._room:
            self._in_flight -= len(items)
            self._room.notify()
        return items

    def close(self):
        self.cancel.set()
        with self._room:
            self._room.notify_all()
        if self._getter is not None:
            self._getter.cancel()
            self._getter = None
