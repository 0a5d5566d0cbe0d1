"""The run index as the team service lists it: runs newest first and paged,
suites with their trends, the counts of new / known / flaky failures, and an
index of the previous schema brought up to date."""
import pytest
import sqlalchemy

from tavix.log.commands.archive import Archive
from tavix.log.commands.history import RunIndex, index_url as resolve_url
from tavix.log.commands.history import schema

from helpers.history_runs import make_run, nightly_series
from helpers.older_indexes import as_version_2


def record(index, path):
    with Archive(path) as archive:
        return index.record(archive)[0]


def request_ids(objects):
    return [o["request_id"] for o in objects]


@pytest.fixture
def series(tmp_path):
    """The nightly series, with summaries."""
    return nightly_series(tmp_path, summaries=True)


def test_recording_keeps_summary_and_counts_and_an_index_of_version_2_is_brought_up_to_date(index_url, series):
    with RunIndex(resolve_url(index_url)) as index:
        runs = [record(index, path) for path in series]
        newest = index.run_object(runs[-1])
        assert newest == {"request_id": "r5", "suite_name": "nightly", "start_time": "2026-12-05 02:00:00",
                          "summary": {"pass": "4", "fail": "0", "skip": "0", "total_tasks": 4,
                                      "applicable_tasks": 4},
                          "new": 1, "known": 2, "flaky": 1, "content_hash": runs[-1]["content_hash"],
                          "failing": 5, "to_investigate": 5, "investigated": 0.0}
        statuses = [n["status"] for n in index.history(runs[-1])["nodes"]]
        assert sorted(statuses) == ["flaky", "known", "known", "new", "no_history"]
        listed = index.runs()
        key = index.create_key("ci", "pusher")
        with index.engine.begin() as connection:
            as_version_2(connection)
    with RunIndex(resolve_url(index_url)) as index:
        # A read upgrades the index first; counts come from the index, the summary was never kept.
        upgraded = index.runs()
        assert [{k: o[k] for k in ("request_id", "new", "known", "flaky")} for o in upgraded] == \
            [{k: o[k] for k in ("request_id", "new", "known", "flaky")} for o in listed]
        assert all(o["summary"] is None for o in upgraded)
        with index.engine.connect() as connection:
            version = connection.execute(sqlalchemy.select(schema.settings.c.value).where(
                schema.settings.c.key == "schema_version")).scalar()
            stored = connection.execute(sqlalchemy.select(schema.runs.c.new_count, schema.runs.c.flaky_count)
                                        .order_by(schema.runs.c.id)).all()
        assert version == str(schema.SCHEMA_VERSION) == "5"
        assert [tuple(row) for row in stored] == [(o["new"], o["flaky"]) for o in reversed(listed)]
        # Keys did not survive the downgrade: the tables are new and empty, and work.
        assert index.key_identity(key) is None and index.keys() == []
        assert index.key_identity(index.create_key("ci", "pusher")) == ("ci", "pusher")


def test_listing_order_paging_and_filters(index_url, tmp_path):
    plan = [("a1", "2026-12-01 02:00:00", "nightly"), ("b1", "2026-12-01 03:00:00", "weekly"),
            ("a2", "2026-12-02 02:00:00", "nightly"), ("a3", "2026-12-02 02:00:00", "nightly"),
            ("x_1", "when the lab had power", "nightly"), ("A4%", "2026-12-03 02:00:00", "nightly")]
    with RunIndex(resolve_url(index_url)) as index:
        assert index.runs() == [] and index.run_by_request_id("a1") is None
        for request_id, start, suite in plan:
            record(index, make_run(tmp_path / f"{request_id}.zip", request_id, start, [("t", "passed")], suite=suite))
        # Newest first; equal start times by the order of indexing; no date comes before all.
        assert request_ids(index.runs()) == ["A4%", "a3", "a2", "b1", "a1", "x_1"]
        assert request_ids(index.runs(suite="nightly")) == ["A4%", "a3", "a2", "a1", "x_1"]
        assert index.runs(suite="monthly") == []
        pages, before = [], None
        while True:
            page = index.runs(before=before, limit=2)
            if not page:
                break
            pages.append(request_ids(page))
            before = page[-1]["request_id"]
        assert pages == [["A4%", "a3"], ["a2", "b1"], ["a1", "x_1"]]
        assert request_ids(index.runs(suite="nightly", before="a3")) == ["a2", "a1", "x_1"]
        assert index.runs(before="nothing") == []
        # Any case; % and _ are themselves.
        assert request_ids(index.runs(text="a4")) == ["A4%"]
        assert request_ids(index.runs(text="%")) == ["A4%"] and request_ids(index.runs(text="_")) == ["x_1"]
        assert request_ids(index.runs(text="12-02")) == ["a3", "a2"]
        assert request_ids(index.runs(text="LAB")) == ["x_1"]
        with pytest.raises(ValueError):
            index.runs(limit=0)


