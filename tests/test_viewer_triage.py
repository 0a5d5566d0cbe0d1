"""Triage in the local viewer: its routes of marks and claims (the service's
handlers, the operating system's user, the viewer's token), and the marks of
its history route, as `tavix logs history --json` has them."""
import json

import pytest

from tavix.log.commands.archive import Archive
from tavix.log.commands.history import RunIndex, index_url
from tavix.log.commands.history.viewer import history_for_viewer
from tavix.log.commands.server import LogViewerServer

from helpers.cli import logs_tool
from helpers.history_runs import make_run
from helpers.routes import P

LINK = "link down after <N> s"


@pytest.fixture
def runs(tmp_path):
    """Two runs of a suite, the older one indexed: (the newer one's archive, the index URL)."""
    cases = [("link", "failed", [], "link down after 30 s"), ("disk", "failed", [], "disk full"), ("setup", "passed")]
    older = make_run(tmp_path / "r1.zip", "r1", "2026-12-01T01:00:00", cases)
    newer = make_run(tmp_path / "r2.zip", "r2", "2026-12-02T01:00:00", cases)
    url = str(tmp_path / "index.sqlite")
    with RunIndex(index_url(url)) as index, Archive(older) as archive:
        index.record(archive)
    return newer, url


@pytest.fixture
async def viewer(aiohttp_client, runs, monkeypatch):
    """A test client of the local viewer of the newer run, its user "ada"."""
    monkeypatch.setattr("getpass.getuser", lambda: "ada")
    path, url = runs
    with Archive(path) as archive:
        yield await aiohttp_client(LogViewerServer(archive, history=history_for_viewer(archive, url)))


async def answer(response):
    return response.status, await response.json()


def by_path(nodes):
    return {"/".join(node["path"]): node for node in nodes}


async def test_marks_and_claims_are_written_as_the_operating_systems_user(viewer):
    status, run = await answer(await viewer.get(P + "/marks"))
    assert status == 200 and (run["request_id"], run["suite"]) == ("r2", "nightly")
    assert {path: node["marks"] for path, node in by_path(run["nodes"]).items()} == {"s.py/link": [], "s.py/disk": []}

    status, mark = await answer(await viewer.post(P + "/suites/nightly/marks", json={
        "signature": LINK, "kind": "environment", "ticket": "https://tickets.example/LAB-7"}))
    assert status == 200 and (mark["author"], mark["kind"], mark["history"][0]["action"]) == ("ada", "environment", "set")
    status, claim = await answer(await viewer.post(P + "/suites/nightly/claims", json={"path": ["s.py", "disk"]}))
    assert (status, claim["claimed_by"]) == (200, "ada")
    _, run = await answer(await viewer.get(P + "/marks"))
    nodes = by_path(run["nodes"])
    assert [m["kind"] for m in nodes["s.py/link"]["marks"]] == ["environment"]
    assert [c["claimed_by"] for c in nodes["s.py/disk"]["claims"]] == ["ada"]
    status, suite = await answer(await viewer.get(P + "/suites/nightly/marks"))
    assert status == 200 and [m["signature"] for m in suite["marks"]] == [LINK]

    # Released by the query's target; a second release finds nothing.
    status, released = await answer(await viewer.delete(P + "/suites/nightly/claims?path=s.py/disk"))
    assert (status, released) == (200, {"released": {"path": ["s.py", "disk"], "scope": "path"}})
    status, missing = await answer(await viewer.delete(P + "/suites/nightly/claims?path=s.py/disk"))
    assert (status, missing["detail"]) == (404, "CLAIM_NOT_FOUND")


async def test_without_a_user_name_the_viewer_reads_marks_but_writes_none(aiohttp_client, runs, monkeypatch):
    def nobody():
        raise KeyError("uid 4242")

    monkeypatch.setattr("getpass.getuser", nobody)
    path, url = runs
    with Archive(path) as archive:
        client = await aiohttp_client(LogViewerServer(archive, history=history_for_viewer(archive, url)))
        assert (await client.get(P + "/marks")).status == 200
        status, refusal = await answer(await client.post(P + "/suites/nightly/claims", json={"path": ["s.py", "disk"]}))
        assert (status, refusal["message"]) == (400, "the operating system names no user to write this as")


async def test_the_token_guards_the_triage_routes(aiohttp_client, runs):
    path, url = runs
    with Archive(path) as archive:
        client = await aiohttp_client(LogViewerServer(archive, access_token="secret",
                                                      history=history_for_viewer(archive, url)))
        claim = {"path": ["s.py", "disk"]}
        assert (await client.get(P + "/marks")).status == 403
        assert (await client.post(P + "/suites/nightly/claims", json=claim)).status == 403
        # The page's cookie counts only on requests from the viewer's own pages.
        entry = await client.get("/result?token=secret", allow_redirects=False)
        assert entry.status in (302, 303)
        cross = await client.post(P + "/suites/nightly/claims", json=claim, headers={"Sec-Fetch-Site": "same-site"})
        assert cross.status == 403
        own = await client.post(P + "/suites/nightly/claims", json=claim, headers={"Sec-Fetch-Site": "same-origin"})
        assert own.status == 200
        bearer = await client.get(P + "/marks", headers={"Authorization": "Bearer secret"})
        assert bearer.status == 200


async def test_the_history_route_has_the_marks_of_history_json_as_they_are_now(viewer, runs, monkeypatch, capsys):
    _, url = runs
    await viewer.post(P + "/suites/nightly/marks", json={"path": ["s.py", "disk"], "kind": "test-bug",
                                                         "comment": "<b>fixture</b>"})
    status, served = await answer(await viewer.get(P + "/history"))
    assert status == 200
    run = logs_tool(monkeypatch, capsys, url)
    code, printed, _ = run("history", str(runs[0]), "--json")
    assert code in (0, None)
    printed = json.loads(printed)
    assert {p: n["marks"] for p, n in by_path(served["nodes"]).items()} == \
        {p: n["marks"] for p, n in by_path(printed["nodes"]).items()}
    assert [c["marks"] for c in served["categories"]] == [c["marks"] for c in printed["categories"]]
    assert by_path(served["nodes"])["s.py/disk"]["marks"][0]["comment"] == "<b>fixture</b>"

    # A mark removed is gone from the next answer: the route is not kept from the first one.
    await viewer.delete(P + "/suites/nightly/marks?path=s.py/disk")
    _, served = await answer(await viewer.get(P + "/history"))
    assert by_path(served["nodes"])["s.py/disk"]["marks"] == []
    assert [n["status"] for n in served["nodes"]] == [n["status"] for n in printed["nodes"]]
