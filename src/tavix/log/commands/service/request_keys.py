"""What the service's middlewares keep on a request for the handlers and the access log."""
from aiohttp import web

__all__ = ["PINNED", "USER"]


def _key(name, kind):
    # Typed keys came with aiohttp 3.12's RequestKey; before, a text keys the same.
    maker = getattr(web, "RequestKey", None)
    return name if maker is None else maker(name, kind)


# The User the request is answered for (access.User).
USER = _key("tavix_user", object)
# The cache entries of the runs the request reads, released once it is answered.
PINNED = _key("tavix_pinned", tuple)
