"""The team service's pages in headless Chromium: the home page, a run's
viewer below its base path, lasting links of sections and lines, a run gone.

The service's few API routes are made up here, beside a real viewer of one
run that the made-up service reaches through a proxy stripping the run's base."""

import os
import urllib.parse

import aiohttp
import pytest
from aiohttp import web
from tavix.log.commands.server import HERE, LogViewerServer

from helpers import archives
from helpers.browser import open_view
Archive = pytest.importorskip("tavix.log.commands.archive").Archive

STATIC = os.path.join(HERE, "static")
P = "/private/v1/standalone"
SUITE = "nightly_regression"


def run_object(request_id, suite, day, summary, new=0, known=0, flaky=0, failing=0, marked=0):
    return {"request_id": request_id, "suite_name": suite, "start_time": f"2026-11-{day:02d} 11:53:13",
            "summary": summary, "new": new, "known": known, "flaky": flaky, "failing": failing,
            "to_investigate": failing - marked, "investigated": marked / failing if failing else None,
            "link": f"/runs/{request_id}"}


def counts(n):
    """A made-up run's summary; run 10 counted nothing."""
    return {"pass": "0", "fail": "0"} if n == 10 else {"pass": str(n), "fail": "1", "skip": "0"}


def static_page(name):
    async def page(request):
        return web.FileResponse(os.path.join(STATIC, name))

    return page


class FakeService:
    """The home page, the sign-in page, the listing and section routes of the
    service, and one stored run whose viewer `viewer_url` serves at its root."""

    def __init__(self, viewer_url, archive):
        self.viewer_url, self.run_id = viewer_url, archive.results.meta["request_id"]
        self.gone = False          # the run deleted: its routes answer RUN_NOT_FOUND
        self.section_queries = []  # the query of each sections request
        summary = archive.results.summary
        # The nightly suite: the real run newest, then 59 older ones.
        self.runs = {SUITE: [run_object(self.run_id, SUITE, 30, summary, new=2, known=1, failing=8, marked=2)] + [
            run_object(f"nightly-{n:03d}", SUITE, 29 - n % 29, counts(n), flaky=n % 3)
            for n in range(59)],
            "smoke": [run_object("smoke-001", "smoke", 2, {"pass": "4", "fail": "0"})]}
        records = [r for task in archive.results.scripts for r in task["sections"]]
        by_id = {r["id"]: r for r in records}
        self.paths = {}  # section id -> the names of its path
        self.sizes = {r["id"]: int(r["log_size"] or 0) for r in records}
        for r in records:
            names, node = [], r
            while node:
                names.insert(0, node["section_name"])
                node = by_id.get(node["parent_id"])
            self.paths[r["id"]] = names
        self.ids = {"/".join(n.replace("/", "%2F") for n in names): id_ for id_, names in self.paths.items()}
        self.app = web.Application()
        self.app.on_startup.append(self.start)
        self.app.on_cleanup.append(self.stop)
        self.app.router.add_get("/", static_page("home.html"))
        self.app.router.add_get("/login", static_page("login.html"))
        self.app.router.add_get("/api/v1/suites", self.suites)
        self.app.router.add_get("/api/v1/runs", self.list_runs)
        self.app.router.add_get("/api/v1/runs/{id}/sections", self.sections)
        self.app.router.add_get("/runs/{id}", self.redirect_to_viewer)
        self.app.router.add_get("/runs/{id}/{tail:.*}", self.run_route)
        self.app.router.add_static("/", STATIC)

    async def start(self, app):
        self.session = aiohttp.ClientSession()

    async def stop(self, app):
        await self.session.close()

    def section_link(self, id_):
        return f"/runs/{self.run_id}/section/" + "/".join(urllib.parse.quote(n, safe="") for n in self.paths[id_])

    async def line_offsets(self, id_):
        """Byte offsets of the starts of the lines of section `id_`'s log."""
        async with self.session.get(f"{self.viewer_url}{P}/sections/{id_}/log?offset=0&limit=1000000") as response:
            text = (await response.json())["file_content"]
        offsets, at = [], 0
        for line in text.split("\n")[:-1]:
            offsets.append(at)
            at += len(line.encode()) + 1
        return offsets

    async def suites(self, request):
        def trend(runs):
            return [{"request_id": r["request_id"], "start_time": r["start_time"], "link": r["link"],
                     "pass_rate": int(r["summary"]["pass"]) / (int(r["summary"]["pass"]) + int(r["summary"]["fail"]))
                     if int(r["summary"]["pass"]) + int(r["summary"]["fail"]) else None}
                    for r in reversed(runs[:30])]
        return web.json_response({"suites": [{"suite_name": name, "runs": len(runs), "latest": runs[0],
                                              "trend": trend(runs)} for name, runs in sorted(self.runs.items())]})

    async def list_runs(self, request):
        query = request.query
        runs = self.runs.get(query["suite"], [])
        text = query.get("text", "").lower()
        runs = [r for r in runs if text in r["request_id"].lower() or text in r["start_time"]]
        if "before" in query:
            runs = runs[[r["request_id"] for r in runs].index(query["before"]) + 1:]
        limit = int(query["limit"])
        following = None
        if len(runs) > limit:
            following = "/api/v1/runs?" + urllib.parse.urlencode(
                {"suite": query["suite"], "before": runs[limit - 1]["request_id"], "limit": limit})
        return web.json_response({"runs": runs[:limit], "next": following})

    async def sections(self, request):
        if self.gone or request.match_info["id"] != self.run_id:
            return web.json_response({"detail": "RUN_NOT_FOUND"}, status=404)
        query = request.query
        self.section_queries.append(dict(query))
        if "path" in query:
            id_ = self.ids.get(query["path"])
            if id_ is None:
                return web.json_response({"detail": "SECTION_NOT_FOUND"}, status=404)
            answer = {"id": id_}
            if "line" in query:
                answer["offset"] = (await self.line_offsets(id_))[int(query["line"]) - 1]
            return web.json_response(answer)
        id_ = query["id"]
        answer = {"id": id_, "path": self.paths[id_], "link": f"{request.scheme}://{request.host}" + self.section_link(id_)}
        if "offset" in query:
            line = (await self.line_offsets(id_)).index(int(query["offset"])) + 1
            answer.update(line=line, link=f"{answer['link']}?line={line}")
        return web.json_response(answer)

    async def redirect_to_viewer(self, request):
        raise web.HTTPFound(request.path + "/result/")

    async def run_route(self, request):
        """Every route of the run's viewer, below /runs/{id} or /runs/{id}/compare/{base}."""
        if self.gone or request.match_info["id"] != self.run_id:
            return web.json_response({"detail": "RUN_NOT_FOUND"}, status=404)
        tail = "/" + request.raw_path.split("/", 3)[3]
        if tail.startswith("/compare/"):
            tail = "/" + tail.split("/", 3)[3]
        if tail.startswith("/section/"):
            tail = "/result"
        async with self.session.get(self.viewer_url + tail) as response:
            return web.Response(body=await response.read(), status=response.status,
                                content_type=response.content_type)


