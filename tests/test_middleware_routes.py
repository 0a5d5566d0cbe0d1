"""A caller's middleware sees every route's answer before it is sent."""
import pytest
from aiohttp import web

from tavix.log.commands.archive import Archive
from tavix.log.commands.history.viewer import history_for_viewer
from tavix.log.commands.server import LogViewerServer
from helpers import archives

P = "/private/v1/standalone"


@pytest.fixture(scope="module")
def info(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("generated") / "run.zip")
    return archives.generate_archive(path, log_bytes=200_000, sections=30, seed=5, failure_causes=True)


@web.middleware
async def stamp(request, handler):
    response = await handler(request)
    response.headers["X-Stamp"] = "seen"
    return response


def route_values(archive, info):
    """A value for each variable of the route patterns, naming something the run has."""
    with_commands = next(s for s in info.sections if s.section_type == "testcase" and info.executions_in(s))
    record = next(r for task in archive.results.scripts for r in task["sections"]
                  if r["sequence_number"] == with_commands.sequence_number)
    execution = archive.results.get_section(record["id"]).all_executions()[0]
    return {"section_uuid": record["id"], "execution_uuid": execution["execute_id"], "task": "0", "tail": "",
            "filename": {"htmlviewer": "report.html", "report": "report.html"}}


# Routes that answer only with a query.
QUERIES = {"job_search": "?q=a", "section_search": "?q=a", "line_query": "?text=a"}


def url_of(route, values):
    """The URL of `route` with `values` in its variables; an unknown variable fails the test."""
    resource = route.resource
    if isinstance(resource, web.StaticResource):
        return str(resource.url_for(filename="index.html"))
    info = resource.get_info()
    if "path" in info:
        return info["path"] + QUERIES.get(route.name, "")
    names = [name for name in resource._pattern.groupindex if not name.startswith("_")]
    filled = {}
    for name in names:
        value = values[name]
        if isinstance(value, dict):
            value = value.get(route.name, "README")
        filled[name] = value
    return str(resource.url_for(**filled)) + QUERIES.get(route.name, "")


async def answers(aiohttp_client, make_app, urls):
    client = await aiohttp_client(make_app())
    got = {}
    for name, (method, url) in urls.items():
        # A write gets a body that names no target: refused, and answered all the same.
        response = await client.request(method, url, **({} if method == "GET" else {"json": {}}))
        got[name] = (response.status, await response.read(), response.headers.get("X-Stamp"))
    return got


async def test_a_stamping_middleware_reaches_every_route(aiohttp_client, info, tmp_path):
    with Archive(info.path) as archive, Archive(info.path) as baseline:
        history = history_for_viewer(archive, str(tmp_path / "index.sqlite"))

        def make_app(**kwargs):
            return LogViewerServer(archive, 64, P, baseline=baseline, history=history, **kwargs)

        values = dict(route_values(archive, info), suite=history.run["suite_name"])
        routes = make_app().router.routes()
        urls = {route.name: (route.method, url_of(route, values)) for route in routes if route.method != "HEAD"}
        # Every route, the static files and the triage writes included, and nothing left out.
        assert set(urls) == {route.resource.name for route in routes}
        assert len(urls) == len([route for route in routes if route.method != "HEAD"])
        assert {"set_mark", "release_claim"} <= set(urls)
        assert "static" in urls and "logfile_sec" in urls
        plain = await answers(aiohttp_client, make_app, urls)
        stamped = await answers(aiohttp_client, lambda: make_app(middlewares=[stamp]), urls)
    assert {name: got[2] for name, got in stamped.items()} == {name: "seen" for name in urls}
    # The answers themselves are those served without the middleware.
    assert {name: got[:2] for name, got in stamped.items()} == {name: got[:2] for name, got in plain.items()}
    assert {name: got[0] for name, got in plain.items() if got[0] != 200} == {
        name: 400 for name, (method, _) in urls.items() if method != "GET"}
