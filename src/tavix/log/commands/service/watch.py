"""`tavix logs serve --watch DIR`: archives dropped into a directory (a CI
share) taken in as pushed ones are.

A file is taken once its size and modification time have stayed the same
for the settle time: one still being copied keeps changing. It is left where
it is; the intake knows an archive stored before by its content, so a
restart takes nothing twice. A file is looked at again only when it changes.
"""
import asyncio
import logging
import os
import stat

from .errors import ServiceError, StoreFull, Unavailable, UploadCut

logger = logging.getLogger("tavix.log.commands.service")

SETTLE_SECONDS = 2.0
POLL_SECONDS = 0.5
# Refusals that may not last: the file is tried again once it has settled anew.
_PASSING = (Unavailable, StoreFull, UploadCut, OSError)


def archives_in(directory):
    """{path: (size, mtime_ns)} of the regular *.zip files in `directory`;
    names starting with a dot (a copy's temporary) are left out."""
    found = {}
    with os.scandir(directory) as entries:
        for entry in entries:
            if entry.name.startswith(".") or not entry.name.lower().endswith(".zip"):
                continue
            try:
                status = entry.stat()
            except OSError:  # gone, or a link to nothing
                continue
            if stat.S_ISREG(status.st_mode):
                found[entry.path] = (status.st_size, status.st_mtime_ns)
    return found


class Watcher:
    """Watches `directory` for archives and gives each to `intake` (an Intake).

    `await watcher.run()` polls every poll_seconds until cancelled; nothing
    a file does stops it. `taken` and `refused` count the files handled.
    """

    def __init__(self, directory, intake, *, settle_seconds=SETTLE_SECONDS, poll_seconds=POLL_SECONDS):
        self.directory = directory
        self.intake = intake
        self.settle_seconds = settle_seconds
        self.poll_seconds = poll_seconds
        self.taken = 0
        self.refused = 0
        self._unchanged_since = {}  # path -> (size, mtime_ns, loop time first seen so)
        self._handled = {}  # path -> (size, mtime_ns) taken or refused for good
        self._reported = set()  # (path, (size, mtime_ns), failure text) already in the log
        self._directory_failure = None

    async def run(self):
        while True:
            await self.scan()
            await asyncio.sleep(self.poll_seconds)

    async def scan(self):
        """One look at the directory, taking the files that have settled."""
        try:
            found = await asyncio.to_thread(archives_in, self.directory)
        except OSError as error:
            failure = "%s: %s" % (type(error).__name__, error.strerror or error)
            if failure != self._directory_failure:
                logger.error("cannot watch %s: %s", self.directory, failure)
                self._directory_failure = failure
            return
        self._directory_failure = None
        now = asyncio.get_running_loop().time()
        for memory in (self._unchanged_since, self._handled):
            for path in set(memory) - set(found):
                del memory[path]  # a file gone is new should it come back
        self._reported = {said for said in self._reported if said[0] in found}
        for path, state in sorted(found.items()):
            if self._handled.get(path) == state:
                continue
            seen = self._unchanged_since.get(path)
            if seen is None or seen[:2] != state:
                self._unchanged_since[path] = state + (now,)
            elif now - seen[2] >= self.settle_seconds:
                await self._take(path, state)

    async def _take(self, path, state):
        try:
            run, created = await self.intake.take_file(path)
        except _PASSING as error:
            # Tried again after another settle time; said once.
            self._unchanged_since[path] = state + (asyncio.get_running_loop().time(),)
            self._report(path, state, error, "not taken yet")
            return
        except ServiceError as error:
            self._handled[path] = state
            self.refused += 1
            self._report(path, state, error, "not taken")
            return
        except Exception:
            self._handled[path] = state
            self.refused += 1
            logger.exception("not taken: %s", path)
            return
        self._handled[path] = state
        self.taken += 1
        del self._unchanged_since[path]
        logger.info("%s %s: run %s", "taken" if created else "already stored", path, run["request_id"])

    def _report(self, path, state, error, what):
        text = str(error) or type(error).__name__
        if (path, state, text) not in self._reported:
            self._reported.add((path, state, text))
            logger.warning("%s: %s: %s", what, path, text)
