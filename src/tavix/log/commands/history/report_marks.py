"""The marks of a run's failures as the reports show them: `tavix logs
history` and `failures` (a column, and "marks" in their JSON) and the JUnit
export (in each failure's message)."""
import logging

from tavix.log.commands.parser.base import section_paths

from .definitions import MARK_KINDS
from .runs import path_key

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
    run, and on each category the figures of its nodes' path marks as
    failures_with_marks gives them: a new answer, `answer` is left as it is."""
    by_path = {tuple(n["path"]): n["marks"] for n in applied["nodes"]}
    by_signature = {c["signature"]: c["marks"] for c in applied["categories"]}
    carried = {}
    for node in applied["nodes"]:
        carried.setdefault(node["signature"], []).append(node["marks"])
    categories = []
    for category in answer["categories"]:
        marks = list(by_signature.get(category["signature"], []))
        categories.append(dict(category, marks=marks,
                               **_path_mark_figures(marks, carried.get(category["signature"], []))))
    return dict(answer,
                nodes=[dict(node, marks=list(by_path.get(tuple(node["path"]), []))) for node in answer["nodes"]],
                categories=categories)


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
    gains "paths", parallel to its "sections" (a step's is its section's).
    When the run index can be used, each also gains "marks" (those on its
    signature), "path_marks" (those on the paths of its failing nodes, each
    once), "marked_by_path" (how many of its nodes carry a path mark) and
    "to_investigate" (how many carry no mark, their category's included)."""
    paths = section_paths(archive.results)
    for category in answer["categories"]:
        category["paths"] = [list(paths[str(node).partition("#")[0]]) for node in category["sections"]]
    applied = run_marks_of(archive, index_option)
    if applied is None:
        return answer
    by_signature = {c["signature"]: c["marks"] for c in applied["categories"]}
    by_path = {tuple(n["path"]): n["marks"] for n in applied["nodes"]}
    for category in answer["categories"]:
        category["marks"] = list(by_signature.get(category["signature"], []))
        category.update(_path_mark_figures(category["marks"],
                                           [by_path.get(tuple(path), []) for path in category["paths"]]))
    return answer


def _path_mark_figures(signature_marks, carried):
    """A category's "path_marks" (on the paths of its failing nodes, each
    once), "marked_by_path" (how many of its nodes carry a path mark) and
    "to_investigate" (how many carry no mark); carried: each node's marks."""
    on_paths = [[m for m in marks if m["scope"] == "path"] for marks in carried]
    return {"path_marks": list({path_key(m["path"]): m for marks in on_paths for m in marks}.values()),
            "marked_by_path": sum(1 for marks in on_paths if marks),
            "to_investigate": 0 if signature_marks else sum(1 for marks in carried if not marks)}


def category_column(category):
    """A category's marks on its line in `tavix logs failures` (and in the
    cause table of `tavix logs history`): those on its
    signature, how many of its nodes are marked by path and with what ("2 of
    5 marked by path (test bug)"), and how many are left "to investigate"."""
    # `tavix logs failures` lists a category's sections, the history counts them.
    count = len(category["sections"]) if "sections" in category else category["count"]
    words = [mark_words(m) for m in category["marks"]]
    if category["marked_by_path"]:
        # Each kind and ticket once: a category's nodes are often marked alike.
        kinds = dict.fromkeys(mark_words(m) for m in category["path_marks"])
        words.append("%d of %d marked by path (%s)" % (category["marked_by_path"], count, ", ".join(kinds)))
    left = category["to_investigate"]
    if left:
        words.append(UNMARKED if left == count else "%d %s" % (left, UNMARKED))
    return "; ".join(words) or UNMARKED


def failing_node_marks(archive, index_option=None):
    """{section id: marks of that failing section} of an opened archive for
    the JUnit export; None when the run index cannot be used."""
    applied = run_marks_of(archive, index_option)
    if applied is None:
        return None
    ids = {tuple(path): section_id for section_id, path in section_paths(archive.results).items()}
    return {ids[key]: n["marks"] for n, key in ((n, tuple(n["path"])) for n in applied["nodes"]) if key in ids}


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
