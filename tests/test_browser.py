"""The browser front end against a running viewer server, in headless Chromium."""

import asyncio
import os
import socket
import threading

import pytest
from aiohttp import web

from tavix.log.commands.server import LogViewerServer
from test_server_support import open_archive

playwright_sync = pytest.importorskip("playwright.sync_api")
CHROMIUM = "/usr/bin/chromium"
ARTIFACTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "test-artifacts")

pytestmark = pytest.mark.skipif(not os.path.exists(CHROMIUM), reason="needs Debian's chromium")


class ServerThread:
    """The server on its own event loop in a thread, on a loopback port."""

    def __init__(self, app):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d" % self.sock.getsockname()[1]
        self.loop = asyncio.new_event_loop()
        self.runner = web.AppRunner(app)
        self.loop.run_until_complete(self.runner.setup())
        self.loop.run_until_complete(web.SockSite(self.runner, self.sock).start())
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
        self.loop.run_until_complete(self.runner.cleanup())
        self.loop.close()


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    with open_archive(tmp_path_factory.mktemp("browser")) as archive:
        server = ServerThread(LogViewerServer(archive))
        try:
            yield server, archive
        finally:
            server.stop()


@pytest.fixture(scope="module")
def browser():
    with playwright_sync.sync_playwright() as p:
        chromium = p.chromium.launch(executable_path=CHROMIUM, headless=True,
                                     args=["--no-sandbox"])
        yield chromium
        chromium.close()


@pytest.fixture
def page(browser):
    context = browser.new_context(viewport={"width": 1440, "height": 860}, accept_downloads=True)
    page = context.new_page()
    errors = []
    page.on("pageerror", lambda e: errors.append(str(e)))
    yield page
    context.close()
    assert not errors


def open_view(page, url):
    page.goto(url)
    page.wait_for_selector("body[data-ready=true]")


def test_reading_a_run(served, page):
    server, archive = served
    open_view(page, server.url + "/result")
    assert page.inner_text("#suite-name") == "demo_suite"
    assert "tb-host01" in page.inner_text("#job-meta")
    assert page.locator("#summary-bar span").count() == 2

    page.click("text=test_long_output")
    page.wait_for_selector("#log-lines .ln")
    assert page.locator("#log-lines .ln.lv-warn").count() > 0
    assert page.locator("#log-lines .ln.lv-error").count() > 0
    assert "/result/task/0/section/3" in page.url
    os.makedirs(ARTIFACTS, exist_ok=True)
    page.screenshot(path=os.path.join(ARTIFACTS, "viewer-main.png"))

    # Scrolling to the bottom fetches the next page through the "next" link.
    pages_before = int(page.get_attribute("#log-pane", "data-pages"))
    page.eval_on_selector("#log-pane", "p => p.scrollTop = p.scrollHeight")
    page.wait_for_function(f"document.querySelector('#log-pane').dataset.pages > {pages_before}")
    page.fill("#log-search", "failure 11")
    assert page.locator("#log-lines mark").count() >= 1

    # A reload restores the section from the URL.
    page.reload()
    page.wait_for_selector("body[data-ready=true]")
    page.wait_for_selector("#log-lines .ln")
    assert page.inner_text("#section-title") == "test_long_output"

    page.click("#section-view .tab[data-view=executions]")
    page.wait_for_selector("#executions-body tr td.cmd")
    page.click("#executions-body tr >> nth=0")
    page.wait_for_function("document.querySelector('#execution-lines').textContent.includes('version 1.2.3')")
    page.screenshot(path=os.path.join(ARTIFACTS, "viewer-executions.png"))


def test_scrolling_up_from_the_end(served, page):
    server, archive = served
    open_view(page, server.url + "/result/task/0/section/3")
    page.wait_for_selector("#log-lines .ln")
    page.click("#log-end")
    page.wait_for_function("document.querySelector('#log-after').textContent === 'End of section'")
    page.eval_on_selector("#log-pane", "p => p.scrollTop = 0")
    page.wait_for_function("document.querySelector('#log-pane').dataset.pages > 1")


def test_files_reports_and_downloads(served, page, tmp_path):
    server, archive = served
    open_view(page, server.url + "/result")
    page.click(".sidebar .tab[data-tab=files]")
    # Top-level folders start open, deeper ones folded.
    assert not page.is_visible("#file-tree .node:has-text('notes.txt')")
    page.click("#file-tree .node:has-text('deeper')")
    page.click("#file-tree .node:has-text('notes.txt')")
    page.wait_for_function("document.querySelector('#file-content').textContent.includes('second')")
    assert page.url.endswith("/result/file/sub/deeper/notes.txt")
    page.reload()
    page.wait_for_function("document.querySelector('#file-content').textContent.includes('second')")
    page.screenshot(path=os.path.join(ARTIFACTS, "viewer-files.png"))

    with page.expect_popup() as popup:
        page.click("#file-tree .node:has-text('report.html')")
    popup.value.wait_for_load_state()
    assert "Run report" in popup.value.content()

    with page.expect_download() as download:
        page.click("#download-archive")
    saved = tmp_path / "run.zip"
    download.value.save_as(saved)
    assert download.value.suggested_filename == "run.zip"
    assert saved.read_bytes() == open(archive.file, "rb").read()
