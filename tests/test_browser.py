"""The browser front end against a running viewer server, in headless Chromium."""

import os
import pathlib
import re

import pytest
from tavix.log.commands.server import HERE as SERVER_HERE, LogViewerServer

from helpers import archives
from helpers.browser import ARTIFACTS, open_view
Archive = pytest.importorskip("tavix.log.commands.archive").Archive


class Served:
    def __init__(self, server, info, archive):
        self.url, self.info, self.archive = server.url, info, archive
        # A testcase long enough for several pages, with device commands.
        self.case = max((s for s in info.sections_of_type("testcase") if info.executions_in(s)),
                        key=lambda s: s.log_size)
        self.task = next(i for i, script in enumerate(info.scripts) if self.case in script.sections)
        self.case_path = f"/result/task/{self.task}/section/{self.case.sequence_number}"


def serve_generated(tmp_path_factory, server_thread, name, **options):
    """Generates the archive `name` with `options`, opens it and serves it."""
    path = str(tmp_path_factory.mktemp("browser") / name)
    info = archives.generate_archive(path, **options)
    with Archive(path) as archive, server_thread(LogViewerServer(archive)) as server:
        yield Served(server, info, archive)


@pytest.fixture(scope="module")
def served(tmp_path_factory, server_thread):
    yield from serve_generated(tmp_path_factory, server_thread, "nightly.zip",
                               log_bytes=600_000, sections=40, seed=11)


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
    page.wait_for_selector("#log-lines mark")

    # A reload restores the section from the URL.
    page.reload()
    page.wait_for_selector("body[data-ready=true]")
    page.wait_for_selector("#log-lines .ln")
    assert page.inner_text("#section-title") == served.case.section_name

    page.click("#section-view .tab[data-view=executions]")
    page.wait_for_selector("#executions-body .exe-row .cmd")
    first = served.info.executions_in(served.case)[0]
    page.click("#executions-body .exe-row >> nth=0")
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


@pytest.fixture(scope="module")
def served_many(tmp_path_factory, server_thread):
    """A job of thousands of sections: more tree rows than any screen holds."""
    yield from serve_generated(tmp_path_factory, server_thread, "many.zip",
                               log_bytes=600_000, sections=3000, seed=2, scripts=2)


def tree_keys(page):
    return page.eval_on_selector_all("#task-tree .node", "rows => rows.map(r => r.dataset.key)")


def test_virtual_tree_draws_only_rows_in_view(served_many, page):
    last = served_many.info.scripts[-1].sections[-1]
    key = f"task/{len(served_many.info.scripts) - 1}/section/{last.sequence_number}"
    # A deep link far down the tree: the row is drawn, selected and in view.
    open_view(page, f"{served_many.url}/result/{key}")
    page.wait_for_selector("#log-lines .ln")
    assert page.inner_text("#section-title") == last.section_name
    selected = page.locator("#task-tree .node.selected")
    assert selected.get_attribute("data-key") == key
    box, panel = selected.bounding_box(), page.locator("#tests-panel").bounding_box()
    assert panel["y"] <= box["y"] and box["y"] + box["height"] <= panel["y"] + panel["height"] + 1
    assert len(tree_keys(page)) < 120
    page.screenshot(path=os.path.join(ARTIFACTS, "viewer-tree-deep-link.png"))

    # Folding the first task hides its thousands of rows; the second task's rows follow.
    page.eval_on_selector("#tests-panel", "p => p.scrollTop = 0")
    page.click("#task-tree .node.task >> nth=0")
    keys = tree_keys(page)
    assert keys[0] == "task/0" and "task/1" in keys
    assert not any(k.startswith("task/0/") for k in keys)
    page.click("#task-tree .node.task >> nth=0")
    assert any(k.startswith("task/0/") for k in tree_keys(page))

    # A section's twisty folds its subtree only.
    script_row = page.locator("#task-tree .node[data-key='task/0/section/1'] .twisty")
    script_row.click()
    assert [k for k in tree_keys(page) if k.startswith("task/0/")] == ["task/0/section/1"]
    script_row.click()

    # Scrolling to the end draws the last rows, still only a screenful.
    page.eval_on_selector("#tests-panel", "p => p.scrollTop = p.scrollHeight")
    page.wait_for_function(f"document.querySelector(\"#task-tree .node[data-key='{key}']\") !== null")
    assert len(tree_keys(page)) < 120


# --- search, filters, line links ---------------------------------------------

def section_data(served):
    with open(os.path.join(served.archive.dir, served.case.log_file), "rb") as f:
        f.seek(served.case.log_start)
        return f.read(served.case.log_size)


def last_line_of_case(served):
    return section_data(served).rstrip(b"\n").rsplit(b"\n", 1)[-1].decode()


