"""Triage in the viewer, under the team service and in the local viewer: a
failure marked through its panel in one run carries its kind into the next
run of the suite, where the "to investigate" chip leaves it out; suggestions
applied, claims released, long names beside the badges, and `tavix logs
view` writing the marks `tavix logs marks` lists."""
import contextlib
import json
import urllib.request

from helpers.browser import open_view, shot
from helpers.history_runs import make_run
from helpers.service import ServiceParts


def push(url, path):
    request = urllib.request.Request(url + "/api/v1/runs", data=path.read_bytes(), method="POST")
    with urllib.request.urlopen(request, timeout=30) as answer:
        return json.load(answer)["run"]


def run_of(tmp_path, day, seconds):
    return make_run(tmp_path / f"r{day}.zip", f"r{day}", f"2026-12-0{day}T01:00:00",
                    [("link", "failed", [], f"link down after {seconds} s"), ("disk", "failed", [], "disk full"),
                     ("setup", "passed")])


def open_section(page, name):
    page.click(f"#task-tree .node:has(.name:text-is('{name}'))")
    page.wait_for_selector(".triage-panel summary")


def open_panel(page, url, name):
    """The triage panel of section `name` in the viewer at `url`, opened."""
    open_view(page, url)
    page.wait_for_selector("body[data-triage=ready]")
    open_section(page, name)
    page.click(".triage-panel summary")
    return page.locator(".triage-panel")


def test_the_panel_shows_the_service_refusal_and_passes_axe(tmp_path, server_thread, browser, axe):
    parts = ServiceParts(tmp_path / "service")
    page = browser.new_page(viewport={"width": 1440, "height": 860})
    page.set_default_timeout(4000)
    with server_thread(parts.application()) as server:
        push(server.url, run_of(tmp_path, 1, 30))
        panel = open_panel(page, server.url + "/runs/r1/result/", "disk")
        # A ticket that is no web address is refused, the service's reason shown.
        panel.get_by_label("Ticket").fill("javascript:alert(1)")
        panel.get_by_role("button", name="Mark").click()
        page.wait_for_selector(".triage-error:not(:empty)")
        assert "http" in panel.get_by_role("alert").inner_text()
        assert page.inner_text(".triage-panel summary") == "Triage: to investigate"
        assert axe(page) == []
        shot(page, "triage-refused.png")
    page.close()


def test_a_mark_set_in_the_panel_follows_the_cause_into_the_next_run(tmp_path, server_thread, browser):
    parts = ServiceParts(tmp_path / "service")
    page = browser.new_page(viewport={"width": 1440, "height": 860})
    page.set_default_timeout(4000)
    with server_thread(parts.application()) as server:
        push(server.url, run_of(tmp_path, 1, 30))
        panel = open_panel(page, server.url + "/runs/r1/result/", "link")
        assert page.inner_text("#task-tree .node:has(.name:text-is('link')) .triage-badge") == "to investigate"

        panel.get_by_label("Kind").select_option("environment")
        panel.get_by_label("Scope").select_option("signature")
        panel.get_by_label("Ticket").fill("https://tickets.example/LAB-7")
        # The shortcuts "/", "[" and "]" stay out of what is typed in the panel.
        panel.get_by_label("Comment").focus()
        page.keyboard.type("<b>switch</b> reboots [lab/2]")
        panel.get_by_role("button", name="Mark").click()
        page.wait_for_selector(".triage-panel summary:text('Triage: environment')")
        assert panel.locator(".triage-comment").inner_text() == "<b>switch</b> reboots [lab/2]"
        assert panel.get_by_role("link", name="https://tickets.example/LAB-7").get_attribute("href") == \
            "https://tickets.example/LAB-7"
        assert page.inner_text("#task-tree .node:has(.name:text-is('link')) .triage-badge") == "environment"
        shot(page, "triage-panel.png")

        push(server.url, run_of(tmp_path, 2, 31))
        open_view(page, server.url + "/runs/r2/result/")
        page.wait_for_selector("body[data-triage=ready]")
        assert page.inner_text("#task-tree .node:has(.name:text-is('link')) .triage-badge") == "environment"
        assert page.inner_text("#task-tree .node:has(.name:text-is('disk')) .triage-badge") == "to investigate"
        page.click(".triage-chip")
        page.wait_for_function("!document.querySelector(\"#task-tree .node .name[title='link']\") && "
                               "[...document.querySelectorAll('#task-tree .node .name')].some(n => n.textContent === 'disk')")
        assert page.get_attribute(".triage-chip", "aria-pressed") == "true"
        names = page.eval_on_selector_all("#task-tree .node .name", "nodes => nodes.map(n => n.textContent)")
        assert "disk" in names and "link" not in names and "setup" not in names
        shot(page, "triage-next-run.png")

        # A claim shows who is on it, and leaves the failure to investigate.
        open_section(page, "disk")
        page.click(".triage-panel summary")
        page.get_by_role("button", name="I'm on it").click()
        page.wait_for_selector(".triage-panel summary:text('Triage: to investigate · anonymous is on it')")
        assert page.inner_text(".triage-chip b") == "1"
        page.click("#sidebar-tabs [data-tab=failures]")
        page.wait_for_selector("#failures-panel .failure .triage-badge")
        kinds = page.eval_on_selector_all("#failures-panel .failure", "cards => cards.map(c => "
                                          "[c.querySelector('.failure-signature').textContent, "
                                          "c.querySelector('.triage-badge').textContent])")
        assert sorted(kinds) == [["disk full", "to investigate"], ["link down after <N> s", "environment"]]
        shot(page, "triage-failures.png")

        # The home page counts what is left in each run: disk, claimed but not marked.
        open_view(page, server.url + "/?suite=nightly")
        page.wait_for_selector(".runs-body .run")
        rows = page.eval_on_selector_all(".runs-body [data-index]", "rows => rows.map(r => [...r.querySelectorAll("
                                         "'[role=gridcell]')].map(c => c.textContent))")
        assert [(row[1], row[-2], row[-1]) for row in rows] == [("r2", "1", "50%"), ("r1", "1", "50%")]
    page.close()


