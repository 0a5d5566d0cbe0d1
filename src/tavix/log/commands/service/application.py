"""The service's HTTP application: the home page, the API, the runs' viewers.

Handlers are small: they read the request, ask `TeamRuns`, and answer. A
`ServiceError` becomes its status with {"detail": code, "message": text}.
"""
import asyncio
import json
import logging
import os
import signal
import sys
import time

from aiohttp import web
from aiohttp.abc import AbstractAccessLogger

from .errors import ArchiveTooLarge, RunNotFound, ServiceError
from .links import names_of_query_path
from .request_keys import PINNED, USER
from .run_searches import BadSearch, json_line, search_query
from .run_views import PREVIOUS, RunsResource, parse_target
from .team_runs import LIST_LIMIT, MAX_LIST_LIMIT, OPENED_GRACE_SECONDS
from .triage_routes import WRITES as TRIAGE_WRITES
from .triage_routes import TriageRoutes

__all__ = ["NEEDS", "ServiceAccessLog", "build_application", "run_service"]

logger = logging.getLogger("tavix.log.commands.logs")

STATIC_DIR = os.path.join(os.path.dirname(os.path.dirname(__file__)), "static")
# What each route needs of its user; the rest (the runs' viewers) read.
NEEDS = {
    "static": "open", "healthz": "open", "readyz": "open", "login": "open", "login_page": "open",
    "push": "push", "delete_run": "admin",
    **{name: "triage" for name in TRIAGE_WRITES},
}
# Routes that answer a page a browser shows: without a session they send it to sign in.
PAGES = frozenset({"home", "run_link", "compare_link", "section_link", "run_opening", "index"})
# How often a search that has found nothing new looks whether its client is still there.
CLIENT_CHECK_SECONDS = 0.5
# How long SIGTERM lets the requests in flight finish.
TERM_SECONDS = 10.0
UPLOAD_BLOCK = 1 << 20

TEAM = web.AppKey("team", object)
STOPPING = web.AppKey("stopping", dict)


# ------------------------------------------------------------------ answers
def _json(body, status=200):
    return web.json_response(body, status=status, dumps=lambda value: json.dumps(value, ensure_ascii=False))


def _error(status, code, message):
    return _json({"detail": code, "message": message}, status)


def _limit(query):
    text = query.get("limit")
    if text is None:
        return LIST_LIMIT
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= MAX_LIST_LIMIT:
        raise web.HTTPBadRequest(text=json.dumps({"detail": "INVALID_QUERY",
                                                  "message": "limit is 1 to %d" % MAX_LIST_LIMIT}),
                                 content_type="application/json")
    return value


def _team(request):
    return request.config_dict[TEAM]


def _origin(request):
    return _team(request).links.origin(request)


# ------------------------------------------------------------------- routes
async def home(request):
    """GET /: every suite with its latest run and its trend; a suite's runs."""
    return web.FileResponse(os.path.join(STATIC_DIR, "home.html"))


async def healthz(request):
    """GET /healthz: the process answers."""
    return _json({"status": "alive"})


async def readyz(request):
    """GET /readyz: 200 when the run index and the store answer, else 503."""
    try:
        await _team(request).ready()
    except ServiceError as error:
        return _error(error.status, error.code, str(error))
    return _json({"status": "ready"})


async def list_runs(request):
    """GET /api/v1/runs?suite=&before=&limit=&text=: {"runs": [...], "next": link or null}.

    Runs newest first by start time, 50 a page (limit up to 500); before: a request id,
    listing the runs that started before it; text: runs whose request id or start time
    holds it, ignoring case."""
    query = request.query
    return _json(await _team(request).list_runs(
        _origin(request), suite=query.get("suite"), before=query.get("before"), limit=_limit(query),
        text=query.get("text") or None))


async def suites(request):
    """GET /api/v1/suites: {"suites": [{"suite_name", "runs", "latest", "trend"}, ...]}.

    "latest" is the newest run object; "trend" the last 30 runs oldest first,
    each {"request_id", "start_time", "pass_rate", "link"}."""
    return _json(await _team(request).suites(_origin(request)))


async def run_summary(request):
    """GET /api/v1/runs/{request_id}: {"request_id", "suite_name", "start_time",
    "summary", "new", "known", "flaky", "link"}."""
    return _json(await _team(request).run_object(_origin(request), request.match_info["request_id"]))


