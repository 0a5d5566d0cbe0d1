"""Bounded load on loopback: many concurrent clients against one server process."""

import asyncio
import os
import random
import subprocess
import sys

import aiohttp
import pytest

pytest.importorskip("tavix.log.commands.archive")

from helpers.processes import rss_kib  # noqa: E402

P = "/private/v1/standalone"
CLIENTS = 50
WARM_UP = 5  # requests per client before memory is first measured
REQUESTS = 25  # requests per client between the two measurements

SERVER = """
import socket, sys
from helpers.archives import generate_archive
from tavix.log.commands.archive import Archive
from tavix.log.commands.server import LogViewerServer
generate_archive(sys.argv[1], log_bytes=2_000_000, sections=120, seed=5)
with Archive(sys.argv[1]) as archive:
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(256)
    print(sock.getsockname()[1], flush=True)
    LogViewerServer(archive).serve(sock=sock, print=None)
"""


@pytest.fixture
def server(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-c", SERVER, str(tmp_path / "load.zip")],
                            stdout=subprocess.PIPE, text=True, env=env)
    try:
        port = int(proc.stdout.readline())
        yield proc, f"http://127.0.0.1:{port}"
    finally:
        proc.terminate()
        proc.wait(20)
        proc.stdout.close()


async def drive(base, requests, sections, failures, counts):
    """`requests` requests from each of CLIENTS concurrent clients: pages of
    section logs (following the links), section records and the file list."""
    rng = random.Random(1)

    async def client(session):
        link = None
        for _ in range(requests):
            kind = rng.random()
            if kind < 0.7:
                if not link:
                    link = f"{P}/sections/{rng.choice(sections)}/log"
                url = link
            elif kind < 0.95:
                url = f"{P}/sections/{rng.choice(sections)}"
            else:
                url = f"{P}/filelist"
            try:
                async with session.get(base + url) as response:
                    body = await response.json()
                    if response.status != 200:
                        failures.append((url, response.status, body))
                    elif url is link:
                        link = body["next"]
                    counts[0] += 1
            except Exception as error:  # any failed request fails the test
                failures.append((url, repr(error)))

    connector = aiohttp.TCPConnector(limit=CLIENTS)
    timeout = aiohttp.ClientTimeout(total=60)
    async with aiohttp.ClientSession(connector=connector, timeout=timeout) as session:
        await asyncio.gather(*(client(session) for _ in range(CLIENTS)))


def test_many_clients_get_answers_and_memory_stays_flat(server):
    proc, base = server

    async def run():
        async with aiohttp.ClientSession() as session:
            async with session.get(base + P + "/results") as response:
                scripts = await response.json()
        sections = [s["id"] for task in scripts for s in task["sections"]]
        failures, counts = [], [0]
        await drive(base, WARM_UP, sections, failures, counts)
        before = rss_kib(proc.pid)
        await drive(base, REQUESTS, sections, failures, counts)
        after = rss_kib(proc.pid)
        async with aiohttp.ClientSession() as session:
            async with session.get(base + P + "/metadata") as response:
                assert response.status == 200
        return failures, counts[0], before, after

    failures, done, before, after = asyncio.run(run())
    assert not failures[:5]
    assert done == CLIENTS * (WARM_UP + REQUESTS)
    # Flat: what one warmed-up server holds does not grow with the requests.
    assert after - before < 8 * 1024, (before, after)
