"""Comparing two runs: section identity by path, and what changed."""

import itertools
import json

import pytest

from helpers.hand_made_runs import make_run, record
from helpers.waiting import thread_event
from tavix.log.commands.archive import Archive
from tavix.log.commands.parser import base

OK, FAIL = "passed", "failed"


def opened(path, stack):
    return stack.enter_context(Archive(path))


@pytest.fixture
def runs(tmp_path):
    """Opens hand-made runs for the test, closing them after it."""
    from contextlib import ExitStack

    with ExitStack() as stack:
        yield lambda name, scripts, **kw: opened(make_run(tmp_path / name, scripts, **kw), stack)


def test_paths_name_duplicates_and_unnamed_sections(runs):
    run = runs("a.zip", [
        ("suite.py", [("tc", OK, [], [("step/1", OK, []), ("step/1", OK, []), ("", OK, [])]),
                      ("tc", OK, [], [("step/1", OK, [])])]),
        ("suite.py", [("tc", OK, [], [])]),
    ])
    paths = list(base.section_paths(run.results).values())
    assert paths == [
        ["suite.py"], ["suite.py", "tc"], ["suite.py", "tc", "step/1"], ["suite.py", "tc", "step/1#2"],
        ["suite.py", "tc", "testsection"], ["suite.py", "tc#2"], ["suite.py", "tc#2", "step/1"],
        ["suite.py#2"], ["suite.py#2", "tc"]]
    assert base.path_text(paths[3]) == "suite.py/tc/step\\/1#2"
    assert base.split_path("suite.py/tc/step\\/1#2") == paths[3]
    assert base.split_path("a\\\\b/c") == ["a\\b", "c"]


def entries(answer, key):
    return [("/".join(x["path"]), x["type"], x["base_result"], x["result"]) for x in answer[key]]


def test_every_list_on_a_hand_made_pair(runs):
    boom = [record(1, "ERROR: link down on port 1", severity=3)]
    base_run = runs("base.zip", [("s.py", [
        ("keeps_passing", OK, [], []),
        ("breaks", OK, [], [("check", OK, [])]),
        ("gets_fixed", FAIL, boom, []),
        ("still_broken", "Errored", boom, []),
        ("removed", FAIL, boom, []),
    ])], suite="nightly", job="job-1")
    new_run = runs("new.zip", [("s.py", [
        ("keeps_passing", OK, [], []),
        ("breaks", FAIL, [], [("check", "blocked", [record(2, "ERROR: link down on port 2", severity=3)])]),
        ("gets_fixed", OK, [], []),
        ("still_broken", "aborted", boom, []),
        ("added", FAIL, [record(3, "ERROR: fan tray missing", severity=3)], []),
        ("added_ok", OK, [], []),
    ])], suite="weekly", job="job-2")
    answer = base.compare_runs(base_run.results, new_run.results)
    assert answer["base"] == {"request_id": "job-1", "start_time": "2026-12-08T17:00:00", "suite_name": "nightly"}
    assert answer["new"]["request_id"] == "job-2" and answer["same_suite"] is False
    assert entries(answer, "newly_failing") == [
        ("s.py/breaks", "testcase", OK, FAIL), ("s.py/breaks/check", "testsection", OK, "blocked"),
        ("s.py/added", "testcase", None, FAIL)]
    assert entries(answer, "fixed") == [("s.py/gets_fixed", "testcase", FAIL, OK)]
    assert entries(answer, "still_failing") == [("s.py/still_broken", "testcase", "Errored", "aborted")]
    assert entries(answer, "only_in_base") == [("s.py/removed", "testcase", FAIL, None)]
    assert entries(answer, "only_in_new") == [("s.py/added", "testcase", None, FAIL),
                                              ("s.py/added_ok", "testcase", None, OK)]
    changes = {c["example"]: (c["base_count"], c["count"], c["change"])
               for c in answer["categories"]}
    assert changes == {"ERROR: link down on port 2": (3, 2, "fewer"), "ERROR: fan tray missing": (0, 1, "new")}
    # The same signature in both runs: "link down on port <n>" with the number masked.
    assert len(answer["categories"]) == 2


