"""The routes of marks and claims, one implementation for both places that
serve them: the team service, under /api/v1 behind its access checks (the
writes need the triager role), and the local viewer of `tavix logs view`,
under its URL prefix behind its access token.

`TriageRoutes` answers them over a source, which says which run a request is
about and who writes, and asks the run index off the event loop: the
service's (`TeamRuns` and the signed-in user) or the local viewer's
(`ViewerTriage`: its one run, the operating system's user). Answers and
refusals are JSON; a refusal is {"detail": code, "message": text}, answered
(not raised), so the application's middlewares see it as any answer.
"""
import functools
import json

from aiohttp import web

from .links import names_of_query_path

__all__ = ["TriageRoutes", "ViewerTriage"]

# The route names; the service's access checks know the writes by them.
WRITES = ("set_mark", "remove_mark", "claim", "release_claim")


def _json(body, status=200):
    return web.json_response(body, status=status, dumps=lambda value: json.dumps(value, ensure_ascii=False))


class Refused(Exception):
    """A request the triage routes refuse: answered `status` {"detail": code, "message"}."""

    def __init__(self, status, code, message):
        super().__init__(message)
        self.status, self.code = status, code


def _answered(handler):
    """`handler` with its refusals answered."""
    @functools.wraps(handler)
    async def answering(self, request):
        try:
            return await handler(self, request)
        except Refused as refused:
            return _json({"detail": refused.code, "message": str(refused)}, refused.status)
    return answering


def _bad_body(message):
    return Refused(400, "INVALID_BODY", message)


class TriageRoutes:
    """The handlers of the triage routes over `source`, which has:
    `await indexed(method, *args, **kwargs)` (the run index's method, off
    the event loop), `await run_of(request)` (the index's row of the run a
    request is about) and `author(request)` (who writes; MarkError when
    nobody can)."""

    def __init__(self, source):
        self.source = source

    def add_to(self, router, prefix, run_marks_path):
        """Adds the routes below `prefix`; the run's marks at `run_marks_path` after it."""
        add = router.add_route
        add("GET", prefix + run_marks_path, self.run_marks, name="run_marks")
        add("GET", prefix + "/suites/{suite}/marks", self.suite_marks, name="suite_marks")
        add("POST", prefix + "/suites/{suite}/marks", self.set_mark, name="set_mark")
        add("DELETE", prefix + "/suites/{suite}/marks", self.remove_mark, name="remove_mark")
        add("POST", prefix + "/suites/{suite}/claims", self.claim, name="claim")
        add("DELETE", prefix + "/suites/{suite}/claims", self.release_claim, name="release_claim")

    @_answered
    async def suite_marks(self, request):
        """GET …/suites/{suite}/marks: {"suite", "marks", "claims"} as `tavix logs
        marks --json` prints them; 400 INVALID_MARK for a suite the index has no run of."""
        suite = request.match_info["suite"]
        return _json(dict(await self._triaged(lambda: self.source.indexed("triage", suite)), suite=suite))

    @_answered
    async def set_mark(self, request):
        """POST …/suites/{suite}/marks, the body {"signature" | "path" (a list of
        names), "kind", "ticket", "comment"}: sets or changes the mark on that target,
        written by the request's user, and answers the mark."""
        body = await _body(request)
        values = dict(_target_of(body), kind=_text_field(body, "kind", required=True),
                      ticket=_text_field(body, "ticket"), comment=_text_field(body, "comment"))
        return _json(await self._write(request, "set_mark", values))

    @_answered
    async def remove_mark(self, request):
        """DELETE …/suites/{suite}/marks, the target as the body ({"signature" |
        "path"}) or the query (?signature=TEXT | ?path=NAME/NAME/…, as the service's
        sections route takes it): {"removed": the target}; 404 MARK_NOT_FOUND when it
        has no mark."""
        return await self._removal(request, "remove_mark", "removed", "MARK_NOT_FOUND", "no mark")

    @_answered
    async def claim(self, request):
        """POST …/suites/{suite}/claims, the body {"signature" | "path"}: the
        request's user is on that target; answers the claim."""
        return _json(await self._write(request, "claim", _target_of(await _body(request))))

    @_answered
    async def release_claim(self, request):
        """DELETE …/suites/{suite}/claims, the target as for removing a mark:
        {"released": the target}; 404 CLAIM_NOT_FOUND when it is not claimed."""
        return await self._removal(request, "release", "released", "CLAIM_NOT_FOUND", "no claim")

    @_answered
    async def run_marks(self, request):
        """GET the run's marks (the service: /api/v1/runs/{request_id}/marks; the
        local viewer: prefix/marks, its one run): {"request_id", "suite", "nodes":
        [{"path", "signature", "marks", "claims"}] (each failing section),
        "categories": [{"signature", "marks", "claims"}], "suggestions": [{"path",
        "signature", "suggestions": [{"score", "mark"}]}] (each failing section no
        mark applies to)}."""
        run = await self.source.run_of(request)
        applied = await self._triaged(lambda: self.source.indexed("run_marks", run))
        suggested = await self._triaged(lambda: self.source.indexed("run_suggestions", run))
        return _json(dict(applied, request_id=run["request_id"], suite=run["suite_name"], suggestions=suggested))

    async def _write(self, request, method, values):
        suite = request.match_info["suite"]
        return await self._triaged(lambda: self.source.indexed(method, suite, author=self.source.author(request),
                                                               **values))

    async def _removal(self, request, method, answer_name, missing_code, missing_text):
        if request.can_read_body:
            target = _target_of(await _body(request))
        else:
            query = request.query
            named = {"signature": query.get("signature"), "path": query.get("path")}
            if named["path"] is not None:
                named["path"] = names_of_query_path(named["path"])
            target = _target_of(named)
        if not await self._write(request, method, target):
            raise Refused(404, missing_code, "that target of the suite has %s" % missing_text)
        shown = {name: value for name, value in target.items() if value is not None}
        return _json({answer_name: dict(shown, scope="signature" if "signature" in shown else "path")})

    @staticmethod
    async def _triaged(asking):
        """What the coroutine `asking()` gives; a MarkError answers 400 INVALID_MARK."""
        from tavix.log.commands.history.triage_records import MarkError

        try:
            return await asking()
        except MarkError as error:
            raise Refused(400, "INVALID_MARK", str(error)) from None