async def push(request):
    """POST /api/v1/runs: a run archive (zip) as the body.

    201 {"created": true, "run": the run object} for a new run, 200 with
    "created": false for one already stored; 409 for another archive of a
    request id already stored, 413 over the size limit, 422 for an archive
    that is no run or breaks a rule of opening archives, 507 when the store
    is full, 503 while the index cannot be reached."""
    team = _team(request)
    limit = team.intake.max_archive_size
    if request.content_length is not None and request.content_length > limit:
        raise ArchiveTooLarge("the archive is over the limit of %d bytes" % limit)
    answer, created = await team.push(_origin(request), request.content.iter_chunked(UPLOAD_BLOCK),
                                      request.content_length)
    return _json({"created": created, "run": answer}, 201 if created else 200)


async def search(request):
    """GET /api/v1/search?q=TEXT[&regex=1][&case=1][&suite=NAME][&since=DATE][&result=RESULT]:
    the lines of every stored run's task logs that hold TEXT, as JSON lines sent as they
    are found (application/x-ndjson).

    A hit is the line `tavix logs search --json` prints ({"path", "log_file", "line"
    (1-based, in the task log), "column", "text"}) with "request_id", "suite_name" and
    "link", the lasting link of its section at that line; runs newest first, a run's
    lines as `tavix logs search` prints them (its task logs in tree order, then by line). regex=1: TEXT is a regular expression; case=1:
    case matters (else it is folded as the viewer's search folds it); suite: that
    suite's runs only; since: runs started at or after an ISO date or date and time
    (UTC unless it names its zone); result: sections of that result only. A line
    {"notice": text} tells what the answer should be read with (a run searched the
    slow way, its index being rebuilt); {"error": {"detail", "message"}} ends an
    answer the search could not finish. 400 INVALID_QUERY for a query that cannot be
    run, before anything is sent. The search stops when the client leaves."""
    from tavix.log.commands.history import RunIndexError

    try:
        query = search_query(request.query)
    except BadSearch as error:
        return _error(400, "INVALID_QUERY", str(error))
    items = _team(request).searches.start(_origin(request), query)
    response = web.StreamResponse(headers={"Content-Type": "application/x-ndjson; charset=utf-8",
                                           "Cache-Control": "no-store"})
    try:
        await response.prepare(request)
        while True:
            try:
                found = await items.batch(CLIENT_CHECK_SECONDS)
            except (ServiceError, RunIndexError) as error:
                code = getattr(error, "code", "UNAVAILABLE")
                await response.write(json_line({"error": {"detail": code, "message": str(error)}}))
                break
            if found is None:
                if request.transport is None or request.transport.is_closing():
                    return response  # the client left
                continue
            if not found:
                break
            await response.write(b"".join(found))
        await response.write_eof()
    except ConnectionResetError:  # the client left while its lines were sent
        pass
    finally:
        items.close()
    return response


async def delete_run(request):
    """DELETE /api/v1/runs/{request_id}: removes a run from the index, the store and the cache."""
    await _team(request).delete(request.match_info["request_id"])
    return _json({"deleted": request.match_info["request_id"]})


async def section(request):
    """GET /api/v1/runs/{request_id}/sections?path=NAME/NAME/…|id=ID[&line=N|&offset=B]:
    {"id", "path", "link"} of a section (404 when none), with the id the run's routes take.

    path: the names as the run index names them ("#2" suffixes included), joined by "/",
    a "/" or "%" inside a name written %2F or %25. line (from 1) adds the byte "offset"
    of that line in the section's log, and the link points at it; offset adds the "line"
    that holds that byte."""
    query = request.query
    options = {}
    try:
        for name in ("line", "offset"):
            if name in query:
                options[name] = int(query[name])
                if options[name] < 0:
                    raise ValueError(name)
    except ValueError:
        return _error(400, "INVALID_QUERY", "line and offset are whole numbers")
    if "id" in query:
        options["section_id"] = query["id"]
    elif "path" in query:
        options["path"] = names_of_query_path(query["path"])
    else:
        return _error(400, "INVALID_QUERY", "give the section's path or id")
    try:
        answer = await _team(request).section(_origin(request), request.match_info["request_id"], **options)
    except LookupError:
        return _error(404, "SECTION_NOT_FOUND", "the run has no such section")
    return _json(answer)


