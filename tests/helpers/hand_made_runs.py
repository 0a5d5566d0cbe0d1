"""Small run archives written by hand: a tree of testcases and testsections
with chosen results and log lines, for comparing runs."""

import zipfile
from xml.sax.saxutils import escape

from tavix.log.commands.parser.xml import NAMESPACE, RESULTS_FILE

SUMMARY = "<summary><pass>1</pass><fail>0</fail><skip>0</skip></summary>"
HOST = "lab1"


def record(seq, message, pid=4242, day=8, severity=6):
    """A task-log line of the execution host."""
    return "%d: %s: 2026-12-0%dT17:17:41: %%SCRIPT-%d-INFO: %%[pid=%d][pname=MainProcess]: %s" % (
        seq, HOST, day, severity, pid, message)


def _section(tag, name, result, start, size, log_name, body=""):
    ident = (f"<name>{escape(name)}</name>" if name else "") + (
        f'<logfile begin="{start}" size="{size}">{log_name}</logfile><xref><file>t.py</file></xref>')
    if tag in ("testcase", "subtest"):
        return f"<{tag}><initinfo>{ident}</initinfo><result>{result}</result>{body}</{tag}>"
    return f"<{tag}>{ident}<result>{result}</result>{body}</{tag}>"


def make_run(path, scripts, suite="nightly", job="job-1", start="2026-12-08T17:00:00"):
    """scripts: [(script name, [testcase]), ...]; testcase: (name, result, [log lines],
    [(testsection name, result, [log lines]), ...]). A testcase's log range holds its
    own lines and its testsections'. Returns the path."""
    files, xml_scripts = {}, []
    for index, (script, cases) in enumerate(scripts):
        log_name, log, body = "TaskLog.%d" % index, bytearray(), ""
        for name, result, lines, sections in cases:
            case_start = len(log)
            log += "".join(line + "\n" for line in lines).encode()
            inner = ""
            for section_name, section_result, section_lines in sections:
                at = len(log)
                log += "".join(line + "\n" for line in section_lines).encode()
                inner += _section("testsection", section_name, section_result, at, len(log) - at, log_name)
            body += _section("testcase", name, result, case_start, len(log) - case_start, log_name, inner)
        files[log_name] = bytes(log)
        xml_scripts.append(
            f"<testscript><initinfo><taskid>{escape(script)}</taskid><script><name>{escape(script)}</name>"
            f"<path>/ws</path></script><logfile>{log_name}</logfile></initinfo><result>passed</result>"
            f"{SUMMARY}{body}</testscript>")
    results = (f'<?xml version="1.0"?><results xmlns="{NAMESPACE}"><testsuite><initinfo><name>{escape(suite)}</name>'
               f"<jobid>{escape(job)}</jobid><host>{HOST}</host></initinfo><starttime>{start}</starttime>"
               f"{SUMMARY}<jobexecution>{''.join(xml_scripts)}</jobexecution></testsuite></results>")
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr(RESULTS_FILE, results)
        for name, data in files.items():
            archive.writestr(name, data)
    return path


def deep_step_run(path, depth):
    """A run of one failing testcase holding `depth` steps, each inside the one
    before it and numbered as the harness numbers them ("1", "1.1", ...);
    step i is named "s<i>" and logs one error line, "step <i> failed"."""
    lines = [record(i, "ERROR: step %d failed" % i, severity=3) + "\n" for i in range(depth)]
    steps, at, step_id = [], 0, ""
    for i, line in enumerate(lines):
        step_id = step_id + ".1" if step_id else "1"
        steps.append(f"<step><id>{step_id}</id><name>s{i}</name><result>failed</result>"
                     f'<logfile begin="{at}" size="{len(line)}">TaskLog.0</logfile>'
                     f"<xref><file>t.py</file><line>3</line></xref>")
        at += len(line)
    body = _section("testcase", "deep", "failed", 0, at, "TaskLog.0")
    body = body.replace("</initinfo>", "".join(steps) + "</step>" * depth + "</initinfo>")
    summary = "<summary><pass>0</pass><fail>1</fail><skip>0</skip></summary>"
    results = (f'<?xml version="1.0"?><results xmlns="{NAMESPACE}"><testsuite><initinfo><name>nightly</name>'
               f"<jobid>job-1</jobid><host>{HOST}</host></initinfo>{summary}<jobexecution><testscript>"
               f"<initinfo><taskid>s.py</taskid><script><name>s.py</name><path>/ws</path></script>"
               f"<logfile>TaskLog.0</logfile></initinfo><result>failed</result>{summary}{body}</testscript>"
               f"</jobexecution></testsuite></results>")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("ResultsDetails.xml", results)
        archive.writestr("TaskLog.0", "".join(lines))
    return path
