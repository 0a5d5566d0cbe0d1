"""Log sections: the execution scan over a task log, pages and execution lines."""

import gc
import os
import random
import re
import types

import pytest

from tavix.log.commands.parser import base
from tavix.log.commands.parser.base import LogSection, Pattern

from helpers.sections import (HOST, HOSTS, READ_BLOCKS, Reader, equivalent_patterns, make_section, random_log,
                              record, reference_scan, summary)

@pytest.fixture
def logdir(tmp_path):
    LogSection.child_execute.fget.cache_clear()
    yield tmp_path
    LogSection.child_execute.fget.cache_clear()


def test_section_wraps_its_record_and_reads_pages_through_the_archive(logdir):
    rec = {"log_file": "task.log", "log_start": "4", "log_size": "-1", "section_id": "s1"}
    (logdir / "task.log").write_text("abc\ndef\nghi\n")
    section = LogSection(Reader(str(logdir)), rec, HOST)
    assert (section.data is rec, section.log_start, section.log_size) == (True, 4, -1)
    assert section.logfile == str(logdir / "task.log") and hash(section) == id(section)
    section["child_start"] = 3
    assert rec["child_start"] == 3 and section.get("section_id") == "s1" and "log_file" in section
    assert section.read_logs(offset=1, limit=3) == "ef\n"
    assert section.log_size == 12 and rec["log_size"] == "-1"
    assert section.archive.calls[-1] == ("read_bytes", section.logfile, 4, 12, 1, 3)
    for bad, error in (({"log_start": "x"}, ValueError), ({"log_start": None}, TypeError),
                       ({"log_file": None}, TypeError)):
        with pytest.raises(error):
            LogSection(Reader(str(logdir)), {**rec, **bad}, HOST)


def test_line_helpers():
    section = LogSection(types.SimpleNamespace(dir="/x"), {"log_file": "a", "log_start": 0, "log_size": 0}, HOST)
    line = record(3, "hello").strip()
    assert section._has_line_prefix(line) and section._get_time(line) == "11:53:03"
    assert not section._has_line_prefix("lab1: a: b: c")
    assert not section._has_line_prefix(line.replace(HOST, "lab2"))
    assert section._get_time("1: lab1: 2026-12-07 11:53:13: x") is None
    assert section._get_time("no fields") is None
    section.host = None
    with pytest.raises(TypeError):
        section._has_line_prefix(line)


def test_line_helpers_follow_the_literal_rules_at_edge_positions():
    def literal_prefix(line, host):
        return host in line and len(line.split(": ")) > 4

    def literal_time(line):
        try:
            return line.split(": ")[2].split("T")[1]
        except Exception:
            return None

    class Odd(str):
        def split(self, sep=None, maxsplit=-1):
            return ["lab1", "T", "aTb", "c", "d"]

    section = LogSection(types.SimpleNamespace(dir="/x"), {"log_file": "a", "log_start": 0, "log_size": 0}, HOST)
    pieces = [": ", ": ", ": ", ":", " ", "T", "TT", "lab1", "lab", "1", "\u00a0", "\u00e9", "\U0001d11e", "\ud800", "\n",
              "\t", "%X-3-Y"]
    rng = random.Random(28)
    lines = ["", ": : : : ", " : : : :", Odd("lab1"), Odd("")]
    for _ in range(3000):
        lines.append("".join(rng.choice(pieces) for _ in range(rng.randint(0, 12))))
    for host in ["lab1", "", "b: c", "T", "\ud800"]:
        section.host = host
        for line in lines:
            assert section._has_line_prefix(line) == literal_prefix(line, host), (host, line)
            assert section._get_time(line) == literal_time(line), line
    assert sum(literal_time(line) is not None for line in lines) > 150
    assert sum(literal_prefix(line, HOST) for line in lines) > 30


