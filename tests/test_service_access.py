"""Access to the team service: keys with roles, browser sessions, a sign-in
proxy, cross-site writes, and the keys and users commands."""
import hashlib
import logging
import time

import pytest
import sqlalchemy

from tavix.cli.main import main
from tavix.log.commands.history import RunIndex, index_url as resolve_url
from tavix.log.commands.history import schema
from tavix.log.commands.service import access as access_module
from tavix.log.commands.service.access import Access
from tavix.log.commands.service.key_commands import KeysSubcommand, UsersSubcommand

from helpers.access_apps import NEEDS, ROUTES, tiny_app

ALLOWED = {"viewer": {"runs"}, "pusher": {"runs", "push"}, "triager": {"runs", "triage"},
           "admin": {"runs", "push", "triage", "delete"}}
SAME_ORIGIN = {"Sec-Fetch-Site": "same-origin"}
PAGE = {"Accept": "text/html,application/xhtml+xml", "Sec-Fetch-Dest": "document"}


@pytest.fixture
def index(tmp_path):
    with RunIndex(resolve_url(str(tmp_path / "index.sqlite"))) as opened:
        yield opened


@pytest.fixture
def keys(index):
    """A key of each role, by role."""
    return {role: index.create_key(role + "-key", role) for role in ALLOWED}


@pytest.fixture
def serve(aiohttp_client, index):
    """serve(mode, **keywords): a test client of the tiny app under Access(mode, index, ...)."""
    async def serving(mode="token", **keywords):
        keywords.setdefault("cache_seconds", 0)
        return await aiohttp_client(tiny_app(Access(mode, index, needs=NEEDS, **keywords)))
    return serving


def bearer(key):
    return {"Authorization": "Bearer " + key}


async def call(client, route, headers=None):
    method, path = ROUTES[route]
    response = await client.request(method, path, headers=headers or {}, allow_redirects=False)
    return response.status, await response.read()


async def sign_in(client, key, next_="/page", headers=SAME_ORIGIN, keep=False):
    """POST /login; the client keeps the cookie only when `keep` (tests send it themselves)."""
    response = await client.post("/login", data={"key": key, "next": next_}, headers=headers, allow_redirects=False)
    if not keep:
        client.session.cookie_jar.clear()
    return response


# ------------------------------------------------------------------ tokens

async def test_each_role_gets_its_routes_and_no_others(serve, keys, index):
    client = await serve(launch_key="the-launch-key")
    for role, key in keys.items():
        for route in ROUTES:
            status, body = await call(client, route, bearer(key))
            if route in ALLOWED[role]:
                assert status == 200 and body == b'{"name": "%s-key", "role": "%s"}' % (role.encode(), role.encode())
            else:
                assert (status, body) == (403, b'{"detail": "FORBIDDEN"}'), (role, route)
    # The launch key is an administrator's; open and unnamed routes need nothing.
    assert [(await call(client, route, bearer("the-launch-key")))[0] for route in ROUTES] == [200] * 4
    assert (await client.get("/healthz")).status == 200 and (await client.get("/unnamed")).status == 200


async def test_no_unknown_and_revoked_keys_get_the_same_answer(serve, keys, index):
    client = await serve()
    index.revoke_key("viewer-key")
    answers = [await call(client, "runs", headers) for headers in (
        {}, bearer(keys["viewer"]), bearer("tvx_" + "A" * 43), bearer("nonsense"), {"Authorization": "Bearer "},
        {"Authorization": "Basic " + keys["admin"]})]
    assert answers == [(401, b'{"detail": "UNAUTHORIZED"}')] * len(answers)
    response = await client.get("/api/runs", headers=bearer("x"))
    assert response.headers["WWW-Authenticate"].startswith("Bearer")


async def test_lookups_are_kept_briefly(serve, keys, index, monkeypatch):
    asked = []
    looked_up = index.key_identity
    monkeypatch.setattr(index, "key_identity", lambda key: asked.append(1) or looked_up(key))
    kept, fresh = await serve(cache_seconds=60), await serve(cache_seconds=0)
    for _ in range(3):
        assert (await call(kept, "runs", bearer(keys["viewer"])))[0] == 200
    assert len(asked) == 1
    index.revoke_key("viewer-key")
    assert (await call(kept, "runs", bearer(keys["viewer"])))[0] == 200
    assert (await call(fresh, "runs", bearer(keys["viewer"])))[0] == 401


