"""Reading ResultsDetails.xml into the results model."""

import pathlib
import re
import uuid
import xml.etree.ElementTree as ET
from types import SimpleNamespace

import pytest

from tavix.log.commands.archive import Archive
from tavix.log.commands.parser import LedraXMLResultParser
from tavix.log.commands.parser.base import BaseResultsParser

NS = "http://www.tavix.org/xml/schema/qenreport"

SUMMARY = "<summary><pass>5</pass><fail>1</fail><skip> 2 </skip><success_rate>71.43</success_rate></summary>"


def section_xml(tag, name=None, section_id=None, body="", result="passed", log=True, begin="10", size="20",
            xref=True, line="42"):
    parts = [f"<name>{name}</name>" if name is not None else ""]
    if section_id is not None:
        parts.append(f'<id name="{section_id}"/>' if section_id else "<id/>")
    if log:
        attrs = (f' begin="{begin}"' if begin else "") + (f' size="{size}"' if size else "")
        parts.append(f"<logfile{attrs}>TaskLog.1</logfile>")
    if xref:
        parts.append(f"<xref><file>t.py</file>{f'<line>{line}</line>' if line else ''}</xref>")
    res = f"<result>{result}</result>" if result is not None else ""
    return f"<{tag}>{''.join(parts)}{res}<starttime>s</starttime><stoptime>e</stoptime>{body}</{tag}>"


def case_xml(name, body="", tag="testcase", info_body="", **kwargs):
    info = section_xml("initinfo", name, result=None, **kwargs).replace("</initinfo>", info_body + "</initinfo>")
    return f"<{tag}>{info}<result>passed</result>{body}</{tag}>"


def script_xml(task_id, body="", summary=SUMMARY):
    return (f"<testscript><initinfo><taskid>{task_id}</taskid><script><name>{task_id}.py</name>"
            f"<path>/ws</path></script><logfile>TaskLog.{task_id}</logfile><description>d</description>"
            f"</initinfo><starttime>t0</starttime>{summary}{body}</testscript>")


def document_xml(scripts, ns=NS, meta="<jobid>xyz13060256-1-831131-nightly</jobid><host>lab1</host>",
             summary=SUMMARY):
    return (f'<?xml version="1.0"?><results xmlns="{ns}"><testsuite><initinfo><name>suite</name>{meta}'
            f"</initinfo><runtime>9</runtime>{summary}<jobexecution>{''.join(scripts)}</jobexecution>"
            f"</testsuite></results>")


@pytest.fixture
def parse(tmp_path):
    def parser(text):
        (tmp_path / "ResultsDetails.xml").write_text(text, encoding="utf-8")
        return LedraXMLResultParser(SimpleNamespace(dir=tmp_path, file=tmp_path / "run.zip"))

    return parser


STEPS = ("<step><id>1</id><name>outer</name><logfile begin='1' size='2'>L</logfile><xref><file>f</file></xref>"
         "<step><id>1.1</id><logfile>L</logfile><xref/>"
         "<step><id>1.1.1</id><logfile>L</logfile><xref/></step></step>"
         "<other><step><id>hidden</id><logfile>L</logfile><xref/></step></other>"
         "<step><id>1.2</id><logfile>L</logfile><xref/></step></step>")

JOB = document_xml([
    script_xml("T1",
           section_xml("commonSetup", "", body=section_xml("subSection", "connect", "c1") + section_xml("subSection", "cfg"))
           + section_xml("commonSetup", "second")
           + case_xml("tc1", section_id="tc-1",
                      body=section_xml("testsection", "ts_a", body=STEPS)
                      + case_xml("st1", tag="subtest", body=section_xml("anything", "ts_in_st")
                                 + case_xml("deep", tag="subtest"))
                      + section_xml("setup", "ts_b", begin="", size="", line="")
                      + "<note><text>no result</text></note>")
           + case_xml(None, section_id="", info_body="<step><id>s</id><logfile>L</logfile><xref/></step>")
           + section_xml("commonCleanup", None, section_id="")),
    script_xml("T2", case_xml("tc2") + section_xml("commonCleanup", "cleanup", "cl")),
])


