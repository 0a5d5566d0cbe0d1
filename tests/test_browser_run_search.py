"""Searching every run from the service's home page in Chromium: a query
typed, its lines shown while the search still runs, grouped by run and
section, followed by keyboard into the run's viewer at the line."""
import json
import threading
import urllib.request

import pytest

from helpers.browser import open_view, shot
from helpers.history_runs import make_run
from helpers.service import ServiceParts

pytest.importorskip("tavix.log.commands.archive")


def push(url, path):
    request = urllib.request.Request(url + "/api/v1/runs", data=path.read_bytes(), method="POST")
    with urllib.request.urlopen(request, timeout=30) as answer:
        return json.load(answer)["run"]


@pytest.fixture(scope="module")
def service(tmp_path_factory, server_thread):
    """A service holding three nights of a suite, 5 lines "… broke" among them."""
    root = tmp_path_factory.mktemp("run-search")
    parts = ServiceParts(root / "service")
    # The runs' search indexes are built at push.
    with server_thread(parts.application()) as server:
        for day in range(3):
            push(server.url, make_run(root / f"r{day}.zip", f"nightly-{day}", f"2026-12-0{day + 1}T01:00:00",
                                      [("setup", "passed"), ("check", "failed"),
                                       ("teardown", "failed" if day else "passed")]))
        yield server


@pytest.fixture
def held_search(monkeypatch):
    """The search module, its searches holding back after their first line
    until `release` is set."""
    from tavix.log.commands.history import run_search as module

    release = threading.Event()
    searching = module.search_runs

    def held(*args, **kwargs):
        found = searching(*args, **kwargs)
        try:
            for number, item in enumerate(found):
                yield item
                if number == 0:
                    release.wait(10)
        finally:
            found.close()

    monkeypatch.setattr(module, "search_runs", held)
    return release


def test_a_query_streams_its_lines_grouped_by_run_and_section(service, page, axe, held_search):
    open_view(page, service.url + "/")
    page.fill("#run-search-text", "broke")
    page.keyboard.press("Enter")
    # The first line is shown while the search is held back after it.
    page.wait_for_selector(".run-search-body .search-line")
    assert page.get_attribute(".run-search-grid", "aria-busy") == "true"
    assert page.inner_text(".run-search-status").endswith("so far")
    held_search.set()
    page.wait_for_function("document.querySelector('.run-search-grid').getAttribute('aria-busy') === 'false'")
    assert page.inner_text(".run-search-status") == "5 lines in 3 runs"
    rows = page.eval_on_selector_all(".run-search-body [data-index]",
                                     "rows => rows.map(r => [r.className, r.innerText.replace(/\\s+/g, ' ')])")
    assert [row[0].split()[-1].split("-")[1] for row in rows] == [
        "run", "section", "line", "section", "line", "run", "section", "line", "section", "line",
        "run", "section", "line"]
    assert rows[0][1].startswith("nightly-2") and rows[1][1] == "s.py › check"
    # Numbered as the viewer numbers the section's lines.
    assert rows[2][1].startswith("2 ") and rows[2][1].endswith("check broke")
    assert page.url.endswith("/?q=broke")
    assert axe(page) == []
    shot(page, "service-run-search.png")

    page.fill("#run-search-text", "no such line")
    page.keyboard.press("Enter")
    page.wait_for_function("document.querySelector('.run-search-status').innerText === 'No line found'")
    page.fill("#run-search-text", "(")
    page.check(".run-search-regex")  # a toggle searches again
    page.wait_for_function("document.querySelector('.run-search-status').innerText.startsWith('Could not search')")
    assert "invalid query" in page.inner_text(".run-search-status")


def test_a_line_found_opens_the_viewer_there_by_keyboard(service, page):
    open_view(page, service.url + "/?q=broke")
    page.wait_for_selector(".run-search-grid[aria-busy=false] .search-line")
    assert page.input_value("#run-search-text") == "broke"
    page.focus("#run-search-text")
    page.keyboard.press("ArrowDown")  # into the list, on its first row
    page.keyboard.press("ArrowDown")
    page.keyboard.press("ArrowDown")
    with page.expect_navigation():
        page.keyboard.press("Enter")
    page.wait_for_selector("#log-lines .ln.hit")
    assert "/runs/nightly-2/" in page.url
    assert page.inner_text("#section-title") == "check"
    assert page.inner_text("#log-lines .ln.hit a.no") == "2"
    assert "check broke" in page.inner_text("#log-lines .ln.hit")


def test_search_other_runs_from_a_line_of_a_run(service, page):
    open_view(page, service.url + "/runs/nightly-1/section/s.py/teardown?line=2")
    page.wait_for_selector("#log-lines .ln.hit .other-runs")
    shot(page, "service-search-other-runs-button.png")
    with page.expect_navigation():
        page.click("#log-lines .ln.hit .other-runs")
    # The line's message masked: its numbers, times and addresses match any.
    assert page.input_value("#run-search-text") == r"teardown\s+broke"
    assert page.is_checked(".run-search-regex")
    page.wait_for_selector(".run-search-grid[aria-busy=false] .search-line")
    assert page.inner_text(".run-search-status") == "2 lines in 2 runs"


def test_the_local_viewer_shows_the_command_searching_other_runs(tmp_path, server_thread, page):
    from tavix.log.commands.archive import Archive
    from tavix.log.commands.server import LogViewerServer

    path = make_run(tmp_path / "run.zip", "local-1", "2026-12-05T01:00:00", [("check", "failed")])
    with Archive(str(path)) as archive, server_thread(LogViewerServer(archive)) as viewer:
        open_view(page, viewer.url + "/result/")
        page.click("#task-tree .node >> text=check")
        page.wait_for_selector("#log-lines .ln >> nth=1")
        page.click("#log-lines .ln >> nth=1 >> a.no")
        page.click("#log-lines .ln.hit .other-runs")
        page.wait_for_selector(".other-runs-command:not([hidden])")
        assert page.input_value(".other-runs-command") == r"tavix logs search --runs all -E 'check\s+broke'"
        assert page.evaluate("document.activeElement.className").endswith("other-runs-command")
        shot(page, "local-search-other-runs.png")
        assert page.locator(".copy-link").count() == 0
