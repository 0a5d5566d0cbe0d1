"""The team service over real parts: pushes, listings, runs opened on demand,
lasting links and ids, comparisons, deletion, the access log."""
import gc
import json
import weakref
import zipfile

import pytest

from helpers.history_runs import make_run
from helpers.service import ServiceAccessLog, ServiceParts
from tavix.log.commands.service.application import TEAM

VIEWER = "/private/v1/standalone"


def runs_of(tmp_path, count, suite="nightly", failing=("b",)):
    """`count` archives of one suite, a day apart."""
    paths = []
    for day in range(count):
        cases = [(name, "failed" if name in failing and day % 2 else "passed") for name in ("a", "b", "c")]
        paths.append(make_run(tmp_path / f"{suite}-{day}.zip", f"{suite}-req-{day}",
                              f"2026-12-{day + 1:02d}T01:00:00", cases, suite=suite))
    return paths


@pytest.fixture
def parts(tmp_path):
    return ServiceParts(tmp_path / "service")


@pytest.fixture
async def service(aiohttp_client, parts):
    return await aiohttp_client(parts.application())


def local(link):
    """The path and query of an absolute link."""
    return "/" + link.split("/", 3)[3]


async def push(client, path):
    response = await client.post("/api/v1/runs", data=path.read_bytes())
    return response.status, await response.json()


async def tree_ids(client, request_id):
    response = await client.get(f"/runs/{request_id}{VIEWER}/tree")
    assert response.status == 200
    return [row[0] for row in (await response.json())["rows"]]


async def test_push_list_and_summaries(service, tmp_path):
    paths = runs_of(tmp_path, 3) + runs_of(tmp_path, 1, suite="weekly")
    for path in paths:
        status, body = await push(service, path)
        assert status == 201 and body["created"] is True
        assert body["run"]["link"].endswith("/runs/" + body["run"]["request_id"])
    status, body = await push(service, paths[0])
    assert (status, body["created"], body["run"]["request_id"]) == (200, False, "nightly-req-0")

    listed = await (await service.get("/api/v1/runs?suite=nightly&limit=2")).json()
    assert [r["request_id"] for r in listed["runs"]] == ["nightly-req-2", "nightly-req-1"]
    following = await (await service.get(local(listed["next"]))).json()
    assert [r["request_id"] for r in following["runs"]] == ["nightly-req-0"] and following["next"] is None

    run = await (await service.get("/api/v1/runs/nightly-req-1")).json()
    assert set(run) >= {"request_id", "suite_name", "start_time", "summary", "new", "known", "flaky", "link"}
    assert run["new"] == 1  # b fails in run 1 and passed in run 0

    suites = (await (await service.get("/api/v1/suites")).json())["suites"]
    assert {s["suite_name"]: s["latest"]["request_id"] for s in suites} == {
        "nightly": "nightly-req-2", "weekly": "weekly-req-0"}
    assert (await service.get("/api/v1/runs/none-such")).status == 404


async def test_bad_pushes_store_nothing(service, parts, tmp_path):
    not_a_run = tmp_path / "other.zip"
    with zipfile.ZipFile(not_a_run, "w") as archive:
        archive.writestr("readme.txt", "no results here")
    status, body = await push(service, not_a_run)
    assert status == 422 and body["detail"] == "NOT_A_RUN"
    garbage = tmp_path / "garbage.zip"
    garbage.write_bytes(b"PK\x03\x04junk")
    assert (await push(service, garbage))[0] == 422
    first, = runs_of(tmp_path, 1)
    assert (await push(service, first))[0] == 201
    # Another archive with the same request id is refused, the stored one kept.
    other = make_run(tmp_path / "other-0.zip", "nightly-req-0", "2026-12-09T01:00:00", [("z", "passed")])
    status, body = await push(service, other)
    assert status == 409 and body["detail"] == "REQUEST_ID_TAKEN"
    assert len((await (await service.get("/api/v1/runs")).json())["runs"]) == 1
    digest = (await (await service.get("/api/v1/runs")).json())["runs"][0]["content_hash"]
    assert sorted(p.name for p in (parts.root / "store").iterdir()) == [
        digest + suffix for suffix in (".search-index", ".search-lines", ".search-sections", ".zip")]


async def test_upload_over_the_limit_is_refused_before_its_body(aiohttp_client, tmp_path):
    parts = ServiceParts(tmp_path / "service", max_archive_size=1000)
    client = await aiohttp_client(parts.application())
    first, = runs_of(tmp_path, 1)
    status, body = await push(client, first)
    assert status == 413 and body["detail"] == "ARCHIVE_TOO_LARGE"


async def test_viewer_routes_ids_and_links_last_across_restarts(aiohttp_client, parts, tmp_path):
    first, = runs_of(tmp_path, 1)
    client = await aiohttp_client(parts.application())
    await push(client, first)
    ids = await tree_ids(client, "nightly-req-0")
    section = await (await client.get("/api/v1/runs/nightly-req-0/sections?path=" + "s.py/a")).json()
    assert section["path"][-1] == "a" and section["id"] in ids
    await client.close()

    # A new process over the same store and index: a fresh cache opening.
    again = await aiohttp_client(parts.application())
    assert await tree_ids(again, "nightly-req-0") == ids
    answer = await again.get(f"/runs/nightly-req-0{VIEWER}/sections/{section['id']}")
    assert answer.status == 200
    page = await again.get(local(section["link"]), allow_redirects=False)
    assert page.status == 200 and "text/html" in page.headers["Content-Type"]


