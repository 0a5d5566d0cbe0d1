"""The server's error policy: an ordinary exception from the archive is
answered by the route's error answer (or, where the route handles none,
by aiohttp's own), keeping its type; KeyboardInterrupt and SystemExit
pass through every route, so Ctrl-C stops the server."""

import gc
import logging
import os
import subprocess
import sys
import textwrap
import weakref

import pytest
from aiohttp.test_utils import make_mocked_request

from tavix.log.commands.server import LogViewerServer

P = "/private/v1/standalone"
SERVER_LOGGER = "tavix.log.commands.server"


class Raising:
    """Stands in for the results model or the run history: every attribute
    raises `error`."""

    def __init__(self, error):
        self._error = error

    def __getattr__(self, name):
        raise self._error(f"stand-in {name}")


class RaisingArchive(Raising):
    """Stands in for an opened archive: its results are a `Raising` model,
    and its methods and other attributes raise `error`."""

    @property
    def results(self):
        return Raising(self._error)


class RaisingHistory(Raising):
    """Stands in for the run history, adding no routes of its own (as the
    service's viewers have it)."""

    def add_routes(self, router, url_prefix):
        pass


# Every route that reads the archive, the baseline or the run history:
# (handler, path, match_info, the route's error answer for an ordinary
# exception, or None where the route handles none).
ROUTES = [
    ("results", "/results", {}, None),
    ("tree", "/tree", {}, None),
    ("metadata", "/metadata", {}, None),
    ("summary", "/summary", {}, None),
    ("tasks", "/tasks", {}, None),
    ("sections", "/sections/s1", {"section_uuid": "s1"}, None),
    ("executions", "/sections/s1/executions", {"section_uuid": "s1"}, "EXECUTION_RETRIEVE_FAILED"),
    ("executions", "/sections/s1/executions?limit=5", {"section_uuid": "s1"}, "EXECUTION_RETRIEVE_FAILED"),
    ("archive_name", "/archive_name", {}, None),
    ("filelist", "/filelist", {}, "FILE_LIST_RETRIEVE_FAILED"),
    ("filelines", "/filelines/a.txt", {"filename": "a.txt"}, "FILE_READ_FAILED"),
    ("download_archive", "/download", {}, None),
    ("download_file", "/download/a.txt", {"filename": "a.txt"}, None),
    ("logfile_sec", "/sections/s1/log", {"section_uuid": "s1"}, "Section_s1_RETRIEVE_FAIL"),
    ("logfile_exe", "/sections/s1/e1/log", {"section_uuid": "s1", "execution_uuid": "e1"},
     "EXECUTION_LOG_READ_FAIL"),
    ("section_search", "/sections/s1/search?q=x", {"section_uuid": "s1"}, None),
    ("next_record", "/sections/s1/next_record", {"section_uuid": "s1"}, None),
    ("job_search", "/search?q=x", {}, "JOB_SEARCH_FAILED"),
    ("scan_status", "/sections/s1/scan", {"section_uuid": "s1"}, "SECTION_RETRIEVE_FAILED"),
    ("filepage", "/filepage/a.txt", {"filename": "a.txt"}, "FILE_READ_FAILED"),
    ("categories", "/categories", {}, "CATEGORIES_RETRIEVE_FAILED"),
    ("timeline", "/timeline", {}, "TIMELINE_RETRIEVE_FAILED"),
    ("timeline_histogram", "/timeline/0/histogram", {"task": "0"}, "HISTOGRAM_RETRIEVE_FAILED"),
    ("htmlviewer", "/result/archive/a.html", {"filename": "a.html"}, "SERVE_FILE_FAILED"),
    ("report", "/reports/a.html", {"filename": "a.html"}, "SERVE_FILE_FAILED"),
    ("file_download", "/file/a.txt", {"filename": "a.txt"}, None),
    ("compare", "/compare", {}, "COMPARE_FAILED"),
    ("section_diff", "/sections/s1/diff", {"section_uuid": "s1"}, None),
    ("baseline_section_log", "/sections/s1/baseline/log", {"section_uuid": "s1"}, None),
    ("run_history", "/history", {}, "HISTORY_RETRIEVE_FAILED"),
    ("section_history", "/history/sections/s1", {"section_uuid": "s1"}, "HISTORY_RETRIEVE_FAILED"),
]


def serving(error):
    """A server of a stand-in archive, with a stand-in baseline and run
    history, all raising `error`."""
    return LogViewerServer(RaisingArchive(error), baseline=RaisingArchive(error), history=RaisingHistory(error))


def url(path):
    return path if path.startswith(("/result/", "/reports/")) else P + path


def test_every_route_is_checked():
    app = serving(ValueError)
    # line_query masks the text it is given and reads nothing.
    routes = {route.name for route in app.router.routes()} - {"index", "static", "line_query"}
    assert routes == {name for name, *_ in ROUTES}


