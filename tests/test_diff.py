"""The masked line diff of two sections' logs."""

import difflib
import os
import random
import re
import subprocess
import sys
from types import SimpleNamespace

import pytest

from tavix.log.commands.parser.base import _set_scan_block, diff_sections, mask_line

HEADER = "{seq}: lab1: 2026-12-0{day}T1{hour}:17:41: %SCRIPT-6-INFO: %[pid={pid}][pname={pname}]{thread}{part}: "


def header(seq=12, day=7, hour=1, pid=4242, pname="MainProcess", thread="", part=""):
    return HEADER.format(seq=seq, day=day, hour=hour, pid=pid, pname=pname, thread=thread, part=part)


def masked(line):
    return mask_line(line)[0]


@pytest.mark.parametrize("first, second, kinds", [
    (header(seq=1), header(seq=99), {"sequence number"}),
    (header(day=7), header(day=8, hour=5), {"timestamp"}),
    (header(pid=1, pname="Process-1"), header(pid=2, pname="Process-2:1"), {"process"}),
    (header(thread="[tid=1][tname=A]"), header(thread="[tid=77][tname=worker-3]"), {"thread"}),
    (header(part="[part=7.1/3]"), header(part="[part=9.1/3]"), {"part"}),
    ("id 123e4567-e89b-12d3-a456-426614174000 up", "id 00000000-0000-4000-8000-0000000000ff up", {"uuid"}),
    ("object at 0x7f3a2c in use", "object at 0XDEADBEEF0 in use", {"hex address"}),
    ("at 2026-12-08T17:17:41 ok", "at 2027-01-31T00:00:00.123456+01:00 ok", {"date-time"}),
    ("at 2026-12-08 17:17:41 ok", "at 2026-12-09 03:00:01Z ok", {"date-time"}),
    ("Dec  8 17:17:41 host sshd", "Jan 12 01:02:03 host sshd", {"date-time"}),
])
def test_each_masked_field(first, second, kinds):
    assert masked(first + "message") == masked(second + "message")
    assert kinds <= set(mask_line(first + "message")[1])


@pytest.mark.parametrize("first, second", [
    (header() + "loss 0 packets", header() + "loss 1 packets"),
    (header() + "vlan 10", header() + "vlan 100"),
    ("2026-12-08 ok", "2026-12-09 ok"),               # a date alone is kept
    ("uptime 17:17:41", "uptime 17:17:42"),           # so is a time alone
    ("0x12zz", "0x13zz"),                             # not an address
    ("id 123e4567-e89b-12d3-a456-42661417400", "id 123e4567-e89b-12d3-a456-42661417401"),
    ("12: lab1: stamp: no percent: x", "13: lab1: stamp: no percent: x"),  # not a header
    (header(pname="Main") + "text", header(pname="Main") + "Text"),
])
def test_what_stays_significant(first, second):
    assert masked(first) != masked(second)


def test_masked_kinds_are_named_in_order():
    line = header(part="[part=1.1/2]") + "0x1f at 2026-12-08T17:17:41"
    assert mask_line(line)[1] == ["sequence number", "timestamp", "process", "part", "hex address", "date-time"]
    assert mask_line("nothing here 42") == ("nothing here 42", [])


TAG_KINDS = {"pid": "process", "pname": "process", "tid": "thread", "tname": "thread", "part": "part"}
MARKERS = {"process": "p", "thread": "t", "part": "r"}


def literal_mask(line):
    """The header masking as written, for lines whose other text masks nothing."""
    seq = re.match(r"[0-9]+: ", line)
    if not seq:
        return line, set()
    seq_end = seq.end() - 2
    host_end = line.find(": ", seq_end + 2)
    stamp_end = -1 if host_end < 0 else line.find(": ", host_end + 2)
    if (stamp_end < 0 or host_end == seq_end + 2 or stamp_end == host_end + 2 or stamp_end + 2 >= len(line)
            or line[stamp_end + 2] != "%"):
        return line, set()
    field_end = line.find(": ", stamp_end + 2)
    if field_end < 0:
        return line, set()
    kinds = {"sequence number", "timestamp"}
    out = "\0#" + line[seq_end:host_end + 2] + "\0T" + line[stamp_end:field_end + 2]
    rest = line[field_end + 2:]
    if rest.startswith("%["):
        tags_end = rest.find("]: ")
        if tags_end < 0 and rest.endswith("]:"):
            tags_end = len(rest) - 2
        if tags_end >= 0:
            tags, i = rest[:tags_end + 1], 1
            out += "%"
            while i < len(tags):
                close = tags.find("][", i)
                end = len(tags) if close < 0 else close + 1
                item, equals = tags[i:end], tags[i:end].find("=")
                kind = TAG_KINDS.get(item[1:equals]) if equals >= 0 else None
                out += item[:equals + 1] + "\0" + MARKERS[kind] + "]" if kind else item
                kinds |= {kind} if kind else set()
                i = end
            out += rest[tags_end + 1:tags_end + 3]
            rest = rest[tags_end + 3:]
    return out + rest, kinds


