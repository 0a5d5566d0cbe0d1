"""The settings of `tavix logs serve`: each from its option, else its
environment variable TAVIX_SERVICE_<NAME>, else the `service.<name>` key of
the configuration file's [logs] section, else its default.

The run index is named as every `logs` subcommand names it (--index,
$TAVIX_INDEX, the [logs] index key).
"""
import argparse
import ipaddress
import os
import re
from dataclasses import dataclass
from typing import Optional, Tuple
from urllib.parse import urlsplit

from tavix import configuration
from tavix.cli.base import CommandError

from .retention import KeepDays, parse_keep_days

ENV_PREFIX = "TAVIX_SERVICE_"
CONFIG_PREFIX = "logs.service."
DEFAULT_STORE = os.path.join("~", ".tavix", "store")
DEFAULT_CACHE = os.path.join("~", ".tavix", "cache")
DEFAULT_HOST = "localhost"
DEFAULT_PORT = 8470
DEFAULT_MAX_ARCHIVE_SIZE = 4 << 30
AUTH_MODES = ("none", "token", "proxy")
_SIZE = re.compile(r"\s*(\d+)\s*([KMGT]?)\s*", re.IGNORECASE)
_UNITS = {"": 0, "K": 10, "M": 20, "G": 30, "T": 40}


def parse_size(text):
    """A size in bytes from a number with an optional K, M, G or T suffix, in
    binary units: "32M" is 32 MiB. An argparse type."""
    match = _SIZE.fullmatch(text)
    if not match or int(match.group(1)) == 0:
        raise argparse.ArgumentTypeError(
            "a size is a whole number of bytes above 0, with an optional K, M, G or T suffix "
            "(binary units: 32M is 32 MiB): %r" % text)
    return int(match.group(1)) << _UNITS[match.group(2).upper()]


def parse_port(text):
    if not text.strip().isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError("a port is a number from 0 to 65535: %r" % text)
    return int(text)


def parse_auth(text):
    if text not in AUTH_MODES:
        raise argparse.ArgumentTypeError("the access mode is one of %s: %r" % (", ".join(AUTH_MODES), text))
    return text


def parse_public_url(text):
    """The scheme and host (and path, when the service is behind a prefix)
    of every link the service gives, without a trailing slash."""
    parts = urlsplit(text)
    if parts.scheme not in ("http", "https") or not parts.hostname or parts.query or parts.fragment:
        raise argparse.ArgumentTypeError("a public URL is http(s)://HOST[:PORT][/PATH]: %r" % text)
    if parts.username or parts.password:
        raise argparse.ArgumentTypeError("a public URL holds no user name or password")
    return text.rstrip("/")


def parse_directory(text):
    return os.path.abspath(os.path.expanduser(text))