@pytest.fixture(scope="module")
def service(tmp_path_factory, server_thread):
    path = str(tmp_path_factory.mktemp("service-front") / "nightly.zip")
    archives.generate_archive(path, log_bytes=150_000, sections=24, seed=2, scripts=1)
    with Archive(path) as archive, server_thread(LogViewerServer(archive)) as viewer:
        fake = FakeService(viewer.url, archive)
        with server_thread(fake.app) as front:
            fake.url = front.url
            yield fake


@pytest.fixture
def fake(service):
    service.gone = False
    service.section_queries.clear()
    yield service
    service.gone = False


def longest_section(fake):
    """The id of the top-level section whose log is longest, and its names."""
    case = max((id_ for id_, names in fake.paths.items() if len(names) == 1), key=fake.sizes.get)
    return case, fake.paths[case]


def rows(page, selector):
    return page.eval_on_selector_all(f"{selector} [data-index]", "rows => rows.map(r => r.innerText)")


def test_home_lists_suites_and_their_runs_by_keyboard(fake, page, axe):
    open_view(page, fake.url + "/")
    assert page.locator(".suite").count() == 2
    charts = page.locator(".suite svg[role=img]")
    assert charts.count() == 2
    label = charts.first.get_attribute("aria-label")
    assert label.startswith("Pass rate of the last 30 runs: ")
    # A run that counted nothing breaks the line.
    assert page.locator(".suite >> nth=0 >> circle").count() == 29
    assert page.get_attribute(".suite >> nth=0 >> path", "d").count("M") == 2
    assert "75%" in page.inner_text(".suite >> nth=0")  # the latest nightly run: 3 passed, 1 failed
    assert page.get_attribute(".suite >> nth=0 >> a", "href") == f"/runs/{fake.run_id}"

    # ↓ to the second suite, Enter chooses it; ↑ Enter the first.
    page.focus(".suite[tabindex='0']")
    page.keyboard.press("ArrowDown")
    page.keyboard.press("Enter")
    page.wait_for_function("document.querySelectorAll('.runs-body .run').length === 1")
    assert page.url.endswith("/?suite=smoke")
    page.keyboard.press("ArrowUp")
    page.keyboard.press("Enter")
    page.wait_for_function("document.querySelectorAll('.runs-body [data-index]').length > 10")
    assert page.get_attribute(".suite >> nth=0", "aria-selected") == "true"
    assert page.inner_text(".runs-title") == f"Runs of {SUITE}"
    cells = page.locator(".runs-body [data-index='0'] [role=gridcell]").all_inner_texts()
    assert cells[:2] == ["2026-11-30 11:53:13", fake.run_id]
    assert cells[2].split() == ["pass3", "fail1"]
    # New, known, flaky; to investigate, and the share of the failing sections marked.
    assert cells[3:] == ["2", "1", "0", "6", "25%"]
    assert page.get_attribute(".runs-body [data-index='0'] .run-investigated", "title") == \
        "2 of 8 failing sections marked"
    assert page.locator(".runs-table [role=columnheader]").all_inner_texts()[-2:] == ["To investigate", "Investigated"]
    # Nothing failing: nothing to investigate, no share.
    assert page.locator(".runs-body [data-index='1'] [role=gridcell]").all_inner_texts()[-2:] == ["0", "–"]
    page.screenshot(path="/tmp/front-home.png")
    assert axe(page) == []

    # "More" follows the listing's next link.
    assert page.inner_text(".runs-status") == "50+ runs"
    page.click(".runs-more")
    page.wait_for_function("document.querySelector('.runs-status').textContent === '60 runs'")
    assert page.is_hidden(".runs-more")

    # The filter asks the service again.
    page.fill(".run-filter", "nightly-05")
    page.wait_for_function("document.querySelector('.runs-status').textContent === '9 runs matching the filter'")
    assert all("nightly-05" in row for row in rows(page, ".runs-body"))

    # The address names the suite: a reload or a shared link shows it again.
    page.goto(fake.url + "/?suite=smoke")
    page.wait_for_selector("body[data-ready=true]")
    page.wait_for_selector(".runs-body .run")
    assert "smoke-001" in page.inner_text(".runs-body")
    page.go_back()
    page.wait_for_function("document.querySelectorAll('.runs-body [data-index]').length > 10")


