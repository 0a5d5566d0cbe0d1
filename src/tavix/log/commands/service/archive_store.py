"""The service's archives: one file per run, named by its content's SHA-256.

An upload is written beside its final name, under a name no listing of
archives takes (a leading dot and another suffix), hashed while it is
written, and renamed into place once complete: a reader never sees half an
archive, and the same archive uploaded twice is one file.
"""
import contextlib
import errno
import hashlib
import os
import re
import shutil
import time
import uuid

from .errors import ArchiveMissing, StoreFull, Unavailable

ARCHIVE_SUFFIX = ".zip"
# A run's search files beside its archive: its index, and the small parts read whole.
SEARCH_INDEX_SUFFIX = ".search-index"
SEARCH_PARTS = ("sections", "lines")
UPLOAD_PREFIX = ".upload-"
UPLOAD_SUFFIX = ".part"
# An upload's file untouched for this long (seconds) belongs to a process
# that is gone; a younger one may be another service's upload in progress.
STALE_UPLOAD_SECONDS = 3600
_DIGEST = re.compile(r"[0-9a-f]{64}")
_DISK_FULL = (errno.ENOSPC, errno.EDQUOT)


def _store_error(error, doing):
    if error.errno in _DISK_FULL:
        return StoreFull("the archive store is full: %s" % doing)
    return Unavailable("the archive store cannot be used: %s: %s" % (doing, error.strerror or error))


def _checked_digest(digest):
    # A digest becomes a file name: nothing but one would name another file.
    if not isinstance(digest, str) or not _DIGEST.fullmatch(digest):
        raise ValueError("not a SHA-256 digest: %r" % (digest,))
    return digest


def _part_suffix(name):
    if name not in SEARCH_PARTS:
        raise ValueError("no search part %r" % (name,))
    return ".search-" + name


