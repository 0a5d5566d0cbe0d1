"""Failure causes and categories, against a literal reading of the rules."""

import collections
import datetime
import gc
import os
import ipaddress
import random
import re

import pytest

from tavix.log.commands.archive import Archive
from tavix.log.commands.parser import base
from helpers.archives import generate_archive
from helpers.signatures import pathological_lines

HOST = "lab1"
LINE_HEAD = 1 << 16
FAILED = {"failed", "errored", "aborted", "blocked"}

# ------------------------------------------------------- the literal reading ---

WORD = re.compile(r"[A-Za-z0-9_]")
QUOTES = [("'", "'"), ('"', '"'), ("\u201c", "\u201d"), ("\u2018", "\u2019"), ("\u00ab", "\u00bb")]
TIME = r"\d{1,2}:\d{2}:\d{2}(?:\.\d+)?(?:Z|[+-]\d{2}:?\d{2})?"
END = r"(?![A-Za-z0-9_])"
SHAPES = [
    ("<UUID>", re.compile(r"[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}" + END)),
    ("<DATE>T<TIME>", re.compile(r"\d{4}([-/])\d{2}\1\d{2}T" + TIME + END)),
    ("<DATE>", re.compile(r"\d{4}([-/])\d{2}\1\d{2}" + END)),
    ("<TIME>", re.compile(TIME + END)),
]
LATER_SHAPES = [
    ("<MAC>", re.compile(r"[0-9A-Fa-f]{2}([:-])(?:[0-9A-Fa-f]{2}\1){4}[0-9A-Fa-f]{2}" + END)),
    ("<HEX>", re.compile(r"0[xX][0-9A-Fa-f]+" + END + r"|(?=[0-9A-Fa-f]*\d)(?=[0-9A-Fa-f]*[A-Fa-f])[0-9A-Fa-f]+" + END)),
]


def address_at(text, i):
    """Length of the IPv6 or IPv4 address at i (as the ipaddress module reads them), or 0."""
    run = re.compile(r"[0-9A-Fa-f:.]+").match(text, i)
    candidate = run.group() if run else ""
    while candidate:
        after = i + len(candidate)
        if not WORD.match(text, after):
            try:
                ipaddress.IPv6Address(candidate)
                return len(candidate)
            except ValueError:
                pass
        if candidate[-1] not in ":.":
            break
        candidate = candidate[:-1]
    four = re.compile(r"\d{1,3}(?:\.\d{1,3}){3}" + END).match(text, i)
    if four:
        try:
            ipaddress.IPv4Address(four.group())
            return len(four.group())
        except ValueError:
            pass
    return 0


def reference_signature(message):
    out, i = [], 0
    while i < len(message):
        starts_word = i == 0 or not WORD.match(message[i - 1])
        if starts_word:
            quoted = None
            for opening, closing in QUOTES:
                if message.startswith(opening, i):
                    close = message.find(closing, i + 1)
                    while close >= 0 and WORD.match(message, close + 1):
                        close = message.find(closing, close + 1)
                    quoted = (opening, closing, close)
                    break
            if quoted and quoted[2] >= 0:
                out.append(quoted[0] + "<STR>" + quoted[1])
                i = quoted[2] + 1
                continue
            found = next(((p, m.end()) for p, shape in SHAPES if (m := shape.match(message, i))), None)
            if not found and (length := address_at(message, i)):
                found = ("<IP>", i + length)
            if not found:
                found = next(((p, m.end()) for p, shape in LATER_SHAPES if (m := shape.match(message, i))), None)
            if found:
                out.append(found[0])
                i = found[1]
                continue
        digits = re.compile(r"[0-9]+").match(message, i)
        if digits:
            out.append("<N>" if starts_word else digits.group())
            i = digits.end()
            continue
        out.append(message[i])
        i += 1
    return " ".join("".join(out).split())


def reference_fields(line):
    """(severity, message) of a record line, or None; `line` is bytes without its "\\n"."""
    text = line[:LINE_HEAD].decode("utf-8", "surrogateescape").strip()
    pieces = text.split(": ")
    if len(pieces) < 5 or not pieces[3].startswith("%"):
        return None
    severity = re.match(r"%.*?-([0-9]+)-", pieces[3])
    if not severity:
        return None
    rest = ": ".join(pieces[4:])
    if rest.startswith("%[") and "]: " in rest:
        rest = rest.split("]: ", 1)[1]
    elif rest.startswith("%[") and rest.endswith("]:"):
        rest = ""
    return min(int(severity.group(1)), 1000), rest, text, pieces[2]


