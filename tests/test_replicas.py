"""Replicas of the service on one PostgreSQL index behind HAProxy, as
processes: any replica answers any run and any session; a push two replicas
take at once is one run; a replica killed, PostgreSQL restarted, an index of
the previous schema met by two replicas starting at once."""
import asyncio
import concurrent.futures
import glob
import hashlib
import pathlib
import http.client
import json
import os
import subprocess
import urllib.error
import urllib.request
import zipfile
from types import SimpleNamespace

import pytest
import sqlalchemy

from helpers.history_runs import make_run
from helpers.older_indexes import as_version_2
from helpers.replicas import Replicas, haproxy_or_skip, wait_for
from tavix.log.commands.history import RunIndex, schema
from tavix.log.commands.service.push import PushFailed, push_archive

VIEWER = "/private/v1/standalone"


@pytest.fixture(scope="module")
def team(postgres_cluster, tmp_path_factory):
    """Two replicas signing in with keys, HAProxy before them, and an admin's key."""
    haproxy_or_skip()
    url = postgres_cluster.new_database()
    with RunIndex(url) as index:
        key = index.create_key("team", "admin")
    with Replicas(url, tmp_path_factory.mktemp("replicas"), options=("--auth", "token")) as replicas:
        replicas.start()
        replicas.balance()
        yield SimpleNamespace(replicas=replicas, key=key, url=replicas.url, index_url=url)


@pytest.fixture
def revived(team):
    """The replicas a test kills, started again after it."""
    yield
    for number, process in enumerate(team.replicas.processes):
        if process.poll() is not None:
            team.replicas.revive(number)


def get(url, key=None, headers=None):
    request = urllib.request.Request(url, headers=dict(headers or {}, **({"Authorization": "Bearer " + key}
                                                                         if key else {})))
    with urllib.request.urlopen(request, timeout=10) as answer:
        return json.load(answer)


