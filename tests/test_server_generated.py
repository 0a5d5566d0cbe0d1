"""The viewer server over a generated run archive opened by the real Archive."""

import os
import pathlib
import zipfile

import pytest

from tavix.log.commands.server import LogViewerServer

archives = pytest.importorskip("tavix.testing.archives")
Archive = pytest.importorskip("tavix.log.commands.archive").Archive

P = "/private/v1/standalone"


@pytest.fixture(scope="module")
def opened(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("generated") / "nightly.zip")
    info = archives.generate_archive(path, log_bytes=400_000, sections=80, seed=7)
    with Archive(path) as archive:
        yield info, archive


@pytest.fixture
async def client(aiohttp_client, opened):
    return await aiohttp_client(LogViewerServer(opened[1]))


def record_of(archive, generated):
    for task in archive.results.scripts:
        for record in task["sections"]:
            if record["sequence_number"] == generated.sequence_number:
                return record
    raise LookupError(generated.sequence_number)


def expected_text(archive, generated):
    with open(os.path.join(archive.dir, generated.log_file), "rb") as f:
        f.seek(generated.log_start)
        data = f.read(generated.log_size) if generated.log_size > 0 else f.read()
    return data.decode("utf-8")


async def read_by_links(client, link):
    texts, pages = [], 0
    while link:
        page = await (await client.get(link)).json()
        texts.append(page["file_content"])
        link, pages = page["next"], pages + 1
    return "".join(texts), pages


async def test_paging_joins_up_to_the_section_text(client, opened):
    info, archive = opened
    chosen = {}
    for section in info.sections:
        try:
            expected_text(archive, section)
        except UnicodeDecodeError:
            continue
        chosen.setdefault(section.section_type, section)
    assert {"testscript", "testcase", "testsection"} <= set(chosen)
    for section in chosen.values():
        record = record_of(archive, section)
        url = f"{P}/sections/{record['id']}/log"
        # An odd page size cuts pages inside multi-byte characters.
        text, pages = await read_by_links(client, f"{url}?offset=0&limit=1013")
        assert text == expected_text(archive, section), section.section_type
        size = len(expected_text(archive, section).encode())
        assert pages == max(1, -(-size // 1013))


async def test_sections_with_undecodable_bytes_still_page(aiohttp_client, tmp_path):
    path = str(tmp_path / "broken.zip")
    info = archives.generate_archive(path, log_bytes=100_000, sections=20, seed=3, invalid_utf8=True)
    broken = [s for s in info.sections if s.invalid_utf8 and s.log_size > 0]
    with Archive(path) as archive:
        client = await aiohttp_client(LogViewerServer(archive))
        for section in broken[:3]:
            record = record_of(archive, section)
            response = await client.get(f"{P}/sections/{record['id']}/log", params={"limit": "4096"})
            assert response.status in (200, 500)
            if response.status == 500:
                assert await response.json() == {"detail": "SECTION_LOG_READ_FAIL"}
            executions = await client.get(f"{P}/sections/{record['id']}/executions")
            assert executions.status in (200, 500)
        assert (await client.get(P + "/metadata")).status == 200


async def test_results_and_device_commands(client, opened):
    info, archive = opened
    assert await (await client.get(P + "/results")).json() == archive.results.scripts
    meta = await (await client.get(P + "/metadata")).json()
    assert meta["suite_name"] == info.suite_name and meta["exec_host"] == info.host
    tasks = await (await client.get(P + "/tasks")).json()
    assert [t["sequence_number"] for t in tasks] == list(range(len(info.scripts)))

    with_commands = [s for s in info.sections
                     if s.section_type != "testscript" and info.executions_in(s) and not s.invalid_utf8]
    section = with_commands[0]
    record = record_of(archive, section)
    listed = await (await client.get(f"{P}/sections/{record['id']}/executions")).json()
    assert [e["device"] for e in listed] == [e.device for e in info.executions_in(section)]
    first = listed[0]
    body = await (await client.get(f"{P}/sections/{record['id']}/{first['execute_id']}/log")).json()
    assert body["section_name"] == section.section_name
    assert first["device"] in body["file_content"][0] and "+++" in body["file_content"][0]


async def test_files_reports_and_downloads(client, opened):
    info, archive = opened
    listing = (await (await client.get(P + "/filelist")).json())["results"]
    assert listing == list(archive.listdir())
    paths = {entry["item_path"] for entry in listing}
    assert "configs/R1/running-config.txt" in paths
    assert not any(p.endswith(".pyc") for p in paths)

    lines = await (await client.get(P + "/filelines/configs%2FR1%2Frunning-config.txt")).json()
    assert lines["file_content"][0] == "interface Ethernet1/1\n"
    response = await client.get("/result/archive/report.html")
    assert "Résultats" in await response.text()

    response = await client.get(P + "/download/images/topology.png")
    assert response.headers["Content-Disposition"] == "attachment; filename=topology.png"
    with zipfile.ZipFile(info.path) as z:
        assert await response.read() == z.read("images/topology.png")
    response = await client.get(P + "/download")
    assert response.headers["Content-Disposition"] == "attachment; filename=nightly.zip"
    assert await response.read() == pathlib.Path(info.path).read_bytes()

    for name in ["%2e%2e%2f%2e%2e%2fetc%2fpasswd", "..%2F..%2Fetc%2Fhostname"]:
        response = await client.get(P + "/filelines/" + name)
        assert (response.status, await response.json()) == (500, {"detail": "FILE_READ_FAILED"})
