"""`tavix logs failures`, `search` and `export`: the run at the terminal and in CI."""

import io
import json
import os
import pathlib
import random
import re
import resource
import stat
import subprocess
import sys
import zipfile

import junitparser
import pytest

from tavix.cli.main import main
from tavix.log.commands import logs
from tavix.log.commands.archive import Archive
from tavix.log.commands.server import LogViewerServer
from helpers.archives import generate_archive

from helpers.hand_made_runs import deep_step_run, make_run, record

P = "/private/v1/standalone"


@pytest.fixture(scope="module")
def info(tmp_path_factory):
    """A run with every result (opened by conftest's `archive`)."""
    path = tmp_path_factory.mktemp("terminal") / "run.zip"
    return generate_archive(path, log_bytes=300_000, sections=160, seed=15, failure_causes=True)


@pytest.fixture
def run_path(info):
    return info.path


@pytest.fixture
def shared(archive, monkeypatch):
    """The commands open the test's archive: ids and edits in it are the same
    for the command and the test."""

    class Opened:
        def __init__(self, path):
            self.file = path

        def __enter__(self):
            return archive

        def __exit__(self, *exc_info):
            return False

    monkeypatch.setattr(logs, "Archive", Opened)
    return archive


def tavix(capsys, *argv):
    status = main(["logs", *map(str, argv)])
    out, err = capsys.readouterr()
    return status, out, err


def paths_by_id(archive):
    names, paths = {}, {}
    for task in archive.results.scripts:
        for section in task["sections"]:
            names[section["sequence_number"]] = section
    for task in archive.results.scripts:
        for section in task["sections"]:
            chain = [names[p]["section_name"] for p in section["parents"]]
            paths[section["id"]] = chain + [section["section_name"]]
    return names, paths


# -- failures ------------------------------------------------------------------

async def test_failures_json_is_the_categories_route_with_paths_and_marks(aiohttp_client, shared, run_path, capsys):
    client = await aiohttp_client(LogViewerServer(shared))
    route = await (await client.get(P + "/categories")).json()
    assert route["categories"] and route["unexplained"]
    status, out, _ = tavix(capsys, "failures", run_path, "--json")
    answer = json.loads(out)
    for category in answer["categories"]:
        assert len(category.pop("paths")) == len(category["sections"]) and category.pop("marks") == []
        assert (category.pop("path_marks"), category.pop("marked_by_path")) == ([], 0)
        assert category.pop("to_investigate") == len(category["sections"])
    assert status == 0 and answer == route


def test_failures_text_shows_groups_largest_first(shared, run_path, capsys):
    from tavix.log.commands.parser.base import failure_categories

    answer = failure_categories(shared.results)
    status, out, _ = tavix(capsys, "failures", run_path)
    assert status == 0 and "\x1b" not in out  # no colours into a pipe
    failing = sum(c["count"] for c in answer["categories"]) + len(answer["unexplained"])
    assert out.startswith("%d failing sections and steps in %d groups (%d without a cause line)"
                          % (failing, len(answer["categories"]), len(answer["unexplained"])))
    counts = [int(line.split()[0]) for line in out.splitlines() if re.match(r"^ {0,5}\d+  [a-z]", line)]
    assert counts[:len(answer["categories"])] == [c["count"] for c in answer["categories"]]
    examples = [c["example"] for c in answer["categories"]]
    assert [line.strip() for line in out.splitlines() if line.strip() in examples] == examples
    _, paths = paths_by_id(shared)
    first = answer["categories"][0]["sections"][0]
    if "#" not in first:
        assert "      " + " \u203a ".join(paths[first]) + "\n" in out


def test_failures_of_a_run_without_any(tmp_path, capsys):
    path = tmp_path / "green.zip"
    generate_archive(path, log_bytes=20_000, sections=4, seed=1, scripts=1)
    with Archive(path) as opened:
        for task in opened.results.scripts:
            assert not any(s["result"] in ("failed", "errored") for s in task["sections"])
    assert tavix(capsys, "failures", path)[1] == "No failing sections or steps.\n"


# -- search --------------------------------------------------------------------

