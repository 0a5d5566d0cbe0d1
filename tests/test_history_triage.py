"""Marks and claims on failures in the run index: their rules over hand-made
series, their changes, suggestions, the CI gate, and the commands."""
import json
import threading

import pytest
import sqlalchemy

from tavix.log.commands.archive import Archive
from tavix.log.commands.history import RunIndex, index_url as resolve_url, schema
from tavix.log.commands.history.triage_records import MarkError

from helpers.cli import logs_tool
from helpers.history_runs import make_run, nightly_series
from helpers.older_indexes import as_version_4

LINK = "link down after <N> s"


class Series:
    """Runs of the suite "nightly" a day apart, recorded as they are added."""

    def __init__(self, index, directory):
        self.index, self.directory, self.runs = index, directory, {}

    def add(self, *cases):
        number = len(self.runs) + 1
        request_id = "r%d" % number
        path = make_run(self.directory / ("%s.zip" % request_id), request_id,
                        "2026-11-%02d 02:00:00" % number, list(cases))
        with Archive(path) as archive:
            self.runs[request_id] = self.index.record(archive)[0]
        return self.runs[request_id]

    def nodes(self, request_id):
        """{section name: node of run_marks} of a run."""
        return {node["path"][-1]: node for node in self.index.run_marks(self.runs[request_id])["nodes"]}


@pytest.fixture
def series(index_url, tmp_path):
    with RunIndex(resolve_url(index_url)) as index:
        yield Series(index, tmp_path)


def kinds(node):
    return [(mark["scope"], mark["kind"]) for mark in node["marks"]]


def test_a_signature_mark_follows_its_signature_until_it_is_not_seen_for_10_runs(series):
    index = series.index
    series.add(("a", "failed", [], "link down after 30 s"))
    series.add(("a", "failed", [], "link down after 31 s"), ("b", "passed"))
    mark = index.set_mark("nightly", signature=LINK, kind="environment", author="ada",
                          ticket="https://tickets.example/LAB-7", comment="the lab's switch")
    assert {k: mark[k] for k in ("scope", "signature", "kind", "ticket", "comment", "author", "claimed_by",
                                 "last_seen", "runs_since_seen", "state")} == {
        "scope": "signature", "signature": LINK, "kind": "environment", "ticket": "https://tickets.example/LAB-7",
        "comment": "the lab's switch", "author": "ada", "claimed_by": None, "last_seen": "r2",
        "runs_since_seen": 0, "state": "active"}
    # Set on the newest run with the signature: from that run on, not before.
    assert series.nodes("r1")["a"]["marks"] == [] and kinds(series.nodes("r2")["a"]) == [("signature", "environment")]
    # Another section failing with the signature later carries it too, as does its category.
    series.add(("a", "passed"), ("b", "failed", [], "link down after 45 s"), ("c", "failed", [], "disk full"))
    nodes = series.nodes("r3")
    assert kinds(nodes["b"]) == [("signature", "environment")] and nodes["c"]["marks"] == []
    categories = {c["signature"]: c for c in index.run_marks(series.runs["r3"])["categories"]}
    assert [m["kind"] for m in categories[LINK]["marks"]] == ["environment"]
    assert categories["disk full"]["marks"] == []
    for _ in range(9):
        series.add(("a", "passed"), ("b", "passed"))
    assert [(m["last_seen"], m["runs_since_seen"], m["state"]) for m in index.marks("nightly")] == [
        ("r3", 9, "active")]
    series.add(("a", "passed"))
    assert [(m["last_seen"], m["runs_since_seen"], m["state"]) for m in index.marks("nightly")] == [
        ("r3", 10, "not_seen")]
    # Seen again: active again, and still applied.
    series.add(("a", "failed", [], "link down after 2 s"))
    assert kinds(series.nodes("r14")["a"]) == [("signature", "environment")]
    assert [(m["last_seen"], m["state"]) for m in index.marks("nightly")] == [("r14", "active")]


