"""Retention: days by suite patterns, pins, the two-phase sweep (marked runs
hidden everywhere, a sweep stopped midway finished by the next, one sweep at
a time), the prune and pin commands, replicas dropping swept runs, and an
index of schema 3 brought up to date."""
import argparse
import asyncio
import datetime
import shutil
import threading

import pytest
import sqlalchemy

from tavix.cli.main import main
from tavix.log.commands.archive import Archive
from tavix.log.commands.history import RunBeingDeleted, RunIndex, content_hash, index_url as resolve_url
from tavix.log.commands.history import schema
from tavix.log.commands.history.runs import seconds
from tavix.log.commands.service import retention
from tavix.log.commands.service.application import TEAM
from tavix.log.commands.service.archive_store import DirectoryStore
from tavix.log.commands.service.retention import parse_keep_days, sweep, would_sweep
from tavix.log.commands.service.retention_commands import PinSubcommand, PruneSubcommand

from helpers.history_runs import make_run
from helpers.older_indexes import as_version_3
from helpers.service import ServiceParts
from helpers.waiting import until

NOW = seconds("2026-12-09T00:00:00")
RULES = "nightly_*:30, *:90"
VIEWER = "/private/v1/standalone"


def days_ago(days):
    """A start time `days` days before NOW (and two hours)."""
    return (datetime.datetime(2026, 12, 8, 22) - datetime.timedelta(days=days)).isoformat()


class Team:
    """A run index and a directory store holding the same runs, as a service keeps them."""

    def __init__(self, url, root):
        self.url = resolve_url(url)
        self.index = RunIndex(self.url)
        self.store = DirectoryStore(root / "store")
        self.root = root

    def keep(self, request_id, start_time, suite="nightly_core", failing=False):
        path = make_run(self.root / ("%s.zip" % request_id), request_id, start_time,
                        [("a", "failed" if failing else "passed")], suite=suite)
        digest = content_hash(path)
        shutil.copyfile(path, self.store.path(digest))
        with Archive(self.store.path(digest)) as archive:
            return self.index.record(archive, digest)[0]

    def listed(self):
        return [run["request_id"] for run in self.index.runs(limit=100)]

    def stored(self):
        return sorted(path.name[:-4] for path in (self.root / "store").glob("*.zip"))

    def rows(self, run_id):
        """Rows of the run's own tables that still name run `run_id`."""
        with self.index.engine.connect() as connection:
            return sum(connection.execute(sqlalchemy.select(sqlalchemy.func.count()).select_from(table)
                                          .where(table.c.run_id == run_id)).scalar()
                       for table in (schema.run_sections, schema.run_categories, schema.category_nodes))


@pytest.fixture
def team(index_url, tmp_path):
    made = Team(index_url, tmp_path)
    yield made
    made.index.close()


def test_keep_days_first_pattern_wins_and_bad_rules_are_refused():
    rules = parse_keep_days(" nightly_*:30 ,*:90")
    assert [rules.days_for(name) for name in ("nightly_core", "weekly", "Nightly_core")] == [30, 90, 90]
    assert str(rules) == "nightly_*:30, *:90"
    assert parse_keep_days("smoke:7").days_for("nightly") is None  # no pattern: kept forever
    assert parse_keep_days("a:b:3").rules == (("a:b", 3),)  # the days follow the last colon
    for bad in ["", "nightly", "nightly:", ":30", "nightly:0", "nightly:-3", "nightly:1.5", "a:3,,b:4"]:
        with pytest.raises(argparse.ArgumentTypeError, match="whole days above 0"):
            parse_keep_days(bad)