class ViewerTriage:
    """The source of the local viewer's triage routes: its one opened `run` in
    `index`, written as `user` (the operating system's; None when it names
    none, and then every write is refused)."""

    def __init__(self, index, run, user):
        self.index, self.run, self.user = index, run, user

    async def indexed(self, method, *args, **kwargs):
        import asyncio
        import functools

        from tavix.log.commands.history import RunIndexError

        call = functools.partial(getattr(self.index, method), *args, **kwargs)
        try:
            return await asyncio.get_running_loop().run_in_executor(None, call)
        except RunIndexError as error:
            raise Refused(503, "UNAVAILABLE", str(error)) from None

    async def run_of(self, request):
        return self.run

    def author(self, request):
        from tavix.log.commands.history.triage_records import MarkError

        if self.user is None:
            raise MarkError("the operating system names no user to write this as")
        return self.user


async def _body(request):
    """The request's JSON object; 400 INVALID_BODY otherwise."""
    try:
        body = await request.json()
    except ValueError:
        body = None
    if not isinstance(body, dict):
        raise _bad_body("the body is a JSON object")
    return body


def _target_of(body):
    """{"signature", "path"} of a body naming one of them."""
    signature, path = body.get("signature"), body.get("path")
    if (signature is None) == (path is None):
        raise _bad_body("name the target by \"signature\" or by \"path\", one of them")
    if signature is not None and not isinstance(signature, str):
        raise _bad_body("\"signature\" is a text")
    if path is not None and (not isinstance(path, list) or not path
                             or not all(isinstance(name, str) and name for name in path)):
        raise _bad_body("\"path\" is a list of names, none empty")
    return {"signature": signature, "path": path}


def _text_field(body, name, required=False):
    value = body.get(name)
    if value is None and not required or isinstance(value, str):
        return value
    raise _bad_body("\"%s\" is a text" % name)
