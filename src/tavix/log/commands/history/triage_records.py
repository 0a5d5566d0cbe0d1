"""Triage in the run index: marks and claims on failures, their changes, and
what they say of a run.

A mark or a claim is on a target of a suite: a failure signature, or the
path of a failing section, tied to the signature that section failed with
then. It applies to the run it was set on and to every later run of the
suite in which a failing section has the signature (for a path: in which
the path fails with the tied signature; another cause there is unmarked
again). A claim also ends when its target passes: for a path, the first
later run in which the section passes; for a signature, the first later run
in which no section fails with it. All of this is worked out from the runs
when asked, so nothing needs to run in the background.

Every write is one transaction in the writers' turn: of two users editing
one mark the later write wins, and both are in its changes.
"""
import bisect
import re
import time
import urllib.parse

from sqlalchemy import and_, func, select

from . import schema
from .access_records import AccessRecordError, checked_name, moment_text
from .definitions import GATE_KINDS, MARK_KINDS, is_failing
from .run_order import order_key
from .runs import hash64, path_key, path_of, paths_of
from .stored_text import key_of

COMMENT_CHARS = 10_000
TICKET_CHARS = 2_000
# A mark not seen for this many runs of its suite shows as "not_seen".
UNSEEN_RUNS = 10
# Suggestions below this similarity are noise; the best SUGGESTIONS are given.
MIN_SCORE = 0.4
SUGGESTIONS = 5
_TOKEN = re.compile(r"<[A-Z]+>|[^\W_]+|[^\w\s]")
# Ids per statement: within every database's limit of parameters.
_CHUNK = 500
# Later than every run: where a mark that is not there would start.
_NEVER = (float("inf"), 0)


class MarkError(ValueError):
    """A mark or a claim the index cannot take; the message says why."""


def _chunks(items):
    items = list(items)
    for start in range(0, len(items), _CHUNK):
        yield items[start:start + _CHUNK]


def _clipped(text, chars=120):
    return text if len(text) <= chars else text[:chars] + "..."


def checked_target(signature, path):
    """(scope, target text) of a mark's or claim's target: a signature (text)
    or a path (a list of names), exactly one of them."""
    if (signature is None) == (path is None):
        raise MarkError("a mark or claim is on a signature or on a path, one of the two")
    if signature is not None:
        if not isinstance(signature, str) or not signature.strip():
            raise MarkError("a signature is a text that is not blank")
        return "signature", signature
    if not isinstance(path, (list, tuple)) or not path or not all(isinstance(n, str) and n for n in path):
        raise MarkError("a path is a list of one or more names, none empty")
    return "path", path_key(list(path))


def checked_author(author):
    try:
        return checked_name(author)
    except AccessRecordError as error:
        raise MarkError("the author: %s" % error) from None


def checked_kind(kind):
    if kind not in MARK_KINDS:
        raise MarkError("a kind is one of %s, not %r" % (", ".join(MARK_KINDS), kind))
    return kind


def checked_ticket(ticket):
    """A ticket link: an http or https address, or None."""
    if ticket is None or ticket == "":
        return None
    if not isinstance(ticket, str) or len(ticket) > TICKET_CHARS \
            or any(c.isspace() or not c.isprintable() for c in ticket):
        raise MarkError("a ticket is an http or https address of at most %d characters, without blanks"
                        % TICKET_CHARS)
    try:
        parts = urllib.parse.urlsplit(ticket)
    except ValueError:
        parts = None
    if parts is None or parts.scheme.lower() not in ("http", "https") or not parts.netloc:
        raise MarkError("a ticket is an http or https address, not %r" % _clipped(ticket))
    return ticket


def checked_comment(comment):
    if comment is None or comment == "":
        return None
    if not isinstance(comment, str) or len(comment) > COMMENT_CHARS:
        raise MarkError("a comment is a text of at most %d characters" % COMMENT_CHARS)
    return comment


def tokens(signature):
    """The tokens of a signature (numbers, addresses and times already masked
    there), whatever their case."""
    return frozenset(_TOKEN.findall(signature.lower()))


