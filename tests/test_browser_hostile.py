"""A hostile archive in the viewer's front end, in headless Chromium."""

import os

import pytest
from tavix.log.commands.server import LogViewerServer

Archive = pytest.importorskip("tavix.log.commands.archive").Archive


def test_clicking_hostile_sections_in_the_browser(hostile_run, server_thread, page):
    with Archive(hostile_run.path) as archive, server_thread(LogViewerServer(archive)) as server:
        page.goto(server.url + "/result")
        page.wait_for_selector("body[data-ready=true]")
        for kind, number in hostile_run.sequence_numbers.items():
            page.click(f"#task-tree .node[data-key='task/0/section/{number}']")
            page.wait_for_function(
                "document.querySelector('#log-after').textContent.includes('SECTION_LOG_READ_FAIL')")
        # The viewer is still there, and so is its extraction directory.
        page.click("#task-tree .node[data-key='task/0/section/1']")
        page.wait_for_selector("#log-lines .ln")
        assert os.path.isdir(archive.dir)


def test_the_failures_tab_names_the_sections_it_could_not_read(hostile_run, server_thread, page, axe):
    with Archive(hostile_run.path) as archive, server_thread(LogViewerServer(archive)) as server:
        page.goto(server.url + "/result")
        page.wait_for_selector("body[data-ready=true]")
        page.click("#tab-failures")
        note = page.locator("#failures-panel [role=note]")
        note.wait_for()
        assert note.inner_text().startswith("The log of 3 sections could not be read")
        assert "null" not in note.inner_text() and not note.locator("button").count()
        assert sorted(note.locator("a").all_inner_texts()) == sorted(hostile_run.names.values())
        assert axe(page) == []
        page.screenshot(path=os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                          "test-artifacts", "failures-unreadable.png"))
        # By keyboard: the link of the directory's section opens it.
        link = note.locator("a", has_text=hostile_run.names["directory"])
        link.focus()
        page.keyboard.press("Enter")
        page.wait_for_url(f"**/section/{hostile_run.sequence_numbers['directory']}")
        page.wait_for_function(
            "document.querySelector('#log-after').textContent.includes('SECTION_LOG_READ_FAIL')")


def test_many_unreadable_sections_are_shown_in_the_tree(hostile_run, server_thread, page):
    import json

    with Archive(hostile_run.path) as archive, server_thread(LogViewerServer(archive)) as server:
        def more_unreadable(route):
            answer = json.loads(route.fetch().text())
            answer["unreadable"] = answer["unreadable"] * 4  # as a run with a dozen of them would answer
            route.fulfill(json=answer)

        page.route("**/categories*", more_unreadable)
        page.goto(server.url + "/result")
        page.wait_for_selector("body[data-ready=true]")
        page.click("#tab-failures")
        note = page.locator("#failures-panel [role=note]")
        note.wait_for()
        assert note.locator("a").count() == 10
        note.locator("button", has_text="Show all 12 in the tree").click()
        assert page.inner_text("#failure-filter-label") == "12 sections with unreadable logs"
        assert page.locator("#task-tree .node[data-key$='/section/%d']" % hostile_run.sequence_numbers["missing"]).count() == 1