def test_a_run_opens_from_home_with_every_request_below_its_base(fake, page):
    requests = []
    page.on("request", lambda request: requests.append(urllib.parse.urlsplit(request.url).path))
    open_view(page, fake.url + f"/?suite={SUITE}")
    page.wait_for_selector(".runs-body .run")
    page.focus(".runs-body [tabindex='0']")
    with page.expect_navigation():
        page.keyboard.press("Enter")
    page.wait_for_selector("body[data-ready=true]")
    base = f"/runs/{fake.run_id}"
    assert urllib.parse.urlsplit(page.url).path.startswith(base + "/result")
    case, _ = longest_section(fake)
    page.click(f"#task-tree .node >> text={fake.paths[case][0]}")
    page.wait_for_selector("#log-lines .ln")
    # The log's further pages follow the viewer's links, which lack the base.
    pages = int(page.get_attribute("#log-pane", "data-pages"))
    page.eval_on_selector("#log-pane", "p => p.scrollTop = p.scrollHeight")
    page.wait_for_function(f"document.querySelector('#log-pane').dataset.pages > {pages}")
    assert page.url.split(fake.url)[1].startswith(base + "/result/task/0/section/")
    viewer = [path for path in requests if P in path]
    assert len(viewer) > 5
    assert all(path.startswith(base + P) for path in viewer), viewer
    assert page.get_attribute("#download-archive", "href") == base + P + "/download"
    assert page.evaluate("import('/api.js').then(({ api }) => api.viewerUrl('reports/a b.html'))") == \
        base + "/reports/reports/a%20b.html"
    page.screenshot(path="/tmp/front-run.png")


def test_a_compared_pair_keeps_its_whole_base(fake, page):
    requests = []
    page.on("request", lambda request: requests.append(urllib.parse.urlsplit(request.url).path))
    base = f"/runs/{fake.run_id}/compare/older%20run"
    open_view(page, fake.url + base + "/result/")
    viewer = [path for path in requests if P in path]
    assert viewer and all(path.startswith(base + P) for path in viewer), viewer