def similarity(these, those):
    """The share of the tokens of two signatures that both have (Jaccard)."""
    common = len(these & those)
    return common / (len(these) + len(those) - common) if common else 0.0


class _Timeline:
    """The live runs of a suite, oldest first, and where a mark's start falls among them."""

    def __init__(self, rows):
        self.runs = sorted(rows, key=lambda r: order_key(r["started"], r["id"]))
        self.keys = [order_key(r["started"], r["id"]) for r in self.runs]
        self.position = {r["id"]: i for i, r in enumerate(self.runs)}

    def since(self, row):
        """The position of the first run a mark or claim (a row of either) applies to."""
        return bisect.bisect_left(self.keys, order_key(row["since_started"], row["since_run"]))


class _Sightings:
    """Per target (scope, target hash) over a timeline of `count` runs: the
    positions of the runs where it applies ("seen", sorted), and for a path
    those where its section passes ("passed", sorted). A signature passes
    where it is not seen."""

    def __init__(self, count):
        self.count = count
        self.seen, self.passed = {}, {}

    def last_seen(self, key, since):
        seen = self.seen.get(key)
        return seen[-1] if seen and seen[-1] >= since else None

    def released_at(self, key, since):
        """The position of the first run after `since` where the target passes, or None."""
        if key in self.passed:
            passed = self.passed[key]
            at = bisect.bisect_right(passed, since)
            return passed[at] if at < len(passed) else None
        seen = set(self.seen.get(key, ()))
        at = since + 1
        while at in seen:
            at += 1
        return at if at < self.count else None


def _key(row):
    return row["scope"], row["target_hash"]