def literal_search(archive, pattern, flags=re.IGNORECASE):
    """Every line of every task log matching `pattern`, for the innermost
    section or step holding its first match, read the plainest way."""
    _, paths = paths_by_id(archive)
    ranges = {}  # log file -> [(start, end, order, path, log_file)]
    order = 0
    for task in archive.results.scripts:
        for section in task["sections"]:
            nodes = [(section, paths[section["id"]])]
            chain = []  # open steps: (step_id, path)
            for step in section["steps"]:
                while chain and not step["step_id"].startswith(chain[-1][0] + "."):
                    chain.pop()
                path = (chain[-1][1] if chain else paths[section["id"]]) + [step["step_name"]]
                chain.append((step["step_id"], path))
                nodes.append((step, path))
            for record, path in nodes:
                start, size = int(record["log_start"]), int(record["log_size"])
                end = start + size if size > 0 else float("inf")
                ranges.setdefault(record["log_file"], []).append((start, end, order, path))
                order += 1
    expected = []
    regex = re.compile(pattern, flags)
    for log_file, owners in ranges.items():
        with open(os.path.join(archive.dir, log_file), "rb") as f:
            data = f.read()
        position = 0
        for number, raw in enumerate(data.split(b"\n"), 1):
            line_start, position = position, position + len(raw) + 1
            text = raw.decode("utf-8", "replace")
            found = regex.search(text)
            if position > len(data) + 1 or not found:
                continue
            match_at = line_start + len(text[:found.start()].encode())
            holding = [o for o in owners if o[0] <= match_at < o[1]]
            if holding:
                # The innermost: the latest start, then the shortest, then the
                # deepest (of equal ranges, the later in tree order).
                owner = min(holding, key=lambda o: (-o[0], o[1], -o[2]))
                expected.append((owner[2], line_start, {
                    "path": owner[3], "log_file": log_file, "line": number,
                    "column": found.start() + 1, "text": text}))
    # Logs in the order of their first node, lines in file order.
    first = {}
    for entry in expected:
        first.setdefault(entry[2]["log_file"], len(first))
    expected.sort(key=lambda e: (first[e[2]["log_file"]], e[1]))
    return [e[2] for e in expected]


@pytest.mark.parametrize("argv, pattern, flags", [
    (["retrying the connection"], "retrying the connection", re.IGNORECASE),
    (["Retrying", "--case"], "Retrying", 0),
    ([r"ethernet1/\d+ on r[0-9]", "-E"], r"ethernet1/[0-9]+ on r[0-9]", re.IGNORECASE),
    (["châssis", "--case"], "châssis", 0),
    ([r"^\d+: lab-host1: .*%SCRIPT-3-ERROR", "--regex", "--case"], r"^[0-9]+: lab-host1: .*%SCRIPT-3-ERROR", 0),
])
def test_search_json_matches_a_literal_reading(shared, run_path, capsys, argv, pattern, flags):
    status, out, _ = tavix(capsys, "search", run_path, *argv, "--json")
    hits = [json.loads(line) for line in out.splitlines()]
    expected = literal_search(shared, pattern, flags)
    assert status == 0 and expected
    assert hits == expected


async def test_search_counts_as_the_job_search_route(aiohttp_client, shared, run_path, capsys):
    client = await aiohttp_client(LogViewerServer(shared))
    route = await (await client.get(P + "/search", params={"q": "verifying"})).json()
    hits = [json.loads(line) for line in tavix(capsys, "search", run_path, "verifying", "--json")[1].splitlines()]
    assert len(hits) == route["total"] > 0


def test_search_without_an_archive_argument_takes_the_newest(shared, run_path, capsys, monkeypatch):
    monkeypatch.setattr(logs.ListSubcommand, "find_all_archives", staticmethod(lambda: [pathlib.Path(run_path)]))
    status, out, err = tavix(capsys, "search", "Traffic stream", "--case")
    assert status == 0, err
    lines = out.splitlines()
    assert lines and all(re.match(r"^script_\d\.py( \u203a [^:]+)*:\d+:.*Traffic stream ", line)
                         for line in lines)


@pytest.mark.parametrize("pattern", ["a(b", "(?<=x)y", r"(a)\1"])
def test_an_invalid_pattern_fails_before_opening(pattern, tmp_path, capsys, monkeypatch):
    opened = []
    monkeypatch.setattr(logs, "Archive", type("Never", (), {"__init__": lambda self, p: opened.append(p),
                                                           "check_query": Archive.check_query}))
    status, out, err = tavix(capsys, "search", tmp_path / "absent.zip", pattern, "-E")
    assert status == 2 and out == "" and not opened
    assert err.startswith("tavix: error: invalid pattern: ") and err.count("\n") == 1


