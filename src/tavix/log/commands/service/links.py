"""The service's lasting links: a run, a section of it by path, a line, a comparison.

Every link the service prints or returns starts with the public URL when one
is set (`--public-url`), else with the scheme and host the request came to.
A name is one path segment, every reserved character percent-encoded, "/"
included, so any request id or section name makes a link that reads back.
"""
from urllib.parse import quote, unquote, urlencode

__all__ = ["Links", "names_of_query_path", "query_path", "segment"]


def segment(text):
    """A name as one URL path segment."""
    return quote(text, safe="")


def query_path(names):
    """A section path as the `path` query value: names joined by "/", a "/"
    (or "%") inside a name written %2F (%25)."""
    return "/".join(name.replace("%", "%25").replace("/", "%2F") for name in names)


def names_of_query_path(text):
    """The names of a `path` query value."""
    return [unquote(name) for name in text.split("/")]


class Links:
    def __init__(self, public_url=None):
        self.public_url = public_url.rstrip("/") if public_url else None

    def origin(self, request):
        """The scheme and host links start with, for an answer to `request`."""
        return self.public_url or "%s://%s" % (request.scheme, request.host)

    def run(self, origin, request_id):
        return "%s/runs/%s" % (origin, segment(request_id))

    def section(self, origin, request_id, path, line=None):
        link = "%s/section/%s" % (self.run(origin, request_id), "/".join(segment(name) for name in path))
        return link if line is None else "%s?line=%d" % (link, line)

    def compare(self, origin, request_id, base_request_id):
        return "%s/compare/%s" % (self.run(origin, request_id), segment(base_request_id))

    def runs_page(self, origin, **query):
        kept = {name: value for name, value in query.items() if value is not None}
        return "%s/api/v1/runs%s" % (origin, "?" + urlencode(kept) if kept else "")