async def test_keys_are_hashed_at_rest(index_url):
    with RunIndex(resolve_url(index_url)) as index:
        key = index.create_key("ci", "pusher")
        assert key.startswith("tvx_") and len(key) == 4 + 43
        with index.engine.connect() as connection:
            rows = [tuple(row) for row in connection.execute(sqlalchemy.select(schema.keys)).all()]
        assert len(rows) == 1 and not any(key in str(value) for value in rows[0])
        assert hashlib.sha256(key.encode()).hexdigest() in rows[0]
        assert index.key_identity(key) == ("ci", "pusher") and index.key_identity(key[:-1] + "?") is None
        with pytest.raises(ValueError, match="exists already"):
            index.create_key("ci", "viewer")
        with pytest.raises(ValueError, match="role"):
            index.create_key("other", "root")
        with pytest.raises(ValueError, match="printable"):
            index.create_key("two\nlines", "viewer")
        assert index.revoke_key("ci") is True and index.revoke_key("ci") is False
        assert index.key_identity(key) is None
        [listed] = index.keys()
        assert (listed["name"], listed["role"]) == ("ci", "pusher") and listed["revoked"] >= listed["created"]


# ---------------------------------------------------------------- browsers

async def test_a_page_without_session_goes_to_sign_in_and_comes_back(serve, keys):
    client = await serve()
    response = await client.get("/page?x=1&y=2", headers=PAGE, allow_redirects=False)
    assert response.status == 303 and response.headers["Location"] == "/login?next=/page?x%3D1%26y%3D2"
    # A script's request is told, not sent away.
    assert (await client.get("/page")).status == 401
    login = await client.get("/login?next=/page")
    assert login.status == 200 and 'name="key"' in await login.text() and 'type="password"' in await login.text()
    refused = await sign_in(client, "tvx_wrong")
    assert (refused.status, await refused.read()) == (401, b'{"detail": "UNAUTHORIZED"}')
    assert "Set-Cookie" not in refused.headers
    signed = await sign_in(client, keys["viewer"], next_="/page?x=1", keep=True)
    assert signed.status == 303 and signed.headers["Location"] == "/page?x=1"
    cookie = signed.cookies["tavix_session"]
    assert cookie["httponly"] and cookie["samesite"] == "Lax" and cookie["path"] == "/"
    assert keys["viewer"] not in cookie.value
    response = await client.get("/page", headers=PAGE)
    assert response.status == 200 and await response.text() == "<p>viewer-key</p>"
    # Only a path of this service comes after signing in.
    for elsewhere in ("//evil.example/x", "https://evil.example/", "/\\evil.example", "page", "/a\r\nSet-Cookie: x"):
        assert (await sign_in(client, keys["viewer"], next_=elsewhere)).headers["Location"] == "/"


async def test_a_session_ends_with_its_key_and_cannot_be_forged(serve, keys, index, tmp_path):
    client = await serve()
    signed = await sign_in(client, keys["viewer"])
    value = signed.cookies["tavix_session"].value
    kind, name, until, mac = value.split(".")
    admin_name = access_module._encoded("admin-key")
    with_cookie = {"Cookie": "tavix_session=" + value}
    assert (await call(client, "runs", with_cookie))[0] == 200
    for forged in (".".join([kind, admin_name, until, mac]), ".".join([kind, name, str(int(until) + 1), mac]),
                   ".".join(["l", name, until, mac]), value[:-1] + ("0" if value[-1] != "0" else "1"), "x", "é.é.é.é"):
        answer = await call(client, "runs", {"Cookie": "tavix_session=" + forged})
        assert answer == (401, b'{"detail": "UNAUTHORIZED"}'), forged
    # Expired, or signed by another index's secret.
    access = Access("token", index)
    past = await access._session("k", "viewer-key", int(time.time()) - 1)
    assert (await call(client, "runs", {"Cookie": "tavix_session=" + past}))[0] == 401
    elsewhere = Access("token", RunIndex(resolve_url(str(tmp_path / "other.sqlite"))))
    foreign = await elsewhere._session("k", "viewer-key", int(until))
    assert (await call(client, "runs", {"Cookie": "tavix_session=" + foreign}))[0] == 401
    index.revoke_key("viewer-key")
    assert await call(client, "runs", with_cookie) == (401, b'{"detail": "UNAUTHORIZED"}')
    assert (await client.get("/page", headers={**PAGE, **with_cookie}, allow_redirects=False)).status == 303


