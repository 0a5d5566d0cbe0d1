"""The results-parser base: section index, subtree ranges, step owners, task names."""

import types

import pytest

from tavix.log.commands.parser.base import BaseResultsParser, LogSection

ARCHIVE = types.SimpleNamespace(dir="/extracted")


def section(seq, parents, parent_id="suite", steps="", **extra):
    return {"id": f"s{seq}", "sequence_number": seq, "parents": parents, "parent_id": parent_id,
            "steps": steps, "log_file": "TaskLog.Task-1", "log_start": "0", "log_size": -1, **extra}


def step(name, **extra):
    return {"id": name, "log_file": "TaskLog.Task-1", "log_start": "10", "log_size": "5", **extra}


class Parser(BaseResultsParser):
    def __init__(self, archive, scripts, meta=None):
        self.scripts = scripts
        self.meta = {"exec_host": "lab1"} if meta is None else meta
        super().__init__(archive)


def task(task_id, sections):
    return {"meta": {"task_id": task_id}, "sections": sections}


def test_subtree_ranges_and_step_owners():
    # script, commonSetup, subsection, testcase, testsection
    records = [section(1, []), section(2, [1], "s1"), section(3, [1, 2], "s2"),
               section(4, [1], "s1", steps=[step("a"), step("a.1"), step("b")]), section(5, [1, 4], "s4")]
    parser = Parser(ARCHIVE, [task("T1", records)])
    assert [(r["child_start"], r["child_end"]) for r in records] == [(1, 5), (2, 3), (3, 3), (4, 5), (5, 5)]
    for name in ("a", "a.1", "b"):
        found = parser.get_section(name)
        assert isinstance(found, LogSection) and found.data["parent"] == "s4"
        assert found.data["parents"] == [1, 4] and found.log_start == 10 and found.host == "lab1"
    assert records[3]["steps"][0]["parents"] is not records[3]["steps"][1]["parents"]
    assert parser.get_section("s3").data is records[2] and parser.get_section("nope") is None
    assert parser.get_section("s3").logfile == "/extracted/TaskLog.Task-1"
    assert set(parser.sections_dict) == {"s1", "s2", "s3", "s4", "s5", "a", "a.1", "b"}


def test_preset_child_end_is_kept_and_passed_up():
    records = [section(1, []), section(2, [1], "s1", child_end=9), section(3, [1], "s1")]
    Parser(ARCHIVE, [task("T1", records)])
    assert [r["child_end"] for r in records] == [3, 9, 3]
    records = [section(1, []), section(2, [1], "s1"), section(3, [1], "s1", child_end=9)]
    Parser(ARCHIVE, [task("T1", records)])
    assert [r["child_end"] for r in records] == [9, 2, 9]


def test_tasks_are_linked_separately_and_named_by_position():
    first = [section(1, []), section(2, [1], "s1")]
    second = [section(3, [], parent_id="not-indexed"), section(4, [3], "s3")]
    parser = Parser(ARCHIVE, [task("Task-1", first), task("Task-2", second)])
    assert (first[0]["child_end"], second[0]["child_end"]) == (2, 4)
    assert parser.get_task_names() == [{"task_id": "Task-1", "sequence_number": 0},
                                       {"task_id": "Task-2", "sequence_number": 1}]
    empty = Parser(ARCHIVE, [], meta=None)
    assert (empty.sections_dict, empty.get_task_names()) == ({}, [])
    assert Parser(ARCHIVE, [task("T", [])], meta={}).sections_dict == {}


def test_rebuilding_the_index_keeps_existing_ranges():
    records = [section(1, []), section(2, [1], "s1")]
    parser = Parser(ARCHIVE, [task("T1", records)])
    before = parser.get_section("s1")
    records[0]["child_end"] = 7
    parser.prepare_sections()
    assert parser.get_section("s1") is not before and records[0]["child_end"] == 7


@pytest.mark.parametrize("records, error", [
    ([section(1, []), section(2, [1], "missing")], KeyError),
    ([{k: v for k, v in section(1, []).items() if k != "id"}], KeyError),
    ([section(1, [], steps=[{"log_file": "x", "log_start": 0, "log_size": 0}])], KeyError),
    ([section(1, [], log_start="1.5")], ValueError),
    (None, TypeError),
])
def test_bad_records_fail_construction(records, error):
    with pytest.raises(error):
        Parser(ARCHIVE, [{"meta": {}, "sections": records}])


def test_task_without_task_id():
    parser = Parser(ARCHIVE, [{"meta": {}, "sections": []}])
    with pytest.raises(KeyError):
        parser.get_task_names()


def test_large_index_in_one_pass():
    # A deep chain and a wide fan under one script: every range is right.
    count = 100_000
    records = [section(1, [])]
    for seq in range(2, count + 1):
        parent = seq - 1 if seq <= 50 else 1
        records.append(section(seq, records[parent - 1]["parents"] + [parent], f"s{parent}"))
    parser = Parser(ARCHIVE, [task("T1", records)])
    assert len(parser.sections_dict) == count
    assert records[0]["child_end"] == count and records[1]["child_end"] == 50
    assert records[49]["child_end"] == 50 and records[-1]["child_start"] == count
