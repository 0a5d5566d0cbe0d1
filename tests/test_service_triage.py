"""Triage on the team service: the routes of marks, claims and the gate, who
may write them, and the `--to` commands against a service process."""
import pytest

from helpers.history_runs import make_run
from helpers.processes import child_environment
from helpers.service import ServiceParts, served_process, stop_served

LINK = "link down after <N> s"


def run_of(tmp_path, number, *cases):
    return make_run(tmp_path / ("r%d.zip" % number), "r%d" % number, "2026-11-%02d 02:00:00" % number, list(cases))


@pytest.fixture
def parts(tmp_path):
    return ServiceParts(tmp_path / "service", auth="token", launch_key="launch-key")


@pytest.fixture
def keys(parts):
    return {role: parts.index.create_key(role + "-key", role) for role in ("viewer", "pusher", "triager", "admin")}


@pytest.fixture
async def service(aiohttp_client, parts, keys, tmp_path):
    client = await aiohttp_client(parts.application())
    client.keys = keys
    client.push_run = lambda number, *cases: _push(client, run_of(tmp_path, number, *cases))
    return client


async def _push(client, path):
    response = await client.post("/api/v1/runs", data=path.read_bytes(), headers=bearer(client.keys["pusher"]))
    assert response.status == 201, await response.text()


def bearer(key):
    return {"Authorization": "Bearer " + key}


async def answer(response):
    return response.status, await response.json()


async def test_marks_set_through_the_api_follow_the_next_pushed_run(service):
    triager = bearer(service.keys["triager"])
    await service.push_run(1, ("a", "failed", [], "link down after 30 s"), ("b", "failed", [], "disk full"))
    status, mark = await answer(await service.post("/api/v1/suites/nightly/marks", headers=triager, json={
        "signature": LINK, "kind": "environment", "ticket": "https://tickets.example/LAB-7", "comment": "switch"}))
    assert status == 200
    assert {k: mark[k] for k in ("scope", "signature", "kind", "ticket", "author")} == {
        "scope": "signature", "signature": LINK, "kind": "environment", "ticket": "https://tickets.example/LAB-7",
        "author": "triager-key"}
    status, claimed = await answer(await service.post("/api/v1/suites/nightly/claims", headers=triager,
                                                      json={"path": ["s.py", "b"]}))
    assert (status, claimed["claimed_by"], claimed["path"]) == (200, "triager-key", ["s.py", "b"])

    await service.push_run(2, ("a", "failed", [], "link down after 31 s"), ("b", "failed", [], "disk full"))
    status, body = await answer(await service.get("/api/v1/runs/r2/marks", headers=bearer(service.keys["viewer"])))
    assert status == 200 and body["request_id"] == "r2"
    nodes = {node["path"][-1]: node for node in body["nodes"]}
    assert [m["kind"] for m in nodes["a"]["marks"]] == ["environment"] and nodes["a"]["claims"] == []
    assert nodes["b"]["marks"] == [] and [c["claimed_by"] for c in nodes["b"]["claims"]] == ["triager-key"]
    assert [s["path"][-1] for s in body["suggestions"]] == ["b"]

    listed = await (await service.get("/api/v1/suites/nightly/marks", headers=bearer(service.keys["viewer"]))).json()
    assert listed["suite"] == "nightly" and [m["last_seen"] for m in listed["marks"]] == ["r2"]
    assert [c["claimed_by"] for c in listed["claims"]] == ["triager-key"]
    # The home page's listings: b is only claimed, so still to investigate.
    runs = (await (await service.get("/api/v1/runs?suite=nightly", headers=bearer(service.keys["viewer"]))).json())
    assert [(r["request_id"], r["failing"], r["to_investigate"], r["investigated"]) for r in runs["runs"]] == [
        ("r2", 2, 1, 0.5), ("r1", 2, 1, 0.5)]
    suites = (await (await service.get("/api/v1/suites", headers=bearer(service.keys["viewer"]))).json())["suites"]
    assert suites[0]["latest"]["to_investigate"] == 1


