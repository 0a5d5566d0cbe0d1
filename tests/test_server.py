"""The log viewer server over a generated run archive."""

import asyncio
import inspect
import json
import logging
import os
import pathlib
import warnings
import zipfile

import pytest
from aiohttp import web

from tavix.log.commands import server as server_module
from tavix.log.commands.server import LogViewerServer

from helpers import archives
from helpers.routes import CAP, P, expect_error, record_of, records, section_of
Archive = pytest.importorskip("tavix.log.commands.archive").Archive


def longest_testcase(archive):
    return max((r for r in records(archive) if r["section_type"] == "testcase"),
               key=lambda r: int(r["log_size"]))


def with_commands(info):
    return next(s for s in info.sections if s.section_type == "testcase" and info.executions_in(s))


def section_bytes(archive, record):
    with open(os.path.join(archive.dir, record["log_file"]), "rb") as f:
        f.seek(int(record["log_start"]))
        size = int(record["log_size"])
        return f.read(size) if size > 0 else f.read()


# --- the application itself ---------------------------------------------------

def test_handlers_are_coroutine_functions_and_register_without_warnings(archive):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        app = LogViewerServer(archive)
    assert asyncio.iscoroutinefunction(app.logfile_sec)
    if hasattr(inspect, "markcoroutinefunction"):
        assert inspect.iscoroutinefunction(app.logfile_sec)
    # The routes of the viewer come in their order (the router answers with
    # the first match); routes added beside them sit between, never after
    # the catch-all entry page.
    names = [r.name for r in app.router.routes() if r.method == "GET"]
    viewer_routes = [
        "results", "metadata", "summary", "tasks", "sections", "executions", "archive_name",
        "filelist", "filelines", "download_archive", "download_file", "logfile_sec",
        "logfile_exe", "htmlviewer", "index", "static"]
    assert [n for n in names if n in viewer_routes] == viewer_routes
    assert names[-2:] == ["index", "static"]
    assert app.fread_size == 20480 and app._default_header == {"Access-Control-Allow-Origin": "*"}
    assert os.path.isfile(os.path.join(server_module.HERE, "static", "index.html"))
    assert server_module.logger.name == "tavix.log.commands.server"


async def test_handler_errors_surface_when_awaited_not_when_called(archive):
    app = LogViewerServer(archive)
    pending = app.metadata(None)  # the body runs eagerly but keeps its outcome
    response = await pending
    assert response.status == 200
    with pytest.raises(RuntimeError, match="reuse"):
        await pending
    del archive.results
    failing = app.metadata(None)
    with pytest.raises(AttributeError):
        await failing
    # A lookup that fails while the answer is being built is an ordinary
    # exception too (it once ended the process on older interpreters).
    del app._default_header
    with pytest.raises(AttributeError):
        await app.index(None)


def test_constructor_passes_keywords_to_aiohttp(archive):
    app = LogViewerServer(archive, 100, "/x", client_max_size=10)
    assert app.fread_size == 100 and app._client_max_size == 10
    with pytest.raises(TypeError):
        LogViewerServer(archive, no_such_option=1)


async def test_other_prefix_moves_the_json_routes(aiohttp_client, archive):
    client = await aiohttp_client(LogViewerServer(archive, url_prefix="/api"))
    assert (await client.get("/api/metadata")).status == 200
    assert (await client.get(P + "/metadata")).status == 404


# --- results endpoints -----------------------------------------------------------

async def test_results_model_endpoints(client, archive, info):
    parser = archive.results
    assert parser.meta["suite_name"] == info.suite_name
    for suffix, expected in [("/metadata", parser.meta), ("/results", parser.scripts),
                             ("/summary", parser.summary), ("/tasks", parser.get_task_names()),
                             ("/archive_name", {"archive_name": "run.zip"})]:
        response = await client.get(P + suffix)
        assert response.status == 200
        assert response.headers["Access-Control-Allow-Origin"] == "*"
        assert await response.json() == expected


async def test_sections_and_executions(client, archive, info, caplog):
    generated = with_commands(info)
    case = record_of(archive, generated)
    response = await client.get(P + "/sections/" + case["id"])
    assert await response.json() == case
    executions = await (await client.get(P + f"/sections/{case['id']}/executions")).json()
    assert [(e["device"], e["execute_type"]) for e in executions] == [
        (e.device, e.execute_type) for e in info.executions_in(generated)]

    caplog.set_level(logging.DEBUG, "tavix.log.commands.server")
    await expect_error(await client.get(P + "/sections/nope"), "SECTION_RETRIEVE_FAILED")
    await expect_error(await client.get(P + "/sections/nope/executions"), "EXECUTION_RETRIEVE_FAILED")
    messages = [r.getMessage() for r in caplog.records if r.name == "tavix.log.commands.server"]
    assert messages[0] == "Exception encountered when retrieving section: "
    assert "KeyError: 'nope'" in messages[1]
    assert messages[2] == "Exception encountered when retrieving executions of section: "
    assert "AttributeError" in messages[3]