def test_a_lasting_link_opens_its_section_at_its_line(fake, page):
    case, names = longest_section(fake)
    # A "/" inside a name travels as "%2F" in the path parameter.
    fake.ids["odd%2Fname/" + names[0]] = case
    open_view(page, fake.url + f"/runs/{fake.run_id}/section/odd%2Fname/{urllib.parse.quote(names[0])}?line=7")
    page.wait_for_selector("#log-lines .ln.hit")
    assert fake.section_queries == [{"path": "odd%2Fname/" + names[0], "line": "7"}]
    assert page.inner_text("#section-title") == names[0]
    assert page.inner_text("#log-lines .ln.hit a.no") == "7"
    assert "?at=" in page.url and "/result/task/" in page.url

    open_view(page, fake.url + f"/runs/{fake.run_id}/section/no-such-section")
    page.wait_for_function("document.querySelector('#section-title').textContent.includes('SECTION_NOT_FOUND')")


def test_copy_link_gives_the_lasting_links(fake, browser, axe):
    context = browser.new_context(viewport={"width": 1440, "height": 860})
    context.grant_permissions(["clipboard-read", "clipboard-write"])
    page = context.new_page()
    case, names = longest_section(fake)
    open_view(page, fake.url + f"/runs/{fake.run_id}/section/{urllib.parse.quote(names[0])}")
    page.wait_for_selector("#log-lines .ln")
    page.click(".section-head .copy-link")
    page.wait_for_selector(".section-head .copy-status >> text=Link copied")
    assert page.evaluate("navigator.clipboard.readText()") == fake.url + fake.section_link(case)

    # A line number marks its line, which then has its own link to copy.
    page.click("#log-lines .ln >> nth=4 >> a.no")
    page.click("#log-lines .ln.hit .copy-link")
    page.wait_for_selector("#log-lines .ln.hit .copy-status >> text=Link copied")
    page.screenshot(path="/tmp/front-line-link.png")
    assert axe(page) == []
    assert page.evaluate("navigator.clipboard.readText()") == fake.url + fake.section_link(case) + "?line=5"
    # A step has no lasting link.
    page.click("#task-tree .node.step >> nth=0")
    page.wait_for_selector(".section-head .copy-holder", state="hidden")
    context.close()


def test_copy_link_shows_the_link_selected_without_a_clipboard(fake, browser):
    # Where the page may not write the clipboard, the link shows selected.
    case, names = longest_section(fake)
    context = browser.new_context(viewport={"width": 1440, "height": 860})
    context.add_init_script("Object.defineProperty(navigator, 'clipboard', { value: undefined })")
    page = context.new_page()
    open_view(page, fake.url + f"/runs/{fake.run_id}/section/{urllib.parse.quote(names[0])}")
    page.wait_for_selector("#log-lines .ln")
    page.click(".section-head .copy-link")
    page.wait_for_selector(".section-head .copy-field:focus")
    assert page.input_value(".section-head .copy-field") == fake.url + fake.section_link(case)
    assert page.evaluate("(f => [f.selectionStart, f.selectionEnd])(document.activeElement)") == \
        [0, len(fake.url + fake.section_link(case))]
    page.keyboard.press("Escape")
    assert page.is_hidden(".section-head .copy-field")
    context.close()


def test_a_run_no_longer_stored_says_so(fake, page):
    open_view(page, fake.url + f"/runs/{fake.run_id}/result/")
    fake.gone = True
    page.click("#task-tree .node.task ~ .node >> nth=0")
    banner = page.wait_for_selector(".run-gone[role=alert]")
    assert banner.inner_text().startswith("This run is no longer stored.")
    page.wait_for_selector("#section-title >> text=Could not load the section: This run is no longer stored.")
    assert page.is_hidden(".section-head .copy-link")
    page.screenshot(path="/tmp/front-gone.png")


def test_the_local_viewer_has_no_copy_links(fake, page):
    open_view(page, fake.viewer_url + "/result/")
    page.click("#task-tree .node.task ~ .node >> nth=0")
    page.wait_for_selector("#log-lines .ln")
    page.click("#log-lines .ln >> nth=2 >> a.no")
    assert page.locator(".copy-link").count() == 0


def test_sign_in_page(fake, page, axe):
    page.goto(fake.url + "/login?next=%2Fruns%2Fa%3Fb%3D1&failed=1")
    assert page.is_visible("#login-failed")
    page.screenshot(path="/tmp/front-login.png")
    assert axe(page) == []
    key = page.locator("input[name=key]")
    assert key.get_attribute("type") == "password"
    assert key.get_attribute("autocomplete") == "current-password"
    assert page.input_value("#next") == "/runs/a?b=1"
    # Signing in itself, against the service's access rules: test_browser_sign_in.py.
    page.goto(fake.url + "/login")
    assert page.is_hidden("#login-failed")
    assert page.input_value("#next") == "/"
