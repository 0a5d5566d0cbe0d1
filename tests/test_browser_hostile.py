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
