"""The browser front end against a running viewer server, in headless Chromium."""

import asyncio
import os
import pathlib
import socket
import threading

import pytest
from aiohttp import web
from tavix.log.commands.server import LogViewerServer

archives = pytest.importorskip("tavix.testing.archives")
Archive = pytest.importorskip("tavix.log.commands.archive").Archive

playwright_sync = pytest.importorskip("playwright.sync_api")
CHROMIUM = "/usr/bin/chromium"
ARTIFACTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "test-artifacts")

pytestmark = pytest.mark.skipif(not os.path.exists(CHROMIUM), reason="needs Debian's chromium")


class ServerThread:
    """An application served on its own event loop in a thread, on a loopback port."""

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


class Served:
    def __init__(self, server, info, archive):
        self.url, self.info, self.archive = server.url, info, archive
        # A testcase long enough for several pages, with device commands.
        self.case = max((s for s in info.sections_of_type("testcase") if info.executions_in(s)),
                        key=lambda s: s.log_size)
        self.task = next(i for i, script in enumerate(info.scripts) if self.case in script.sections)
        self.case_path = f"/result/task/{self.task}/section/{self.case.sequence_number}"


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("browser") / "nightly.zip")
    info = archives.generate_archive(path, log_bytes=600_000, sections=40, seed=11)
    with Archive(path) as archive:
        server = ServerThread(LogViewerServer(archive))
        try:
            yield Served(server, info, archive)
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
    open_view(page, served.url + "/result")
    assert page.inner_text("#suite-name") == served.info.suite_name
    assert served.info.host in page.inner_text("#job-meta")
    assert page.locator("#summary-bar span").count() >= 2

    page.click(f"#task-tree .node[data-key='{served.case_path[len('/result/'):]}']")
    page.wait_for_selector("#log-lines .ln")
    os.makedirs(ARTIFACTS, exist_ok=True)
    page.screenshot(path=os.path.join(ARTIFACTS, "viewer-main.png"))
    assert page.locator("#log-lines .ln.lv-info").count() > 0
    assert page.locator("#log-lines .ln.lv-warn, #log-lines .ln.lv-debug, #log-lines .ln.raw").count() > 0
    assert page.url.endswith(served.case_path)

    # Scrolling to the bottom fetches the next page through the "next" link.
    pages_before = int(page.get_attribute("#log-pane", "data-pages"))
    page.eval_on_selector("#log-pane", "p => p.scrollTop = p.scrollHeight")
    page.wait_for_function(f"document.querySelector('#log-pane').dataset.pages > {pages_before}")
    page.fill("#log-search", "+++")
    assert page.locator("#log-lines mark").count() >= 1

    # A reload restores the section from the URL.
    page.reload()
    page.wait_for_selector("body[data-ready=true]")
    page.wait_for_selector("#log-lines .ln")
    assert page.inner_text("#section-title") == served.case.section_name

    page.click("#section-view .tab[data-view=executions]")
    page.wait_for_selector("#executions-body tr td.cmd")
    first = served.info.executions_in(served.case)[0]
    page.click("#executions-body tr >> nth=0")
    page.wait_for_function(
        "device => document.querySelector('#execution-lines').textContent.includes(device)",
        arg=first.device)
    page.screenshot(path=os.path.join(ARTIFACTS, "viewer-executions.png"))


def test_scrolling_up_from_the_end(served, page):
    open_view(page, served.url + served.case_path)
    page.wait_for_selector("#log-lines .ln")
    page.click("#log-end")
    page.wait_for_function("document.querySelector('#log-after').textContent === 'End of section'")
    page.eval_on_selector("#log-pane", "p => p.scrollTop = 0")
    page.wait_for_function("document.querySelector('#log-pane').dataset.pages > 1")


def test_files_reports_and_downloads(served, page, tmp_path):
    open_view(page, served.url + "/result")
    page.click(".sidebar .tab[data-tab=files]")
    # Top-level folders start open, deeper ones folded.
    assert not page.is_visible("#file-tree .node:has-text('running-config.txt')")
    page.click("#file-tree .node.dir:has-text('R1')")
    page.click("#file-tree .node:visible:has-text('running-config.txt')")
    page.wait_for_function("document.querySelector('#file-content').textContent.includes('interface Ethernet1/1')")
    assert page.url.endswith("/result/file/configs/R1/running-config.txt")
    page.reload()
    page.wait_for_function("document.querySelector('#file-content').textContent.includes('interface Ethernet1/1')")
    page.screenshot(path=os.path.join(ARTIFACTS, "viewer-files.png"))

    with page.expect_popup() as popup:
        page.click("#file-tree .node:has-text('report.html')")
    popup.value.wait_for_load_state()
    assert "Résultats" in popup.value.content()

    with page.expect_download() as download:
        page.click("#download-archive")
    saved = tmp_path / "run.zip"
    download.value.save_as(saved)
    assert download.value.suggested_filename == "nightly.zip"
    assert saved.read_bytes() == pathlib.Path(served.info.path).read_bytes()
