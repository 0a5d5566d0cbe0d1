"""JSON answers written in a worker: json.dumps's very bytes, the loop free meanwhile,
and the writing stopped when the client leaves."""
import asyncio
import gc
import json
import math
import random
import threading
import weakref
from collections import OrderedDict

import pytest
from aiohttp import ServerDisconnectedError, web

from tavix.log.commands.archive import Archive
from tavix.log.commands.server import LogViewerServer
from helpers import archives

P = "/private/v1/standalone"
DEADLINE = 4.0


@pytest.fixture(scope="module")
def info(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("generated") / "run.zip")
    return archives.generate_archive(path, log_bytes=60_000, sections=12, seed=9)


@pytest.fixture
def archive(info):
    with Archive(info.path) as opened:
        yield opened


def random_text(rng):
    pieces = ["plain", "quote \" and \\ slash", "\n\t\r\b\f\x00\x1f\x7f", "é ü ß", "中文", "\U0001f600",
              "\ud800 lone", "\u2028\u202e", "x" * rng.randint(0, 40)]
    return "".join(rng.choice(pieces) for _ in range(rng.randint(0, 4)))


def random_value(rng, depth=0):
    leaves = [None, True, False, 0, -1, 2 ** 63, -2 ** 64 - 5, 10 ** 40, 1.5, -0.0, 1e300, 5e-324, 0.1,
              math.inf, -math.inf, math.nan]
    kind = rng.randrange(8 if depth < 5 else 2)
    if kind == 0:
        return rng.choice(leaves)
    if kind == 1:
        return random_text(rng)
    if kind in (2, 3):
        items = [random_value(rng, depth + 1) for _ in range(rng.randint(0, 6))]
        return tuple(items) if kind == 3 else items
    if kind in (4, 5):
        return {random_text(rng): random_value(rng, depth + 1) for _ in range(rng.randint(0, 6))}
    if kind == 6:
        # Keys json.dumps converts itself.
        return {rng.choice([1, 2.5, None, True, "k"]): random_value(rng, depth + 1) for _ in range(3)}
    return OrderedDict([("b", random_value(rng, depth + 1)), ("a", 1)])


def nested(depth):
    value = {"leaf": [1, "two"]}
    for i in range(depth):
        value = [value, {"level": i}]
    return value


async def test_the_bytes_are_those_of_json_dumps(aiohttp_client, archive):
    client = await aiohttp_client(LogViewerServer(archive))
    rng = random.Random(3)
    samples = [random_value(rng) for _ in range(300)]
    samples += [nested(200), ["x" * 300_000, "é" * 100_000, list(range(50_000))], [], {}, "top", 7]
    for sample in samples:
        archive.results.scripts = sample
        response = await client.get(P + "/results")
        assert response.status == 200
        assert await response.read() == json.dumps(sample).encode()
        assert response.headers["Content-Type"] == "application/json; charset=utf-8"
    # What json.dumps refuses, the route refuses as before.
    for refused in ([object()], {(1, 2): 3}):
        archive.results.scripts = refused
        assert (await client.get(P + "/results")).status == 500


class Gate(dict):
    """A mapping json.dumps writes through items() (not being empty): it calls
    `on_items` there, and writes as {}."""

    def __init__(self, on_items):
        super().__init__(hidden=1)
        self.on_items = on_items

    def items(self):
        self.on_items()
        return []


async def test_the_loop_answers_while_an_answer_is_written(aiohttp_client, archive):
    client = await aiohttp_client(LogViewerServer(archive))
    writing, answered = threading.Event(), threading.Event()

    def hold():
        writing.set()
        # The writer waits for an answer the loop gives meanwhile.
        assert answered.wait(DEADLINE)

    archive.results.scripts = [Gate(hold), "x" * 1000]
    whole = asyncio.ensure_future(client.get(P + "/results"))
    assert await asyncio.get_running_loop().run_in_executor(None, writing.wait, DEADLINE)
    response = await client.get(P + "/metadata")
    assert response.status == 200
    answered.set()
    assert await (await whole).read() == b'[{}, "' + b"x" * 1000 + b'"]'