def test_search_into_a_closed_pipe_exits_quietly(run_path):
    command = [sys.executable, "-c", "import sys; from tavix.cli.main import main; sys.exit(main())",
               "logs", "search", str(run_path), "e"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env) as process:
        process.stdout.readline()
        process.stdout.close()  # as `| head -1` does, long before the output's end
        err = process.stderr.read()
        assert process.wait(timeout=30) == 0
    assert err == b""


# -- export --------------------------------------------------------------------

RESULTS = {"passed": "pass", "passx": "pass", "failed": "failure", "errored": "error",
           "aborted": "error", "blocked": "error", "skipped": "skipped"}


def outcome(case):
    kinds = {junitparser.Failure: "failure", junitparser.Error: "error", junitparser.Skipped: "skipped"}
    found = [kinds[type(r)] for r in case.result if type(r) in kinds]
    return found[0] if found else "pass"


def test_junit_counts_equal_the_summaries(shared, run_path, tmp_path, capsys):
    results = {s["result"] for t in shared.results.scripts for s in t["sections"]
               if s["section_type"] == "testcase"}
    assert results == set(RESULTS)  # a run with every result
    # A failing common setup adds a test case of its name, with an error.
    setup = next(s for s in shared.results.scripts[0]["sections"] if s["section_type"] == "commonSetup")
    setup["result"] = "failed"
    out = tmp_path / "junit.xml"
    status, _, err = tavix(capsys, "export", run_path, "--junit", out)
    assert status == 0, err

    document = junitparser.JUnitXml.fromfile(str(out))
    suites = list(document)
    assert [s.name for s in suites] == [t["meta"]["name"] for t in shared.results.scripts]
    totals = {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
    for suite, task in zip(suites, shared.results.scripts):
        summary = {k: int(v) for k, v in task["summary"].items() if k not in ("success_rate",)}
        cases = [c for c in suite if c.name != "commonSetup"]
        kinds = [outcome(c) for c in cases]
        assert kinds.count("pass") == summary["pass"] + summary["passx"]
        assert kinds.count("failure") == summary["fail"]
        assert kinds.count("error") == summary["errored"] + summary["aborted"] + summary["blocked"]
        assert kinds.count("skipped") == summary["skip"]
        assert len(cases) == summary["total_tasks"]
        testcases = [s for s in task["sections"] if s["section_type"] == "testcase"]
        assert [(c.name, c.time) for c in cases] == [(s["section_name"], float(s["run_time"])) for s in testcases]
        extra = [c for c in suite if c.name == "commonSetup"]
        assert len(extra) == (1 if task is shared.results.scripts[0] else 0)
        assert all(outcome(c) == "error" for c in extra)
        assert (suite.tests, suite.failures, suite.errors, suite.skipped) == (
            len(list(suite)), kinds.count("failure"), kinds.count("error") + len(extra), kinds.count("skipped"))
        assert all(c.classname == task["meta"]["name"] for c in suite)
        for key, value in (("tests", suite.tests), ("failures", suite.failures),
                           ("errors", suite.errors), ("skipped", suite.skipped)):
            totals[key] += value
    root = document._elem
    assert {k: int(root.get(k)) for k in totals} == totals


def test_junit_reads_results_and_run_times_as_the_parser_does(shared, run_path, tmp_path, capsys):
    from tavix.log.commands.parser.base import run_time_seconds

    testcases = [s for t in shared.results.scripts for s in t["sections"] if s["section_type"] == "testcase"]
    edits = [(" FAILED\u00a0", "0:01:02.5", "failure"), ("Errored\x0b", "1e3", "error"),
             ("passed", "1:2:3:4", "pass"), ("blocked", " 7. ", "error")]
    for i, (record, (result, run_time, _)) in enumerate(zip(testcases, edits)):
        record["section_name"], record["result"], record["run_time"] = f"edited{i}", result, run_time
    out = tmp_path / "junit.xml"
    assert tavix(capsys, "export", run_path, "--junit", out)[0] == 0
    cases = {c.name: c for s in junitparser.JUnitXml.fromfile(str(out)) for c in s}
    for i, (_, run_time, kind) in enumerate(edits):
        case = cases[f"edited{i}"]
        assert (outcome(case), case.time) == (kind, run_time_seconds(run_time) or 0)
    assert [run_time_seconds(e[1]) for e in edits] == [62.5, None, None, 7.0]


def test_junit_failure_messages_are_cause_lines_with_the_log_tail(shared, run_path, tmp_path, capsys):
    from tavix.log.commands.parser.base import failure_categories

    out = tmp_path / "junit.xml"
    assert tavix(capsys, "export", run_path, "--junit", out)[0] == 0
    examples = {c["example"] for c in failure_categories(shared.results)["categories"]}
    sections = {(t["meta"]["name"], s["section_name"]): s for t in shared.results.scripts
                for s in t["sections"] if s["section_type"] == "testcase"}
    failed = 0
    for suite in junitparser.JUnitXml.fromfile(str(out)):
        for case in suite:
            for result in case.result:
                if isinstance(result, (junitparser.Failure, junitparser.Error)):
                    failed += 1
                    record = sections[case.classname, case.name]
                    section = shared.results.get_section(record["id"])
                    log = shared.read_bytes(section.logfile, section.log_start, section.log_size,
                                            limit=section.log_size)
                    assert result.text == "\n".join(log.rstrip("\n").split("\n")[-50:])
                    assert result.message in log.split("\n") or \
                        result.message == result.type + ": no error or warning in its log"
                    assert result.type == record["result"]
    assert failed
    causes = [r.message for s in junitparser.JUnitXml.fromfile(str(out)) for c in s for r in c.result
              if isinstance(r, junitparser.Failure)]
    assert any(any(line.endswith(example) for example in examples) for line in causes)


def test_junit_is_valid_with_characters_xml_forbids(shared, run_path, tmp_path, capsys):
    failing = next(s for t in shared.results.scripts for s in t["sections"]
                   if s["section_type"] == "testcase" and s["result"] == "failed")
    failing["section_name"] = "bad\x01name \x1b[31m & <tag> \"q\" \ufffe"
    shared.results.meta["suite_name"] = "suite\x0b\x00"
    section = shared.results.get_section(failing["id"])
    with open(section.logfile, "r+b") as log:  # control bytes and broken UTF-8 in its tail
        log.seek(section.log_start + section.log_size - 40)
        log.write(b"\x00\x07\x1b[0m\xff\xfe\xed\xa0\x80\x0c")
    out = tmp_path / "junit.xml"
    assert tavix(capsys, "export", run_path, "--junit", out)[0] == 0
    document = junitparser.JUnitXml.fromfile(str(out))  # well-formed
    names = [c.name for s in document for c in s]
    assert "bad\ufffdname \ufffd[31m & <tag> \"q\" \ufffd" in names
    text = out.read_text("utf-8")
    assert not re.search("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]", text)


def test_junit_into_an_unwritable_place_leaves_nothing(shared, run_path, tmp_path, capsys):
    def export(target):
        status, out, err = tavix(capsys, "export", run_path, "--junit", target)
        return status, err

    status, err = export(tmp_path / "missing/junit.xml")
    assert (status, err) == (1, "tavix: error: cannot write %s: No such file or directory\n"
                             % (tmp_path / "missing/junit.xml"))
    (tmp_path / "plain").write_text("")
    assert export(tmp_path / "plain/junit.xml")[1].endswith(": Not a directory\n")
    assert export(tmp_path) == (1, "tavix: error: cannot write %s: it is a directory\n" % tmp_path)

    # A disk that fills up while writing: the limit on file sizes fails the
    # writes (EFBIG) for any user; the half-written file is removed.
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, hard))
    try:
        status, err = export(tmp_path / "junit.xml")
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    assert (status, err) == (1, "tavix: error: cannot write %s: File too large\n" % (tmp_path / "junit.xml"))
    assert sorted(os.listdir(tmp_path)) == ["plain"]

    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(stat.S_IRUSR | stat.S_IXUSR)
    try:
        if not os.access(locked, os.W_OK):  # root may write anyway
            assert export(locked / "junit.xml")[1].endswith(": Permission denied\n")
            assert os.listdir(locked) == []
    finally:
        locked.chmod(stat.S_IRWXU)


