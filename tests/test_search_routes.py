"""The search routes over a generated archive whose sections are rewritten with chosen bytes."""

import asyncio
import os
import random
import re

import pytest

from tavix.log.commands.server import LogViewerServer

from helpers import archives
Archive = pytest.importorskip("tavix.log.commands.archive").Archive

P = "/private/v1/standalone"


@pytest.fixture(scope="module")
def info(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("generated") / "run.zip")
    return archives.generate_archive(path, log_bytes=200_000, sections=30, seed=11)


def records(archive):
    for task in archive.results.scripts:
        for section in task["sections"]:
            yield section
            if isinstance(section["steps"], list):
                yield from section["steps"]


def leaf_testcase(archive):
    return max((r for r in records(archive) if r.get("section_type") == "testcase" and not r["steps"]),
               key=lambda r: int(r["log_size"]))


def rewrite(archive, record, content):
    """Puts `content` (padded with filler lines to the section's size) in the section's range."""
    size = int(record["log_size"])
    assert len(content) <= size
    filler = b"".join(b"x" * 9 + b"\n" for _ in range((size - len(content)) // 10))
    content = content + filler
    if size > len(content):
        content += b"y" * (size - len(content) - 1) + b"\n"
    with open(os.path.join(archive.dir, record["log_file"]), "r+b") as f:
        f.seek(int(record["log_start"]))
        f.write(content)
    return content


def expected_hits(section, query, ignore_case=True):
    """Lines of the bytes whose decoded text (line end dropped) holds the query."""
    flags = re.IGNORECASE if ignore_case else 0
    hits, position = [], 0
    for index, line in enumerate(section.split(b"\n")):
        start, position = position, position + len(line) + 1
        if start >= len(section):
            break
        if position <= len(section) and line.endswith(b"\r"):
            line = line[:-1]
        text = line.decode("utf-8", "replace")
        found = re.search(re.escape(query), text, flags)
        if found:
            hits.append({"offset": start, "line": index, "column": found.start(),
                         "length": len(found.group()), "text": text})
    return hits


async def all_hits(client, url):
    hits, answers = [], 0
    while url:
        response = await client.get(url)
        assert response.status == 200, await response.text()
        assert response.headers["Access-Control-Allow-Origin"] == "*"
        body = await response.json()
        hits += body["hits"]
        url, answers = body["next"], answers + 1
    return hits, answers


CONTENT = ("plain line\n"
           "naïve Ärger: straße STRASSE in a line\r\n"
           "\u212aelvin and kelvin\n").encode() + b"bad \xff\xfe bytes then \xc3\xa4rger\n" + \
          "the last ärger".encode()


@pytest.mark.parametrize("query", ["ärger", "STRASSE", "kelvin", "bytes then", "a", "last ärger"])
async def test_hits_agree_with_the_bytes(client, archive, query):
    record = leaf_testcase(archive)
    section = rewrite(archive, record, CONTENT)
    hits, _ = await all_hits(client, f"{P}/sections/{record['id']}/search?q={query}")
    assert hits == expected_hits(section, query)
    # Lines as read_lines counts them.
    lines = archive.read_lines(os.path.join(archive.dir, record["log_file"]),
                               log_start=int(record["log_start"]), log_size=int(record["log_size"]))
    for hit in hits:
        assert lines[hit["line"]].rstrip("\n").rstrip("\r") == hit["text"]


async def test_last_line_hit_and_a_match_across_the_section_end(client, archive):
    record = leaf_testcase(archive)
    size = int(record["log_size"])
    start = int(record["log_start"])
    path = os.path.join(archive.dir, record["log_file"])
    with open(path, "r+b") as f:
        f.seek(start + size - 12)
        f.write(b"\nfinal needl")
        f.seek(start + size)
        tail = f.read(1)
        f.seek(start + size)
        f.write(b"e" if tail else b"")
    hits, _ = await all_hits(client, f"{P}/sections/{record['id']}/search?q=needl")
    assert hits[-1]["offset"] == size - 11 and hits[-1]["text"] == "final needl"
    if tail:
        hits, _ = await all_hits(client, f"{P}/sections/{record['id']}/search?q=needle")
        assert hits == []


async def test_paging_neither_skips_nor_repeats(client, archive):
    record = leaf_testcase(archive)
    content = b"".join(b"row %04d %s\n" % (i, b"HIT" if i % 4 == 1 else b"---") for i in range(400))
    section = rewrite(archive, record, content)
    url = f"{P}/sections/{record['id']}/search?q=hit&case=0&limit=7"
    hits, answers = await all_hits(client, url)
    assert hits == expected_hits(section, "hit")
    assert answers == -(-100 // 7)
    first = await (await client.get(url)).json()
    assert first["scanned_to"] == first["hits"][-1]["offset"] + 13
    assert "line=" in first["next"] and "limit=7" in first["next"]
    # Case-sensitive: no lower-case "hit" in the section.
    assert (await (await client.get(url.replace("case=0", "case=1"))).json())["hits"] == []
    # Offsets given by hand: from a line start, lines are counted.
    from_offset = await (await client.get(f"{P}/sections/{record['id']}/search?q=hit&offset=117")).json()
    assert from_offset["hits"][0] == expected_hits(section, "hit")[2]


async def test_regex_and_a_pathological_one(client, archive):
    record = leaf_testcase(archive)
    section = rewrite(archive, record, b"a" * 3000 + b"\nerror 42 here\nerror x\n" + b"a" * 3000 + b"\n")
    body = await (await client.get(f"{P}/sections/{record['id']}/search",
                                   params={"q": r"error \d+", "regex": "1"})).json()
    assert [(h["line"], h["column"], h["length"]) for h in body["hits"]] == [(1, 0, 8)]
    response = await client.get(f"{P}/sections/{record['id']}/search",
                                params={"q": "(a|aa)*(a|b){15}c", "regex": "1"})
    assert response.status == 200
    assert (await response.json())["hits"] == []


@pytest.mark.parametrize("params", [
    {}, {"q": ""}, {"q": "x" * 1001}, {"q": "(", "regex": "1"}, {"q": r"(a)\1", "regex": "1"},
    {"q": "(?=a)", "regex": "1"}, {"q": "a", "offset": "-1"}, {"q": "a", "offset": "x"},
    {"q": "a", "limit": "0"}, {"q": "a", "limit": "1001"}, {"q": "a", "regex": "yes"},
    {"q": "a", "case": "2"}])
async def test_bad_input_answers_invalid_query(client, archive, params):
    record = leaf_testcase(archive)
    for url in (f"{P}/sections/{record['id']}/search", f"{P}/search"):
        if url.endswith("/search") and not url.endswith(f"{record['id']}/search") and \
                set(params) - {"q", "regex", "case"}:
            continue
        response = await client.get(url, params=params)
        assert response.status == 400
        assert response.headers["Access-Control-Allow-Origin"] == "*"
        assert await response.json() == {"detail": "INVALID_QUERY"}


async def test_unknown_section_answers_as_the_sections_route(client):
    response = await client.get(f"{P}/sections/nope/search", params={"q": "a"})
    assert response.status == 500
    assert await response.json() == {"detail": "SECTION_RETRIEVE_FAILED"}


async def test_job_search_counts_each_line_for_its_deepest_section(client, archive):
    needle = "Qzxv"
    expected = {}
    for record in records(archive):
        if record.get("section_type") == "testcase" and not record["steps"] and len(expected) < 3:
            rewrite(archive, record, ("%s one\nnothing\n%s two\n" % (needle, needle.upper())).encode())
            expected[record["id"]] = 2
    body = await (await client.get(f"{P}/search", params={"q": needle})).json()
    assert body["query"] == needle and body["total"] == 6
    assert {s["id"]: s["hits"] for s in body["sections"]} == expected
    order = [r["id"] for r in records(archive)]
    assert [s["id"] for s in body["sections"]] == sorted(expected, key=order.index)
    # Case-sensitive, and a regular expression.
    body = await (await client.get(f"{P}/search", params={"q": needle, "case": "1"})).json()
    assert body["total"] == 3
    body = await (await client.get(f"{P}/search", params={"q": "^qzxv (one|two)$", "regex": "1"})).json()
    assert body["total"] == 6


async def test_job_search_shares_one_budget_among_the_logs(client, archive, monkeypatch):
    # Settling a long line of "a" against a{1,900}$ takes far longer than the
    # budget: the answer comes back incomplete instead of searching on.
    record = leaf_testcase(archive)
    rewrite(archive, record, b"a" * (int(record["log_size"]) - 100) + b"\n")
    monkeypatch.setattr(LogViewerServer, "job_search_seconds", 0.01)
    body = await (await client.get(f"{P}/search", params={"q": "a{1,900}$", "regex": "1"})).json()
    assert body["complete"] is False
    monkeypatch.setattr(LogViewerServer, "job_search_seconds", 60.0)
    body = await (await client.get(f"{P}/search", params={"q": "a{1,900}$", "regex": "1"})).json()
    assert "complete" not in body
    assert body["total"] == 1


async def test_the_loop_keeps_answering_while_a_search_runs(client, archive):
    record = leaf_testcase(archive)
    search = asyncio.ensure_future(client.get(f"{P}/search", params={"q": "(x|y)*z{1,3}q", "regex": "1"}))
    metadata = await client.get(f"{P}/metadata")
    assert metadata.status == 200
    assert (await search).status == 200


# ----------------------------------------------------- record lines for the front end ---

def record_line(seq, severity, message="m"):
    return f"{seq}: lab1: 2026-12-07T11:53:04: %SCRIPT-{severity}-X: %[pid=1]: {message}\n".encode()


async def test_pages_carry_the_severities_of_the_record_lines_starting_in_them(client, archive):
    record = leaf_testcase(archive)
    content = rewrite(archive, record, record_line(1, 6) + b"raw output: 1: 2: 3\n" + record_line(2, 3)
                      + b"  " + record_line(3, 4) + record_line(4, "x"))
    url = f"{P}/sections/{record['id']}/log"
    plain = await (await client.get(url, params={"offset": "0", "limit": "300"})).json()
    assert set(plain) == {"previous", "next", "file_content"}
    body = await (await client.get(url, params={"offset": "0", "limit": "300", "severities": "1"})).json()
    assert body["file_content"] == plain["file_content"] and body["next"] == plain["next"]
    starts = [0] + [m.end() for m in re.finditer(b"\n", content)]
    assert body["severities"] == [[starts[0], 6], [starts[2], 3], [starts[3], 4]]
    # A page that starts inside a line leaves that line out; one past the end has none.
    inside = await (await client.get(url, params={"offset": "3", "limit": "300", "severities": "1"})).json()
    assert inside["severities"] == [[starts[2], 3], [starts[3], 4]]
    # A line that starts in the page is judged whole, though the page ends inside it.
    cut = await (await client.get(url, params={"offset": "0", "limit": str(starts[3] + 5), "severities": "1"})).json()
    assert cut["severities"][-1] == [starts[3], 4]
    past = await (await client.get(url, params={"offset": str(len(content)), "severities": "1"})).json()
    assert past["file_content"] is None and past["severities"] == []


def utf16(text):
    return len(text.encode("utf-16-le")) // 2


def literal_header(line):
    """[severity, stamp start, stamp end, message start] of a record line by the header rules, or None."""
    stripped = line.strip()
    lead = len(line) - len(line.lstrip())
    pieces = stripped.split(": ")
    severity = re.search(r"-([0-9]+)-", pieces[3][1:]) if len(pieces) >= 5 and pieces[3][:1] == "%" else None
    if not severity:
        return None
    stamp_from = lead + len(": ".join(pieces[:2])) + 2
    rest_from = lead + len(": ".join(pieces[:4])) + 2
    rest = ": ".join(pieces[4:])
    message_from = rest_from
    if rest.startswith("%[") and "]: " in rest:
        message_from = rest_from + rest.index("]: ") + 3
    elif rest.startswith("%[") and rest.endswith("]:"):
        message_from = rest_from + len(rest)
    return [min(int(severity.group(1)), 1000), utf16(line[:stamp_from]), utf16(line[:stamp_from + len(pieces[2])]),
            utf16(line[:message_from])]


def random_header_line(rng, seq):
    word = lambda: rng.choice(["", "a", "é", "𝄞", ":", ": ", "-", "-3-", "]: ", "%[", "x-12-y", "\u3000", " "])
    host = rng.choice(["lab1", "hôte-𝄞", "h: x", ""])
    stamp = rng.choice(["2026-12-07T11:53:04.120", "2026-12-07 11:53:04", "T", "", "𝄞T1"])
    app = rng.choice(["%SCRIPT-3-ERROR", "%A-x-4-B", "%S-12", "SCRIPT-3-E", "%-7-", "%é-1000000-X"])
    tags = rng.choice(["%[pid=1][p=é]: ", "%[pid=2]:", "%[a]: b]: ", "", "%[x"])
    line = f"{seq}: {host}: {stamp}: {app}: {tags}" + "".join(word() for _ in range(rng.randrange(6)))
    return rng.choice(["", " ", "\u2003"]) + line if rng.random() < 0.3 else line


async def test_header_spans_follow_the_record_line_rules(client, archive):
    record = leaf_testcase(archive)
    rng = random.Random(5)
    lines = [random_header_line(rng, seq) for seq in range(300)]
    content = rewrite(archive, record, "".join(line + "\n" for line in lines).encode())
    url = f"{P}/sections/{record['id']}/log"
    body = await (await client.get(url, params={"offset": "0", "limit": str(len(content)), "headers": "1"})).json()
    assert set(body) == {"previous", "next", "file_content", "headers"}
    spans = {entry[0]: entry[1:] for entry in body["headers"]}
    assert len(spans) > 100
    offset = 0
    for line in lines:
        assert spans.get(offset) == literal_header(line), line
        offset += len(line.encode()) + 1
    # The severities the page sends alone are those of the spans.
    both = await (await client.get(url, params={"offset": "0", "limit": str(len(content)), "headers": "1",
                                                "severities": "1"})).json()
    assert both["severities"] == [entry[:2] for entry in body["headers"]]


async def test_next_record_finds_the_next_error_line(client, archive):
    record = leaf_testcase(archive)
    content = rewrite(archive, record, record_line(1, 3, "first") + record_line(2, 6)
                      + b"1: lab1: t: %A-2-B: raw but a record\n" + record_line(3, 1, "worst"))
    starts = [0] + [m.end() for m in re.finditer(b"\n", content)]
    url = f"{P}/sections/{record['id']}/next_record"
    first = await (await client.get(url, params={"offset": "0"})).json()
    assert first == {"line": {"offset": 0, "severity": 3,
                              "text": record_line(1, 3, "first").decode().rstrip("\n")}, "next": None}
    # From inside the first line, the next one at severity 3 or lower.
    second = await (await client.get(url, params={"offset": "1"})).json()
    assert second["line"]["offset"] == starts[2] and second["line"]["severity"] == 2
    worst = await (await client.get(url, params={"offset": str(starts[2] + 1), "severity": "1"})).json()
    assert worst["line"]["offset"] == starts[3]
    none = await (await client.get(url, params={"offset": str(starts[4])})).json()
    assert none == {"line": None, "next": None}
    for bad in ({"offset": "-1"}, {"severity": "x"}, {"severity": "1001"}):
        response = await client.get(url, params=bad)
        assert response.status == 400


def test_next_record_line_gives_way_after_its_byte_budget(tmp_path):
    path = tmp_path / "log"
    path.write_bytes(b"plain\n" * 100 + record_line(1, 3))
    archive = Archive(path)  # not entered: reads take complete paths
    answer = archive.next_record_line(str(path), 0, 0, offset=0, max_bytes=60)
    assert answer["line"] is None and 60 <= answer["scanned_to"] < 600
    answer = archive.next_record_line(str(path), 0, 0, offset=answer["scanned_to"])
    assert answer["line"]["offset"] == 600 and answer["scanned_to"] is None