async def gate(request):
    """GET /api/v1/runs/{request_id}/gate?fail_on=new|unmarked|any (default unmarked):
    {"fail_on", "failures": [{"path", "status", "result", "signature", "marks",
    "link"}], "passed": whether there are none}, as `tavix logs gate` decides."""
    from tavix.log.commands.history.definitions import GATE_KINDS

    fail_on = request.query.get("fail_on", "unmarked")
    if fail_on not in GATE_KINDS:
        return _error(400, "INVALID_QUERY", "fail_on is one of %s" % ", ".join(GATE_KINDS))
    return _json(await _team(request).gate(_origin(request), request.match_info["request_id"], fail_on))


class _ServiceTriage:
    """The service's source of the triage routes: the stored run the request
    names, written as the request's user."""

    def __init__(self, team):
        self.indexed = team.indexed
        self._team = team

    async def run_of(self, request):
        return await self._team.run(request.match_info["request_id"])

    def author(self, request):
        return request[USER].name


async def run_link(request):
    """GET /runs/{request_id}: the run's viewer."""
    raise web.HTTPFound(_raw_path(request) + "/result/")


async def compare_link(request):
    """GET /runs/{request_id}/compare/{base_request_id}: the run's viewer compared with that run."""
    raise web.HTTPFound(_raw_path(request) + "/result/")


def _raw_path(request):
    return request.rel_url.raw_path.rstrip("/")


async def section_link(request):
    """GET /runs/{request_id}/section/{path…}[?line=N]: the viewer opened at a
    section, by its path as the run index names it, each name one segment."""
    await _team(request).run(request.match_info["request_id"])
    return web.FileResponse(os.path.join(STATIC_DIR, "index.html"))


async def run_opening(request):
    """GET /runs/{request_id}/…: opens a stored run that is not open, then sends the
    browser to the same address, which its viewer now answers."""
    target = parse_target(request.rel_url.raw_path)
    if target is None or request.method not in ("GET", "HEAD"):
        raise web.HTTPNotFound()
    await _team(request).open_target(target)
    raise web.HTTPTemporaryRedirect(str(request.rel_url))


# -------------------------------------------------------------- middlewares
@web.middleware
async def answer_errors(request, handler):
    try:
        return await handler(request)
    except RunNotFound as error:
        if _wants_page(request):
            return web.Response(status=404, content_type="text/html",
                                text="<!doctype html><title>Not stored</title><p>%s</p>" % error.page_text)
        return _error(error.status, error.code, str(error))
    except ServiceError as error:
        return _error(error.status, error.code, str(error))


@web.middleware
async def requests_in_flight(request, handler):
    """Counts the requests being answered (SIGTERM waits for them), refuses new
    ones while stopping, and releases the runs a request pinned once its answer
    is sent: a file's bytes are read as it is sent."""
    stopping = request.config_dict[STOPPING]
    pinned = request.get(PINNED, ())
    if stopping["stopping"]:
        _release(request, pinned)
        return _error(503, "STOPPING", "the service is stopping")
    stopping["in_flight"] += 1
    response = None
    try:
        response = await handler(request)
        return response
    finally:
        stopping["in_flight"] -= 1
        if isinstance(response, web.FileResponse):
            # aiohttp opens the file once the handler is done: the run stays
            # a moment longer, for the file to be opened and sent from.
            asyncio.get_running_loop().call_later(OPENED_GRACE_SECONDS, _release, request, pinned)
        else:
            _release(request, pinned)
        if not stopping["in_flight"]:
            stopping["idle"].set()


def _release(request, pinned):
    team = _team(request)
    for entry in pinned:
        team.release(entry)


def _wants_page(request):
    """Whether a browser asks for a page to show (not a script or the front end for data)."""
    return _route_name(request) in PAGES and "text/html" in request.headers.get("Accept", "")


def _route_name(request):
    route = request.match_info.route
    return getattr(route, "name", None)


class ServiceAccessLog(AbstractAccessLogger):
    """One JSON line per request on standard error: {"time", "user", "method",
    "route", "status", "bytes", "ms"}."""

    def log(self, request, response, duration):
        user = request.get(USER)
        line = {"time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
                "user": getattr(user, "name", None), "method": request.method,
                "route": _route_of(request), "status": response.status,
                "bytes": response.body_length, "ms": round(duration * 1000, 1)}
        sys.stderr.write(json.dumps(line) + "\n")

    @property
    def enabled(self):
        return True