def test_banner_kinds_titles_and_blocks(logdir):
    body = [
        record(1, "+++ R1: executing command 'show version' +++"),
        "Version 1\n",
        record(2, "+++ R1: configure command 'hostname 'R1' x' +++"),
        record(3, "+++ R2: config +++"),
        record(4, "+++ R3: ping +++"),
        "Target IP address: 10.0.0.1\n",
        "Target IP address: 10.0.0.2\n",
        record(5, "+++ R4: ping +++"),
        "no target\r\n",
        record(6, "+++ R5: execute command 'x' +++"),
    ]
    section = make_section(logdir, "".join(body), section_id="sec-1")
    jsons = section.all_executions()
    assert [(j["device"], j["execute_type"], j.get("title"), j.get("logs")) for j in jsons] == [
        ("R1", "execute", "show version", None),
        ("R1", "config", "hostname 'R1' x", None),
        ("R2", "config", None, body[3].rstrip()),
        ("R3", "ping", "10.0.0.1", None),
        ("R4", "ping", None, body[7] + "no target"),
    ]
    assert list(jsons[0]) == ["execute_id", "title", "execute_type", "device", "start_time"]
    assert list(jsons[2]) == ["execute_id", "execute_type", "device", "start_time", "logs"]
    first = section.child_execute[jsons[0]["execute_id"]]
    assert (first.start_line, first.end_line, first.start_time, first.stop_time) == (0, 2, "11:53:01", "11:53:02")
    assert first.parent_id == "sec-1" and first.logfile == section.logfile
    assert first.read_logs() == body[0:2]
    assert section.get_execution(jsons[0]["execute_id"]) is first and section.get_execution("nope") is None
    assert section.child_execute is section.child_execute


def test_block_text_is_capped_at_ten_lines(logdir):
    for output_lines, expected_tail in ((9, "out 8"), (10, "out 8  \n(truncate)")):
        text = record(1, "+++ R1: config +++") + "".join(f"out {i}  \n" for i in range(output_lines)) + record(2, "end")
        logs = make_section(logdir, text).all_executions()[0]["logs"]
        assert logs.endswith(expected_tail) and logs.count("\n") == (9 if output_lines == 9 else 10)
        LogSection.child_execute.fget.cache_clear()


def test_lines_that_open_nothing(logdir):
    body = [
        record(1, "hello"),
        record(2, "+++ R1: config +++", host="other"),       # another host's record
        "3: lab1: 2026-12-07T11:53:03: %S-6-I: +++ R1: config +++\n",  # no tags field: from the third character
        record(4, "+++ R1: reboot +++"),
        record(5, "+++ R1: executing command 'x' +++ trailing"),
        record(6, "+++ R1: config +++"),                    # dropped: nothing closes it
        "output\n",
    ]
    assert make_section(logdir, "".join(body)).all_executions() == []


def test_host_none_fails_only_when_a_line_is_tested(logdir):
    assert make_section(logdir, record(1, "plain"), host=None).child_execute == {}
    LogSection.child_execute.fget.cache_clear()
    section = make_section(logdir, record(1, "+++ R1: config +++"), host=None)
    with pytest.raises(TypeError):
        section.child_execute
    assert LogSection.child_execute.fget.cache_info().currsize == 0


def test_size_hint_and_section_offsets(logdir):
    lines = [record(1, "start"), record(2, "+++ R1: config +++"), "out\n", record(3, "next section")]
    text = "".join(lines)
    start = len(lines[0])
    # The section ends right before the closing record line; the size hint
    # still reads that line, which closes the block.
    section = make_section(logdir, text, log_start=start, log_size=len(lines[1]) + len(lines[2]))
    [only] = summary(section)
    assert (only["start_line"], only["end_line"], only["stop_time"]) == (0, 2, "11:53:03")
    LogSection.child_execute.fget.cache_clear()
    assert make_section(logdir, text, log_start=start, log_size=len(lines[1]) - 1).child_execute == {}
    LogSection.child_execute.fget.cache_clear()
    assert make_section(logdir, text, log_start=len(text) + 100).child_execute == {}


def test_bad_logs_give_clear_errors(logdir):
    section = make_section(logdir, "x\n")
    section.logfile = str(logdir / "missing.log")
    with pytest.raises(FileNotFoundError):
        section.child_execute
    section.logfile = str(logdir)
    with pytest.raises(IsADirectoryError):
        section.child_execute
    section.logfile, section.log_start = str(logdir / "task.log"), -1
    with pytest.raises(ValueError):
        section.child_execute


def test_undecodable_bytes_and_unicode_spaces(logdir):
    text = (record(1, "+++ R1: config +++").encode() + b"bad \xff\xfe bytes\xe2\x80\n"
            + "\u3000".encode() + record(2, "+++ R2: ping +++").replace("\n", "\u00a0\u2028\r\n").encode()
            + "Target IP address: 1.2.3.4\u3000\n".encode() + record(3, "x : ").encode())
    section = make_section(logdir, text)
    assert summary(section) == reference_scan(section.logfile, 0, 0, HOST)
    assert section.all_executions()[0]["logs"].endswith("bad \ufffd\ufffd bytes\ufffd")
    assert [e["execute_type"] for e in section.all_executions()] == ["config", "ping"]