def test_a_sweep_deletes_what_is_past_its_time_and_nothing_else(team):
    old = team.keep("old", days_ago(31))
    young = team.keep("young", days_ago(29))
    team.keep("pinned", days_ago(200))
    assert team.index.pin("pinned")["request_id"] == "pinned"
    weekly_old = team.keep("weekly-old", days_ago(91), suite="weekly")
    team.keep("weekly-young", days_ago(60), suite="weekly")
    team.keep("no-date", "when the lab had power", suite="weekly")  # its age: from when it was indexed
    forgotten = []

    done = sweep(team.index, team.store, parse_keep_days(RULES), now=NOW, forget=forgotten.extend)
    assert (done.marked, sorted(r["request_id"] for r in done.deleted)) == (2, ["old", "weekly-old"])
    assert sorted(forgotten) == sorted([old["content_hash"], weekly_old["content_hash"]])
    assert team.listed() == ["young", "weekly-young", "pinned", "no-date"]
    assert old["content_hash"] not in team.stored() and young["content_hash"] in team.stored()
    assert team.rows(old["id"]) == 0 and team.rows(young["id"]) > 0
    assert team.index.marked_runs() == []

    # Unpinned, the old run goes; a run without a date goes once its indexing is past its time.
    assert team.index.pin("pinned", pinned=False) is not None
    later = NOW + 200 * 86400
    assert sorted(r["request_id"] for r in would_sweep(team.index, parse_keep_days(RULES), now=later)) == \
        ["no-date", "pinned", "weekly-young", "young"]
    assert team.index.pin("none-such") is None


def test_marked_runs_are_answered_by_no_listing_or_look_up(team):
    first = team.keep("r1", days_ago(40), failing=True)
    second = team.keep("r2", days_ago(35), failing=True)
    third = team.keep("r3", days_ago(1), failing=True)
    assert team.index.previous_run(third)["request_id"] == "r2"
    assert team.index.mark_expired(parse_keep_days("nightly_*:30").days_for, NOW) == 2

    index = team.index
    assert team.listed() == ["r3"] and index.runs(suite="nightly_core", text="r") != []
    assert index.runs(before="r2") == [] and index.run_by_request_id("r1") is None
    assert index.find(first["content_hash"]) is None and index.run_object(second) is None
    assert index.previous_run(third) is None
    suite, = index.suites()
    assert (suite["runs"], [p["request_id"] for p in suite["trend"]]) == (1, ["r3"])
    history = index.history(third)
    assert history["earlier_runs"] == [] and history["nodes"][0]["status"] == "no_history"
    assert history["categories"][0]["status"] == "new"
    assert [r["request_id"] for r in index.section_history(third, ["s.py", "a"])] == ["r3"]
    assert index.pin("r1") is None
    # Its archive may be leaving the store: recording it again waits for the sweep's end.
    with Archive(team.store.path(first["content_hash"])) as archive, pytest.raises(RunBeingDeleted):
        index.record(archive, first["content_hash"])
    assert sorted(r["request_id"] for r in index.marked_runs()) == ["r1", "r2"]


def test_a_sweep_stopped_midway_leaves_hidden_runs_the_next_one_finishes(team, monkeypatch):
    runs = [team.keep("r%d" % day, days_ago(day)) for day in range(40, 45)]
    monkeypatch.setattr(retention, "PURGE_BATCH", 2)
    real_delete, deleted = team.store.delete, []

    def failing_delete(digest):
        if len(deleted) == 3:
            raise OSError("the store went away")
        deleted.append(digest)
        return real_delete(digest)

    monkeypatch.setattr(team.store, "delete", failing_delete)
    with pytest.raises(OSError):
        sweep(team.index, team.store, parse_keep_days("*:30"), now=NOW)
    # The first batch went whole; the second lost one archive and kept every row.
    assert team.listed() == [] and len(team.index.marked_runs()) == 3
    assert [team.rows(run["id"]) > 0 for run in runs] == [False, False, True, True, True]
    assert len(team.stored()) == 2
    # Killed between the phases: marked, nothing deleted yet.
    team.keep("r50", days_ago(50))
    monkeypatch.setattr(team.index, "marked_runs", lambda: (_ for _ in ()).throw(OSError("killed")))
    with pytest.raises(OSError):
        sweep(team.index, team.store, parse_keep_days("*:30"), now=NOW)
    monkeypatch.undo()

    done = sweep(team.index, team.store, parse_keep_days("*:30"), now=NOW)
    assert done.marked == 0 and sorted(r["request_id"] for r in done.deleted) == ["r42", "r43", "r44", "r50"]
    assert team.index.marked_runs() == [] and team.stored() == []
    assert all(team.rows(run["id"]) == 0 for run in runs)


