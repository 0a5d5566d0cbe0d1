"""Which run index a command uses, and how its address is shown."""
import os

from tavix import configuration

from .postgres_url import postgres_parts, shown_postgres_url, sqlalchemy_url

DEFAULT_INDEX = os.path.join("~", ".tavix", "index.sqlite")
INDEX_ENV_VAR = "TAVIX_INDEX"
CFG_LOGS_INDEX = "logs.index"


def index_url(option=None):
    """The index given by the --index option, else $TAVIX_INDEX, else the
    configuration's [logs] index, else the default file; as an SQLAlchemy URL.

    A URL is postgresql://... or sqlite:///path; anything else is the path of
    a SQLite file. A PostgreSQL URL that cannot be read as one raises
    RunIndexError, showing nothing of it.
    """
    chosen = (option or os.environ.get(INDEX_ENV_VAR) or configuration.get(CFG_LOGS_INDEX)
              or DEFAULT_INDEX)
    parts = postgres_parts(chosen)
    if parts is not None:
        return sqlalchemy_url(parts)
    if chosen.startswith("sqlite://"):
        return chosen
    return "sqlite:///" + os.path.abspath(os.path.expanduser(chosen))


def shown_url(url):
    """The URL without its password (nor the query's password parameters), as
    messages show it."""
    parts = postgres_parts(url)
    if parts is not None:
        return shown_postgres_url(parts)
    from sqlalchemy.engine import make_url

    try:
        parsed = make_url(url)
    except Exception:  # not a URL SQLAlchemy reads: nothing of it, it may hold a password
        return "(an unreadable URL)"
    if parsed.drivername.startswith("sqlite"):
        return parsed.database or ":memory:"
    # URL.set() keeps a password given as None; the named tuple's _replace drops it.
    parsed = parsed._replace(drivername=parsed.drivername.split("+")[0], password=None)
    return parsed.render_as_string(hide_password=False)