@pytest.mark.parametrize("error", [ValueError, MemoryError])
async def test_ordinary_exceptions_get_the_routes_answer_with_their_type(aiohttp_client, caplog, error):
    caplog.set_level(logging.DEBUG)
    client = await aiohttp_client(serving(error))
    for name, path, _, detail in ROUTES:
        caplog.clear()
        response = await client.get(url(path))
        assert response.status == 500, name
        if detail is None:
            # Not handled by the route: aiohttp answers, and logs the
            # exception as raised.
            assert "Access-Control-Allow-Origin" not in response.headers, name
            logged = [r.exc_info[0] for r in caplog.records if r.exc_info]
        else:
            assert response.headers["Access-Control-Allow-Origin"] == "*"
            assert await response.json() == {"detail": detail}, name
            logged = [r.getMessage() for r in caplog.records if r.name == SERVER_LOGGER]
        if detail is None:
            assert logged == [error], name
        elif not detail.startswith("Section_"):  # that answer is given without debug lines
            assert f"\n{error.__name__}: stand-in " in logged[1], name
    assert (await client.get("/result")).status == 200  # still serving


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
async def test_interrupts_pass_through_every_route(tmp_path, error):
    app = serving(error)
    for name, path, match_info, _ in ROUTES:
        request = make_mocked_request("GET", url(path), match_info=match_info, app=app)
        with pytest.raises(error):
            await getattr(app, name)(request)
    # Nothing is left behind that would answer the next request from the
    # interrupted work.
    assert not getattr(app, "_computed", {}) and not app._scans


def test_ctrl_c_in_a_handler_stops_the_server(tmp_path):
    script = textwrap.dedent(f"""
        import socket, sys, threading, urllib.request
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_server_errors import RaisingArchive
        from tavix.log.commands.server import LogViewerServer

        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        sock.listen(8)
        url = "http://127.0.0.1:%d{P}/filelist" % sock.getsockname()[1]

        def ask():
            try:
                urllib.request.urlopen(url, timeout=20)
            except Exception:
                pass  # the connection ends with the server; its error would mix into stderr

        threading.Thread(target=ask, daemon=True).start()
        LogViewerServer(RaisingArchive(KeyboardInterrupt)).serve(sock=sock, print=None,
                                                                  handle_signals=False)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    # The interrupt leaves the event loop and ends the process, as Ctrl-C does.
    assert done.returncode != 0 and done.stderr.splitlines()[-1] == "KeyboardInterrupt: stand-in listdir", done.stderr


async def test_native_errors_keep_their_python_type(aiohttp_client, generated_run, caplog):
    from tavix.log.commands.archive import Archive

    caplog.set_level(logging.DEBUG, SERVER_LOGGER)
    with Archive(generated_run.path) as archive:
        client = await aiohttp_client(LogViewerServer(archive))
        response = await client.get(P + "/timeline/99/histogram")
        assert await response.json() == {"detail": "HISTOGRAM_RETRIEVE_FAILED"}
    traceback = [r.getMessage() for r in caplog.records if r.name == SERVER_LOGGER][1]
    assert traceback.rstrip().endswith("IndexError: no such task")


def test_handler_outcomes_are_seen_by_the_garbage_collector():
    app = LogViewerServer(RaisingArchive(ValueError))
    request = make_mocked_request("GET", P + "/metadata", app=app)
    pending = app.metadata(request)
    assert gc.is_tracked(pending)
    # A cycle through the outcome: the exception it holds refers back to it.
    [error] = [o for o in gc.get_referents(pending) if isinstance(o, ValueError)]
    error.holder = Holder()
    error.holder.outcome = pending
    gone = weakref.ref(error.holder)
    del pending, error
    gc.collect()
    assert gone() is None


class Holder:
    """Something a weak reference can follow."""


class Position:
    """A byte position whose conversion to an integer fails with `error`."""

    def __init__(self, error):
        self.error = error

    def __int__(self):
        raise self.error("stand-in position")


@pytest.mark.parametrize("value, answer", [("abc", None), (Position(TypeError), None),
                                           (Position(MemoryError), "TIMELINE_RETRIEVE_FAILED")])
async def test_a_timeline_value_that_is_no_position_is_null_and_other_failures_answer(
        aiohttp_client, generated_run, value, answer):
    from tavix.log.commands.archive import Archive

    with Archive(generated_run.path) as archive:
        record = archive.results.scripts[0]["sections"][1]
        record["log_start"] = value
        client = await aiohttp_client(LogViewerServer(archive))
        body = await (await client.get(P + "/timeline")).json()
    if answer is None:
        row = next(r for r in body["tasks"][0]["sections"] if r[0] == record["id"])
        assert row[3] is None
    else:
        assert body == {"detail": answer}