async def test_a_runs_viewer_shows_the_marks_and_writes_none_of_its_own(service):
    viewer, triager = bearer(service.keys["viewer"]), bearer(service.keys["triager"])
    await service.push_run(1, ("a", "failed", [], "link down after 30 s"))
    assert (await service.post("/api/v1/suites/nightly/marks", headers=triager,
                               json={"signature": LINK, "kind": "environment"})).status == 200
    status, history = await answer(await service.get("/runs/r1/private/v1/standalone/history", headers=viewer))
    assert status == 200
    assert [[m["kind"] for m in node["marks"]] for node in history["nodes"]] == [["environment"]]
    assert [[m["kind"] for m in c["marks"]] for c in history["categories"]] == [["environment"]]
    # Marks are written through the API alone, where the triager role is checked.
    for method, route in (("GET", "marks"), ("POST", "suites/nightly/marks"), ("POST", "suites/nightly/claims")):
        response = await service.request(method, "/runs/r1/private/v1/standalone/" + route, headers=viewer,
                                         json={"signature": LINK, "kind": "muted"})
        assert response.status in (404, 405), route
    listed = await (await service.get("/api/v1/suites/nightly/marks", headers=viewer)).json()
    assert [m["kind"] for m in listed["marks"]] == ["environment"] and listed["claims"] == []


async def test_writes_need_the_triager_role(service):
    await service.push_run(1, ("a", "failed", [], "link down after 30 s"))
    body = {"signature": LINK, "kind": "muted"}
    for role, status in (("viewer", 403), ("pusher", 403), ("triager", 200), ("admin", 200)):
        for method, route, sent in (("POST", "marks", body), ("POST", "claims", {"signature": LINK})):
            response = await service.request(method, "/api/v1/suites/nightly/" + route, json=sent,
                                              headers=bearer(service.keys[role]))
            assert response.status == status, (role, route)
    for route in ("marks", "claims"):
        refused = await service.delete("/api/v1/suites/nightly/" + route, params={"signature": LINK},
                                       headers=bearer(service.keys["viewer"]))
        assert refused.status == 403
    assert (await service.post("/api/v1/suites/nightly/marks", json=body)).status == 401
    # A browser's session cookie from another site writes nothing.
    entry = await service.get("/?token=launch-key", allow_redirects=False)
    assert entry.status == 303
    cross_site = await service.post("/api/v1/suites/nightly/marks", json=body, headers={"Sec-Fetch-Site": "cross-site"})
    assert cross_site.status == 403
    own_site = await service.post("/api/v1/suites/nightly/marks", json=body, headers={"Sec-Fetch-Site": "same-origin"})
    assert (own_site.status, (await own_site.json())["author"]) == (200, "launch")


async def test_removing_marks_and_claims_by_body_or_query(service):
    triager = bearer(service.keys["triager"])
    await service.push_run(1, ("a", "failed", [], "link down after 30 s"), ("b/c", "failed", [], "disk full"))
    for target in ({"signature": LINK}, {"path": ["s.py", "b/c"]}):
        assert (await service.post("/api/v1/suites/nightly/marks", headers=triager,
                                   json=dict(target, kind="test-bug"))).status == 200
        assert (await service.post("/api/v1/suites/nightly/claims", headers=triager, json=target)).status == 200
    status, body = await answer(await service.delete("/api/v1/suites/nightly/marks", headers=triager,
                                                     json={"signature": LINK}))
    assert (status, body) == (200, {"removed": {"scope": "signature", "signature": LINK}})
    # A "/" inside a name is written %2F in the query, as the sections route takes it.
    status, body = await answer(await service.delete("/api/v1/suites/nightly/marks?path=s.py/b%252Fc",
                                                     headers=triager))
    assert (status, body) == (200, {"removed": {"scope": "path", "path": ["s.py", "b/c"]}})
    status, body = await answer(await service.delete("/api/v1/suites/nightly/marks", headers=triager,
                                                     json={"signature": LINK}))
    assert (status, body["detail"]) == (404, "MARK_NOT_FOUND")
    status, body = await answer(await service.delete("/api/v1/suites/nightly/claims", headers=triager,
                                                     params={"signature": LINK}))
    assert (status, body) == (200, {"released": {"scope": "signature", "signature": LINK}})
    status, body = await answer(await service.delete("/api/v1/suites/nightly/claims", headers=triager,
                                                     params={"signature": LINK}))
    assert (status, body["detail"]) == (404, "CLAIM_NOT_FOUND")
    status, body = await answer(await service.delete("/api/v1/suites/nightly/claims", headers=triager,
                                                     params={"signature": LINK, "path": "s.py/a"}))
    assert (status, body["detail"]) == (400, "INVALID_BODY")
    listed = await (await service.get("/api/v1/suites/nightly/marks", headers=triager)).json()
    assert listed["marks"] == [] and [c["path"] for c in listed["claims"]] == [["s.py", "b/c"]]
    history = [(change["action"], change["author"]) for change in listed["claims"][0]["history"]]
    assert history == [("set", "triager-key"), ("claimed", "triager-key"), ("removed", "triager-key")]


