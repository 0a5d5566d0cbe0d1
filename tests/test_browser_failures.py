"""The Failures view and the timeline in headless Chromium."""

import json
import urllib.request

import pytest

from tavix.log.commands.archive import Archive
from tavix.log.commands.server import LogViewerServer
from helpers.archives import generate_archive
from helpers.browser import open_view, shot

P = "/private/v1/standalone"
LANE, HISTOGRAM = 22, 84  # px, as timeline.js draws them


@pytest.fixture(scope="module")
def failing(tmp_path_factory, server_thread):
    path = tmp_path_factory.mktemp("failures") / "nightly.zip"
    info = generate_archive(path, log_bytes=900_000, sections=400, seed=3, failure_causes=True)
    with Archive(path) as archive, server_thread(LogViewerServer(archive)) as server:
        yield server.url, info, archive


def get(url):
    with urllib.request.urlopen(url) as response:
        return json.load(response)


def test_failures_view_filters_the_tree_and_opens_nodes_at_their_cause(failing, page):
    url, info, archive = failing
    answer = get(url + P + "/categories?causes=true")
    open_view(page, url + "/result")
    page.click(".sidebar .tab[data-tab=failures]")
    page.wait_for_selector("#failures-panel .failure")
    total = sum(c["count"] for c in answer["categories"]) + len(answer["unexplained"])
    assert page.inner_text("#failure-count") == str(total)
    status = page.inner_text(".failures-status")
    assert f"{len(answer['categories'])} causes" in status and f"{len(answer['unexplained'])} unexplained" in status
    cards = page.locator("#failures-panel .failure")
    first = answer["categories"][0]
    assert cards.nth(0).locator(".failure-count").inner_text() == str(first["count"])
    assert cards.nth(0).locator(".failure-example").inner_text() == first["example"]
    assert cards.nth(0).locator(".chip").count() == len(first["results"])
    shot(page, "failures-view.png")

    # A group filters the tree to its nodes (and their ancestors).
    group = answer["categories"][1]
    cards.nth(1).click()
    page.wait_for_selector("#failure-filter:not([hidden])")
    assert not page.is_hidden("#tests-panel")
    ids = {section.split("#")[-1] for section in group["sections"]}
    shown = page.eval_on_selector_all("#task-tree .node.vrow:not(.task)", "rows => rows.map(r => r.dataset.key)")
    nodes = {node["key"]: node["id"] for node in page.evaluate(
        "async () => { const m = await import('/tree.js'); const r = await fetch('" + P + "/tree'); "
        "return m.treeNodes(await r.json()).map(n => ({key: n.key, id: n.id})); }")}
    assert ids <= {nodes[key] for key in shown}
    shot(page, "failures-filtered.png")

    # A node of the group opens at its cause line, highlighted.
    index = len(group["sections"]) - 1
    wanted = group["sections"][index].split("#")[-1]
    key = next(k for k, v in nodes.items() if v == wanted)
    row = page.locator(f"#task-tree .node[data-key='{key}']")
    row.scroll_into_view_if_needed()
    row.click()
    page.wait_for_selector("#log-lines .ln.hit")
    assert page.url.endswith(f"{key}?at={group['causes'][index][0]}")
    record = archive.results.get_section(wanted)
    with open(record.logfile, "rb") as log:
        log.seek(int(record.log_start) + group["causes"][index][0])
        cause = log.readline().decode("utf-8", "replace")
    hit = page.inner_text("#log-lines .ln.hit .tx")
    assert " ".join(hit.split()) == " ".join(cause.split())
    shot(page, "failures-cause.png")

    # Clearing the filter shows the whole tree again.
    page.click("#failure-filter-clear")
    assert page.is_hidden("#failure-filter")


def test_failures_empty_state(tmp_path, server_thread, page):
    path = tmp_path / "green.zip"
    generate_archive(path, log_bytes=60_000, sections=30, seed=1)
    with Archive(path) as archive:
        for task in archive.results.scripts:
            for section in task["sections"]:
                section["result"] = "passed"
                for step in section["steps"] or []:
                    step["result"] = "passed"
        with server_thread(LogViewerServer(archive)) as server:
            open_view(page, server.url + "/result")
            page.click(".sidebar .tab[data-tab=failures]")
            page.wait_for_function("document.querySelector('.failures-status').textContent === 'No failures'")
            assert page.locator("#failures-panel .failure").count() == 0
            assert page.inner_text("#failure-count") == ""


def test_timeline_renders_the_run_and_opens_sections(failing, page):
    url, info, archive = failing
    open_view(page, url + "/result")
    page.click("#open-timeline")
    page.wait_for_function("document.querySelector('#timeline-status').textContent.includes('lanes')")
    assert page.url.endswith("/result/timeline")
    timeline = get(url + P + "/timeline")
    rows = timeline["tasks"][0]["sections"]
    low = min(r[1] for t in timeline["tasks"] for r in t["sections"])
    high = max(r[2] for t in timeline["tasks"] for r in t["sections"])
    shot(page, "timeline.png")

    # Lane 0 is the first section below task 0's script: a click on its
    # middle opens it or a section below it.
    script, lane = archive.results.scripts[0]["sections"][0], archive.results.scripts[0]["sections"][1]
    head = next(r for r in rows if r[0] == lane["id"])
    box = page.locator("#timeline-lanes").bounding_box()
    x = box["x"] + (((head[1] + head[2]) / 2 - low) / (high - low)) * page.evaluate(
        "document.querySelector('#timeline-lanes').clientWidth")
    page.mouse.move(x, box["y"] + LANE / 2)
    page.wait_for_selector("#timeline-tip:not([hidden])")
    assert page.inner_text("#timeline-tip strong")
    shot(page, "timeline-tooltip.png")
    page.mouse.click(x, box["y"] + LANE / 2)
    page.wait_for_selector("#section-view:not([hidden]) #log-lines .ln")
    sequence = int(page.url.split("/section/")[1].split("/")[0].split("?")[0])
    assert lane["child_start"] <= sequence <= lane["child_end"]
    assert "/result/task/0/" in page.url and script["id"] != lane["id"]

    # A click on a bar of the histogram opens the section holding its first
    # warning or error at that line.
    page.go_back()
    page.wait_for_function("document.querySelector('#timeline-status').textContent.includes('lanes')")
    histogram = get(url + P + "/timeline/0/histogram")
    busiest = max(range(len(histogram["times"])), key=lambda i: histogram["errors"][i] + histogram["warnings"][i])
    canvas = page.locator("#timeline-histogram").bounding_box()
    middle = histogram["times"][busiest] + histogram["width"] / 2
    x = canvas["x"] + (middle - low) / (high - low) * canvas["width"]
    page.mouse.click(x, canvas["y"] + HISTOGRAM - 2)
    page.wait_for_selector("#log-lines .ln.hit")
    line = page.inner_text("#log-lines .ln.hit .tx")
    assert any(f"-{severity}-" in line for severity in (2, 3, 4))
    shot(page, "timeline-opened.png")
