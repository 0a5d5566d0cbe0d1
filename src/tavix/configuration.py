"""The framework's user configuration.

Values live in an INI file, by default ``~/.tavix/tavix.cfg``; the environment
variable ``TAVIX_CONFIG`` names another file. A dotted key is looked up as
``section.option``: the text before the first dot is the section, the rest
the option. For example::

    [logs]
    server.host = 0.0.0.0
    server.port = 8080
    browser = firefox --new-window

gives ``get("logs.server.port", 0) == 8080``. The file is read at every
lookup, so an edited file is seen without restarting anything.
"""
import configparser
import os

__all__ = ["CONFIG_ENV_VAR", "DEFAULT_CONFIG_FILE", "config_file", "get"]

CONFIG_ENV_VAR = "TAVIX_CONFIG"
DEFAULT_CONFIG_FILE = os.path.join("~", ".tavix", "tavix.cfg")


def config_file():
    """Path of the configuration file in use (which need not exist)."""
    return os.path.expanduser(os.environ.get(CONFIG_ENV_VAR) or DEFAULT_CONFIG_FILE)


def _read():
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str  # option names keep their case
    path = config_file()
    try:
        with open(path, encoding="utf-8") as stream:
            parser.read_file(stream, source=path)
    except FileNotFoundError:
        pass
    return parser


def get(key, default=None):
    """The configured value of ``key``, or ``default`` when it is not set.

    When ``default`` is a bool, int or float, the configured text is converted
    to that type (a value that does not convert raises ``ValueError`` naming
    the key and the file).
    """
    section, _, option = key.partition(".")
    parser = _read()
    if not option or not parser.has_option(section, option):
        return default
    value = parser.get(section, option)
    try:
        if isinstance(default, bool):
            return parser.getboolean(section, option)
        if isinstance(default, (int, float)):
            return type(default)(value)
    except ValueError:
        raise ValueError("%s: %s = %r is not a valid %s"
                         % (config_file(), key, value, type(default).__name__)) from None
    return value
