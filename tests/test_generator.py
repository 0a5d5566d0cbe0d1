"""The run-archive generator writes what it says it wrote."""

import re
import xml.etree.ElementTree as ET
import zipfile

import pytest

from helpers.archives import generate_archive, main, parse_size
from tavix.log.commands.parser.xml import NAMESPACE, RESULTS_FILE

BANNER = re.compile(r"\+\+\+ (\S+): (executing|execute|configure|config|ping)( command '(.+)')? \+\+\+$")


def read_members(info):
    with zipfile.ZipFile(info.path) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


def test_sections_point_at_their_own_lines(generated_run):
    members = read_members(generated_run)
    for section in generated_run.sections:
        log = members[section.log_file]
        if section.section_type == "testscript":
            assert (section.log_start, section.log_size) == (0, -1)
            continue
        data = log[section.log_start:section.log_start + section.log_size]
        assert section.log_start == 0 or log[section.log_start - 1:section.log_start] == b"\n"
        assert data.endswith(b"\n")
        assert log[:section.log_start].count(b"\n") == section.first_line
        lines = data.decode().splitlines()
        assert f"Starting {section.section_type} {section.section_name}" in lines[1]
        assert lines[-1].endswith(f"is => {section.result.upper()}")
        for step in section.all_steps:
            assert section.log_start <= step.log_start
            assert step.log_start + step.log_size <= section.log_start + section.log_size
            step_lines = log[step.log_start:step.log_start + step.log_size].decode().splitlines()
            assert step_lines[0].endswith(f"Starting STEP {step.step_id}: {step.step_name}")


def test_tree_is_in_preorder_with_nested_ranges(generated_run):
    by_number = {s.sequence_number: s for s in generated_run.sections}
    assert sorted(by_number) == list(range(1, 61))
    kinds = {s.section_type for s in generated_run.sections}
    assert kinds == {"testscript", "commonSetup", "commonCleanup", "subsection", "testcase", "subtest",
                     "testsection"}
    for section in generated_run.sections:
        if not section.parents:
            continue
        parent = by_number[section.parents[-1]]
        assert parent.sequence_number < section.sequence_number
        if parent.section_type != "testscript":
            assert parent.log_start <= section.log_start
            assert section.log_start + section.log_size <= parent.log_start + parent.log_size
    assert any(step.depth == 2 for s in generated_run.sections for step in s.all_steps)


def test_executions_are_banners_of_the_run_host(generated_run):
    members = read_members(generated_run)
    kinds = set()
    for script in generated_run.scripts:
        lines = members[script.log_file].split(b"\n")
        assert len(lines) - 1 == script.line_count
        for execution in script.executions:
            line = lines[execution.line].decode()
            assert line.split(": ")[1] == generated_run.host
            match = BANNER.search(line)
            assert match and match.group(1) == execution.device
            kinds.add((execution.execute_type, execution.title is None))
    assert {("execute", False), ("config", True), ("config", False), ("ping", False)} <= kinds


def test_results_file_matches_the_description(generated_run):
    root = ET.fromstring(read_members(generated_run)[RESULTS_FILE])
    ns = {"x": NAMESPACE}
    assert root.tag == f"{{{NAMESPACE}}}ResultsDetails"
    assert root.find("./x:testsuite/x:initinfo/x:jobid", ns).text == generated_run.job_id
    scripts = root.findall("./x:testsuite/x:jobexecution/x:testscript", ns)
    assert [s.find("./x:initinfo/x:taskid", ns).text for s in scripts] == ["Task-1", "Task-2"]
    logfiles = [e for e in root.iter(f"{{{NAMESPACE}}}logfile") if "begin" in e.attrib]
    ranges = {(e.text, int(e.get("begin")), int(e.get("size"))) for e in logfiles}
    for section in generated_run.sections[1:]:
        if section.section_type != "testscript":
            assert (section.log_file, section.log_start, section.log_size) in ranges
    summary = root.find("./x:testsuite/x:summary", ns)
    assert {child.tag.split("}")[1]: child.text for child in summary} == {
        k: str(v) for k, v in generated_run.summary.items()}


def test_extra_files_and_invalid_bytes(generated_run_invalid_utf8):
    info = generated_run_invalid_utf8
    members = read_members(info)
    assert {"report.html", "images/topology.png", "configs/R1/running-config.txt",
            "__pycache__/conftest.cpython-311.pyc"} <= set(members)
    assert members["images/topology.png"].startswith(b"\x89PNG")
    flagged = [s for s in info.sections if s.invalid_utf8]
    assert flagged
    for section in flagged:
        data = members[section.log_file][section.log_start:section.log_start + section.log_size]
        with pytest.raises(UnicodeDecodeError):
            data.decode()


def test_same_seed_same_archive_and_small_counts(tmp_path):
    first = generate_archive(tmp_path / "a.zip", log_bytes=20_000, sections=9, seed=5, scripts=1)
    second = generate_archive(tmp_path / "b.zip", log_bytes=20_000, sections=9, seed=5, scripts=1)
    assert read_members(first)["TaskLog.Task-1"] == read_members(second)["TaskLog.Task-1"]
    for count in (1, 2, 5):
        info = generate_archive(tmp_path / f"{count}.zip", log_bytes=5_000, sections=count, scripts=1)
        assert len(info.sections) == count
    with pytest.raises(ValueError):
        generate_archive(tmp_path / "x.zip", sections=1, scripts=2)


def test_size_parsing_and_command_line(tmp_path, capsys):
    assert [parse_size(t) for t in ("64k", "2M", "1G", "123")] == [65536, 2 << 20, 1 << 30, 123]
    with pytest.raises(ValueError):
        parse_size("lots")
    assert main([str(tmp_path / "c.zip"), "--log-size", "64k", "--sections", "12"]) == 0
    assert "12 sections in 2 scripts" in capsys.readouterr().out


def assert_scans_find_the_described_executions(info):
    import pathlib

    from tavix.log.commands.archive import Archive

    with Archive(pathlib.Path(info.path)) as archive:
        records = [r for task in archive.results.scripts for r in task["sections"]]
        for record, expected in zip(records, info.sections):
            found = archive.results.get_section(record["id"]).child_execute.values()
            assert [(e.device, e.execute_type, getattr(e, "title", None), e.start_line) for e in found] == [
                (e.device, e.execute_type, e.title, e.line - expected.first_line)
                for e in info.executions_in(expected)]


def test_described_executions_are_what_the_section_scan_finds(generated_run_invalid_utf8):
    assert_scans_find_the_described_executions(generated_run_invalid_utf8)


def test_dense_device_output(tmp_path, capsys):
    info = generate_archive(tmp_path / "dense.zip", log_bytes=300_000, sections=40, seed=2, scripts=1,
                            dense_devices=True, invalid_utf8=True)
    script = info.scripts[0]
    assert 550 < script.log_size / len(script.executions) < 750
    assert {e.execute_type for e in script.executions} == {"execute", "config", "ping"}
    assert_scans_find_the_described_executions(info)
    assert main([str(tmp_path / "d.zip"), "--log-size", "64k", "--sections", "5", "--dense-devices"]) == 0
    assert "5 sections in 2 scripts" in capsys.readouterr().out