def _write_replacing(path, data):
    """Writes `data` (bytes or a binary stream) to a file beside `path`, named
    as uploads are (one a killed process left goes with them), then renames it there."""
    partial = os.path.join(os.path.dirname(path), "%s%s%s" % (UPLOAD_PREFIX, uuid.uuid4().hex, UPLOAD_SUFFIX))
    try:
        with open(partial, "xb") as stream:
            if isinstance(data, (bytes, bytearray)):
                stream.write(data)
            else:
                shutil.copyfileobj(data, stream)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(partial, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(partial)
        raise


class Upload:
    """One archive being written into the store: write(), then commit() or abort()."""

    def __init__(self, store):
        self._store = store
        self.path = os.path.join(store.root, "%s%s%s" % (UPLOAD_PREFIX, uuid.uuid4().hex, UPLOAD_SUFFIX))
        self._hash = hashlib.sha256()
        self.size = 0
        try:
            self._file = open(self.path, "xb")
        except OSError as error:
            raise _store_error(error, "starting an upload") from None

    def write(self, chunk):
        try:
            self._file.write(chunk)
        except OSError as error:
            self.abort()
            raise _store_error(error, "writing an upload") from None
        self._hash.update(chunk)
        self.size += len(chunk)

    @property
    def digest(self):
        return self._hash.hexdigest()

    def finish(self):
        """Makes the written bytes durable, so that the file can be read or renamed."""
        if self._file.closed:
            return
        try:
            self._file.flush()
            os.fsync(self._file.fileno())
            self._file.close()
        except OSError as error:
            self.abort()
            raise _store_error(error, "finishing an upload") from None

    @contextlib.contextmanager
    def readable_copy(self, directory):
        """The upload's own file, to read what was written (`directory`, where
        another store would put a copy, is not needed)."""
        self.finish()
        yield self.path

    def abort(self):
        """Forgets the upload; nothing of it stays in the store. Repeating it does nothing."""
        self._file.close()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass

    def commit(self):
        """Puts the archive in place and returns its digest, with whether this
        upload placed it (False: the store held it already, and the upload's
        file is removed)."""
        if not self._file.closed:
            self.finish()
        digest = self.digest
        target = self._store.path(digest)
        if os.path.exists(target):
            self.abort()
            return digest, False
        try:
            os.replace(self.path, target)
        except OSError as error:
            self.abort()
            raise _store_error(error, "placing an archive") from None
        self._store.sync_directory()
        return digest, True


class DirectoryStore:
    """Archives kept in the directory `root`, as root/<sha256>.zip."""

    def __init__(self, root):
        self.root = os.path.abspath(os.path.expanduser(root))
        try:
            os.makedirs(self.root, exist_ok=True)
        except OSError as error:
            raise _store_error(error, "making %s" % self.root) from None
        self._remove_stale_uploads()

    def _remove_stale_uploads(self):
        oldest = time.time() - STALE_UPLOAD_SECONDS
        with os.scandir(self.root) as entries:
            for entry in entries:
                if not (entry.name.startswith(UPLOAD_PREFIX) and entry.name.endswith(UPLOAD_SUFFIX)):
                    continue
                try:
                    if entry.stat(follow_symlinks=False).st_mtime < oldest:
                        os.unlink(entry.path)
                except FileNotFoundError:  # another service took it away first
                    pass

    def begin(self):
        """A new Upload into the store."""
        return Upload(self)

    def path(self, digest):
        return os.path.join(self.root, _checked_digest(digest) + ARCHIVE_SUFFIX)

    def location(self, digest):
        """Where the archive lives, as the run index keeps it."""
        return self.path(digest)

    def exists(self, digest):
        return os.path.isfile(self.path(digest))

    def fetch(self, digest, directory):
        """The path of the archive, read where it is (nothing is put in `directory`);
        ArchiveMissing when the store does not hold it."""
        path = self.path(digest)
        if not os.path.isfile(path):
            raise ArchiveMissing("the run's archive is missing from the store")
        return path

    def delete(self, digest):
        """Removes the archive and its search files; whether the archive was there."""
        for suffix in (SEARCH_INDEX_SUFFIX,) + tuple(_part_suffix(name) for name in SEARCH_PARTS):
            try:
                os.unlink(self._beside(digest, suffix))
            except FileNotFoundError:
                pass
        try:
            os.unlink(self.path(digest))
        except FileNotFoundError:
            return False
        self.sync_directory()
        return True

    # ------------------------------------------------------------ searching
    def _beside(self, digest, suffix):
        return os.path.join(self.root, _checked_digest(digest) + suffix)

    def search_source(self, digest):
        """What the archive's bytes are read from by a search: its file (read by offset)."""
        return self.path(digest)

    def search_index(self, digest):
        """The path of the archive's search index, or None when it has none."""
        path = self._beside(digest, SEARCH_INDEX_SUFFIX)
        return path if os.path.isfile(path) else None

    def search_part(self, digest, name):
        """The bytes of a search part of the archive (one of SEARCH_PARTS), or None when it has none."""
        try:
            with open(self._beside(digest, _part_suffix(name)), "rb") as stream:
                return stream.read()
        except FileNotFoundError:
            return None

    def put_search_part(self, digest, name, data):
        """Keeps the bytes `data` as a search part of the archive."""
        try:
            _write_replacing(self._beside(digest, _part_suffix(name)), data)
        except OSError as error:
            raise _store_error(error, "keeping a search index") from None
        self.sync_directory()

    def put_search_index(self, digest, index_path):
        """Keeps the search index file at `index_path` beside the archive
        (moved there, or copied from another filesystem)."""
        target = self._beside(digest, SEARCH_INDEX_SUFFIX)
        try:
            try:
                os.replace(index_path, target)
            except OSError as error:
                if error.errno != errno.EXDEV:
                    raise
                with open(index_path, "rb") as stream:
                    _write_replacing(target, stream)
        except OSError as error:
            raise _store_error(error, "keeping a search index") from None
        self.sync_directory()

    def sync_directory(self):
        """Makes renames and removals in the store durable."""
        try:
            descriptor = os.open(self.root, os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(descriptor)
            finally:
                os.close(descriptor)
        except OSError as error:
            raise _store_error(error, "writing the store's directory") from None

    def check(self):
        """Raises Unavailable unless the store can be read and written (readiness).
        Its messages do not name the directory: they may reach clients."""
        if not os.path.isdir(self.root):
            raise Unavailable("the archive store is not there")
        if not os.access(self.root, os.R_OK | os.W_OK | os.X_OK):
            raise Unavailable("the archive store cannot be written")
