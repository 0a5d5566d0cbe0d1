"""`tavix logs view` in a real process: serve a run archive, stop, clean up."""
import json
import os
import signal
import socket
import urllib.error
import urllib.request

import pytest

from helpers.archives import generate_archive
from helpers.logs_view import get, get_json, tavix, wait_for_url

PREFIX = "/private/v1/standalone"


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """A home directory whose user archive directory holds one run archive."""
    home = tmp_path_factory.mktemp("home")
    directory = home / ".tavix" / "archive" / "nightly"
    directory.mkdir(parents=True)
    info = generate_archive(directory / "run.zip", log_bytes=80_000, sections=24, seed=5, scripts=1)
    return home, info


@pytest.fixture
def env(run, tmp_path):
    home = run[0]
    """The environment of a `tavix` process; TMPDIR receives its extraction directory."""
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    return dict(os.environ, HOME=str(home), TMPDIR=str(tmp), TAVIX_CONFIG=str(tmp_path / "none.cfg"))


def extraction_dirs(env):
    return [name for name in os.listdir(env["TMPDIR"]) if name.startswith("tavix.logviewer.")]


def refused(base, route, token=None, **headers):
    with pytest.raises(urllib.error.HTTPError) as raised:
        get(base, route, token, **headers)
    return raised.value.code == 403 and json.load(raised.value) == {"detail": "ACCESS_DENIED"}


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_view_serves_until_stopped_then_cleans_up(env, run, stop):
    info = run[1]
    process = tavix(env, "view", "--no-browser", "--port", "0")
    try:
        base, token = wait_for_url(process)
        assert not base.endswith(":0")
        assert get_json(base, "/archive_name", token) == {"archive_name": "run.zip"}
        meta = get_json(base, "/metadata", token)
        assert (meta["suite_name"], meta["exec_host"]) == (info.suite_name, info.host)
        assert len(extraction_dirs(env)) == 1
        process.send_signal(stop)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 0, err
    assert out.rstrip().endswith("Bye...")
    assert "Traceback" not in err
    assert extraction_dirs(env) == []


def test_device_commands_and_pages_through_the_server(env, run):
    info = run[1]
    section = max(info.sections[1:], key=lambda s: len(info.executions_in(s)))
    expected = [(e.device, e.execute_type, e.title) for e in info.executions_in(section)]
    assert expected
    process = tavix(env, "view", "-0", "--no-browser", "--host", "127.0.0.1", "--no-token")
    try:
        base, token = wait_for_url(process)
        assert base.startswith("http://127.0.0.1:") and token is None
        records = get_json(base, "/results")[0]["sections"]
        record = next(r for r in records if r["sequence_number"] == section.sequence_number)
        executions = get_json(base, "/sections/%s/executions" % record["id"])
        assert [(e["device"], e["execute_type"], e.get("title")) for e in executions] == expected
        page = get_json(base, "/sections/%s/log?limit=64" % record["id"])
        assert page["previous"] is None and "offset=64&limit=64" in page["next"]
        assert page["file_content"].split(": ")[1] == info.host  # starts at a record line
    finally:
        process.send_signal(signal.SIGINT)
        process.communicate(timeout=60)
    assert process.returncode == 0


def test_view_lets_in_only_its_own_user(env):
    process = tavix(env, "view", "--no-browser", "--host", "127.0.0.1")
    try:
        base, token = wait_for_url(process)
        assert len(token) >= 43
        port = base.rsplit(":", 1)[1]
        assert refused(base, PREFIX + "/metadata")
        assert refused(base, PREFIX + "/metadata", token[:-1] + "x")
        assert refused(base, PREFIX + "/metadata", token, Host="rebound.example.com:" + port)
        assert get_json(base, "/archive_name", token) == {"archive_name": "run.zip"}
        with get(base, "/result") as entry:  # the page loads without the token
            assert entry.status == 200

        # The announced URL sets the cookie and lands on the same page without the token.
        browser = urllib.request.build_opener(urllib.request.HTTPCookieProcessor())
        with browser.open("%s/result?token=%s" % (base, token), timeout=30) as landed:
            assert landed.url == base + "/result"
        # The cookie counts for what the browser says comes from the viewer's own pages.
        own_page = urllib.request.Request(base + PREFIX + "/archive_name", headers={"Sec-Fetch-Site": "same-origin"})
        with browser.open(own_page, timeout=30) as answer:
            assert json.load(answer) == {"archive_name": "run.zip"}
        with pytest.raises(urllib.error.HTTPError, match="403"):
            browser.open(base + PREFIX + "/archive_name", timeout=30)
    finally:
        process.send_signal(signal.SIGINT)
        process.communicate(timeout=60)
    assert process.returncode == 0


def test_failures_are_one_line_errors(env, tmp_path):
    not_zip = tmp_path / "broken.zip"
    not_zip.write_text("not a zip file")
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen()
    cases = [
        (["view", str(not_zip), "--no-browser"], "BadZipFile"),
        (["view", "-7", "--no-browser"], "IndexError"),
        (["view", "--no-browser", "--host", "127.0.0.1", "--port", str(busy.getsockname()[1])],
         "Address already in use"),
        (["view", "--no-browser", "--host", "host.that.does.not.resolve.invalid"], "gaierror"),
        (["view", str(tmp_path / "missing.zip"), "--no-browser"], "FileNotFoundError"),
    ]
    try:
        for argv, expected in cases:
            process = tavix(env, *argv)
            out, err = process.communicate(timeout=60)
            assert process.returncode == 1, (argv, err)
            assert err.count("\n") == 1 and err.startswith("tavix: error: ") and expected in err
            assert "Bye..." not in out
            assert extraction_dirs(env) == [], argv
    finally:
        busy.close()