def test_a_path_mark_holds_while_its_section_fails_with_the_same_cause(series):
    index = series.index
    series.add(("a", "failed", [], "disk full on /var"), ("b", "failed", [], "disk full on /var"))
    index.set_mark("nightly", path=["s.py", "a"], kind="test-bug", author="ada")
    index.set_mark("nightly", signature="disk full on /var", kind="environment", author="bob")
    # Both apply to a, each with its scope, the path's first; b has its category's alone.
    nodes = series.nodes("r1")
    assert kinds(nodes["a"]) == [("path", "test-bug"), ("signature", "environment")]
    assert kinds(nodes["b"]) == [("signature", "environment")]
    # A new cause on the marked path: to investigate again.
    series.add(("a", "failed", [], "timeout waiting for the prompt"), ("b", "passed"))
    assert series.nodes("r2")["a"]["marks"] == []
    assert [node["path"] for node in index.gate(series.runs["r2"], "unmarked")] == [["s.py", "a"]]
    series.add(("a", "failed", [], "disk full on /var"))
    assert kinds(series.nodes("r3")["a"]) == [("path", "test-bug"), ("signature", "environment")]
    path_mark = [m for m in index.marks("nightly") if m["scope"] == "path"][0]
    assert (path_mark["path"], path_mark["last_seen"], path_mark["runs_since_seen"]) == (["s.py", "a"], "r3", 0)
    # Marked again on the new cause, it follows that cause from its run on.
    index.set_mark("nightly", path=["s.py", "a"], kind="product-bug", author="ada", run=series.runs["r2"])
    assert kinds(series.nodes("r2")["a"]) == [("path", "product-bug")]
    assert kinds(series.nodes("r3")["a"]) == [("signature", "environment")]


def test_a_claim_follows_later_runs_until_its_section_passes(series):
    index = series.index
    series.add(("a", "failed"), ("b", "failed", [], "link down after 3 s"))
    claim = index.claim("nightly", path=["s.py", "a"], author="ada")
    assert (claim["claimed_by"], claim["released_in"]) == ("ada", None)
    index.claim("nightly", signature=LINK, author="bob")
    index.set_mark("nightly", signature=LINK, kind="product-bug", author="bob")
    series.add(("a", "failed"), ("b", "failed", [], "link down after 4 s"))
    nodes = series.nodes("r2")
    assert [c["claimed_by"] for c in nodes["a"]["claims"]] == ["ada"]
    # A claim alone does not make a failure marked.
    assert nodes["a"]["marks"] == [] and [n["path"][-1] for n in index.gate(series.runs["r2"])] == ["a"]
    assert [(m["claimed_by"], m["kind"]) for m in nodes["b"]["marks"]] == [("bob", "product-bug")]
    series.add(("a", "passed"), ("b", "passed"))
    series.add(("a", "failed"), ("b", "failed", [], "link down after 5 s"))
    nodes = series.nodes("r4")
    assert nodes["a"]["claims"] == [] and nodes["b"]["claims"] == []
    assert nodes["b"]["marks"][0]["claimed_by"] is None and nodes["b"]["marks"][0]["kind"] == "product-bug"
    # The runs before the pass still show who was on it.
    assert [c["claimed_by"] for c in series.nodes("r2")["a"]["claims"]] == ["ada"]
    assert [(c["scope"], c["released_in"]) for c in index.claims("nightly")] == [("path", "r3"), ("signature", "r3")]
    # Claimed again, it holds; released by hand, it is gone, and that is kept.
    index.claim("nightly", path=["s.py", "a"], author="bob")
    assert [c["claimed_by"] for c in series.nodes("r4")["a"]["claims"]] == ["bob"]
    assert index.release("nightly", path=["s.py", "a"], author="bob")
    assert not index.release("nightly", path=["s.py", "a"], author="bob")
    assert series.nodes("r4")["a"]["claims"] == []
    history = [c["history"] for c in index.claims("nightly") if c["scope"] == "signature"][0]
    assert [(h["action"], h["author"]) for h in history] == [("claimed", "bob"), ("set", "bob")]


def test_every_change_is_kept_and_the_later_of_two_writes_wins(series, index_url):
    index = series.index
    series.add(("a", "failed", [], "disk full on /var"))
    target = {"signature": "disk full on /var"}
    index.set_mark("nightly", kind="environment", author="ada", **target)
    changed = index.set_mark("nightly", kind="product-bug", author="bob", ticket="http://t.example/1", **target)
    assert (changed["kind"], changed["author"]) == ("product-bug", "bob")
    assert index.remove_mark("nightly", author="cy", **target)
    assert not index.remove_mark("nightly", author="cy", **target) and index.marks("nightly") == []
    mark = index.set_mark("nightly", kind="muted", author="ada", comment="<b>not ours</b>", **target)
    assert [(h["action"], h["author"], h.get("kind")) for h in mark["history"]] == [
        ("set", "ada", "environment"), ("changed", "bob", "product-bug"), ("removed", "cy", None),
        ("set", "ada", "muted")]
    assert mark["history"][1]["ticket"] == "http://t.example/1" and mark["comment"] == "<b>not ours</b>"
    assert all(h["time"].endswith("Z") for h in mark["history"])
    # Two users at once, each with an index of their own.
    start = threading.Barrier(2, timeout=5)
    errors = []

    def edit(author, kind):
        try:
            with RunIndex(resolve_url(index_url), writer_wait=5) as theirs:
                start.wait()
                theirs.set_mark("nightly", kind=kind, author=author, **target)
        except Exception as error:  # reported by the assertion below
            errors.append(error)

    editors = [threading.Thread(target=edit, args=args) for args in (("dee", "test-bug"), ("eve", "environment"))]
    for editor in editors:
        editor.start()
    for editor in editors:
        editor.join(5)
    assert errors == []
    [mark] = index.marks("nightly")
    last_two = mark["history"][-2:]
    assert sorted(h["author"] for h in last_two) == ["dee", "eve"]
    assert (mark["author"], mark["kind"]) == (last_two[-1]["author"], last_two[-1]["kind"])


