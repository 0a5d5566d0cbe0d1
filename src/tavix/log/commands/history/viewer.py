"""The run history as the viewer serves it: the opened run, recorded when
`tavix logs view` opens it."""
import logging

from .runs import path_of, section_identities

logger = logging.getLogger("tavix.log.commands.logs")


class ViewerHistory:
    """The history of one opened run; its methods run in the server's worker threads."""

    def __init__(self, index, run, parser, window=10):
        self.index, self.run, self.window = index, run, window
        # Worked out once, as the viewer starts, for the first answer's sake.
        listed = section_identities(parser)
        self._ids = [s[0].get("id") for s in listed]
        self._keys = {s[0].get("id"): s[1] for s in listed}

    def run_history(self):
        """The run's history, each node with the section's "id" in this opening."""
        return self.index.history(self.run, self.window, ids=self._ids)

    def section_history(self, section_id):
        """{"id", "path", "runs": [{"request_id", "start_time", "result"}, ...]} of a
        section, this run first; KeyError for an id that is not a section."""
        path = path_of(self._keys[section_id])
        return {"id": section_id, "path": path,
                "runs": self.index.section_history(self.run, path, self.window)}


def history_for_viewer(archive, index_option=None):
    """Records the opened archive in the run index and returns its
    `ViewerHistory`; None when the index cannot be used, saying why once."""
    from tavix.cli.progress import ProgressLine

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
    return ViewerHistory(index, run, archive.results)
