"""The views driven by keyboard alone and read through their ARIA roles, in
headless Chromium; axe-core checks every main view."""

import pytest
from tavix.log.commands.server import LogViewerServer

from helpers import archives
from helpers.browser import answer_commands, open_view
Archive = pytest.importorskip("tavix.log.commands.archive").Archive


class Run:
    def __init__(self, server, info):
        self.url, self.info = server.url, info
        self.case = max((s for s in info.sections_of_type("testcase") if info.executions_in(s)),
                        key=lambda s: len(info.executions_in(s)))
        self.task = next(i for i, script in enumerate(info.scripts) if self.case in script.sections)
        self.case_key = f"task/{self.task}/section/{self.case.sequence_number}"
        quiet = next(s for s in info.sections if not info.executions_in(s))
        task = next(i for i, script in enumerate(info.scripts) if quiet in script.sections)
        self.quiet_key = f"task/{task}/section/{quiet.sequence_number}"


@pytest.fixture(scope="module")
def run(tmp_path_factory, server_thread):
    path = tmp_path_factory.mktemp("keyboard") / "nightly.zip"
    info = archives.generate_archive(path, log_bytes=300_000, sections=120, seed=3, failure_causes=True)
    with Archive(path) as archive, server_thread(LogViewerServer(archive)) as server:
        yield Run(server, info)


def focused(page, attribute="data-key"):
    return page.evaluate(f"document.activeElement.getAttribute({attribute!r})")


def tab_stops(page, container):
    return page.eval_on_selector_all(f"{container} [tabindex='0']", "rows => rows.length")


def show_section(page, run, tab="log", key=None):
    open_view(page, f"{run.url}/result/{key or run.case_key}")
    page.wait_for_selector("#log-lines .ln")
    if tab == "executions":
        page.click("#section-tabs [data-view=executions]")
        page.wait_for_selector("#executions-body .exe-row .cmd")
        page.click("#executions-body .exe-row >> nth=0")
        page.wait_for_selector("#execution-log:not([hidden])")
    elif tab == "no executions":
        page.click("#section-tabs [data-view=executions]")
        page.wait_for_function("document.querySelector('#exe-message').textContent.startsWith('No device')")


def show_sidebar_tab(page, run, tab):
    open_view(page, run.url + "/result")
    page.click(f"#sidebar-tabs [data-tab={tab}]")
    if tab == "failures":
        page.wait_for_selector("#failures-panel .failure")


def show_timeline(page, run):
    open_view(page, run.url + "/result/timeline")
    page.wait_for_function("document.querySelector('#timeline-status').textContent.includes('lanes')")


VIEWS = {
    "landing page": lambda page, run: open_view(page, run.url + "/result"),
    "section log": show_section,
    "device commands": lambda page, run: show_section(page, run, "executions"),
    "no device commands": lambda page, run: show_section(page, run, "no executions", run.quiet_key),
    "Failures tab": lambda page, run: show_sidebar_tab(page, run, "failures"),
    "Files tab": lambda page, run: show_sidebar_tab(page, run, "files"),
    "Timeline": show_timeline,
}


@pytest.mark.parametrize("view", VIEWS)
def test_axe_finds_no_serious_violation(run, page, axe, view):
    VIEWS[view](page, run)
    assert axe(page) == []


def test_the_test_tree_by_keyboard(run, page):
    open_view(page, run.url + "/result")
    tree = page.locator("#task-tree")
    assert tree.get_attribute("role") == "tree"
    # Tab from the last box before the tree lands on its one tab stop, the first row.
    page.focus("#name-filter")
    page.keyboard.press("Tab")
    assert focused(page) == "task/0"
    assert focused(page, "role") == "treeitem" and focused(page, "aria-level") == "1"
    assert focused(page, "aria-expanded") == "true"
    assert tab_stops(page, "#task-tree") == 1

    # ↓ goes to the script, → goes on to its first child, ← back to the parent.
    page.keyboard.press("ArrowDown")
    script = focused(page)
    assert focused(page, "aria-level") == "2"
    page.keyboard.press("ArrowRight")
    child = focused(page)
    assert child != script and focused(page, "aria-level") == "3"
    assert focused(page, "aria-posinset") == "1" and focused(page, "aria-expanded") == "true"
    # ← folds an open row, and on a folded one goes to the parent.
    page.keyboard.press("ArrowLeft")
    assert focused(page) == child and focused(page, "aria-expanded") == "false"
    page.keyboard.press("ArrowLeft")
    assert focused(page) == script
    page.keyboard.press("ArrowLeft")
    assert focused(page, "aria-expanded") == "false"
    assert page.locator(f"#task-tree [data-key='{child}']").count() == 0
    page.keyboard.press("ArrowRight")
    assert focused(page, "aria-expanded") == "true"
    assert page.locator(f"#task-tree [data-key='{child}']").count() == 1
    assert tab_stops(page, "#task-tree") == 1

    # End reaches the last row, drawn and in view; Home the first again.
    page.keyboard.press("End")
    last = run.info.scripts[-1].sections[-1]
    assert focused(page).startswith(f"task/{len(run.info.scripts) - 1}/section/{last.sequence_number}")
    box, panel = page.evaluate("document.activeElement.getBoundingClientRect().bottom"), \
        page.locator("#tests-panel").bounding_box()
    assert box <= panel["y"] + panel["height"] + 1
    page.keyboard.press("Home")
    assert focused(page) == "task/0"

    # Enter opens a section; the focus stays on its row, now selected.
    page.fill("#name-filter", run.case.section_name)
    page.keyboard.press("Tab")
    for _ in range(10):
        if focused(page) == run.case_key:
            break
        page.keyboard.press("ArrowDown")
    page.keyboard.press("Enter")
    page.wait_for_selector("#log-lines .ln")
    assert page.url.endswith("/result/" + run.case_key)
    assert focused(page) == run.case_key and focused(page, "aria-selected") == "true"
    assert page.locator("#task-tree [aria-selected=true]").count() == 1
    # Unfolding another row (folded above) keeps the focus there, not on the selected one.
    page.fill("#name-filter", "")
    page.keyboard.press("Tab")
    assert focused(page) == run.case_key
    page.keyboard.press("Home")
    page.keyboard.press("ArrowDown")
    page.keyboard.press("ArrowDown")
    setup = focused(page)
    assert setup == child and focused(page, "aria-expanded") == "false"
    page.keyboard.press("ArrowRight")
    assert focused(page) == setup and focused(page, "aria-expanded") == "true"


