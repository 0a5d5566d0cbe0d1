"""Hand-made run archives for the run index tests: a suite, a request id, a
start time and the results of a few named sections, with a cause line in the
log of each failing one."""
import zipfile
from xml.sax.saxutils import escape

from tavix.log.commands.parser.xml import NAMESPACE, RESULTS_FILE

HOST = "lab1"
LOG = "TaskLog.s"


class _Log:
    def __init__(self):
        self.data = bytearray()
        self.seq = 0

    def section(self, cause):
        start = len(self.data)
        self.seq += 1
        self.data += f"{self.seq}: {HOST}: 2026-12-01T10:00:00: %SCRIPT-6-INFO: %[pid=1]: working\n".encode()
        if cause:
            self.seq += 1
            self.data += f"{self.seq}: {HOST}: 2026-12-01T10:00:01: %SCRIPT-3-ERROR: %[pid=1]: {cause}\n".encode()
        return start, len(self.data) - start


def _section(log, tag, name, result, children, cause):
    begin, size = log.section(cause if result in ("failed", "errored", "aborted", "blocked") else None)
    ident = (f"<name>{escape(name)}</name><logfile begin='{begin}' size='{size}'>{LOG}</logfile>"
             f"<xref><file>s.py</file><line>1</line></xref>")
    head = f"<initinfo>{ident}</initinfo>" if tag in ("testcase", "subtest") else ident
    inner = "".join(children)
    return f"<{tag}>{head}<result>{result}</result><starttime>t</starttime><runtime>1.5</runtime>{inner}</{tag}>"


def make_run(path, request_id, start_time, cases, suite="nightly", script="s.py", summary=None):
    """Writes a run archive to `path`. cases: [(name, result)] or
    [(name, result, [(section name, result), ...])] for testcases with
    testsections; a failing one logs the cause "<name> broke"; a 4th element
    gives another cause. summary: the job's counts ({"pass": 3, "fail": 1,
    "skip": 0}), else 1 passed."""
    log = _Log()
    log.section(None)
    body = []
    for case in cases:
        name, result = case[0], case[1]
        children = case[2] if len(case) > 2 else []
        cause = case[3] if len(case) > 3 else f"{name} broke"
        inner = [_section(log, "testsection", n, r, [], f"{n} broke") for n, r in children]
        body.append(_section(log, "testcase", name, result, inner, cause))
    counts = summary or {"pass": 1, "skip": 0}
    summary = "<summary>%s</summary>" % "".join(f"<{kind}>{count}</{kind}>" for kind, count in counts.items())
    xml = (f'<?xml version="1.0"?><results xmlns="{NAMESPACE}"><testsuite><initinfo><name>{escape(suite)}</name>'
           f"<jobid>{request_id}</jobid><host>{HOST}</host></initinfo><starttime>{start_time}</starttime>"
           f"{summary}<jobexecution><testscript><initinfo><taskid>T</taskid><script><name>{script}</name>"
           f"<path>/ws</path></script><logfile>{LOG}</logfile></initinfo><starttime>{start_time}</starttime>"
           f"{summary}{''.join(body)}</testscript></jobexecution></testsuite></results>")
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr(RESULTS_FILE, xml)
        archive.writestr(LOG, bytes(log.data))
    return path


# Five nightly runs a day apart, r5 the newest: of its failing sections one
# is new, two known, one flaky, one has no history.
SERIES_PLAN = {
    "known": ["passed", "passed", "failed", "failed", "failed"],
    "new": ["passed", "passed", "passed", "passed", "failed"],
    "flaky": ["failed", "passed", "failed", "passed", "failed"],
    "gap": ["passed", "passed", "failed", None, "failed"],
    "fresh": [None, None, None, None, "failed"],
}


def nightly_series(directory, summaries=False):
    """The archives of SERIES_PLAN in `directory`, oldest first; with
    `summaries`, run i's summary counts i passed and 4 - i failed."""
    paths = []
    for i in range(5):
        cases = [(name, results[i]) for name, results in SERIES_PLAN.items() if results[i] is not None]
        extra = {"summary": {"pass": i, "fail": 4 - i, "skip": 0}} if summaries else {}
        paths.append(make_run(directory / f"r{i + 1}.zip", f"r{i + 1}", f"2026-12-0{i + 1} 02:00:00", cases,
                              **extra))
    return paths