async def test_a_launch_session_ends_with_its_process(serve, index):
    client = await serve(launch_key="first-launch")
    signed = await sign_in(client, "first-launch", next_="/api/runs")
    cookie = {"Cookie": "tavix_session=" + signed.cookies["tavix_session"].value}
    assert await call(client, "delete", {**cookie, **SAME_ORIGIN}) == (200, b'{"name": "launch", "role": "admin"}')
    restarted = await serve(launch_key="second-launch")
    assert (await call(restarted, "runs", cookie))[0] == 401
    assert (await call(await serve(), "runs", cookie))[0] == 401


async def test_the_printed_address_signs_in_with_the_launch_key_and_drops_it(serve):
    client = await serve(launch_key="launch-key-1")
    entry = await client.get("/page?a=1&token=launch-key-1", allow_redirects=False)
    assert entry.status == 303 and entry.headers["Location"] == "/page?a=1"
    cookie = {"Cookie": "tavix_session=" + entry.cookies["tavix_session"].value}
    client.session.cookie_jar.clear()
    assert await call(client, "runs", cookie) == (200, b'{"name": "launch", "role": "admin"}')
    wrong = await client.get("/page?token=launch-key-2", allow_redirects=False)
    assert wrong.status == 303 and wrong.headers["Location"] == "/page" and "tavix_session" not in wrong.cookies


async def test_writes_with_a_cookie_come_from_the_service_own_pages_only(serve, keys):
    client = await serve()
    signed = await sign_in(client, keys["pusher"])
    cookie = {"Cookie": "tavix_session=" + signed.cookies["tavix_session"].value}
    own = "http://%s:%d" % (client.host, client.port)
    refused = [{"Sec-Fetch-Site": "cross-site"}, {"Sec-Fetch-Site": "same-site", "Origin": own},
               {"Origin": "http://evil.example"}, {"Origin": "null"}, {}]
    for headers in refused:
        assert await call(client, "push", {**cookie, **headers}) == (403, b'{"detail": "FORBIDDEN"}'), headers
    for headers in ({"Sec-Fetch-Site": "same-origin"}, {"Sec-Fetch-Site": "none"}, {"Origin": own}):
        assert (await call(client, "push", {**cookie, **headers}))[0] == 200, headers
    # Reads are fine from anywhere; so is a bearer key's write.
    assert (await call(client, "runs", {**cookie, "Sec-Fetch-Site": "cross-site"}))[0] == 200
    assert (await call(client, "push", {**bearer(keys["pusher"]), "Sec-Fetch-Site": "cross-site"}))[0] == 200
    # Nor can another site sign the browser in with a key of its own.
    assert (await sign_in(client, keys["admin"], headers={"Sec-Fetch-Site": "cross-site"})).status == 403


async def test_without_access_control_everyone_administers_but_no_site_writes_across(serve):
    client = await serve("none")
    assert await call(client, "delete") == (200, b'{"name": "anonymous", "role": "admin"}')
    assert (await call(client, "delete", {"Sec-Fetch-Site": "cross-site"}))[0] == 403
    response = await client.get("/login?next=/page", allow_redirects=False)
    assert response.status == 303 and response.headers["Location"] == "/page"


# ------------------------------------------------------------------- proxy

async def test_a_proxy_names_the_user_from_its_own_address_only(serve, index):
    index.set_user("ada", "admin")
    client = await serve("proxy", trusted_proxies=["127.0.0.1"], user_header="X-Forwarded-User")
    assert await call(client, "delete", {"X-Forwarded-User": "ada"}) == (200, b'{"name": "ada", "role": "admin"}')
    # Unrecorded users read.
    assert await call(client, "runs", {"X-Forwarded-User": "bob"}) == (200, b'{"name": "bob", "role": "viewer"}')
    assert (await call(client, "push", {"X-Forwarded-User": "bob"}))[0] == 403
    for headers in ({}, {"X-Forwarded-User": ""}, {"X-Forwarded-User": "a" * 300}):
        assert (await call(client, "runs", headers))[0] == 401
    # Writes through the proxy follow the browser's word on where they come from.
    assert (await call(client, "delete", {"X-Forwarded-User": "ada", "Sec-Fetch-Site": "cross-site"}))[0] == 403
    elsewhere = await serve("proxy", trusted_proxies=["10.0.0.0/8"], user_header="X-Forwarded-User")
    assert await call(elsewhere, "runs", {"X-Forwarded-User": "ada"}) == (403, b'{"detail": "FORBIDDEN"}')
    assert (await elsewhere.get("/healthz")).status == 200
    with pytest.raises(ValueError):
        Access("proxy", index, user_header="X-Forwarded-User")
    with pytest.raises(ValueError):
        Access("token", index, needs={"runs": "write"})