class TriageRecords:
    """The mark and claim methods of RunIndex. A target is given as
    signature=TEXT or path=[NAME, ...]; `run` as `find` gives runs."""

    # -------------------------------------------------------------- writing
    def set_mark(self, suite, *, kind, author, signature=None, path=None, ticket=None, comment=None, run=None):
        """Sets or changes the mark on a target of `suite`, from `run` on (by
        default the newest run where the target fails); the mark's JSON."""
        scope, target = checked_target(signature, path)
        values = {"kind": checked_kind(kind), "ticket": checked_ticket(ticket), "comment": checked_comment(comment)}
        self._write(schema.marks, suite, scope, target, checked_author(author), run, values)
        return self._one(suite, scope, target, "mark")

    def claim(self, suite, *, author, signature=None, path=None, run=None):
        """`author` is on it: claims a target of `suite` from `run` on (by
        default the newest run where the target fails); the claim's JSON."""
        scope, target = checked_target(signature, path)
        self._write(schema.claims, suite, scope, target, checked_author(author), run, {})
        return self._one(suite, scope, target, "claim")

    def remove_mark(self, suite, *, author, signature=None, path=None):
        """Removes the mark on a target of `suite`; False when it has none."""
        scope, target = checked_target(signature, path)
        return self._remove(schema.marks, "removed", suite, scope, target, checked_author(author))

    def release(self, suite, *, author, signature=None, path=None):
        """Releases the claim on a target of `suite` by hand; False when it has none."""
        scope, target = checked_target(signature, path)
        return self._remove(schema.claims, "released", suite, scope, target, checked_author(author))

    def _write(self, table, suite, scope, target, author, run, values):
        now = time.time()
        with self._transaction(writing=True) as connection:
            suite_id = self._triaged_suite(connection, suite)
            tie = self._tie(connection, suite_id, scope, target, run)
            key = (table.c.suite_id == suite_id) & (table.c.scope == scope) & (table.c.target_hash == hash64(target))
            old = connection.execute(select(table.c.signature_id, table.c.since_run, table.c.since_started)
                                     .where(key)).mappings().first()
            row = dict(tie, author=author, time=now, **values)
            if table is schema.marks and old is not None and old["signature_id"] == tie["signature_id"] and \
                    order_key(old["since_started"], old["since_run"]) < order_key(tie["since_started"],
                                                                                  tie["since_run"]):
                # The same failure marked again: it still applies from where it was first marked
                # (a claim starts afresh: the one before may have ended with a pass).
                row.update(since_run=old["since_run"], since_started=old["since_started"])
            if old is None:
                connection.execute(table.insert().values(suite_id=suite_id, scope=scope, target_hash=hash64(target),
                                                         target=target, **row))
                action = "set" if table is schema.marks else "claimed"
            else:
                connection.execute(table.update().where(key).values(**row))
                action = "changed" if table is schema.marks else "claimed"
            self._log_change(connection, suite_id, scope, target, action, author, now, values)

    def _remove(self, table, action, suite, scope, target, author):
        with self._transaction(writing=True) as connection:
            suite_id = self._triaged_suite(connection, suite)
            gone = connection.execute(table.delete().where(
                (table.c.suite_id == suite_id) & (table.c.scope == scope)
                & (table.c.target_hash == hash64(target)))).rowcount > 0
            if gone:
                self._log_change(connection, suite_id, scope, target, action, author, time.time(), {})
        return gone

    @staticmethod
    def _log_change(connection, suite_id, scope, target, action, author, now, values):
        connection.execute(schema.triage_changes.insert().values(
            suite_id=suite_id, scope=scope, target_hash=hash64(target), action=action, author=author, time=now,
            **values))

    def _triaged_suite(self, connection, suite):
        suites = schema.suites
        found = None
        if self._has_tables(connection):
            found = connection.execute(select(suites.c.id).where(suites.c.name == key_of(suite))).scalar()
        if found is None:
            raise MarkError("the run index holds no run of the suite %r" % _clipped(suite))
        return found

    def _tie(self, connection, suite_id, scope, target, run):
        """{"signature_id", "node_id", "since_run", "since_started"} of a target
        marked on `run`, else on the newest run where it fails; MarkError when
        it fails in no such run."""
        runs = schema.runs
        if scope == "signature":
            sig, rc = schema.signatures, schema.run_categories
            signature_id = connection.execute(select(sig.c.id).where(and_(
                sig.c.text_hash == hash64(target), sig.c.text == target))).scalar()
            rows = [] if signature_id is None else connection.execute(
                select(runs.c.id, runs.c.started, runs.c.request_id, rc.c.signature_id)
                .join(rc, rc.c.run_id == runs.c.id)
                .where(and_(runs.c.suite_id == suite_id, schema.LIVE, rc.c.signature_id == signature_id))
            ).mappings().all()
            node_id = None
        else:
            nodes, rs = schema.nodes, schema.run_sections
            node_id = connection.execute(select(nodes.c.id).where(and_(
                nodes.c.suite_id == suite_id, nodes.c.path_hash == hash64(target), nodes.c.path == target))).scalar()
            rows = [] if node_id is None else connection.execute(
                select(runs.c.id, runs.c.started, runs.c.request_id, rs.c.signature_id)
                .join(rs, rs.c.run_id == runs.c.id)
                .where(and_(runs.c.suite_id == suite_id, schema.LIVE, rs.c.node_id == node_id,
                            rs.c.result_id.in_(self._failing_words(connection))))).mappings().all()
        if run is not None:
            rows = [r for r in rows if r["id"] == run["id"]]
        if not rows:
            raise MarkError(_nowhere(scope, target, run))
        newest = max(rows, key=lambda r: order_key(r["started"], r["id"]))
        return {"signature_id": newest["signature_id"], "node_id": node_id, "since_run": newest["id"],
                "since_started": newest["started"]}

    def _failing_words(self, connection):
        return [word for word, text in self._texts(connection).items() if is_failing(text)]

    # -------------------------------------------------------------- reading
    def marks(self, suite):
        """Every mark of `suite`, by target (see the module's rules): its JSON
        with "last_seen" (the request id of the newest run it applied to, None
        when none is left), "runs_since_seen" (the suite's runs after that
        one) and "state" ("not_seen" once that is UNSEEN_RUNS or more, else
        "active")."""
        return self.triage(suite)["marks"]

    def claims(self, suite):
        """Every claim of `suite`: {"scope", "signature" or "path",
        "claimed_by", "claimed_since", "released_in" (the request id of the
        run in which its target passed, else None), "history"}."""
        return self.triage(suite)["claims"]

    def _one(self, suite, scope, target, what):
        """The JSON of the mark ("mark") or claim ("claim") on a target, as listed."""
        shown = target if scope == "signature" else path_of(target)
        listed = self.triage(suite)["marks" if what == "mark" else "claims"]
        return next(item for item in listed if item["scope"] == scope and item[scope] == shown)

    def triage(self, suite):
        """{"marks": marks(suite), "claims": claims(suite)}, read at once."""
        with self._transaction() as connection:
            suite_id = self._triaged_suite(connection, suite)
            timeline = self._timeline(connection, suite_id)
            marks, claims = self._rows(connection, schema.marks, suite_id), self._rows(connection, schema.claims,
                                                                                        suite_id)
            sightings = self._sightings(connection, timeline, marks + claims)
            changes = self._changes(connection, suite_id)
        newest = len(timeline.runs) - 1
        active = {_key(c): c for c in claims if self._claim_holds(c, timeline, sightings, newest)}
        listed = []
        for mark in marks:
            shown = _target_json(mark, active.get(_key(mark)), changes)
            shown.update(_seen(mark, timeline, sightings))
            listed.append(shown)
        listed_claims = []
        for claim in claims:
            shown = _target_json(claim, claim, changes)
            released = sightings.released_at(_key(claim), timeline.since(claim))
            shown["released_in"] = None if released is None else timeline.runs[released]["request_id"]
            listed_claims.append(shown)
        return {"marks": listed, "claims": listed_claims}

    def run_marks(self, run):
        """What applies to each failing section of `run` and to each of its
        failure categories: {"nodes": [{"path", "signature" (None without a
        cause line), "marks", "claims"}] in tree order, "categories":
        [{"signature", "marks", "claims"}] as the Failures view lists them}.
        A node's marks are its path marks and its signature's marks; its
        claims likewise. A mark or claim is its JSON (see `marks`, without the
        last-seen facts)."""
        with self._transaction() as connection:
            return self._run_marks(connection, run)

    def _run_marks(self, connection, run):
        rs, nodes, sig, rc = schema.run_sections, schema.nodes, schema.signatures, schema.run_categories
        failing = connection.execute(
            select(rs.c.node_id, rs.c.signature_id, nodes.c.path, sig.c.text)
            .join(nodes, nodes.c.id == rs.c.node_id).outerjoin(sig, sig.c.id == rs.c.signature_id)
            .where(and_(rs.c.run_id == run["id"], rs.c.result_id.in_(self._failing_words(connection))))
            .order_by(rs.c.position)).all()
        categories = connection.execute(
            select(rc.c.signature_id, sig.c.text).join(sig, sig.c.id == rc.c.signature_id)
            .where(rc.c.run_id == run["id"]).order_by(rc.c.position)).all()
        paths = paths_of(row[2] for row in failing)
        marks = self._rows(connection, schema.marks, run["suite_id"])
        claims = self._rows(connection, schema.claims, run["suite_id"])
        answer = {"nodes": [], "categories": []}
        if not marks and not claims:
            answer["nodes"] = [{"path": path, "signature": text, "marks": [], "claims": []}
                               for (_, _, _, text), path in zip(failing, paths)]
            answer["categories"] = [{"signature": text, "marks": [], "claims": []} for _, text in categories]
            return answer
        timeline = self._timeline(connection, run["suite_id"])
        here = timeline.position[run["id"]]
        changes = self._changes(connection, run["suite_id"])
        sightings = self._sightings(connection, timeline, claims)
        claims = [c for c in claims if self._claim_holds(c, timeline, sightings, here)]
        holding = {_key(c): c for c in claims}
        # Signature id -> {"marks", "claims"} that follow it; node id -> (tied
        # signature id, "marks" or "claims", JSON) of its path's.
        by_signature, by_node = {}, {}
        for kind, rows in (("marks", marks), ("claims", claims)):
            for row in rows:
                if timeline.since(row) > here:
                    continue
                shown = _target_json(row, holding.get(_key(row)) if kind == "marks" else row, changes)
                if row["scope"] == "signature":
                    by_signature.setdefault(row["signature_id"], {"marks": [], "claims": []})[kind].append(shown)
                else:
                    by_node.setdefault(row["node_id"], []).append((row["signature_id"], kind, shown))
        nothing = {"marks": [], "claims": []}
        for (node_id, signature_id, _, text), path in zip(failing, paths):
            # A failing section without a cause line has no category to follow.
            found = {k: list(v) for k, v in
                     (nothing if signature_id is None else by_signature.get(signature_id, nothing)).items()}
            for tied, kind, shown in by_node.get(node_id, []):
                if tied == signature_id:
                    found[kind].insert(0, shown)
            answer["nodes"].append({"path": path, "signature": text, **found})
        for signature_id, text in categories:
            found = by_signature.get(signature_id, nothing)
            answer["categories"].append({"signature": text, "marks": list(found["marks"]),
                                         "claims": list(found["claims"])})
        return answer

    def investigation(self, runs):
        """{run id: (failing sections, those a mark applies to)} of `runs` (as
        `find` gives them), as `run_marks` would count them (a claim is no
        mark), for all of them at once: the database counts the failing
        sections of each run by signature, in one pass over the runs."""
        rs, marks = schema.run_sections, schema.marks
        counts = {run["id"]: [0, 0] for run in runs}
        with self._transaction() as connection:
            if not counts or not self._has_tables(connection):
                return {run_id: tuple(found) for run_id, found in counts.items()}
            failing = self._failing_words(connection)
            by_signature = {}
            for chunk in _chunks(counts):
                for run_id, signature_id, count in connection.execute(
                        select(rs.c.run_id, rs.c.signature_id, func.count())
                        .where(and_(rs.c.run_id.in_(chunk), rs.c.result_id.in_(failing)))
                        .group_by(rs.c.run_id, rs.c.signature_id)):
                    counts[run_id][0] += count
                    by_signature.setdefault(run_id, []).append((signature_id, count))
            suites = list({run["suite_id"] for run in runs})
            since = {(suite_id, signature_id): order_key(started, run_id)
                     for suite_id, signature_id, started, run_id in connection.execute(
                         select(marks.c.suite_id, marks.c.signature_id, marks.c.since_started, marks.c.since_run)
                         .where(and_(marks.c.suite_id.in_(suites), marks.c.scope == "signature")))}
            path_marked = {}
            for chunk in _chunks(counts):
                # Each path mark looks its section up in each run: no pass over the runs.
                for run_id, signature_id, started, since_run in connection.execute(
                        select(rs.c.run_id, rs.c.signature_id, marks.c.since_started, marks.c.since_run)
                        .join(marks, and_(marks.c.node_id == rs.c.node_id,
                                          marks.c.signature_id.is_not_distinct_from(rs.c.signature_id)))
                        .where(and_(marks.c.suite_id.in_(suites), marks.c.scope == "path",
                                    rs.c.run_id.in_(chunk), rs.c.result_id.in_(failing)))):
                    path_marked.setdefault(run_id, []).append((signature_id, order_key(started, since_run)))
        for run in runs:
            here = order_key(run["started"], run["id"])
            marked = {signature_id for signature_id, _ in by_signature.get(run["id"], ())
                      if since.get((run["suite_id"], signature_id), _NEVER) <= here}
            counts[run["id"]][1] = sum(count for signature_id, count in by_signature.get(run["id"], ())
                                       if signature_id in marked) + \
                sum(1 for signature_id, mark_since in path_marked.get(run["id"], ())
                    if mark_since <= here and signature_id not in marked)
        return {run_id: tuple(found) for run_id, found in counts.items()}

    def suggestions(self, run, path, limit=SUGGESTIONS):
        """For the failing section at `path` (a list of names) of `run`: when
        no mark applies to it, the suite's signature marks whose signatures
        are most alike its own, [{"score", "mark"}] best first; else [].
        They are never applied. MarkError when the section does not fail in
        the run."""
        key = path_key(list(path))
        with self._transaction() as connection:
            nodes = [n for n in self._run_marks(connection, run)["nodes"] if path_key(n["path"]) == key]
            if not nodes:
                raise MarkError(_nowhere("path", key, run))
            return self._suggested(connection, run, nodes, limit)[0]

    def run_suggestions(self, run, limit=SUGGESTIONS):
        """The suggestions of every failing section of `run` that no mark
        applies to: [{"path", "signature", "suggestions"}] in tree order."""
        with self._transaction() as connection:
            nodes = [n for n in self._run_marks(connection, run)["nodes"] if not n["marks"]]
            found = self._suggested(connection, run, nodes, limit)
        return [{"path": n["path"], "signature": n["signature"], "suggestions": alike}
                for n, alike in zip(nodes, found)]

    def _suggested(self, connection, run, nodes, limit):
        """The suggestions of each of `nodes` (as `run_marks` gives them)."""
        timeline = self._timeline(connection, run["suite_id"])
        here = timeline.position[run["id"]]
        candidates = [(tokens(mark["target"]), mark) for mark in self._rows(connection, schema.marks, run["suite_id"])
                      if mark["scope"] == "signature" and timeline.since(mark) <= here]
        changes = self._changes(connection, run["suite_id"]) if candidates else {}
        alike = {}
        for node in nodes:
            signature = node["signature"]
            if node["marks"] or signature is None or signature in alike:
                continue
            own = tokens(signature)
            scored = [(similarity(own, theirs), mark) for theirs, mark in candidates if mark["target"] != signature]
            scored = sorted((s for s in scored if s[0] >= MIN_SCORE), key=lambda s: (-s[0], -s[1]["time"]))
            alike[signature] = [{"score": round(score, 3), "mark": _target_json(mark, None, changes)}
                                for score, mark in scored[:limit]]
        return [[] if node["marks"] else alike.get(node["signature"], []) for node in nodes]

    def gate(self, run, fail_on="unmarked", window=None):
        """The failing sections of `run` a CI gate fails on: those whose history
        status is "new" or "no_history" (fail_on "new"), those no mark applies
        to ("unmarked"; a claim is no mark), or all ("any"). [{"path", "status",
        "result", "signature", "marks"}] in tree order."""
        if fail_on not in GATE_KINDS:
            raise MarkError("a gate fails on one of %s, not %r" % (", ".join(GATE_KINDS), fail_on))
        history = self.history(run) if window is None else self.history(run, window)
        marked = {path_key(n["path"]): n for n in self.run_marks(run)["nodes"]}
        failing = []
        for node in history["nodes"]:
            found = marked.get(path_key(node["path"]), {"signature": None, "marks": []})
            if fail_on == "new" and node["status"] not in ("new", "no_history"):
                continue
            if fail_on == "unmarked" and found["marks"]:
                continue
            failing.append({"path": node["path"], "status": node["status"], "result": node["result"],
                            "signature": found["signature"], "marks": found["marks"]})
        return failing

    # ------------------------------------------------------------ internals
    @staticmethod
    def _rows(connection, table, suite_id):
        return [dict(r) for r in connection.execute(
            select(table).where(table.c.suite_id == suite_id).order_by(table.c.id)).mappings()]

    @staticmethod
    def _timeline(connection, suite_id):
        runs = schema.runs
        return _Timeline([dict(r) for r in connection.execute(
            select(runs.c.id, runs.c.started, runs.c.request_id).where(
                and_(runs.c.suite_id == suite_id, schema.LIVE))).mappings()])

    @staticmethod
    def _changes(connection, suite_id):
        """{(scope, target hash): [change JSON]} of the suite, oldest first."""
        table = schema.triage_changes
        found = {}
        for row in connection.execute(select(table).where(table.c.suite_id == suite_id)
                                      .order_by(table.c.id)).mappings():
            change = {"action": row["action"], "author": row["author"], "time": moment_text(row["time"])}
            if row["action"] in ("set", "changed"):
                change.update(kind=row["kind"], ticket=row["ticket"], comment=row["comment"])
            found.setdefault(_key(row), []).append(change)
        return found

    def _sightings(self, connection, timeline, rows):
        """The _Sightings of the targets of `rows` (marks or claims) over the timeline."""
        sightings = _Sightings(len(timeline.runs))
        if not rows or not timeline.runs:
            return sightings
        run_ids = list(timeline.position)
        signature_rows = [r for r in rows if r["scope"] == "signature"]
        if signature_rows:
            rc = schema.run_categories
            having = {}
            for chunk in _chunks({r["signature_id"] for r in signature_rows}):
                for signature_id, run_id in connection.execute(select(rc.c.signature_id, rc.c.run_id).where(
                        rc.c.signature_id.in_(chunk))):
                    if run_id in timeline.position:
                        having.setdefault(signature_id, set()).add(timeline.position[run_id])
            for row in signature_rows:
                sightings.seen[_key(row)] = sorted(having.get(row["signature_id"], ()))
        path_rows = [r for r in rows if r["scope"] == "path"]
        if path_rows:
            rs = schema.run_sections
            failing = set(self._failing_words(connection))
            results = {}
            for nodes in _chunks({r["node_id"] for r in path_rows}):
                for runs in _chunks(run_ids):
                    for run_id, node_id, result_id, signature_id in connection.execute(
                            select(rs.c.run_id, rs.c.node_id, rs.c.result_id, rs.c.signature_id).where(and_(
                                rs.c.run_id.in_(runs), rs.c.node_id.in_(nodes)))):
                        results.setdefault(node_id, []).append(
                            (timeline.position[run_id], result_id in failing, signature_id))
            for row in path_rows:
                found = sorted(results.get(row["node_id"], []))
                sightings.seen[_key(row)] = [p for p, fails, s in found if fails and s == row["signature_id"]]
                sightings.passed[_key(row)] = [p for p, fails, _ in found if not fails]
        return sightings

    @staticmethod
    def _claim_holds(claim, timeline, sightings, position):
        """Whether a claim holds at the run at `position` of the timeline."""
        since = timeline.since(claim)
        released = sightings.released_at(_key(claim), since)
        return since <= position and (released is None or position < released)


