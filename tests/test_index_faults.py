"""The run index against hostile runs, other processes and odd paths: a batch
goes on past a run the database refuses, texts come back exactly, a locked
index is waited on briefly and interruptibly, a path that is no file is refused."""
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import time
import urllib.error

import pytest
import sqlalchemy

from tavix.cli.main import main
from tavix.log.commands.history import RunIndex, index_url as resolve_url, shown_url
from tavix.log.commands.history import schema, store, stored_text

from helpers.history_runs import make_run
from helpers.older_indexes import as_version_2

# A command that hangs fails the test after this, rather than hanging it.
HANG_GUARD = 30
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def tavix(capsys, *args):
    status = main(["logs", *args])
    out, err = capsys.readouterr()
    return status, out, err


def history(capsys, archive, index):
    status, out, err = tavix(capsys, "history", str(archive), "--index", index, "--json")
    assert status == 0, err
    return json.loads(out)


def noise(size, seed):
    """Text no database compresses below an index entry's size."""
    return random.Random(seed).randbytes(size // 2).hex()


def test_a_numbered_name_never_takes_a_real_one(index_url, tmp_path, capsys):
    colliding = make_run(tmp_path / "c.zip", "c1", "2026-12-01 02:00:00",
                         [("x#2", "failed"), ("x", "passed"), ("x", "passed"), ("x#3", "failed")])
    after = make_run(tmp_path / "a.zip", "a1", "2026-12-02 02:00:00", [("x#2", "failed"), ("x", "failed")])
    status, out, err = tavix(capsys, "index", str(colliding), str(after), "--index", index_url)
    assert (status, err) == (0, "") and len(out.splitlines()) == 2
    answer = history(capsys, after, index_url)
    assert [(n["path"], n["history"]) for n in answer["nodes"]] == [
        (["s.py", "x#2"], ["failed", "failed"]), (["s.py", "x"], ["failed", "passed"])]
    with RunIndex(resolve_url(index_url)) as index:
        run = index.find(store.content_hash(colliding))
        assert [r["result"] for r in index.section_history(run, ["s.py", "x#3"])] == ["passed"]
        assert [r["result"] for r in index.section_history(run, ["s.py", "x#3#2"])] == ["failed"]
    # Compare finds the sections by the same paths: a run compared with itself changes nothing.
    assert main(["logs", "compare", str(colliding), str(colliding), "--json"]) == 0
    answer = json.loads(capsys.readouterr().out)
    assert answer["fixed"] == answer["newly_failing"] == [] and len(answer["still_failing"]) == 2


def test_texts_no_database_holds_as_they_are_come_back_exactly(index_url, tmp_path, capsys):
    e = stored_text.ESCAPE
    cause = "cut \0 at %s0 and %s%s0, %s" % (e, e, e, stored_text.HASHED)
    suite, job, result = noise(1 << 16, 1), noise(1 << 16, 2), noise(1 << 16, 3)
    edge = "k" * stored_text.KEY_CHARS
    runs = [make_run(tmp_path / "1.zip", job, "2026-12-01 02:00:00",
                     [("a", result), ("b", edge), ("c", edge + "k")], suite=suite),
            make_run(tmp_path / "2.zip", "r2", "2026-12-02 02:00:00",
                     [("a", "failed", [], cause), ("b", "failed"), ("c", "failed")], suite=suite)]
    status, out, err = tavix(capsys, "index", *map(str, runs), "--index", index_url)
    assert (status, err) == (0, ""), err[:300]
    answer = history(capsys, runs[1], index_url)
    assert answer["run"]["suite_name"] == suite and answer["earlier_runs"][0]["request_id"] == job
    assert [n["history"] for n in answer["nodes"]] == [["failed", result], ["failed", edge], ["failed", edge + "k"]]
    assert answer["categories"][0]["example"] == cause


def test_escaping_and_keys_on_random_texts(index_url):
    e, rng = stored_text.ESCAPE, random.Random(5)
    texts = {"".join(rng.choice(["\0", e, "0", "a", "é"]) for _ in range(rng.randint(0, 9))) for _ in range(3000)}
    for text in texts:
        stored = stored_text.escaped(text)
        assert "\0" not in stored and stored_text.unescaped(stored) == text
    # Keys a results file cannot bring: a text that starts as a hashed key does, texts at the limit.
    texts |= {stored_text.HASHED, stored_text.HASHED + "x", "k" * stored_text.KEY_CHARS, "k" * (stored_text.KEY_CHARS + 1)}
    with RunIndex(resolve_url(index_url)) as index:
        with index._transaction(writing=True) as connection:
            ids = dict(index._word_ids(connection, texts))
        with index._transaction() as connection:
            assert index._texts(connection) == {word: text for text, word in ids.items()}
            keys = connection.execute(sqlalchemy.select(schema.words.c.text)).scalars().all()
    assert len(set(keys)) == len(texts) and max(map(len, keys)) <= stored_text.KEY_CHARS


def test_an_index_of_the_first_schema_is_brought_up_to_date(index_url, tmp_path, capsys):
    from sqlalchemy import update

    long_suite = noise(stored_text.KEY_CHARS + 44, 4)  # longer than a key, short enough for the first schema
    cause = "beep \x10 x"
    first = make_run(tmp_path / "1.zip", "r1", "2026-12-01 02:00:00", [("a", "failed", [], cause)], suite=long_suite)
    tavix(capsys, "index", str(first), "--index", index_url)
    # As the first schema left it: keys in full, no column of full texts, texts unescaped.
    with RunIndex(resolve_url(index_url)) as index, index.engine.begin() as connection:
        as_version_2(connection)
        for key, full in schema.KEYED_TEXTS:
            connection.execute(update(key.table).where(full.isnot(None)).values({key: full}))
            connection.exec_driver_sql("ALTER TABLE %s DROP COLUMN %s" % (key.table.name, full.name))
        if not index.sqlite:
            connection.exec_driver_sql("UPDATE tavix_run_categories SET example = replace(example, chr(16) || chr(16), chr(16))")
        connection.execute(update(schema.settings).values(value="1"))
    # Read first: the upgrade comes before.
    with RunIndex(resolve_url(index_url)) as index:
        assert index.find(store.content_hash(first))["suite_name"] == long_suite
    second = make_run(tmp_path / "2.zip", "r2", "2026-12-02 02:00:00", [("a", "failed", [], cause)], suite=long_suite)
    answer = history(capsys, second, index_url)
    assert [r["request_id"] for r in answer["earlier_runs"]] == ["r1"]
    assert answer["nodes"][0]["history"] == ["failed", "failed"] and answer["categories"][0]["example"] == cause
    assert answer["categories"][0]["status"] == "known"


def test_a_run_the_database_refuses_is_reported_and_the_batch_goes_on(index_url, tmp_path, capsys, monkeypatch):
    runs = [make_run(tmp_path / f"{n}.zip", n, f"2026-12-0{n} 02:00:00", [("a", "failed")]) for n in (1, 2, 3)]
    tavix(capsys, "index", str(runs[0]), "--index", index_url)
    real = store.RunIndex._signature_ids
    refused = []

    def refusing(self, connection, texts):
        if not refused:  # the second run: a suite of the same name again breaks a unique key
            refused.append(1)
            connection.execute(schema.suites.insert().values(name="nightly"))
        return real(self, connection, texts)

    monkeypatch.setattr(store.RunIndex, "_signature_ids", refusing)
    status, out, err = tavix(capsys, "index", str(runs[1]), str(runs[2]), "--index", index_url)
    lines = err.splitlines()
    assert status == 1 and refused and len(lines) == 2 and "damaged" not in err
    assert lines[0].startswith("not indexed: %s: the run index " % runs[1]) and "cannot hold this run: " in lines[0]
    assert lines[1] == "tavix: error: 1 of 2 archives could not be indexed"
    assert out.startswith("indexed %s: nightly, run 3" % runs[2])
    monkeypatch.undo()
    answer = history(capsys, runs[1], index_url)
    assert [r["request_id"] for r in answer["earlier_runs"]] == ["1"]


# ------------------------------------------------------ another process

LOCKER = textwrap.dedent("""
    import sqlite3, sys
    connection = sqlite3.connect(sys.argv[1], isolation_level=None)
    connection.execute("BEGIN EXCLUSIVE")
    print("locked", flush=True)
    sys.stdin.read()
""")


@pytest.fixture
def locked(tmp_path, capsys):
    """An index file with one run, which another process holds under an exclusive lock."""
    path = str(tmp_path / "index.sqlite")
    tavix(capsys, "index", str(make_run(tmp_path / "0.zip", "r0", "2026-12-01 02:00:00", [("a", "failed")])),
          "--index", path)
    holder = subprocess.Popen([sys.executable, "-c", LOCKER, path], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    yield path
    holder.stdin.close()
    holder.wait(timeout=HANG_GUARD)
    holder.stdout.close()


def run_for(command, env=ENV):
    return subprocess.Popen([sys.executable, "-m", "tavix.cli.main", "logs", *command], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


@pytest.mark.parametrize("command", ["index", "history"])
def test_a_locked_index_is_waited_on_briefly(locked, tmp_path, command):
    archive = make_run(tmp_path / "1.zip", "r1", "2026-12-02 02:00:00", [("a", "failed")])
    started = time.monotonic()
    out, err = run_for([command, str(archive), "--index", locked]).communicate(timeout=HANG_GUARD)
    assert err == "tavix: error: the run index %s is in use by another process\n" % locked
    assert time.monotonic() - started < HANG_GUARD and out == ""


PG_LOCKER = textwrap.dedent("""
    import psycopg, sys
    connection = psycopg.connect(sys.argv[1], autocommit=True)
    connection.execute("SELECT pg_advisory_lock(%s)" % sys.argv[2])
    print("locked", flush=True)
    sys.stdin.read()
""")


def test_a_postgresql_index_another_writer_holds_is_waited_on_briefly(postgres_cluster, tmp_path):
    url = postgres_cluster.new_database()
    holder = subprocess.Popen([sys.executable, "-c", PG_LOCKER, url, str(store._WRITER_LOCK)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "locked\n"
        archive = make_run(tmp_path / "1.zip", "r1", "2026-12-02 02:00:00", [("a", "failed")])
        out, err = run_for(["index", str(archive), "--index", url]).communicate(timeout=HANG_GUARD)
    finally:
        holder.stdin.close()
        holder.wait(timeout=HANG_GUARD)
        holder.stdout.close()
    assert (out, err) == ("", "tavix: error: the run index %s is in use by another process\n"
                          % shown_url(resolve_url(url)))


def test_the_viewer_serves_without_history_while_the_index_stays_locked(locked, tmp_path):
    from helpers.logs_view import get_json, wait_for_url

    archive = make_run(tmp_path / "1.zip", "r1", "2026-12-02 02:00:00", [("a", "failed")])
    viewer = run_for(["view", str(archive), "--index", locked, "--no-browser", "--host", "127.0.0.1", "--no-token"])
    try:
        base, _ = wait_for_url(viewer, HANG_GUARD)
        with pytest.raises(urllib.error.HTTPError) as raised:
            get_json(base, "/history")
        assert raised.value.code == 500 and json.load(raised.value) == {"detail": "NO_INDEX"}
        raised.value.close()
    finally:
        viewer.send_signal(signal.SIGINT)
        out, err = viewer.communicate(timeout=HANG_GUARD)
    assert viewer.returncode == 0, err
    assert err.splitlines() == [
        "The run history is not available: the run index %s is in use by another process" % locked]


def holds_open(process, path):
    directory = "/proc/%d/fd" % process.pid
    try:
        return any(os.path.realpath(os.path.join(directory, fd)) == path for fd in os.listdir(directory))
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
@pytest.mark.parametrize("command", ["view", "history"])
def test_a_signal_ends_the_wait_at_once_and_leaves_nothing(locked, tmp_path, command, stop):
    archive = make_run(tmp_path / "1.zip", "r1", "2026-12-02 02:00:00", [("a", "failed")])
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    process = run_for([command, str(archive), "--index", locked, "--no-browser"][:4 + (command == "view")],
                      env=dict(ENV, TMPDIR=str(temporary)))
    try:
        end = time.monotonic() + HANG_GUARD
        while not holds_open(process, locked) and process.poll() is None and time.monotonic() < end:
            time.sleep(0.002)
        process.send_signal(stop)
        signalled = time.monotonic()
        out, err = process.communicate(timeout=HANG_GUARD)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    # Well before the wait would have ended, and without serving or answering.
    assert time.monotonic() - signalled < store._WAIT_SECONDS
    assert (process.returncode, err, out.count("http://")) == (130, "Interrupted\n", 0)
    assert os.listdir(temporary) == []


def test_an_index_that_is_no_regular_file_is_refused_at_once(tmp_path, capsys):
    fifo = tmp_path / "fifo.sqlite"
    os.mkfifo(fifo)
    archive = make_run(tmp_path / "1.zip", "r1", "2026-12-02 02:00:00", [("a", "failed")])
    for command in ("index", "history"):
        status, out, err = tavix(capsys, command, str(archive), "--index", str(fifo))
        assert (status, err) == (1, "tavix: error: the run index %s cannot be used: it is not a regular file\n" % fifo)
    status, out, err = tavix(capsys, "index", str(archive), "--index", str(tmp_path))
    assert (status, err) == (1, "tavix: error: the run index %s is damaged: it is a directory\n" % tmp_path)