def test_tree_positions_count_siblings_at_each_level(run, page):
    open_view(page, run.url + "/result")
    # Depths of rows in tree order -> each row's position among its siblings and their number.
    depths = [0, 1, 2, 2, 3, 2, 1, 1, 3, 0]
    answer = page.evaluate("async (depths) => { const m = await import('/treeview.js');"
                           " const p = m.siblingPositions(depths); return [[...p.position], [...p.size]]; }", depths)
    assert answer == [[1, 1, 1, 2, 1, 3, 2, 3, 1, 2], [2, 3, 3, 3, 1, 3, 3, 3, 1, 2]]


def test_tabs_move_by_arrow_keys_and_show_their_panels(run, page):
    open_view(page, run.url + "/result")
    tabs = page.locator("#sidebar-tabs [role=tab]")
    assert [tabs.nth(i).get_attribute("aria-selected") for i in range(3)] == ["true", "false", "false"]
    assert tab_stops(page, "#sidebar-tabs") == 1
    page.focus("#sidebar-tabs [data-tab=tests]")
    page.keyboard.press("ArrowRight")
    page.keyboard.press("ArrowRight")
    assert focused(page, "data-tab") == "failures" and focused(page, "aria-selected") == "true"
    panel = page.locator("#" + focused(page, "aria-controls"))
    assert panel.get_attribute("role") == "tabpanel" and panel.is_visible()
    assert page.is_hidden("#tests-tab") and page.is_hidden("#files-panel")
    page.keyboard.press("ArrowRight")  # wraps around
    assert focused(page, "data-tab") == "tests" and page.is_visible("#tests-panel")
    page.keyboard.press("End")
    assert focused(page, "data-tab") == "failures"


def test_a_tab_added_at_run_time_joins_the_tab_list(run, page):
    open_view(page, run.url + "/result")
    # A tab list of one tab, "one", to which a view adds the tab "two".
    page.evaluate("""async () => {
        const { Tabs } = await import('/tabs.js');
        const list = Object.assign(document.createElement('div'), { id: 'extra-tabs' });
        list.innerHTML = '<button role="tab" data-view="one" aria-controls="panel-one" class="tab active">One</button>';
        const one = Object.assign(document.createElement('div'), { id: 'panel-one' });
        const two = Object.assign(document.createElement('div'), { id: 'panel-two' });
        document.body.append(list, one, two);
        window.shown = [];
        new Tabs(list, 'view').add('two', { label: 'Two', panel: two, onShow: () => window.shown.push('two') });
    }""")
    tab = page.locator("#extra-tabs [data-view=two]")
    assert tab.get_attribute("role") == "tab" and tab.get_attribute("aria-selected") == "false"
    assert tab.get_attribute("aria-controls") == "panel-two" and tab.get_attribute("tabindex") == "-1"
    assert page.get_attribute("#panel-two", "role") == "tabpanel"
    assert page.get_attribute("#panel-two", "aria-labelledby") == tab.get_attribute("id")
    hidden = "() => ['#panel-one', '#panel-two'].map(id => document.querySelector(id).hidden)"
    assert page.evaluate(hidden) == [False, True]
    page.focus("#extra-tabs [data-view=one]")
    page.keyboard.press("ArrowRight")
    assert focused(page, "data-view") == "two" and tab.get_attribute("aria-selected") == "true"
    assert page.evaluate(hidden) == [True, False]
    assert page.evaluate("window.shown") == ["two"]


