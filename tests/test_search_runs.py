"""tavix logs search --runs: the search of every run of the run index, its
order, filters and output, a run's hits against `tavix logs search` of its
archive, the faults of search files, and stopping a search."""
import json
import os
import signal
import threading
import time

import pytest

from tavix.log.commands import archive
from tavix.log.commands.history import RunIndex, content_hash
from tavix.log.commands.history import index_url as index_url_of
from tavix.log.commands.history.run_search import SearchCancel, SearchFiles, command, search_runs, searching

from helpers.cli import logs_tool
from helpers.hand_made_runs import make_run


@pytest.fixture
def tool(monkeypatch, capsys, tmp_path):
    return logs_tool(monkeypatch, capsys, tmp_path / "index.sqlite")


def _case(name, result, *lines):
    return (name, result, list(lines), [])


@pytest.fixture
def runs(tmp_path, tool):
    """Three nightly runs and one weekly, indexed out of their order; the newest
    nightly is n3. "BGP down" is in n1 and n3, "flap" in every run."""
    made = {
        "n2": make_run(tmp_path / "n2.zip", [("s.py", [_case("bgp", "passed", "flap once", "all fine")])],
                       job="n2", start="2026-12-02T02:00:00"),
        "n1": make_run(tmp_path / "n1.zip", [("s.py", [("bgp", "failed", ["BGP down on R1", "flap"],
                                                        [("check", "failed", ["BGP down again"])])])],
                       job="n1", start="2026-12-01T02:00:00"),
        "w1": make_run(tmp_path / "w1.zip", [("w.py", [_case("ospf", "passed", "flap: ospf")])], suite="weekly",
                       job="w1", start="2026-12-02T12:00:00"),
        "n3": make_run(tmp_path / "n3.zip", [("s.py", [_case("bgp", "failed", "x", "BGP down on R2 after flap"),
                                                       _case("isis", "passed", "no bgp Down here")])],
                       job="n3", start="2026-12-03 02:00:00"),
    }
    status, _, err = tool("index", *map(str, made.values()))
    assert status == 0, err
    return made


def json_lines(out):
    return [json.loads(line) for line in out.splitlines()]


def where(lines):
    return [(h["request_id"], h["path"][-1], h["line"]) for h in lines if "notice" not in h]


def test_runs_newest_first_of_a_suite_or_all(runs, tool):
    status, out, err = tool("search", "--runs", "nightly", "BGP down", "--json")
    assert status == 0 and err == ""
    assert where(json_lines(out)) == [("n3", "bgp", 2), ("n3", "isis", 3), ("n1", "bgp", 1), ("n1", "check", 3)]
    status, out, _ = tool("search", "--runs", "all", "flap", "--json")
    assert where(json_lines(out)) == [("n3", "bgp", 2), ("w1", "ospf", 1), ("n2", "bgp", 1), ("n1", "bgp", 2)]
    status, out, _ = tool("search", "--runs", "weekly", "BGP", "--json")
    assert status == 0 and out == ""
    status, out, _ = tool("search", "--runs", "no such suite", "flap")
    assert status == 0 and out == ""


def test_case_and_regex_as_in_one_archive(runs, tool):
    _, out, _ = tool("search", "--runs", "nightly", "BGP down", "--case", "--json")
    assert ("n3", "isis", 3) not in where(json_lines(out)) and len(json_lines(out)) == 3
    _, out, _ = tool("search", "--runs", "nightly", "-E", r"R\d", "--json")
    assert where(json_lines(out)) == [("n3", "bgp", 2), ("n1", "bgp", 1)]


def test_json_lines_are_those_of_one_archive_with_the_run(runs, tool):
    _, out, _ = tool("search", "--runs", "nightly", "BGP down", "--json")
    lines = json_lines(out)
    assert list(lines[0]) == ["path", "log_file", "line", "column", "text", "request_id", "suite_name"]
    for request_id in ("n3", "n1"):
        _, alone, _ = tool("search", str(runs[request_id]), "BGP down", "--json")
        assert [dict(hit, request_id=request_id, suite_name="nightly") for hit in json_lines(alone)] == \
            [hit for hit in lines if hit["request_id"] == request_id]
    assert lines[1] == {"path": ["s.py", "isis"], "log_file": "TaskLog.0", "line": 3, "column": 4,
                        "text": "no bgp Down here", "request_id": "n3", "suite_name": "nightly"}


def test_text_lines_name_the_run(runs, tool):
    status, out, err = tool("search", "--runs", "all", "flap: ospf")
    assert (status, out, err) == (0, "weekly w1:w.py \u203a ospf:1:flap: ospf\n", "")