def test_categories_gone_same_and_more(runs):
    a = [record(1, "ERROR: disk full", severity=3)]
    b = [record(1, "ERROR: timeout after 30 s", severity=3)]
    base_run = runs("base.zip", [("s.py", [("x", FAIL, a, []), ("y", FAIL, b, [])])])
    new_run = runs("new.zip", [("s.py", [("x", OK, [], []), ("y", FAIL, b, []), ("z", FAIL, b, [])])])
    got = [(c["base_count"], c["count"], c["change"]) for c in base.compare_runs(base_run.results, new_run.results)["categories"]]
    assert got == [(1, 2, "more"), (1, 0, "gone")]
    same = base.compare_runs(new_run.results, new_run.results)
    assert [c["change"] for c in same["categories"]] == ["same"]
    assert same["same_suite"] and not same["newly_failing"] and not same["only_in_new"]


@pytest.fixture
def pair(tmp_path):
    base_path = make_run(tmp_path / "base.zip", [("s.py", [
        ("tc", OK, [record(1, "hello"), record(2, "count 5"), "raw line"], [("check", OK, [record(3, "ok")])]),
        ("gone", FAIL, [record(4, "ERROR: x", severity=3)], [])])])
    new_path = make_run(tmp_path / "new.zip", [("s.py", [
        ("tc", FAIL, [record(11, "hello", pid=9), record(12, "count 6"), "raw line"],
         [("check", FAIL, [record(13, "ok"), record(14, "ERROR: boom 0x55", severity=3)])])])], suite="other")
    return str(base_path), str(new_path)


def run_tool(capsys, *argv):
    from tavix.cli.main import main

    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_compare_command(pair, capsys):
    status, out, _ = run_tool(capsys, "logs", "compare", *pair, "--json")
    assert status == 0
    answer = json.loads(out)
    assert [x["path"] for x in answer["newly_failing"]] == [["s.py", "tc"], ["s.py", "tc", "check"]]
    assert [x["path"] for x in answer["only_in_base"]] == [["s.py", "gone"]]
    status, out, _ = run_tool(capsys, "logs", "compare", *pair)
    assert status == 0
    assert "different suites" in out and "s.py/tc/check" in out and "Only in base (1)" in out


def test_diff_command(pair, capsys):
    status, out, _ = run_tool(capsys, "logs", "diff", *pair, "--path", "s.py/tc", "--json", "--context", "0")
    assert status == 0
    answer = json.loads(out)
    assert answer["path"] == ["s.py", "tc"] and not answer["identical"]
    assert [[(x["op"], x["text"].split("]: ")[-1]) for x in h["lines"]] for h in answer["hunks"]] == [
        [("-", "count 5"), ("+", "count 6")], [("+", "ERROR: boom 0x55")]]
    status, out, _ = run_tool(capsys, "logs", "diff", *pair, "--path", "s.py/tc")
    assert status == 0
    assert "@@ -2,1 +2,1 @@" not in out and "@@ -1,4 +1,5 @@" in out
    assert "\n-2: lab1" in out and "\n+12: lab1" in out
    status, out, _ = run_tool(capsys, "logs", "diff", *pair, "--path", "s.py/tc/check", "--context", "1")
    assert status == 0
    # The script's section is its whole task log.
    status, out, _ = run_tool(capsys, "logs", "diff", *pair, "--path", "s.py", "--json")
    whole = json.loads(out)
    assert status == 0 and whole["path"] == ["s.py"]
    assert [x["text"] for h in whole["hunks"] for x in h["lines"] if x["op"] == "-"][-1].endswith("ERROR: x")