def test_one_sweep_at_a_time(team, tmp_path):
    for day in (40, 41):
        team.keep("r%d" % day, days_ago(day))
    inside, go_on = threading.Event(), threading.Event()
    real_delete = team.store.delete

    def held_delete(digest):
        inside.set()
        assert go_on.wait(5)
        return real_delete(digest)

    team.store.delete = held_delete
    answers = []
    first = threading.Thread(target=lambda: answers.append(
        sweep(team.index, team.store, parse_keep_days("*:30"), now=NOW)))
    first.start()
    try:
        assert inside.wait(5)
        # Another process's sweep of the same index skips.
        with RunIndex(team.url) as other:
            assert sweep(other, DirectoryStore(tmp_path / "store"), parse_keep_days("*:30"), now=NOW) is None
            with other.sweep_lock() as taken:
                assert not taken
    finally:
        go_on.set()
        first.join(5)
    assert len(answers[0].deleted) == 2
    with team.index.sweep_lock() as taken:
        assert taken


def test_an_index_of_schema_3_is_brought_up_to_date(team):
    team.keep("r1", days_ago(40))
    team.keep("r2", days_ago(1))
    with team.index.engine.begin() as connection:
        as_version_3(connection)
    with RunIndex(team.url) as index:
        assert [run["request_id"] for run in index.runs()] == ["r2", "r1"]  # read: upgraded first
        with index.engine.connect() as connection:
            version = connection.execute(sqlalchemy.select(schema.settings.c.value).where(
                schema.settings.c.key == "schema_version")).scalar()
        assert version == str(schema.SCHEMA_VERSION) == "5"
        assert index.pin("r1") is not None
        assert would_sweep(index, parse_keep_days("*:30"), now=NOW) == []


# ------------------------------------------------------------------ commands

@pytest.fixture
def logs_commands(monkeypatch, tmp_path):
    """`tavix logs pin` and `tavix logs prune` in the tool, with a configuration file of the test's own."""
    from tavix.log.commands.logs import LogsCommand

    present = list(LogsCommand.SUBCOMMANDS)
    monkeypatch.setattr(LogsCommand, "SUBCOMMANDS",
                        present + [c for c in (PinSubcommand, PruneSubcommand) if c not in present])
    monkeypatch.setenv("TAVIX_CONFIG", str(tmp_path / "tavix.cfg"))
    for name in ("TAVIX_SERVICE_KEEP_DAYS", "TAVIX_SERVICE_STORE"):
        monkeypatch.delenv(name, raising=False)


def tavix(capsys, *words):
    status = main(["logs", *words])
    out, err = capsys.readouterr()
    return status, out, err


def test_pin_and_prune_commands(logs_commands, tmp_path, capsys):
    team = Team(str(tmp_path / "index.sqlite"), tmp_path)
    # The commands sweep by the clock: start times far from any day the tests run.
    for request_id, start in (("old", "2015-01-01T00:00:00"), ("kept", "2015-01-01T00:00:00"),
                              ("young", "2099-01-01T00:00:00")):
        team.keep(request_id, start)
    where = ("--index", team.url, "--store", str(tmp_path / "store"))
    assert tavix(capsys, "pin", "kept", "--index", team.url)[:2] == (0, "Run kept pinned: no sweep deletes it.\n")
    status, out, err = tavix(capsys, "pin", "gone", "--index", team.url)
    assert status == 1 and err == "tavix: error: no run gone is stored in the run index\n"

    (tmp_path / "tavix.cfg").write_text("[logs]\nservice.keep_days = *:30\n")
    status, out, err = tavix(capsys, "prune", "--dry-run", *where)
    assert status == 0 and out.splitlines()[0] == "Would delete 1 run(s):" and "old" in out and "kept" not in out
    assert sorted(team.listed()) == ["kept", "old", "young"] and len(team.stored()) == 3

    # Another sweep under way: nothing done.
    with team.index.sweep_lock():
        status, out, err = tavix(capsys, "prune", *where)
    assert status == 1 and "under way" in err and len(team.stored()) == 3

    status, out, err = tavix(capsys, "prune", *where)
    assert status == 0 and out.splitlines()[0] == "Deleted 1 run(s):" and out.splitlines()[-1].split()[1] == "old"
    assert sorted(team.listed()) == ["kept", "young"] and len(team.stored()) == 2
    assert tavix(capsys, "pin", "kept", "--unpin", "--index", team.url)[0] == 0
    # The option comes before the file; without any rule only an interrupted sweep's runs would go.
    assert "Would delete 1 run(s):" in tavix(capsys, "prune", "--dry-run", "--keep-days", "*:100", *where)[1]
    (tmp_path / "tavix.cfg").write_text("")
    status, out, err = tavix(capsys, "prune", *where)
    assert status == 0 and out.startswith("No retention set") and "Deleted 0 run(s)." in out
    with pytest.raises(SystemExit):
        main(["logs", "prune", "--keep-days", "nightly"])
    assert "whole days above 0" in capsys.readouterr().err
    team.index.close()