def test_header_masking_matches_the_literal_rule_at_edge_positions():
    # No "0", "x", "-" or capitals: nothing but the header is ever masked.
    pieces = ["1", "12", ": ", ":", " ", "%", "%[", "]", "]: ", "]:", "[", "][", "pid=", "tname=", "part=",
              "q=", "=", "q", "\u00e9", "\t", "\u00a0", "\U0001d11e"]
    template = ["12", ": ", "h", ": ", "s", ": ", "%A", ": ", "%[", "pid=1", "][", "q=2", "]: ", "m"]
    rng = random.Random(28)
    lines = ["", "1: h: s: %a", "1: h: s: %a: %[pid=1]:", "1: " + "h" * 70000 + ": s: %a: %[tid=3]: m"]
    for _ in range(4000):
        tokens = []
        for token in template:
            roll = rng.random()
            if roll < 0.1:
                continue
            tokens.append(rng.choice(pieces) if roll < 0.25 else token)
            if rng.random() < 0.1:
                tokens.append(rng.choice(pieces))
        lines.append("".join(tokens))
    headers = 0
    for line in lines:
        text, kinds = mask_line(line)
        expected = literal_mask(line)
        assert (text, set(kinds)) == expected, repr(line)
        headers += bool(expected[1])
    assert headers > 500


def section(path, start=0, size=0):
    return SimpleNamespace(logfile=str(path), log_start=start, log_size=size,
                           archive=SimpleNamespace(dir=str(path.parent)))


def write(path, lines, end="\n"):
    path.write_bytes("".join(line + end for line in lines).encode())
    return section(path)


def apply_hunks(base, answer):
    """The new lines as the hunks make them from the base lines."""
    result, at = [], 0
    for hunk in answer["hunks"]:
        start = hunk["base_start"] - (1 if hunk["base_count"] else 0)
        result += base[at:start]
        at = start
        for line in hunk["lines"]:
            if line["op"] in " -":
                assert line["base_line"] == at + 1
                # Context lines show the new run's text.
                assert masked(line["text"]) == masked(base[at])
                assert line["op"] == " " or line["text"] == base[at]
                at += 1
            if line["op"] in " +":
                result.append(line["text"])
    return result + base[at:]


def difflib_changes(a, b):
    matcher = difflib.SequenceMatcher(None, a, b, autojunk=False)
    return sum((i2 - i1) + (j2 - j1) for tag, i1, i2, j1, j2 in matcher.get_opcodes() if tag != "equal")


def random_line(rng, seq):
    text = "msg %d %s" % (rng.randrange(30), rng.choice(["up", "down", "x" * rng.randrange(5)]))
    if rng.random() < 0.5:
        return header(seq=seq, pid=rng.randrange(9999)) + text
    return text


def mutate(rng, lines):
    out = list(lines)
    for _ in range(rng.randrange(8)):
        kind = rng.choice(["insert", "delete", "change", "move"])
        where = rng.choice([0, len(out), rng.randrange(len(out) + 1)])
        if kind == "insert":
            out[where:where] = [random_line(rng, 1) for _ in range(rng.randrange(1, 4))]
        elif out and kind == "delete":
            del out[min(where, len(out) - 1):min(where, len(out) - 1) + rng.randrange(1, 4)]
        elif out and kind == "change":
            out[min(where, len(out) - 1)] = random_line(rng, 2) + " changed"
        elif out:
            chunk = out[where:where + 3]
            del out[where:where + 3]
            at = rng.randrange(len(out) + 1)
            out[at:at] = chunk
    # Every line's run-to-run fields move anyway.
    return [line.replace(": lab1: 2026-12-07", ": lab1: 2026-12-08") for line in out]