def test_diff_of_a_missing_path_names_the_run(pair, capsys):
    status, _, err = run_tool(capsys, "logs", "diff", *pair, "--path", "s.py/gone")
    assert status == 1
    assert "the new run new.zip has no section s.py/gone" in err
    status, _, err = run_tool(capsys, "logs", "diff", *pair, "--path", "s.py/nope")
    assert status == 1 and "the base run base.zip has no section s.py/nope" in err


P = "/private/v1/standalone"


@pytest.fixture
async def compared(aiohttp_client, pair):
    """A viewer of the new run of `pair` with the base run as its baseline, and both archives."""
    from tavix.log.commands.server import LogViewerServer

    with Archive(pair[0]) as base_run, Archive(pair[1]) as new_run:
        yield await aiohttp_client(LogViewerServer(new_run, baseline=base_run)), base_run, new_run


def section_id(run, *path):
    return next(i for i, names in base.section_paths(run.results).items() if names == list(path))


async def test_compare_and_diff_routes(compared):
    client, base_run, new_run = compared
    response = await client.get(P + "/compare")
    assert response.status == 200
    answer = await response.json()
    expected = base.compare_runs(base_run.results, new_run.results)
    assert [x["path"] for x in answer["newly_failing"]] == [x["path"] for x in expected["newly_failing"]]
    assert answer["newly_failing"][0]["id"] == section_id(new_run, "s.py", "tc")
    assert answer["only_in_base"][0]["id"] is None

    tc = section_id(new_run, "s.py", "tc")
    response = await client.get(P + "/sections/%s/diff?context=0" % tc)
    assert response.status == 200
    diff = await response.json()
    assert diff["path"] == ["s.py", "tc"]
    first = diff["hunks"][0]["lines"]
    assert [(x["op"], x["base_offset"] is None, x["new_offset"] is None) for x in first] == [
        ("-", False, True), ("+", True, False)]
    # Offsets point at the lines within each run's section.
    new_text = new_run.results.get_section(tc).read_logs(first[1]["new_offset"], 200)
    assert new_text.startswith(first[1]["text"])

    # The base side's lines are read from the baseline's section of that path.
    route = P + "/sections/%s/baseline/log" % tc
    response = await client.get(route + "?offset=%d&limit=100" % first[0]["base_offset"])
    assert response.status == 200
    page = await response.json()
    assert page["file_content"].startswith(first[0]["text"])
    base_section = base_run.results.get_section(section_id(base_run, "s.py", "tc"))
    assert page["file_content"] == base_section.read_logs(first[0]["base_offset"], 100)
    assert page["previous"] is None and page["next"] is None or route in (page["next"] or page["previous"])
    whole = await (await client.get(route + "?limit=20")).json()
    assert whole["file_content"] == base_section.read_logs(0, 20) and whole["next"].startswith(route + "?offset=20")


async def test_diff_route_errors(compared, aiohttp_client):
    from tavix.log.commands.server import LogViewerServer

    client, base_run, new_run = compared
    only_new = section_id(new_run, "s.py", "tc", "check")
    for query, status, detail in [("?context=-1", 400, "INVALID_QUERY"), ("?context=x", 400, "INVALID_QUERY")]:
        response = await client.get(P + "/sections/%s/diff%s" % (only_new, query))
        assert response.status == status and (await response.json())["detail"] == detail
    response = await client.get(P + "/sections/nope/diff")
    assert response.status == 500 and (await response.json())["detail"] == "SECTION_RETRIEVE_FAILED"
    for route in ("/sections/%s/diff", "/sections/%s/baseline/log"):
        response = await client.get(P + route % "nope")
        assert (response.status, await response.json()) == (500, {"detail": "SECTION_RETRIEVE_FAILED"})
    tc = section_id(new_run, "s.py", "tc")
    response = await client.get(P + "/sections/%s/baseline/log?limit=0" % tc)
    assert response.status == 500
    alone = await aiohttp_client(LogViewerServer(new_run))
    for route in ("/compare", "/sections/%s/diff" % only_new, "/sections/%s/baseline/log" % only_new):
        response = await alone.get(P + route)
        assert response.status == 500 and (await response.json()) == {"detail": "NO_BASELINE"}
        assert response.headers["Access-Control-Allow-Origin"] == "*"


