"""A team service put together from its parts in a directory, for tests."""
from tavix.log.commands.service.application import NEEDS, ServiceAccessLog, build_application

__all__ = ["ServiceParts", "ServiceAccessLog"]


class ServiceParts:
    """The index, store and cache of a service in `root`. `application()` makes
    a new application over them: a restart of the service is another call.
    `store`: what --store would name (a directory or s3://BUCKET/PREFIX);
    default, the directory root/store."""

    def __init__(self, root, *, auth="none", cache_bytes=1 << 30, max_open=8, max_archive_size=1 << 30,
                 launch_key=None, trusted_proxies=(), user_header=None, public_url=None, store=None):
        from tavix.log.commands.history import RunIndex

        self.root = root
        self.index_url = "sqlite:///%s" % (root / "index.sqlite")
        self.index = RunIndex(self.index_url)
        self.auth, self.launch_key = auth, launch_key
        self.trusted_proxies, self.user_header = trusted_proxies, user_header
        self.cache_bytes, self.max_open = cache_bytes, max_open
        self.max_archive_size = max_archive_size
        self.public_url = public_url
        self.store = store or str(root / "store")
        self.caches = []

    def application(self):
        from tavix.log.commands.service.access import Access
        from tavix.log.commands.service.intake import Intake
        from tavix.log.commands.service.links import Links
        from tavix.log.commands.service.run_cache import RunCache
        from tavix.log.commands.service.stores import store_from_setting
        from tavix.log.commands.service.team_runs import TeamRuns

        store = store_from_setting(self.store)
        intake = Intake(store, lambda: self.index, max_archive_size=self.max_archive_size)

        def cache_factory(**hooks):
            cache = RunCache(self.root / "cache", self.cache_bytes, self.max_open, **hooks)
            self.caches.append(cache)
            return cache

        team = TeamRuns(self.index, store, intake, cache_factory, links=Links(self.public_url))
        access = Access(self.auth, self.index, trusted_proxies=self.trusted_proxies,
                        user_header=self.user_header, launch_key=self.launch_key, needs=NEEDS,
                        public_url=self.public_url)
        return build_application(team, access)


def served_process(env, root, *options):
    """A `tavix logs serve` process on a free loopback port over the store and
    cache in `root` (the index: env's TAVIX_INDEX): (process, its URL, its
    launch key). The caller stops it with stop_served(process)."""
    import re
    import subprocess
    import sys

    process = subprocess.Popen(
        [sys.executable, "-m", "tavix.cli.main", "logs", "serve", "--port", "0", "--host", "127.0.0.1",
         "--store", str(root / "store"), "--cache", str(root / "cache"), *options],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for line in process.stdout:
        found = re.search(r"(http://127\.0\.0\.1:\d+)/\?token=(\S+)", line)
        if found:
            return process, found.group(1), found.group(2)
    stop_served(process)
    raise AssertionError("the service announced no address")


def stop_served(process):
    if process.poll() is None:
        process.kill()
    process.wait(10)
    process.stdout.close()
    process.stderr.close()