def test_suggestions_rank_the_marked_signatures_most_alike(series):
    index = series.index
    series.add(("a", "failed", [], "connection to 10.0.0.1 refused after 3 retries"),
               ("b", "failed", [], "disk quota exceeded on /var/log"),
               ("c", "failed", [], "timeout waiting for the console prompt"))
    for signature, kind in [("connection to <IP> refused after <N> retries", "environment"),
                            ("disk quota exceeded on /var/log", "environment"),
                            ("timeout waiting for the console prompt", "test-bug")]:
        index.set_mark("nightly", signature=signature, kind=kind, author="ada")
    run = series.add(("a", "failed", [], "connection to 10.0.0.9 refused after 5 attempts on /var/log"),
                     ("b", "failed", [], "disk quota exceeded on /var/tmp"),
                     ("c", "failed", [], "timeout waiting for the console prompt"),
                     ("d", "failed", [], "segmentation fault in parser"))
    a = index.suggestions(run, ["s.py", "a"])
    assert [s["mark"]["signature"] for s in a] == ["connection to <IP> refused after <N> retries",
                                                  "disk quota exceeded on /var/log"][:len(a)]
    assert a[0]["score"] > (a[1]["score"] if len(a) > 1 else 0) and 0 < a[0]["score"] < 1
    b = index.suggestions(run, ["s.py", "b"])
    assert b[0]["mark"]["signature"] == "disk quota exceeded on /var/log" and b[0]["score"] >= 0.5
    # An exact signature carries its mark itself; nothing is alike the unrelated one.
    assert index.suggestions(run, ["s.py", "c"]) == [] and index.suggestions(run, ["s.py", "d"]) == []
    listed = index.run_suggestions(run)
    assert [n["path"][-1] for n in listed] == ["a", "b", "d"]
    assert [len(n["suggestions"]) > 0 for n in listed] == [True, True, False]
    # Suggested, never applied.
    assert [node["marks"] for name, node in series.nodes("r2").items() if name != "c"] == [[], [], []]
    with pytest.raises(MarkError, match="does not fail"):
        index.suggestions(run, ["s.py", "nope"])


def test_what_a_mark_or_claim_cannot_be(series):
    index = series.index
    series.add(("a", "failed", [], "disk full"), ("b", "passed"))
    good = {"kind": "muted", "author": "ada", "signature": "disk full"}
    refused = [
        (dict(good, ticket="javascript:alert(1)"), "http or https"),
        (dict(good, ticket="ftp://files.example/x"), "http or https"),
        (dict(good, ticket="https://"), "http or https"),
        (dict(good, ticket="https://t.example/a b"), "without blanks"),
        (dict(good, ticket="http://[::1"), "http or https"),
        (dict(good, comment="x" * 10_001), "10000 characters"),
        (dict(good, kind="wontfix"), "a kind is one of"),
        (dict(good, author=" "), "the author: a name is"),
        (dict(good, signature="no such failure"), "no run of the suite has the signature"),
        (dict(good, signature=None, path=["s.py", "b"]), "fails in no run of the suite"),
        (dict(good, signature=None, path=["s.py", "nowhere"]), "fails in no run of the suite"),
        (dict(good, path=["s.py", "a"]), "one of the two"),
        (dict(good, signature=None), "one of the two"),
        (dict(good, signature=None, path=[]), "a path is"),
    ]
    for arguments, message in refused:
        with pytest.raises(MarkError, match=message):
            index.set_mark("nightly", **arguments)
    with pytest.raises(MarkError, match="no run of the suite 'weekly'"):
        index.set_mark("weekly", **good)
    with pytest.raises(MarkError, match="the run r1 has no signature"):
        index.claim("nightly", author="ada", signature="link", run=series.runs["r1"])
    with pytest.raises(MarkError, match="a gate fails on"):
        index.gate(series.runs["r1"], "old")
    assert index.marks("nightly") == [] and index.claims("nightly") == []
    mark = index.set_mark("nightly", comment="x" * 10_000, **good)
    assert len(mark["comment"]) == 10_000


