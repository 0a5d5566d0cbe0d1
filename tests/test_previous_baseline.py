"""`previous` as the baseline: the run before this one of the same suite, from the run index."""
import json
import logging

import pytest

from tavix.log.commands import logs
from tavix.log.commands.archive import Archive
from tavix.log.commands.history import RunIndex, index_url

from helpers.history_runs import make_run


@pytest.fixture
def nightly(tmp_path, monkeypatch):
    """Three runs of a suite and a run of another suite; the first two and the
    other suite's (newer than both) are in the index."""
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("TAVIX_CONFIG", str(tmp_path / "none.cfg"))
    monkeypatch.delenv("TAVIX_INDEX", raising=False)
    paths = [make_run(tmp_path / f"n{i}.zip", f"n{i}", f"2026-12-0{i + 1} 02:00:00",
                      [("case", ["passed", "failed", "failed"][i])]) for i in range(3)]
    other = make_run(tmp_path / "other.zip", "o1", "2026-12-02 03:00:00", [("case", "passed")], suite="weekly")
    url = str(tmp_path / "index.sqlite")
    with RunIndex(index_url(url)) as index:
        for path in [paths[0], other, paths[1]]:
            with Archive(path) as archive:
                index.record(archive)
    return paths, url


class Served:
    """A server class that records what it was given instead of serving."""

    def __init__(self, archive, **options):
        Served.archive, Served.options = archive, options
        Served.baseline_file = options["baseline"].file if "baseline" in options else None

    def serve(self, sock, print):
        pass


def view(monkeypatch, *argv):
    monkeypatch.setattr(logs, "LogViewerServer", Served)
    command = logs.LogsCommand().subcommands["view"]
    command.run(command.parser.parse_args([*argv, "--no-browser", "--no-token"]))
    return Served


def warnings(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]


def test_view_takes_the_run_before_of_the_same_suite(nightly, monkeypatch, caplog):
    paths, url = nightly
    served = view(monkeypatch, str(paths[2]), "--baseline", "previous", "--index", url)
    assert served.baseline_file == paths[1] and served.options["history"].run["request_id"] == "n2"
    assert not warnings(caplog)
    # Once recorded, the newest run stays the previous of nothing newer.
    served = view(monkeypatch, str(paths[1]), "--baseline", "previous", "--index", url, "--no-index")
    assert served.baseline_file == paths[0] and "history" not in served.options


@pytest.mark.parametrize("case, message", [
    ("first of its suite", "holds no run of the suite 'nightly' before this one"),
    ("not recorded", "this run is not in the run index"),
    ("archive gone", "the archive of the previous run n1 is no longer at"),
    ("damaged index", "is damaged"),
])
def test_view_without_a_previous_run_serves_alone(nightly, monkeypatch, caplog, case, message):
    paths, url = nightly
    argv = [str(paths[2]), "--baseline", "previous", "--index", url]
    if case == "first of its suite":
        argv[0] = str(paths[0])
    elif case == "not recorded":
        argv.append("--no-index")
    elif case == "archive gone":
        paths[1].unlink()
    else:
        with open(url, "r+b") as f:
            f.write(b"not a database at all, not at all")
        argv.append("--no-index")
    served = view(monkeypatch, *argv)
    assert served.baseline_file is None and "baseline" not in served.options
    said = [m for m in warnings(caplog) if m.startswith("No baseline to compare with: ")]
    assert len(said) == 1 and message in said[0] and said[0].endswith("Serving the run alone.")
    assert "\n" not in said[0]


def run_tool(capsys, *argv):
    from tavix.cli.main import main

    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_compare_and_diff_take_previous_as_base(nightly, capsys):
    paths, url = nightly
    status, out, _ = run_tool(capsys, "logs", "compare", "previous", str(paths[1]), "--json", "--index", url)
    assert status == 0
    answer = json.loads(out)
    assert answer["base"]["request_id"] == "n0" and answer["new"]["request_id"] == "n1"
    assert [x["path"] for x in answer["newly_failing"]] == [["s.py", "case"]]
    status, out, _ = run_tool(capsys, "logs", "diff", "previous", str(paths[1]), "--path", "s.py/case",
                              "--json", "--index", url)
    assert status == 0 and not json.loads(out)["identical"]
    # The newest run was never recorded: nothing to compare it with, said in a line.
    status, out, err = run_tool(capsys, "logs", "compare", "previous", str(paths[2]), "--index", url)
    assert status == 1 and "this run is not in the run index" in err and "Traceback" not in err
