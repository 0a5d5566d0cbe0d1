"""The viewer against hostile requests and archives: errors, never a crash."""

import asyncio
import os

import pytest

from tavix.log.commands.parser import base

from tavix.log.commands.server import LogViewerServer

from helpers import archives
from helpers.waiting import Requests, until
Archive = pytest.importorskip("tavix.log.commands.archive").Archive

P = "/private/v1/standalone"
HUGE = 9223372036854775807  # the start the hostile run gives one section


@pytest.fixture
def info(generated_run):
    return generated_run


@pytest.fixture
def hostile_archive(hostile_run):
    with Archive(hostile_run.path) as opened:
        yield opened


def section_ids(archive, names):
    """{kind: section id} for the sections named in `names`."""
    found = {}
    for task in archive.results.scripts:
        for section in task["sections"]:
            for kind, name in names.items():
                if section.get("section_name") == name:
                    found[kind] = section["id"]
    assert found.keys() == names.keys()
    return found


async def raw_get(client, target):
    """The status line of a GET sent exactly as written (no path normalising)."""
    reader, writer = await asyncio.open_connection(client.server.host, client.server.port)
    writer.write(f"GET {target} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n".encode())
    await writer.drain()
    answer = await reader.read()
    writer.close()
    head, _, body = answer.partition(b"\r\n\r\n")
    return int(head.split()[1]), body


async def test_directories_and_other_non_files_are_refused(aiohttp_client, archive):
    client = await aiohttp_client(LogViewerServer(archive))
    cases = [("/filepage/.", b"FILE_READ_FAILED"), ("/filepage/configs", b"FILE_READ_FAILED"),
             ("/filepage/configs?offset=5&limit=10", b"FILE_READ_FAILED"),
             ("/filelines/.", b"FILE_READ_FAILED"), ("/filelines/configs", b"FILE_READ_FAILED"),
             ("/download/configs", b"DOWNLOAD_FILE_FAILED"), ("/download/configs/", b"")]
    for path, detail in cases:
        status, body = await raw_get(client, P + path)
        assert status >= 400 and detail in body, path
    os.mkfifo(os.path.join(archive.dir, "pipe.log"))
    for path, detail in [("/filepage/pipe.log", "FILE_READ_FAILED"), ("/filelines/pipe.log", "FILE_READ_FAILED"),
                         ("/download/pipe.log", "DOWNLOAD_FILE_FAILED"), ("/file/pipe.log", "DOWNLOAD_FILE_FAILED")]:
        response = await client.get(P + path)
        assert (response.status, await response.json()) == (500, {"detail": detail})
    assert (await client.get(P + "/summary")).status == 200


def test_the_readers_refuse_what_is_not_a_regular_file(archive, info):
    configs = os.path.join(archive.dir, "configs")
    with pytest.raises(IsADirectoryError):
        archive.read_bytes(configs, 0, 100, limit=10)
    with pytest.raises(IsADirectoryError):
        archive.read_bytes(configs, limit=10)
    with pytest.raises(IsADirectoryError):
        archive.read_lines(configs)
    with pytest.raises(IsADirectoryError):
        archive.read_file("configs")
    log = os.path.join(archive.dir, info.scripts[0].log_file)
    size = os.path.getsize(log)
    with pytest.raises(ValueError, match="past the end"):
        archive.read_bytes(log, HUGE, 100, limit=10)
    with pytest.raises(ValueError, match="past the end"):
        archive.read_bytes(log, size + 1, 100, limit=10)
    # A section that starts inside the file and claims more than it holds
    # gives what is there, then nothing.
    with open(log) as text:
        tail = text.read()[-2:]
    assert archive.read_bytes(log, size - 4, 100, offset=2, limit=10) == tail
    assert archive.read_bytes(log, size - 4, 100, offset=50, limit=10) == ""
    assert archive.read_bytes(log, size, 100, limit=10) == ""


