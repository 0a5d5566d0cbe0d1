"""A section's device commands through SectionCommands, after changes to the
execution objects handed out, against the execution objects read plainly:
every filter, every page, on the table and on the dictionary, each checked to
have taken the way it names."""

import contextlib

import pytest

from tavix.log.commands.parser import base
from tavix.log.commands.parser.base import LogExecute, LogSection, SectionCommands

from helpers.sections import FILTERS, dense_text, equivalent_patterns, literal_match, make_section

CACHE = LogSection.child_execute.fget


@pytest.fixture(autouse=True)
def fresh_cache():
    CACHE.cache_clear()
    yield
    CACHE.cache_clear()


def paths():
    return base._command_paths()


def expected_forms(section):
    """The JSON forms of the section's executions, read plainly."""
    return [execute.to_json() for execute in dict.values(section.child_execute)]


def assert_pages_agree(section, expected, limit=7):
    for device, q in FILTERS + [("own", ""), ("", "mine"), ("own", "MINE")]:
        matching = [form for form in expected if literal_match(form, device, q)]
        pages, offset = [], 0
        while True:
            total, page = SectionCommands(section).page(offset, limit, device, q)
            assert total == len(matching), (device, q)
            pages += page
            offset += limit
            if offset >= total:
                break
        assert pages == matching, (device, q)
    assert SectionCommands(section).whole() == expected


def change_objects(executes, ids):
    """A replaced to_json, changed attributes, on the executions of `ids`."""
    first, second, third = (executes[i] for i in ids)
    first.to_json = lambda: {"execute_id": "mine", "device": "own", "title": "Mine"}
    second.device, second.title = "own", "all MINE now"
    third.device = "R1"
    if hasattr(third, "title"):
        del third.title
    third.logs = "something of mine"


@contextlib.contextmanager
def counted(name):
    before = paths()
    yield
    after = paths()
    assert after[name] > before[name], name
    assert after["judged"] > before["judged"]


def test_changed_objects_handed_out_by_get_execution_are_judged_by_their_json(tmp_path):
    section = make_section(tmp_path, dense_text(300, 2))
    ids = [form["execute_id"] for form in SectionCommands(section).whole()]
    # Filters kept before the changes hold the rows as they were.
    assert_pages_agree(section, SectionCommands(section).whole())
    handed = {i: section.get_execution(ids[i]) for i in (4, 150, 299)}
    change_objects(handed, [4, 150, 299])
    expected = SectionCommands(section).whole()
    assert expected[4] == {"execute_id": "mine", "device": "own", "title": "Mine"}
    objects = paths()["objects"]
    with counted("table"):
        assert_pages_agree(section, expected)
    assert paths()["objects"] == objects  # the table's rows stay in use
    assert SectionCommands(section).find(ids[150]) is handed[150]
    assert expected == expected_forms(section)


@pytest.mark.parametrize("scan", ["table", "dictionary"])
def test_changed_and_deleted_entries_of_child_execute(tmp_path, scan):
    with equivalent_patterns() if scan == "dictionary" else contextlib.nullcontext():
        section = make_section(tmp_path, dense_text(300, 3))
        executions = section.child_execute
    ids = list(executions)
    change_objects(executions, [ids[0], ids[100], ids[201]])
    del executions[ids[7]], executions[ids[299]]
    expected = expected_forms(section)
    assert len(expected) == 298 and expected[0]["execute_id"] == "mine"
    with counted("objects"):
        assert_pages_agree(section, expected)
    commands = SectionCommands(section)
    assert commands.find(ids[7]) is None and commands.find(ids[100]) is executions[ids[100]]
    assert commands.log_range(ids[100]) is None
    assert section.get_execution(ids[299]) is None
    assert section.all_executions() == expected


def test_a_replaced_to_json_of_the_class_judges_every_row(tmp_path, monkeypatch):
    section = make_section(tmp_path, dense_text(90, 4))
    SectionCommands(section).page(0, 5, "", "show")  # a filter kept before the change
    stock = LogExecute.to_json
    monkeypatch.setattr(LogExecute, "to_json",
                        lambda self: dict(stock(self), title=("shown " + self.device)) if self.start_line % 2
                        else stock(self))
    table_before = paths()["table"]
    expected = SectionCommands(section).whole()
    assert any(form.get("title", "").startswith("shown") for form in expected)
    with counted("table"):
        assert_pages_agree(section, expected)
    assert paths()["table"] > table_before
    assert expected == expected_forms(section)


def test_replaced_section_methods_answer_for_the_section(tmp_path, monkeypatch):
    section = make_section(tmp_path, dense_text(30, 5))
    whole = SectionCommands(section).whole()
    forms = [dict(form, device="own") for form in whole[::-1]]
    monkeypatch.setattr(section, "all_executions", lambda: forms)
    monkeypatch.setattr(section, "get_execution", lambda execute_id: ("mine", execute_id))
    with counted("override"):
        assert_pages_agree(section, forms)
    assert SectionCommands(section).find("x") == ("mine", "x")
    assert SectionCommands(section).log_range(whole[0]["execute_id"]) is None
    # A replaced method that calls the stock one reads the commands, not itself.
    monkeypatch.setattr(section, "all_executions", lambda: LogSection.all_executions(section)[:3])
    assert SectionCommands(section).whole() == whole[:3]


def test_the_log_range_is_the_tables_while_the_execution_keeps_its_lines(tmp_path):
    section = make_section(tmp_path, dense_text(40, 6))
    commands = SectionCommands(section)
    execute_id = commands.whole()[10]["execute_id"]
    execute = commands.find(execute_id)
    start_at, end_at, start_line, end_line = commands.log_range(execute_id)
    assert (start_line, end_line) == (execute.start_line, execute.end_line) and start_at < end_at
    execute.end_line += 1
    assert commands.log_range(execute_id) is None
    assert SectionCommands.kept(section) is not None
    CACHE.cache_clear()
    assert SectionCommands.kept(section) is None and SectionCommands.kept(None) is not None


def test_a_whole_list_and_an_objects_filter_stop_when_their_request_goes(tmp_path):
    with equivalent_patterns():
        section = make_section(tmp_path, dense_text(9000, 7))
        section.child_execute
    capsule, cancel = base._cancel_flag_for_tests()
    cancel()
    commands = SectionCommands(section)
    with pytest.raises(RuntimeError, match="no request waits"):
        commands.page(0, 10, "", "show", capsule)
    with pytest.raises(RuntimeError, match="no request waits"):
        commands.whole(capsule)
    CACHE.cache_clear()
    (tmp_path / "other").mkdir()
    table = SectionCommands(make_section(tmp_path / "other", dense_text(9000, 8)))
    with pytest.raises(RuntimeError, match="no request waits"):
        table.whole(capsule)
