"""The Changes and Diff tabs of a viewer with a baseline run, in headless Chromium."""

import pytest

from tavix.log.commands.archive import Archive
from tavix.log.commands.parser import base
from tavix.log.commands.server import LogViewerServer

from helpers.browser import open_view, shot
from helpers.hand_made_runs import make_run, record


def log(day, pid, changed):
    lines = []
    for i in range(120):
        if i == 40:
            lines.append(record(i, "ERROR: BGP neighbour 10.0.0.2 went down" if changed else "neighbour 10.0.0.2 up",
                                day=day, pid=pid, severity=3 if changed else 6))
        elif i == 80 and changed:
            lines.append(record(i, "retrying the session at 0x7f00%02x" % pid, day=day, pid=pid))
        else:
            lines.append(record(i, "step %d: checking interface Ethernet1/%d" % (i, i % 8), day=day, pid=pid))
        lines.append("  raw device output %d" % i)
    return lines


@pytest.fixture(scope="module")
def compared(tmp_path_factory, server_thread):
    folder = tmp_path_factory.mktemp("compare")
    base_path = make_run(folder / "base.zip", [("bgp.py", [
        ("test_neighbours", "passed", log(7, 100, False), [("verify", "passed", [record(1, "ok", day=7)])]),
        ("test_routes", "failed", [record(1, "ERROR: no route", day=7, severity=3)], []),
        ("test_stable", "passed", log(7, 100, False), [])])])
    new_path = make_run(folder / "new.zip", [("bgp.py", [
        ("test_neighbours", "failed", log(8, 200, True), [("verify", "failed", [record(5, "ERROR: mismatch", severity=3)])]),
        ("test_routes", "passed", [record(1, "routes ok")], []),
        ("test_stable", "passed", log(8, 200, False), []),
        ("test_new", "passed", [record(1, "hello")], [])])])
    with Archive(base_path) as base_run, Archive(new_path) as new_run, \
            server_thread(LogViewerServer(new_run, baseline=base_run)) as server:
        yield server.url, new_run


def test_changes_tab_lists_and_opens_sections(compared, page, axe):
    url, new_run = compared
    open_view(page, url + "/result")
    tab = page.locator('.sidebar .tab[data-tab="changes"]')
    tab.wait_for(state="visible")
    tab.click()
    page.wait_for_selector("#changes-panel .change")
    groups = page.locator("#changes-panel .change-group").all_inner_texts()
    assert [g.split("\n")[0] for g in groups] == ["Newly failing", "Fixed", "Still failing", "Only in this run",
                                                  "Only in the baseline"]
    assert [g.split("\n")[-1] for g in groups] == ["2", "1", "0", "1", "0"]
    assert page.inner_text("#change-count") == "2"
    # Badges on the tree.
    assert page.locator("#task-tree .change-mark.mark-newly").count() == 2
    assert page.locator("#task-tree .change-mark.mark-fixed").count() == 1
    shot(page, "changes-tab.png")
    assert axe(page) == []
    # The keyboard opens the first entry, below its group's head: test_neighbours.
    page.focus("#changes-panel [role=option][tabindex='0']")
    page.keyboard.press("ArrowDown")
    page.keyboard.press("Enter")
    page.wait_for_function("document.querySelector('#section-title').textContent === 'test_neighbours'")
    # The log pane draws headers dimmed, and short on request; copying gives the original text.
    page.wait_for_selector("#log-lines .ln .hd")
    page.keyboard.press("h")
    assert page.evaluate("document.body.classList.contains('headers-collapsed')")
    first = page.locator("#log-lines .ln .tx").first
    assert first.locator(".hd[data-short]").get_attribute("data-short") == "17:17:41 info "
    assert first.inner_text() == "2026-12-08T17:17:41step 0: checking interface Ethernet1/0"  # only the stamp's box shows
    assert not first.locator(".hd").first.is_visible()
    assert first.get_attribute("data-text").startswith("0: lab1: 2026-12-08T17:17:41: %SCRIPT-6-INFO")
    shot(page, "log-short-headers.png")
    copied = page.evaluate("""() => {
      const lines = document.querySelectorAll('#log-lines .ln .tx');
      const range = document.createRange();
      range.setStart(lines[0].lastChild, 2);
      range.setEnd(lines[1].firstChild, 3);
      document.getSelection().removeAllRanges();
      document.getSelection().addRange(range);
      let text = null;
      document.addEventListener('copy', (e) => { text = e.clipboardData.getData('text/plain'); }, { once: true });
      document.execCommand('copy');
      return text;
    }""")
    assert copied.split("\n") == [
        "0: lab1: 2026-12-08T17:17:41: %SCRIPT-6-INFO: %[pid=200][pname=MainProcess]: step 0: checking interface Ethernet1/0",
        "  raw device output 0"]
    page.keyboard.press("h")


