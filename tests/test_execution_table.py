"""The compact table of a section's device commands against the execution
objects the rules give: JSON forms, filters, ids and line ranges, on random
logs read in blocks of every size."""

import contextlib
import random
import re

import pytest

from tavix.log.commands.parser import base
from tavix.log.commands.parser.base import ExecutionTable, LogSection

from helpers.sections import (FILTERS, HOSTS, READ_BLOCKS, dense_text, equivalent_patterns, literal_match, make_section,
                              random_log, record, reference_scan)

CACHE = LogSection.child_execute.fget
@pytest.fixture(autouse=True)
def fresh_cache():
    CACHE.cache_clear()
    previous = base._set_scan_block(0)
    yield
    base._set_scan_block(previous)
    CACHE.cache_clear()


def fresh_section(directory, data, host):
    return make_section(directory, data, host=host)


# (bytes, threads): whole sections in one thread, or split into stretches
# scanned side by side, so that commands open across every kind of edge.
STRETCHES = [(0, 1), (97, 4), (13, 3), (400, 2)]


@pytest.fixture(params=STRETCHES, ids=lambda p: "stretches-%d-%d" % p)
def stretches(request):
    previous = base._set_scan_stretches(*request.param)
    yield request.param
    base._set_scan_stretches(*previous)


def test_the_table_answers_as_the_execution_objects_on_random_logs(tmp_path, stretches):
    rng = random.Random(11 + stretches[0])
    for round_ in range(40):
        host = HOSTS[round_ % len(HOSTS)]
        data = random_log(rng, host)
        for block in rng.sample(READ_BLOCKS, 3):
            base._set_scan_block(block)
            CACHE.cache_clear()
            section = fresh_section(tmp_path, data, host)
            table = CACHE.scanned(section)
            assert isinstance(table, ExecutionTable)
            # Before any object is made: JSON, pages and filters from the rows.
            from_rows = table.json_list()
            pages = {f: table.page(0, 10 ** 4, *f) for f in FILTERS}
            ids = [json["execute_id"] for json in from_rows]
            found = [table.find(i) for i in ids]
            objects = section.child_execute
            assert list(objects) == ids, (round_, block)
            assert from_rows == [e.to_json() for e in objects.values()], (round_, block)
            for (device, q), (total, page) in pages.items():
                expected = [j for j in from_rows if literal_match(j, device, q)]
                assert (total, page) == (len(expected), expected), (round_, block, device, q)
            assert found == list(range(len(ids)))
            for row, execute in enumerate(objects.values()):
                start_at, end_at, start_line, end_line = table.block(row)
                assert (start_line, end_line) == (execute.start_line, execute.end_line)
                with open(section.logfile, "rb") as log:
                    log.seek(start_at)
                    lines = [line.decode("utf-8", "replace") for line in
                             re.findall(b"[^\n]*\n|[^\n]+$", log.read(end_at - start_at))]
                assert lines == execute.read_logs()
                assert table.execute(row) is execute
        # The rows' JSON forms, made before any object, as the rules read plainly give them.
        reference = reference_scan(section.logfile, 0, 0, host)
        literal = [{key: found[key] for key in ("title", "execute_type", "device", "start_time", "logs")
                    if key in found} for found in reference]
        assert [{k: v for k, v in json.items() if k != "execute_id"} for json in from_rows] == literal, round_
        assert [table.block(row)[2:] for row in range(len(table))] == \
            [(found["start_line"], found["end_line"]) for found in reference], round_


def test_ids_are_found_only_as_given(tmp_path):
    section = make_section(tmp_path, dense_text(200, 1))
    table = CACHE.scanned(section)
    ids = [json["execute_id"] for json in table.json_list()]
    assert [table.find(i) for i in ids] == list(range(200))
    other = CACHE.scanned(make_section(tmp_path / ".." / tmp_path.name, dense_text(200, 1)))
    for execute_id in ids[:20]:
        flipped = execute_id[:-1] + ("0" if execute_id[-1] != "0" else "1")
        assert table.find(flipped) is None
        assert table.find(execute_id.upper()) is None or execute_id.upper() == execute_id
        assert other.find(execute_id) is None  # another section's key
    for bad in ["", "x" * 36, ids[0][:-1], ids[0] + "0", None, 7, b"a" * 36, ids[0].replace("-", "+")]:
        assert table.find(bad) is None
    assert section.get_execution("nope") is None


