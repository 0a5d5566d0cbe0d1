"""The failure categories and timeline routes of the viewer server."""

import asyncio
import datetime
import threading

import pytest

from tavix.log.commands.archive import Archive
from tavix.log.commands.parser import base
from tavix.log.commands.server import LogViewerServer
from helpers.archives import generate_archive
from helpers.waiting import Requests, thread_event

P = "/private/v1/standalone"


@pytest.fixture(scope="module")
def run_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("routes") / "run.zip"
    generate_archive(path, log_bytes=200_000, sections=300, seed=9, failure_causes=True)
    return path


@pytest.fixture
def archive(run_path):
    with Archive(run_path) as opened:
        yield opened


@pytest.fixture
async def client(aiohttp_client, archive):
    return await aiohttp_client(LogViewerServer(archive))


async def body(response, status=200):
    assert response.status == status
    assert response.headers["Access-Control-Allow-Origin"] == "*"
    return await response.json()


async def test_categories_are_computed_once_for_the_opening(client, archive):
    expected = base.failure_categories(archive.results)
    assert expected["categories"] and expected["unexplained"]
    plain, with_causes = await asyncio.gather(client.get(P + "/categories"),
                                              client.get(P + "/categories?causes=true"))
    assert await body(plain) == expected
    assert await body(with_causes) == base.failure_categories(archive.results, causes=True)
    # Kept for the opening: later changes of the records are not seen.
    for task in archive.results.scripts:
        for section in task["sections"]:
            section["result"] = "passed"
    assert await body(await client.get(P + "/categories")) == expected


class SlowParser:
    """A results parser whose tasks are handed out only once `release` is set."""

    def __init__(self, parser):
        self.parser, self.release, self.asked = parser, threading.Event(), threading.Event()
        self.meta, self.get_section = parser.meta, parser.get_section
        self.fail = False

    @property
    def scripts(self):
        self.asked.set()
        assert self.release.wait(10)
        if self.fail:
            raise RuntimeError("results gone")
        return self.parser.scripts


async def test_long_work_leaves_the_loop_answering(aiohttp_client, archive, caplog):
    slow = SlowParser(archive.results)
    archive.results, real = slow, archive.results
    try:
        client = await aiohttp_client(LogViewerServer(archive))
        slow.fail = True
        pending = asyncio.ensure_future(client.get(P + "/categories"))
        assert await thread_event(slow.asked)
        # The loop answers while the categories are being computed.
        assert (await body(await client.get(P + "/metadata")))["exec_host"] == real.meta["exec_host"]
        slow.release.set()
        with caplog.at_level("DEBUG", logger="tavix.log.commands.server"):
            assert await body(await pending, 500) == {"detail": "CATEGORIES_RETRIEVE_FAILED"}
        assert "Exception encountered when finding the failure categories: " in caplog.messages
        assert any("results gone" in message for message in caplog.messages)
        # A failure is not kept.
        slow.fail = False
        assert await body(await client.get(P + "/categories")) == base.failure_categories(real)
    finally:
        slow.release.set()
        archive.results = real


async def test_requests_waiting_for_a_computation_hold_no_worker_thread(aiohttp_client, archive):
    slow = SlowParser(archive.results)
    archive.results, real = slow, archive.results
    try:
        requests = Requests()
        client = await aiohttp_client(LogViewerServer(archive, middlewares=[requests.middleware]))
        waiting = [asyncio.ensure_future(client.get(P + "/categories")) for _ in range(12)]
        assert await thread_event(slow.asked)
        await requests.reach(started=12)
        # More waiting requests than the executor has threads: work of
        # another route still finds a thread.
        section = real.scripts[0]["sections"][1]
        search = await asyncio.wait_for(client.get(P + f"/sections/{section['id']}/search?q=a"), 20)
        assert search.status == 200
        slow.release.set()
        expected = base.failure_categories(real)
        for response in await asyncio.gather(*waiting):
            assert await body(response) == expected
    finally:
        slow.release.set()
        archive.results = real


def seconds(text):
    try:
        stamp = datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S")
    except (TypeError, ValueError):
        return None
    return stamp.replace(tzinfo=datetime.timezone.utc).timestamp()


async def test_timeline_gives_every_section_its_times(client, archive):
    answer = await body(await client.get(P + "/timeline"))
    assert answer["columns"] == ["id", "start", "stop", "log_start", "log_size"]
    expected = [[[s["id"], seconds(s["start_time"]), seconds(s["stop_time"]), int(s["log_start"]),
                  int(s["log_size"])] for s in task["sections"]] for task in archive.results.scripts]
    assert [task["sections"] for task in answer["tasks"]] == expected
    assert all(start is not None and start <= stop for task in expected for _, start, stop, _, _ in task)
    assert len({row[1] for task in expected for row in task}) > 5


async def test_histogram_of_each_task_log(client, archive):
    for index, task in enumerate(archive.results.scripts):
        script = archive.results.get_section(task["sections"][0]["id"])
        answer = await body(await client.get(P + f"/timeline/{index}/histogram"))
        assert answer == base.severity_histogram(script.logfile, script.host)
        assert sum(answer["warnings"]) and sum(answer["errors"])
        with open(script.logfile, "rb") as log:
            log.seek(answer["offsets"][0])
            line = log.readline()
            assert b"-4-WARNING" in line or b"-3-ERROR" in line
    for bad in ("2", "-1", "x", "99999999999999999999999"):
        assert await body(await client.get(P + f"/timeline/{bad}/histogram"), 500) == \
            {"detail": "HISTOGRAM_RETRIEVE_FAILED"}
