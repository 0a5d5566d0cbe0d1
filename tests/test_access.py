"""The viewer's access token, Host check and sandboxed reports."""

import os
import re

import aiohttp
import pytest
from aiohttp import web

from tavix.log.commands.server import AccessGuard, LogViewerServer

Archive = pytest.importorskip("tavix.log.commands.archive").Archive

P = "/private/v1/standalone"
TOKEN = "Zt0k3n-for_tests"
OPEN_ROUTES = {"index", "static"}


@pytest.fixture
def archive(generated_run):
    with Archive(generated_run.path) as opened:
        with open(os.path.join(opened.dir, "summary.pdf"), "wb") as f:
            f.write(b"%PDF-1.4\n%%EOF\n")
        yield opened


async def answered_later(request):
    return web.json_response({"answered": True})


def guarded_server(archive, token=TOKEN, **kwargs):
    app = LogViewerServer(archive, access_token=token, access_hosts=["Viewer.Example"], **kwargs)
    # Routes are added under the prefix by other parts of the viewer; the
    # guard must cover them without knowing them.
    app.router.add_get(P + "/added/{name}", answered_later, name="added")
    return app


@pytest.fixture
async def client(aiohttp_client, archive):
    return await aiohttp_client(guarded_server(archive))


def sample_path(canonical):
    """A path that the route pattern `canonical` matches: each variable becomes "a.html"."""
    out, depth = [], 0
    for char in canonical:
        if char == "{":
            if depth == 0:
                out.append("a.html")
            depth += 1
        elif char == "}":
            depth -= 1
        elif depth == 0:
            out.append(char)
    return "".join(out)


def guarded_paths(app):
    paths = [sample_path(resource.canonical) for resource in app.router.resources()
             if resource.name not in OPEN_ROUTES]
    assert P + "/metadata" in paths and "/result/archive/a.html" in paths and P + "/added/a.html" in paths
    return paths + [P, P + "/no/such/route"]


async def expect_denied(response):
    assert response.status == 403
    assert response.headers["Access-Control-Allow-Origin"] == "*"
    assert await response.json() == {"detail": "ACCESS_DENIED"}


def bearer(token):
    return {"Authorization": "Bearer " + token}


# What a browser says of a request made by the viewer's own page.
OWN = {"Sec-Fetch-Site": "same-origin"}
COOKIE_NAME = "tavix_viewer_" + __import__("hashlib").sha256(TOKEN.encode()).hexdigest()[:16]


async def traded_cookie(client, token=TOKEN):
    response = await client.get("/result?token=" + token, allow_redirects=False)
    assert response.status == 302
    return response.cookies[COOKIE_NAME if token == TOKEN else next(iter(response.cookies))]


async def test_every_route_but_the_open_ones_needs_the_token(client):
    paths = guarded_paths(client.server.app)
    for path in paths:
        await expect_denied(await client.get(path))
        assert (await client.get(path, headers=bearer(TOKEN))).status != 403, path
    # The entry page and the front end's files need nothing.
    for path in ["/result", "/result/task/0/section/3", "/result/archive/notes.txt", "/app.js"]:
        assert (await client.get(path)).status == 200, path


async def test_the_entry_page_trades_the_token_for_a_cookie(client):
    await expect_denied(await client.get(P + "/metadata"))
    response = await client.get("/result/task/0/section/3?view=log&token=" + TOKEN + "&line=7",
                                allow_redirects=False)
    assert response.status == 302
    assert response.headers["Location"] == "/result/task/0/section/3?view=log&line=7"
    assert response.headers["Access-Control-Allow-Origin"] == "*"
    cookie = response.cookies.popitem()[1]
    assert cookie.key == COOKIE_NAME
    # It holds a secret of its own, which tells nothing of the token, and expires.
    assert TOKEN not in cookie.value and re.fullmatch(r"\d+\.[0-9a-f]{64}", cookie.value)
    assert cookie["max-age"] == str(24 * 3600)
    assert cookie["httponly"] and cookie["samesite"] == "Strict" and cookie["path"] == "/"

    # The cookie now opens every route to the viewer's own pages and to the
    # user's typed addresses: the metadata, a report, a deep link.
    assert (await client.get(P + "/metadata", headers=OWN)).status == 200
    assert (await client.get("/result/archive/report.html", headers={"Sec-Fetch-Site": "none"})).status == 200
    # Pages of other sites (another port of localhost is the same site), and
    # clients that do not say where a request comes from, need the header.
    for site in ["same-site", "cross-site", "", "Same-Origin"]:
        await expect_denied(await client.get(P + "/metadata", headers={"Sec-Fetch-Site": site}))
    await expect_denied(await client.get(P + "/metadata"))
    landed = await client.get("/result?token=" + TOKEN)
    assert landed.status == 200 and str(landed.url).endswith("/result")