def test_objects_are_made_only_for_what_is_asked(tmp_path):
    section = make_section(tmp_path, dense_text(3000, 2))
    table = CACHE.scanned(section)
    lean = table.nbytes
    # A few dozen bytes a command, texts kept as ranges of the log.
    assert lean < 3000 * 100
    execute_id = table.json_list()[1234]["execute_id"]
    one = section.get_execution(execute_id)
    assert section.get_execution(execute_id) is one
    assert lean < table.nbytes < lean + 1000
    # Changes to a command handed out show in what the table answers.
    one.title = "changed"
    assert table.page(1234, 1)[1][0]["title"] == "changed"
    assert section.all_executions()[1234]["title"] == "changed"
    assert section.child_execute[execute_id] is one


def test_a_replaced_to_json_is_used_for_every_row(tmp_path, monkeypatch):
    section = make_section(tmp_path, dense_text(30, 3))
    table = CACHE.scanned(section)
    monkeypatch.setattr(base.LogExecute, "to_json", lambda self: {"id": self.execute_id})
    assert section.all_executions() == [{"id": i} for i in section.child_execute]
    assert table.page(0, 2, "", "")[1] == [{"id": i} for i in list(section.child_execute)[:2]]


def test_a_filter_stops_when_its_request_goes(tmp_path):
    from tavix.log.commands.parser.base import _cancel_flag_for_tests
    section = make_section(tmp_path, dense_text(9000, 4))
    table = CACHE.scanned(section)
    capsule, cancel = _cancel_flag_for_tests()
    cancel()
    with pytest.raises(RuntimeError, match="no request waits"):
        table.page(0, 10, "", "show", capsule)
    # Nothing half-done is kept: the same filter asked again is whole.
    assert table.page(0, 10, "", "show")[0] == 3000


@pytest.mark.parametrize("path", ["table", "objects"])
def test_a_cancelled_scan_stops_at_its_next_check(tmp_path, path):
    section = make_section(tmp_path, dense_text(60000, 5))
    size = (tmp_path / "task.log").stat().st_size
    assert size > 6 << 20
    capsule, cancel = base._cancel_flag_for_tests()
    cancel()
    with equivalent_patterns() if path == "objects" else contextlib.nullcontext():
        with pytest.raises(RuntimeError, match="no request waits"):
            base.executions_unless_cancelled(section, capsule)
    # Looked at after every MiB walked: it read little more than that.
    assert base._last_scan_bytes_read() < (3 << 19)
    assert CACHE.peek(section) is None
    assert len(base.executions_unless_cancelled(section, None)) == 60000
    assert base._last_scan_bytes_read() >= size


def test_a_replaced_attribute_of_the_execution_class_is_honoured(tmp_path, monkeypatch):
    section = make_section(tmp_path, dense_text(6, 1))
    assert [e.device for e in section.child_execute.values()] == ["R0", "R1", "R2", "R3", "R4", "R0"]
    CACHE.cache_clear()
    seen = []
    monkeypatch.setattr(base.LogExecute, "device", property(lambda self: "kept", lambda self, value: seen.append(value)))
    assert [e.device for e in section.child_execute.values()] == ["kept"] * 6
    assert seen == ["R0", "R1", "R2", "R3", "R4", "R0"]
    # Other keyword arguments still become attributes of the instance.
    execute = base.LogExecute(None, device="R9", extra=1)
    assert (execute.extra, vars(execute)) == (1, {"extra": 1})