def parse_store(text):
    """A directory (made absolute), or s3://BUCKET/PREFIX as it is."""
    from .object_store import is_object_store, parse_object_store

    if not is_object_store(text):
        return parse_directory(text)
    try:
        parse_object_store(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def parse_addresses(text):
    """IP addresses or networks (10.0.0.0/8) separated by commas or spaces
    (an option given again adds its own)."""
    addresses = tuple(part for part in re.split(r"[\s,]+", text) if part)
    for address in addresses:
        try:
            ipaddress.ip_network(address, strict=False)
        except ValueError:
            raise argparse.ArgumentTypeError("not an IP address or network: %r" % address) from None
    return addresses


@dataclass(frozen=True)
class Setting:
    name: str  # the ServiceSettings field
    option: str
    metavar: str
    parse: object
    default: object
    help: str
    repeated: bool = False
    key: Optional[str] = None  # of the configuration file, when it is not the option's name

    @property
    def env(self):
        return ENV_PREFIX + self.option.upper().replace("-", "_")

    @property
    def config_key(self):
        return CONFIG_PREFIX + (self.key or self.option)


SETTINGS = (
    Setting("store", "store", "DIR|s3://BUCKET/PREFIX", parse_store, DEFAULT_STORE,
            "Where the run archives are kept, one per run named by its content's\n"
            "SHA-256: a directory, or a prefix in an S3 bucket (its endpoint and\n"
            "credentials from $AWS_ENDPOINT_URL, $AWS_ACCESS_KEY_ID,\n"
            "$AWS_SECRET_ACCESS_KEY, $AWS_REGION, else [logs] service.s3-endpoint,\n"
            "service.s3-access-key-id, service.s3-secret-access-key, service.s3-region\n"
            "in the configuration file). Default: %s." % DEFAULT_STORE),
    Setting("host", "host", "HOST", str, DEFAULT_HOST,
            "The interface to listen on. Default: %s." % DEFAULT_HOST),
    Setting("port", "port", "PORT", parse_port, DEFAULT_PORT,
            "The port to listen on. Default: %d." % DEFAULT_PORT),
    Setting("cache", "cache", "DIR", parse_directory, DEFAULT_CACHE,
            "Where runs are extracted when they are asked for. Default: %s." % DEFAULT_CACHE),
    Setting("cache_size", "cache-size", "SIZE", parse_size, None,
            "The bytes the extracted runs may take on disk, a number with an optional\n"
            "K, M, G or T suffix (binary: 32M is 32 MiB). Default: 10G, or a fifth of\n"
            "the cache disk's free space when that is less."),
    Setting("public_url", "public-url", "URL", parse_public_url, None,
            "The scheme and host of every link the service prints or answers, as its\n"
            "users reach it (https://logs.example.com). Default: the address it listens on."),
    Setting("auth", "auth", "MODE", parse_auth, "token",
            "Who may do what: 'token' (default), keys made by `tavix logs keys create`\n"
            "and a key made at start, shown in the address printed; 'none', everyone\n"
            "is an administrator; 'proxy', the user is the --user-header of requests\n"
            "coming from a --trusted-proxy, with the role `tavix logs users set` gives."),
    Setting("trusted_proxy", "trusted-proxy", "ADDR", parse_addresses, (),
            "With --auth proxy: the IP address (or network) of the sign-in proxy;\n"
            "again for more (the environment and the file take a list separated by\n"
            "commas).", repeated=True),
    Setting("user_header", "user-header", "NAME", str, None,
            "With --auth proxy: the request header holding the user's name."),
    Setting("max_archive_size", "max-archive-size", "SIZE", parse_size, DEFAULT_MAX_ARCHIVE_SIZE,
            "The largest archive the service takes, a size as for --cache-size.\n"
            "Default: 4G."),
    Setting("watch", "watch", "DIR", parse_directory, None,
            "Also take every archive (*.zip) dropped into DIR once its size and\n"
            "modification time have not changed for 2 s; it is left there."),
    Setting("keep_days", "keep-days", "RULES", parse_keep_days, None,
            "How long runs are kept: suite-name patterns with days, 'nightly_*:30, *:90'\n"
            "(the first pattern matching a suite counts; days from a run's start time).\n"
            "A daily sweep deletes the runs past their time, unless pinned (`tavix logs\n"
            "pin`). Default: every run kept forever.", key="keep_days"),
)


@dataclass(frozen=True)
class ServiceSettings:
    """What `tavix logs serve` runs with; paths absolute, sizes in bytes."""

    index: str  # an SQLAlchemy URL
    store: str
    cache: str
    cache_size: int
    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    public_url: Optional[str] = None
    auth: str = "token"
    trusted_proxy: Tuple[str, ...] = ()
    user_header: Optional[str] = None
    max_archive_size: int = DEFAULT_MAX_ARCHIVE_SIZE
    watch: Optional[str] = None
    keep_days: Optional[KeepDays] = None


def add_service_options(parser, names=None):
    """The options of `tavix logs serve` (those of the fields `names` alone,
    when given), each with its variable and key in its help."""
    for setting in SETTINGS:
        if names is not None and setting.name not in names:
            continue
        text = "%s\nAlso $%s, or [logs] %s in the configuration file." % (
            setting.help, setting.env, setting.config_key[len("logs."):])
        if setting.repeated:
            parser.add_argument("--" + setting.option, dest=setting.name, metavar=setting.metavar,
                                action="append", type=setting.parse, default=None, help=text)
        else:
            parser.add_argument("--" + setting.option, dest=setting.name, metavar=setting.metavar,
                                type=setting.parse, default=None, help=text)


def _from_text(setting, text, source):
    try:
        return setting.parse(text)
    except argparse.ArgumentTypeError as error:
        raise CommandError("%s: %s" % (source, error), status=2) from None


def setting_value(name, args):
    """The value of the setting of field `name`, from `args` (parsed with
    add_service_options), the environment, the file, or its default."""
    return _value(next(setting for setting in SETTINGS if setting.name == name), args)


def _value(setting, args):
    given = getattr(args, setting.name, None)
    if given is not None:
        # Each repeated option gives a tuple of its own.
        return tuple(a for part in given for a in part) if setting.repeated else given
    text = os.environ.get(setting.env)
    if text:
        return _from_text(setting, text, "$" + setting.env)
    text = configuration.get(setting.config_key)
    if text:
        return _from_text(setting, text, "%s: %s" % (configuration.config_file(), setting.config_key[len("logs."):]))
    # A default path is read when used: ~ is the home of the moment.
    return setting.parse(setting.default) if isinstance(setting.default, str) else setting.default


def _default_cache_size(directory):
    from .run_cache import default_cache_size

    return default_cache_size(directory)


def resolve_settings(args):
    """ServiceSettings from `args` (parsed with add_service_options and --index),
    the environment and the configuration file. Raises CommandError (status 2)
    for a value that cannot be used."""
    from tavix.log.commands.history import index_url

    values = {setting.name: _value(setting, args) for setting in SETTINGS}
    if values["auth"] == "proxy" and not (values["user_header"] and values["trusted_proxy"]):
        raise CommandError("--auth proxy needs --user-header and at least one --trusted-proxy", status=2)
    if values["cache_size"] is None:
        values["cache_size"] = _default_cache_size(values["cache"])
    return ServiceSettings(index=index_url(getattr(args, "index", None)), **values)