# ------------------------------------------------------------------- service

@pytest.fixture
def parts(tmp_path):
    return ServiceParts(tmp_path / "service")


async def push(client, path):
    response = await client.post("/api/v1/runs", data=path.read_bytes())
    assert response.status == 201, await response.text()
    return (await response.json())["run"]


async def test_the_service_answers_no_swept_run_and_drops_it_from_its_cache(aiohttp_client, parts, tmp_path):
    app = parts.application()
    client = await aiohttp_client(app)
    team = app[TEAM]
    team.opened_grace_seconds = 0
    old = await push(client, make_run(tmp_path / "old.zip", "old", days_ago(40), [("a", "passed")]))
    await push(client, make_run(tmp_path / "new.zip", "new", days_ago(1), [("a", "passed")]))
    assert (await client.get(f"/runs/old{VIEWER}/tree")).status == 200  # open in the cache
    assert old["content_hash"] in team.cache.keys()

    # Another replica marks the run (its sweep stopped there): gone from every answer here.
    assert parts.index.mark_expired(parse_keep_days("*:30").days_for, NOW) == 1
    await team.drop_gone_runs()
    assert await until(lambda: old["content_hash"] not in team.cache.keys())
    runs = (await (await client.get("/api/v1/runs")).json())["runs"]
    suites = (await (await client.get("/api/v1/suites")).json())["suites"]
    assert [r["request_id"] for r in runs] == ["new"] and suites[0]["runs"] == 1
    assert [p["request_id"] for p in suites[0]["trend"]] == ["new"]
    for path in ("/api/v1/runs/old", "/runs/old", f"/runs/old{VIEWER}/tree", "/api/v1/runs/old/sections?path=s.py/a"):
        assert (await client.get(path)).status == 404, path
    # Pushed again while its data may be going: refused for now, nothing changed.
    again = await client.post("/api/v1/runs", data=(tmp_path / "old.zip").read_bytes())
    assert again.status == 503 and parts.index.run_by_request_id("old") is None
    assert "retention sweep" in (await again.json())["message"]
    # The sweep of this service finishes it.
    done = await retention.sweep_now(team, parse_keep_days("*:30"))
    assert [r["request_id"] for r in done.deleted] == ["old"]
    assert not team.store.exists(old["content_hash"])


async def test_the_upkeep_drops_swept_runs_and_sweeps(aiohttp_client, parts, tmp_path):
    app = parts.application()
    client = await aiohttp_client(app)
    team = app[TEAM]
    team.opened_grace_seconds = 0
    old = await push(client, make_run(tmp_path / "old.zip", "old", "2015-01-01T00:00:00", [("a", "passed")]))
    assert (await client.get(f"/runs/old{VIEWER}/tree")).status == 200
    task = asyncio.ensure_future(retention.keep_up(
        team, parse_keep_days("*:30"), check_seconds=0.01, first_sweep_seconds=0.05))
    try:
        assert await until(lambda: not team.store.exists(old["content_hash"]) and parts.index.runs() == []
                           and parts.index.marked_runs() == [])
        assert await until(lambda: old["content_hash"] not in team.cache.keys())
    finally:
        task.cancel()