def _nowhere(scope, target, run):
    """Why a target cannot be marked: it fails in no run of the suite, or not in `run`."""
    if scope == "signature":
        if run is None:
            return "no run of the suite has the signature %r" % _clipped(target)
        return "the run %s has no signature %r" % (run["request_id"], _clipped(target))
    section = _clipped(" / ".join(path_of(target)))
    if run is None:
        return "the section %s fails in no run of the suite" % section
    return "the section %s does not fail in the run %s" % (section, run["request_id"])


def _target_json(row, claim, changes):
    """The JSON of a mark (or, with kind, ticket and comment left out, of a
    claim): its target, what it says, the claim on its target, its changes."""
    shown = {"scope": row["scope"]}
    shown[row["scope"]] = row["target"] if row["scope"] == "signature" else path_of(row["target"])
    if "kind" in row:
        shown.update(kind=row["kind"], ticket=row["ticket"], comment=row["comment"], author=row["author"],
                     time=moment_text(row["time"]))
    shown.update(claimed_by=None if claim is None else claim["author"],
                 claimed_since=None if claim is None else moment_text(claim["time"]),
                 history=list(changes.get(_key(row), [])))
    return shown


def _seen(mark, timeline, sightings):
    since = timeline.since(mark)
    last = sightings.last_seen(_key(mark), since)
    after = len(timeline.runs) - (since if last is None else last + 1)
    return {"last_seen": None if last is None else timeline.runs[last]["request_id"], "runs_since_seen": after,
            "state": "not_seen" if after >= UNSEEN_RUNS else "active"}