@pytest.mark.parametrize("seed", range(60))
def test_random_diffs_are_correct_and_minimal(tmp_path, seed):
    rng = random.Random(seed)
    base_lines = [random_line(rng, i) for i in range(rng.randrange(0, 40))]
    new_lines = mutate(rng, base_lines)
    end = "\r\n" if seed % 5 == 0 else "\n"
    answer = diff_sections(write(tmp_path / "a.log", base_lines, end), write(tmp_path / "b.log", new_lines, end),
                           context=rng.randrange(4))
    assert not answer["approximate"]
    base_masked, new_masked = [masked(x) for x in base_lines], [masked(x) for x in new_lines]
    # The hunks turn the masked base into the masked new lines...
    assert [masked(x) for x in apply_hunks(base_lines, answer)] == new_masked
    # ...changing no more lines than a literal line diff does.
    changed = sum(line["op"] != " " for hunk in answer["hunks"] for line in hunk["lines"])
    assert changed <= difflib_changes(base_masked, new_masked)
    assert answer["identical"] == (base_masked == new_masked) == (answer["hunks"] == [])


def test_hunk_positions_as_unified_diff_writes_them(tmp_path):
    base = ["a", "b", "c"]
    answer = diff_sections(write(tmp_path / "a", base), write(tmp_path / "b", ["new"] + base), context=0)
    assert [(h["base_start"], h["base_count"], h["new_start"], h["new_count"]) for h in answer["hunks"]] == [(0, 0, 1, 1)]
    answer = diff_sections(write(tmp_path / "a", base), write(tmp_path / "b", ["a", "c"]), context=1, path=["s", "t"])
    assert answer["path"] == ["s", "t"]
    assert [(h["base_start"], h["base_count"], h["new_start"], h["new_count"]) for h in answer["hunks"]] == [(1, 3, 1, 2)]
    assert [(x["op"], x["text"], x["base_line"], x["new_line"]) for x in answer["hunks"][0]["lines"]] == [
        (" ", "a", 1, 1), ("-", "b", 2, None), (" ", "c", 3, 2)]


def test_a_log_that_only_moved_in_time_is_identical(tmp_path):
    base = [header(seq=i, pid=10) + "step %d at 0x%x" % (i, i * 4096) for i in range(50)]
    new = [header(seq=i + 1000, day=8, pid=20) + "step %d at 0x%x" % (i, i * 8192 + 1) for i in range(50)]
    answer = diff_sections(write(tmp_path / "a", base), write(tmp_path / "b", new))
    assert answer["identical"] and answer["hunks"] == []
    assert answer["masked"] == ["sequence number", "timestamp", "process", "hex address"]


def test_ranges_empty_sections_and_bad_bytes(tmp_path):
    log = tmp_path / "task.log"
    log.write_bytes(b"one\ntwo\nthree\xff\nfour\n")
    whole, part = section(log), section(log, start=4, size=10)   # "two\nthree\xff\n"
    answer = diff_sections(part, whole, context=0)
    assert [(x["op"], x["text"]) for h in answer["hunks"] for x in h["lines"]] == [("+", "one"), ("+", "four")]
    empty = section(log, start=4, size=0)
    empty.log_start, empty.log_size = 23, 1   # past the end: no lines
    answer = diff_sections(empty, part)
    assert [x["text"] for x in answer["hunks"][0]["lines"]] == ["two", "three\ufffd"]
    assert diff_sections(empty, empty)["identical"]


def test_a_long_line_is_cut_in_the_answer(tmp_path):
    long_line = "x" * (100 << 10)
    answer = diff_sections(write(tmp_path / "a", ["a"]), write(tmp_path / "b", ["a", long_line + "1"]))
    (line,) = [x for x in answer["hunks"][0]["lines"] if x["op"] == "+"]
    assert line["truncated"] and len(line["text"]) == 16 << 10
    # Beyond the masked head, a long line still compares by all its bytes.
    big = "y" * ((1 << 20) + 10)
    answer = diff_sections(write(tmp_path / "a", [big + "a"]), write(tmp_path / "b", [big + "b"]))
    assert not answer["identical"]
    answer = diff_sections(write(tmp_path / "a", [big + "a"], "\r\n"), write(tmp_path / "b", [big + "a"]))
    assert answer["identical"]


