"""The run index: recording runs, the history definitions, both engines, faults."""
import json
import re
import types
import os
import subprocess
import sys

import pytest

from tavix.cli.main import main
from tavix.log.commands.archive import Archive
from tavix.log.commands.history import RunIndex, index_url as resolve_url
from tavix.log.commands.history.definitions import is_failing, node_status
from tavix.log.commands.history.runs import path_key

from helpers.history_runs import make_run, nightly_series


def record(index, path):
    with Archive(path) as archive:
        return index.record(archive)


def by_path(answer):
    return {" / ".join(node["path"]): node for node in answer["nodes"]}


@pytest.fixture
def series(tmp_path):
    """Five nightly runs, a day apart; the newest is 'r5'."""
    return nightly_series(tmp_path)


def test_history_definitions_on_a_series_indexed_out_of_order(index_url, series, tmp_path):
    with RunIndex(resolve_url(index_url)) as index:
        # Indexed newest first, with another suite's run of the same sections between.
        other = make_run(tmp_path / "other.zip", "o1", "2026-12-04 03:00:00", [("new", "failed")], suite="weekly")
        for path in [series[4], series[0], other, series[2], series[1], series[3]]:
            run, added = record(index, path)
            assert added
        run, added = record(index, series[4])
        assert not added and run["request_id"] == "r5"
        answer = index.history(run)
    assert answer["run"] == {"request_id": "r5", "suite_name": "nightly", "start_time": "2026-12-05 02:00:00"}
    assert [r["request_id"] for r in answer["earlier_runs"]] == ["r4", "r3", "r2", "r1"]
    nodes = by_path(answer)
    assert list(nodes) == ["s.py / known", "s.py / new", "s.py / flaky", "s.py / gap", "s.py / fresh"]
    expect = {
        "known": ("known", 3, "r3", ["failed", "failed", "failed", "passed", "passed"]),
        "new": ("new", 1, "r5", ["failed", "passed", "passed", "passed", "passed"]),
        "flaky": ("flaky", 1, "r5", ["failed", "passed", "failed", "passed", "failed"]),
        "gap": ("known", 2, "r3", ["failed", None, "failed", "passed", "passed"]),
        "fresh": ("no_history", 1, "r5", ["failed", None, None, None, None]),
    }
    for name, (status, streak, since, history) in expect.items():
        node = nodes["s.py / " + name]
        assert (node["status"], node["streak"], node["since"], node["history"]) == (status, streak, since, history), name
        assert node["type"] == "testcase" and node["result"] == "failed"


def test_window_and_same_start_times(tmp_path):
    index = RunIndex(resolve_url(str(tmp_path / "i.sqlite")))
    runs = [record(index, make_run(tmp_path / f"{n}.zip", n, "2026-12-01 02:00:00", [("a", result)]))[0]
            for n, result in [("x", "passed"), ("y", "failed"), ("z", "failed")]]
    # Equal start times: the order of indexing decides.
    answer = index.history(runs[2], window=2)
    assert answer["window"] == 2 and [r["request_id"] for r in answer["earlier_runs"]] == ["y"]
    assert answer["nodes"][0]["history"] == ["failed", "failed"] and answer["nodes"][0]["status"] == "known"
    assert index.history(runs[1])["nodes"][0]["status"] == "new"
    assert index.previous_run(runs[2])["request_id"] == "y" and index.previous_run(runs[0]) is None
    with pytest.raises(ValueError):
        index.history(runs[2], window=0)


def test_status_rules_literally():
    ids = ["r5", "r4", "r3", "r2", "r1"]

    def status(results):
        return node_status([None if r is None else is_failing(r) for r in results], ids)

    # Three changes over the runs that have the node, absent runs passed over.
    assert status(["failed", None, "passed", "failed", "passed"]) == ("flaky", 1, "r5")
    assert status(["failed", "passed", None, "failed", None]) == ("new", 1, "r5")
    assert status(["ERRORED ", "Aborted", "blocked", "passx", "failed"]) == ("known", 3, "r3")
    assert status(["failed", None, None]) == ("no_history", 1, "r5")