async def test_sections_by_path_with_lines(service, tmp_path):
    first, = runs_of(tmp_path, 1)
    await push(service, first)
    found = await (await service.get("/api/v1/runs/nightly-req-0/sections?path=s.py/b&line=1")).json()
    assert found["offset"] == 0 and found["link"].endswith("/section/s.py/b?line=1")
    by_id = await (await service.get(f"/api/v1/runs/nightly-req-0/sections?id={found['id']}&offset=0")).json()
    assert by_id["line"] == 1 and by_id["path"] == found["path"]
    assert (await service.get("/api/v1/runs/nightly-req-0/sections?path=s.py/none")).status == 404
    assert (await service.get("/api/v1/runs/nightly-req-0/sections?path=s.py/b&line=x")).status == 400


async def test_runs_compare_with_the_previous_run_by_default(service, tmp_path):
    for path in runs_of(tmp_path, 3):
        await push(service, path)
    compared = await (await service.get(f"/runs/nightly-req-2{VIEWER}/compare")).json()
    explicit = await (await service.get(f"/runs/nightly-req-2/compare/nightly-req-0{VIEWER}/compare")).json()
    assert (compared["base"]["request_id"], explicit["base"]["request_id"]) == ("nightly-req-1", "nightly-req-0")
    # The first run of a suite has nothing to compare with, as the local viewer says.
    first = await service.get(f"/runs/nightly-req-0{VIEWER}/compare")
    assert (await first.json())["detail"] == "NO_BASELINE"


async def test_deleted_run_answers_run_not_found(service, tmp_path):
    first, = runs_of(tmp_path, 1)
    await push(service, first)
    await tree_ids(service, "nightly-req-0")
    assert (await service.delete("/api/v1/runs/nightly-req-0")).status == 200
    answer = await service.get(f"/runs/nightly-req-0{VIEWER}/tree")
    assert answer.status == 404 and (await answer.json())["detail"] == "RUN_NOT_FOUND"


async def test_a_bounded_cache_reopens_runs_as_they_are_asked_for(aiohttp_client, tmp_path):
    # Room for one run and the run it is compared with.
    parts = ServiceParts(tmp_path / "service", max_open=2)
    app = parts.application()
    # Without the moment a run just opened is held for the request that follows.
    app[TEAM].opened_grace_seconds = 0
    client = await aiohttp_client(app)
    paths = runs_of(tmp_path, 3)
    for path in paths:
        await push(client, path)
    first = [await tree_ids(client, f"nightly-req-{i}") for i in (0, 1, 2)]
    viewers = [weakref.ref(viewer) for viewer in app[TEAM].views._viewers.values()]
    again = [await tree_ids(client, f"nightly-req-{i}") for i in (0, 1, 2)]
    assert first == again
    cache = parts.caches[-1]
    assert cache.stats["dropped"] >= 3 and len(cache) <= 2
    # A stopped viewer, and the opened archive it holds, is not kept anywhere.
    gc.collect()
    assert any(viewer() is None for viewer in viewers)


async def test_access_log_lines(aiohttp_client, aiohttp_server, parts, tmp_path, capsys):
    server = await aiohttp_server(parts.application(), access_log_class=ServiceAccessLog)
    client = await aiohttp_client(server)
    first, second = runs_of(tmp_path, 2)
    await push(client, first)
    await push(client, second)
    capsys.readouterr()
    await client.get("/healthz")
    await client.get("/api/v1/runs/x")
    await client.get(f"/runs/nightly-req-1/compare/nightly-req-0{VIEWER}/tree", allow_redirects=False)
    await client.get(f"/runs/nightly-req-1/compare/nightly-req-0{VIEWER}/tree")
    await client.close()  # the last line is written once its answer is sent
    lines = [json.loads(line) for line in capsys.readouterr().err.splitlines() if line.startswith("{")]
    assert [(line["route"], line["status"]) for line in lines] == [
        ("/healthz", 200), ("/api/v1/runs/{request_id}", 404), ("/runs/{tail}", 307),
        (f"/runs/{{request_id}}/compare/{{base_request_id}}{VIEWER}/tree", 200)]
    assert set(lines[0]) == {"time", "user", "method", "route", "status", "bytes", "ms"}


async def test_with_the_index_down_pushes_wait_and_open_runs_browse(aiohttp_client, tmp_path, monkeypatch):
    import contextlib

    from tavix.log.commands.history import IndexUnavailable, RunIndex

    parts = ServiceParts(tmp_path / "service", auth="token")
    key = {"Authorization": "Bearer " + parts.index.create_key("ci", "pusher")}
    client = await aiohttp_client(parts.application())
    first, second = runs_of(tmp_path, 2)
    assert (await client.post("/api/v1/runs", data=first.read_bytes(), headers=key)).status == 201
    ids = (await (await client.get(f"/runs/nightly-req-0{VIEWER}/tree", headers=key)).json())["rows"]

    @contextlib.contextmanager
    def down(self, writing):
        raise IndexUnavailable(self.shown, "connection refused")
        yield

    monkeypatch.setattr(RunIndex, "_opened", down)
    answer = await client.post("/api/v1/runs", data=second.read_bytes(), headers=key)
    assert answer.status == 503 and (await answer.json())["detail"] == "UNAVAILABLE"
    assert (await (await client.get(f"/runs/nightly-req-0{VIEWER}/tree", headers=key)).json())["rows"] == ids
    assert (await client.get("/readyz")).status == 503
    monkeypatch.undo()
    assert (await client.post("/api/v1/runs", data=second.read_bytes(), headers=key)).status == 201
    assert not list((parts.root / "store").glob(".*"))
