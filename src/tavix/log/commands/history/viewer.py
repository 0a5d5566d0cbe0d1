"""The run history as the viewer serves it: the opened run, recorded when
`tavix logs view` opens it, and there its triage."""
import logging
import threading

from .runs import path_of, section_identities

logger = logging.getLogger("tavix.log.commands.logs")


class ViewerHistory:
    """The history of one opened run; its methods run in the server's worker
    threads. With `triage` (a ViewerTriage, as `tavix logs view` gives it)
    the viewer also serves the triage routes of the run (see `add_routes`)."""

    def __init__(self, index, run, parser, window=10, triage=None):
        self.index, self.run, self.window, self.triage = index, run, window, triage
        # Worked out once, as the viewer starts, for the first answer's sake.
        listed = section_identities(parser)
        self._ids = [s[0].get("id") for s in listed]
        self._keys = {s[0].get("id"): s[1] for s in listed}
        # The history itself does not change while the run is open; its marks may.
        self._history = None
        self._history_lock = threading.Lock()

    def add_routes(self, router, url_prefix):
        """The triage routes below `url_prefix`, when the viewer has triage:
        prefix/marks (the run's marks) and prefix/suites/{suite}/marks|claims,
        answered as the team service answers its /api/v1 routes of the same
        names (see `TriageRoutes`)."""
        if self.triage is None:
            return
        from tavix.log.commands.service.triage_routes import TriageRoutes

        TriageRoutes(self.triage).add_to(router, url_prefix, "/marks")

    def run_history(self):
        """The run's history, each node with the section's "id" in this
        opening, and the marks as they are now, as `tavix logs history --json`
        gives them."""
        from .report_marks import with_history_marks

        with self._history_lock:
            if self._history is None:
                self._history = self.index.history(self.run, self.window, ids=self._ids)
        return with_history_marks(self._history, self.index.run_marks(self.run))

    def section_history(self, section_id):
        """{"id", "path", "runs": [{"request_id", "start_time", "result"}, ...]} of a
        section, this run first; KeyError for an id that is not a section."""
        path = path_of(self._keys[section_id])
        return {"id": section_id, "path": path,
                "runs": self.index.section_history(self.run, path, self.window)}


def _os_user():
    """The name the operating system gives the user, or None."""
    import getpass

    try:
        return getpass.getuser()
    except (KeyError, OSError):
        return None


def history_for_viewer(archive, index_option=None):
    """Records the opened archive in the run index (as `tavix logs history`
    does: found again by its content) and returns its `ViewerHistory`, with
    triage written as the operating system's user; None when the index cannot
    be used, saying why once."""
    from tavix.cli.progress import ProgressLine
    from tavix.log.commands.service.triage_routes import ViewerTriage

    from . import RunIndex, RunIndexError, index_url

    progress = ProgressLine()
    progress.show("Recording the run in the run index…")
    try:
        try:
            index = RunIndex(index_url(index_option))
            run, _ = index.record(archive)
        finally:
            progress.clear()
    except Exception as error:  # the run is served all the same
        reason = error if isinstance(error, RunIndexError) else "%s: %s" % (type(error).__name__, error)
        logger.warning("The run history is not available: %s", reason)
        return None
    return ViewerHistory(index, run, archive.results, triage=ViewerTriage(index, run, _os_user()))