def reference_lines(data, start, size):
    """(offset, line) of the lines starting in the range, as the archive's byte ranges go."""
    end = start + size if size > 0 else len(data)
    position = start
    while position < min(end, len(data)):
        newline = data.find(b"\n", position)
        stop = len(data) if newline < 0 else newline
        yield position, data[position:stop]
        position = stop + 1


def reference_cause(data, start, size, host):
    cause = None
    for offset, line in reference_lines(data, start, size):
        fields = reference_fields(line)
        if not fields or fields[0] > 4 or (host and host not in fields[2]):
            continue
        message = fields[1].encode("utf-8", "surrogateescape").decode("utf-8", "replace")
        cause = (offset, fields[0], message)
        if fields[0] <= 3:
            break
    return cause


def reference_failing_nodes(parser):
    """(id, result, record) of the failing nodes in tree order, read from the records."""
    nodes = []
    for task in parser.scripts:
        sections = task["sections"]
        failing_below = set()
        for section in sections:
            steps = section["steps"] or []
            for j, step in enumerate(steps):
                if step["result"] in FAILED:
                    failing_below.add(section["id"])
                    # every enclosing step, by step id
                    for outer in steps[:j]:
                        if step["step_id"].startswith(outer["step_id"] + "."):
                            failing_below.add(outer["id"])
            if section["result"] in FAILED or section["id"] in failing_below:
                ancestors = {s["sequence_number"] for s in sections} & set(section["parents"])
                for other in sections:
                    if other["sequence_number"] in ancestors:
                        failing_below.add(other["id"])
        for section in sections:
            if section["result"] in FAILED and section["id"] not in failing_below:
                nodes.append((section["id"], section["result"], section))
            for step in section["steps"] or []:
                if step["result"] in FAILED and step["id"] not in failing_below:
                    nodes.append((section["id"] + "#" + step["id"], step["result"], step))
    return nodes


# -------------------------------------------------------------- signatures ---

FRAGMENTS = [
    "BGP", "neighbor", "10.0.1.2", "256.1.1.1", "01.2.3.4", "1.2.3.4.5", "fe80::1", "::1", "2001:db8::ffff:1.2.3.4",
    "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8:9", "a::b::c", "fe80::1:", "dead::beef", "11:53:13", "1:02:03.5",
    "11:53:13Z", "11:53:13+01:00", "11:53:13.5s", "2026-12-07", "2026/12/07", "2026-12/07", "2026-12-07T11:53:13",
    "3f2b1c9e-1111-4222-8333-123456789abc", "0x1F", "0xZZ", "deadbeef", "a3f9", "e1000", "R12", "tc_0004",
    "00:1a:2b:3c:4d:5e", "00-1a-2b-3c-4d-5e", "'R1'", "'it's here'", "can't", '"x y"', "“a b”", "‘c’", "«d»",
    "'unclosed", "42", "-7", "3.14", "100pps", "x1", "é2", "\u00a0", "\t", "  ", "\u3000", "(", ")", ":", ",", "%",
    "\ufffd", "Δ=0", "<N>", "édge-02", "0", "255.255.255.255", "12:345", "1::", "::", "::ffff:1.2.3",
]


def random_message(rng):
    parts = [rng.choice(FRAGMENTS) for _ in range(rng.randint(0, 9))]
    return "".join(part + rng.choice(["", " ", " ", "", ".", ":", "  ", "/", "-"]) for part in parts)


def test_signature_matches_the_literal_reading():
    rng = random.Random(3)
    for fragment in FRAGMENTS:
        for message in (fragment, f"at {fragment} end", f"x{fragment}", f"{fragment}x", f"({fragment})"):
            assert base.failure_signature(message) == reference_signature(message), message
    for _ in range(8000):
        message = random_message(rng)
        assert base.failure_signature(message) == reference_signature(message), message


def test_signature_examples():
    sign = base.failure_signature
    assert sign("BGP neighbor 10.0.1.2 (AS 65001) on 'R1' never came up after  30 s") == \
        "BGP neighbor <IP> (AS <N>) on '<STR>' never came up after <N> s"
    assert sign(" a\t\u3000b  ") == "a b"
    assert sign("since 2026-12-07 11:53:13, id 3f2b1c9e-1111-4222-8333-123456789abc") == \
        "since <DATE> <TIME>, id <UUID>"
    assert sign("stream 0x1f3a at fe80::1 and R12") == "stream <HEX> at <IP> and R12"
    assert sign("lone \udc80 surrogate 7") == "lone \udc80 surrogate <N>"