# ------------------------------------------------------------- local viewer
@contextlib.contextmanager
def local_viewer(tmp_path, monkeypatch, marked, shown):
    """The local viewer of run 2 (cases `shown`, for make_run), the index
    holding run 1 (cases `marked`) before it: (application, index), its
    triage written as "ada"."""
    from tavix.log.commands.archive import Archive
    from tavix.log.commands.history import RunIndex, index_url
    from tavix.log.commands.history.viewer import history_for_viewer
    from tavix.log.commands.server import LogViewerServer

    monkeypatch.setattr("getpass.getuser", lambda: "ada")
    url = str(tmp_path / "index.sqlite")
    with RunIndex(index_url(url)) as index:
        with Archive(make_run(tmp_path / "r1.zip", "r1", "2026-12-01T01:00:00", marked)) as archive:
            index.record(archive)
        with Archive(make_run(tmp_path / "r2.zip", "r2", "2026-12-02T01:00:00", shown)) as archive:
            yield LogViewerServer(archive, history=history_for_viewer(archive, url)), index


CORE, LAB, EDGE = ("link down on port eth1 of core switch", "link down on port eth1 of lab switch after reload",
                   "link down on port eth1 of edge switch")


def test_one_click_applies_one_suggestion_and_release_ends_a_claim(tmp_path, monkeypatch, server_thread, browser):
    page = browser.new_page(viewport={"width": 1440, "height": 860})
    page.set_default_timeout(4000)
    with local_viewer(tmp_path, monkeypatch, [("uplink", "failed", [], CORE), ("ports", "failed", [], LAB)],
                      [("uplink", "failed", [], EDGE), ("setup", "passed")]) as (app, index), server_thread(app) as server:
        index.set_mark("nightly", kind="environment", author="bob", signature=CORE, ticket="https://tickets.example/LAB-7")
        index.set_mark("nightly", kind="product-bug", author="bob", signature=LAB, comment="<b>reboot</b> loop")
        panel = open_panel(page, server.url + "/result", "uplink")
        offered = panel.locator(".triage-suggestions li")
        assert offered.count() == 2 and "environment" in offered.first.inner_text()
        shot(page, "triage-suggestions.png")
        offered.nth(1).get_by_role("button", name="Apply").click()
        page.wait_for_selector(".triage-panel summary:text('Triage: product bug')")
        marks = index.marks("nightly")
        assert len(marks) == 3
        applied = [m for m in marks if m["signature"] == EDGE]
        assert [(m["kind"], m["author"], m["ticket"]) for m in applied] == [("product-bug", "ada", None)]
        assert page.inner_text("#task-tree .node:has(.name:text-is('uplink')) .triage-badge") == "product bug"
        assert panel.locator(".triage-suggestions").count() == 0
        # The history strip shows the mark now on the section, as text.
        page.wait_for_selector("#section-facts .history-mark")
        assert page.inner_text("#section-facts .history-marks") == "product bug"
        assert page.get_attribute("#section-facts .history-mark", "title") == \
            "product bug on this cause by ada: <b>reboot</b> loop"
        assert page.locator("#section-facts b").count() == 0
        shot(page, "triage-applied.png")

        panel.get_by_role("button", name="I'm on it").click()
        page.wait_for_selector(".triage-panel summary:text('Triage: product bug · ada is on it')")
        panel.get_by_role("button", name="Release").click()
        page.wait_for_selector(".triage-panel summary:text-is('Triage: product bug')")
        assert panel.get_by_role("button", name="Release").count() == 0
        assert index.claims("nightly") == []
        changes = [c["action"] for c in index.triage("nightly")["marks"][-1]["history"]]
        assert changes == ["set"]
    page.close()