def test_since_by_start_time_in_utc_inclusive(runs, tool):
    def since(text):
        status, out, _ = tool("search", "--runs", "all", "flap", "--since", text, "--json")
        assert status == 0
        return [hit["request_id"] for hit in json_lines(out)]

    assert since("2026-12-02") == ["n3", "w1", "n2"]
    assert since("2026-12-02T02:00:00") == ["n3", "w1", "n2"]  # a run started at the bound counts
    assert since("2026-12-02 02:00:01") == ["n3", "w1"]
    assert since("2026-12-02T13:00:00+02:00") == ["n3", "w1"]  # 11:00 UTC
    assert since("2026-12-02T12:00:00Z") == ["n3", "w1"]
    assert since("2026-12-04") == []


@pytest.mark.parametrize("words, message", [
    (("--runs", "all", "flap", "--since", "yesterday"), "not an ISO date"),
    (("--runs", "all", "flap", "--since", "2026-02-30"), "not an ISO date"),
    (("--runs", "all", "flap", "--since", "2026-12-02T"), "not an ISO date"),
])
def test_a_bad_date_is_refused(runs, tool, capsys, words, message):
    with pytest.raises(SystemExit) as stopped:
        tool("search", *words)
    assert stopped.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize("words, message", [
    (("--runs", "all", "n1.zip", "flap"), "give TEXT alone"),
    (("flap", "--since", "2026-12-01"), "--since goes with --runs"),
    (("--runs", "all", "-E", "(a"), "invalid pattern: "),
    (("--runs", "all", "-E", r"(a)\1"), "invalid pattern: "),
])
def test_usage_errors(runs, tool, words, message):
    status, out, err = tool("search", *words)
    assert status == 2 and out == "" and err.startswith("tavix: error: ") and message in err


def test_a_result_keeps_the_hits_of_sections_of_that_result(runs, tmp_path):
    with RunIndex(index_url_of(str(tmp_path / "index.sqlite"))) as index:
        failing = list(search_runs(index, "BGP down", suite="nightly", result={"failed"}))
        passing = list(search_runs(index, "BGP down", result="passed"))
        until = list(search_runs(index, "flap", until="2026-12-02"))  # a day holds the whole of it
    assert where(failing) == [("n3", "bgp", 2), ("n1", "bgp", 1), ("n1", "check", 3)]
    assert where(passing) == [("n3", "isis", 3)]
    assert [hit["request_id"] for hit in until] == ["w1", "n2", "n1"]


def test_the_runs_of_a_search_on_both_engines(index_url, tmp_path, monkeypatch, capsys):
    tool = logs_tool(monkeypatch, capsys, index_url)
    made = [make_run(tmp_path / f"{job}.zip", [("s.py", [_case("a", "passed", "needle")])], suite=suite, job=job,
                     start=start)
            for job, suite, start in [("b", "nightly", "2026-12-02T00:00:00"), ("c", "weekly", "not a date"),
                                      ("a", "nightly", "2026-12-01T23:59:59"), ("d", "nightly", "2026-12-03")]]
    assert tool("index", *map(str, made))[0] == 0
    with RunIndex(index_url_of(index_url)) as index:
        def found(**bounds):
            return [hit["request_id"] for hit in search_runs(index, "needle", **bounds)]

        assert found() == ["d", "b", "a", "c"]  # a start time that is no date: last
        assert found(suite="nightly", since="2026-12-02") == ["d", "b"]
        assert found(until="2026-12-02") == ["b", "a"]
        assert found(since="2026-12-01T23:59:59", until="2026-12-02T00:00:00") == ["b", "a"]


def test_every_run_as_tavix_logs_search_finds_in_its_archive(generated_run, generated_run_invalid_utf8, tool):
    # Generated runs: nested sections and steps, two task logs, device output
    # outside the records' format, bytes that are not UTF-8.
    status, _, err = tool("index", str(generated_run.path), str(generated_run_invalid_utf8.path))
    assert status == 0, err
    for query, options in [("Ethernet1/1", ()), ("température", ()), (r"loss [0-9]+\.\d+ %", ("-E",)),
                           ("übergang", ())]:
        status, out, err = tool("search", "--runs", "all", query, "--json", *options)
        assert status == 0 and err == ""
        found = [{k: v for k, v in hit.items() if k not in ("request_id", "suite_name")} for hit in json_lines(out)]
        alone = [json_lines(tool("search", str(path), query, "--json", *options)[1])
                 for path in (generated_run.path, generated_run_invalid_utf8.path)]
        assert found and found in (alone[0] + alone[1], alone[1] + alone[0]), query


# ------------------------------------------------------------------ faults

def kept(path):
    base = os.path.expanduser("~/.tavix/search")
    return os.path.join(base, content_hash(path))


