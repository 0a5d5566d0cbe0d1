"""The viewer server at the scale of a nightly run: paged and filtered device
commands, scans off the event loop, and answers of bounded size."""

import asyncio
import os
import subprocess
import sys
import threading
import urllib.parse
import zipfile

import pytest

from tavix.log.commands.parser import base
from tavix.log.commands.parser.base import LogSection
from tavix.log.commands.server import LogViewerServer

from helpers.routes import CAP, P, busiest, executions_url, expect_error
from helpers.sections import literal_match

HOST = "lab-host1"


async def pages(client, url):
    """Every page from `url` on, following the "next" links."""
    answers = []
    while url:
        answer = await (await client.get(url)).json()
        answers.append(answer)
        url = answer["next"]
    return answers


# --- paged and filtered device commands ------------------------------------------

async def test_pages_join_up_to_the_whole_list_for_every_filter(client, archive):
    script = busiest(archive)
    whole = await (await client.get(executions_url(script))).json()
    assert whole == archive.results.get_section(script["id"]).all_executions()
    assert len(whole) >= 15
    devices = sorted({e["device"] for e in whole})
    assert "édge-02" in devices  # travels encoded in the links
    cases = [("", ""), (devices[0], ""), ("édge-02", ""), ("", "SHOW"), ("", "config"), ("", "10.0."),
             ("R1", "interface"), ("", "grün"), ("", "nothing like this"), ("nowhere", "")]
    for device, q in cases:
        params = {"limit": 7, **({"device": device} if device else {}), **({"q": q} if q else {})}
        answers = await pages(client, executions_url(script, **params))
        expected = [e for e in whole if literal_match(e, device, q)]
        assert [e for a in answers for e in a["executions"]] == expected, (device, q)
        assert all(a["total"] == len(expected) for a in answers)
        assert [a["offset"] for a in answers] == list(range(0, max(len(expected), 1), 7))
        assert all(len(a["executions"]) == 7 for a in answers[:-1])
        assert list(answers[0]) == ["total", "offset", "executions", "next"]

    # Defaults: offset 0 and pages of 100; past the end an empty page.
    first = await (await client.get(executions_url(script, offset=0))).json()
    assert first["executions"] == whole[:100] and first["offset"] == 0
    beyond = await (await client.get(executions_url(script, offset=10 ** 15, limit=5))).json()
    assert beyond == {"total": len(whole), "offset": 10 ** 15, "executions": [], "next": None}


async def test_bad_paging_values_answer_a_clear_error(client, archive):
    script = busiest(archive)
    offset_error = "offset must be a whole number from 0 to 9223372036854775807"
    limit_error = "limit must be a whole number from 1 to 10000"
    for params, detail in [({"offset": "-1"}, offset_error), ({"offset": "abc"}, offset_error),
                           ({"offset": "1.5"}, offset_error), ({"offset": str(2 ** 63)}, offset_error),
                           ({"limit": "0"}, limit_error), ({"limit": "-3"}, limit_error),
                           ({"limit": "many"}, limit_error), ({"limit": "10001"}, limit_error),
                           ({"limit": str(10 ** 40)}, limit_error),
                           ({"device": "d" * 1001}, "device must be at most 1000 characters long"),
                           ({"q": "q" * 1001}, "q must be at most 1000 characters long")]:
        await expect_error(await client.get(executions_url(script, **params)), detail)
    await expect_error(await client.get(executions_url({"id": "nope"}, limit=5)), "EXECUTION_RETRIEVE_FAILED")
    assert (await client.get(executions_url(script, limit=10000, q="x" * 1000))).status == 200


