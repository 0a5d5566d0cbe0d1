"""Searching every stored run on the team service: GET /api/v1/search answers
JSON lines as they are found, each hit with its lasting link; its filters;
a query refused before anything is sent; a client that leaves stops the
search; a pushed run gets its search index in the store, one without is
searched the slow way, said once, and rebuilt."""
import asyncio
import json
import os
import threading
import urllib.parse

import pytest

from helpers.history_runs import make_run
from helpers.service import ServiceParts
from tavix.log.commands.service.application import TEAM

pytest.importorskip("tavix.log.commands.archive")

# (request id, start time, suite, [(case, result)]): three nights of one suite (the first
# running its check twice), one of another.
RUNS = [("n1", "2026-12-01T01:00:00", "nightly", [("setup", "passed"), ("check", "failed"), ("check", "failed")]),
        ("n2", "2026-12-02T01:00:00", "nightly", [("setup", "passed"), ("check", "passed")]),
        ("n3", "2026-12-03T01:00:00", "nightly", [("setup", "failed"), ("check", "failed")]),
        ("w1", "2026-12-02T12:00:00", "weekly", [("check", "errored", [], "check broke: 10.0.0.7")])]


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    directory = tmp_path_factory.mktemp("search-runs")
    return [make_run(directory / ("%s.zip" % request_id), request_id, start, cases, suite=suite)
            for request_id, start, suite, cases in RUNS]


class Pulls:
    """What a search pulled: `hits` found, `closed` set once its iterator was closed."""

    def __init__(self):
        self.hits = 0
        self.closed = threading.Event()


async def pushed(aiohttp_client, parts, archives, **server):
    client = await aiohttp_client(parts.application(), server_kwargs=server)
    for path in archives:
        response = await client.post("/api/v1/runs", data=path.read_bytes())
        assert response.status == 201, await response.text()
    return client


async def lines(client, **query):
    response = await client.get("/api/v1/search", params=query)
    assert response.status == 200, await response.text()
    assert response.headers["Content-Type"].startswith("application/x-ndjson")
    return [json.loads(line) for line in (await response.read()).decode().splitlines()]


def where(hits):
    return [(hit["request_id"], hit["path"][-1], hit["line"]) for hit in hits]


async def test_hits_come_newest_first_with_their_lasting_links_and_filters(aiohttp_client, tmp_path, archives):
    parts = ServiceParts(tmp_path)
    client = await pushed(aiohttp_client, parts, archives)
    hits = await lines(client, q="broke")
    origin = str(client.make_url("")).rstrip("/")
    assert where(hits) == [("n3", "setup", 3), ("n3", "check", 5), ("w1", "check", 3), ("n1", "check", 4),
                           ("n1", "check", 6)]
    # Two sections of one name: the index names the second "check#2", and so does its link.
    assert [hit["link"][len(origin):] for hit in hits[3:]] == ["/runs/n1/section/s.py/check?line=2",
                                                             "/runs/n1/section/s.py/check%232?line=2"]
    text = hits[0]["text"]
    assert hits[0] == {"path": ["s.py", "setup"], "log_file": "TaskLog.s", "line": 3,
                       "column": text.index("broke") + 1, "length": 5, "text": text, "request_id": "n3", "suite_name": "nightly",
                       "link": origin + "/runs/n3/section/s.py/setup?line=2"}
    assert text.endswith("%[pid=1]: setup broke")
    # Each link names the hit's line within its section: the section route finds that very line.
    for hit in hits:
        names = [urllib.parse.unquote(name) for name in hit["link"].split("?")[0].split("/section/")[1].split("/")]
        section = await (await client.get("/api/v1/runs/%s/sections" % hit["request_id"], params={
            "path": "/".join(names), "line": hit["link"].rsplit("=", 1)[1]})).json()
        assert section["link"] == hit["link"] and names[:-1] + [names[-1].split("#")[0]] == hit["path"]

    assert where(await lines(client, q="broke", suite="weekly")) == [("w1", "check", 3)]
    assert where(await lines(client, q="broke", since="2026-12-02")) == where(hits)[:3]
    assert where(await lines(client, q="broke", since="2026-12-02T06:00:00")) == where(hits)[:3]
    assert where(await lines(client, q="broke", result="errored")) == [("w1", "check", 3)]
    assert where(await lines(client, q="BROKE", case="1")) == []
    assert where(await lines(client, q=r"broke: \d+\.\d+", regex="1")) == [("w1", "check", 3)]
    assert await lines(client, q="nowhere at all") == []


