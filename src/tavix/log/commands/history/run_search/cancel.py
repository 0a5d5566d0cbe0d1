"""How a search of runs is stopped: from any thread, for the Python side
and for the native search it is running at once."""
import threading

__all__ = ["SearchCancel", "cancellable"]


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


# How long an interrupted caller waits for the work it cancelled, in seconds,
# and how often it looks at the work meanwhile.
STOP_SECONDS = 0.3
POLL_SECONDS = 0.05


def cancellable(work):
    """work(cancel) run in a thread of its own, so that Ctrl-C is answered while
    native work holds the thread: its answer, or its error raised. An
    interrupt (or any error of the waiting thread) sets the cancel, waits a
    moment for the work to stop, and is raised."""
    cancel, outcome, done = SearchCancel(), {}, threading.Event()

    def run():
        try:
            outcome["answer"] = work(cancel)
        except BaseException as error:  # raised in the calling thread
            outcome["error"] = error
        finally:
            done.set()

    threading.Thread(target=run, name="tavix-cancellable", daemon=True).start()
    try:
        while not done.wait(POLL_SECONDS):
            pass
    except BaseException:
        cancel.set()
        done.wait(STOP_SECONDS)
        raise
    if "error" in outcome:
        raise outcome["error"]
    return outcome["answer"]
