"""PostgreSQL URLs of the run index: read as the URL rules read them, and
shown without their secrets."""
import re
import typing

from .errors import RunIndexError

# Schemes of a PostgreSQL index; the first is the SQLAlchemy URL's.
POSTGRES_SCHEMES = ("postgresql+psycopg://", "postgresql://", "postgres://")
# Query parameters that hold a secret: never shown.
SECRET_PARAMETERS = ("password", "sslpassword")
UNREADABLE_URL = (
    "the run index URL cannot be read (it is not shown: it may hold a password): a user name,\n"
    "password or database name holding \"@\", \":\", \"/\", \"?\" or \"#\" is written percent-encoded\n"
    "(\"@\" as %40, \"/\" as %2F); better, leave the password out of the URL: TAVIX_INDEX, a\n"
    ".pgpass file or a service file hold it")


class PostgresParts(typing.NamedTuple):
    scheme: str
    user: typing.Optional[str]  # as written (percent-encoded), and so the others
    password: typing.Optional[str]
    host: tuple  # (host, port or None)
    database: typing.Optional[str]
    query: list  # "key=value" pieces


def postgres_parts(text):
    """The parts of postgresql://[user[:password]@]host[:port][/database][?query];
    None for a text of another scheme. Parsed as RFC 3986 delimits a URL: the
    authority ends at the first "/", "?" or "#", the credentials at its last
    "@". What a password holding "/", "?" or "#" unescaped would leave
    elsewhere (an "@" after the host but in a user or password parameter, a
    port that is not a number, a fragment) raises RunIndexError, showing
    nothing of the text."""
    scheme = next((s for s in POSTGRES_SCHEMES if text.startswith(s)), None)
    if scheme is None:
        return None
    rest = text[len(scheme):]
    end = min([at for at in map(rest.find, "/?#") if at >= 0] + [len(rest)])
    credentials, at, host = rest[:end].rpartition("@")
    path, _, query = rest[end:].partition("?")
    user, colon, password = credentials.partition(":")
    if host.startswith("["):
        host, bracket, port = host[1:].partition("]")
        if not bracket or port and not port.startswith(":"):
            raise RunIndexError(UNREADABLE_URL)
        port = port[1:]
    else:
        host, _, port = host.partition(":")
    pieces = [piece for piece in query.split("&") if piece]
    if ("#" in text or not re.fullmatch("[0-9]{0,5}", port) or "@" in path or "/" in path[1:]
            or any("=" not in piece or "@" in piece and piece.split("=", 1)[0].lower() not in
                   ("user",) + SECRET_PARAMETERS for piece in pieces)):
        raise RunIndexError(UNREADABLE_URL)
    return PostgresParts(scheme[:-3], user if at else None, password if at and colon else None,
                         (host, int(port) if port else None), path[1:] or None, pieces)


def _unquoted(part):
    from urllib.parse import unquote

    return None if part is None else unquote(part)


def sqlalchemy_url(parts):
    """The SQLAlchemy URL (psycopg 3) of the parts, every part escaped as it needs."""
    from urllib.parse import parse_qsl

    from sqlalchemy.engine import URL

    query = {}
    for key, value in parse_qsl("&".join(parts.query), keep_blank_values=True):
        query.setdefault(key, []).append(value)
    query = {key: values[0] if len(values) == 1 else tuple(values) for key, values in query.items()}
    host, port = parts.host
    return URL.create(POSTGRES_SCHEMES[0][:-3], username=_unquoted(parts.user), password=_unquoted(parts.password),
                      host=host or None, port=port, database=_unquoted(parts.database),
                      query=query).render_as_string(hide_password=False)


def shown_postgres_url(parts):
    """The URL as written, less its password and the query's password parameters."""
    host, port = parts.host
    query = [piece for piece in parts.query if piece.split("=", 1)[0].lower() not in SECRET_PARAMETERS]
    return "%s://%s%s%s%s%s" % (
        parts.scheme.split("+")[0], "" if parts.user is None else parts.user + "@",
        "[%s]" % host if ":" in host else host, "" if port is None else ":%d" % port,
        "" if parts.database is None else "/" + parts.database, "?" + "&".join(query) if query else "")