def test_signature_of_address_runs_matches_the_literal_reading():
    # Long runs of address characters, with candidates on both sides of the
    # longest possible address.
    rng = random.Random(5)
    pieces = ["ffff:", "1:", ":", "::", ".", "255.", "1.2.3.4", "a", "0", "g", " ", "'", "ffff:ffff:ffff:ffff:ffff:ffff:"]
    for _ in range(400):
        message = "".join(rng.choice(pieces) for _ in range(rng.randint(1, 30)))
        assert base.failure_signature(message) == reference_signature(message), message


def test_signature_of_pathological_lines():
    for message, signature in pathological_lines(600):
        assert reference_signature(message) == signature, message[:20]
        assert base.failure_signature(message) == signature, message[:20]
    for message, signature in pathological_lines(LINE_HEAD):
        assert base.failure_signature(message) == signature, message[:20]


# ------------------------------------------------------------- cause lines ---

def record(seq, message, severity=6, host=HOST, tags="%[pid=1][pname=Main]: ", app="SCRIPT"):
    name = {2: "CRITICAL", 3: "ERROR", 4: "WARNING"}.get(severity, "INFO")
    return f"{seq}: {host}: 2026-12-07T11:53:{seq % 60:02d}: %{app}-{severity}-{name}: {tags}{message}\n"


def random_log(rng):
    pieces = []
    for seq in range(rng.randint(0, 40)):
        kind = rng.random()
        if kind < 0.6:
            line = record(seq, random_message(rng), rng.choice([2, 3, 4, 4, 6, 6, 7, 12]),
                          host=rng.choice([HOST, HOST, "other"]),
                          tags=rng.choice(["%[pid=1][pname=Main]: ", "", "%[pid=2]:"]),
                          app=rng.choice(["SCRIPT", "MY-APP", "A-1-B", "X"]))
        elif kind < 0.75:
            line = rng.choice([f"{seq}: {HOST}: t: SCRIPT-3-ERROR: x\n", f"{seq}: {HOST}: t: %S-3-E\n",
                               f"{seq}: {HOST}: t: %S-x3-E: y\n", f"  {seq}: {HOST}: t: %S-3-E: padded  \n",
                               f"{seq}: {HOST}: t: %S-3-E: \n", f"{seq}: {HOST}: t: %S--3-E: z\n"])
        else:
            line = rng.choice(["raw output\n", "", "\n", "Error: lab1: x: %A-3-B: in output\n", "\u00a0\n"])
        if rng.random() < 0.15:
            line = line.replace("\n", "\r\n")
        pieces.append(line.encode())
        if rng.random() < 0.05:
            pieces.append(b"\xc3(\xe2\x82 \xff " + record(seq, "bad \xff", 3).encode("latin-1") + b"\n")
        if rng.random() < 0.02:
            pieces.append(record(seq, "long " + "y" * (LINE_HEAD + rng.randint(-40, 40)), 3).encode())
    return b"".join(pieces)[: None if rng.random() < 0.8 else -1]


@pytest.fixture(params=[0, 7, 61], ids=["default-reads", "7-byte-reads", "61-byte-reads"])
def read_block(request):
    previous = base._set_scan_block(request.param)
    yield request.param
    base._set_scan_block(previous)


def random_log_files(directory, seed, rounds):
    """(round, rng, path, data) of random logs written one after the other to one file."""
    rng = random.Random(seed)
    path = directory / "TaskLog"
    for round_ in range(rounds):
        data = random_log(rng)
        path.write_bytes(data)
        yield round_, rng, path, data


def test_cause_lines_match_the_literal_reading_on_random_logs(tmp_path, read_block):
    for round_, rng, path, data in random_log_files(tmp_path, 11, 250):
        starts = [0] + [m.end() for m in re.finditer(b"\n", data)]
        ranges = []
        for _ in range(4):
            start = rng.choice(starts) if rng.random() < 0.8 else rng.randrange(len(data) + 1)
            ranges.append((start, rng.choice([0, -1, rng.randrange(1, len(data) + 2), len(data) - start])))
        host = rng.choice([HOST, HOST, None])
        assert base.failure_causes(str(path), host, ranges) == \
            [reference_cause(data, start, size, host) for start, size in ranges], round_