async def test_bad_marks_and_bodies_are_refused_with_their_reason(service):
    triager = bearer(service.keys["triager"])
    await service.push_run(1, ("a", "failed", [], "link down after 30 s"))
    cases = [
        ({"signature": LINK, "kind": "muted", "ticket": "javascript:alert(1)"}, "INVALID_MARK"),
        ({"signature": LINK, "kind": "muted", "comment": "x" * 10001}, "INVALID_MARK"),
        ({"signature": "never seen", "kind": "muted"}, "INVALID_MARK"),
        ({"signature": LINK, "kind": "sloppy"}, "INVALID_MARK"),
        ({"signature": LINK}, "INVALID_BODY"),
        ({"signature": LINK, "path": ["s.py", "a"], "kind": "muted"}, "INVALID_BODY"),
        ({"path": "s.py/a", "kind": "muted"}, "INVALID_BODY"),
        ({"signature": ["x"], "kind": "muted"}, "INVALID_BODY"),
        ({"signature": LINK, "kind": "muted", "ticket": 7}, "INVALID_BODY"),
        ([LINK], "INVALID_BODY"),
    ]
    for sent, code in cases:
        status, body = await answer(await service.post("/api/v1/suites/nightly/marks", headers=triager, json=sent))
        assert (status, body["detail"]) == (400, code), sent
        assert body["message"]
    status, body = await answer(await service.post("/api/v1/suites/nightly/marks", headers=triager, data=b"{"))
    assert (status, body["detail"]) == (400, "INVALID_BODY")
    status, body = await answer(await service.post("/api/v1/suites/weekly/marks", headers=triager,
                                                   json={"signature": LINK, "kind": "muted"}))
    assert (status, body["detail"]) == (400, "INVALID_MARK")
    status, body = await answer(await service.get("/api/v1/suites/weekly/marks", headers=triager))
    assert (status, body["detail"]) == (400, "INVALID_MARK")
    listed = await (await service.get("/api/v1/suites/nightly/marks", headers=triager)).json()
    assert listed["marks"] == []


async def test_the_gate_for_each_fail_on(service):
    viewer, triager = bearer(service.keys["viewer"]), bearer(service.keys["triager"])
    await service.push_run(1, ("a", "failed", [], "link down after 30 s"), ("b", "passed"), ("c", "passed"))
    assert (await service.post("/api/v1/suites/nightly/marks", headers=triager,
                               json={"signature": LINK, "kind": "environment"})).status == 200
    await service.push_run(2, ("a", "failed", [], "link down after 31 s"), ("b", "failed", [], "disk full"),
                           ("c", "passed"))

    async def gated(query):
        status, body = await answer(await service.get("/api/v1/runs/r2/gate" + query, headers=viewer))
        assert status == 200
        return body["fail_on"], [f["path"][-1] for f in body["failures"]], body["passed"], body["failures"]

    fail_on, failing, passed, failures = await gated("")
    assert (fail_on, failing, passed) == ("unmarked", ["b"], False)
    assert failures[0]["link"].endswith("/runs/r2/section/s.py/b") and failures[0]["signature"] == "disk full"
    assert (await gated("?fail_on=new"))[:3] == ("new", ["b"], False)
    assert (await gated("?fail_on=any"))[:3] == ("any", ["a", "b"], False)
    fail_on, failing, passed, failures = await gated("?fail_on=any")
    assert [[m["kind"] for m in f["marks"]] for f in failures] == [["environment"], []]
    status, body = await answer(await service.get("/api/v1/runs/r1/gate?fail_on=unmarked", headers=viewer))
    assert (status, body["failures"], body["passed"]) == (200, [], True)
    status, body = await answer(await service.get("/api/v1/runs/r2/gate?fail_on=all", headers=viewer))
    assert (status, body["detail"]) == (400, "INVALID_QUERY")
    assert (await service.get("/api/v1/runs/r9/gate", headers=viewer)).status == 404
    assert (await service.get("/api/v1/runs/r9/marks", headers=viewer)).status == 404


# ------------------------------------------------------------- --to commands
@pytest.fixture
def served(tmp_path):
    """A `tavix logs serve` process over the index at tmp_path/index.sqlite: (its URL, its launch key)."""
    env = child_environment(HOME=str(tmp_path / "home"), TAVIX_INDEX=str(tmp_path / "index.sqlite"))
    process, url, launch = served_process(env, tmp_path)
    yield url, launch
    stop_served(process)


