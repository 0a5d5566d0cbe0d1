"""Runs coming into the service: an archive streamed into the store, checked
by opening it as the viewer does, and recorded in the run index.

Whatever fails, the store and the index are left as they were: the upload's
file is removed, and an archive placed for a run the index then refused is
taken away again.
"""
import asyncio
import contextlib
import errno
import hashlib
import logging
import os
import stat
import tempfile
import threading

from .errors import ArchiveTooLarge, BadArchive, RequestIdTaken, StoreFull, Unavailable, UploadCut

logger = logging.getLogger("tavix.log.commands.service")

# Bytes of an upload gathered before one write in a worker thread: a thread
# for every network chunk would cost more than the write.
WRITE_BATCH = 1 << 20
FILE_BLOCK = 1 << 20
_DISK_FULL = (errno.ENOSPC, errno.EDQUOT)


def _opening_failure(error):
    """What is wrong with an archive that would not open, without the
    server's own paths (an OSError names the extracted file)."""
    if isinstance(error, OSError) and error.filename:
        return "%s: %s" % (error.strerror or type(error).__name__, os.path.basename(str(error.filename)))
    return "%s: %s" % (type(error).__name__, error) if str(error) else type(error).__name__


def _open_regular(path):
    """The file at `path` for reading, refused unless it is a regular file
    (opened without blocking first: a FIFO would wait for a writer)."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise BadArchive("not a regular file")
        os.set_blocking(descriptor, True)
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


async def _file_chunks(stream):
    while True:
        block = await asyncio.to_thread(stream.read, FILE_BLOCK)
        if not block:
            return
        yield block


def _write_all(upload, chunks):
    for chunk in chunks:
        upload.write(chunk)


class Intake:
    """Takes run archives into `store` (a DirectoryStore or an ObjectStore) and the run index.

    index_factory() gives a RunIndex, used for one archive and closed after.
    An archive larger than max_archive_size bytes is refused as soon as that
    is known. extraction_directory: where an archive is opened to be checked
    (default: the system's temporary directory).
    """

    def __init__(self, store, index_factory, *, max_archive_size, extraction_directory=None):
        self.store = store
        self.index_factory = index_factory
        self.max_archive_size = max_archive_size
        self.extraction_directory = extraction_directory
        self.search_files = None
        # Checking that a request id is free, placing the archive and
        # recording its run happen for one archive at a time.
        self._recording = threading.Lock()

    async def take(self, chunks, length=None):
        """(run object, created) for the archive whose bytes the async
        iterator `chunks` gives; `length`, when given, is how many there are
        to be. created is False when the same archive was stored before."""
        self._check_size(length)
        upload = await asyncio.to_thread(self.store.begin)
        try:
            await self._receive(upload, chunks, length)
        except BaseException:
            await asyncio.to_thread(upload.abort)
            raise
        abandoned = threading.Event()
        try:
            return await asyncio.to_thread(self._settle, upload, abandoned)
        except asyncio.CancelledError:
            # The worker thread goes on to its end, stopping short of storing.
            abandoned.set()
            raise

    async def take_file(self, path):
        """take() for the archive file at `path`, which is left where it is.
        An archive stored before is recognised by its content without copying it."""
        found = await asyncio.to_thread(self._stored_run, path)
        if found is not None:
            return found, False
        stream = await asyncio.to_thread(_open_regular, path)
        try:
            return await self.take(_file_chunks(stream), os.fstat(stream.fileno()).st_size)
        finally:
            stream.close()

    # ---------------------------------------------------------- receiving
    def _check_size(self, size):
        if size is not None and size > self.max_archive_size:
            raise ArchiveTooLarge("the archive is larger than the %d bytes the service takes"
                                  % self.max_archive_size)

    async def _receive(self, upload, chunks, length):
        iterator = chunks.__aiter__()
        batch, batched, received = [], 0, 0
        while True:
            try:
                chunk = await iterator.__anext__()
            except StopAsyncIteration:
                break
            except Exception as error:
                raise UploadCut("the upload was cut off: %s" % (str(error) or type(error).__name__)) from error
            received += len(chunk)
            self._check_size(received)
            if length is not None and received > length:
                raise UploadCut("the upload holds more than the %d bytes it announced" % length)
            batch.append(chunk)
            batched += len(chunk)
            if batched >= WRITE_BATCH:
                await asyncio.to_thread(_write_all, upload, batch)
                batch, batched = [], 0
        if length is not None and received < length:
            raise UploadCut("the upload ended after %d of the %d bytes it announced" % (received, length))
        await asyncio.to_thread(_write_all, upload, batch)
        await asyncio.to_thread(upload.finish)

    # -------------------------------------------------- checking, recording
    @contextlib.contextmanager
    def _index(self):
        """The run index, its failures as the service answers them; the
        details, which name the index, only in the service's log."""
        from tavix.log.commands.history import RunBeingDeleted, RunIndexError, RunNotIndexed

        try:
            with self.index_factory() as index:
                yield index
        except RunBeingDeleted as error:
            logger.error("%s", error)
            raise Unavailable("the run is being deleted by a retention sweep: push it again once "
                              "the sweep is done") from error
        except RunNotIndexed as error:
            logger.error("%s", error)
            raise BadArchive("the run index cannot hold this run") from error
        except RunIndexError as error:
            logger.error("%s", error)
            raise Unavailable("the run index cannot be used now") from error

    @contextlib.contextmanager
    def _opened(self, path):
        """The archive at `path`, opened as the viewer opens it: every rule
        the viewer has for a hostile archive applies."""
        from tavix.log.commands.archive import Archive

        options = {} if self.extraction_directory is None else {"directory": self.extraction_directory}
        opening = Archive(path, **options)
        try:
            archive = opening.__enter__()
        except OSError as error:
            if error.errno in _DISK_FULL:
                raise StoreFull("there is no room to open the archive and check it") from error
            raise BadArchive("not a run archive: %s" % _opening_failure(error)) from error
        except Exception as error:
            raise BadArchive("not a run archive: %s" % _opening_failure(error)) from error
        try:
            yield archive
        finally:
            opening.__exit__(None, None, None)

    def _settle(self, upload, abandoned):
        """The received upload stored and its run recorded, or nothing of it kept."""
        digest = upload.digest
        try:
            with self._index() as index:
                run = index.find(digest)
                if run is not None:
                    upload.commit()  # puts the archive back should the store have lost it
                    return index.run_object(run), False
                checking = self.extraction_directory or tempfile.gettempdir()
                with upload.readable_copy(checking) as path, self._opened(path) as archive:
                    request_id = archive.results.meta.get("request_id") or ""
                    if not request_id:
                        raise BadArchive("the run has no request id, which names it in the service")
                    with self._recording:
                        if abandoned.is_set():
                            raise UploadCut("the client left before the archive was stored")
                        answer, created = self._record(index, upload, archive, digest, request_id)
                    if created and self.search_files is not None:
                        self._build_search(index, archive, digest, path)
                    return answer, created
        finally:
            upload.abort()  # nothing left of it once committed

    def _record(self, index, upload, archive, digest, request_id):
        from tavix.log.commands.history import RequestIdHeld

        run = index.find(digest)  # another upload of the same archive may have just been recorded
        # Refused before the archive is placed; recording checks again, in the writers' turn.
        if run is None and index.run_by_request_id(request_id) is not None:
            raise RequestIdTaken("the service holds another archive of run %s" % request_id)
        _, placed = upload.commit()
        if run is not None:
            return index.run_object(run), False
        # The index keeps where the archive lives from now on, not where it was checked.
        archive.file = self.store.location(digest)
        try:
            run, created = index.record(archive, digest, sole_request_id=True)
        except RequestIdHeld:
            self._take_back(index, digest, placed)
            raise RequestIdTaken("the service holds another archive of run %s" % request_id) from None
        except BaseException:
            self._take_back(index, digest, placed)
            raise
        return index.run_object(run), created

    def _build_search(self, index, archive, digest, path):
        """Builds the search index of a run just recorded. The run is stored
        whatever happens: one without an index is searched the slow way."""
        # A directory store's upload is its archive, renamed into place: the store's file is read.
        local = path if os.path.isfile(path) else None
        try:
            self.search_files.build(archive, index.find(digest), local)
        except Exception as error:
            logger.warning("The run %s has no search index: %s: %s", digest, type(error).__name__, error)

    def _take_back(self, index, digest, placed):
        """Removes the archive this upload placed for a run the index did not
        take, unless the index holds a run of it after all: another replica
        may have recorded the same archive meanwhile. An index that cannot
        be asked keeps the archive (its run may have been recorded as the
        connection went); pushing it again finds it in place."""
        from tavix.log.commands.history import RunIndexError

        if not placed:
            return
        try:
            if index.find(digest) is not None:
                return
        except RunIndexError as error:
            logger.warning("The archive %s stays in the store: the index cannot tell whether it holds "
                           "its run: %s", digest, error)
            return
        self.store.delete(digest)

    def _stored_run(self, path):
        """The run object of the archive file at `path` when the service holds it already, else None."""
        digest = hashlib.sha256()  # the content hash the run index keys runs by
        with _open_regular(path) as stream:
            self._check_size(os.fstat(stream.fileno()).st_size)
            for block in iter(lambda: stream.read(FILE_BLOCK), b""):
                digest.update(block)
        digest = digest.hexdigest()
        if not self.store.exists(digest):
            return None
        with self._index() as index:
            run = index.find(digest)
            return None if run is None else index.run_object(run)