def _route_of(request):
    """The route's pattern, without names of runs or sections in it."""
    match_info = request.match_info
    route = match_info.route
    resource = getattr(route, "resource", None)
    pattern = resource.canonical if resource is not None else "(none)"
    if len(match_info.apps) > 1:  # a run's viewer
        target = parse_target(request.rel_url.raw_path)
        compared = target is not None and target.base_request_id is not PREVIOUS
        return "/runs/{request_id}" + ("/compare/{base_request_id}" if compared else "") + pattern
    return pattern


# --------------------------------------------------------------- assembling
def build_application(team, access):
    """The service's aiohttp application over `team` (a TeamRuns) and `access` (an Access)."""
    app = web.Application(middlewares=[requests_in_flight, answer_errors, access.middleware],
                          client_max_size=1 << 20)
    app[TEAM] = team
    app[STOPPING] = {"stopping": False, "in_flight": 0, "idle": asyncio.Event()}
    add = app.router.add_route
    add("GET", "/", home, name="home")
    add("GET", "/login", access.login_page, name="login_page")
    add("POST", "/login", access.login, name="login")
    add("GET", "/healthz", healthz, name="healthz")
    add("GET", "/readyz", readyz, name="readyz")
    add("GET", "/api/v1/runs", list_runs, name="list_runs")
    add("POST", "/api/v1/runs", push, name="push")
    add("GET", "/api/v1/suites", suites, name="suites")
    add("GET", "/api/v1/search", search, name="search")
    add("GET", "/api/v1/runs/{request_id}", run_summary, name="run_summary")
    add("DELETE", "/api/v1/runs/{request_id}", delete_run, name="delete_run")
    add("GET", "/api/v1/runs/{request_id}/sections", section, name="section")
    add("GET", "/api/v1/runs/{request_id}/gate", gate, name="gate")
    TriageRoutes(_ServiceTriage(team)).add_to(app.router, "/api/v1", "/runs/{request_id}/marks")
    add("GET", "/runs/{request_id}", run_link, name="run_link")
    add("GET", "/runs/{request_id}/compare/{base_request_id}", compare_link, name="compare_link")
    add("GET", "/runs/{request_id}/section/{path:.*}", section_link, name="section_link")
    app.router.register_resource(RunsResource(team.views))
    add("GET", "/runs/{tail:.+}", run_opening, name="run_opening")
    app.router.add_static("/", STATIC_DIR, name="static")
    app.on_shutdown.append(_close_team)
    return app


async def _close_team(app):
    await app[TEAM].close()


# ------------------------------------------------------------------ serving
def run_service(settings):
    """Serves until SIGINT (at once) or SIGTERM (requests in flight finish first, within 10 s)."""
    asyncio.run(_serve(settings))


async def _serve(settings):
    from .retention import keep_up
    from .startup import start_team

    team, access, address = await start_team(settings)
    app = build_application(team, access)
    # The access log class writes its own lines: never aiohttp's, which hold query strings.
    runner = web.AppRunner(app, handle_signals=False, access_log_class=ServiceAccessLog,
                           access_log=logging.getLogger("tavix.log.commands.service.access"),
                           handler_cancellation=True, shutdown_timeout=TERM_SECONDS)
    await runner.setup()
    stop = asyncio.Event()
    how = {}
    loop = asyncio.get_running_loop()
    for number, graceful in ((signal.SIGINT, False), (signal.SIGTERM, True)):
        loop.add_signal_handler(number, lambda g=graceful: (how.setdefault("graceful", g), stop.set()))
    watcher = upkeep = None
    try:
        site = web.TCPSite(runner, settings.host, settings.port)
        await site.start()
        logger.info("Serving the team's runs at:\n    %s\nPress Ctrl-C to stop", address(runner))
        if settings.watch:
            from .watch import Watcher

            watcher = asyncio.ensure_future(Watcher(settings.watch, team.intake).run())
        upkeep = asyncio.ensure_future(keep_up(team, settings.keep_days))
        await stop.wait()
        state = app[STOPPING]
        if how.get("graceful"):
            # New requests are refused from here; those in flight may finish.
            await site.stop()
            state["stopping"] = True
            if state["in_flight"]:
                state["idle"].clear()
                try:
                    await asyncio.wait_for(state["idle"].wait(), TERM_SECONDS)
                except asyncio.TimeoutError:
                    pass
        state["stopping"] = True
    finally:
        for task in (watcher, upkeep):
            if task is not None:
                task.cancel()
                await asyncio.gather(task, return_exceptions=True)
        await runner.cleanup()
        for number in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(number)