def test_categories_new_and_seen_long_ago(index_url, tmp_path):
    old_cause = "link down after 30 s"
    runs = [make_run(tmp_path / "old.zip", "r0", "2026-11-01 02:00:00", [("a", "failed", [], old_cause)])]
    runs += [make_run(tmp_path / f"r{i}.zip", f"r{i}", f"2026-12-0{i} 02:00:00", [("a", "passed")]) for i in range(1, 4)]
    runs.append(make_run(tmp_path / "r4.zip", "r4", "2026-12-04 02:00:00",
                         [("a", "failed", [], "link down after 45 s"), ("b", "failed", [], "disk full on /var")]))
    with RunIndex(resolve_url(index_url)) as index:
        for path in runs[:-1]:
            record(index, path)
        run, _ = record(index, runs[-1])
        answer = index.history(run, window=2)
    categories = {c["signature"]: c for c in answer["categories"]}
    assert set(categories) == {"link down after <N> s", "disk full on /var"}
    link = categories["link down after <N> s"]
    assert (link["status"], link["first_seen"], link["count"]) == ("known", "r0", 1)
    assert link["example"] == "link down after 45 s"
    assert categories["disk full on /var"]["status"] == "new"
    assert categories["disk full on /var"]["first_seen"] == "r4"
    # The section itself: out of the window, r0's failure does not count.
    assert by_path(answer)["s.py / a"]["status"] == "new"


def test_duplicate_paths_stay_apart(tmp_path):
    path = make_run(tmp_path / "d.zip", "d1", "2026-12-01 02:00:00",
                    [("a", "failed", [("x", "failed")]), ("a", "passed", [("x", "passed")]), ("a", "failed")])
    index = RunIndex(resolve_url(str(tmp_path / "i.sqlite")))
    run, _ = record(index, path)
    nodes = by_path(index.history(run))
    assert list(nodes) == ["s.py / a", "s.py / a / x", "s.py / a#3"]
    again = make_run(tmp_path / "d2.zip", "d2", "2026-12-02 02:00:00",
                     [("a", "passed", [("x", "passed")]), ("a", "failed", [("x", "failed")])])
    run, _ = record(index, again)
    nodes = by_path(index.history(run))
    assert list(nodes) == ["s.py / a#2", "s.py / a#2 / x"]
    assert nodes["s.py / a#2 / x"]["history"] == ["failed", "passed"]


def test_cause_lines_and_signatures_are_recorded(tmp_path):
    from sqlalchemy import select

    from tavix.log.commands.history import schema

    path = make_run(tmp_path / "c.zip", "c1", "2026-12-01 02:00:00",
                    [("a", "failed", [("x", "passed"), ("y", "failed")]), ("b", "failed", [], "timeout 5 s")])
    index = RunIndex(resolve_url(str(tmp_path / "i.sqlite")))
    record(index, path)
    with index.engine.connect() as connection:
        rows = connection.execute(
            select(schema.nodes.c.path, schema.run_sections.c.cause, schema.signatures.c.text)
            .join(schema.nodes, schema.nodes.c.id == schema.run_sections.c.node_id)
            .outerjoin(schema.signatures, schema.signatures.c.id == schema.run_sections.c.signature_id)).all()
    causes = {tuple(json.loads(p)): (c, s) for p, c, s in rows}
    assert causes[("s.py", "b")] == ("timeout 5 s", "timeout <N> s")
    assert causes[("s.py", "a", "y")] == ("y broke", "y broke")
    # A failing section whose failure lies below it: the first failing node's cause.
    assert causes[("s.py", "a")] == ("y broke", "y broke")
    assert causes[("s.py", "a", "x")] == (None, None) and causes[("s.py",)] == (None, None)


# ------------------------------------------------------------------ faults

def tavix(*args, capsys):
    status = main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("content", [b"this is not a database at all\n" * 10, b"SQLite format 3\0" + b"\x07" * 5000, "foreign"])
def test_damaged_or_foreign_index_is_refused_and_left_alone(tmp_path, series, capsys, content):
    bad = tmp_path / "bad.sqlite"
    if content == "foreign":
        import sqlite3

        with sqlite3.connect(bad) as connection:
            connection.execute("CREATE TABLE notes (text)")
    else:
        bad.write_bytes(content)
    before = bad.read_bytes()
    status, out, err = tavix("logs", "history", str(series[0]), "--index", str(bad), capsys=capsys)
    assert status == 1
    assert err.startswith(f"tavix: error: the run index {bad} is damaged: ") and err.count("\n") == 1
    assert "Traceback" not in err and bad.read_bytes() == before


