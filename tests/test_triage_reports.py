"""The marks of the run index in the reports: `tavix logs history` and
`failures` (a column and their JSON) and the JUnit export's messages."""
import json
import xml.etree.ElementTree as ElementTree

import pytest


from helpers.cli import logs_tool
from helpers.history_runs import make_run, nightly_series

TICKET = "https://t.example/9"
LONG_CAUSE = "z" * 1500


@pytest.fixture
def tavix(monkeypatch, capsys, tmp_path):
    """`tavix logs ...` on a SQLite index of the test's own, as the user "ada"."""
    return logs_tool(monkeypatch, capsys, tmp_path / "index.sqlite")


@pytest.fixture
def marked(tavix, tmp_path):
    """The nightly series indexed, "new broke" marked a product bug with a
    ticket and s.py/fresh muted: the newest archive's path."""
    archives = nightly_series(tmp_path)
    assert tavix("index", *map(str, archives))[0] == 0
    assert tavix("mark", "nightly", "--signature", "new broke", "--kind", "product-bug", "--ticket", TICKET)[0] == 0
    assert tavix("mark", "nightly", "--path", "s.py/fresh", "--kind", "muted")[0] == 0
    return str(archives[-1])


def test_history_shows_the_marks_and_gives_them_in_its_json(tavix, marked):
    status, out, err = tavix("history", marked)
    assert status == 0
    rows = {line.split()[-1]: line for line in out.splitlines() if line.startswith(("new", "known", "flaky", "no_"))}
    assert "Mark" in out.splitlines()[1].split()
    assert "product bug: " + TICKET in rows["new"] and "muted" in rows["fresh"]
    assert "to investigate" in rows["known"]
    status, out, err = tavix("history", marked, "--json")
    answer = json.loads(out)
    nodes = {node["path"][-1]: node for node in answer["nodes"]}
    assert [(m["scope"], m["kind"], m["ticket"]) for m in nodes["new"]["marks"]] == [
        ("signature", "product-bug", TICKET)]
    assert [(m["scope"], m["kind"]) for m in nodes["fresh"]["marks"]] == [("path", "muted")]
    assert nodes["known"]["marks"] == []
    categories = {c["signature"]: c["marks"] for c in answer["categories"]}
    assert [m["kind"] for m in categories["new broke"]] == ["product-bug"] and categories["fresh broke"] == []


def test_failures_shows_each_category_s_marks_and_its_paths(tavix, marked):
    status, out, err = tavix("failures", marked, "--json")
    assert status == 0 and err == ""
    categories = {c["signature"]: c for c in json.loads(out)["categories"]}
    assert [(m["kind"], m["ticket"]) for m in categories["new broke"]["marks"]] == [("product-bug", TICKET)]
    assert categories["known broke"]["marks"] == []
    for category in categories.values():
        assert len(category["paths"]) == len(category["sections"])
    assert categories["gap broke"]["paths"] == [["s.py", "gap"]]
    status, out, err = tavix("failures", marked)
    blocks = {block.splitlines()[1].strip(): block.splitlines()[0] for block in out.split("\n\n")[1:]}
    assert blocks["new broke"].endswith("[product bug: %s]" % TICKET)
    assert blocks["known broke"].endswith("[to investigate]")


def test_a_run_not_indexed_yet_is_recorded_and_a_step_s_path_is_its_section_s(tavix, tmp_path):
    archive = make_run(tmp_path / "d.zip", "d1", "2026-12-07 02:00:00", [("a", "failed", [("x", "failed")])])
    status, out, err = tavix("failures", str(archive), "--json")
    (category,) = json.loads(out)["categories"]
    assert status == 0 and category["paths"] == [["s.py", "a", "x"]] and category["marks"] == []
    assert tavix("marks", "nightly")[0] == 0  # the suite is in the index now


def test_without_a_usable_index_the_reports_are_made_without_marks(tavix, marked, monkeypatch, tmp_path):
    monkeypatch.setenv("TAVIX_INDEX", str(tmp_path))  # a directory
    status, out, err = tavix("failures", marked, "--json")
    categories = json.loads(out)["categories"]
    assert status == 0 and err.count("The marks of the run are not available") == 1
    assert all("marks" not in c and c["paths"] for c in categories)
    status, out, err = tavix("failures", marked)
    assert status == 0 and "to investigate" not in out and "new broke" in out
    status, out, err = tavix("export", marked, "--junit", str(tmp_path / "r.xml"))
    assert status == 0 and err.count("not available") == 1
    messages = [f.get("message") for f in ElementTree.parse(tmp_path / "r.xml").getroot().iter("failure")]
    assert len(messages) == 5 and not any(m.startswith("[") for m in messages)


