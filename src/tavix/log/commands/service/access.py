"""Who may use the team service, and how they show it.

Modes: "none" lets everyone in as an administrator (one engineer on their
own machine); "token" takes an access key, from scripts as
`Authorization: Bearer KEY` and from browsers as a session cookie that
POST /login trades a key for; "proxy" takes the user that a sign-in proxy
names in a header, from the proxy's own address only. Each route needs
"open", "read", "push", "triage" or "admin", and a role grants some of them.

A key never goes into a log line, a link or an answer. A session holds the
name of its key and its expiry, signed with the index's service secret, so
that every service on one index accepts it and revoking the key ends it.
What the index says of keys and users is kept for CACHE_SECONDS, so that a
request does not wait on the index each time; a revoked key is refused
within that time.
"""
import asyncio
import base64
import binascii
import hashlib
import hmac
import ipaddress
import logging
import os
import time
from typing import NamedTuple, Optional
from urllib.parse import urlsplit

from aiohttp import web
from yarl import URL

from tavix.log.commands.history.access_records import ROLES, AccessRecordError, checked_name, key_hash
from tavix.log.commands.history.errors import RunIndexError

from .errors import Unavailable
from .request_keys import USER

logger = logging.getLogger("tavix.log.commands.service")

MODES = ("none", "token", "proxy")
NEEDS = ("open", "read", "push", "triage", "admin")
GRANTED = {
    "read": frozenset(ROLES),
    "push": frozenset({"pusher", "admin"}),
    "triage": frozenset({"triager", "admin"}),
    "admin": frozenset({"admin"}),
}
SESSION_COOKIE = "tavix_session"
SESSION_SECONDS = 7 * 24 * 60 * 60
CACHE_SECONDS = 2.0
# Answers kept at most; beyond, the expired ones go, else all, so that guessed keys cannot fill memory.
_CACHED_ANSWERS = 4096
LAUNCH_KEY_NAME = "launch"
# The query parameter of the address `serve` prints, which holds the launch key.
LAUNCH_PARAMETER = "token"
LOGIN_PAGE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "static", "login.html")
WRITES = frozenset({"POST", "PUT", "PATCH", "DELETE"})
_OWN_SITE = ("same-origin", "none")
# The kinds of session: of a key of the index, of the launch key.
_KEY_SESSION, _LAUNCH_SESSION = "k", "l"


class User(NamedTuple):
    name: str
    role: Optional[str]  # None: not signed in, on an open route


EVERYONE = User("anonymous", "admin")
ANONYMOUS = User("anonymous", None)


def _refusal(status):
    detail = "UNAUTHORIZED" if status == 401 else "FORBIDDEN"
    headers = {"Cache-Control": "no-store"}
    if status == 401:
        headers["WWW-Authenticate"] = 'Bearer realm="tavix"'
    return web.json_response({"detail": detail}, status=status, headers=headers)


def _see_other(location, **headers):
    return web.Response(status=303, headers={"Location": location, "Cache-Control": "no-store", **headers})


def _bearer(request):
    """The credentials of an `Authorization: Bearer ...` header; None without one."""
    scheme, _, credentials = request.headers.get("Authorization", "").strip().partition(" ")
    return credentials.strip() if scheme.lower() == "bearer" else None


def _wants_page(request):
    """A browser asking for a page to show, which a sign-in page can stand in for."""
    return request.method == "GET" and (request.headers.get("Sec-Fetch-Dest") == "document"
                                        or "text/html" in request.headers.get("Accept", ""))


def same_site_path(text):
    """`text` when it is a path of this service ("/runs/x?line=2"), else "/"."""
    if not isinstance(text, str) or not text.startswith("/") or text.startswith(("//", "/\\")) \
            or not (text.isascii() and text.isprintable()):
        return "/"
    parts = urlsplit(text)
    return text if not parts.scheme and not parts.netloc else "/"


def _encoded(name):
    return base64.urlsafe_b64encode(name.encode("utf-8")).decode("ascii").rstrip("=")


def _decoded(text):
    try:
        return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4)).decode("utf-8")
    except (binascii.Error, UnicodeDecodeError):
        return None


class _Recent:
    """Answers kept for a moment."""

    def __init__(self, seconds):
        self.seconds = seconds
        self._answers = {}

    def get(self, key):
        """(True, answer) while one is kept, else (False, None)."""
        kept = self._answers.get(key)
        if kept is not None and kept[0] > time.monotonic():
            return True, kept[1]
        return False, None

    def last(self, key):
        """(True, answer) of the last answer kept, however old, else (False, None)."""
        kept = self._answers.get(key)
        return (False, None) if kept is None else (True, kept[1])

    def put(self, key, answer):
        now = time.monotonic()
        if len(self._answers) >= _CACHED_ANSWERS:
            self._answers = {k: kept for k, kept in self._answers.items() if kept[0] > now}
            if len(self._answers) >= _CACHED_ANSWERS:
                self._answers.clear()
        self._answers[key] = (now + self.seconds, answer)