def test_index_command_and_env_and_history_table(tmp_path, series, capsys, monkeypatch):
    monkeypatch.setenv("TAVIX_INDEX", str(tmp_path / "env.sqlite"))
    status, out, err = tavix("logs", "index", str(series[0]), str(series[1]), capsys=capsys)
    assert status == 0 and out.splitlines()[0].startswith(f"indexed {series[0]}: nightly, run r1")
    status, out, _ = tavix("logs", "index", str(series[1]), capsys=capsys)
    assert out.startswith(f"already indexed {series[1]}: run r2")
    # History of a run not indexed yet indexes it first.
    status, out, _ = tavix("logs", "history", str(series[2]), "--json", capsys=capsys)
    answer = json.loads(out)
    assert [r["request_id"] for r in answer["earlier_runs"]] == ["r2", "r1"]
    assert by_path(answer)["s.py / known"]["status"] == "new"
    status, out, _ = tavix("logs", "history", str(series[2]), "--window", "2", capsys=capsys)
    assert "Run r3 of nightly" in out and "flaky" not in out.split("Status")[0]
    assert any(line.startswith("new") and line.endswith("s.py / known") for line in out.splitlines())
    # The option wins over the environment.
    status, out, _ = tavix("logs", "index", str(series[0]), "--index", str(tmp_path / "opt.sqlite"), capsys=capsys)
    assert out.startswith("indexed") and (tmp_path / "opt.sqlite").exists()


def test_config_file_names_the_index(tmp_path, monkeypatch):
    config = tmp_path / "tavix.cfg"
    config.write_text("[logs]\nindex = postgresql://u:pw@db.example/runs\n")
    monkeypatch.setenv("TAVIX_CONFIG", str(config))
    monkeypatch.delenv("TAVIX_INDEX", raising=False)
    assert resolve_url(None) == "postgresql+psycopg://u:pw@db.example/runs"
    monkeypatch.setenv("TAVIX_INDEX", "sqlite:///x.db")
    assert resolve_url(None) == "sqlite:///x.db" and resolve_url("y.db") == "sqlite:///" + os.path.abspath("y.db")


def test_unreachable_server_names_the_url_without_password(tmp_path, series, capsys):
    url = f"postgresql://alice:s3cret@/runs?host={tmp_path}"
    status, out, err = tavix("logs", "history", str(series[0]), "--index", url, capsys=capsys)
    assert status == 1 and err.count("\n") == 1
    assert err.startswith("tavix: error: the run index postgresql://alice@/runs?host=") and "s3cret" not in err


def test_an_interrupted_run_leaves_nothing(index_url, series, monkeypatch):
    from tavix.log.commands.history import store

    index = RunIndex(resolve_url(index_url))
    record(index, series[0])
    calls = []

    def failing_signature_ids(self, connection, texts):
        calls.append(1)
        raise KeyboardInterrupt

    monkeypatch.setattr(store.RunIndex, "_signature_ids", failing_signature_ids)
    with pytest.raises(KeyboardInterrupt):
        record(index, series[1])
    monkeypatch.undo()
    assert calls
    with Archive(series[1]) as archive:
        assert index.find(store.content_hash(archive.file)) is None
    run, added = record(index, series[1])
    assert added and [r["request_id"] for r in index.history(run)["earlier_runs"]] == ["r1"]
    index.close()


def test_concurrent_indexers_land_each_run_once(index_url, series):
    # The package this test imports: built in place, or installed.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    command = [sys.executable, "-m", "tavix.cli.main", "logs", "index", *map(str, series[:2]), "--index", index_url]
    workers = [subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
               for _ in range(2)]
    outputs = [w.communicate(timeout=60) for w in workers]
    assert [w.returncode for w in workers] == [0, 0], outputs
    lines = sorted(line.split(":")[0] for out, _ in outputs for line in out.splitlines())
    assert lines == sorted([f"indexed {p}" for p in series[:2]] + [f"already indexed {p}" for p in series[:2]])
    with RunIndex(resolve_url(index_url)) as index:
        run, added = record(index, series[1])
        assert not added and [r["request_id"] for r in index.history(run)["earlier_runs"]] == ["r1"]


def test_an_older_schema_version_is_read_and_a_newer_one_refused(tmp_path, series):
    from sqlalchemy import update

    from tavix.log.commands.history import IndexUnavailable, schema

    index = RunIndex(resolve_url(str(tmp_path / "i.sqlite")))
    record(index, series[0])
    with index.engine.begin() as connection:
        connection.execute(update(schema.settings).values(value=str(schema.SCHEMA_VERSION + 1)))
    with pytest.raises(IndexUnavailable, match="newer tavix"):
        RunIndex(index.url).find("x")


def test_refused_login_is_one_line_without_password(postgres_cluster, series, capsys):
    url = "postgresql://nobody:pa55word@/postgres?host=%s" % postgres_cluster.base
    status, out, err = tavix("logs", "index", str(series[0]), "--index", url, capsys=capsys)
    assert status == 1 and err.count("\n") == 1 and "pa55word" not in err
    assert err.startswith("tavix: error: the run index postgresql://nobody@/postgres?host=") and "nobody" in err