def test_junit_messages_carry_the_marks_of_the_failing_nodes_at_and_below_each_case(tavix, tmp_path):
    archive = make_run(tmp_path / "d.zip", "d1", "2026-12-07 02:00:00",
                       [("a", "failed", [("x", "failed"), ("y", "failed"), ("ok", "passed")]),
                        ("b", "failed", [], LONG_CAUSE), ("c", "failed")])
    assert tavix("index", str(archive))[0] == 0
    assert tavix("mark", "nightly", "--path", "s.py/a/x", "--kind", "test-bug")[0] == 0
    assert tavix("mark", "nightly", "--signature", "y broke", "--kind", "product-bug", "--ticket", TICKET)[0] == 0
    assert tavix("mark", "nightly", "--signature", LONG_CAUSE, "--kind", "environment",
                 "--ticket", "https://lab.example/1")[0] == 0
    out = tmp_path / "r.xml"
    assert tavix("export", str(archive), "--junit", str(out))[0] == 0
    failures = {case.get("name"): case.find("failure") for case in ElementTree.parse(out).getroot().iter("testcase")}
    assert failures["a"].get("message").startswith("[test bug] [product bug: %s] " % TICKET)
    assert failures["a"].get("message").endswith("x broke")
    prefix = "[environment: https://lab.example/1] "
    message = failures["b"].get("message")
    assert message.startswith(prefix) and message[len(prefix):].endswith("z" * 100 + "\u2026")
    assert len(message) == len(prefix) + 1001 and LONG_CAUSE in failures["b"].text
    assert failures["c"].get("message").endswith("c broke") and not failures["c"].get("message").startswith("[")


def test_a_failures_line_counts_the_marks_on_its_nodes_paths(tavix, tmp_path):
    archive = str(make_run(tmp_path / "d.zip", "d1", "2026-12-07 02:00:00", [
        ("a", "failed", [], "disk full"), ("b", "failed", [], "disk full"), ("c", "failed", [], "disk full"),
        ("d", "failed", [], "link down"), ("e", "failed"), ("f", "failed", [], "disk full")]))
    assert tavix("index", archive)[0] == 0
    for path, kind in (("a", "test-bug"), ("b", "muted"), ("c", "test-bug"), ("d", "environment"), ("e", "test-bug")):
        assert tavix("mark", "nightly", "--path", "s.py/" + path, "--kind", kind)[0] == 0
    assert tavix("mark", "nightly", "--signature", "e broke", "--kind", "product-bug", "--ticket", TICKET)[0] == 0
    status, out, err = tavix("failures", archive)
    lines = {block.splitlines()[1].strip(): block.splitlines()[0] for block in out.split("\n\n")[1:]}
    assert status == 0
    # Each kind once, however many nodes it marks.
    assert lines["disk full"].endswith("[3 of 4 marked by path (test bug, muted); 1 to investigate]")
    assert lines["link down"].endswith("[1 of 1 marked by path (environment)]")
    assert lines["e broke"].endswith("[product bug: %s; 1 of 1 marked by path (test bug)]" % TICKET)
    categories = {c["signature"]: c for c in json.loads(tavix("failures", archive, "--json")[1])["categories"]}
    disk = categories["disk full"]
    # "marks" stays the marks on the signature; the paths' come beside them.
    assert disk["marks"] == [] and (disk["marked_by_path"], disk["to_investigate"]) == (3, 1)
    assert [(m["path"][-1], m["kind"]) for m in disk["path_marks"]] == [("a", "test-bug"), ("b", "muted"),
                                                                      ("c", "test-bug")]
    assert [m["kind"] for m in categories["e broke"]["marks"]] == ["product-bug"]
    assert categories["e broke"]["to_investigate"] == 0
    # The nodes carry the same marks in `history`, and its causes the same figures.
    history = json.loads(tavix("history", archive, "--json")[1])
    nodes = {n["path"][-1]: n for n in history["nodes"]}
    assert [m["kind"] for m in nodes["a"]["marks"]] == ["test-bug"] and nodes["f"]["marks"] == []
    for cause in history["categories"]:
        assert {key: cause[key] for key in ("marks", "path_marks", "marked_by_path", "to_investigate")} == {
            key: categories[cause["signature"]][key] for key in ("marks", "path_marks", "marked_by_path",
                                                                 "to_investigate")}
    causes = {line.split("  ")[-1].strip(): line for line in tavix("history", archive)[1].splitlines()
              if line.startswith("new ")}
    assert "3 of 4 marked by path (test bug, muted); 1 to investigate" in causes["disk full"]