def test_changes_list_by_keyboard(compared, page):
    url, _ = compared
    open_view(page, url + "/result")
    page.locator('.sidebar .tab[data-tab="changes"]').click()
    page.wait_for_selector("#changes-panel .change")
    assert page.get_attribute("#changes-panel .changes-list", "role") == "listbox"

    def focused(attribute):
        return page.evaluate(f"document.activeElement.getAttribute({attribute!r})")

    def stops():
        return page.eval_on_selector_all("#changes-panel [tabindex='0']", "rows => rows.map((r) => r.dataset.index)")

    # One tab stop, on the first row: the head of its group, which opens nothing.
    assert stops() == ["0"]
    page.focus("#changes-panel [role=option][tabindex='0']")
    assert focused("aria-disabled") == "true" and focused("aria-setsize") == "9" and focused("aria-posinset") == "1"
    page.keyboard.press("Enter")
    assert page.is_hidden("#section-view")
    # The arrows, Home and End move the tab stop and the focus together.
    for key, row in [("ArrowDown", "1"), ("ArrowDown", "2"), ("ArrowUp", "1"), ("End", "8"), ("ArrowDown", "8"),
                     ("Home", "0"), ("ArrowUp", "0"), ("PageDown", "8"), ("PageUp", "0"), ("ArrowDown", "1")]:
        page.keyboard.press(key)
        assert (key, focused("data-index"), stops()) == (key, row, [row])
    assert "test_neighbours" in page.inner_text("#changes-panel [data-index='1']")
    page.keyboard.press(" ")
    page.wait_for_function("document.querySelector('#section-title').textContent === 'test_neighbours'")
    page.locator('.sidebar .tab[data-tab="changes"]').click()
    assert page.get_attribute("#changes-panel [data-index='1']", "aria-selected") == "true"
    assert stops() == ["1"]


def open_diff(page, compared, name):
    """Opens the Diff tab of section `name` of the new run; its sequence number."""
    url, new_run = compared
    paths = base.section_paths(new_run.results)
    seq = next(new_run.results.get_section(i)["sequence_number"] for i, p in paths.items() if p[-1] == name)
    open_view(page, url + "/result/task/0/section/%d" % seq)
    diff_tab = page.locator('#section-view .tab[data-view="diff"]')
    diff_tab.wait_for(state="visible")
    diff_tab.click()
    page.wait_for_selector("#diff-view .drow.op-add")
    return seq


def test_diff_tab_unified_and_side_by_side(compared, page, axe):
    seq = open_diff(page, compared, "test_neighbours")
    status = page.inner_text("#diff-view .diff-status")
    assert "masked: sequence number, timestamp, process" in status
    # Only the lines that changed beyond the masked fields: two places, and the testsection inside.
    assert status.startswith("6 lines changed in 3 places")
    deleted = page.locator("#diff-view .drow.op-del .tx").first
    assert "neighbour 10.0.0.2 up" in deleted.inner_text()
    assert page.locator("#diff-view .drow.op-del").first.locator("mark.chg").count() == 1
    assert page.locator("#diff-view .drow.op-add mark.chg").first.inner_text().startswith("ERROR: BGP")
    shot(page, "diff-unified.png")
    # Next change goes to the second place; a new-side number links to the line of this run.
    page.keyboard.press("n")
    page.keyboard.press("n")
    assert "step 80: checking" in page.inner_text("#diff-view .drow.current")
    added = page.locator("#diff-view .drow.op-add", has_text="retrying the session")
    assert added.locator("a.no").get_attribute("href").startswith("/result/task/0/section/%d?at=" % seq)
    page.click("#diff-view button:has-text('Side by side')")
    page.wait_for_selector("#diff-view .dside.del")
    assert page.locator("#diff-view .drow .dside").count() >= 2
    shot(page, "diff-side-by-side.png")
    assert axe(page) == []
    page.locator("#diff-view .dside.add", has_text="retrying the session").locator("a.no").click()
    page.wait_for_selector("#log-lines .ln.hit")
    assert "retrying the session" in page.inner_text("#log-lines .ln.hit")


def test_a_section_the_baseline_lacks_says_so(compared, page):
    url, new_run = compared
    paths = base.section_paths(new_run.results)
    seq = next(new_run.results.get_section(i)["sequence_number"] for i, p in paths.items() if p[-1] == "test_new")
    open_view(page, url + "/result/task/0/section/%d" % seq)
    page.locator('#section-view .tab[data-view="diff"]').click()
    page.wait_for_function("document.querySelector('#diff-view .diff-status').textContent.includes('no section')")


def test_a_base_line_number_opens_the_baseline_log_there(compared, page, axe):
    seq = open_diff(page, compared, "test_neighbours")
    # By keyboard: the base-side number of the removed line is a link; Enter follows it.
    link = page.locator("#diff-view .drow.op-del a.no").first
    number = link.inner_text()
    assert link.get_attribute("href").startswith("/result/task/0/section/%d?base_at=" % seq)
    link.focus()
    page.keyboard.press("Enter")
    hit = page.locator("#diff-view .diff-baseline .ln.hit")
    hit.wait_for()
    assert "neighbour 10.0.0.2 up" in hit.inner_text() and hit.locator("a.no").inner_text() == number
    assert page.evaluate("document.activeElement.getAttribute('aria-label')") == "Log of the baseline's section"
    assert "base_at=" in page.url
    shot(page, "diff-baseline-log.png")
    assert axe(page) == []
    # Escape closes it; the diff keeps the focus.
    page.keyboard.press("Escape")
    assert page.locator("#diff-view .diff-baseline").is_hidden()
    # The link's address opens the same view afresh.
    address = page.url
    page.goto("about:blank")
    open_view(page, address)
    hit.wait_for()
    assert "neighbour 10.0.0.2 up" in hit.inner_text()
    # The side-by-side view links base lines the same way.
    page.click("#diff-view button:has-text('Side by side')")
    assert page.locator("#diff-view .dside.del a.no").first.get_attribute("href").startswith(
        "/result/task/0/section/%d?base_at=" % seq)