@pytest.fixture
def remote(served, tmp_path, capsys, monkeypatch):
    """`tavix logs ...` in this process, with the service's URL, its keys by role, and runs pushed to it."""
    from tavix.cli.main import main
    from tavix.log.commands.history import RunIndex

    url, launch = served
    monkeypatch.delenv("TAVIX_KEY", raising=False)
    with RunIndex("sqlite:///%s" % (tmp_path / "index.sqlite")) as index:
        keys = {role: index.create_key(role + "-key", role) for role in ("viewer", "triager")}

    def tavix(*words, key=None):
        status = main(["logs", *words, "--to", url] + (["--key", key] if key else []))
        out, err = capsys.readouterr()
        return status, out, err

    for number, cases in ((1, [("a", "failed", [], "link down after 30 s"), ("b", "passed")]),
                          (2, [("a", "failed", [], "link down after 31 s"), ("b", "failed", [], "disk full")])):
        assert main(["logs", "push", str(run_of(tmp_path, number, *cases)), "--to", url, "--key", launch]) == 0
    capsys.readouterr()
    tavix.url, tavix.keys = url, keys
    return tavix


def test_the_triage_commands_on_a_service(remote, monkeypatch):
    import json

    triager, viewer = remote.keys["triager"], remote.keys["viewer"]
    status, out, err = remote("gate", "r2", key=viewer)
    assert status == 1 and "run r2 has 2 unmarked failing section(s)" in err
    assert remote.url + "/runs/r2/section/s.py/a" in out and out.splitlines()[0].split()[-1] == "Link"

    assert remote("mark", "nightly", "--signature", LINK, "--kind", "environment", "--ticket",
                  "https://tickets.example/LAB-7", key=triager)[0] == 0
    monkeypatch.setenv("TAVIX_KEY", triager)
    assert remote("claim", "nightly", "--path", "s.py/b")[0] == 0
    status, out, err = remote("marks", "nightly", "--json")
    listed = json.loads(out)
    assert status == 0 and listed["suite"] == "nightly"
    assert [(m["signature"], m["author"], m["last_seen"]) for m in listed["marks"]] == [(LINK, "triager-key", "r2")]
    assert [(c["path"], c["claimed_by"]) for c in listed["claims"]] == [(["s.py", "b"], "triager-key")]
    status, out, err = remote("gate", "r2", "--fail-on", "unmarked")
    assert status == 1 and "1 unmarked" in err and "s.py / b" in out and "s.py / a" not in out
    assert remote("gate", "r2", "--fail-on", "any")[0] == 1
    assert remote("gate", "r1", "--fail-on", "new")[0] == 1  # a has no history before r1

    assert remote("release", "nightly", "--path", "s.py/b")[0] == 0
    status, out, err = remote("release", "nightly", "--path", "s.py/b")
    assert status == 1 and "is not claimed" in err
    assert remote("unmark", "nightly", "--signature", LINK)[0] == 0
    status, out, err = remote("unmark", "nightly", "--signature", LINK)
    assert status == 1 and "has no mark" in err


def test_the_service_refusals_are_one_line_without_the_key(remote, tmp_path):
    viewer = remote.keys["viewer"]
    outcomes = [
        remote("mark", "nightly", "--signature", LINK, "--kind", "muted", key=viewer),
        remote("mark", "nightly", "--signature", LINK, "--kind", "muted", key=viewer + "x"),
        remote("mark", "nightly", "--signature", LINK, "--kind", "muted", "--ticket", "javascript:x",
               key=remote.keys["triager"]),
        remote("gate", "r9", key=viewer),
        remote("marks", "weekly", key=viewer),
    ]
    for status, out, err in outcomes:
        assert status == 1 and err.startswith("tavix: error: ") and err.count("\n") == 1, err
        assert viewer not in out + err
    assert "403" in outcomes[0][2] and "triager" in outcomes[0][2] and "401" in outcomes[1][2]
    assert "http" in outcomes[2][2] and "r9" in outcomes[3][2] and "weekly" in outcomes[4][2]
    status, out, err = remote("gate", "r2", "--index", str(tmp_path / "other.sqlite"), key=viewer)
    assert status == 2
    closed = remote.url.rsplit(":", 1)[0] + ":1"
    from tavix.cli.main import main

    assert main(["logs", "marks", "nightly", "--to", closed]) == 1