def test_search_goes_to_a_hit_beyond_the_loaded_pages_and_links_to_its_line(served, page):
    open_view(page, served.url + served.case_path)
    page.wait_for_selector("#log-lines .ln")
    last = last_line_of_case(served)
    assert last not in page.inner_text("#log-lines")
    page.fill("#log-search", last)
    page.press("#log-search", "Enter")
    hit = page.wait_for_selector("#log-lines .ln.hit mark.current")
    assert hit.inner_text() == last
    assert page.inner_text("#search-count").startswith("1 of ")
    os.makedirs(ARTIFACTS, exist_ok=True)
    page.screenshot(path=os.path.join(ARTIFACTS, "viewer-search.png"))
    # The line number links to the line; the link opens it highlighted.
    link = page.get_attribute("#log-lines .ln.hit a.no", "href")
    assert link.startswith(served.case_path + "?at=")
    open_view(page, served.url + link)
    line = page.wait_for_selector("#log-lines .ln.hit")
    assert line.query_selector(".tx").inner_text().endswith(last)
    # Numbered from 1, as read_lines counts them.
    data = section_data(served)
    assert int(page.inner_text("#log-lines .ln.hit a.no")) == data.rstrip(b"\n").count(b"\n") + 1
    # A regular expression, from the toolbar's toggle: the line's tail after its record prefix.
    page.check("#search-regex")
    tail = last.rsplit(": ", 1)[-1]
    page.fill("#log-search", re.escape(tail) + "$")
    page.press("#log-search", "Enter")
    page.wait_for_function("tail => document.querySelector('#log-lines .ln.hit mark.current')?.textContent === tail",
                           arg=tail)


def test_chip_and_name_filters_and_failure_keys(served, page):
    open_view(page, served.url + "/result")
    rows = page.locator("#task-tree .node").count()
    errored = [s for s in served.info.sections if str(s.result).lower().startswith("err")]
    chip = page.locator("#summary-counts .chip.r-error").first
    chip.click()
    page.wait_for_function(f"document.querySelectorAll('#task-tree .node').length !== {rows}")
    shown = page.inner_text("#task-tree")
    assert errored[0].section_name in shown
    # Rows other than ancestors (which show their subtree's fold mark) are errored.
    leaves = page.eval_on_selector_all(
        "#task-tree .node:not(.task)",
        "rows => rows.filter(r => !r.querySelector('.twisty').textContent)"
        ".map(r => r.querySelector('.dot').className)")
    assert leaves and all("r-error" in c for c in leaves)
    chip.click()
    page.fill("#name-filter", served.case.section_name)
    page.wait_for_function(
        "name => [...document.querySelectorAll('#task-tree .node')].length < 20 && "
        "document.querySelector('#task-tree').innerText.includes(name)", arg=served.case.section_name)
    page.fill("#name-filter", "")
    page.evaluate("document.activeElement.blur()")  # keys typed into a box stay there
    # "]" selects the next failed or errored section, "[" the previous one.
    page.keyboard.press("]")
    page.wait_for_selector("#section-view:not([hidden]) #section-result")
    page.wait_for_function("() => /fail|err/i.test(document.querySelector('#section-result').textContent)")
    first = page.url
    page.keyboard.press("]")
    page.wait_for_function(f"location.href !== {first!r}")
    page.keyboard.press("[")
    page.wait_for_function(f"location.href === {first!r}")



# Notes each answer the page's code has read, by URL, so that a test knows
# when an answer held back has reached the view.
COUNT_ANSWERS = """
window.answersRead = [];
const json = Response.prototype.json;
Response.prototype.json = function () {
  const url = this.url;
  return json.call(this).finally(() => window.answersRead.push(url));
};
"""


class HeldBack:
    """Holds back the answer to the first request of `pattern`; the others pass.
    The page counts the answers it reads (COUNT_ANSWERS)."""

    def __init__(self, page, pattern):
        self.page, self.pattern, self.route = page, pattern, None
        page.route(pattern, self.handle)

    def handle(self, route):
        if self.route is None:
            self.route = route
        else:
            route.continue_()

    def release(self):
        """Lets the held answer go; returns its body once the page's code has read it."""
        url = self.route.request.url
        with self.page.expect_response(url) as answer:
            self.route.continue_()
        self.page.wait_for_function("url => window.answersRead.includes(url)", arg=url)
        # What follows the read runs before the next frames.
        self.page.evaluate("() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done)))")
        return answer.value.json()


def check_the_later_answer_stays(page, held, pane, open_second):
    """With the answer for the first thing opened held back, opens the second
    (`open_second()`), then lets the first answer go: `pane` keeps the second."""
    page.wait_for_function("pane => document.querySelector(pane).textContent === 'Loading…'", arg=pane)
    with page.expect_response(held.pattern) as second:
        open_second()
    shown = "".join(second.value.json()["file_content"])
    page.wait_for_function("([pane, text]) => document.querySelector(pane).textContent === text", arg=[pane, shown])
    first = "".join(held.release()["file_content"])
    assert first != shown
    assert page.text_content(pane) == shown