def test_junit_failing_midway_keeps_the_previous_file(shared, run_path, tmp_path, capsys, monkeypatch):
    class FailingReads:
        """The archive, whose log reads fail once the first failure was read."""

        def __init__(self):
            self.reads = 0

        def __getattr__(self, name):
            return getattr(shared, name)

        def read_bytes(self, *args, **kwargs):
            self.reads += 1
            if self.reads > 2:
                raise OSError(5, "Input/output error")
            return shared.read_bytes(*args, **kwargs)

    failing = FailingReads()
    monkeypatch.setattr(logs, "Archive", type("Opened", (), {
        "__init__": lambda self, path: None, "__enter__": lambda self: failing,
        "__exit__": lambda self, *exc_info: False}))
    out = tmp_path / "junit.xml"
    out.write_text("previous")
    status, _, err = tavix(capsys, "export", run_path, "--junit", out)
    assert status == 1 and err == "tavix: error: OSError: [Errno 5] Input/output error\n"
    assert out.read_text() == "previous" and os.listdir(tmp_path) == ["junit.xml"]


def test_search_highlights_the_match_on_a_terminal(shared, run_path, capsys, monkeypatch):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    from tavix.log.colour import FgColour, Palette, Style

    before, after = Palette.paint("\x01", Style.BOLD, FgColour.RED).split("\x01")
    plain = [json.loads(line)["text"] for line in tavix(capsys, "search", run_path, "NOMINAL", "--json")[1].splitlines()]
    screen = Terminal()
    monkeypatch.setattr(sys, "stdout", screen)
    monkeypatch.delenv("NO_COLOR", raising=False)
    assert main(["logs", "search", str(run_path), "NOMINAL"]) == 0
    lines = screen.getvalue().splitlines()
    # After multi-byte characters ("Température du châssis … °C — "), in the line's own case.
    assert lines and all(before + "nominal" + after in line for line in lines)
    assert [re.sub(r"\x1b\[[0-9;]*m", "", line).split(":", 2)[2] for line in lines] == plain

    monkeypatch.setenv("NO_COLOR", "1")
    screen.seek(0), screen.truncate()
    assert main(["logs", "search", str(run_path), "NOMINAL"]) == 0
    assert "\x1b" not in screen.getvalue()


