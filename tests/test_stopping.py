"""Ctrl-C or SIGTERM while the viewer serves ends it, even while a scan of
device commands runs in a worker thread, and leaves nothing behind.

How soon, in seconds, is a figure of benchmarks/bench_stopping.py."""
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import urllib.error
import urllib.request

import pytest

from helpers import archives
from helpers.processes import child_environment

# Longer than the whole scan takes: a viewer still running then hangs.
HANG_GUARD = 30
P = "/private/v1/standalone"

# The viewer of an archive whose last section is made ~100 MB of dense
# device output: a scan of it takes a few tenths of a second.
VIEWER = textwrap.dedent("""
    import socket, sys
    from tavix.log.commands.archive import Archive
    from tavix.log.commands.server import LogViewerServer
    from tavix.log.commands.parser import base
    from helpers import archives
    base._set_scan_stretches(0, 1)  # one thread: the scan lasts long enough to be interrupted
    with Archive(sys.argv[1]) as archive:
        record = archives.stretch_last_section(archive, 24)
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        sock.listen(16)
        print(sock.getsockname()[1], record["id"], flush=True)
        LogViewerServer(archive).serve(sock=sock, print=False)
    print("Bye", flush=True)
""")


@pytest.fixture(scope="module")
def dense_run(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("stopping") / "dense.zip")
    archives.generate_archive(path, log_bytes=4 << 20, sections=4, seed=3, scripts=1, dense_devices=True)
    return path


def get(url):
    try:
        return urllib.request.urlopen(url, timeout=30).read()
    except (urllib.error.URLError, ConnectionError):
        return None  # the viewer stopped under the request


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_a_signal_ends_the_viewer_during_a_scan(dense_run, tmp_path, stop):
    viewer = subprocess.Popen([sys.executable, "-c", VIEWER, dense_run], stdout=subprocess.PIPE, text=True,
                              env=child_environment(TMPDIR=str(tmp_path)))
    try:
        port, section_id = viewer.stdout.readline().split()
        section = "http://127.0.0.1:%s%s/sections/%s" % (port, P, section_id)

        def scanning():
            return json.loads(get(section + "/scan"))["scanning"]
        threading.Thread(target=get, args=(section + "/executions?limit=5",), daemon=True).start()
        end = time.monotonic() + 10
        while not scanning() and time.monotonic() < end:
            time.sleep(0.005)
        assert scanning()  # still running as the signal goes
        viewer.send_signal(stop)
        try:
            out, _ = viewer.communicate(timeout=HANG_GUARD)
        except subprocess.TimeoutExpired:
            pytest.fail("%s during a scan: the viewer still runs after %d s" % (stop.name, HANG_GUARD))
    finally:
        if viewer.poll() is None:
            viewer.kill()
            viewer.communicate()
    # The server returned (its scans stopped) and the archive's directory is gone.
    assert (viewer.returncode, out) == (0, "Bye\n")
    assert os.listdir(tmp_path) == []
