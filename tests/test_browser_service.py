"""The team service in Chromium, its real parts behind it: the home page, a
suite, a run, a section by its lasting link, a line; and after a restart the
same links and the ids the page holds."""
import json
import urllib.request

from helpers.browser import open_view, shot
from helpers.history_runs import make_run
from helpers.service import ServiceParts


def push(url, path):
    request = urllib.request.Request(url + "/api/v1/runs", data=path.read_bytes(), method="POST")
    with urllib.request.urlopen(request, timeout=30) as answer:
        return json.load(answer)["run"]


def test_home_suite_run_section_link_and_line(tmp_path, server_thread, browser):
    parts = ServiceParts(tmp_path / "service")
    runs = [make_run(tmp_path / f"r{day}.zip", f"nightly-{day}", f"2026-12-0{day + 1}T01:00:00",
                     [("setup", "passed"), ("check", "failed" if day else "passed")]) for day in range(3)]
    page = browser.new_page(viewport={"width": 1440, "height": 860})
    with server_thread(parts.application()) as server:
        for path in runs:
            push(server.url, path)
        open_view(page, server.url + "/")
        page.wait_for_selector(".suite")
        page.focus(".suite[tabindex='0']")
        page.keyboard.press("Enter")
        page.wait_for_function("document.querySelectorAll('.runs-body .run').length === 3")
        shot(page, "service-home.png")
        page.focus(".runs-body [tabindex='0']")
        with page.expect_navigation():
            page.keyboard.press("Enter")
        page.wait_for_selector("body[data-ready=true]")
        assert page.url == server.url + "/runs/nightly-2/result/"
        page.wait_for_selector("#task-tree .node >> text=check")

        section = json.load(urllib.request.urlopen(
            server.url + "/api/v1/runs/nightly-2/sections?path=s.py/check&line=2", timeout=30))
        open_view(page, section["link"])
        page.wait_for_selector("#log-lines .ln.hit")
        assert page.inner_text("#section-title") == "check"
        assert page.inner_text("#log-lines .ln.hit a.no") == "2"
        assert "check broke" in page.inner_text("#log-lines .ln.hit")
        shot(page, "service-section-line.png")
        held = page.url  # the viewer's own address, with the section's id-based route

    # Another process over the same store and index: the links, and the
    # address the page was at, open the same section.
    with server_thread(parts.application()) as again:
        open_view(page, held.replace(server.url, again.url))
        page.wait_for_selector("#log-lines .ln.hit")
        assert page.inner_text("#section-title") == "check"
        open_view(page, section["link"].replace(server.url, again.url))
        page.wait_for_selector("#log-lines .ln.hit")
        assert page.inner_text("#log-lines .ln.hit a.no") == "2"
    page.close()