async def test_sections_of_a_hostile_archive_answer_errors(aiohttp_client, hostile_run, hostile_archive):
    client = await aiohttp_client(LogViewerServer(hostile_archive))
    ids = section_ids(hostile_archive, hostile_run.names)
    for kind, section_id in ids.items():
        base = P + "/sections/" + section_id
        for query in ["", "?offset=50&limit=10", "?offset=0&limit=4194304"]:
            response = await client.get(base + "/log" + query)
            assert response.status == 500, kind
            assert await response.json() == {"detail": "SECTION_LOG_READ_FAIL"}, kind
        assert (await client.get(base)).status == 200
        for suffix in ["/executions", "/executions?offset=0", "/search?q=a", "/search?q=a.&regex=1",
                       "/scan", "/x/log"]:
            assert (await client.get(base + suffix)).status in (200, 500), suffix
    for path in ["/categories", "/timeline", "/timeline/0/histogram", "/tree", "/search?q=host"]:
        assert (await client.get(P + path)).status in (200, 500), path
    assert (await client.get(P + "/summary")).status == 200


async def test_job_search_and_failures_skip_unreadable_logs(aiohttp_client, hostile_run, hostile_archive):
    client = await aiohttp_client(LogViewerServer(hostile_archive))
    ids = section_ids(hostile_archive, hostile_run.names)
    answer = await (await client.get(P + "/search?q=lab-host")).json()
    assert sorted(answer["unreadable"]) == sorted(ids.values())
    assert answer["total"] > 0 and not set(ids.values()) & {entry["id"] for entry in answer["sections"]}
    assert "complete" not in answer
    # A query that cannot be compiled is still the query's fault.
    assert (await client.get(P + "/search?q=(&regex=1")).status == 400

    for query in ["", "?causes=true"]:
        answer = await (await client.get(P + "/categories" + query)).json()
        assert sorted(answer["unreadable"]) == sorted(ids.values())
        grouped = {node for category in answer["categories"] for node in category["sections"]}
        assert grouped and not grouped & set(ids.values())
        assert not set(answer["unexplained"]) & set(ids.values())


async def test_readable_runs_report_nothing_unreadable(client):
    assert "unreadable" not in await (await client.get(P + "/search?q=lab-host")).json()
    assert "unreadable" not in await (await client.get(P + "/categories")).json()


async def test_names_with_spaces_and_reports_in_any_case(aiohttp_client, archive):
    os.makedirs(os.path.join(archive.dir, "my reports"))
    files = {"my reports/Nightly Report.HTML": b"<html><body>nightly</body></html>",
             "Summary.PDF": b"%PDF-1.4\n%%EOF\n", "notes with spaces.txt": b"some notes\n",
             "picture.svg": b"<svg xmlns='http://www.w3.org/2000/svg'><script>alert(1)</script></svg>"}
    for name, data in files.items():
        with open(os.path.join(archive.dir, name), "wb") as f:
            f.write(data)
    client = await aiohttp_client(LogViewerServer(archive))
    # The routes of old: a space stops them, an upper-case report gets the entry page.
    assert (await client.get(P + "/download/notes with spaces.txt")).status == 404
    page = await client.get("/result/archive/Summary.PDF")
    assert page.status == 200 and page.content_type == "text/html"

    for name in ["notes with spaces.txt", "my reports/Nightly Report.HTML", "Summary.PDF"]:
        response = await client.get(P + "/file/" + name)
        assert response.status == 200, name
        assert await response.read() == files[name]
        assert response.headers["Content-Disposition"] == "attachment; filename=" + name.split("/")[-1]
    for name, content_type in [("my reports/Nightly Report.HTML", "text/html"), ("Summary.PDF", "application/pdf")]:
        response = await client.get("/reports/" + name)
        assert (response.status, response.content_type) == (200, content_type), name
        assert await response.read() == files[name]
        assert response.headers["Access-Control-Allow-Origin"] == "*"
    for name in ["picture.svg", "notes with spaces.txt", "missing.html", "..%2Foutside.html", "my reports"]:
        response = await client.get("/reports/" + name)
        assert (response.status, await response.json()) == (500, {"detail": "SERVE_FILE_FAILED"}), name
    assert (await client.get(P + "/file/no such file")).status == 500

    guarded = await aiohttp_client(LogViewerServer(archive, access_token="t0ken"))
    report = await guarded.get("/reports/my reports/Nightly Report.HTML",
                               headers={"Authorization": "Bearer t0ken"})
    assert report.headers["Content-Security-Policy"] == "sandbox allow-scripts allow-popups"
    for path in ["/reports/Summary.PDF", P + "/file/Summary.PDF"]:
        assert (await guarded.get(path)).status == 403