async def test_queries_that_cannot_run_are_refused_before_anything_is_sent(aiohttp_client, tmp_path):
    client = await aiohttp_client(ServiceParts(tmp_path).application())
    for query, said in [({}, "give the text"), ({"q": "(", "regex": "1"}, "invalid"),
                        ({"q": "x", "regex": "yes"}, "regex is 1 or 0"),
                        ({"q": "x", "since": "yesterday"}, "since is an ISO date"),
                        ({"q": "x" * 5000}, "at most 4096")]:
        response = await client.get("/api/v1/search", params=query)
        body = await response.json()
        assert (response.status, body["detail"]) == (400, "INVALID_QUERY"), query
        assert said in body["message"], (query, body)


async def test_searching_is_a_reader_route(aiohttp_client, tmp_path):
    parts = ServiceParts(tmp_path, auth="token")
    client = await aiohttp_client(parts.application())
    assert (await client.get("/api/v1/search", params={"q": "broke"})).status == 401
    viewer = parts.index.create_key("reader", "viewer")
    response = await client.get("/api/v1/search", params={"q": "broke"},
                                headers={"Authorization": "Bearer " + viewer})
    assert response.status == 200 and await response.read() == b""


async def test_a_client_that_leaves_stops_the_search(aiohttp_client, tmp_path, monkeypatch):
    from tavix.log.commands.history import run_search

    pulls = Pulls()

    def endless(index, query, **options):
        """A search that finds a line for ever, unless it is stopped."""
        pulls.cancel = options["cancel"]
        try:
            while True:
                pulls.hits += 1
                yield {"path": ["s.py", "check"], "log_file": "TaskLog.s", "line": pulls.hits, "column": 1,
                       "text": query, "request_id": "n1", "suite_name": "nightly"}
        finally:
            pulls.closed.set()

    monkeypatch.setattr(run_search, "search_runs", endless)
    client = await aiohttp_client(ServiceParts(tmp_path).application())
    team = client.app[TEAM]
    response = await client.get("/api/v1/search", params={"q": "again"})
    first = json.loads(await response.content.readline())
    assert (first["line"], first["link"].endswith("/runs/n1/section/s.py/check")) == (1, True)
    response.close()  # the client leaves with the search still finding
    assert await asyncio.get_running_loop().run_in_executor(None, pulls.closed.wait, 4)
    stopped_at = pulls.hits
    assert team.searches.running == 0 and pulls.cancel.is_set()  # the native search is told too
    # Found ahead of what was sent by a bounded number, then nothing more.
    assert stopped_at < 100_000 and pulls.hits == stopped_at


async def test_a_pushed_run_gets_its_index_and_one_without_is_searched_the_slow_way(aiohttp_client, tmp_path,
                                                                                    archives):
    parts = ServiceParts(tmp_path)
    client = await pushed(aiohttp_client, parts, archives[:2])
    store = tmp_path / "store"
    digests = sorted(name[:-4] for name in os.listdir(store) if name.endswith(".zip"))
    assert sorted(os.listdir(store)) == sorted(digest + suffix for digest in digests
                                               for suffix in (".zip", ".search-index", ".search-lines", ".search-sections"))
    assert where(await lines(client, q="check broke")) == [("n1", "check", 4), ("n1", "check", 6)]

    # A run stored before indexes were built: found all the same, said once, its index rebuilt.
    old = parts.index.run_by_request_id("n1")["content_hash"]
    for suffix in (".search-index", ".search-lines", ".search-sections"):
        os.unlink(store / (old + suffix))
    files = client.app[TEAM].searches.files
    answer = await lines(client, q="check broke")
    assert answer[0] == {"notice": "run n1 of nightly: it has no search index; searched the slow way, "
                                   "its index is being rebuilt"}
    assert where(answer[1:]) == [("n1", "check", 4), ("n1", "check", 6)]
    files.rebuilding[old].result(timeout=4)
    assert (store / (old + ".search-index")).is_file()
    again = await lines(client, q="check broke")
    assert where(again) == [("n1", "check", 4), ("n1", "check", 6)]
    assert again[1]["link"].endswith("/section/s.py/check%232?line=2")

    # Deleting the run takes its search files with it.
    assert (await client.delete("/api/v1/runs/n1")).status == 200
    assert not any(name.startswith(old) for name in os.listdir(store))


