"""Items of an iterator made in a thread of their own, into a bounded queue,
while the caller's thread hands them on: native searching lets go of the
interpreter, so the two go on at once, and the caller stays free to answer
Ctrl-C."""
import queue
import threading

from .cancel import POLL_SECONDS

__all__ = ["ItemsAside"]


class ItemsAside:
    """ItemsAside(found, cancel, queued): `found` iterated in a thread started
    at once, at most `queued` items ahead of items(). Its thread ends when
    `found` does, when stop() is called or when `cancel` is set."""

    _END = object()

    def __init__(self, found, cancel, queued, name="tavix-search"):
        self._found, self._cancel = found, cancel
        self._queue = queue.Queue(queued)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._work, name=name, daemon=True)
        self._thread.start()

    def items(self, pauses=False):
        """The items in order; what `found` raised is raised here. With
        `pauses`, None whenever none is waiting (a moment to show what came)."""
        try:
            while True:
                try:
                    item = self._queue.get_nowait()
                except queue.Empty:
                    if pauses:
                        yield None
                    item = self._next()
                    if item is None:
                        return
                if item is self._END:
                    return
                if isinstance(item, _Raised):
                    raise item.error
                yield item
        finally:
            self.stop()

    def stop(self, wait=0):
        """Stops making items; waits up to `wait` seconds for the thread to end."""
        self._stop.set()
        if wait:
            self._thread.join(wait)

    def _stopped(self):
        return self._stop.is_set() or (self._cancel is not None and self._cancel.is_set())

    def _next(self):
        """The next item, None once there will be none."""
        while True:
            try:
                return self._queue.get(timeout=POLL_SECONDS)
            except queue.Empty:
                if self._stopped() or not self._thread.is_alive() and self._queue.empty():
                    return None

    def _work(self):
        try:
            for item in self._found:
                if not self._put(item):
                    return
            self._put(self._END)
        except BaseException as error:  # raised in the thread that reads the items
            self._put(_Raised(error))
        finally:
            close = getattr(self._found, "close", None)
            if close is not None:
                close()

    def _put(self, item):
        while not self._stopped():
            try:
                self._queue.put(item, timeout=POLL_SECONDS)
                return True
            except queue.Full:
                pass
        return False


class _Raised:
    def __init__(self, error):
        self.error = error