def test_a_slow_answer_never_replaces_what_was_opened_after_it(served, page):
    # The log of command A comes after command B was opened: B stays shown.
    page.add_init_script(COUNT_ANSWERS)
    held = HeldBack(page, "**/sections/*/*/log")
    open_view(page, served.url + served.case_path)
    page.click("#section-view .tab[data-view=executions]")
    page.wait_for_selector("#executions-body .exe-row[data-index='1'] .cmd")
    page.click("#executions-body .exe-row[data-index='0']")
    check_the_later_answer_stays(page, held, "#execution-lines",
                                 lambda: page.click("#executions-body .exe-row[data-index='1']"))
    assert page.get_attribute("#executions-body .exe-row[data-index='1']", "aria-selected") == "true"


def test_a_slow_file_never_replaces_the_file_opened_after_it(served, page):
    # One opened by its link, then another from the tree.
    page.add_init_script(COUNT_ANSWERS)
    held = HeldBack(page, "**/filelines/**")
    open_view(page, served.url + "/result/file/configs/R1/running-config.txt")
    page.click(".sidebar .tab[data-tab=files]")
    page.click("#file-tree .node.dir:has-text('R2')")
    check_the_later_answer_stays(page, held, "#file-content",
                                 lambda: page.click("#file-tree .node:visible:has-text('running-config.txt') >> nth=1"))
    assert page.inner_text("#file-title") == "configs/R2/running-config.txt"


# Counts what a module could attach: listeners, observers, timers, frames.
COUNT_ATTACHING = """
window.attached = [];
const note = (what) => window.attached.push(what);
const listen = EventTarget.prototype.addEventListener;
EventTarget.prototype.addEventListener = function (type, ...rest) {
  note(`listener ${type}`);
  return listen.call(this, type, ...rest);
};
for (const name of ["setTimeout", "setInterval", "requestAnimationFrame"]) {
  const original = window[name];
  window[name] = (...args) => { note(name); return original(...args); };
}
for (const name of ["ResizeObserver", "MutationObserver", "IntersectionObserver"]) {
  const Original = window[name];
  window[name] = class extends Original { constructor(...args) { note(name); super(...args); } };
}
"""


def test_modules_attach_nothing_when_imported(served, page):
    # Each page's entry point wires the views; the modules themselves only define them.
    static = pathlib.Path(SERVER_HERE) / "static"
    entries = {name for page_file in static.glob("*.html")
               for name in re.findall(r'<script type="module" src="/([^"]+)"', page_file.read_text())}
    assert {"app.js", "home.js", "login.js"} <= entries
    modules = sorted(p.name for p in static.glob("*.js") if p.name not in entries)
    assert "logline.js" in modules and "latest.js" in modules
    page.add_init_script(COUNT_ATTACHING)
    page.goto(served.url + "/style.css")
    attached = page.evaluate("""async (modules) => {
      for (const name of modules) await import(`/${name}`);
      return window.attached;
    }""", modules)
    assert attached == []
    # The counting sees what the viewer attaches once it starts.
    page.evaluate("async () => (await import('/logline.js')).attachLineHandlers(document)")
    assert page.evaluate("window.attached") == ["listener copy", "listener click", "listener keydown"]


def test_only_the_newest_request_is_answered(served, page):
    page.goto(served.url + "/style.css")
    answer = page.evaluate("""async () => {
      const { Latest } = await import('/latest.js');
      const latest = new Latest(), seen = [];
      const deferred = () => {
        const held = {};
        held.promise = new Promise((resolve, reject) => Object.assign(held, { resolve, reject }));
        return held;
      };
      const note = (name) => [(value) => seen.push(`${name} ${value}`), (error) => seen.push(`${name} ${error.message}`)];
      // Turns of the event loop, after which every answer given has been passed on.
      const settled = () => new Promise((done) => setTimeout(done));
      const [a, b, c, d, e] = [deferred(), deferred(), deferred(), deferred(), deferred()];
      const first = latest.begin();
      first.keep(a.promise).then(...note("first"));
      const second = latest.begin();
      const more = latest.last;  // one more page of the second: it stays current
      second.keep(b.promise).then(...note("second"));
      more.keep(c.promise).then(...note("more"));
      a.reject(new Error("failed late"));
      b.resolve("B");
      c.reject(new Error("failed"));
      await settled();
      const current = [first.current(), second.current(), more.current()];
      second.keep(d.promise).then(...note("second again"));
      latest.drop();
      d.resolve("D");
      latest.begin().keep(e.promise).then(...note("third"));
      e.resolve("E");
      await settled();
      return { seen, current, after: second.current() };
    }""")
    assert answer == {"seen": ["second B", "more failed", "third E"], "current": [False, True, True], "after": False}