def test_an_index_of_schema_4_is_brought_up_to_date(index_url, tmp_path):
    with RunIndex(resolve_url(index_url)) as index:
        series = Series(index, tmp_path)
        series.add(("a", "failed"))
        with index.engine.begin() as connection:
            as_version_4(connection)
    with RunIndex(resolve_url(index_url)) as index:
        assert index.marks("nightly") == []  # read: upgraded first
        with index.engine.connect() as connection:
            version = connection.execute(sqlalchemy.select(schema.settings.c.value).where(
                schema.settings.c.key == "schema_version")).scalar()
        assert version == str(schema.SCHEMA_VERSION) == "5"
        index.set_mark("nightly", path=["s.py", "a"], kind="test-bug", author="ada")
        assert [m["kind"] for m in index.run_marks(series.runs["r1"])["nodes"][0]["marks"]] == ["test-bug"]


# ------------------------------------------------------------------ commands

@pytest.fixture
def tavix(monkeypatch, capsys, index_url):
    """`tavix logs ...` on an index of the test's own, as the user "ada"."""
    return logs_tool(monkeypatch, capsys, index_url)


def test_the_gate_fails_on_what_it_is_told_to(tavix, tmp_path):
    archives = nightly_series(tmp_path)
    assert tavix("index", *map(str, archives))[0] == 0
    newest = str(archives[-1])
    status, out, err = tavix("gate", newest, "--fail-on", "new")
    assert status == 1 and err == "tavix: error: run r5 has 2 new failing section(s)\n"
    lines = out.splitlines()
    assert lines[0].split() == ["Status", "Result", "Marks", "Section", "Signature"] and len(lines) == 5
    assert lines[2].startswith("new ") and "s.py / new " in lines[2] and lines[2].endswith("new broke")
    assert lines[3].startswith("no_history ") and "s.py / fresh " in lines[3]
    # Then how to open them here.
    assert lines[4] == "Open run r5: tavix logs view %s" % newest
    status, out, err = tavix("gate", "r5")
    assert status == 1 and "5 unmarked failing section(s)" in err
    assert out.splitlines()[-1] == "Open run r5: tavix logs view %s" % newest  # the archive indexed
    for name in ("known", "new", "flaky", "gap"):
        assert tavix("mark", "nightly", "--signature", name + " broke", "--kind", "product-bug")[0] == 0
    assert tavix("claim", "nightly", "--path", "s.py/fresh")[0] == 0
    status, out, err = tavix("gate", "r5")  # the claim is no mark
    assert status == 1 and "1 unmarked" in err and "fresh" in out
    assert tavix("mark", "nightly", "--path", "s.py/fresh", "--kind", "muted")[0] == 0
    assert tavix("gate", "r5") == (0, "Run r5: no unmarked failing section(s).\n", "")
    # Marks do not make a failure older.
    assert tavix("gate", newest, "--fail-on", "new")[0] == 1
    status, out, err = tavix("gate", "r5", "--fail-on", "any")
    assert status == 1 and "5 failing section(s)" in err and "product bug" in out and "muted" in out
    passing = make_run(tmp_path / "p.zip", "p1", "2026-12-06 02:00:00", [("known", "passed")])
    assert tavix("gate", str(passing), "--fail-on", "any")[0] == 0  # recorded first
    status, out, err = tavix("gate", "r9")
    assert status == 1 and "no archive r9, nor a run of that request id" in err
    archives[-1].rename(tmp_path / "moved.zip")
    status, out, err = tavix("gate", "r5", "--fail-on", "any")
    assert status == 1 and out.splitlines()[-1] == "The archive of run r5 is no longer at %s." % newest