async def test_entry_page_and_static_files(client):
    index = pathlib.Path(server_module.HERE, "static", "index.html").read_bytes()
    for path in ["/result", "/result/", "/result/task-1/abc", "/result/archive/x.txt"]:
        response = await client.get(path)
        assert response.status == 200, path
        assert await response.read() == index
        assert response.headers["Access-Control-Allow-Origin"] == "*"
    assert (await client.get("/index.html")).status == 200


# --- section log pages ---------------------------------------------------------

async def test_pages_follow_links_through_the_whole_section(client, archive):
    case = longest_testcase(archive)
    whole = section_bytes(archive, case).decode()
    url = P + f"/sections/{case['id']}/log"
    page = await (await client.get(url)).json()
    assert page["previous"] is None
    assert page["next"] == url + "?offset=20480&limit=20480"

    # Small odd pages cut through multi-byte characters; the pages still
    # join up to exactly the section's text in both directions.
    texts, link = [], url + "?offset=0&limit=997"
    while link:
        page = await (await client.get(link)).json()
        texts.append(page["file_content"])
        last, link = link, page["next"]
    assert "".join(texts) == whole
    assert len(texts) == -(-len(whole.encode()) // 997)
    backwards, link = [], last
    while link:
        page = await (await client.get(link)).json()
        backwards.insert(0, page["file_content"])
        link = page["previous"]
    assert "".join(backwards) == whole


async def test_every_kind_of_section_pages_to_its_exact_text(client, archive, info):
    for kind in ["testscript", "commonSetup", "subsection", "testcase", "subtest", "testsection",
                 "commonCleanup"]:
        generated = next(s for s in info.sections if s.section_type == kind)
        record = record_of(archive, generated)
        texts, link = [], P + f"/sections/{record['id']}/log?limit=4093"
        while link:
            page = await (await client.get(link)).json()
            texts.append(page["file_content"])
            link = page["next"]
        assert "".join(texts) == section_bytes(archive, record).decode(), kind


async def test_sections_with_undecodable_bytes_still_answer(aiohttp_client, tmp_path):
    path = str(tmp_path / "broken.zip")
    info = archives.generate_archive(path, log_bytes=100_000, sections=20, seed=3, invalid_utf8=True)
    with Archive(path) as archive:
        client = await aiohttp_client(LogViewerServer(archive))
        for section in [s for s in info.sections if s.invalid_utf8][:3]:
            record = record_of(archive, section)
            for suffix in ["/log?limit=4096", "/executions"]:
                response = await client.get(f"{P}/sections/{record['id']}{suffix}")
                assert response.status in (200, 500)
                if response.status == 500:
                    assert (await response.json())["detail"] in ("SECTION_LOG_READ_FAIL",
                                                                 "EXECUTION_RETRIEVE_FAILED")
        assert (await client.get(P + "/metadata")).status == 200


async def test_page_edges(client, archive):
    case = longest_testcase(archive)
    size = int(case["log_size"])
    url = P + f"/sections/{case['id']}/log"

    page = await (await client.get(url, params={"offset": "100"})).json()
    assert page["previous"] is None and page["next"] == url + "?offset=20580&limit=20480"

    page = await (await client.get(url, params={"offset": str(size + 10), "limit": "20"})).json()
    assert page == {"previous": f"{url}?offset={size - 10}&limit=20", "next": None,
                    "file_content": None}

    huge = 10 ** 30
    page = await (await client.get(url, params={"offset": str(huge), "limit": str(CAP)})).json()
    assert page == {"previous": f"{url}?offset={huge - CAP}&limit={CAP}", "next": None, "file_content": None}
    page = await (await client.get(url, params={"limit": str(CAP)})).json()
    assert page["next"] is None and len(page["file_content"].encode()) == size
    # A page is read whole into memory: larger ones are refused.
    for limit in [CAP + 1, huge]:
        await expect_error(await client.get(url, params={"limit": str(limit)}),
                           "limit must not be greater than 4194304")

    for params in [{"offset": "-1"}, {"limit": "0"}, {"limit": "-5"}]:
        await expect_error(await client.get(url, params=params),
                           "offset must be greater or equal to 0, limit must be greater than 0")
    for params in [{"offset": "abc"}, {"limit": "1.5"}]:
        response = await client.get(url, params=params)
        assert response.status == 500 and "Access-Control-Allow-Origin" not in response.headers
    assert (await client.get(url)).status == 200  # still serving


@pytest.mark.parametrize("text", [
    "plain ascii line\n",
    'quotes " and \\ backslashes / slashes\n\r\t\b\f\x00\x1f\x7f',
    "latin-1 é ÿ \x80 \xa0, bmp ✓ ДЕВ 中文, astral 😀 𝄞, lone \udcff \ud800",
    "",
    "a" * 1001 + '"' + "b" * 13 + "\\" + "c" * 7 + "\x7f",
    "".join(map(chr, range(0x320))) * 3 + "".join(map(chr, range(0x1f000, 0x1f010))),
])
async def test_page_body_is_exactly_the_json_of_the_page(client, archive, monkeypatch, text):
    case = longest_testcase(archive)
    monkeypatch.setattr(archive.results.get_section(case["id"]), "read_logs", lambda o, l: text)
    url = P + f"/sections/{case['id']}/log"
    response = await client.get(url, params={"offset": "20480"})
    expected = {"previous": url + "?offset=0&limit=20480", "next": url + "?offset=40960&limit=20480",
                "file_content": text}
    assert await response.read() == json.dumps(expected).encode()
    reference = web.json_response(expected)
    assert response.headers["Content-Type"] == reference.headers["Content-Type"]
    assert response.headers["Access-Control-Allow-Origin"] == "*"


async def test_script_section_without_size_pages_to_end_of_file(client, archive):
    script = section_of(archive, "testscript")
    total = os.path.getsize(os.path.join(archive.dir, script["log_file"]))
    url = P + f"/sections/{script['id']}/log"
    page = await (await client.get(url, params={"offset": str(total - 100), "limit": "50"})).json()
    assert page["next"] == f"{url}?offset={total - 50}&limit=50"
    page = await (await client.get(page["next"])).json()
    assert page["next"] is None and page["file_content"].endswith("\n")


async def test_unknown_section_log(client):
    await expect_error(await client.get(P + "/sections/nope/log"), "SECTION_LOG_READ_FAIL")


async def test_execution_logs(client, archive, info, monkeypatch):
    generated = with_commands(info)
    case = record_of(archive, generated)
    executions = await (await client.get(P + f"/sections/{case['id']}/executions")).json()
    first = executions[0]
    body = await (await client.get(P + f"/sections/{case['id']}/{first['execute_id']}/log")).json()
    assert body["section_name"] == generated.section_name
    banner = info.executions_in(generated)[0]
    assert f"+++ {banner.device}: " in body["file_content"][0]
    assert all(line.endswith("\n") for line in body["file_content"])

    # A step has no section name: its step name stands in.
    step = next(s for r in records(archive) if r["steps"] for s in r["steps"])
    step_section = archive.results.get_section(step["id"])

    class Command:
        def read_logs(self):
            return ["+++ R1: config +++\n"]

    monkeypatch.setattr(step_section, "get_execution", lambda exe: Command() if exe == "e1" else None)
    body = await (await client.get(P + f"/sections/{step['id']}/e1/log")).json()
    assert body == {"file_content": ["+++ R1: config +++\n"], "section_name": step["step_name"]}

    await expect_error(await client.get(P + f"/sections/{case['id']}/nope/log"), "EXECUTION_LOG_READ_FAIL")
    await expect_error(await client.get(P + f"/sections/nope/{first['execute_id']}/log"),
                       "EXECUTION_LOG_READ_FAIL")


# --- files and downloads -------------------------------------------------------

CONFIG = "configs/R1/running-config.txt"


async def test_file_list_and_file_lines(client, archive):
    body = await (await client.get(P + "/filelist")).json()
    assert body == {"results": list(archive.listdir())}
    assert any(e["item_path"] == CONFIG for e in body["results"])

    body = await (await client.get(P + "/filelines/" + CONFIG.replace("/", "%2F"))).json()
    assert body["file_name"] == CONFIG and body["content_type"] == "text/plain"
    assert body["file_content"][0] == "interface Ethernet1/1\n"
    response = await client.get(P + "/filelines/images%2Ftopology.png")
    assert response.status == 200
    assert await response.json() == {"filename": "images/topology.png",
                                     "file_content": "Could not read file."}
    await expect_error(await client.get(P + "/filelines/missing.txt"), "FILE_READ_FAILED")


async def test_file_list_failure(client, archive, monkeypatch):
    def broken():
        raise FileNotFoundError("gone")
        yield

    monkeypatch.setattr(archive, "listdir", broken)
    await expect_error(await client.get(P + "/filelist"), "FILE_LIST_RETRIEVE_FAILED")


async def test_reports_through_the_html_viewer(client, archive):
    response = await client.get("/result/archive/report.html")
    assert response.status == 200 and response.content_type == "text/html"
    assert "Résultats" in await response.text()
    assert response.headers["Access-Control-Allow-Origin"] == "*"
    os.makedirs(os.path.join(archive.dir, "reports"))
    with open(os.path.join(archive.dir, "reports", "summary.pdf"), "wb") as f:
        f.write(b"%PDF-1.4\n%%EOF\n")
    response = await client.get("/result/archive/reports/summary.pdf")
    assert response.status == 200 and response.content_type == "application/pdf"
    await expect_error(await client.get("/result/archive/reports/missing.html"), "SERVE_FILE_FAILED")
    await expect_error(await client.get("/result/archive/configs.html"), "SERVE_FILE_FAILED")


async def test_downloads(client, archive, info):
    response = await client.get(P + "/download/" + CONFIG)
    assert response.status == 200
    assert response.headers["Content-Disposition"] == "attachment; filename=running-config.txt"
    assert response.headers["Access-Control-Allow-Origin"] == "*"
    assert response.headers["Content-Type"] == "application/force-download"
    with zipfile.ZipFile(info.path) as z:
        assert await response.read() == z.read(CONFIG)

    response = await client.get(P + "/download")
    assert response.headers["Content-Disposition"] == "attachment; filename=run.zip"
    assert await response.read() == pathlib.Path(info.path).read_bytes()

    missing = os.path.join(archive.dir, "nothing.log")
    await expect_error(await client.get(P + "/download/nothing.log"), f"FILE_{missing}_NO_FOUND")
    await expect_error(await client.get(P + "/download/configs"), "DOWNLOAD_FILE_FAILED")


async def test_large_download_streams_whole_file(client, archive):
    big = os.path.join(archive.dir, "big.bin")
    block = bytes(range(256)) * 4096
    with open(big, "wb") as f:
        for _ in range(8):
            f.write(block)
    response = await client.get(P + "/download/big.bin")
    assert int(response.headers["Content-Length"]) == 8 * len(block)
    assert await response.read() == block * 8


async def raw_get(client, path):
    """GET exactly `path`, without the client's URL normalisation."""
    reader, writer = await asyncio.open_connection(client.host, client.port)
    writer.write(f"GET {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
    data = await reader.read()
    writer.close()
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split()[1]), body


async def test_names_outside_the_extraction_directory_are_refused(client, archive, tmp_path):
    secret = tmp_path / "secret.html"
    secret.write_text("<p>secret</p>")
    os.symlink(str(secret), os.path.join(archive.dir, "link.html"))
    os.symlink(str(tmp_path), os.path.join(archive.dir, "up"))
    outside = os.path.relpath(str(secret), archive.dir)  # ../secret.html
    escapes = [outside, "%2e%2e%2fsecret.html", "..%2Fsecret.html", "link.html",
               "up%2Fsecret.html", "%2F" + str(secret).lstrip("/").replace("/", "%2F")]
    # Plain "../" is folded away by the server before routing (404); the
    # encoded forms reach the handlers and are refused there.
    reached = 0
    for name in escapes:
        status, body = await raw_get(client, P + "/filelines/" + name)
        assert b"<p>secret" not in body and status in (404, 500), name
        if status == 500:
            assert json.loads(body) == {"detail": "FILE_READ_FAILED"}
            reached += 1
    assert reached >= 4
    for name in escapes + ["up/secret.html", "../" + outside, "/%2e%2e/secret.html"]:
        for path in ["/result/archive/", P + "/download/"]:
            status, body = await raw_get(client, path + name.replace("%2F", "/"))
            assert b"<p>secret" not in body and status in (404, 500), path + name
            if status == 500:
                assert json.loads(body)["detail"] in ("SERVE_FILE_FAILED", "DOWNLOAD_FILE_FAILED")
    # A link that stays inside the directory is followed.
    os.symlink("report.html", os.path.join(archive.dir, "inside.html"))
    assert (await client.get("/result/archive/inside.html")).status == 200


async def test_server_keeps_answering_after_bad_requests(client, archive):
    case = section_of(archive, "testcase")
    bad = [P + "/sections/%00/log", P + "/filelines/%00", "/result/archive/%00.html",
           P + "/download/%00", P + f"/sections/{case['id']}/log?offset=1e9"]
    for path in bad:
        assert (await client.get(path)).status in (400, 404, 500)
    assert (await client.get(P + "/metadata")).status == 200


def test_serve_hands_the_application_to_run_app(archive, monkeypatch):
    seen = []
    monkeypatch.setattr(web, "run_app", lambda *a, **k: seen.append((a, k)) or "stopped")
    app = LogViewerServer(archive)
    assert app.serve(print=False, sock="S") == "stopped"
    assert seen == [((app,), {"print": False, "sock": "S"})]