async def test_wrong_tokens_are_refused(client):
    wrong = [TOKEN + "x", TOKEN[:-1], TOKEN[:-1] + "Y", "", TOKEN.upper(), "é" * len(TOKEN)]
    for token in wrong:
        await expect_denied(await client.get(P + "/summary", headers=bearer(token)))
    for header in ["Basic " + TOKEN, TOKEN, "Bearer"]:
        await expect_denied(await client.get(P + "/summary", headers={"Authorization": header}))
    assert (await client.get(P + "/summary", headers={"Authorization": "bearer  " + TOKEN})).status == 200
    # The token in the query string opens the entry page only.
    await expect_denied(await client.get(P + "/summary?token=" + TOKEN))

    # A wrong token at the entry page: the page, but no cookie.
    response = await client.get("/result?token=" + TOKEN[:-1], allow_redirects=False)
    assert response.status == 200 and not response.cookies
    await expect_denied(await client.get(P + "/summary", headers=OWN))
    # Cookies of the right name with a wrong value: the token itself (as
    # earlier versions set it), a changed secret, a secret that has expired.
    secret = (await traded_cookie(client)).value
    client.session.cookie_jar.clear()
    issued, mac = secret.split(".")
    old = int(issued) - 24 * 3600
    for value in [TOKEN, secret[:-1] + ("0" if secret[-1] != "0" else "1"), f"{int(issued) + 1}.{mac}",
                  f"{old}.{mac}", "." + mac, issued]:
        await expect_denied(await client.get(P + "/summary", headers={"Cookie": f"{COOKIE_NAME}={value}", **OWN}))
    name = COOKIE_NAME
    # The cookie among the others a browser sends to this host.
    for header, status in [(f"a=1; {name}={secret}; z=2", 200), (f'{name}="{secret}"', 200),
                           (f"a={name}; {name}x={secret}; x{name}={secret}", 403),
                           (f"{name}=; {name}", 403)]:
        response = await client.get(P + "/summary", headers={"Cookie": header, **OWN})
        assert response.status == status, header


async def test_requests_for_foreign_hosts_are_refused(client):
    port = client.server.port
    for host in ["rebound.example.com", "rebound.example.com:%d" % port, "localhost.example",
                 "127.0.0.2", "[::2]:%d" % port, "viewer.example.evil"]:
        for path in [P + "/metadata", "/result", "/app.js"]:
            await expect_denied(await client.get(path, headers={"Host": host, **bearer(TOKEN)}))
    for host in ["localhost:%d" % port, "LocalHost", "127.0.0.1", "[::1]:%d" % port,
                 "viewer.example", "VIEWER.example:80"]:
        response = await client.get(P + "/metadata", headers={"Host": host, **bearer(TOKEN)})
        assert response.status == 200, host


async def test_reports_are_sandboxed_and_pdfs_unchanged(aiohttp_client, archive):
    guarded = await aiohttp_client(guarded_server(archive))
    report = await guarded.get("/result/archive/report.html", headers=bearer(TOKEN))
    assert report.headers["Content-Security-Policy"] == "sandbox allow-scripts allow-popups"
    assert report.headers["Access-Control-Allow-Origin"] == "*"
    pdf = await guarded.get("/result/archive/summary.pdf", headers=bearer(TOKEN))
    assert pdf.status == 200 and "Content-Security-Policy" not in pdf.headers

    plain = await aiohttp_client(LogViewerServer(archive))
    assert "Content-Security-Policy" not in (await plain.get("/result/archive/report.html")).headers


async def test_without_a_token_nothing_changes(aiohttp_client, archive):
    app = LogViewerServer(archive)
    assert app.access_token is None and not any(isinstance(m, AccessGuard) for m in app.middlewares)
    client = await aiohttp_client(app)
    response = await client.get("/result?token=anything", allow_redirects=False)
    assert response.status == 200 and not response.cookies
    for headers in [{}, {"Host": "rebound.example.com"}]:
        response = await client.get(P + "/metadata", headers=headers)
        assert response.status == 200 and response.headers["Access-Control-Allow-Origin"] == "*"


async def test_viewers_of_several_runs_in_one_browser(aiohttp_server, archive):
    # Cookies do not tell ports apart: each viewer must keep its own.
    servers = [await aiohttp_server(guarded_server(archive, token=TOKEN + str(i))) for i in range(2)]
    async with aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True)) as browser:
        for i, server in enumerate(servers):
            await browser.get(server.make_url("/result?token=%s%d" % (TOKEN, i)))
        for server in servers:
            async with browser.get(server.make_url(P + "/archive_name"), headers=OWN) as response:
                assert response.status == 200