def test_every_logs_subcommand_takes_the_index_option(capsys):
    from tavix.cli.main import Tool

    tool = Tool()
    for words in (["list"], ["view", "-1"], ["index", "a.zip"], ["history", "-2"]):
        args = tool.parser.parse_args(["logs", *words, "--index", "sqlite:///x"])
        assert args.index == "sqlite:///x"
    assert tool.parser.parse_args(["logs", "history", "-2"]).archive == "-2"
    with pytest.raises(SystemExit):
        tool.parser.parse_args(["logs", "history", "--window", "0"])
    assert "a window is a whole number of runs, at least 1: '0'" in capsys.readouterr().err


# ------------------------------------------------- identities, natively

def literal_identities(parser):
    """The identity rules as written: names from the script down, an unnamed
    section by its type, "#n" for the n-th section of a path already seen, or
    the first number after n whose path no section before has."""
    import math

    def text(value):
        return value if isinstance(value, str) else "" if value is None else str(value)

    def duration(value):
        parts = str(value).strip().split(":")
        if len(parts) > 3 or not all(re.fullmatch(r"[0-9]+\.?[0-9]*|\.[0-9]+", part) for part in parts):
            return None
        total = 0.0
        for part in parts:
            total = total * 60 + float(part)
        return total if math.isfinite(total) else None

    seen, paths, listed = {}, {}, []
    for task in parser.scripts:
        for record in task["sections"]:
            name = str(record.get("section_name") or record.get("section_type"))
            parents = record.get("parents")
            path = (paths[parents[-1]] if parents else []) + [name]
            count = seen.get(path_key(path), 0) + 1
            if count > 1:
                while path_key(path[:-1] + [f"{name}#{count}"]) in seen:
                    count += 1
                seen[path_key(path)] = count
                path = path[:-1] + [f"{name}#{count}"]
            seen[path_key(path)] = 1
            paths[record["sequence_number"]] = path
            listed.append((record, path_key(path), text(record.get("section_type")), text(record.get("result")),
                           duration(record.get("run_time"))))
    return listed


def random_parser(rng):
    alphabet = ['a', 'b', '"', '\\', '\n', '\t', '\x01', '\x1f', '\x7f', 'é', '→', '𝄞', '#', '2', ',', '[', ' ']
    times = ["1.5", " 2 ", "0:03:07.2", "1:1:1", "", None, "x", "nan", "inf", "1e999", "1:inf", "3:", 7, "1_0",
             7.5, "1:2:3:4", "-1", "1e3", ".5", "7.", ".", " 1 : 2", "\u0661", "\u00a07\u2003", "9" * 400, "0x1"]
    scripts, sequence = [], 0
    for _ in range(rng.randint(1, 3)):
        records, open_ = [], []
        for _ in range(rng.randint(1, 40)):
            sequence += 1
            depth = rng.randint(0, len(open_)) if records else 0
            open_ = open_[:depth]
            name = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 3)))
            if rng.random() < 0.3:
                name = rng.choice(["a", "b", ""])
            records.append({"section_name": name, "section_type": rng.choice(["testcase", "", None, 5]),
                            "result": rng.choice(["passed", "failed", None, 3]), "run_time": rng.choice(times),
                            "parents": list(open_), "sequence_number": sequence, "id": f"id{sequence}",
                            "parent_id": f"id{open_[-1]}" if open_ else "suite"})
            open_ = open_ + [sequence]
        scripts.append({"sections": records})
    return types.SimpleNamespace(scripts=scripts)


def test_native_identities_follow_the_literal_rules():
    import random

    from tavix.log.commands.parser.base import section_identities

    rng = random.Random(11)
    for _ in range(300):
        parser = random_parser(rng)
        native, literal = section_identities(parser), literal_identities(parser)
        assert [n[1:] for n in native] == [n[1:] for n in literal]
        assert all(n[0] is m[0] for n, m in zip(native, literal))
        assert all(json.loads(n[1]) for n in native)


def test_an_unreadable_archive_is_reported_and_the_others_indexed(tmp_path, series, capsys):
    broken = tmp_path / "broken.zip"
    broken.write_bytes(b"not a zip")
    status, out, err = tavix("logs", "index", str(broken), str(series[0]), "--index", str(tmp_path / "i.sqlite"),
                             capsys=capsys)
    assert status == 1 and out.startswith(f"indexed {series[0]}")
    assert err.splitlines() == [f"could not index {broken}: BadZipFile: File is not a zip file",
                                "tavix: error: 1 of 2 archives could not be indexed"]