COSTLY = "[a-q][^u-z]{20}x"  # a regular expression that makes the lazy DFA work hard


async def test_searches_stop_when_their_clients_leave(aiohttp_client, archive, info):
    # Some 40 MB of log in the last section: a costly search takes seconds.
    log = os.path.join(archive.dir, info.scripts[0].log_file)
    with open(log, "rb") as f:
        text = f.read()
    with open(log, "ab") as f:
        for _ in range((40 << 20) // len(text)):
            f.write(text)
    last = archive.results.get_section(archive.results.scripts[0]["sections"][-1]["id"])
    last.log_size = -1
    app = LogViewerServer(archive)
    client = await aiohttp_client(app)
    running = app._searches["running"]

    searches = [asyncio.ensure_future(client.get(P + f"/search?q={COSTLY}&regex=1&case={i}"))
                for i in range(2)]
    assert await until(lambda: running.get(("job", "127.0.0.1")) == 2, 2)
    # A third from the same client waits for none of them: it is refused.
    refused = await client.get(P + f"/search?q={COSTLY}x&regex=1")
    assert refused.status == 429 and refused.headers["Retry-After"] == "1"
    assert await refused.json() == {"detail": "TOO_MANY_SEARCHES"}
    # Section searches and page reads have threads of their own meanwhile.
    section = archive.results.scripts[0]["sections"][1]["id"]
    assert (await client.get(P + f"/sections/{section}/search?q=a")).status == 200
    assert (await client.get(P + f"/sections/{section}/log")).status == 200

    for search in searches:
        search.cancel()
    # Each stops at its next block of the log, long before its minute is up.
    assert await until(lambda: not running, 2), running
    assert not app._searches["flags"]
    answer = await client.get(P + "/search?q=lab-host")
    assert answer.status == 200 and "complete" not in await answer.json()


async def test_a_search_whose_client_left_while_it_waited_never_starts(aiohttp_client, archive):
    requests = Requests()
    app = LogViewerServer(archive, middlewares=[requests.middleware])
    client = await aiohttp_client(app)
    started = []
    original = type(archive).count_matches

    class Counting(type(archive)):
        def count_matches(self, *args, **kwargs):
            started.append(args[0])
            return original(self, *args, **kwargs)

    archive.__class__ = Counting
    pool = app._searches["pools"]
    blocker = __import__("threading").Event()
    # The job-search pool busy: the search waits in its queue.
    from concurrent.futures import ThreadPoolExecutor

    pool["job"] = ThreadPoolExecutor(max_workers=1)
    pool["job"].submit(blocker.wait, 5)
    waiting = asyncio.ensure_future(client.get(P + "/search?q=lab-host"))
    assert await until(lambda: app._searches["running"], 2)
    waiting.cancel()
    await requests.reach(left=1)
    blocker.set()
    assert await until(lambda: not app._searches["running"], 2)
    assert started == []


async def test_escaped_answers_keep_within_the_cap(aiohttp_client, archive):
    cap = 8 << 20
    with open(os.path.join(archive.dir, "zeros.bin"), "wb") as f:
        f.write(b"\0" * (5 << 20))
    with open(os.path.join(archive.dir, "controls.txt"), "wb") as f:
        f.write((b"\x01" * 99 + b"\n") * 30_000)  # 3 MB of text escaped six-fold
    client = await aiohttp_client(LogViewerServer(archive))

    response = await client.get(P + "/filepage/zeros.bin?offset=1000&limit=4194304")
    body = await response.read()
    assert response.status == 200 and cap * 0.8 < len(body) <= cap + 1000
    page = __import__("json").loads(body)
    covered = len(page["file_content"])
    assert page["file_content"] == "\0" * covered
    assert page["next"].endswith(f"?offset={1000 + covered}&limit={covered}")
    # Pages that fit are what they were.
    page = await (await client.get(P + "/filepage/zeros.bin?offset=0&limit=100000")).json()
    assert len(page["file_content"]) == 100000 and page["next"].endswith("offset=100000&limit=100000")

    response = await client.get(P + "/filelines/controls.txt")
    body = await response.read()
    assert cap * 0.8 < len(body) <= cap + 1000
    record = __import__("json").loads(body)
    assert record["truncated"] and record["file_size"] == 3_000_000
    assert all(line == "\x01" * 99 + "\n" for line in record["file_content"][:-1])


def test_clients_that_do_not_read_cannot_take_the_memory(generated_run):
    import time
    import urllib.request

    from helpers.processes import LARGE_FILES, ViewerProcess, rss_kib, stalled_requests

    with ViewerProcess(generated_run.path, LARGE_FILES) as viewer:
        urllib.request.urlopen(viewer.url + P + "/summary").read()
        before = rss_kib(viewer.pid)
        paths = [P + "/filelines/big.txt", P + "/filepage/zeros.bin?limit=4194304"] * 20
        stalled = stalled_requests(viewer.port, paths)
        most = 0
        for _ in range(10):
            # Answered meanwhile, though the large answers wait for a slot.
            assert urllib.request.urlopen(viewer.url + P + "/summary", timeout=10).status == 200
            most = max(most, rss_kib(viewer.pid))
            time.sleep(0.1)
        for s in stalled:
            s.close()
        assert most - before < 120 << 10, (before, most)
        # The memory goes back once they have gone.
        for _ in range(50):
            if rss_kib(viewer.pid) - before < 80 << 10:
                break
            time.sleep(0.1)
        assert rss_kib(viewer.pid) - before < 80 << 10, (before, rss_kib(viewer.pid))
        # And large answers are served again.
        page = urllib.request.urlopen(viewer.url + P + "/filepage/zeros.bin?limit=10").read()
        assert b'"file_content": "\\u0000' in page


async def test_a_scan_stops_when_every_request_for_it_has_left(aiohttp_client, tmp_path):
    path = str(tmp_path / "dense.zip")
    archives.generate_archive(path, log_bytes=4 << 20, sections=4, seed=3, scripts=1, dense_devices=True)
    with Archive(path) as archive:
        # 300 MB of device commands: a scan of seconds.
        record = archives.stretch_last_section(archive, 72)
        requests = Requests()
        app = LogViewerServer(archive, middlewares=[requests.middleware])
        client = await aiohttp_client(app)
        url = P + f"/sections/{record['id']}"

        async def scanning():
            return (await (await client.get(url + "/scan")).json())["scanning"]

        # One thread, so that the scan lasts well beyond the cancellations.
        previous = base._set_scan_stretches(0, 1)
        try:
            waiting = [asyncio.ensure_future(client.get(url + suffix)) for suffix in
                       ["/executions", "/executions?limit=5", "/no-such-command/log"]]
            assert await until(lambda: app._scans, 2)
            assert await scanning()
            waiting[0].cancel()
            await requests.reach(left=1)
            assert await scanning()  # others still wait for it
        finally:
            base._set_scan_stretches(*previous)
        for request in waiting[1:]:
            request.cancel()
        scan = next(iter(app._scans.values()))[1]
        # Stopped, not finished: nothing is kept, and the next request scans again.
        assert await until(lambda: not app._scans, 1.5)
        assert isinstance(scan.exception(), RuntimeError) and not await scanning()
