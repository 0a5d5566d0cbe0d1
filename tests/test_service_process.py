"""`tavix logs serve`, `push` and `keys` as processes: what CI scripts rely on,
and how the service stops."""
import json
import re
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from helpers.history_runs import make_run
from helpers.processes import child_environment
from helpers.service import served_process, stop_served


def tavix(env, *argv, **kwargs):
    return subprocess.run([sys.executable, "-m", "tavix.cli.main", "logs", *argv], env=env,
                          capture_output=True, text=True, timeout=60, **kwargs)


@pytest.fixture
def env(tmp_path):
    return child_environment(HOME=str(tmp_path / "home"), TAVIX_INDEX=str(tmp_path / "index.sqlite"))


@pytest.fixture
def service(env, tmp_path):
    """A service on a free port, with the address it printed."""
    process, url, launch = served_process(env, tmp_path)
    yield process, url, launch
    stop_served(process)


def get(url, key):
    request = urllib.request.Request(url, headers={"Authorization": "Bearer " + key})
    with urllib.request.urlopen(request, timeout=30) as answer:
        return json.load(answer)


def test_push_prints_the_link_as_its_last_line(service, env, tmp_path):
    process, url, launch = service
    first = make_run(tmp_path / "a.zip", "req-1", "2026-12-01T01:00:00", [("a", "passed")])
    created = tavix(env, "keys", "create", "--name", "ci", "--role", "pusher")
    assert created.returncode == 0
    key = created.stdout.splitlines()[-1]

    pushed = tavix(env, "push", str(first), "--to", url, "--key", key)
    assert (pushed.returncode, pushed.stdout.splitlines()[-1]) == (0, url + "/runs/req-1")
    again = tavix(dict(env, TAVIX_KEY=key), "push", str(first), "--to", url)
    assert again.returncode == 0 and again.stdout.splitlines()[-2:] == ["already stored: req-1", url + "/runs/req-1"]
    run = get(url + "/api/v1/runs/req-1", key)
    assert run["link"] == url + "/runs/req-1" and run["suite_name"] == "nightly"


def test_push_refused_by_role_key_or_usage(service, env, tmp_path):
    process, url, launch = service
    first = make_run(tmp_path / "a.zip", "req-1", "2026-12-01T01:00:00", [("a", "passed")])
    viewer_key = tavix(env, "keys", "create", "--name", "eve", "--role", "viewer").stdout.splitlines()[-1]
    refused = tavix(env, "push", str(first), "--to", url, "--key", viewer_key)
    assert refused.returncode == 1 and viewer_key not in refused.stdout + refused.stderr
    assert tavix(env, "push", "--to", url).returncode == 2
    with pytest.raises(urllib.error.HTTPError) as unknown:
        get(url + "/api/v1/runs/req-1", viewer_key + "x")
    unknown.value.close()
    assert unknown.value.code == 401
    assert tavix(env, "keys", "revoke", "eve").returncode == 0
    listed = tavix(env, "keys", "list")
    assert "eve" in listed.stdout and viewer_key not in listed.stdout


def test_sigterm_lets_a_request_in_flight_finish_and_refuses_new_ones(service, tmp_path):
    process, url, launch = service
    assert launch.startswith("tvx_")  # never "-…", which a command line would take for an option
    body = make_run(tmp_path / "a.zip", "req-1", "2026-12-01T01:00:00", [("a", "passed")]).read_bytes()
    host, port = url[len("http://"):].split(":")
    upload = socket.create_connection((host, int(port)), timeout=30)
    upload.sendall(("POST /api/v1/runs HTTP/1.1\r\nHost: %s:%s\r\nAuthorization: Bearer %s\r\n"
                    "Content-Length: %d\r\n\r\n" % (host, port, launch, len(body))).encode() + body[:100])
    # The service has the request once it answers another one after it.
    assert get(url + "/healthz", launch)["status"] == "alive"
    process.send_signal(signal.SIGTERM)
    # The listening socket closes as the service starts stopping (a connection
    # still in its backlog then is reset).
    deadline = time.monotonic() + 10
    with pytest.raises((ConnectionRefusedError, ConnectionResetError)):
        while time.monotonic() < deadline:
            socket.create_connection((host, int(port)), timeout=5).close()
    upload.sendall(body[100:])
    answer = upload.makefile("rb").read()
    upload.close()
    assert answer.startswith(b"HTTP/1.1 201")
    assert process.wait(15) == 0


def test_watch_takes_an_archive_once_it_settles(env, tmp_path):
    watched = tmp_path / "drop"
    watched.mkdir()
    process = subprocess.Popen(
        [sys.executable, "-m", "tavix.cli.main", "logs", "serve", "--port", "0", "--host", "127.0.0.1",
         "--auth", "none", "--store", str(tmp_path / "store"), "--cache", str(tmp_path / "cache"),
         "--watch", str(watched)], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        url = next(found.group(1) for found in map(re.compile(r"(http://127\.0\.0\.1:\d+)").search, process.stdout)
                   if found)
        make_run(watched / "a.zip", "req-9", "2026-12-01T01:00:00", [("a", "passed")])
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with urllib.request.urlopen(url + "/api/v1/runs", timeout=10) as answer:
                runs = json.load(answer)["runs"]
            if runs:
                break
            time.sleep(0.1)
        assert [run["request_id"] for run in runs] == ["req-9"]
        assert (watched / "a.zip").exists()
    finally:
        process.terminate()
        process.wait(15)
        process.stdout.close()
