"""Triage in the viewer under the team service: a failure marked through its
panel in one run carries its kind into the next run of the suite, where the
"to investigate" chip leaves it out."""
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


def open_panel(page, server, name):
    open_view(page, server.url + "/runs/r1/result/")
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
        panel = open_panel(page, server, "disk")
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
        panel = open_panel(page, server, "link")
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