def test_the_time_budget_gives_a_coarser_diff(tmp_path):
    rng = random.Random(1)
    base = ["%d" % rng.randrange(10 ** 9) for _ in range(3000)]
    new = ["%d" % rng.randrange(10 ** 9) for _ in range(3000)]
    answer = diff_sections(write(tmp_path / "a", ["same"] + base), write(tmp_path / "b", ["same"] + new), budget=0)
    assert answer["approximate"]
    assert apply_hunks(["same"] + base, answer) == ["same"] + new


def test_bad_arguments(tmp_path):
    a = write(tmp_path / "a", ["x"])
    with pytest.raises(ValueError):
        diff_sections(a, a, context=-1)
    with pytest.raises(FileNotFoundError):
        diff_sections(a, section(tmp_path / "missing.log"))
    outside = section(tmp_path / "a")
    outside.archive = SimpleNamespace(dir=str(tmp_path / "elsewhere"))
    (tmp_path / "elsewhere").mkdir()
    with pytest.raises(PermissionError):
        diff_sections(a, outside)


def test_a_huge_diff_answers_its_first_lines(tmp_path):
    base = ["same"] + ["base %d" % i for i in range(30_000)]
    new = ["same"] + ["new %d" % i for i in range(30_000)]
    answer = diff_sections(write(tmp_path / "a", base), write(tmp_path / "b", new), budget=0.05)
    assert answer["truncated"] and answer["hunk_count"] == 1
    (hunk,) = answer["hunks"]
    assert hunk["base_count"] == hunk["new_count"] == 30_001
    assert len(hunk["lines"]) == 50_000
    assert not diff_sections(write(tmp_path / "a", base[:10]), write(tmp_path / "b", new[:10])).get("truncated")


def literal_lines(data, begin, end):
    """(offset, text) of the lines of data[begin:end], as a plain split reads them."""
    lines, at = [], begin
    for raw in data[begin:end].split(b"\n"):
        lines.append((at, raw[:-1] if raw.endswith(b"\r") else raw))
        at += len(raw) + 1
    if data[begin:end].endswith(b"\n") or begin >= end:
        lines.pop()   # nothing after the last line end
    return [(offset, text.decode()) for offset, text in lines]


@pytest.mark.parametrize("block", [1, 7, 61, 4096])
def test_section_lines_are_read_alike_at_every_block_size(tmp_path, block):
    """Line ends across blocks, "\\r\\n" cut between two reads, lines longer than a block and
    ranges starting and ending inside lines give the diff a plain line split gives."""
    rng = random.Random(block)
    for round_ in range(25):
        logs = []
        for name in ("a.log", "b.log"):
            words = ["", "x" * rng.randrange(200), "é∂", "\r", header(seq=rng.randrange(50)) + "up"]
            lines = ["".join(rng.choice(words) for _ in range(rng.randrange(4))) for _ in range(rng.randrange(30))]
            text = "".join(line + rng.choice(["\n", "\r\n"]) for line in lines) + rng.choice(["", "tail", "tail\r"])
            data = text.encode()
            cuts = sorted(len(text[:rng.randrange(len(text) + 1)].encode()) for _ in range(2))
            path = tmp_path / name
            if cuts[1] == cuts[0]:
                cuts[1] = len(data)   # a size of 0 reads to the end
            path.write_bytes(data)
            logs.append((section(path, start=cuts[0], size=cuts[1] - cuts[0]), data, cuts))
        (a, a_data, (a_begin, a_end)), (b, b_data, (b_begin, b_end)) = logs
        previous = _set_scan_block(block)
        try:
            answer = diff_sections(a, b, context=1, offsets=True)
        finally:
            _set_scan_block(previous)
        assert answer == diff_sections(a, b, context=1, offsets=True), round_
        base, new = literal_lines(a_data, a_begin, a_end), literal_lines(b_data, b_begin, b_end)
        # Too little memory to hold the sections: compared where they differ,
        # the same answer while that part fits, else that part replaced whole.
        for memory in (None, 0, 41 * 24):
            small = answer if memory is None else diff_sections(a, b, context=1, offsets=True, memory=memory)
            if not small["approximate"]:
                assert small == answer, (round_, memory)
            else:
                assert len(small["hunks"]) == 1 and answer["hunks"], (round_, memory)
            assert [masked(x) for x in apply_hunks([t for _, t in base], small)] == [masked(t) for _, t in new], round_
            for line in (x for hunk in small["hunks"] for x in hunk["lines"]):
                if line["base_line"]:
                    assert line["base_offset"] == base[line["base_line"] - 1][0] - a_begin, round_
                if line["new_line"]:
                    assert line["new_offset"] == new[line["new_line"] - 1][0] - b_begin, round_


