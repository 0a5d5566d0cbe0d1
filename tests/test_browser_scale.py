"""The front end on a run of dense device output and a big text file, in
headless Chromium: the virtual device-command table and file paging."""

import os

import pytest
from tavix.log.commands.server import LogViewerServer

from helpers import archives
from helpers.browser import ARTIFACTS, answer_commands, open_view
Archive = pytest.importorskip("tavix.log.commands.archive").Archive

BIG_FILE = "logs/console-big.log"


class Dense:
    def __init__(self, server, info, archive):
        self.url, self.info, self.archive = server.url, info, archive
        self.script = info.scripts[0].sections[0]
        self.script_path = f"/result/task/0/section/{self.script.sequence_number}"
        self.commands = info.executions_in(self.script)


@pytest.fixture(scope="module")
def dense(tmp_path_factory, server_thread):
    path = str(tmp_path_factory.mktemp("browser-dense") / "dense.zip")
    info = archives.generate_archive(path, log_bytes=1_500_000, sections=20, seed=5, scripts=1,
                                     dense_devices=True)
    with Archive(path) as archive:
        os.makedirs(os.path.join(archive.dir, "logs"), exist_ok=True)
        with open(os.path.join(archive.dir, BIG_FILE), "w") as f:
            for n in range(120_000):
                f.write(f"console line {n:06d}: interface Ethernet1/{n % 48} is up — ok\n")
        with server_thread(LogViewerServer(archive)) as server:
            yield Dense(server, info, archive)


def drawn_rows(page):
    return page.eval_on_selector_all("#executions-body .exe-row:not(.pending)",
                                     "rows => rows.map(r => [+r.dataset.index, r.querySelector('.cmd').textContent])")


def test_device_commands_scroll_filter_and_open(dense, page):
    assert len(dense.commands) > 1000  # several pages of the table
    open_view(page, dense.url + dense.script_path)
    page.click("#section-view .tab[data-view=executions]")
    page.wait_for_selector("#executions-body .exe-row .cmd")
    assert page.inner_text("#exe-count") == f"{len(dense.commands):,}"
    rows = drawn_rows(page)
    assert rows[0][0] == 0 and len(rows) < 80  # only what is in view
    page.screenshot(path=os.path.join(ARTIFACTS, "viewer-device-table.png"))

    # The end: the last commands are fetched and drawn, still a screenful.
    page.click("#exe-end")
    last = len(dense.commands) - 1
    page.wait_for_function(f"document.querySelector('#executions-body .exe-row[data-index=\"{last}\"] .cmd') !== null")
    assert len(drawn_rows(page)) < 80
    final = dense.commands[-1]
    row = page.locator(f"#executions-body .exe-row[data-index='{last}']")
    assert final.device in row.inner_text()

    # A row opens that command's log.
    row.click()
    page.wait_for_function(
        "device => document.querySelector('#execution-lines').textContent.includes('+++ ' + device + ':')",
        arg=final.device)

    # Filters by device and text, as the server counts them.
    device = dense.commands[0].device
    page.fill("#exe-device", device)
    expected = sum(1 for c in dense.commands if c.device == device)
    page.wait_for_function(f"document.querySelector('#exe-status').textContent === '{expected:,} matching'")
    page.wait_for_selector("#executions-body .exe-row .cmd")
    assert all(device in page.locator(f"#executions-body .exe-row[data-index='{i}']").inner_text()
               for i, _ in drawn_rows(page)[:20])
    page.fill("#exe-device", "")
    page.fill("#exe-filter", "no command holds this")
    page.wait_for_function("document.querySelector('.exe-message')?.textContent === 'No device command matches.'")
    titled = next(c for c in dense.commands if c.title and c.execute_type == "execute")
    page.fill("#exe-filter", titled.title.upper())
    page.wait_for_function("document.querySelector('#exe-status').textContent.endsWith('matching')")
    page.wait_for_selector("#executions-body .exe-row .cmd")
    assert titled.title in drawn_rows(page)[0][1]
    page.screenshot(path=os.path.join(ARTIFACTS, "viewer-device-filter.png"))


def test_a_block_without_a_title_shows_the_first_line_its_device_wrote(dense, page):
    open_view(page, dense.url + dense.script_path)
    page.click("#section-view .tab[data-view=executions]")
    page.wait_for_selector("#executions-body .exe-row .cmd")
    rows = dict(drawn_rows(page))
    block = next(i for i, c in enumerate(dense.commands) if c.title is None and i in rows)
    page.click(f"#executions-body .exe-row[data-index='{block}']")
    page.wait_for_function("document.querySelector('#execution-lines').textContent.includes('+++')")
    banner, first = page.text_content("#execution-lines").split("\n")[:2]
    assert banner.endswith(f"+++ {dense.commands[block].device}: {dense.commands[block].execute_type} +++")
    assert rows[block] == first