async def test_overridden_pieces_take_the_general_path(client, archive, monkeypatch):
    script = busiest(archive)
    section = archive.results.get_section(script["id"])
    whole = section.all_executions()
    # A section whose list is its own: pages are cut from that list.
    before = base._command_paths()
    # Set and taken out of the instance dictionary itself: undoing setattr may
    # leave the bound stock method there, which would keep the section from
    # looking stock.
    monkeypatch.setitem(vars(section), "all_executions", lambda: whole[::-1])
    answers = await pages(client, executions_url(script, limit=4, device=whole[0]["device"]))
    assert [e for a in answers for e in a["executions"]] == [e for e in whole[::-1]
                                                             if e["device"] == whole[0]["device"]]
    assert await (await client.get(executions_url(script))).json() == whole[::-1]
    assert base._command_paths()["override"] >= before["override"] + len(answers) + 1
    monkeypatch.undo()
    assert "all_executions" not in vars(section)
    # An execution with its own JSON form is filtered and answered by it, on
    # the table (the object handed out by get_execution) and on the dictionary
    # child_execute hands out.
    mine = {"execute_id": "mine", "device": "own", "title": "Mine"}
    LogSection.child_execute.fget.cache_clear()
    for way in ("table", "objects"):
        before = base._command_paths()
        if way == "table":
            execute = section.get_execution(whole[3]["execute_id"])
        else:
            execute = section.child_execute[whole[3]["execute_id"]]
        monkeypatch.setitem(vars(execute), "to_json", lambda: mine)
        answer = await (await client.get(executions_url(script, device="own", q="MINE"))).json()
        assert answer["executions"] == [mine] and answer["total"] == 1, way
        answer = await (await client.get(executions_url(script, offset=3, limit=1))).json()
        assert answer["executions"] == [mine], way
        after = base._command_paths()
        assert after[way] >= before[way] + 2 and after["judged"] > before["judged"], way
        monkeypatch.undo()
        assert "to_json" not in vars(execute)


# --- scans off the event loop --------------------------------------------------------

async def test_concurrent_cold_scan_is_shared_and_the_loop_keeps_answering(client, archive, monkeypatch):
    script = busiest(archive)
    stock = LogSection.child_execute
    release, started = threading.Event(), threading.Event()
    worker_scans = []

    def gated(section):
        if threading.current_thread() is not threading.main_thread():
            worker_scans.append(section)
            started.set()
            assert release.wait(10)
        return stock.fget(section)

    monkeypatch.setattr(LogSection, "child_execute", property(gated))
    url = executions_url(script)
    requests = [asyncio.ensure_future(client.get(u)) for u in
                [url, url, executions_url(script, limit=3), executions_url(script, q="show")]]
    await asyncio.get_running_loop().run_in_executor(None, started.wait, 10)
    # While the scan waits, the loop answers other requests and tells that
    # the scan is running.
    status = await (await client.get(P + f"/sections/{script['id']}/scan")).json()
    assert status["scanning"] is True and status["elapsed"] >= 0
    assert (await client.get(P + "/metadata")).status == 200
    page = await client.get(P + f"/sections/{script['id']}/log?limit=100")
    assert page.status == 200 and not any(r.done() for r in requests)
    release.set()
    answers = [await (await r).json() for r in requests]
    assert len(worker_scans) == 1
    assert answers[0] == answers[1] == archive.results.get_section(script["id"]).all_executions()
    assert answers[2]["executions"] == answers[0][:3]
    status = await (await client.get(P + f"/sections/{script['id']}/scan")).json()
    assert status == {"scanning": False, "elapsed": None}
    # The command's log is found by the ids handed out.
    log = await client.get(P + f"/sections/{script['id']}/{answers[0][-1]['execute_id']}/log")
    assert log.status == 200 and "+++" in (await log.json())["file_content"][0]


async def test_cold_scans_of_the_stock_section_agree(client, archive):
    script = busiest(archive)
    answers = await asyncio.gather(*[client.get(executions_url(script, limit=50)) for _ in range(6)],
                                   *[client.get(executions_url(script)) for _ in range(2)])
    bodies = [await a.json() for a in answers]
    ids = [[e["execute_id"] for e in b["executions"]] for b in bodies[:6]]
    assert all(i == ids[0] for i in ids)
    assert [e["execute_id"] for e in bodies[6]][:50] == ids[0] and bodies[6] == bodies[7]