def test_ids_survive_the_cache_dropping_a_section(logdir):
    text = record(1, "+++ R1: config +++") + record(2, "+++ R1: executing command 'a' +++") + record(3, "x")
    sections = [make_section(logdir, text) for _ in range(3)]
    ids = [list(s.child_execute) for s in sections]
    assert len(set(ids[0] + ids[1])) == 4 and all(re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}", i) for i in ids[0])
    others = [make_section(logdir, text) for _ in range(130)]
    for other in others:
        other.child_execute
    assert LogSection.child_execute.fget.cache_info().currsize == 128
    rescanned = sections[0].child_execute
    assert list(rescanned) == ids[0] and sections[0].get_execution(ids[0][1]).title == "a"


def test_lines_longer_than_a_read_block(logdir, read_block):
    # Banner pieces placed across the first read's boundary and past several
    # blocks, so every pattern is found across a block edge somewhere.
    banner = record(2, "+++ R1: config +++")
    for shift in range(0, len(banner) + 4, 3):
        padding = "\u3000" * 3 + "y" * (16384 - shift - 9)
        text = padding + banner + "out\n" + record(3, "done")
        section = make_section(logdir, text)
        assert summary(section) == reference_scan(section.logfile, 0, 0, HOST), shift
        LogSection.child_execute.fget.cache_clear()
    huge = record(2, "+++ R1: ping +++") + "z" * (3 << 20) + "\n" + "a: " * 5 + HOST + "\n"
    section = make_section(logdir, huge)
    assert summary(section) == reference_scan(section.logfile, 0, 0, HOST)


@pytest.fixture(params=[0, 5, 61], ids=["default-reads", "5-byte-reads", "61-byte-reads"])
def read_block(request):
    """Reads small enough that lines, banners and host names span several of them."""
    previous = base._set_scan_block(request.param)
    yield request.param
    base._set_scan_block(previous)


def test_scan_matches_the_line_by_line_rules_on_random_logs(logdir):
    rng = random.Random(5)
    previous = base._set_scan_block(0)
    try:
        for round_ in range(160):
            host = HOSTS[round_ % len(HOSTS)]
            data = random_log(rng, host)
            # Padding in front moves every line across the read edges.
            pad = b"x" * rng.randrange(64) + b"\n"
            data = pad + data
            starts = [0] + [m.end() for m in re.finditer(b"\n", data)]
            start = rng.choice(starts) if rng.random() < 0.8 else rng.randrange(len(data) + 1)
            size = rng.choice([0, -1, rng.randrange(1, len(data) + 2), len(data) - start])
            section = make_section(logdir, data, log_start=start, log_size=size, host=host)
            expected = reference_scan(section.logfile, start, size, host)
            for block in rng.sample(READ_BLOCKS, 6) + [1000]:
                base._set_scan_block(block)
                LogSection.child_execute.fget.cache_clear()
                assert summary(section) == expected, (round_, block)
            with equivalent_patterns():
                LogSection.child_execute.fget.cache_clear()
                assert summary(section) == expected, (round_, "interpreter patterns")
            for execute in section.child_execute.values():
                assert "+++" in execute.read_logs()[0]
    finally:
        base._set_scan_block(previous)
    gc.collect()


def scanned(section):
    LogSection.child_execute.fget.cache_clear()
    return summary(section)


def test_banners_and_targets_match_as_the_interpreter_matches_them(logdir):
    # Every white space character of the interpreter, some that are not, and
    # digits of other scripts, where the patterns look at them.
    spaces = [chr(c) for c in range(0x110000) if chr(c).isspace()]
    others = ["\u200b", "\u180e", "\ufeff", "\u00ad", "x", "\u0301", "\ud7ff", "\U0001f600"]
    digits = ["\u0661", "\u06f5", "\u0966", "\uff11", "\U0001d7ce", "\u00b2", "\u2460", "\u0e51"]
    lines = []
    for char in spaces + others:
        lines += [record(1, f"+++ R{char}1: config +++"), record(2, f"+++ R1:{char}ping +++"),
                  record(3, f"+++ R1: execute command 'a{char}b' +++"), record(4, f"+++ R1: ping{char}+++")]
    for char in digits + spaces + others:
        lines += [record(5, "+++ R9: ping +++"), f"Target IP address: 1{char}2\n", f"Target IP address: {char}\n"]
    for title in ("x' +++ y' +++", "' +++ '", "'", " ", "\u3000", "a\u0301\u0302", "q\x00r"):
        lines += [record(6, f"+++ R1: executing command '{title}' +++"), record(7, f"+++ R1: configure command {title} +++")]
    lines.append(record(8, "end"))
    section = make_section(logdir, "".join(lines).encode("utf-8", "surrogatepass"))
    native = scanned(section)
    assert native == reference_scan(section.logfile, 0, 0, HOST)
    with equivalent_patterns():
        assert scanned(section) == native
    assert {e["execute_type"] for e in native} == {"config", "ping", "execute"}


