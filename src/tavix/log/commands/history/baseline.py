"""`previous` in place of a baseline run: the newest earlier run of the same
suite that the run index knows, read back from the archive it was recorded from."""
import logging
import pathlib
import sys

from .errors import RunIndexError

logger = logging.getLogger("tavix.log.commands.logs")

# What the user writes for the baseline to come from the run index.
PREVIOUS = "previous"


class NoPreviousRun(RunIndexError):
    """There is no earlier run to compare with; the message says why, in one line."""


def previous_archive(index, run):
    """The path of the archive of the newest earlier run of `run`'s suite in
    `index`; NoPreviousRun when `run` is None (not indexed), when the suite has
    no earlier run, or when that run's archive is no longer where it was."""
    if run is None:
        raise NoPreviousRun("this run is not in the run index %s (record it with 'tavix logs index')"
                            % index.shown)
    earlier = index.previous_run(run)
    if earlier is None:
        raise NoPreviousRun("the run index %s holds no run of the suite %r before this one"
                            % (index.shown, run["suite_name"]))
    path = pathlib.Path(earlier["archive"])
    if not path.is_file():
        from tavix.log.commands.logs import terminal_text

        # Said on standard error; the run's id comes from its archive.
        run_id = terminal_text(earlier["request_id"] or earlier["start_time"], sys.stderr)
        raise NoPreviousRun("the archive of the previous run %s is no longer at %s" % (run_id, path))
    return path


def previous_of(path, index_option=None):
    """The archive before the one at `path` (looked up by its content, never
    recorded); NoPreviousRun or the index's error otherwise."""
    from . import RunIndex, content_hash, index_url

    with RunIndex(index_url(index_option)) as index:
        return previous_archive(index, index.find(content_hash(path)))


def baseline_for_viewer(archive, history, index_option=None):
    """The archive `tavix logs view --baseline previous` compares `archive`
    with: found through `history` (the run as the viewer recorded it) or, when
    the run was not recorded, by the archive's content. None when there is
    none, saying why once; the run is then served alone."""
    try:
        if history is not None:
            return previous_archive(history.index, history.run)
        return previous_of(archive.file, index_option)
    except (RunIndexError, OSError) as error:
        logger.warning("No baseline to compare with: %s. Serving the run alone.", error)
        return None