def test_lines_carry_their_header_spans(tmp_path):
    record = "7: hôte-𝄞: 2026-12-07T11:53:04: %S-3-ERROR: %[pid=1]: lost 𝄞"
    answer = diff_sections(write(tmp_path / "a", ["x"]), write(tmp_path / "b", [" " + record, "raw: text"]),
                           headers=True)
    headers = [line["header"] for line in answer["hunks"][0]["lines"] if line["op"] == "+"]
    # UTF-16 positions, as the browser counts: the host's clef takes two.
    assert headers == [[3, 13, 32, 56], None]
    assert "header" not in diff_sections(write(tmp_path / "a", ["x"]), write(tmp_path / "b", ["y"]))["hunks"][0]["lines"][0]


def test_a_diff_over_its_memory_is_approximate_where_the_sections_differ(tmp_path):
    lines = ["line %d" % i for i in range(60_000)]
    new = lines[:40_000] + ["new %d" % i for i in range(1_000)] + lines[41_000:50_000] + ["end"] + lines[50_001:]
    a, b = write(tmp_path / "a", lines), write(tmp_path / "b", new)
    exact = diff_sections(a, b)
    assert not exact["approximate"] and len(exact["hunks"]) == 2
    # Both differing parts fit 2 MiB, the sections do not: the same answer.
    assert diff_sections(a, b, memory=2 << 20) == exact
    small = diff_sections(a, b, memory=100_000)
    assert small["approximate"] and not small.get("truncated")
    (hunk,) = small["hunks"]
    # From the first difference to the last, with the context around it.
    assert (hunk["base_start"], hunk["base_count"], hunk["new_start"], hunk["new_count"]) == (39_998, 10_007, 39_998, 10_007)
    assert apply_hunks(lines, small) == new
    assert exact["hunks"][0]["lines"][:6] == hunk["lines"][:6]
    # However wide the context, the lines read are those the answer can show.
    wide = diff_sections(a, b, memory=100_000, context=10 ** 9)
    assert wide["truncated"] and wide["hunks"][0]["base_start"] == 1
    shown = wide["hunks"][0]["lines"]
    assert [line["text"] for line in shown] == lines[:50_000]
    assert [line["op"] for line in shown] == [" "] * 40_000 + ["-"] * 10_000
    # One side only adding lines is as exact as it gets.
    added = diff_sections(a, write(tmp_path / "c", lines + ["more"] * 3), memory=0)
    assert not added["approximate"] and [line["op"] for line in added["hunks"][0]["lines"]] == [" "] * 3 + ["+"] * 3


MEMORY_PROBE = """
import resource, sys
from types import SimpleNamespace
from tavix.log.commands.parser.base import diff_sections
def section(path):
    return SimpleNamespace(logfile=path, log_start=0, log_size=0, archive=SimpleNamespace(dir=sys.argv[3]))
rest = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
answer = diff_sections(section(sys.argv[1]), section(sys.argv[2]), memory=4 << 20)
print(answer["approximate"], (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rest) * 1024)
"""


def test_a_diff_of_millions_of_lines_keeps_to_its_memory(tmp_path):
    """A fresh process: 3 million lines a side, 4 MiB of memory."""
    (tmp_path / "a").write_bytes(b"a\n" * 3_000_000)
    (tmp_path / "b").write_bytes(b"a\n" + b"b\n" * 2_999_998 + b"a\n")
    done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(tmp_path / "a"), str(tmp_path / "b"), str(tmp_path)],
                          capture_output=True, text=True, check=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    approximate, grown = done.stdout.split()
    # Holding the lines would take over 100 MB; the answer's 50,000 lines take some 15 MB.
    assert approximate == "True" and int(grown) < 40 << 20