@pytest.mark.parametrize("seed", [1, 2, 3])
async def test_search_with_ranges_cut_inside_lines(aiohttp_client, shared, run_path, capsys, seed):
    # Sections and steps whose ranges start and end inside lines: a line is
    # shown once, for the innermost node holding its first match.
    rng = random.Random(seed)
    records = [r for t in shared.results.scripts for s in t["sections"] for r in [s] + list(s["steps"])
               if int(r["log_size"]) > 40]
    for record in rng.sample(records, 40):
        section = shared.results.get_section(record["id"])
        start = section.log_start + rng.randrange(0, 30)
        size = max(1, section.log_size - rng.randrange(0, 30) - (start - section.log_start))
        record["log_start"], record["log_size"] = str(start), str(size)
        section.log_start, section.log_size = start, size
    hits = [json.loads(line) for line in tavix(capsys, "search", run_path, "on r", "--json")[1].splitlines()]
    assert hits == literal_search(shared, "on r")
    client = await aiohttp_client(LogViewerServer(shared))
    route = await (await client.get(P + "/search", params={"q": "on r"})).json()
    assert len(hits) == route["total"]


def test_a_terminal_never_receives_the_archives_control_characters(shared, run_path, monkeypatch):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    monkeypatch.setattr(sys, "stdout", Terminal())
    monkeypatch.setenv("NO_COLOR", "1")
    evil = "\x1b]0;owned\x07\x9b"
    for task in shared.results.scripts:
        for section in task["sections"]:
            section["section_name"] += evil
    section = shared.results.get_section(shared.results.scripts[0]["sections"][3]["id"])
    with open(section.logfile, "r+b") as log:
        log.seek(section.log_start + 30)
        log.write(b"Xyzzy \x1b[2J\x1b]52;c;cGF3bmVk\x07 ")
    assert main(["logs", "failures", str(run_path)]) == 0
    assert main(["logs", "search", str(run_path), "xyzzy"]) == 0
    shown = sys.stdout.getvalue()
    assert "^[]0;owned^G<U+009B>" in shown and "Xyzzy ^[[2J^[]52;c;cGF3bmVk^G " in shown
    assert not re.search("[\x00-\x08\x0a-\x1f\x7f-\x9f]", shown.replace("\n", ""))


DEEP_PROBE = """
import os, resource, sys
from tavix.cli.main import main
shallow, deep, out = sys.argv[1:]
def commands(run, last):
    for argv in (["failures", run], ["search", run, "step %d failed" % last], ["export", run, "--junit", out]):
        assert main(["logs", *argv]) == 0, argv
commands(shallow, 0)
rest = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
commands(deep, 2999)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rest) * 1024, file=sys.stderr)
"""


