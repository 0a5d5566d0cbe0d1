"""Who can read a viewer started with an access token, in headless Chromium."""

import json
import os
import zipfile

import pytest
from aiohttp import web
from tavix.log.commands.server import LogViewerServer

from helpers import archives
from helpers.browser import ARTIFACTS
Archive = pytest.importorskip("tavix.log.commands.archive").Archive

P = "/private/v1/standalone"
TOKEN = "browser-test-token-0123456789"

# A page that tries to read the viewer's metadata at `target`, with and
# without the browser's cookies, and shows what it got.
PROBE = """<!DOCTYPE html><html><head><title>probe</title></head><body><pre id="out"></pre><script>
(async () => {
  const out = {};
  for (const credentials of ["same-origin", "include"]) {
    try {
      const answer = await fetch(%s, {credentials});
      out[credentials] = answer.status + " " + await answer.text();
    } catch (error) {
      out[credentials] = "refused";
    }
  }
  document.getElementById("out").textContent = JSON.stringify(out);
  document.title = "done";
})();
</script></body></html>
"""


class Viewers:
    """One archive served twice: with a token, and as the plain server."""

    def __init__(self, guarded, plain, info, let_in):
        self.guarded, self.plain, self.info = guarded.url, plain.url, info
        self.let_in = let_in  # paths of the guarded viewer's requests past its guard


@pytest.fixture(scope="module")
def viewers(tmp_path_factory, server_thread):
    path = str(tmp_path_factory.mktemp("browser-access") / "foreign.zip")
    info = archives.generate_archive(path, log_bytes=60_000, sections=8, seed=4, scripts=1)
    # A report from elsewhere whose script reads the viewer from inside it.
    with zipfile.ZipFile(path, "a") as archive:
        archive.writestr("reports/hostile.html", PROBE % json.dumps(P + "/metadata"))
    let_in = []

    @web.middleware
    async def record(request, handler):
        let_in.append(request.path)
        return await handler(request)

    with Archive(path) as archive:
        guarded = server_thread(LogViewerServer(archive, access_token=TOKEN, middlewares=[record]))
        plain = server_thread(LogViewerServer(archive))
        try:
            yield Viewers(guarded, plain, info, let_in)
        finally:
            guarded.stop()
            plain.stop()


@pytest.fixture(scope="module")
def other_site(server_thread):
    """A site on another loopback port whose page probes the viewer given as ?target=."""
    async def probe(request):
        return web.Response(text=PROBE % json.dumps(request.query["target"] + P + "/metadata"),
                            content_type="text/html")

    async def trigger(request):
        # Requests that start work without reading the answer: an image, a
        # credentialed fetch in no-cors mode, a form sent into a frame.
        target = request.query["target"] + P
        return web.Response(content_type="text/html", text=f"""<!DOCTYPE html><html><body>
<iframe name="sink"></iframe>
<form id="f" action="{target}/search" target="sink"><input name="q" value="x.*y.*z"><input name="regex" value="1"></form>
<script>
const settled = (element) => new Promise((done) => {{ element.onload = done; element.onerror = done; }});
const image = new Image();
const shown = settled(image);
image.src = "{target}/filepage/configs";
const sent = settled(document.querySelector("iframe"));
document.getElementById("f").submit();
const fetched = fetch("{target}/search?q=a", {{credentials: "include", mode: "no-cors"}}).catch(() => null);
Promise.all([shown, sent, fetched]).then(() => {{ document.title = "done"; }});
</script></body></html>""")

    app = web.Application()
    app.router.add_get("/", probe)
    app.router.add_get("/trigger", trigger)
    site = server_thread(app)
    yield site.url
    site.stop()


def probed(page, url):
    page.goto(url)
    page.wait_for_function("document.title === 'done'")
    return json.loads(page.inner_text("#out"))


def assert_refused(outcome, info):
    for credentials, answer in outcome.items():
        assert answer in ("refused", '403 {"detail": "ACCESS_DENIED"}'), (credentials, answer)
        assert info.suite_name not in answer


def open_with_token(page, base):
    page.goto(f"{base}/result?token={TOKEN}")
    page.wait_for_selector("body[data-ready=true]")


def test_the_tokened_url_opens_the_viewer_and_deep_links_follow(viewers, page, browser):
    open_with_token(page, viewers.guarded)
    assert page.url == viewers.guarded + "/result"  # the token left the address bar
    assert page.inner_text("#suite-name") == viewers.info.suite_name
    deep = viewers.guarded + "/result/task/0/section/2"
    other_tab = page.context.new_page()
    other_tab.goto(deep)
    other_tab.wait_for_selector("body[data-ready=true]")
    assert other_tab.url == deep

    # Another browser (no cookie) gets the entry page and a message, no data.
    stranger = browser.new_context()
    try:
        stranger_page = stranger.new_page()
        stranger_page.goto(deep)
        stranger_page.wait_for_function(
            "document.querySelector('#suite-name').textContent.includes('its own user')")
        os.makedirs(ARTIFACTS, exist_ok=True)
        stranger_page.screenshot(path=os.path.join(ARTIFACTS, "viewer-access-denied.png"))
    finally:
        stranger.close()


def test_a_page_of_another_local_port_cannot_read_the_viewer(viewers, other_site, page):
    # Without the token any page can read the run: that is what is guarded against.
    outcome = probed(page, f"{other_site}/?target={viewers.plain}")
    assert viewers.info.suite_name in outcome["same-origin"]

    open_with_token(page, viewers.guarded)  # the browser holds the viewer's cookie
    assert_refused(probed(page, f"{other_site}/?target={viewers.guarded}"), viewers.info)


def test_a_page_of_another_local_port_cannot_start_work_in_the_viewer(viewers, other_site, page):
    open_with_token(page, viewers.guarded)  # the browser holds the viewer's cookie
    page.goto(viewers.guarded + "/result/task/0")
    page.wait_for_selector("body[data-ready=true]")
    assert any(path.startswith(P) for path in viewers.let_in)  # its own pages get in
    viewers.let_in.clear()
    page.goto(f"{other_site}/trigger?target={viewers.guarded}")
    page.wait_for_function("document.title === 'done'")
    assert not [path for path in viewers.let_in if path.startswith(P)]


def test_a_hostile_report_cannot_read_the_viewer_it_runs_in(viewers, page):
    outcome = probed(page, viewers.plain + "/result/archive/reports/hostile.html")
    assert viewers.info.suite_name in outcome["same-origin"]

    open_with_token(page, viewers.guarded)
    # The report still renders and runs its own script (probed waits for it).
    assert_refused(probed(page, viewers.guarded + "/result/archive/reports/hostile.html"),
                   viewers.info)