class Access:
    """Access(mode, index, *, trusted_proxies=(), user_header=None, launch_key=None,
    needs=None, public_url=None, cache_seconds=CACHE_SECONDS)

    mode: one of MODES. index: the RunIndex holding keys, users and the
    service secret (asked in worker threads). trusted_proxies: addresses or
    networks ("10.0.0.5", "10.1.0.0/16") of the sign-in proxies, and
    user_header the header naming the user (proxy mode). launch_key: a key
    of the process's own, an administrator's named LAUNCH_KEY_NAME, which
    only its hash is kept of. needs: route name -> one of NEEDS; routes not
    in it need "read", a route without a name (static files) is "open".
    public_url: the address browsers reach the service by, whose origin is
    the service's own besides the Host of each request.

    `middleware` sets request[USER] (a User) and refuses what the
    user may not do: 401 {"detail": "UNAUTHORIZED"} without a valid key or
    session (alike for unknown and revoked keys; a browser asking for a page
    is sent to /login?next=... instead), 403 {"detail": "FORBIDDEN"} for a
    role without the route's need, a proxy's user from another address, or
    a write (POST, PUT, PATCH, DELETE) from another site. Only a bearer key
    lets a write in from anywhere. In token mode, any address with
    ?token=LAUNCH_KEY (the one `serve` prints) signs the browser in as the
    launch key's and sends it to the same address without the key. `login`
    and `login_page` are the handlers of POST and GET /login; the app gives
    them the need "open".
    """

    def __init__(self, mode, index, *, trusted_proxies=(), user_header=None, launch_key=None, needs=None,
                 public_url=None, cache_seconds=CACHE_SECONDS):
        if mode not in MODES:
            raise ValueError("access is one of %s, not %r" % (", ".join(MODES), mode))
        self.mode, self.index = mode, index
        self._proxies = [ipaddress.ip_network(address.strip(), strict=False) for address in trusted_proxies]
        if mode == "proxy" and not (self._proxies and user_header):
            raise ValueError("proxy access needs the trusted proxies' addresses and the user header")
        self.user_header = user_header
        self._needs = dict(needs or {})
        wrong = {route: need for route, need in self._needs.items() if need not in NEEDS}
        if wrong:
            raise ValueError("a route needs one of %s: %r" % (", ".join(NEEDS), wrong))
        self._launch = None if launch_key is None else key_hash(launch_key)
        public = urlsplit(public_url) if public_url else None
        self._public_host = public.netloc.lower() if public else None
        self._secure_cookie = bool(public and public.scheme == "https")
        self._secret = None
        self._identities = _Recent(cache_seconds)  # key hash -> (name, role) or None
        self._key_roles = _Recent(cache_seconds)  # the roles of the keys in use, by name
        self._user_roles = _Recent(cache_seconds)  # proxy user -> recorded role or None

    def need(self, route_name):
        """What a route needs, by its name."""
        if route_name is None:
            return "open"
        return self._needs.get(route_name, "read")

    @web.middleware
    async def middleware(self, request, handler):
        need = self.need(request.match_info.route.name)
        request[USER] = EVERYONE if self.mode == "none" else ANONYMOUS
        if self.mode == "token" and LAUNCH_PARAMETER in request.query:
            return await self._launch_entry(request)
        if need == "open":
            return await handler(request)
        carried = None  # how the user showed who they are
        if self.mode == "none":
            user = EVERYONE
        elif self.mode == "proxy":
            if not self._from_trusted_proxy(request):
                return _refusal(403)
            user = await self._proxy_user(request)
        else:
            key = _bearer(request)
            if key is not None:
                carried, user = "bearer", await self._key_user(key)
            else:
                carried, user = "cookie", await self._session_user(request)
        if user is None:
            if carried == "cookie" and _wants_page(request):
                return _see_other(str(URL("/login").with_query(next=request.rel_url.raw_path_qs)))
            return _refusal(401)
        request[USER] = user
        if request.method in WRITES and carried != "bearer" and not self._same_origin(request, carried == "cookie"):
            return _refusal(403)
        if user.role not in GRANTED[need]:
            return _refusal(403)
        return await handler(request)

    # ------------------------------------------------------------- signing in
    async def login(self, request):
        """POST /login: the form's `key` for a session cookie, and 303 to its `next` (a path of this service)."""
        form = await request.post()
        target = same_site_path(form.get("next"))
        if self.mode != "token":
            return _see_other(target)
        # A page of another site could sign the browser in with a key of its choosing.
        if not self._same_origin(request, strict=False):
            return _refusal(403)
        key = form.get("key")
        key = key.strip() if isinstance(key, str) else ""
        user = await self._key_user(key) if key else None
        if user is None:
            return _refusal(401)
        kind = _LAUNCH_SESSION if self._is_launch_key(key) else _KEY_SESSION
        response = _see_other(target)
        self._set_session(request, response, await self._session(kind, user.name, int(time.time()) + SESSION_SECONDS))
        return response

    async def _launch_entry(self, request):
        """The address `serve` prints, with ?token=LAUNCH_KEY: a session of
        the launch key, and the same address without it, so that the key
        stays out of the address bar, the history and every later request."""
        url = request.rel_url
        response = _see_other(str(url.with_query([(k, v) for k, v in url.query.items() if k != LAUNCH_PARAMETER])))
        if request.method == "GET" and self._is_launch_key(request.query[LAUNCH_PARAMETER]):
            self._set_session(request, response, await self._session(
                _LAUNCH_SESSION, LAUNCH_KEY_NAME, int(time.time()) + SESSION_SECONDS))
        return response

    def _set_session(self, request, response, value):
        response.set_cookie(SESSION_COOKIE, value, max_age=SESSION_SECONDS, path="/", httponly=True,
                            samesite="Lax", secure=self._secure_cookie or request.secure or None)

    async def login_page(self, request):
        """GET /login: the sign-in form; in the modes without keys, the page asked for."""
        if self.mode != "token":
            return _see_other(same_site_path(request.query.get("next")))
        return web.FileResponse(LOGIN_PAGE, headers={"Cache-Control": "no-store"})

    # ---------------------------------------------------------------- checks
    def _same_origin(self, request, strict):
        """Whether a request comes from the service's own pages, as the browser
        says (Sec-Fetch-Site, else Origin). Without either header a request
        comes from no page; `strict` refuses it all the same."""
        site = request.headers.get("Sec-Fetch-Site")
        if site is not None:
            return site in _OWN_SITE
        origin = request.headers.get("Origin")
        if origin is None:
            return not strict
        host = urlsplit(origin).netloc.lower()
        return bool(host) and host in (request.host.lower(), self._public_host)

    def _from_trusted_proxy(self, request):
        try:
            peer = ipaddress.ip_address(request.remote or "")
        except ValueError:
            return False
        return any(peer in network for network in self._proxies)

    def _is_launch_key(self, key):
        return self._launch is not None and hmac.compare_digest(key_hash(key), self._launch)

    # --------------------------------------------------------- who they are
    async def _key_user(self, key):
        if self._is_launch_key(key):
            return User(LAUNCH_KEY_NAME, "admin")
        # Kept by its hash in place of the key.
        identity = await self._recall(self._identities, key_hash(key), self.index.key_identity, key)
        return None if identity is None else User(*identity)

    async def _session_user(self, request):
        value = request.cookies.get(SESSION_COOKIE)
        parts = value.split(".") if value else ()
        if len(parts) != 4:
            return None
        kind, name, until, _ = parts
        if kind == _LAUNCH_SESSION and self._launch is None or kind not in (_KEY_SESSION, _LAUNCH_SESSION):
            return None
        if not (until.isascii() and until.isdigit() and len(until) <= 12) or int(until) <= time.time():
            return None
        name = _decoded(name)
        if name is None:
            return None
        expected = await self._session(kind, name, int(until))
        if not hmac.compare_digest(value.encode("utf-8", "surrogatepass"), expected.encode("ascii")):
            return None
        if kind == _LAUNCH_SESSION:
            return User(LAUNCH_KEY_NAME, "admin")
        role = (await self._recall(self._key_roles, None, self._roles_of_keys)).get(name)
        return None if role is None else User(name, role)

    async def _session(self, kind, name, until):
        """The cookie value of a session; one of the launch key is bound to
        that key, so that it ends with the process that made the key."""
        if self._secret is None:
            self._secret = await self._ask(self.index.service_secret)
        payload = "%s.%s.%d" % (kind, _encoded(name), until)
        bound = self._launch if kind == _LAUNCH_SESSION else ""
        mac = hmac.new(self._secret, ("tavix session %s %s" % (payload, bound)).encode("ascii"), hashlib.sha256)
        return payload + "." + mac.hexdigest()

    async def _proxy_user(self, request):
        try:
            name = checked_name(request.headers.get(self.user_header))
        except AccessRecordError:
            return None
        role = await self._recall(self._user_roles, name, self.index.user_role, name)
        return User(name, role or "viewer")

    def _roles_of_keys(self):
        return {k["name"]: k["role"] for k in self.index.keys() if k["revoked"] is None}

    async def _recall(self, recent, key, method, *args):
        """method(*args) of the index, kept a moment in `recent` under `key`.
        While the index cannot be used, the last answer holds: those already
        signed in go on reading the runs the service has open."""
        known, answer = recent.get(key)
        if known:
            return answer
        try:
            answer = await self._ask(method, *args)
        except Unavailable:
            known, answer = recent.last(key)
            if not known:
                raise
            return answer
        recent.put(key, answer)
        return answer

    async def _ask(self, method, *args):
        """A method of the index, in a worker thread; an index that cannot be used is Unavailable."""
        try:
            return await asyncio.get_running_loop().run_in_executor(None, method, *args)
        except RunIndexError as error:
            logger.warning("Access cannot be checked: %s", error)
            raise Unavailable("the run index cannot be used") from None