def digest(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def runs_of(team, request_id):
    return [run for run in get(team.url + "/api/v1/runs?limit=500", team.key)["runs"]
            if run["request_id"] == request_id]


def large_run(path, request_id):
    """A run archive of some MiB: a push of it takes several blocks."""
    make_run(path, request_id, "2026-12-02T01:00:00", [("setup", "passed"), ("check", "failed")])
    with zipfile.ZipFile(path, "a") as archive:
        archive.writestr(zipfile.ZipInfo("blob.bin"), os.urandom(5 << 20), zipfile.ZIP_STORED)
    return path


def test_any_replica_answers_any_run_with_the_same_ids(team, tmp_path):
    path = make_run(tmp_path / "a.zip", "any-1", "2026-12-01T01:00:00", [("setup", "passed"), ("check", "failed")])
    push_archive(str(path), team.replicas.replica_url(0), team.key)
    urls = [team.replicas.replica_url(number) for number in (1, 0)]  # opened first by the one that did not take it
    trees = [get(url + "/runs/any-1" + VIEWER + "/tree", team.key) for url in urls]
    assert trees[0] == trees[1]
    sections = [get(url + "/api/v1/runs/any-1/sections?path=s.py/check&line=2", team.key) for url in urls]
    assert [dict(section, link=None) for section in sections] == [dict(sections[0], link=None)] * 2
    logs = [get("%s/runs/any-1%s/sections/%s/log?offset=0&limit=4000" % (url, VIEWER, sections[0]["id"]), team.key)
            for url in urls]
    assert logs[0] == logs[1] and "check broke" in json.dumps(logs[0])


def session_cookie(url, key):
    """The cookie ("name=value") the service at `url` sets for a browser signing in with `key`."""
    host, port = url[len("http://"):].split(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=10)
    try:
        connection.request("POST", "/login", body="key=%s&next=/" % key,
                           headers={"Content-Type": "application/x-www-form-urlencoded"})
        answer = connection.getresponse()
        assert answer.status == 303
        return answer.getheader("Set-Cookie").split(";")[0]
    finally:
        connection.close()


def test_a_session_one_replica_signed_is_taken_by_another(team):
    cookie = session_cookie(team.replicas.replica_url(0), team.key)
    assert "suites" in get(team.replicas.replica_url(1) + "/api/v1/suites", headers={"Cookie": cookie})
    forged = cookie[:-1] + ("1" if cookie.endswith("0") else "0")
    with pytest.raises(urllib.error.HTTPError) as refused:
        get(team.replicas.replica_url(1) + "/api/v1/suites", headers={"Cookie": forged})
    refused.value.close()  # the error holds the answer's connection
    assert refused.value.code == 401


def pushed_at_once(team, paths):
    """The answers (or PushFailed) of the archives at `paths` pushed at once, each to a replica of its own."""
    def push(number):
        try:
            return push_archive(str(paths[number]), team.replicas.replica_url(number), team.key)
        except PushFailed as failure:
            return failure

    with concurrent.futures.ThreadPoolExecutor(len(paths)) as pool:
        return list(pool.map(push, range(len(paths))))


def test_a_push_two_replicas_take_at_once_lands_as_one_run(team, tmp_path):
    path = make_run(tmp_path / "a.zip", "twice-1", "2026-12-01T01:00:00", [("a", "passed")])
    answers = pushed_at_once(team, [path, path])
    assert sorted(answer["created"] for answer in answers) == [False, True]
    assert len(runs_of(team, "twice-1")) == 1

    # Two archives of one request id: one is stored, the other refused, whichever came first.
    first = make_run(tmp_path / "b.zip", "twice-2", "2026-12-01T01:00:00", [("a", "passed")])
    second = make_run(tmp_path / "c.zip", "twice-2", "2026-12-01T02:00:00", [("a", "failed")])
    answers = pushed_at_once(team, [first, second])
    refused = [answer for answer in answers if isinstance(answer, PushFailed)]
    assert [failure.status for failure in refused] == [409] and "twice-2" in str(refused[0])
    stored = [path for path, answer in zip((first, second), answers) if not isinstance(answer, PushFailed)]
    assert [run["content_hash"] for run in runs_of(team, "twice-2")] == [digest(stored[0])]
    assert not os.path.exists(os.path.join(team.replicas.store, digest(({first, second} - set(stored)).pop())
                                           + ".zip"))


def uploading_replica(replicas):
    """The number of the replica writing an upload into the store, or None."""
    for number, process in enumerate(replicas.processes):
        if process.poll() is not None:
            continue
        directory = "/proc/%d/fd" % process.pid
        for descriptor in os.listdir(directory):
            try:
                if "/.upload-" in os.readlink(os.path.join(directory, descriptor)):
                    return number
            except FileNotFoundError:
                pass
    return None


def test_a_replica_killed_while_a_push_streams_through_it(team, tmp_path, revived):
    path = large_run(tmp_path / "large.zip", "killed-1")
    killed = []

    def kill_the_receiver(sent):
        if not killed:
            wait_for(lambda: uploading_replica(team.replicas) is not None, "a replica taking the upload")
            number = uploading_replica(team.replicas)
            team.replicas.kill(number)
            killed.append(number)

    with pytest.raises(PushFailed) as failed:
        push_archive(str(path), team.url, team.key, on_sent=kill_the_receiver)
    # HAProxy answers 502, or closes the connection, as the replica's end reaches it.
    assert failed.value.status in (502, None) and "pushing the archive again is safe" in str(failed.value)
    answer = push_archive(str(path), team.url, team.key)
    assert answer["created"] and answer["run"]["request_id"] == "killed-1"
    assert [run["content_hash"] for run in runs_of(team, "killed-1")] == [digest(path)]
    # The killed replica's upload stays under a name no run is read from, until a replica starts an hour on.
    assert glob.glob(os.path.join(team.replicas.store, ".upload-*.part"))
    with RunIndex(team.index_url) as index:
        assert os.path.getsize(index.find(digest(path))["archive"]) == os.path.getsize(path)


def test_two_replicas_started_on_an_index_of_the_previous_schema_upgrade_it_once(postgres_cluster, tmp_path):
    from tavix.log.commands.archive import Archive

    url = postgres_cluster.new_database()
    path = make_run(tmp_path / "old.zip", "old-1", "2026-12-01T01:00:00", [("a", "passed"), ("b", "failed")])
    with RunIndex(url) as index, Archive(str(path)) as archive:
        index.record(archive)
        with index.engine.begin() as connection:
            as_version_2(connection)
    # A second upgrade would find the columns there and stop its replica.
    with Replicas(url, tmp_path / "replicas") as replicas:
        replicas.start()
        for number in (0, 1):
            listed = get(replicas.replica_url(number) + "/api/v1/runs")["runs"]
            assert [run["request_id"] for run in listed] == ["old-1"]
    with RunIndex(url) as index, index.engine.connect() as connection:
        assert connection.execute(sqlalchemy.select(schema.settings.c.value).where(
            schema.settings.c.key == "schema_version")).scalar() == str(schema.SCHEMA_VERSION)


def test_postgresql_restarted_pushes_wait_for_it_and_open_runs_browse(own_postgres_cluster, tmp_path):
    haproxy_or_skip()
    url = own_postgres_cluster.new_database()
    with RunIndex(url) as index:
        key = index.create_key("ci", "admin")
    first = make_run(tmp_path / "a.zip", "pg-1", "2026-12-01T01:00:00", [("setup", "passed"), ("check", "failed")])
    second = make_run(tmp_path / "b.zip", "pg-2", "2026-12-02T01:00:00", [("setup", "passed")])
    with Replicas(url, tmp_path / "replicas", count=1, options=("--auth", "token")) as replicas:
        replicas.start()
        balanced = replicas.balance()
        push_archive(str(first), balanced, key)
        tree = get(balanced + "/runs/pg-1" + VIEWER + "/tree", key)

        own_postgres_cluster.stop_server()
        replicas.wait_for_balancer(up=0)
        with pytest.raises(PushFailed) as refused:
            push_archive(str(second), balanced, key)
        assert refused.value.status == 503 and "index" in str(refused.value)
        # The balancer still hands requests to the replica alive, which shows the run it has open.
        assert get(balanced + "/runs/pg-1" + VIEWER + "/tree", key) == tree

        own_postgres_cluster.start_server()
        replicas.wait_for_balancer(up=1)
        assert push_archive(str(second), balanced, key)["created"]
        assert [run["request_id"] for run in get(balanced + "/api/v1/runs", key)["runs"]] == ["pg-2", "pg-1"]


def signed_in_page(browser, team):
    """A page of a browser holding a session that the balancer's replica signed."""
    name, _, value = session_cookie(team.url, team.key).partition("=")
    context = browser.new_context(viewport={"width": 1440, "height": 860})
    context.add_cookies([{"name": name, "value": value, "url": team.url}])
    page = context.new_page()
    page.errors = []
    page.on("pageerror", lambda error: page.errors.append(str(error)))
    return page


def test_a_replica_killed_while_a_user_browses_through_the_balancer(team, browser, tmp_path, revived):
    names = ("setup", "check", "teardown")
    path = make_run(tmp_path / "a.zip", "browse-1", "2026-12-01T01:00:00",
                    list(zip(names, ("passed", "failed", "passed"))))
    push_archive(str(path), team.url, team.key)
    page = signed_in_page(browser, team)
    page.goto(team.url + "/runs/browse-1")
    page.wait_for_selector("body[data-ready=true]")
    page.wait_for_selector("#task-tree .node >> text=teardown")
    page.evaluate("window.loadedOnce = true")  # gone with a reload
    team.replicas.kill(0)
    for name in names[::-1]:
        page.click("#task-tree .node >> text=%s" % name)
        page.wait_for_function("document.querySelector('#section-title').textContent === %r" % name)
        page.wait_for_selector("#log-lines .ln")
    assert "Could not" not in page.inner_text("body")
    assert page.evaluate("window.loadedOnce") and not page.errors
    page.context.close()


def test_a_request_whose_connection_drops_is_sent_once_more(team, browser, tmp_path):
    path = make_run(tmp_path / "a.zip", "retry-1", "2026-12-01T01:00:00", [("setup", "passed")])
    push_archive(str(path), team.url, team.key)
    page = signed_in_page(browser, team)
    sent = {"suites": 0, "tree": 0}

    def dropping(name, times):
        def answer(route):
            sent[name] += 1
            if sent[name] <= times:
                route.abort("connectionreset")
            else:
                route.continue_()
        return answer

    # The service's API (the home page), then a run's viewer.
    page.route("**/api/v1/suites", dropping("suites", 1))
    page.goto(team.url + "/")
    page.wait_for_selector(".suite >> text=nightly")
    page.route("**%s/tree" % VIEWER, dropping("tree", 1))
    page.goto(team.url + "/runs/retry-1")
    page.wait_for_selector("#task-tree .node >> text=setup")
    assert sent == {"suites": 2, "tree": 2}
    # Once only: a request whose connection drops again fails as before.
    page.unroute("**/api/v1/suites")
    sent["suites"] = 0
    page.route("**/api/v1/suites", dropping("suites", 2))
    page.goto(team.url + "/")
    page.wait_for_function("document.querySelector('#home-status').textContent.includes('Could not list the suites')")
    assert sent["suites"] == 2 and not page.errors
    page.context.close()


def test_a_request_id_another_replica_records_meanwhile_refuses_the_archive(postgres_cluster, tmp_path, monkeypatch):
    from tavix.log.commands.service.archive_store import DirectoryStore
    from tavix.log.commands.service.errors import RequestIdTaken
    from tavix.log.commands.service.intake import Intake

    url = postgres_cluster.new_database()
    store = DirectoryStore(tmp_path / "store")
    first = make_run(tmp_path / "a.zip", "race-1", "2026-12-01T01:00:00", [("a", "passed")])
    second = make_run(tmp_path / "b.zip", "race-1", "2026-12-01T02:00:00", [("a", "failed")])

    def take(intake, path):
        async def chunks():
            yield path.read_bytes()

        # An event loop of its own: the browser's holds this thread.
        with concurrent.futures.ThreadPoolExecutor(1) as thread:
            return thread.submit(asyncio.run, intake.take(chunks())).result()

    replicas = [Intake(store, lambda: RunIndex(url), max_archive_size=1 << 30) for _ in range(2)]
    take(replicas[0], first)
    # The second replica looked for the request id before the first recorded it.
    monkeypatch.setattr(RunIndex, "run_by_request_id", lambda self, request_id: None)
    with pytest.raises(RequestIdTaken, match="race-1"):
        take(replicas[1], second)
    monkeypatch.undo()
    assert sorted(os.listdir(store.root)) == [digest(first) + ".zip"]
    with RunIndex(url) as index:
        assert [run["content_hash"] for run in index.runs()] == [digest(first)]


def test_the_shipped_balancer_configuration_and_its_rendering_are_valid(tmp_path):
    from helpers.replicas import HAPROXY_CONFIG, render_haproxy_config

    haproxy = haproxy_or_skip()
    rendered = tmp_path / "haproxy.cfg"
    rendered.write_text(render_haproxy_config(pathlib.Path(HAPROXY_CONFIG).read_text(), 18000, [18001, 18002, 18003]))
    for config in (HAPROXY_CONFIG, str(rendered)):
        checked = subprocess.run([haproxy, "-c", "-f", config], capture_output=True, text=True, timeout=10)
        assert checked.returncode == 0, checked.stdout + checked.stderr
    text = rendered.read_text()
    assert [line.split()[1:3] for line in text.splitlines() if line.strip().startswith("server ")] == [
        ["replica1", "127.0.0.1:18001"], ["replica2", "127.0.0.1:18002"], ["replica3", "127.0.0.1:18003"],
        ["replica1-alive", "127.0.0.1:18001"], ["replica2-alive", "127.0.0.1:18002"],
        ["replica3-alive", "127.0.0.1:18003"]]
    assert "inter 100ms fall 1 rise 1" in text