def test_cause_line_rules(tmp_path):
    path = tmp_path / "TaskLog"
    lines = [record(1, "starting"), record(2, "Retrying 10.0.0.1", 4), record(3, "BGP down on 'R1'", 3),
             record(4, "later error", 3), record(5, "last warning", 4)]
    path.write_bytes("".join(lines).replace("\n", "\r\n").encode())
    offsets = [0]
    for line in lines:
        offsets.append(offsets[-1] + len(line) + 1)
    # CRLF lines: the "\r" is no part of the message; the warning before the error loses.
    assert base.failure_causes(str(path), HOST, [(0, -1)]) == [(offsets[2], 3, "BGP down on 'R1'")]
    # Without an error, the last warning.
    assert base.failure_causes(str(path), HOST, [(offsets[3], -1), (offsets[4], 0), (0, offsets[2])]) == \
        [(offsets[3], 3, "later error"), (offsets[4], 4, "last warning"), (offsets[1], 4, "Retrying 10.0.0.1")]
    # Nothing of severity 4 or less; other hosts do not count.
    assert base.failure_causes(str(path), "lab2", [(0, -1)]) == [None]
    path.write_bytes(record(1, "d\xe9j\xe0 vu \xff", 3).encode("latin-1"))
    assert base.failure_causes(str(path), HOST, [(0, 0)]) == [(0, 3, "d\ufffdj\ufffd vu \ufffd")]
    with pytest.raises(FileNotFoundError):
        base.failure_causes(str(tmp_path / "missing"), HOST, [(0, 0)])
    with pytest.raises(ValueError):
        base.failure_causes(str(path), HOST, [(-1, 0)])


# -------------------------------------------------------------- categories ---

@pytest.fixture(scope="module")
def failing_run(tmp_path_factory):
    path = tmp_path_factory.mktemp("failures") / "run.zip"
    info = generate_archive(path, log_bytes=300_000, sections=500, seed=21, failure_causes=True)
    with Archive(path) as archive:
        yield info, archive


def test_categories_against_the_generated_causes(failing_run):
    info, archive = failing_run
    parser = archive.results
    answer = base.failure_categories(parser)
    nodes = reference_failing_nodes(parser)
    by_id = {node_id: (result, record) for node_id, result, record in nodes}

    # The generated description: which node got which cause, by position in the tree.
    described = []
    for script in info.scripts:
        for section in script.sections:
            described.append(section.cause)
            described.extend(step.cause for step in section.all_steps)
    records = [r for task in parser.scripts for s in task["sections"] for r in [s] + list(s["steps"] or [])]
    cause_of = {id(record): cause for record, cause in zip(records, described)}
    assert sum(c is not None for c in described) == len(nodes) > 20
    assert {kind for kind in (c.kind for c in described if c)} == {"error", "warning", "silent"}
    assert any("#" in node_id for node_id, _, _ in nodes), "a failing step"
    assert any(record.get("section_type") == "subtest" for _, _, record in nodes)
    assert any(r.get("section_type") == "testcase" and r["result"] in FAILED and (r["id"] not in by_id)
               for r in records), "a failing testcase with something failing below it"

    listed = [node_id for category in answer["categories"] for node_id in category["sections"]]
    assert len(listed) == len(set(listed))
    assert sorted(listed + answer["unexplained"]) == sorted(by_id)
    tree_order = [node_id for node_id, _, _ in nodes]
    for category in answer["categories"]:
        causes = {(cause_of[id(by_id[n][1])].kind == "error", cause_of[id(by_id[n][1])].template)
                  for n in category["sections"]}
        assert len(causes) == 1, category["signature"]
        assert category["sections"] == sorted(category["sections"], key=tree_order.index)
        assert category["count"] == len(category["sections"])
        assert category["results"] == dict(collections.Counter(by_id[n][0] for n in category["sections"]))
        first = cause_of[id(by_id[category["sections"][0]][1])]
        assert category["example"] == first.message
        assert category["signature"] == reference_signature(first.message)
    assert {n for n in answer["unexplained"]} == {n for n, _, r in nodes if cause_of[id(r)].kind == "silent"}
    # Every template is one category.
    templates = {(c.kind == "error", c.template) for c in described if c and c.kind != "silent"}
    assert len(answer["categories"]) == len(templates)
    counts = [(-c["count"], tree_order.index(c["sections"][0])) for c in answer["categories"]]
    assert counts == sorted(counts)


