"""The marks of a run's failures as the reports show them: `tavix logs
history` and `failures` (a column, and "marks" in their JSON) and the JUnit
export (in each failure's message)."""
import logging

from .definitions import MARK_KINDS
from .runs import path_key, path_of, section_identities

logger = logging.getLogger("tavix.log.commands.logs")

# What a failure no mark applies to is, in the reports' columns.
UNMARKED = "to investigate"


def mark_words(mark):
    """A mark as a report writes it: its kind in words, and its ticket."""
    kind = MARK_KINDS.get(mark["kind"], mark["kind"])
    return "%s: %s" % (kind, mark["ticket"]) if mark.get("ticket") else kind


def marks_column(marks):
    """The marks of a failure or category in a column: each one's words, else "to investigate"."""
    return "; ".join(mark_words(m) for m in marks) or UNMARKED


def with_history_marks(answer, applied):
    """`RunIndex.history`'s answer with "marks" on each node (matched by path)
    and category (by signature) from `applied`, `RunIndex.run_marks` of the
    run: a new answer, `answer` is left as it is."""
    by_path = {tuple(n["path"]): n["marks"] for n in applied["nodes"]}
    by_signature = {c["signature"]: c["marks"] for c in applied["categories"]}
    return dict(answer,
                nodes=[dict(node, marks=list(by_path.get(tuple(node["path"]), []))) for node in answer["nodes"]],
                categories=[dict(category, marks=list(by_signature.get(category["signature"], [])))
                            for category in answer["categories"]])


def _path_keys(parser):
    """{section id: the stored text of its path} of an opened run: decoded
    only for the few sections a report names."""
    return {record.get("id"): key for record, key, *_ in section_identities(parser)}


def run_marks_of(archive, index_option=None):
    """`RunIndex.run_marks` of an opened archive, recorded first in the run
    index; None when the index cannot be used, saying why once."""
    from . import RunIndex, RunIndexError, index_url

    try:
        with RunIndex(index_url(index_option)) as index:
            run, _ = index.record(archive)
            return index.run_marks(run)
    except Exception as error:  # the report is made all the same, without marks
        reason = error if isinstance(error, RunIndexError) else "%s: %s" % (type(error).__name__, error)
        logger.warning("The marks of the run are not available: %s", reason)
        return None


def failures_with_marks(archive, answer, index_option=None):
    """`failure_categories`' answer for `tavix logs failures`: each category
    gains "paths", parallel to its "sections" (a step's is its section's),
    and "marks" when the run index can be used."""
    keys = _path_keys(archive.results)
    for category in answer["categories"]:
        category["paths"] = [path_of(keys[str(node).partition("#")[0]]) for node in category["sections"]]
    applied = run_marks_of(archive, index_option)
    if applied is not None:
        by_signature = {c["signature"]: c["marks"] for c in applied["categories"]}
        for category in answer["categories"]:
            category["marks"] = list(by_signature.get(category["signature"], []))
    return answer


def failing_node_marks(archive, index_option=None):
    """{section id: marks of that failing section} of an opened archive for
    the JUnit export; None when the run index cannot be used."""
    applied = run_marks_of(archive, index_option)
    if applied is None:
        return None
    ids = {key: section_id for section_id, key in _path_keys(archive.results).items()}
    return {ids[key]: n["marks"] for n, key in ((n, path_key(n["path"])) for n in applied["nodes"]) if key in ids}


def junit_marks(marks_of_nodes):
    """The marks a JUnit failure's message starts with, each once, as
    "[product bug: https://…] "; "" without any. marks_of_nodes: the marks
    of the test case's failing section and of the failing sections below it."""
    words = []
    for marks in marks_of_nodes:
        for mark in marks:
            shown = mark_words(mark)
            if shown not in words:
                words.append(shown)
    return "".join("[%s] " % shown for shown in words)
