"""Triage on a team service, for `tavix logs mark … --to URL` and its kin: the
service's routes of marks, claims and the gate, asked as the run index is
asked locally. The service writes as the key's user."""
import json
from urllib.error import HTTPError, URLError
from urllib.parse import urlencode, urlsplit
from urllib.request import Request, urlopen

from .links import segment

__all__ = ["ServiceTriage", "TriageFailed"]

ANSWER_SECONDS = 120
# A suite's marks with their histories may be long, yet no answer is held past this.
MAX_ANSWER_BYTES = 32 << 20
# What a refusal without a message of its own means here.
_REFUSALS = {401: ": the service knows no such key (give one with --key or $TAVIX_KEY)",
             403: ": the key's role may not do this (marks and claims need triager or admin)"}


class TriageFailed(Exception):
    """The service refused the request or could not be reached; the message says why, never naming the key."""


class ServiceTriage:
    def __init__(self, service_url, key=None):
        self.base = service_url.rstrip("/")
        self.key = key
        parts = urlsplit(service_url)
        self.where = "%s://%s" % (parts.scheme, parts.netloc)

    # ---------------------------------------------------------------- writes
    def set_mark(self, suite, *, kind, signature=None, path=None, ticket=None, comment=None):
        body = dict(_target(signature, path), kind=kind, ticket=ticket, comment=comment)
        return self._ask("POST", _suite_route(suite, "marks"), body)

    def remove_mark(self, suite, *, signature=None, path=None):
        """False when the target has no mark."""
        return self._remove(_suite_route(suite, "marks"), _target(signature, path))

    def claim(self, suite, *, signature=None, path=None):
        return self._ask("POST", _suite_route(suite, "claims"), _target(signature, path))

    def release(self, suite, *, signature=None, path=None):
        """False when the target is not claimed."""
        return self._remove(_suite_route(suite, "claims"), _target(signature, path))

    # ---------------------------------------------------------------- reads
    def triage(self, suite):
        """{"marks", "claims"} of the suite."""
        answer = self._ask("GET", _suite_route(suite, "marks"))
        return {"marks": answer["marks"], "claims": answer["claims"]}

    def gate(self, request_id, fail_on):
        """(request id, the failures of that stored run the gate fails on, each
        with its "link", None: the links say how to open them)."""
        answer = self._ask("GET", "/api/v1/runs/%s/gate?%s" % (segment(request_id), urlencode({"fail_on": fail_on})))
        return request_id, answer["failures"], None

    # -------------------------------------------------------------- asking
    def _remove(self, route, target):
        """Whether the DELETE of a target removed something (404: nothing to remove)."""
        return self._ask("DELETE", route, target, none_found=True) is not None

    def _ask(self, method, route, body=None, none_found=False):
        """The JSON answer of a route; None for a 404 when `none_found`."""
        headers = {"Accept": "application/json"}
        data = None
        if body is not None:
            data = json.dumps(body).encode("utf-8")
            headers["Content-Type"] = "application/json"
        if self.key:
            headers["Authorization"] = "Bearer " + self.key
        request = Request(self.base + route, data=data, headers=headers, method=method)
        try:
            with urlopen(request, timeout=ANSWER_SECONDS) as response:
                return _json_of(response.read(MAX_ANSWER_BYTES + 1), response.status)
        except HTTPError as error:
            with error:
                if error.code == 404 and none_found:
                    return None
                raise TriageFailed(_refusal(error)) from None
        except URLError as error:
            reason = getattr(error.reason, "strerror", None) or str(error.reason)
            raise TriageFailed("could not reach the service at %s: %s" % (self.where, reason)) from None
        except OSError as error:
            raise TriageFailed("the service at %s closed the connection without an answer: %s" % (
                self.where, error.strerror or error)) from None


def _target(signature, path):
    return {"signature": signature} if signature is not None else {"path": list(path)}


def _suite_route(suite, what):
    return "/api/v1/suites/%s/%s" % (segment(suite), what)


def _json_of(body, status):
    try:
        answer = json.loads(body) if len(body) <= MAX_ANSWER_BYTES else None
    except ValueError:
        answer = None
    if not isinstance(answer, dict):
        raise TriageFailed("the service's answer is not its JSON (HTTP %d)" % status)
    return answer


def _refusal(error):
    try:
        answer = json.loads(error.read(MAX_ANSWER_BYTES))
    except (ValueError, OSError):
        answer = None
    message = answer.get("message") if isinstance(answer, dict) else None
    if isinstance(message, str) and message:
        return message
    return "HTTP %d %s%s" % (error.code, error.reason, _REFUSALS.get(error.code, ""))
