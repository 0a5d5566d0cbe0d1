"""Putting a service together from its settings: index, store, cache, intake, access."""
import os
import secrets
import socket

from .errors import ServiceError

__all__ = ["start_team"]

# Bytes of randomness of the key `serve` makes for whoever started it.
LAUNCH_KEY_BYTES = 32
# Seconds a replica waits for another's turn at writing the shared index: one
# recording a large run, or upgrading the index's schema as it starts.
WRITER_WAIT_SECONDS = 120


async def start_team(settings):
    """(TeamRuns, Access, address) for `settings`; address(runner) is the URL to print.
    An index or store that cannot be used raises ServiceError."""
    from tavix.log.commands.history import RunIndex, RunIndexError, index_url
    from tavix.log.commands.history.access_records import KEY_PREFIX

    from .access import Access
    from .application import NEEDS
    from .intake import Intake
    from .links import Links
    from .run_cache import RunCache
    from .stores import store_from_setting
    from .team_runs import TeamRuns

    url = index_url(settings.index)
    try:
        index = RunIndex(url, writer_wait=WRITER_WAIT_SECONDS)
        index.runs(limit=1)  # an index of an older schema is upgraded here
    except RunIndexError as error:
        raise ServiceError(str(error)) from None
    store = store_from_setting(settings.store)
    checking = os.path.join(settings.cache, "checking")
    os.makedirs(checking, exist_ok=True)
    # The intake closes the index it is given after each archive.
    intake = Intake(store, lambda: RunIndex(url, writer_wait=WRITER_WAIT_SECONDS),
                    max_archive_size=settings.max_archive_size, extraction_directory=checking)

    def cache_factory(**hooks):
        return RunCache(settings.cache, settings.cache_size, **hooks)

    team = TeamRuns(index, store, intake, cache_factory, links=Links(settings.public_url))
    # Prefixed as the index's keys are: a key beginning with "-" would read as
    # an option where a command line takes it (`push --key KEY`).
    launch_key = KEY_PREFIX + secrets.token_urlsafe(LAUNCH_KEY_BYTES) if settings.auth == "token" else None
    access = Access(settings.auth, index, trusted_proxies=settings.trusted_proxy,
                    user_header=settings.user_header, launch_key=launch_key, needs=NEEDS,
                    public_url=settings.public_url)

    def address(runner):
        port = runner.addresses[0][1]
        # The name asked for; for every interface, this machine's.
        host = socket.getfqdn() if settings.host in ("", "0.0.0.0", "::") else settings.host
        shown = "[%s]" % host if ":" in host else host
        base = settings.public_url or "http://%s:%d" % (shown, port)
        return "%s/?token=%s" % (base.rstrip("/"), launch_key) if launch_key else base

    return team, access, address