def test_section_tree_records(parse):
    parser = parse(JOB)
    assert isinstance(parser, BaseResultsParser)
    first, second = parser.scripts
    names = [(r["sequence_number"], r["section_type"], r["section_name"], r["section_id"]) for r in first["sections"]]
    assert names == [
        (1, "testscript", "T1.py", "T1"),
        (2, "commonSetup", "commonSetup", "commonSetup"),
        (3, "subsection", "connect", "c1"),
        (4, "subsection", "cfg", "cfg"),
        (5, "testcase", "tc1", "tc-1"),
        (6, "subtest", "st1", "st1"),
        (7, "testsection", "ts_in_st", "ts_in_st"),
        (8, "testsection", "ts_a", "ts_a"),
        (9, "testsection", "ts_b", "ts_b"),
        (10, "testcase", "initinfo", "initinfo"),
        (11, "commonCleanup", "commonCleanup", "commonCleanup"),
    ]
    assert [r["sequence_number"] for r in second["sections"]] == [12, 13, 14]
    assert second["sections"][0]["parents"] == [] and second["sections"][2]["section_id"] == "cl"

    records = first["sections"]
    script_record = records[0]
    assert list(script_record)[:18] == [
        "start_time", "stop_time", "run_time", "section_name", "section_id", "section_type", "log_file",
        "log_start", "log_size", "result", "description", "parent_id", "parents", "source_file", "source_line",
        "sequence_number", "steps", "id"]
    assert (script_record["log_file"], script_record["log_start"], script_record["log_size"]) == ("TaskLog.T1",
                                                                                                   0, -1)
    assert (script_record["source_file"], script_record["steps"], script_record["parent_id"]) == (
        "/ws/T1.py", "", "suite")
    assert list(records[4])[:18] == [
        "parent_id", "result", "start_time", "stop_time", "run_time", "parents", "id", "sequence_number",
        "section_name", "section_id", "section_type", "description", "log_file", "log_start", "log_size",
        "source_file", "source_line", "steps"]
    testcase_record, subtest, in_subtest = records[4], records[5], records[6]
    assert testcase_record["parents"] == [1] and testcase_record["parent_id"] == script_record["id"]
    assert in_subtest["parents"] == [1, 5, 6] and in_subtest["parent_id"] == subtest["id"]
    assert records[2]["parents"] == [1, 2] and records[2]["parent_id"] == records[1]["id"]
    assert str(uuid.UUID(testcase_record["id"], version=4)) == testcase_record["id"]
    assert len({r["id"] for r in records}) == len(records)
    assert (records[7]["log_start"], records[7]["log_size"], records[7]["source_line"]) == ("10", "20", "42")
    assert (records[8]["log_start"], records[8]["log_size"], records[8]["source_line"]) == (0, -1, 0)
    assert records[3]["steps"] == ""


def test_steps_are_read_in_preorder(parse):
    records = parse(JOB).scripts[0]["sections"]
    steps = records[7]["steps"]
    assert [s["step_id"] for s in steps] == ["1", "1.1", "1.1.1", "1.2"]
    assert list(steps[0]) == ["step_id", "step_name", "start_time", "stop_time", "run_time", "result",
                              "log_file", "log_start", "log_size", "source_file", "source_line", "id",
                              "parent", "parents"]
    assert (steps[0]["log_start"], steps[0]["log_size"], steps[0]["source_line"]) == ("1", "2", 0)
    assert (steps[1]["log_start"], steps[1]["log_size"], steps[1]["step_name"]) == (0, -1, "")
    # Steps of a testcase hang below its initinfo.
    assert [s["step_id"] for s in records[9]["steps"]] == ["s"]


def test_job_metadata_and_summaries(parse):
    parser = parse(JOB)
    assert list(parser.results) == ["meta", "scripts", "summary"]
    assert parser.meta is parser.results["meta"] and parser.summary is parser.results["summary"]
    assert parser.meta == {
        "suite_name": "suite", "request_id": "xyz13060256-1-831131-nightly", "result_id": "13060256",
        "result_format": "ledra", "submitter": "", "testbed": "", "run_time": "9", "start_time": "",
        "stop_time": "", "vop_tree": "", "exec_host": "lab1", "archive_location": str(parser.archive.file)}
    assert parser.summary == {"pass": "5", "fail": "1", "skip": " 2 ", "success_rate": "71.43",
                              "total_tasks": 8, "applicable_tasks": 6}
    assert parser.scripts[1]["meta"] == {"task_id": "T2", "name": "T2.py", "path": "/ws"}
    assert list(parser.scripts[1]) == ["meta", "sections", "summary"]
    assert parser._sequence_number == 14
    only_skip = "<summary><skip>0</skip><success_rate>0</success_rate></summary>"
    assert parse(document_xml([script_xml("T", summary=only_skip)], summary=only_skip)).summary == {
        "skip": "0", "success_rate": "0", "total_tasks": 0, "applicable_tasks": 0}
    # A summary without a "skip" element: none skipped.
    no_skip = "<summary><pass>3</pass><fail>1</fail></summary>"
    assert parse(document_xml([script_xml("T", summary=no_skip)], summary=no_skip)).summary == {
        "pass": "3", "fail": "1", "total_tasks": 4, "applicable_tasks": 4}
    for job_id, result_id in (("abc12345", "abc12345"), ("", ""), ("r 1234567 and 7654321", "1234567")):
        assert LedraXMLResultParser._parse_result_id(job_id) == result_id