async def test_a_section_the_baseline_lacks(aiohttp_client, tmp_path):
    from tavix.log.commands.server import LogViewerServer

    base_path = make_run(tmp_path / "a.zip", [("s.py", [("tc", OK, ["x"], []), ("grown", OK, ["g"], [])])])
    new_path = make_run(tmp_path / "b.zip", [("s.py", [("tc", OK, ["x"], []), ("extra", OK, ["y"], []),
                                                        ("grown", OK, ["g"], [("check", OK, ["z"])])])])
    with Archive(base_path) as base_run, Archive(new_path) as new_run:
        client = await aiohttp_client(LogViewerServer(new_run, baseline=base_run))
        for route, path in itertools.product(("/sections/%s/diff", "/sections/%s/baseline/log"),
                                             (("s.py", "extra"), ("s.py", "grown", "check"))):
            response = await client.get(P + route % section_id(new_run, *path))
            assert response.status == 404 and (await response.json()) == {"detail": "NOT_IN_BASELINE"}
            assert response.headers["Access-Control-Allow-Origin"] == "*"
        response = await client.get(P + "/sections/%s/diff" % section_id(new_run, "s.py", "tc"))
        assert (await response.json())["identical"] is True


async def test_a_diff_stops_when_its_client_leaves(compared, monkeypatch):
    import asyncio
    import random
    import threading

    client, base_run, new_run = compared
    # Unrelated logs of 120,000 lines each: a minimal diff of minutes.
    rng = random.Random(5)
    for run in (base_run, new_run):
        section = run.results.get_section(section_id(run, "s.py", "tc"))
        with open(section.logfile, "ab") as f:
            f.write("".join("line %x\n" % rng.getrandbits(64) for _ in range(120_000)).encode())
        section.log_start, section.log_size = 0, -1
    started, ended, outcome = threading.Event(), threading.Event(), []
    original = base.diff_sections

    def watched(*args, **kwargs):
        started.set()
        try:
            return original(*args, **dict(kwargs, budget=60.0))
        except BaseException as error:
            outcome.append(error)
            raise
        finally:
            ended.set()

    monkeypatch.setattr(base, "diff_sections", watched)
    request = asyncio.ensure_future(client.get(P + "/sections/%s/diff" % section_id(new_run, "s.py", "tc")))
    assert await thread_event(started) and not ended.is_set()
    request.cancel()
    assert await thread_event(ended, 1), "the diff went on after its client left"
    assert type(outcome[0]).__name__ == "CancelledError"
    # The server answers the next diff as before.
    response = await client.get(P + "/sections/%s/diff" % section_id(new_run, "s.py", "tc", "check"))
    assert response.status == 200


async def test_diffs_at_once_share_one_memory_budget(compared, monkeypatch):
    import asyncio
    import threading

    client, _, new_run = compared
    granted, release = [], threading.Event()
    all_started = threading.Event()
    original = base.diff_sections

    def held(*args, **kwargs):
        granted.append(kwargs["memory"])
        if len(granted) == 3:
            all_started.set()
        if len(granted) <= 3:
            release.wait(5)
        return original(*args, **kwargs)

    monkeypatch.setattr(base, "diff_sections", held)
    url = P + "/sections/%s/diff" % section_id(new_run, "s.py", "tc")
    requests = [asyncio.ensure_future(client.get(url)) for _ in range(3)]
    assert await thread_event(all_started)
    # Two get a diff's whole budget, the third what is left of the shared one.
    assert sorted(granted) == [16 << 20, 256 << 20, 256 << 20]
    release.set()
    answers = await asyncio.gather(*requests)
    assert [answer.status for answer in answers] == [200] * 3
    assert len({json.dumps(await answer.json()) for answer in answers}) == 1
    # Each diff gives its share back when it ends.
    assert (await client.get(url)).status == 200 and granted[3] == 256 << 20
