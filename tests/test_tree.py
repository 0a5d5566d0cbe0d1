"""The compact tree answer, read against the full results."""

import json

import pytest

from tavix.log.commands.server import LogViewerServer

from helpers import archives
from helpers.waiting import until
Archive = pytest.importorskip("tavix.log.commands.archive").Archive

P = "/private/v1/standalone"


@pytest.fixture(scope="module")
def info(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("tree") / "run.zip")
    return archives.generate_archive(path, log_bytes=400_000, sections=600, seed=5, scripts=3)


@pytest.fixture
async def client(aiohttp_client, info):
    with Archive(info.path) as archive:
        yield await aiohttp_client(LogViewerServer(archive))


def expected_rows(scripts):
    """The tree rows as the full records give them, walked independently."""
    rows, tasks = [], []
    for task in scripts:
        first, row_of = len(rows), {}
        for section in task["sections"]:
            parent = row_of[section["parent_id"]] if section["parents"] else -1
            row_of[section["id"]] = own = len(rows)
            rows.append([section["id"], parent, section["section_name"], section["section_type"],
                         section.get("result") or "", section.get("run_time"), section["sequence_number"], None])
            for index, step in enumerate(section["steps"] or []):
                label = f"{step['step_id']} {step['step_name']}" if step.get("step_id") else step["step_name"]
                rows.append([step["id"], own, label, "step", step.get("result") or "", step.get("run_time"),
                             section["sequence_number"], index])
        tasks.append(len(rows) - first)
    return rows, tasks


async def test_tree_rows_follow_the_results_in_order(client):
    full = await (await client.get(P + "/results")).json()
    response = await client.get(P + "/tree")
    assert response.status == 200
    assert response.headers["Access-Control-Allow-Origin"] == "*"
    raw = await response.read()
    tree = json.loads(raw)
    assert tree["columns"] == ["id", "parent", "name", "type", "result", "run_time", "sequence_number", "step"]
    decoded = [[r[0], r[1], r[2], tree["types"][r[3]], tree["results"][r[4]], *r[5:]] for r in tree["rows"]]
    rows, counts = expected_rows(full)
    assert decoded == rows
    assert [t["rows"] for t in tree["tasks"]] == counts
    assert [t["name"] for t in tree["tasks"]] == [task["meta"]["task_id"] for task in full]
    assert [t["result"] for t in tree["tasks"]] == [task["sections"][0]["result"] for task in full]
    # Steps are there, and the answer stays a small fraction of the full results.
    assert any(r[3] == "step" for r in decoded)
    full_bytes = len(await (await client.get(P + "/results")).read())
    assert len(raw) * 5 <= full_bytes


async def test_tree_of_an_empty_job(aiohttp_client, info):
    with Archive(info.path) as archive:
        archive.results.scripts = []
        client = await aiohttp_client(LogViewerServer(archive))
        tree = await (await client.get(P + "/tree")).json()
    assert tree["tasks"] == [] and tree["rows"] == []


def test_routes_carry_their_documentation(info):
    with Archive(info.path) as archive:
        app = LogViewerServer(archive)
        for route in app.router.routes():
            handler = route.handler
            if getattr(handler, "__self__", None) is app:
                assert handler.__doc__ and handler.__doc__.startswith("GET "), route


async def test_tree_is_made_as_the_server_starts(client):
    # Startup begins the tree in a worker thread; it is ready without a request.
    app = client.server.app
    assert await until(lambda: isinstance(getattr(app, "_computed", {}).get("tree"), list), 2)
    made = app._computed["tree"][0]
    tree = await (await client.get(P + "/tree")).read()
    assert tree == made