def test_helper_methods(parse):
    parser = parse(document_xml([script_xml("T")]))
    element = ET.fromstring(f'<a xmlns="{NS}"><b><c>text</c><d></d></b></a>')
    assert parser._get_text(element, "./x:b/x:c") == "text"
    assert parser._get_text(element, "./x:b/x:d", "none") == "none"
    assert parser._get_text(element, "./x:missing", default=0) == 0
    assert parser._remove_ns(f"{{{NS}}}testcase") == "testcase"
    records = parser._parse_testcase(ET.fromstring(f'<r xmlns="{NS}">{case_xml("x")}</r>')[0], "p", [1])
    assert [(r["sequence_number"], r["parents"], r["parent_id"]) for r in records] == [(2, [1], "p")]
    assert parser._sequence_number == 2


@pytest.mark.parametrize("text, error, message", [
    ("<results", ET.ParseError, None),
    (document_xml([script_xml("T", case_xml("bad").replace("<initinfo>", "<info>").replace("</initinfo>", "</info>"))]),
     IndexError, "initinfo"),
    (document_xml([script_xml("T", section_xml("commonSetup", "s", xref=False))]), IndexError, "xref"),
    (document_xml([script_xml("T", section_xml("commonSetup", "s", log=False))]), IndexError, "logfile"),
    # A step without a source reference gets no id, which the section index needs.
    (document_xml([script_xml("T", section_xml("commonSetup", "s", body="<step><logfile>L</logfile></step>"))]),
     KeyError, "id"),
    (document_xml([], summary="<summary><pass>five</pass><skip>0</skip></summary>"), ValueError, "'pass'"),
    (document_xml([], summary="<summary><pass/><skip>0</skip></summary>"), TypeError, "'pass'"),
    (document_xml([], summary=""), IndexError, "summary"),
    (f'<results xmlns="{NS}"/>', IndexError, "testsuite"),
    (document_xml([script_xml("T")], ns="http://www.tavix.org/other/schema"), IndexError, "testsuite"),
])
def test_bad_results_files_fail_clearly(parse, text, error, message):
    with pytest.raises(error) as info:
        parse(text)
    if message:
        assert re.search(message, str(info.value))


def test_missing_results_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        LedraXMLResultParser(SimpleNamespace(dir=tmp_path, file=tmp_path / "run.zip"))


def test_results_under_another_host_of_the_schema(parse):
    other = "https://results.example.net/xml/schema/qenreport"
    parser = parse(document_xml([script_xml("T", case_xml("tc"))], ns=other))
    assert parser.NS == {"x": other} and LedraXMLResultParser.NS == {"x": NS}
    assert [r["section_name"] for r in parser.scripts[0]["sections"]] == ["T.py", "tc"]
    assert parser.meta["exec_host"] == "lab1"


# The large run's results file is read in many blocks.
@pytest.mark.parametrize("run", ["generated_run", "large_run"])
def test_generated_run_parses_into_its_description(request, run):
    generated_run = request.getfixturevalue(run)
    with Archive(pathlib.Path(generated_run.path)) as archive:
        parser = archive.results
        assert parser.meta["request_id"] == generated_run.job_id
        assert parser.meta["result_id"] == generated_run.result_id
        records = [r for task in parser.scripts for r in task["sections"]]
        assert len(records) == len(generated_run.sections)
        for record, expected in zip(records, generated_run.sections):
            assert (record["sequence_number"], record["section_type"], record["section_name"],
                    record["section_id"], record["parents"]) == (
                expected.sequence_number, expected.section_type, expected.section_name, expected.section_id,
                expected.parents)
            assert (int(record["log_start"]), int(record["log_size"])) == (expected.log_start, expected.log_size)
            steps = record["steps"] or []
            assert [s["step_id"] for s in steps] == [s.step_id for s in expected.all_steps]
            assert parser.get_section(record["id"]) is not None
        assert {k: int(v) for k, v in parser.summary.items() if k not in (
            "success_rate", "total_tasks", "applicable_tasks")} == {
            k: v for k, v in generated_run.summary.items() if k != "success_rate"}


def test_collector_is_paused_while_parsing_and_restored(generated_run, monkeypatch):
    import gc
    from tavix.log.commands.archive import Archive

    seen = []
    import tavix.log.commands.parser.xml as xml_module
    original = xml_module.LedraXMLResultParser._parse_job

    def watching(self, root):
        seen.append(gc.isenabled())
        return original(self, root)

    monkeypatch.setattr(xml_module.LedraXMLResultParser, "_parse_job", watching)
    with Archive(generated_run.path):
        pass
    assert seen == [False] and gc.isenabled()
    gc.disable()
    try:
        with Archive(generated_run.path):
            pass
        assert not gc.isenabled()
    finally:
        gc.enable()