def test_categories_match_the_literal_reading_of_each_node(failing_run):
    info, archive = failing_run
    parser = archive.results
    answer = base.failure_categories(parser, causes=True)
    data = {}
    expected = {}
    for node_id, result, record in reference_failing_nodes(parser):
        section = parser.get_section(record["id"])
        if section.logfile not in data:
            with open(section.logfile, "rb") as log:
                data[section.logfile] = log.read()
        start, size = int(record["log_start"]), int(record["log_size"])
        expected[node_id] = reference_cause(data[section.logfile], start, size, section.host)
        if expected[node_id]:
            expected[node_id] = (expected[node_id][0] - start, expected[node_id][1])
    found = {n: tuple(c) for category in answer["categories"]
             for n, c in zip(category["sections"], category["causes"])}
    found.update({n: None for n in answer["unexplained"]})
    assert found == expected
    assert "causes" not in base.failure_categories(parser)["categories"][0]


def test_no_failures_and_errors(tmp_path, generated_run):
    with Archive(generated_run.path) as archive:
        parser = archive.results
        for task in parser.scripts:
            for section in task["sections"]:
                section["result"] = "passed"
        assert base.failure_categories(parser) == {"categories": [], "unexplained": []}
        section = parser.scripts[0]["sections"][3]
        section["result"] = " Failed "
        # A log that is missing, outside the archive, a directory, or that
        # the range starts past the end of: the node is unreadable, not an error.
        unreadable = {"categories": [], "unexplained": [], "unreadable": [section["id"]]}
        view = parser.get_section(section["id"])
        for logfile in [str(tmp_path / "gone"), "/etc/hostname", str(archive.dir)]:
            view.logfile = logfile
            assert base.failure_categories(parser) == unreadable, logfile
        view.logfile = os.path.join(str(archive.dir), generated_run.scripts[0].log_file)
        view.log_start = os.path.getsize(view.logfile) + 1
        assert base.failure_categories(parser) == unreadable
    gc.collect()


def test_failing_results_follow_the_literal_rule():
    def literal(result):
        word = result.strip() if isinstance(result, str) else ""
        return word.isascii() and word.lower() in FAILED

    class Text(str):
        pass

    pieces = ["failed", "errored", "aborted", "blocked", "passed", "FAIL", "ed", "BLOC", "\u212aED", "\u017f",
              " ", "\t", "\x0b", "\x1c", "\u00a0", "\u2003", "\u3000", "\x00", "\ud800", "\u0130"]
    rng = random.Random(5)
    results = [None, 3, b"failed", Text(" Failed "), ""]
    for _ in range(3000):
        text = "".join(rng.choice(pieces) for _ in range(rng.randint(1, 3)))
        results.append("".join(c.upper() if rng.random() < 0.3 else c for c in text))
    assert sum(map(literal, results)) > 100
    for result in results:
        assert base.is_failing_result(result) == literal(result), repr(result)


# --------------------------------------------------------------- histogram ---

def reference_histogram(data, host):
    counts = collections.defaultdict(lambda: [0, 0, None])
    for offset, line in reference_lines(data, 0, 0):
        fields = reference_fields(line)
        if not fields or fields[0] > 4 or (host and host not in fields[2]):
            continue
        try:
            stamp = datetime.datetime.strptime(fields[3][:19].replace(" ", "T"), "%Y-%m-%dT%H:%M:%S")
        except ValueError:
            continue
        second = int(stamp.replace(tzinfo=datetime.timezone.utc).timestamp())
        counts[second][0 if fields[0] == 4 else 1] += 1
        counts[second][2] = offset if counts[second][2] is None else counts[second][2]
    times = sorted(counts)
    return {"width": 1, "times": times, "warnings": [counts[t][0] for t in times],
            "errors": [counts[t][1] for t in times], "offsets": [counts[t][2] for t in times]}


def test_histogram_matches_the_literal_reading(tmp_path, read_block):
    for round_, _, path, data in random_log_files(tmp_path, 4, 60):
        assert base.severity_histogram(str(path), HOST) == reference_histogram(data, HOST), round_


def test_histogram_bins_widen_for_long_runs(tmp_path):
    path = tmp_path / "TaskLog"
    with open(path, "w") as log:
        for hour in range(0, 24 * 30):
            for minute in range(0, 60, 2):
                log.write(f"1: {HOST}: 2026-11-{1 + hour // 24:02d}T{hour % 24:02d}:{minute:02d}:00: "
                          f"%S-4-WARNING: %[pid=1]: w\n")
    answer = base.severity_histogram(str(path), HOST)
    assert answer["width"] == 300 and len(answer["times"]) == 24 * 30 * 12
    assert sum(answer["warnings"]) == 24 * 30 * 30 and sum(answer["errors"]) == 0