def test_suites_with_their_trends(tmp_path):
    index = RunIndex(resolve_url(str(tmp_path / "i.sqlite")))
    for day in range(1, 6):
        record(index, make_run(tmp_path / f"n{day}.zip", f"n{day}", f"2026-12-0{day} 02:00:00",
                               [("t", "failed" if day % 2 else "passed")],
                               summary={"pass": day, "fail": 5 - day, "skip": 0}))
    record(index, make_run(tmp_path / "w1.zip", "w1", "2026-12-03 02:00:00", [("t", "passed")], suite="weekly",
                           summary={"pass": 0, "skip": 0}))
    record(index, make_run(tmp_path / "a1.zip", "a1", "2026-12-01 02:00:00", [("t", "passed")], suite="adhoc"))
    suites = index.suites(trend=3)
    assert [(s["suite_name"], s["runs"], s["latest"]["request_id"]) for s in suites] == [
        ("adhoc", 1, "a1"), ("nightly", 5, "n5"), ("weekly", 1, "w1")]
    nightly = suites[1]
    assert [(t["request_id"], t["pass_rate"]) for t in nightly["trend"]] == [("n3", 0.6), ("n4", 0.8), ("n5", 1.0)]
    assert nightly["latest"] == index.runs(suite="nightly", limit=1)[0]
    assert nightly["latest"]["summary"]["total_tasks"] == 5
    # No tasks at all: no rate.
    assert suites[2]["trend"] == [{"request_id": "w1", "start_time": "2026-12-03 02:00:00", "pass_rate": None}]
    assert len(index.suites()[1]["trend"]) == 5
    # A suite whose runs are all deleted is no longer listed.
    index.delete_run(index.run_by_request_id("a1"))
    assert [s["suite_name"] for s in index.suites()] == ["nightly", "weekly"]


def test_deleting_a_run(index_url, series):
    with RunIndex(resolve_url(index_url)) as index:
        runs = [record(index, path) for path in series]
        assert index.delete_run(runs[3]) is True
        assert index.delete_run(runs[3]) is False
        assert index.run_by_request_id("r4") is None and index.run_object(runs[3]) is None
        assert request_ids(index.runs()) == ["r5", "r3", "r2", "r1"]
        # Its sections are gone from the history of the others.
        assert [r["request_id"] for r in index.history(runs[4])["earlier_runs"]] == ["r3", "r2", "r1"]
        with index.engine.connect() as connection:
            for table in (schema.run_sections, schema.run_categories, schema.category_nodes):
                assert connection.execute(sqlalchemy.select(sqlalchemy.func.count()).select_from(table).where(
                    table.c.run_id == runs[3]["id"])).scalar() == 0


def test_request_id_lookup_and_the_service_secret(tmp_path):
    url = resolve_url(str(tmp_path / "i.sqlite"))
    index = RunIndex(url)
    older = record(index, make_run(tmp_path / "1.zip", "same", "2026-12-01 02:00:00", [("t", "passed")]))
    newer = record(index, make_run(tmp_path / "2.zip", "same", "2026-12-02 02:00:00", [("t", "failed")]))
    assert index.run_by_request_id("same") == newer != older
    secret = index.service_secret()
    assert isinstance(secret, bytes) and len(secret) == 32
    assert RunIndex(url).service_secret() == secret
    assert RunIndex(resolve_url(str(tmp_path / "other.sqlite"))).service_secret() != secret


@pytest.mark.parametrize("summary, rate", [
    ({"pass": "3", "passx": "1", "fail": "1", "success_rate": "80.00", "total_tasks": 6}, 0.8),
    ({"pass": "3", "fail": "1", "total_tasks": 4}, 0.75),
    ({"pass": "0", "total_tasks": 0}, None),
    ({"success_rate": "n/a"}, None),
    (None, None),
])
def test_the_pass_rate_is_the_success_rate_the_viewer_shows(summary, rate):
    from tavix.log.commands.history.listing import pass_rate

    assert pass_rate(summary) == rate
