"""Which run index a command uses, and how its address is shown."""
import os

from tavix import configuration

DEFAULT_INDEX = os.path.join("~", ".tavix", "index.sqlite")
INDEX_ENV_VAR = "TAVIX_INDEX"
CFG_LOGS_INDEX = "logs.index"


def index_url(option=None):
    """The index given by the --index option, else $TAVIX_INDEX, else the
    configuration's [logs] index, else the default file; as an SQLAlchemy URL.

    A URL is postgresql://... or sqlite:///path; anything else is the path of
    a SQLite file.
    """
    chosen = (option or os.environ.get(INDEX_ENV_VAR) or configuration.get(CFG_LOGS_INDEX)
              or DEFAULT_INDEX)
    for scheme in ("postgresql://", "postgres://", "postgresql+psycopg://"):
        if chosen.startswith(scheme):
            return "postgresql+psycopg://" + chosen[len(scheme):]
    if chosen.startswith("sqlite://"):
        return chosen
    return "sqlite:///" + os.path.abspath(os.path.expanduser(chosen))


def shown_url(url):
    """The URL without its password, as messages show it."""
    from sqlalchemy.engine import make_url

    try:
        parsed = make_url(url)
    except Exception:  # not a URL SQLAlchemy reads: only what follows the credentials
        return str(url).split("@")[-1]
    if parsed.drivername.startswith("sqlite"):
        return parsed.database or ":memory:"
    # URL.set() keeps a password given as None; the named tuple's _replace drops it.
    parsed = parsed._replace(drivername=parsed.drivername.split("+")[0], password=None)
    return parsed.render_as_string(hide_password=False)