async def test_a_failed_scan_is_tried_again(client, archive, monkeypatch):
    script = busiest(archive)
    stock = LogSection.child_execute
    failures = [OSError("disk gone")]

    def flaky(section):
        if failures:
            raise failures.pop()
        return stock.fget(section)

    monkeypatch.setattr(LogSection, "child_execute", property(flaky))
    await expect_error(await client.get(executions_url(script, limit=5)), "EXECUTION_RETRIEVE_FAILED")
    answer = await (await client.get(executions_url(script, limit=5))).json()
    assert len(answer["executions"]) == 5


# --- answers of bounded size -------------------------------------------------------

def write_big_text(path, size):
    line = "ligne de journal — 中文 ✓ the quick brown fox\n".encode()
    with open(path, "wb") as f:
        f.write(line * (size // len(line) + 1))
    return os.path.getsize(path)


async def test_big_text_files_answer_their_start_and_page_through(client, archive):
    size = write_big_text(os.path.join(archive.dir, "configs", "big.log"), CAP + 300_000)
    name = urllib.parse.quote("configs/big.log", safe="")
    record = await (await client.get(P + "/filelines/" + name)).json()
    assert list(record) == ["file_name", "file_content", "content_type", "truncated", "file_size"]
    assert record["truncated"] is True and record["file_size"] == size
    text = "".join(record["file_content"])
    with open(os.path.join(archive.dir, "configs", "big.log"), "rb") as f:
        whole = f.read().decode()
    assert whole.startswith(text) and CAP - 3 <= len(text.encode()) <= CAP + 3

    # A file at the cap is the plain record.
    write_big_text(os.path.join(archive.dir, "small.txt"), 1000)
    small = await (await client.get(P + "/filelines/small.txt")).json()
    assert list(small) == ["file_name", "file_content", "content_type"]

    url = P + "/filepage/" + name
    texts, link = [], url + "?limit=1000000"
    while link:
        page = await (await client.get(link)).json()
        texts.append(page["file_content"])
        link = page["next"]
    assert "".join(texts) == whole and len(texts) == -(-size // 1000000)
    last = await (await client.get(url, params={"offset": "4000000", "limit": "1000000"})).json()
    assert last["previous"] == url + "?offset=3000000&limit=1000000"
    assert (await (await client.get(url)).json())["next"] == url + "?offset=20480&limit=20480"

    for params, detail in [({"offset": "-1"}, "offset must be greater or equal to 0, limit must be greater than 0"),
                           ({"limit": "0"}, "offset must be greater or equal to 0, limit must be greater than 0"),
                           ({"limit": str(CAP + 1)}, "limit must not be greater than 4194304"),
                           ({"offset": "x"}, "offset and limit must be whole numbers")]:
        await expect_error(await client.get(url, params=params), detail)
    await expect_error(await client.get(P + "/filepage/missing.txt"), "FILE_READ_FAILED")
    await expect_error(await client.get(P + "/filepage/..%2F..%2Fetc%2Fpasswd"), "FILE_READ_FAILED")


def banner_section(archive, name, output_bytes):
    """A section of its own log file: one device command with a long output."""
    def record_line(seq, message):
        return f"{seq}: {HOST}: 2026-12-07T11:53:{seq:02d}: %SCRIPT-6-INFO: %[pid=42]: {message}\n"

    with open(os.path.join(archive.dir, name), "w") as f:
        f.write(record_line(1, "start") + record_line(2, "+++ R1: executing command 'show tech' +++"))
        line = "x" * 99 + "\n"
        f.write(line * (output_bytes // 100))
        f.write(record_line(3, "done"))
    section = LogSection(archive, {"log_start": "0", "log_size": "0", "log_file": name,
                                   "section_id": "big", "section_name": "Big"}, HOST)
    return section


async def test_device_command_lines_are_capped(client, archive, monkeypatch):
    section = banner_section(archive, "tech.log", CAP + 500_000)
    small = banner_section(archive, "short.log", 1000)
    sections = {"big": section, "small": small}
    monkeypatch.setattr(archive.results, "get_section", lambda uuid: sections.get(uuid))
    for uuid, truncated in [("big", True), ("small", False)]:
        [execution] = await (await client.get(P + f"/sections/{uuid}/executions")).json()
        body = await (await client.get(P + f"/sections/{uuid}/{execution['execute_id']}/log")).json()
        lines = body["file_content"]
        assert lines[0].endswith("+++ R1: executing command 'show tech' +++\n")
        execute = sections[uuid].get_execution(execution["execute_id"])
        if truncated:
            assert body["truncated"] is True and body["line_count"] == execute.end_line - execute.start_line
            assert len("".join(lines).encode()) == CAP and lines == execute.read_logs()[:len(lines) - 1] + [
                execute.read_logs()[len(lines) - 1][:len(lines[-1])]]
        else:
            assert body == {"file_content": execute.read_logs(), "section_name": "Big"}


def bomb_archive(path, member_bytes):
    """A small generated run with "bomb.txt": `member_bytes` of one line,
    compressed to little."""
    from helpers.archives import generate_archive

    generate_archive(path, log_bytes=50_000, sections=10, seed=1)
    block = b"A" * (1 << 20)
    with zipfile.ZipFile(path, "a", compression=zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        with z.open("bomb.txt", "w", force_zip64=True) as member:
            for _ in range(member_bytes // len(block)):
                member.write(block)


SERVE_BOMB = """
import asyncio, resource, sys
from aiohttp.test_utils import TestClient, TestServer
from tavix.log.commands.archive import Archive
from tavix.log.commands.server import LogViewerServer
path, size = sys.argv[1], int(sys.argv[2])
P = "/private/v1/standalone"

async def main():
    with Archive(path) as archive:
        async with TestClient(TestServer(LogViewerServer(archive))) as client:
            body = await (await client.get(P + "/filelines/bomb.txt")).json()
            assert body["truncated"] and body["file_size"] == size, list(body)
            page = await (await client.get(P + f"/filepage/bomb.txt?offset={size - 5_000_000}&limit=4000000")).json()
            assert len(page["file_content"]) == 4000000
            response = await client.get(P + "/download/bomb.txt")
            received = 0
            async for chunk in response.content.iter_chunked(1 << 20):
                received += len(chunk)
                if received >= size // 2:
                    break
            response.close()

before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
asyncio.run(main())
print(before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def serve_bomb(tmp_path, member_bytes):
    """Opens the bomb archive in a fresh process, whose high-water mark only
    the server raises; answers its file lines, a page far into it and half a
    download, and gives the growth of the peak resident memory in KiB."""
    path = tmp_path / "bomb.zip"
    bomb_archive(path, member_bytes)
    # The child imports the package the way this process did.
    done = subprocess.run([sys.executable, "-c", SERVE_BOMB, str(path), str(member_bytes)],
                          capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.returncode == 0, done.stderr
    before, peak = map(int, done.stdout.split()[-2:])
    return peak - before


def test_a_hostile_archive_keeps_the_server_small(tmp_path):
    """A member of 96 MiB in one line: opening it, its file lines, pages and
    download raise the server's peak memory by less than half of it."""
    member = 96 << 20
    growth = serve_bomb(tmp_path, member)
    assert growth < (member >> 10) // 2, f"peak RSS grew by {growth} KiB"


@pytest.mark.slow
def test_a_2_gb_member_keeps_the_server_under_256_mb(tmp_path):
    growth = serve_bomb(tmp_path, 1 << 31)
    assert growth < 256 << 10, f"peak RSS grew by {growth} KiB"