async def test_an_index_that_cannot_be_used_is_unavailable(aiohttp_client, tmp_path):
    index = RunIndex("postgresql+psycopg://nobody@/runs?host=%s" % tmp_path)
    client = await aiohttp_client(tiny_app(Access("token", index, needs=NEEDS)))
    response = await client.get("/api/runs", headers=bearer("tvx_whatever"))
    assert response.status == 503 and (await response.json())["detail"] == "UNAVAILABLE"
    assert "nobody" not in await response.text()


async def test_a_key_is_never_logged_nor_echoed(serve, keys, index, caplog):
    caplog.set_level(logging.DEBUG)
    client = await serve(launch_key="launch-secret")
    index.revoke_key("triager-key")
    seen = []
    for key in (keys["viewer"], keys["triager"], "launch-secret", "tvx_guess"):
        signed = await sign_in(client, key, next_="/page")
        seen += [str(signed.headers), await signed.text()]
        for route in ROUTES:
            response = await client.request(ROUTES[route][0], ROUTES[route][1], headers=bearer(key))
            seen += [str(response.headers), await response.text()]
    text = caplog.text + "".join(seen)
    assert not any(key in text for key in (keys["viewer"], keys["triager"], "launch-secret", "tvx_guess"))


# ---------------------------------------------------------------- commands

@pytest.fixture
def logs_commands(monkeypatch):
    """`tavix logs keys` and `tavix logs users` in the tool."""
    from tavix.log.commands.logs import LogsCommand

    present = list(LogsCommand.SUBCOMMANDS)
    monkeypatch.setattr(LogsCommand, "SUBCOMMANDS",
                        present + [c for c in (KeysSubcommand, UsersSubcommand) if c not in present])


def tavix(capsys, *words):
    status = main(["logs", *words])
    out, err = capsys.readouterr()
    return status, out, err


def test_keys_and_users_commands(logs_commands, tmp_path, capsys, monkeypatch):
    url = str(tmp_path / "index.sqlite")
    status, out, err = tavix(capsys, "keys", "create", "--name", "nightly CI", "--role", "pusher", "--index", url)
    key = out.splitlines()[-1]
    assert (status, err) == (0, "") and key.startswith("tvx_") and out.count(key) == 1
    with RunIndex(resolve_url(url)) as index:
        assert index.key_identity(key) == ("nightly CI", "pusher")
    # --index before the subcommand, or from the environment.
    assert tavix(capsys, "keys", "--index", url, "create", "--name", "laptop", "--role", "viewer")[0] == 0
    monkeypatch.setenv("TAVIX_INDEX", url)
    status, out, err = tavix(capsys, "keys", "list")
    lines = out.splitlines()
    assert status == 0 and lines[0].split() == ["Name", "Role", "Created", "Revoked"] and key not in out
    assert [line.split()[-3] for line in lines[2:]] == ["pusher", "viewer"] and lines[2].startswith("nightly CI")
    assert [line.split()[-1] for line in lines[2:]] == ["-", "-"]
    assert tavix(capsys, "keys", "revoke", "laptop")[0] == 0
    assert tavix(capsys, "keys", "list")[1].splitlines()[-1].split()[-1].endswith("Z")
    status, out, err = tavix(capsys, "keys", "revoke", "laptop")
    assert status == 1 and err == "tavix: error: no key in use is named laptop\n"
    status, out, err = tavix(capsys, "keys", "create", "--name", "laptop", "--role", "viewer")
    assert status == 1 and "exists already" in err and "Traceback" not in err
    with pytest.raises(SystemExit):
        main(["logs", "keys", "create", "--name", "x", "--role", "root"])
    assert "invalid choice: 'root'" in capsys.readouterr().err
    assert tavix(capsys, "users", "list")[1].startswith("No users recorded")
    assert tavix(capsys, "users", "set", "ada", "--role", "triager")[0] == 0
    assert tavix(capsys, "users", "set", "ada", "--role", "admin")[0] == 0
    assert tavix(capsys, "users", "list")[1].splitlines()[2:] == ["ada   admin"]