def test_failures_list_by_keyboard_filters_the_tree(run, page):
    open_view(page, run.url + "/result")
    page.click("#sidebar-tabs [data-tab=failures]")
    page.wait_for_selector("#failures-panel .failure")
    assert page.get_attribute(".failures-list", "role") == "listbox"
    page.focus("#failures-panel [role=option][tabindex='0']")
    assert focused(page, "data-index") == "0" and focused(page, "aria-posinset") == "1"
    page.keyboard.press("ArrowDown")
    assert focused(page, "data-index") == "1"
    assert tab_stops(page, "#failures-panel") == 1
    # Enter chooses the group: the tree shows it and takes the focus.
    page.keyboard.press("Enter")
    page.wait_for_selector("#failure-filter:not([hidden])")
    assert focused(page, "role") == "treeitem"
    page.click("#sidebar-tabs [data-tab=failures]")
    assert page.get_attribute("#failures-panel [data-index='1']", "aria-selected") == "true"


def test_device_commands_by_keyboard(run, page):
    open_view(page, f"{run.url}/result/{run.case_key}")
    page.wait_for_selector("#log-lines .ln")
    page.click("#section-tabs [data-view=executions]")
    page.wait_for_selector("#executions-body .exe-row .cmd")
    commands = run.info.executions_in(run.case)
    assert page.get_attribute("#executions-table", "aria-rowcount") == str(len(commands) + 1)
    page.focus("#executions-body [role=row][tabindex='0']")
    assert focused(page, "aria-rowindex") == "2"
    page.keyboard.press("ArrowDown")
    page.keyboard.press("Enter")
    page.wait_for_function("device => document.querySelector('#execution-lines').textContent.includes(device)",
                           arg=commands[1].device)
    assert focused(page, "aria-selected") == "true"
    # Escape closes the command's log and leaves the focus on its row.
    page.focus("#execution-lines")
    page.keyboard.press("Escape")
    assert page.is_hidden("#execution-log")
    assert focused(page, "data-index") == "1"
    page.keyboard.press("End")
    assert focused(page, "data-index") == str(len(commands) - 1)


def test_end_key_reaches_the_last_of_more_rows_than_an_element_can_be_tall(run, page):
    total = 2_000_000  # 56 million pixels of rows
    answer_commands(page, total)
    open_view(page, f"{run.url}/result/{run.case_key}")
    page.click("#section-tabs [data-view=executions]")
    page.wait_for_selector("#executions-body .exe-row .cmd")
    page.focus("#executions-body [role=row][tabindex='0']")
    page.keyboard.press("End")
    last = page.locator(f"#executions-body .exe-row[data-index='{total - 1}']")
    last.locator(".cmd").wait_for()
    assert focused(page, "data-index") == str(total - 1)
    box, view = last.bounding_box(), page.locator("#executions-scroll").bounding_box()
    assert view["y"] <= box["y"] and box["y"] + box["height"] <= view["y"] + view["height"] + 1
    # Page Up goes a screenful back each time, the row scrolled into view.
    for _ in range(3):
        page.keyboard.press("PageUp")
    row = int(focused(page, "data-index"))
    assert total - 120 < row < total - 40
    box = page.locator(f"#executions-body .exe-row[data-index='{row}']").bounding_box()
    assert view["y"] - 1 <= box["y"] and box["y"] + box["height"] <= view["y"] + view["height"] + 1


def test_files_tree_by_keyboard(run, page):
    open_view(page, run.url + "/result")
    page.click("#sidebar-tabs [data-tab=files]")
    assert page.get_attribute("#file-tree", "role") == "tree"
    page.focus("#file-tree [role=treeitem][tabindex='0']")
    assert focused(page) == "dir/configs" and focused(page, "aria-expanded") == "true"
    page.keyboard.press("ArrowRight")
    assert focused(page) == "dir/configs/R1" and focused(page, "aria-expanded") == "false"
    page.keyboard.press("ArrowRight")
    page.keyboard.press("ArrowRight")
    key = focused(page)
    assert key.startswith("file/configs/R1/") and focused(page, "aria-level") == "3"
    page.keyboard.press("Enter")
    page.wait_for_function("path => document.querySelector('#file-title').textContent === path", arg=key[5:])
    assert page.url.endswith("/result/" + key)
    assert focused(page) == key and focused(page, "aria-selected") == "true"


def test_timeline_by_keyboard(run, page):
    open_view(page, run.url + "/result/timeline")
    page.wait_for_function("document.querySelector('#timeline-status').textContent.includes('lanes')")
    page.focus("#timeline-lanes")
    page.keyboard.press("ArrowDown")
    page.keyboard.press("ArrowDown")
    # The second lane: the second section right below a script.
    heads = page.evaluate("async () => { const m = await import('/tree.js'); const r = await fetch("
                          "'/private/v1/standalone/tree'); const nodes = m.treeNodes(await r.json());"
                          " return nodes.filter(n => nodes[n.parent]?.type === 'testscript').map(n => [n.key, n.name]); }")
    assert page.inner_text("#timeline-lane").startswith(heads[1][1] + ", ")
    page.keyboard.press("Enter")
    page.wait_for_selector("#section-view:not([hidden]) #log-lines .ln")
    assert page.url.endswith("/result/" + heads[1][0])