class StoppedWriting:
    """A /results answer that waits at its start for `event`, then has 256 KiB
    to write (the writer looks at its flags there) before a tail it must not
    reach once stopped. `stopped()` polls until nothing holds its items."""

    def __init__(self, archive, event):
        self.writing, self.seen, self.reached = threading.Event(), [], []

        def hold():
            self.writing.set()
            self.seen.append(event.wait(DEADLINE))

        tail = Gate(lambda: self.reached.append("tail"))
        self.alive = weakref.ref(tail)
        archive.results.scripts = [Gate(hold), "x" * (256 << 10), tail]
        self.archive = archive

    async def started(self):
        assert await asyncio.get_running_loop().run_in_executor(None, self.writing.wait, DEADLINE)

    async def stopped(self):
        self.archive.results.scripts = []
        deadline = asyncio.get_running_loop().time() + DEADLINE
        while self.alive() is not None and asyncio.get_running_loop().time() < deadline:
            gc.collect()
            await asyncio.sleep(0.01)
        return self.seen == [True] and self.alive() is None and self.reached == []


async def test_a_body_stops_when_its_client_leaves(aiohttp_client, archive):
    gone = threading.Event()

    @web.middleware
    async def watch(request, handler):
        try:
            return await handler(request)
        except asyncio.CancelledError:
            gone.set()
            raise

    answer = StoppedWriting(archive, gone)
    client = await aiohttp_client(LogViewerServer(archive, middlewares=[watch]))
    request = asyncio.ensure_future(client.get(P + "/results"))
    await answer.started()
    await client.close()  # the client leaves
    request.cancel()
    assert await answer.stopped()


async def test_large_answers_are_made_in_a_worker(aiohttp_client, archive, monkeypatch):
    client = await aiohttp_client(LogViewerServer(archive))
    loop_thread, threads = threading.current_thread(), {}

    def seen(name):
        return Gate(lambda: threads.setdefault(name, threading.current_thread()))

    record = next(r for task in archive.results.scripts for r in task["sections"] if int(r["log_size"]) > 0)
    section = archive.results.get_section(record["id"])
    monkeypatch.setitem(section.data, "probe", seen("sections"))
    assert (await client.get(P + "/sections/%s" % record["id"])).status == 200
    page_of = section.read_logs

    def read_logs(offset, limit):
        threads.setdefault("page of %d" % limit, threading.current_thread())
        return page_of(offset, limit)

    monkeypatch.setattr(section, "read_logs", read_logs)
    for limit in (4096, 1 << 20):
        assert (await client.get(P + "/sections/%s/log?limit=%d" % (record["id"], limit))).status == 200
    monkeypatch.setattr(archive.results, "scripts", [seen("results")])
    assert await (await client.get(P + "/results")).read() == b"[{}]"
    # Small pages stay on the loop, where a thread would cost more than the read.
    assert {name: thread is loop_thread for name, thread in threads.items()} == {
        "sections": False, "page of 4096": True, "page of %d" % (1 << 20): False, "results": False}


async def test_compact_bytes_are_those_of_json_dumps(aiohttp_client, archive):
    rng = random.Random(8)
    sections = [{"id": random_text(rng) + str(i), "section_name": random_text(rng), "section_type": "testcase",
                 "result": random_text(rng), "run_time": rng.choice([1.5, 1e300, -0.0, math.inf, 7, None]),
                 "sequence_number": i, "parents": [], "steps": []} for i in range(400)]
    archive.results.scripts = [{"sections": sections, "meta": {"task_id": random_text(rng)}}]
    body = await (await (await aiohttp_client(LogViewerServer(archive))).get(P + "/tree")).read()
    tree = json.loads(body)
    assert [row[2] for row in tree["rows"]] == [s["section_name"] for s in sections]
    assert body == json.dumps(tree, separators=(",", ":")).encode()


async def test_a_body_stops_as_the_server_shuts_down(aiohttp_client, archive):
    shutting = threading.Event()
    answer = StoppedWriting(archive, shutting)
    app = LogViewerServer(archive)

    async def signal_shutdown(app):
        shutting.set()

    app.on_shutdown.append(signal_shutdown)  # after the server's own
    client = await aiohttp_client(app)
    request = asyncio.ensure_future(client.get(P + "/results"))
    await answer.started()
    await app.shutdown()
    # The request ends unanswered, and the writer stops.
    with pytest.raises(ServerDisconnectedError):
        await request
    assert await answer.stopped()
