"""The status of a failing section and of a failure category over a run's window.

A section's history lists its result in each run of the window, this run
first, None where a run has no section of its path. Which results fail is
the parser's rule, the one the failures and comparisons of runs follow.
"""

from tavix.log.commands.parser.base import is_failing_result as is_failing

# State changes (failing or not) over the window that make a section flaky.
FLAKY_CHANGES = 3


def node_status(states, request_ids):
    """(status, streak, since) of a failing section.

    states: whether it fails (True, False) in each run of the window, this
    run first, None where a run has no section of its path; request_ids: the
    runs' request ids in the same order. streak: the runs of the window,
    from this one backwards, in which it fails, passing over runs without
    it; since: the request id of the oldest run of the streak. status:
    "no_history" when no earlier run has it, else "flaky" when its state
    changes at least FLAKY_CHANGES times over the runs that have it, else
    "new" for a streak of 1, else "known".
    """
    streak, since = 0, None
    for state, request_id in zip(states, request_ids):
        if state is None:
            continue
        if not state:
            break
        streak += 1
        since = request_id
    present = [state for state in states if state is not None]
    if len(present) == 1:
        return "no_history", streak, since
    changes = sum(1 for newer, older in zip(present, present[1:]) if newer != older)
    if changes >= FLAKY_CHANGES:
        return "flaky", streak, since
    return ("new" if streak == 1 else "known"), streak, since


def category_status(seen, this, request_id):
    """(status, first_seen) of a failure category of a run.

    seen: ((order key, request id) of every run of the series that has the
    category's signature); this: the run's own order key. "new" when no
    earlier run has it, first_seen then this run's request id; else "known",
    first_seen the request id of the oldest run that has it.
    """
    earlier = [entry for entry in seen if entry[0] < this]
    if not earlier:
        return "new", request_id
    return "known", min(earlier)[1]


# The kinds of marks on failures, as written on command lines and in JSON,
# and as shown.
MARK_KINDS = {"product-bug": "product bug", "test-bug": "test bug", "environment": "environment", "muted": "muted"}
# What a CI gate fails on: failing sections whose history is new, those no
# mark applies to, or all.
GATE_KINDS = ("new", "unmarked", "any")