def test_long_names_keep_their_room_beside_the_badges(tmp_path, monkeypatch, server_thread, browser):
    cases = [("InterfaceBringUp%d" % n, "failed", [("testsection_%d" % n, "failed")], "link down after %d s" % n)
             for n in range(10, 16)]
    page = browser.new_page(viewport={"width": 1440, "height": 860})
    page.set_default_timeout(4000)
    with local_viewer(tmp_path, monkeypatch, cases, cases) as (app, index), server_thread(app) as server:
        for category in index.run_marks(index.run_by_request_id("r2"))["categories"]:
            index.set_mark("nightly", kind="environment", author="bob", signature=category["signature"])
        open_view(page, server.url + "/result")
        page.wait_for_selector("body[data-triage=ready]")
        page.wait_for_selector("#task-tree .node .triage-badge")
        # Every name fits its row: none is cut short while a badge could give way.
        rows = page.eval_on_selector_all("#task-tree .node:has(.triage-badge)", """rows => rows.map(row => {
            const name = row.querySelector('.name');
            return [name.textContent, name.scrollWidth <= name.clientWidth,
                    row.querySelector('.triage-badge').getBoundingClientRect().right <= row.getBoundingClientRect().right];
        })""")
        assert len(rows) == 12 and all(fits and inside for _, fits, inside in rows), rows
        shot(page, "triage-long-names.png")
        page.click("#sidebar-tabs [data-tab=failures]")
        page.wait_for_selector("#failures-panel .failure .triage-badge")
        clipped = page.eval_on_selector_all("#failures-panel .failure", """cards => cards.flatMap(card => {
            const edge = card.querySelector('.failure-head').getBoundingClientRect().right;
            return [...card.querySelectorAll('.history-badge, .triage-badge')]
                .filter(badge => badge.getBoundingClientRect().right > edge + 0.5).map(b => b.textContent);
        })""")
        assert clipped == []
        shot(page, "triage-failure-badges.png")
    page.close()


def test_a_failure_marked_in_logs_view_is_in_logs_marks(tmp_path, browser):
    import signal
    import subprocess
    import sys

    from helpers.logs_view import tavix, wait_for_url
    from helpers.processes import child_environment

    env = child_environment(HOME=str(tmp_path / "home"), TAVIX_CONFIG=str(tmp_path / "none.cfg"), LOGNAME="ada")
    env.pop("TAVIX_INDEX", None)
    path = run_of(tmp_path, 1, 30)
    process = tavix(env, "view", str(path), "--no-browser", "--host", "127.0.0.1")
    page = browser.new_page(viewport={"width": 1440, "height": 860})
    page.set_default_timeout(4000)
    try:
        base, token = wait_for_url(process)
        assert token
        open_view(page, f"{base}/result?token={token}")
        page.wait_for_selector("body[data-triage=ready]")
        open_section(page, "disk")
        page.click(".triage-panel summary")
        panel = page.locator(".triage-panel")
        panel.get_by_label("Kind").select_option("test-bug")
        panel.get_by_label("Comment").fill("fixture fills the disk")
        panel.get_by_role("button", name="Mark").click()
        page.wait_for_selector(".triage-panel summary:text('Triage: test bug')")
    finally:
        page.close()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=30)
    assert process.returncode == 0 and "Traceback" not in err
    listed = subprocess.run([sys.executable, "-m", "tavix.cli.main", "logs", "marks", "nightly", "--json"], env=env,
                            capture_output=True, text=True, timeout=60)
    assert listed.returncode == 0, listed.stderr
    marks = json.loads(listed.stdout)["marks"]
    assert [(m["scope"], m["path"], m["kind"], m["author"], m["comment"], m["last_seen"]) for m in marks] == [
        ("path", ["s.py", "disk"], "test-bug", "ada", "fixture fills the disk", "r1")]
    # The viewer recorded the run as `tavix logs history` does: found again, not recorded twice.
    history = subprocess.run([sys.executable, "-m", "tavix.cli.main", "logs", "history", str(path), "--json"],
                             env=env, capture_output=True, text=True, timeout=60)
    assert history.returncode == 0, history.stderr
    answer = json.loads(history.stdout)
    assert answer["earlier_runs"] == []
    assert [[m["kind"] for m in n["marks"]] for n in answer["nodes"] if n["path"] == ["s.py", "disk"]] == [["test-bug"]]


def test_sections_of_one_name_carry_their_own_marks_and_the_chip_counts_the_index_s(
        tmp_path, monkeypatch, server_thread, browser):
    # The run index knows the second "check" as "check#2": the viewer finds
    # its marks by that path, not by the names shown in the tree.
    page = browser.new_page(viewport={"width": 1440, "height": 860})
    page.set_default_timeout(4000)
    cases = [("check", "failed", [], "disk full"), ("check", "failed", [], "link down"), ("setup", "passed")]
    with local_viewer(tmp_path, monkeypatch, cases, cases) as (app, index), server_thread(app) as server:
        index.set_mark("nightly", kind="test-bug", author="bob", path=["s.py", "check#2"])
        open_view(page, server.url + "/result")
        page.wait_for_selector("body[data-triage=ready]")
        badges = page.locator("#task-tree .node:has(.name:text-is('check')) .triage-badge")
        assert badges.all_inner_texts() == ["to investigate", "test bug"]
        assert page.inner_text(".triage-chip b") == "1"