def test_mark_commands_and_the_listing(tavix, tmp_path):
    archives = nightly_series(tmp_path)
    tavix("index", *map(str, archives))
    status, out, err = tavix("mark", "nightly", "--signature", "new broke", "--kind", "test-bug", "--ticket",
                             "https://t.example/9", "--comment", "\x1b[31mred")
    assert status == 0 and "test bug" in out
    assert tavix("claim", "nightly", "--path", "s.py/known")[0] == 0
    status, out, err = tavix("marks", "nightly", "--json")
    listed = json.loads(out)
    assert status == 0 and listed["suite"] == "nightly"
    assert [(m["signature"], m["author"], m["comment"], m["last_seen"]) for m in listed["marks"]] == [
        ("new broke", "ada", "\x1b[31mred", "r5")]
    assert [(c["path"], c["claimed_by"]) for c in listed["claims"]] == [(["s.py", "known"], "ada")]
    status, out, err = tavix("marks", "nightly")
    assert status == 0 and "test bug" in out and "https://t.example/9" in out and "s.py / known" in out
    assert "\x1b" not in out
    status, out, err = tavix("mark", "nightly", "--signature", "new broke", "--kind", "muted", "--ticket",
                             "javascript:alert(1)")
    assert status == 1 and "http or https" in err and "Traceback" not in err
    assert tavix("unmark", "nightly", "--signature", "new broke")[0] == 0
    status, out, err = tavix("unmark", "nightly", "--signature", "new broke")
    assert status == 1 and "has no mark" in err
    assert tavix("release", "nightly", "--path", "s.py/known")[0] == 0
    assert tavix("release", "nightly", "--path", "s.py/known")[0] == 1
    assert tavix("marks", "nightly")[1] == "No marks.\n"
    assert tavix("marks", "weekly")[2] == "tavix: error: the run index holds no run of the suite 'weekly'\n"
    with pytest.raises(SystemExit):
        tavix("mark", "nightly", "--path", "s.py//x", "--kind", "muted")


def test_a_mark_outlives_the_run_it_was_set_on(series):
    index = series.index
    series.add(("a", "failed", [], "disk full"))
    series.add(("a", "failed", [], "disk full"))
    index.set_mark("nightly", signature="disk full", kind="environment", author="ada")
    assert index.delete_run(series.runs["r2"])  # as a retention sweep does
    series.add(("a", "failed", [], "disk full"))
    assert kinds(series.nodes("r3")["a"]) == [("signature", "environment")]
    assert series.nodes("r1")["a"]["marks"] == []
    assert [(m["last_seen"], m["runs_since_seen"]) for m in index.marks("nightly")] == [("r3", 0)]


def test_the_listing_counts_what_is_left_to_investigate_as_the_marks_apply(series):
    index = series.index
    disk, prompt = "disk full on /var", "timeout waiting for the prompt"
    series.add(("a", "failed", [], disk), ("b", "failed", [], disk), ("c", "failed", [], ""),
               ("d", "failed", [], prompt), ("e", "failed", [], prompt))
    series.add(("a", "failed", [], prompt), ("b", "passed"), ("c", "failed", [], ""),
               ("d", "failed", [], prompt), ("e", "failed", [], prompt))
    index.set_mark("nightly", signature=disk, kind="environment", author="ada", run=series.runs["r1"])
    index.set_mark("nightly", path=["s.py", "a"], kind="test-bug", author="ada", run=series.runs["r1"])
    index.set_mark("nightly", path=["s.py", "c"], kind="muted", author="ada")  # no cause line, marked as it is
    index.set_mark("nightly", path=["s.py", "e"], kind="product-bug", author="bob", run=series.runs["r2"])
    index.claim("nightly", signature=prompt, author="bob")  # on it, but no mark
    series.add(("a", "passed"))
    # Marks of another suite, listed beside, count for their own runs only.
    other = make_run(series.directory / "w1.zip", "w1", "2026-11-05 02:00:00",
                     [("a", "failed", [], disk)], suite="weekly")
    with Archive(other) as archive:
        index.record(archive)

    def figures(run_object):
        return run_object["failing"], run_object["to_investigate"], run_object["investigated"]

    listed = {o["request_id"]: o for o in index.runs()}
    # r1: a and b by their signature; the path marks of c and e start at r2
    # (c's by default, on the newest run where it fails); d is only claimed.
    assert figures(listed["r1"]) == (5, 3, 0.4)
    # r2: a's new cause is off its path mark; c and e by their paths.
    assert figures(listed["r2"]) == (4, 2, 0.5)
    assert figures(listed["r3"]) == (0, 0, None) and figures(listed["w1"]) == (1, 1, 0.0)
    for request_id in ("r1", "r2", "r3"):
        nodes = index.run_marks(series.runs[request_id])["nodes"]
        assert figures(listed[request_id])[:2] == (len(nodes), sum(1 for n in nodes if not n["marks"]))
    # The suites' latest runs and a run's own object say the same.
    latest = {s["suite_name"]: s["latest"] for s in index.suites()}
    assert figures(latest["nightly"]) == (0, 0, None) and figures(latest["weekly"]) == (1, 1, 0.0)
    assert figures(index.run_object(series.runs["r2"])) == (4, 2, 0.5)
    index.remove_mark("nightly", signature=disk, author="ada")
    assert figures(index.run_object(series.runs["r1"])) == (5, 4, 0.2)