async def test_the_guard_comes_first_and_checks_its_token(aiohttp_client, archive):
    seen = []

    @web.middleware
    async def callers(request, handler):
        seen.append(request.path)
        return await handler(request)

    client = await aiohttp_client(guarded_server(archive, middlewares=[callers]))
    assert isinstance(client.server.app.middlewares[0], AccessGuard)
    await expect_denied(await client.get(P + "/tasks"))
    assert seen == []
    assert (await client.get(P + "/tasks", headers=bearer(TOKEN))).status == 200
    assert seen == [P + "/tasks"]
    for token in ["", 42, b"bytes"]:
        with pytest.raises(ValueError, match="access_token"):
            LogViewerServer(archive, access_token=token)
    with pytest.raises(TypeError):
        LogViewerServer(archive, 100, P, TOKEN)  # the token is given by name only


async def test_the_address_connected_to_names_this_machine(aiohttp_server, archive):
    # A server on all interfaces is reached by any of its addresses: the one a
    # connection came in on is accepted as its Host, another one is not.
    server = await aiohttp_server(guarded_server(archive), host="127.0.0.2")
    async with aiohttp.ClientSession(headers=bearer(TOKEN)) as session:
        for host, status in [("127.0.0.2:%d" % server.port, 200), ("127.0.0.3", 403)]:
            async with session.get(server.make_url(P + "/summary"), headers={"Host": host}) as answer:
                assert answer.status == status, host


async def test_the_entry_page_clears_the_cookies_of_viewers_long_gone(client):
    now = int(__import__("time").time())
    others = {f"tavix_viewer_{i:016x}": f"{now - i}.{'ab' * 32}" for i in range(12)}
    others["tavix_viewer_earlier"] = "a-token-as-earlier-versions-kept-it"
    others["unrelated"] = "kept"
    header = "; ".join(f"{name}={value}" for name, value in others.items())
    for path in ["/result", "/result?token=" + TOKEN]:
        response = await client.get(path, headers={"Cookie": header}, allow_redirects=False)
        cleared = {name for name, morsel in response.cookies.items() if morsel["max-age"] == "0"}
        # The eight most recently issued stay, for viewers open side by side.
        assert cleared == {f"tavix_viewer_{i:016x}" for i in range(8, 12)} | {"tavix_viewer_earlier"}, path
        assert all(response.cookies[name]["path"] == "/" for name in cleared)
    # Its own cookie is never cleared; nothing is cleared when nothing is stale.
    response = await client.get("/result", headers={"Cookie": f"{COOKIE_NAME}=x; tavix_viewer_1={now}.ab"})
    assert response.status == 200 and not response.cookies


async def test_two_hundred_earlier_runs_do_not_break_the_entry_page(client):
    # What a browser sends after 200 runs of earlier versions: each left a
    # session cookie holding its token.
    header = "; ".join("tavix_viewer_%016x=%s" % (i, "t" * 43) for i in range(200))
    assert len(header) > 8190
    import asyncio

    reader, writer = await asyncio.open_connection(client.server.host, client.server.port)
    writer.write(f"GET /result?token={TOKEN} HTTP/1.1\r\nHost: localhost\r\nCookie: {header}\r\n"
                 "Connection: close\r\n\r\n".encode())
    head = (await reader.read()).partition(b"\r\n\r\n")[0].decode()
    writer.close()
    assert head.startswith("HTTP/1.1 302")
    cleared = re.findall(r"Set-Cookie: (tavix_viewer_[0-9a-f]{16})=.*Max-Age=0", head)
    assert len(set(cleared)) == 200


async def test_malformed_requests_print_nothing(client, caplog):
    import asyncio
    import logging

    caplog.set_level(logging.INFO)
    for request in [b"GET /result HTTP/1.1\r\nHost: localhost\r\nBad Header\r\n\r\n",
                    b"GET /result HTTP/1.1\r\nHost: localhost\r\nX: " + b"x" * 40000 + b"\r\n\r\n",
                    b"GET /\x01 HTTP/1.1\r\n\r\n", b"\x16\x03\x01 hello\r\n\r\n",
                    b"GET /result HTTP/9.9\r\nContent-Length: -1\r\n\r\n"]:
        reader, writer = await asyncio.open_connection(client.server.host, client.server.port)
        writer.write(request)
        await writer.drain()
        assert re.match(rb"HTTP/1.[01] 4", await reader.read())
        writer.close()
    # aiohttp's own loggers print from WARNING on under `logs view`.
    assert [r for r in caplog.records if r.levelno >= logging.INFO and not r.name.startswith("aiohttp.")] == []
    assert [r for r in caplog.records if r.levelno >= logging.WARNING] == []
    # At debug level they are still told.
    caplog.set_level(logging.DEBUG)
    reader, writer = await asyncio.open_connection(client.server.host, client.server.port)
    writer.write(b"GET /result HTTP/1.1\r\nBad Header\r\n\r\n")
    await reader.read()
    writer.close()
    assert any(r.name == "tavix.log.commands.server.requests" and r.levelno == logging.DEBUG
               for r in caplog.records)
