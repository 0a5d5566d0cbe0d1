"""The run history in the viewer: its routes, `logs view`'s recording, and the browser."""
import json
import logging
import os

import pytest

from tavix.log.commands.archive import Archive
from tavix.log.commands.history import RunIndex, index_url
from tavix.log.commands.history.viewer import history_for_viewer
from tavix.log.commands.server import LogViewerServer

from helpers.browser import ARTIFACTS
from helpers.history_runs import make_run

P = "/private/v1/standalone"


@pytest.fixture
def nightly(tmp_path):
    """Three runs of a suite in an index; the newest one's archive is returned, not yet indexed."""
    plan = [("stable", ["passed", "passed", "failed"]), ("broken", ["failed", "failed", "failed"]),
            ("wobbly", ["failed", "passed", "failed"]), ("ok", ["passed", "passed", "passed"])]
    paths = []
    for i in range(3):
        cases = [(name, results[i], [("step_one", results[i])]) for name, results in plan]
        paths.append(make_run(tmp_path / f"n{i}.zip", f"n{i}", f"2026-12-0{i + 1} 02:00:00", cases))
    url = str(tmp_path / "index.sqlite")
    index = RunIndex(index_url(url))
    for path in paths[:2]:
        with Archive(path) as archive:
            index.record(archive)
    return paths[2], url


async def test_history_routes(aiohttp_client, nightly):
    path, url = nightly
    with Archive(path) as archive:
        client = await aiohttp_client(LogViewerServer(archive, history=history_for_viewer(archive, url)))
        response = await client.get(P + "/history")
        assert response.status == 200 and response.headers["Access-Control-Allow-Origin"] == "*"
        answer = await response.json()
        nodes = {"/".join(n["path"]): n for n in answer["nodes"]}
        assert {k: nodes[k]["status"] for k in nodes} == {
            "s.py/stable": "new", "s.py/stable/step_one": "new", "s.py/broken": "known",
            "s.py/broken/step_one": "known", "s.py/wobbly": "new", "s.py/wobbly/step_one": "new"}
        section = archive.results.get_section(nodes["s.py/broken"]["id"]).data
        assert section["section_name"] == "broken"
        response = await client.get(P + f"/history/sections/{section['id']}")
        assert (await response.json())["runs"] == [
            {"request_id": "n2", "start_time": "2026-12-03 02:00:00", "result": "failed"},
            {"request_id": "n1", "start_time": "2026-12-02 02:00:00", "result": "failed"},
            {"request_id": "n0", "start_time": "2026-12-01 02:00:00", "result": "failed"}]
        # An id that is not one of the run's sections has no history of its own.
        response = await client.get(P + "/history/sections/no-such-id")
        assert response.status == 404 and await response.json() == {"detail": "SECTION_RETRIEVE_FAILED"}
        assert response.headers["Access-Control-Allow-Origin"] == "*"


async def test_without_an_index_the_routes_say_so(aiohttp_client, nightly):
    with Archive(nightly[0]) as archive:
        client = await aiohttp_client(LogViewerServer(archive))
        for route in ("/history", "/history/sections/x"):
            response = await client.get(P + route)
            assert response.status == 500 and await response.json() == {"detail": "NO_INDEX"}


def test_viewer_serves_without_history_when_the_index_is_damaged(tmp_path, nightly, caplog):
    bad = tmp_path / "bad.sqlite"
    bad.write_bytes(b"garbage" * 100)
    with caplog.at_level(logging.WARNING, logger="tavix.log.commands.logs"), Archive(nightly[0]) as archive:
        assert history_for_viewer(archive, str(bad)) is None
    assert [r.getMessage() for r in caplog.records] == [
        f"The run history is not available: the run index {bad} is damaged: not an SQLite database"]
    assert bad.read_bytes() == b"garbage" * 100


def test_viewer_shows_badges_strip_and_filters(nightly, server_thread, page):
    path, url = nightly
    with Archive(path) as archive, server_thread(
            LogViewerServer(archive, history=history_for_viewer(archive, url))) as server:
        page.goto(server.url + "/result")
        page.wait_for_selector("body[data-ready=true]")
        page.wait_for_selector(".history-chip")
        badges = page.locator("#task-tree .history-badge")
        page.wait_for_function("document.querySelectorAll('#task-tree .history-badge').length >= 4")
        texts = {row.locator(".name").inner_text(): row.locator(".history-badge").inner_text()
                 for row in page.locator("#task-tree .node").all() if row.locator(".history-badge").count()}
        assert texts["stable"] == "new" and texts["broken"] == "since 2026-12-01 (3 runs)"
        assert badges.count() == 6
        # The "new" chip keeps only the new failures (and their ancestors).
        page.click(".history-chip[data-history=new]")
        names = page.locator("#task-tree .node .name").all_inner_texts()
        assert "stable" in names and "broken" not in names and "ok" not in names
        page.click(".history-chip[data-history=new]")
        assert "broken" in page.locator("#task-tree .node .name").all_inner_texts()
        # A section's header shows its results over the window, this run first.
        page.locator("#task-tree .node", has_text="wobbly").first.locator(".name").click()
        cells = page.locator("#section-facts .history-strip .history-cell")
        cells.first.wait_for()
        assert cells.count() == 3
        assert [c.get_attribute("class").split()[-1] for c in cells.all()] == ["r-fail", "r-pass", "r-fail"]
        assert "n2" in cells.first.get_attribute("title")
        # The Failures tab marks each group as new or known.
        page.click(".sidebar .tab[data-tab=failures]")
        page.wait_for_selector(".failure .history-badge")
        groups = page.locator(".failure .history-badge").all_inner_texts()
        # Every failing node logs "step_one broke": one group; its failing nodes are the step_one sections.
        assert groups == ["since 2026-12-01", "2 new"]
        os.makedirs(ARTIFACTS, exist_ok=True)
        page.click(".sidebar .tab[data-tab=tests]")
        page.screenshot(path=os.path.join(ARTIFACTS, "history.png"))


@pytest.mark.parametrize("recorded", [True, False])
def test_logs_view_records_its_run_unless_told_not_to(tmp_path, nightly, recorded):
    import signal

    from helpers.logs_view import get_json, tavix, wait_for_url

    env = dict(os.environ, HOME=str(tmp_path / "home"), TAVIX_CONFIG=str(tmp_path / "none.cfg"))
    env.pop("TAVIX_INDEX", None)
    process = tavix(env, "view", str(nightly[0]), "--no-browser", "--host", "127.0.0.1", "--no-token",
                    *([] if recorded else ["--no-index"]))
    try:
        base, _ = wait_for_url(process)
        if recorded:
            answer = get_json(base, "/history")
            assert answer["run"]["request_id"] == "n2" and answer["earlier_runs"] == []
        else:
            with pytest.raises(Exception) as raised:
                get_json(base, "/history")
            assert raised.value.code == 500 and json.load(raised.value) == {"detail": "NO_INDEX"}
            raised.value.close()
    finally:
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    assert process.returncode == 0 and "Traceback" not in err and "history" not in err
    assert (tmp_path / "home" / ".tavix" / "index.sqlite").exists() == recorded