def test_a_big_file_pages_in_the_files_tab(dense, page):
    open_view(page, f"{dense.url}/result/file/{BIG_FILE}")
    page.wait_for_function("document.querySelector('#file-content').textContent.startsWith('console line 000000')")
    size = os.path.getsize(os.path.join(dense.archive.dir, BIG_FILE))
    assert f"of {size:,}" in page.inner_text("#file-status")
    assert len(page.text_content("#file-content")) < 300_000  # one page, not the file
    page.eval_on_selector("#file-content", "p => p.scrollTop = p.scrollHeight")
    page.wait_for_function("document.querySelector('#file-content').dataset.pages === '2'")
    page.click("#file-end")
    page.wait_for_function("document.querySelector('#file-content').textContent.includes('console line 119999')")
    assert page.inner_text("#file-status").endswith("end of file")
    # Scrolling up from the end brings the text before it.
    page.eval_on_selector("#file-content", "p => p.scrollTop = 0")
    page.wait_for_function("document.querySelector('#file-content').dataset.pages === '2'")
    page.screenshot(path=os.path.join(ARTIFACTS, "viewer-big-file.png"))


def test_a_list_taller_than_the_browser_allows_still_reaches_its_end(dense, page):
    # Two million commands: 56 million pixels of rows, beyond what an element
    # may be tall.
    total = 2_000_000
    answer_commands(page, total)
    open_view(page, dense.url + dense.script_path)
    page.click("#section-view .tab[data-view=executions]")
    page.wait_for_selector("#executions-body .exe-row .cmd")
    assert page.inner_text("#exe-count") == f"{total:,}"
    page.click("#exe-end")
    page.wait_for_function(f"document.querySelector('#executions-body .exe-row[data-index=\"{total - 1}\"] .cmd') !== null")
    last = page.locator(f"#executions-body .exe-row[data-index='{total - 1}']")
    assert last.inner_text().endswith(f"show command {total - 1}")
    box, view = last.bounding_box(), page.locator("#executions-scroll").bounding_box()
    assert view["y"] <= box["y"] and box["y"] + box["height"] <= view["y"] + view["height"] + 1
    assert len(drawn_rows(page)) < 80
    # Halfway down the scroll range are the rows halfway down the list.
    page.eval_on_selector("#executions-scroll", "s => s.scrollTop = (s.scrollHeight - s.clientHeight) / 2")
    page.wait_for_function(f"document.querySelector('#executions-body .exe-row[data-index=\"{total // 2}\"] .cmd') !== null")


@pytest.fixture(scope="module")
def huge_blocks(tmp_path_factory, server_thread):
    """A run whose last section ends in device commands with blocks of
    megabytes: a page of them ends early on the server."""
    path = str(tmp_path_factory.mktemp("browser-huge") / "huge.zip")
    info = archives.generate_archive(path, log_bytes=100_000, sections=4, seed=2, scripts=1)
    with Archive(path) as archive:
        record = archive.results.scripts[0]["sections"][-1]
        section = archive.results.get_section(record["id"])
        with open(section.logfile, "a") as f:
            for n in range(30):
                f.write(f"{n}: {info.host}: 2026-12-07T11:53:00: %DEVICE-6-INFO: %[pid=1]: +++ R{n}: config +++\n")
                f.write(("x" * (300 << 10) + "\n") * 4)
            f.write(f"99: {info.host}: 2026-12-07T11:54:00: %SCRIPT-6-INFO: %[pid=1]: done\n")
        section.log_start, section.log_size = 0, -1
        with server_thread(LogViewerServer(archive)) as server:
            yield server.url + f"/result/task/0/section/{record['sequence_number']}"


def test_pages_the_server_ends_early_are_filled_from_their_links(huge_blocks, page):
    open_view(page, huge_blocks)
    page.click("#section-view .tab[data-view=executions]")
    page.wait_for_selector("#executions-body .exe-row .cmd")
    total = int(page.inner_text("#exe-count").replace(",", ""))
    assert total >= 30
    page.click("#exe-end")
    page.wait_for_function(f"document.querySelector('#executions-body .exe-row[data-index=\"{total - 1}\"] .cmd')")
    drawn = drawn_rows(page)
    assert drawn[-1][0] == total - 1 and page.locator("#executions-body .exe-row.pending").count() == 0
    assert "R29" in page.locator(f"#executions-body .exe-row[data-index='{total - 1}']").inner_text()