def damage(target, how):
    if how == "missing":
        os.unlink(target)
    elif how == "damaged":
        with open(target, "r+b") as stream:
            stream.write(b"\0garbage")
    elif how == "damaged inside":
        size = os.path.getsize(target)
        with open(target, "r+b") as stream:
            stream.seek(size // 2)
            byte = stream.read(1)
            stream.seek(size // 2)
            stream.write(bytes([byte[0] ^ 0xFF]))
    elif how == "truncated":
        with open(target, "r+b") as stream:
            stream.truncate(10)
    else:
        # An index of the format before this one: 8 bytes of magic, then the
        # format version (32 bits, little-endian).
        with open(target, "r+b") as stream:
            stream.seek(8)
            version = int.from_bytes(stream.read(4), "little")
            stream.seek(8)
            stream.write((version - 1).to_bytes(4, "little"))


@pytest.mark.parametrize("how", ["missing", "damaged", "damaged inside", "truncated", "older"])
def test_an_index_that_cannot_be_used_is_searched_the_slow_way_and_rebuilt(runs, tool, how):
    index = kept(runs["n1"]) + ".index"
    before = os.path.getmtime(index)
    damage(index, how)
    status, out, err = tool("search", "--runs", "nightly", "BGP down")
    assert status == 0
    assert err.count("\n") == 1 and err.startswith("run n1 of nightly: ") and "the slow way" in err
    assert [line.split(":")[0] for line in out.splitlines()] == ["nightly n3"] * 2 + ["nightly n1"] * 2
    assert os.path.exists(index) and (how == "missing" or os.path.getmtime(index) >= before)
    again = tool("search", "--runs", "nightly", "BGP down")
    assert again == (0, out, "")


def test_notices_are_json_lines_with_json(runs, tool):
    os.unlink(kept(runs["n3"]) + ".index")
    _, out, err = tool("search", "--runs", "nightly", "BGP down", "--json")
    lines = json_lines(out)
    assert err == "" and list(lines[0]) == ["notice"] and "run n3 of nightly" in lines[0]["notice"]
    assert where(lines[1:3]) == [("n3", "bgp", 2), ("n3", "isis", 3)]


def test_an_index_found_damaged_while_read_gives_way_to_the_slow_way(runs, tool, monkeypatch):
    # The index checks its bytes as it touches them: it may fail after hits.
    from tavix.log.commands.history.run_search import searching

    _, whole, _ = tool("search", "--runs", "nightly", "BGP down", "--json")
    real = archive.RunSearch

    class FailingLate(real):
        def search(self, *args, **kwargs):
            hits = super().search(*args, **kwargs)
            if not self.indexed:
                return hits

            def first_then_damaged():
                for first in hits:
                    yield first
                    raise archive.SearchIndexError("chunk 3 of the index is damaged")
            return first_then_damaged()

    monkeypatch.setattr(archive, "RunSearch", FailingLate)
    monkeypatch.setattr(searching, "HITS_PER_LIST", 1)
    status, out, err = tool("search", "--runs", "nightly", "BGP down", "--json")
    lines = json_lines(out)
    notices = [line["notice"] for line in lines if "notice" in line]
    assert status == 0 and [n.split(":")[0] for n in notices] == ["run n3 of nightly", "run n1 of nightly"], err
    assert "chunk 3 of the index is damaged" in notices[0] and "the slow way" in notices[0]
    assert [line for line in lines if "notice" not in line] == json_lines(whole)


@pytest.mark.parametrize("how", ["missing", "damaged"])
def test_a_section_map_that_cannot_be_read_is_rebuilt_from_the_archive(runs, tool, how):
    sections = kept(runs["n1"]) + ".sections"
    if how == "missing":
        os.unlink(sections)
    else:
        with open(sections, "wb") as stream:
            stream.write(b"not zlib")
    _, good, _ = tool("search", "--runs", "nightly", "BGP down", "--json")
    os.unlink(kept(runs["n1"]) + ".index")
    os.unlink(sections)
    status, out, err = tool("search", "--runs", "nightly", "BGP down", "--json")
    notices = [line["notice"] for line in json_lines(out) if "notice" in line]
    assert status == 0 and len(notices) == 2 and "section map was missing, rebuilt" in notices[1]
    assert where(json_lines(out)) == where(json_lines(good)) and os.path.exists(sections)


def test_a_run_whose_archive_is_gone_is_said_and_the_others_searched(runs, tool):
    os.unlink(runs["n3"])
    status, out, err = tool("search", "--runs", "nightly", "BGP down")
    assert status == 0 and "run n3 of nightly: not searched, its archive" in err
    assert [line.split(":")[0] for line in out.splitlines()] == ["nightly n1"] * 2


def test_index_builds_both_skips_or_builds_the_search_index_alone(tmp_path, tool, monkeypatch):
    first = make_run(tmp_path / "a.zip", [("s.py", [_case("a", "passed", "needle")])], job="a")
    second = make_run(tmp_path / "b.zip", [("s.py", [_case("b", "passed", "needle")])], job="b")
    assert tool("index", str(first), "--search-index", "skip")[0] == 0
    assert not os.path.exists(kept(first) + ".index")
    status, out, _ = tool("index", "--search-index", "only", str(second))
    assert status == 1 and not os.path.exists(kept(second) + ".index")
    status, out, _ = tool("index", "--search-index", "only")
    assert status == 0 and out == "search index built for %s: run a\n" % first
    assert os.path.exists(kept(first) + ".index") and os.path.exists(kept(first) + ".sections")
    assert tool("index", "--search-index", "only") == (0, "", "")
    damage(kept(first) + ".index", "older")
    assert tool("index", "--search-index", "only", str(first)) == (0, "search index built for %s: run a\n" % first,
                                                                   "")
    assert tool("index", str(first), str(second))[0] == 0
    assert os.path.exists(kept(second) + ".index")


class RangedFiles(SearchFiles):
    """Search files of a store: the zip read by ranges, index and map in memory."""

    def __init__(self):
        super().__init__()
        self.kept, self.reads = {}, 0

    def source(self, run):
        files = self

        class Ranged:
            size = os.path.getsize(run["archive"])

            def read_at(self, offset, size):
                files.reads += 1
                with open(run["archive"], "rb") as stream:
                    stream.seek(offset)
                    return stream.read(size)

        return Ranged()

    def index(self, run):
        return self.kept.get(run["content_hash"], {}).get("index")

    def sections(self, run):
        return self.kept.get(run["content_hash"], {}).get("sections")

    def store(self, run, index_path, section_map):
        with open(index_path, "rb") as stream:
            self.kept.setdefault(run["content_hash"], {})["index"] = stream.read()
        self.store_sections(run, section_map)

    def store_sections(self, run, section_map):
        self.kept.setdefault(run["content_hash"], {})["sections"] = section_map


def test_a_store_of_ranged_reads(runs, tmp_path):
    files = RangedFiles()
    with RunIndex(index_url_of(str(tmp_path / "index.sqlite"))) as index:
        first = list(search_runs(index, "BGP down", suite="nightly", files=files))
        assert files.wait_for_rebuilds(5)
        again = list(search_runs(index, "BGP down", suite="nightly", files=files))
    assert [n["notice"].split(":")[0] for n in first if "notice" in n] == [
        "run %s of nightly" % run for run in ("n3", "n2", "n1") for _ in range(2)]
    assert where(again) == where(first) == [("n3", "bgp", 2), ("n3", "isis", 3), ("n1", "bgp", 1),
                                            ("n1", "check", 3)]
    assert files.reads and len(files.kept) == 3


# ------------------------------------------------------------ stopping

def test_a_cancel_stops_the_search_between_runs(runs, tmp_path, monkeypatch):
    opened, cancels = [], []
    real = archive.RunSearch

    class Watched(real):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            opened.append(self)

        def search(self, *args, **kwargs):
            cancels.append(kwargs.get("cancel"))
            return super().search(*args, **kwargs)

    monkeypatch.setattr(archive, "RunSearch", Watched)
    cancel = SearchCancel()
    with RunIndex(index_url_of(str(tmp_path / "index.sqlite"))) as index:
        found = search_runs(index, "flap", cancel=cancel)
        assert next(found)["request_id"] == "n3"
        cancel.set()
        searched = len(opened)
        assert list(found) == []
    # The run after is searched meanwhile; none is opened once cancelled.
    assert len(opened) == searched <= 1 + searching.RUNS_AHEAD
    assert cancels and all(flag is cancel.native for flag in cancels)


def test_ctrl_c_stops_a_search_at_once(runs, tool, monkeypatch):
    # A search that holds the interpreter's signals back, as a native one
    # does, and stops only when its cancel flag is set.
    started, stopped = threading.Event(), threading.Event()

    def endless(index, query, *, cancel, **options):
        def hits():
            yield {"path": ["s.py"], "log_file": "L", "line": 1, "column": 1, "length": 1, "text": "x",
                   "request_id": "r", "suite_name": "s"}
            started.set()
            while not cancel.is_set():
                cancel._event.wait(0.01)
            stopped.set()
        return hits()

    monkeypatch.setattr(command, "search_runs", endless)
    interrupted = {}

    def interrupt():
        started.wait(5)
        interrupted["at"] = time.monotonic()
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    status, out, err = tool("search", "--runs", "all", "x")
    # The hit may or may not be shown before the interrupt lands.
    assert status == 130 and out in ("", "s r:s.py:1:x\n") and "Interrupted" in err
    assert time.monotonic() - interrupted["at"] < 0.5 and stopped.wait(0.5)