def test_replaced_pieces_take_the_general_path(logdir, monkeypatch):
    text = (record(1, "+++ R1: reload +++") + record(2, "+++ R2: executing command 'show x' +++")
            + record(3, "+++ R3: ping +++") + "Target IP address: 7.7.7.7\n" + "target ten\n" + record(4, "end"))
    section = make_section(logdir, text)
    stock = scanned(section)
    assert [e["execute_type"] for e in stock] == ["execute", "ping"] and stock[1]["title"] == "7.7.7.7"

    # Reassigned patterns change the scan.
    monkeypatch.setattr(Pattern, "pattern_config_ping", re.compile(r"^\+\+\+ (?P<device>\S+): (?P<execute_type>reload|ping) \+\+\+$"))
    monkeypatch.setattr(Pattern, "pattern_ping_ip", re.compile(r"^target (?P<ip>\w+)$"))
    changed = scanned(section)
    assert [(e["execute_type"], e.get("title")) for e in changed] == [("reload", None), ("execute", "show x"), ("ping", "ten")]
    assert changed == reference_scan(section.logfile, 0, 0, HOST)
    monkeypatch.undo()

    # A LogExecute subclass, a patched _format_type and a patched uuid4 are used.
    calls = []

    class Recording(base.LogExecute):
        def __init__(self, archive, **kwargs):
            calls.append(list(kwargs))
            super().__init__(archive, **kwargs)

    monkeypatch.setattr(base, "LogExecute", Recording)
    section = make_section(logdir, text)
    assert scanned(section) == stock
    assert all(type(e) is Recording for e in section.child_execute.values())
    assert calls[0] == ["start_line", "start_time", "logfile", "parent_id", "execute_id", "section_log_start",
                        "section_log_size", "device", "execute_type", "title"]
    monkeypatch.setattr(Recording, "_format_type", lambda self: setattr(self, "execute_type", self.execute_type.upper()))
    section = make_section(logdir, text)
    assert [e["execute_type"] for e in scanned(section)] == ["EXECUTING", "PING"]
    monkeypatch.undo()

    import uuid
    fixed = iter(range(1, 100))
    monkeypatch.setattr(uuid, "uuid4", lambda: uuid.UUID(int=next(fixed)))
    section = make_section(logdir, text)
    assert list(section.child_execute) == [str(uuid.UUID(int=1)), str(uuid.UUID(int=2))]
    monkeypatch.undo()
    section = make_section(logdir, text)
    ids = list(section.child_execute)
    assert all(uuid.UUID(i).version == 4 and uuid.UUID(i).variant == uuid.RFC_4122 and str(uuid.UUID(i)) == i for i in ids)


def test_ping_block_closed_by_a_record_line_across_a_read_edge(logdir):
    # The record line that closes a title-less ping block starts nine bytes
    # before a read edge and its host name crosses it.
    sample = os.path.join(os.path.dirname(__file__), "data", "scan-ping-block-edge.log")
    with open(sample, "rb") as f:
        section = make_section(logdir, f.read(), host="tvx-runner-01")
    previous = base._set_scan_block(1000)
    try:
        pings = [e for e in section.child_execute.values() if e.execute_type == "ping"]
        assert [(e.start_line, e.end_line) for e in pings] == [(66, 69)]
        assert len(section.child_execute) == 12
        assert summary(section) == reference_scan(section.logfile, 0, 0, "tvx-runner-01")
    finally:
        base._set_scan_block(previous)


