import os
import subprocess
import sys
import xml.etree.ElementTree as ET
import zipfile

import pytest

NS = {"x": "http://www.tavix.org/xml/schema/qenreport"}


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """Runs `tavix demo` once; returns the archive's path and its unpacked files."""
    home = tmp_path_factory.mktemp("home")
    env = dict(os.environ, HOME=str(home), TMPDIR=str(home))
    done = subprocess.run([sys.executable, "-m", "tavix.cli.main", "demo"], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    (archive,) = (home / ".tavix" / "archive").glob("*.zip")
    with zipfile.ZipFile(archive) as zipped:
        files = {name: zipped.read(name) for name in zipped.namelist()}
    return archive, files, done, home


def section_ranges(root):
    """(name, begin, size, element) of every section and step with a log range."""
    found = []
    for element in root.iter():
        logfile = element.find("x:logfile", NS)
        if logfile is None or "begin" not in logfile.attrib:
            continue
        name = element.findtext("x:name", namespaces=NS)
        found.append((name, int(logfile.get("begin")), int(logfile.get("size")), element))
    return found


def test_demo_stores_a_complete_archive(demo):
    archive, files, done, home = demo
    assert sorted(files) == ["ResultsDetails.xml", "TaskLog.demo_script", "report.html"]
    assert "Run archive: %s" % archive in done.stdout
    assert "+++ R1: executing command 'show version' +++" in done.stdout  # console lines
    assert not list(home.glob("tavix.demo.*"))  # its work directory is gone
    root = ET.fromstring(files["ResultsDetails.xml"])
    suite = root.find("x:testsuite", NS)
    summary = {child.tag.split("}")[1]: child.text for child in suite.find("x:summary", NS)}
    assert (summary["pass"], summary["fail"], summary["errored"], summary["skip"]) == ("3", "1", "1", "0")
    import socket
    assert suite.findtext("x:initinfo/x:host", namespaces=NS) == socket.gethostname()


def test_log_ranges_are_true_byte_ranges(demo):
    _, files, _, _ = demo
    log = files["TaskLog.demo_script"]
    root = ET.fromstring(files["ResultsDetails.xml"])
    ranges = section_ranges(root)
    assert len(ranges) >= 15
    host = socket_host = root.findtext("x:testsuite/x:initinfo/x:host", namespaces=NS).encode()
    for name, begin, size, _ in ranges:
        text = log[begin:begin + size]
        assert size > 0 and begin + size <= len(log), name
        # a range starts with a record line and ends at a line end
        assert begin == 0 or log[begin - 1:begin] == b"\n", name
        assert text.split(b": ")[1] == socket_host and text.endswith(b"\n"), name
    by_name = {name: log[begin:begin + size].decode() for name, begin, size, _ in ranges}
    assert by_name["connect"].count("executing command 'show version' +++") == 2
    assert "Target IP address: 10.0.0.2" in by_name["ping"]
    counters = by_name["counters"]
    assert ">>>> Begin child log" in counters and "<<<< End child log" in counters
    assert counters.index(">>>> Begin") < counters.index("collecting interface counters") \
        < counters.index("<<<< End")
    assert "DeprecationWarning" in by_name["legacy_helpers"]
    assert "vop.voplog module is now renamed" in by_name["legacy_helpers"]
    parse = by_name["parse"].splitlines()
    assert any("Traceback (most recent call last):" in line for line in parse)
    assert all(line.split(": ")[1] == host.decode() for line in parse)  # every line has a header
    # a parent's range covers its children's
    assert by_name["R1 clock"] in by_name["R1 interfaces"] in by_name["interfaces_up"] \
        in by_name["check_interfaces"]


def test_viewer_reads_the_demo_run(demo):
    from tavix.log.commands.archive import Archive
    archive_path = demo[0]
    with Archive(archive_path) as archive:
        results = archive.results
        assert results.meta["result_id"] == results.meta["request_id"].split("-")[1]
        records = {r["section_name"]: r for r in results.scripts[0]["sections"]}
        assert list(records)[:4] == ["demo_script.py", "common_setup", "connect", "configure"]

        def executions(name):
            found = results.get_section(records[name]["id"]).all_executions()
            return [(e["device"], e["execute_type"], e.get("title")) for e in found]
        assert executions("connect") == [("R1", "execute", "show version"),
                                         ("R2", "execute", "show version")]
        assert executions("configure") == [("R1", "config", None), ("R1", "config", "hostname R1")]
        assert executions("ping") == [("R1", "ping", "10.0.0.2")]
        step = next(s for s in records["interfaces_up"]["steps"] if s["step_name"] == "R1 clock")
        assert [e["title"] for e in results.get_section(step["id"]).all_executions()] == ["show clock"]
        assert records["parse"]["result"] == "errored" and records["ping"]["result"] == "failed"


def test_junit_export_of_the_demo_counts_as_its_summary(demo, tmp_path, capsys):
    # The demo's summaries count the common setup and cleanup as well.
    import junitparser

    from tavix.cli.main import main
    from tavix.log.commands.archive import Archive

    archive = demo[0]
    out = tmp_path / "junit.xml"
    assert main(["logs", "export", str(archive), "--junit", str(out)]) == 0
    with Archive(archive) as opened:
        (task,) = opened.results.scripts
    (suite,) = junitparser.JUnitXml.fromfile(str(out))
    summary = {k: int(v) for k, v in task["summary"].items() if k != "success_rate"}
    assert suite.tests == summary["total_tasks"]
    assert suite.failures == summary["fail"]
    assert suite.errors == summary["errored"] + summary["aborted"] + summary["blocked"]
    assert "common_setup" in [case.name for case in suite]