def test_a_deep_step_tree_costs_memory_by_its_nodes(tmp_path):
    """3,000 steps each inside the one before: their paths would be 4.5 million names."""
    deep, shallow = deep_step_run(tmp_path / "deep.zip", 3000), deep_step_run(tmp_path / "shallow.zip", 1)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), HOME=str(tmp_path),
               TAVIX_CONFIG=str(tmp_path / "none.cfg"))
    done = subprocess.run([sys.executable, "-c", DEEP_PROBE, str(shallow), str(deep), str(tmp_path / "j.xml")],
                          env=env, capture_output=True, text=True, check=True)
    assert int(done.stderr.split()[-1]) < 16 << 20
    # The deepest step is still named by its whole path, by failures and search.
    path = " \u203a ".join(["s.py", "deep"] + ["s%d" % i for i in range(3000)])
    named = [line.strip() for line in done.stdout.splitlines() if line.strip().startswith("s.py \u203a deep")]
    assert named[-2] == path
    assert named[-1].startswith(path + ":3000:") and named[-1].endswith("ERROR: step 2999 failed")


def test_junit_keeps_the_mode_of_the_file_it_replaces(run_path, tmp_path, capsys):
    private = tmp_path / "private.xml"
    private.write_text("old")
    private.chmod(0o600)
    assert tavix(capsys, "export", run_path, "--junit", private)[0] == 0
    assert stat.S_IMODE(private.stat().st_mode) == 0o600 and "<testsuites" in private.read_text()
    mask = os.umask(0o022)
    try:
        fresh = tmp_path / "fresh.xml"
        assert tavix(capsys, "export", run_path, "--junit", fresh)[0] == 0
        assert stat.S_IMODE(fresh.stat().st_mode) == 0o644
        # A symlink is replaced, never followed: neither its target nor the target's mode counts.
        private.write_text("old")
        link = tmp_path / "link.xml"
        link.symlink_to(private)
        assert tavix(capsys, "export", run_path, "--junit", link)[0] == 0
        assert not link.is_symlink() and stat.S_IMODE(link.stat().st_mode) == 0o644
        assert private.read_text() == "old"
    finally:
        os.umask(mask)


def test_a_long_cause_line_is_cut_in_the_message_and_given_whole_in_the_text(tmp_path, capsys):
    cause = record(2, "ERROR: " + "lost é " * 30_000, severity=3)
    run = make_run(tmp_path / "run.zip", [("s.py", [("long", "failed", [record(1, "start"), cause, record(3, "end")], []),
                                                    ("short", "failed", [record(1, "ERROR: short", severity=3)], [])])])
    out = tmp_path / "junit.xml"
    assert tavix(capsys, "export", run, "--junit", out)[0] == 0
    long_case, short_case = next(iter(junitparser.JUnitXml.fromfile(str(out))))
    (failure,) = long_case.result
    assert failure.message == cause[:1000] + "\u2026"
    assert failure.text == cause + "\n\n" + "\n".join([record(1, "start"), cause, record(3, "end")])
    (failure,) = short_case.result
    assert failure.message == record(1, "ERROR: short", severity=3) and failure.text == failure.message


def test_a_summary_without_a_skip_element_counts_none_skipped(tmp_path, capsys):
    run = make_run(tmp_path / "run.zip", [("s.py", [("a", "passed", [record(1, "ok")], []),
                                                    ("b", "failed", [record(2, "ERROR: down", severity=3)], [])])])
    with zipfile.ZipFile(run) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    members["ResultsDetails.xml"] = members["ResultsDetails.xml"].replace(b"<skip>0</skip>", b"")
    with zipfile.ZipFile(run, "w") as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    with Archive(run) as opened:
        assert "skip" not in opened.results.summary
        assert opened.results.summary["applicable_tasks"] == opened.results.summary["total_tasks"] == 1
    status, out, err = tavix(capsys, "failures", run)
    assert status == 0 and "ERROR: down" in out, err
    assert tavix(capsys, "search", run, "down")[0] == 0
    assert tavix(capsys, "export", run, "--junit", tmp_path / "junit.xml")[0] == 0
    suite = next(iter(junitparser.JUnitXml.fromfile(str(tmp_path / "junit.xml"))))
    assert (suite.tests, suite.failures, suite.skipped) == (2, 1, 0)
