"""Sending a run archive to the service: `tavix logs push`.

The archive is streamed from its file, a block at a time, with its length
announced, so the service can refuse one too large before it is sent and
nothing holds the archive in memory. Should the service answer before the
whole archive is sent (a wrong key, too large), sending stops and its answer
is read.
"""
import http.client
import json
import os
import select
from urllib.parse import urlsplit

API_RUNS = "/api/v1/runs"
SEND_BLOCK = 1 << 20
CONNECT_SECONDS = 30
# Seconds the service may stay silent, while the archive goes out or while
# it checks and records a large run.
SILENCE_SECONDS = 600
# An answer is a small JSON object; a longer one is not the service's.
MAX_ANSWER_BYTES = 1 << 20
# Statuses a balancer or proxy answers, without the service's JSON, for a service it could not reach.
_GATEWAY_STATUSES = (502, 503, 504)
_AGAIN = "pushing the archive again is safe, the same archive is stored once"


class PushFailed(Exception):
    """The archive was not stored; the message says why, never naming the key."""

    def __init__(self, message, status=None):
        super().__init__(message)
        self.status = status


def check_service_url(text):
    """The service's URL as --to takes it: http(s)://HOST[:PORT][/PATH], no
    user name or password (the key goes in --key or $TAVIX_KEY). ValueError otherwise."""
    parts = urlsplit(text)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError("the service is named by an http:// or https:// URL: %r" % text)
    if parts.username or parts.password:
        raise ValueError("the service's URL holds no user name or password: give the key "
                         "with --key or $TAVIX_KEY")
    if parts.query or parts.fragment:
        raise ValueError("the service's URL has no query or fragment: %r" % text)
    return text


def _connection(parts):
    kind = http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
    try:
        port = parts.port
    except ValueError as error:
        raise PushFailed("the service's URL has a bad port: %s" % error) from None
    return kind(parts.hostname, port, timeout=CONNECT_SECONDS)


def _answered(connection):
    """Whether the service has said something (or hung up) already."""
    return bool(select.select([connection.sock], [], [], 0)[0])


def _send_archive(connection, stream, size, on_sent):
    sent = 0
    while sent < size:
        if _answered(connection):
            return
        try:
            block = stream.read(SEND_BLOCK)
        except OSError as error:
            raise PushFailed("could not read the archive: %s" % (error.strerror or error)) from None
        if not block:
            raise PushFailed("the archive got shorter while it was sent")
        try:
            connection.send(block)
        except (BrokenPipeError, ConnectionResetError):
            return  # the service stopped reading: its answer says why
        sent += len(block)
        on_sent(sent)


def _answer(response):
    body = response.read(MAX_ANSWER_BYTES + 1)
    try:
        answer = json.loads(body) if len(body) <= MAX_ANSWER_BYTES else None
    except ValueError:
        answer = None
    if not 200 <= response.status < 300:
        message = answer.get("message") if isinstance(answer, dict) else None
        if not isinstance(message, str) or not message:
            message = "HTTP %d %s" % (response.status, response.reason)
            if response.status in _GATEWAY_STATUSES:
                message += ", from a proxy before the service (it lost the service on the way): " + _AGAIN
        raise PushFailed(message, response.status)
    run = answer.get("run") if isinstance(answer, dict) else None
    if not isinstance(run, dict) or not isinstance(run.get("link"), str):
        raise PushFailed("the service's answer is not a run (HTTP %d)" % response.status, response.status)
    return answer


def push_archive(path, service_url, key=None, on_sent=None):
    """POSTs the archive at `path` to the service at `service_url` and returns
    its answer, {"created", "run": {..., "link"}}. Raises PushFailed when the
    service refuses it or cannot be reached. on_sent(bytes sent) after each block."""
    parts = urlsplit(service_url)
    target = parts.path.rstrip("/") + API_RUNS
    with open(path, "rb") as stream:
        size = os.fstat(stream.fileno()).st_size
        connection = _connection(parts)
        where = "%s://%s" % (parts.scheme, parts.netloc)
        try:
            try:
                connection.connect()
            except OSError as error:
                raise PushFailed("could not reach the service at %s: %s" % (where, error.strerror or error)) from None
            connection.sock.settimeout(SILENCE_SECONDS)
            connection.putrequest("POST", target, skip_accept_encoding=True)
            connection.putheader("Content-Type", "application/zip")
            connection.putheader("Content-Length", str(size))
            connection.putheader("Accept", "application/json")
            if key:
                connection.putheader("Authorization", "Bearer " + key)
            connection.endheaders()
            _send_archive(connection, stream, size, on_sent or (lambda sent: None))
            response = connection.getresponse()
            try:
                return _answer(response)
            finally:
                response.close()  # its file holds the socket open past the connection's close
        except (OSError, http.client.HTTPException) as error:
            reason = getattr(error, "strerror", None) or str(error) or type(error).__name__
            raise PushFailed("the service at %s closed the connection without an answer (%s): %s" % (
                where, reason, _AGAIN)) from None
        finally:
            connection.close()