def test_a_page_of_huge_blocks_holds_a_bounded_text(tmp_path):
    huge = "y" * (400 << 10) + "\n"
    text = "".join(record(i, "+++ R1: config +++") + huge * 3 for i in range(10))  # blocks of 1.2 MiB
    text += record(20, "+++ R1: executing command '" + "t" * (2 << 20) + "' +++")  # a 2 MiB title
    text += "".join(record(30 + i, "+++ R2: config +++") + "\u00e9" * 100 + "\n" for i in range(5))
    text += record(40, "+++ R3: config +++") + huge * 12 + record(41, "end")  # ten of twelve lines: 4 MiB
    section = make_section(tmp_path, text)
    table = CACHE.scanned(section)
    whole = table.json_list()
    assert len(whole) == 17 and len(whole[0]["logs"]) > 3 * (400 << 10)
    got, offset = [], 0
    while offset < len(whole):
        total, page = table.page(offset, 100, "", "")
        assert total == 17 and page
        assert sum(len(j.get("logs", "")) + len(j.get("title", "")) for j in page) < 10 << 20
        got += page
        offset += len(page)
    assert len(got) == 17 and [j["execute_id"] for j in got] == [j["execute_id"] for j in whole]
    for cut, full in zip(got, whole):
        key = "title" if "title" in full else "logs"
        if cut.get("truncated"):
            assert len(full[key].encode()) > 1 << 20 >= len(cut[key].encode())
            assert full[key].startswith(cut[key]) and {**cut, key: full[key], "truncated": 0} == {**full, "truncated": 0}
        else:
            assert cut == full
    assert sum(1 for j in got if j.get("truncated")) == 12


async def test_pages_that_end_early_lead_on_after_their_last_command(aiohttp_client, tmp_path):
    import types
    from tavix.log.commands.server import LogViewerServer
    text = "".join(record(i, "+++ R1: config +++") + ("z" * (300 << 10) + "\n") * 4 for i in range(12))
    section = make_section(tmp_path, text + record(99, "end"), section_id="big")
    results = types.SimpleNamespace(get_section=lambda uuid: section if uuid == "big" else None)
    archive = types.SimpleNamespace(results=results, dir=str(tmp_path), file="run.zip")
    client = await aiohttp_client(LogViewerServer(archive))
    url, got, offsets = "/private/v1/standalone/sections/big/executions?limit=10", [], []
    while url:
        answer = await (await client.get(url)).json()
        offsets.append(answer["offset"])
        got += answer["executions"]
        url = answer["next"]
    assert [j["execute_id"] for j in got] == [j["execute_id"] for j in section.all_executions()]
    # Texts cut at 1 MiB each: eight of them fill a page.
    assert all(j["truncated"] for j in got) and offsets == [0, 8]


@pytest.mark.parametrize("seed", [1, 2])
def test_dense_device_output_gives_the_rules_results_in_every_split(tmp_path, seed):
    import zipfile
    from helpers.archives import generate_archive
    info = generate_archive(str(tmp_path / "run.zip"), log_bytes=400_000, sections=6, seed=seed, scripts=1,
                            dense_devices=True, invalid_utf8=seed == 2)
    with zipfile.ZipFile(tmp_path / "run.zip") as zipped:
        data = zipped.read(info.scripts[0].log_file)
    section = make_section(tmp_path, data, host=info.host)
    reference = reference_scan(section.logfile, 0, 0, info.host)
    assert len(reference) > 400
    literal = [(found["start_line"], found["end_line"], found.get("title"), found.get("logs"), found["device"],
                found["start_time"]) for found in reference]
    rng = random.Random(seed)
    for stretch, threads in [(0, 1), (50_000, 4), (rng.randrange(1000, 90_000), 3)]:
        for block in rng.sample(READ_BLOCKS, 2):
            previous = base._set_scan_stretches(stretch, threads), base._set_scan_block(block)
            try:
                CACHE.cache_clear()
                table = CACHE.scanned(section)
                rows = [table.block(row)[2:] for row in range(len(table))]
                forms = table.json_list()
            finally:
                base._set_scan_stretches(*previous[0])
                base._set_scan_block(previous[1])
            assert [(start, end, form.get("title"), form.get("logs"), form["device"], form["start_time"])
                    for (start, end), form in zip(rows, forms)] == literal, (stretch, threads, block)