@pytest.mark.parametrize("run", ["generated_run", "generated_run_invalid_utf8"])
def test_sections_of_a_generated_archive(run, request, logdir):
    from pathlib import Path

    from tavix.log.commands.archive import Archive

    info = request.getfixturevalue(run)
    with Archive(Path(info.path)) as archive:
        parser = archive.results
        records = {r["sequence_number"]: r for task in parser.scripts for r in task["sections"]}
        for generated in info.sections:
            section = parser.get_section(records[generated.sequence_number]["id"])
            assert section.host == info.host
            expected = [(e.device, e.execute_type, e.title, e.line - generated.first_line)
                        for e in info.executions_in(generated)]
            found = section.child_execute.values()
            assert [(e.device, e.execute_type, getattr(e, "title", None), e.start_line) for e in found] == expected
            assert summary(section) == reference_scan(section.logfile, section.log_start, section.log_size, info.host)
            for execute in found:
                lines = execute.read_logs()
                assert len(lines) == execute.end_line - execute.start_line and "+++" in lines[0]
        script = parser.get_section(parser.scripts[0]["sections"][0]["id"])
        assert script.read_logs(limit=64) == Path(script.logfile).read_bytes()[:64].decode("utf-8", "replace")


def test_logs_named_outside_an_open_archive_are_refused(generated_run, tmp_path):
    from pathlib import Path

    from tavix.log.commands.archive import Archive

    outside = tmp_path / "outside.log"
    outside.write_text("secret +++ line\n")
    with Archive(Path(generated_run.path)) as archive:
        section = archive.results.get_section(archive.results.scripts[0]["sections"][0]["id"])
        escaping = LogSection(section.archive, dict(section.data, log_file="../" * 12 + str(outside)), section.host)
        with pytest.raises(PermissionError):
            escaping.all_executions()
        with pytest.raises(PermissionError):
            escaping.read_logs()


def test_bad_input_gives_the_rules_results(logdir):
    body = [
        record(1, "+++ R1: executing command 'show\u00a0ip\u3000route\u2028x' +++"),   # non-ASCII spaces
        record(2, "+++ R1: configure command 'e\u0301\u0327 n\u0303' +++"),          # combining characters
        record(3, "+++ R1: execute command 'a' +++ b' +++ c' +++' +++"),                # "' +++" several times
        record(4, "+++ R\x001: executing command 'nul\x00 \x00byte' +++"),             # NUL bytes
        "\x00\x00\n",
        record(5, "+++ R2: config +++"),
        f"{HOST} prints its name in the output\n",                                      # the host, too few fields
        f"uptime: {HOST}: 3: days: 2 hours\n",                                          # output shaped as a record
        record(6, "done"),
    ]
    section = make_section(logdir, "".join(body))
    found = summary(section)
    assert found == reference_scan(section.logfile, 0, 0, HOST)
    assert [e.get("title") for e in found] == ["show\u00a0ip\u3000route\u2028x", "e\u0301\u0327 n\u0303",
                                               "a' +++ b' +++ c' +++", "nul\x00 \x00byte", None]
    assert found[3]["device"] == "R\x001" and found[4]["end_line"] == 7
    LogSection.child_execute.fget.cache_clear()
    data = "".join(body).encode()
    for start, size in ((len(data) + 10, 0), (len(data) + 10, 50), (0, 10 * len(data)), (len(data), 1)):
        section = make_section(logdir, data, log_start=start, log_size=size)
        assert summary(section) == reference_scan(section.logfile, start, size, HOST), (start, size)
        LogSection.child_execute.fget.cache_clear()


def peak_growth(run):
    """What `run()` returns, and the growth of the resident peak while it ran, in bytes."""
    def status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(key + ":")) * 1024

    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    result = run()
    return result, status("VmHWM") - before


def test_a_100_mb_line_without_a_line_end_is_read_in_bounded_memory(logdir):
    size = 100 << 20
    path = logdir / "task.log"
    with open(path, "wb") as f:
        f.write(record(1, "+++ R1: ping +++").encode() + b"no target yet\n" * 10)
        f.write(b"Target IP address: ")
        for _ in range(16):
            f.write(b"1" * (1 << 20))     # all digits ...
        f.write(b"x\n")                     # ... but the last: not an address
        f.write(record(2, "+++ R2: executing command 'x").encode())
        f.truncate(f.tell() + size)          # then a 100 MB title without its end
    section = LogSection(Reader(str(logdir)), {"log_file": "task.log", "log_start": "0", "log_size": "0"}, HOST)
    found, growth = peak_growth(lambda: summary(section))
    assert [(e["execute_type"], e.get("title"), e["end_line"]) for e in found] == [("ping", None, 12)]
    assert found[0]["logs"].endswith("no target yet\n(truncate)")
    assert growth < 32 << 20