async def test_an_object_store_keeps_the_index_beside_the_archive_and_is_read_by_ranges(
        aiohttp_client, tmp_path, archives, s3_store, monkeypatch):
    from tavix.log.commands.service import object_store

    parts = ServiceParts(tmp_path, store=s3_store)
    client = await pushed(aiohttp_client, parts, archives[:1])
    store = client.app[TEAM].store
    digest = parts.index.run_by_request_id("n1")["content_hash"]
    stored = sorted(found["Key"] for found in store.client.list_objects_v2(Bucket=store.bucket)["Contents"])
    assert stored == ["runs/%s%s" % (digest, suffix) for suffix in (".search-index", ".search-lines", ".search-sections", ".zip")]

    ranges = []
    reading = object_store.ObjectStore._whole_range
    monkeypatch.setattr(object_store.ObjectStore, "_whole_range",
                        lambda self, key, offset, size: ranges.append((offset, size)) or reading(self, key, offset, size))
    hits = await lines(client, q="check broke")
    assert where(hits) == [("n1", "check", 4), ("n1", "check", 6)]
    assert hits[0]["link"].endswith("/runs/n1/section/s.py/check?line=2")
    assert ranges  # the zip read where it lies, by ranged GETs

    # Short reads are answered from the last piece fetched.
    ranges.clear()
    source = client.app[TEAM].searches.files.source(parts.index.run_by_request_id("n1"))
    assert source.read_at(0, 4) == b"PK\x03\x04" and source.read_at(2, 6) == (await asyncio.to_thread(
        archives[0].read_bytes))[2:8]
    assert ranges == [(0, source.size)] and source.gets == 1
    with pytest.raises(OSError, match="past the end"):
        source.read_at(source.size - 2, 4)

    assert (await client.delete("/api/v1/runs/n1")).status == 200
    assert "Contents" not in store.client.list_objects_v2(Bucket=store.bucket)


async def test_a_search_that_fails_midway_says_so_after_what_it_found(aiohttp_client, tmp_path, monkeypatch):
    from tavix.log.commands.history import run_search
    from tavix.log.commands.service.errors import Unavailable

    def failing(index, query, **options):
        yield {"notice": "run n1 of nightly: searched the slow way"}
        yield {"path": ["s.py"], "log_file": "TaskLog.s", "line": 7, "column": 1, "length": 1, "text": "x",
               "request_id": "n1", "suite_name": "nightly"}
        raise Unavailable("the archive store cannot be reached: reading an archive")

    monkeypatch.setattr(run_search, "search_runs", failing)
    client = await aiohttp_client(ServiceParts(tmp_path).application())
    answer = await lines(client, q="x")
    assert [sorted(line) for line in answer] == [["notice"], sorted(["path", "log_file", "line", "column", "length",
                                                                      "text", "request_id", "suite_name", "link"]),
                                                 ["error"]]
    assert answer[1]["link"].endswith("/runs/n1/section/s.py")  # a run the index does not hold: no line known
    assert answer[2] == {"error": {"detail": "UNAVAILABLE",
                                   "message": "the archive store cannot be reached: reading an archive"}}


def test_section_lines_are_counted_across_blocks(tmp_path, monkeypatch):
    from tavix.log.commands.service import search_files

    log = tmp_path / "TaskLog"
    log.write_bytes(b"one\ntwo\nthree\nfour\n")
    monkeypatch.setattr(search_files, "_COUNT_BLOCK", 5)  # offsets on, before and after block edges
    assert search_files._lines_at(str(log), [0, 4, 5, 8, 14, 19, 99]) == [0, 1, 1, 2, 3, 4, 4]
