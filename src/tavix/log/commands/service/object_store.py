"""The service's archives in an S3 bucket: PREFIX/<sha256>.zip, one object per run.

An upload streams into the bucket as it comes, part by part of a multipart
upload (one part held in memory at most), under a temporary key no listing
of archives takes (PREFIX/.incoming/<uuid>). Once complete, the object is
read back and its SHA-256 compared with the one computed while it was sent,
then copied to its final key within the store and the temporary removed: a
reader never sees half an archive, and the same archive uploaded twice is
one object.

boto3 clients are safe to share between threads; every call here blocks and
is made from a worker thread.
"""
import contextlib
import datetime
import errno
import hashlib
import logging
import os
import re
import threading
import uuid

from .errors import ArchiveMissing, StoreFull, Unavailable

logger = logging.getLogger("tavix.log.commands.service")

SCHEME = "s3://"
ARCHIVE_SUFFIX = ".zip"
# A run's search files beside its archive: its index, and the small parts read whole.
SEARCH_INDEX_SUFFIX = ".search-index"
SEARCH_PARTS = ("sections", "lines")
INCOMING = ".incoming/"
# The bytes of one part of a multipart upload, the most an upload holds in
# memory: S3 takes parts of 5 MiB and more (the last one aside), at most
# 10,000 of them (78 GiB of archive at this size).
PART_SIZE = 8 << 20
DOWNLOAD_BLOCK = 1 << 20
# The least a search's ranged GET of an archive asks for.
READ_AHEAD = 1 << 20
# A copy within the store above this size is made in parts: one request
# copies at most 5 GiB.
COPY_PART_LIMIT = 5 << 30
# An incoming object or multipart upload untouched for this long belongs to a
# process that is gone; a younger one may be another replica's upload.
STALE_UPLOAD_SECONDS = 3600
CONNECT_SECONDS = 5
# A copy within the store answers once done: a few GiB take a while.
READ_SECONDS = 300
# Bucket names as S3 allows them (3 to 63 lowercase letters, digits, dots, dashes).
_BUCKET = re.compile(r"[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]")
_DIGEST = re.compile(r"[0-9a-f]{64}")
_FULL = frozenset({"EntityTooLarge", "QuotaExceeded", "StorageFull", "XMinioStorageFull",
                   "InsufficientStorage", "507"})
_REFUSED = frozenset({"AccessDenied", "InvalidAccessKeyId", "SignatureDoesNotMatch", "InvalidToken",
                      "ExpiredToken", "403"})
_MISSING_OBJECT = frozenset({"NoSuchKey", "NotFound", "404"})
_MISSING_UPLOAD = frozenset({"NoSuchUpload", "NoSuchKey", "404"})


def _part_suffix(name):
    if name not in SEARCH_PARTS:
        raise ValueError("no search part %r" % (name,))
    return ".search-" + name


def is_object_store(text):
    return text.startswith(SCHEME)


def parse_object_store(text):
    """(bucket, prefix) of s3://BUCKET[/PREFIX]; the prefix without slashes
    at its ends. ValueError for anything else."""
    bucket, _, prefix = text[len(SCHEME):].partition("/") if is_object_store(text) else ("", "", "")
    prefix = prefix.strip("/")
    if not _BUCKET.fullmatch(bucket) or any(part in ("", ".", "..") for part in prefix.split("/") if prefix):
        raise ValueError("an object store is s3://BUCKET/PREFIX, BUCKET a bucket's name: %r" % text)
    return bucket, prefix


def s3_client(endpoint_url=None, access_key_id=None, secret_access_key=None, region=None):
    """A boto3 S3 client; what is None comes from boto3's own sources (the
    AWS_* variables, ~/.aws). Retries are boto3's standard ones (3 attempts,
    AWS_MAX_ATTEMPTS to change them)."""
    import boto3
    from botocore.config import Config

    config = Config(connect_timeout=CONNECT_SECONDS, read_timeout=READ_SECONDS, retries={"mode": "standard"},
                    max_pool_connections=16)
    return boto3.session.Session().client(
        "s3", endpoint_url=endpoint_url, aws_access_key_id=access_key_id,
        aws_secret_access_key=secret_access_key, region_name=region, config=config)


def _code(error):
    """The S3 error code of a ClientError (a HEAD answer has only its status), else None."""
    from botocore.exceptions import ClientError

    if not isinstance(error, ClientError):
        return None
    return str(error.response.get("Error", {}).get("Code") or
               error.response.get("ResponseMetadata", {}).get("HTTPStatusCode", ""))


def _failure(error, doing, logged=True):
    """The ServiceError of a failed call of the store. The message reaches
    clients: it names neither the endpoint nor the bucket; the service's log
    has the details (never a secret: boto3's errors hold none)."""
    from botocore.exceptions import NoCredentialsError, PartialCredentialsError

    code = _code(error)
    if logged:
        logger.error("The archive store failed %s: %s", doing, error)
    if isinstance(error, (NoCredentialsError, PartialCredentialsError)):
        return Unavailable("the service has no credentials for the archive store: %s" % doing)
    if code in _FULL:
        return StoreFull("the archive store is full: %s" % doing)
    if code in _REFUSED:
        return Unavailable("the archive store refuses the service's credentials: %s" % doing)
    if code == "NoSuchBucket":
        return Unavailable("the archive store's bucket does not exist: %s" % doing)
    if code is not None:
        return Unavailable("the archive store failed %s (%s)" % (doing, code))
    return Unavailable("the archive store cannot be reached: %s" % doing)


def _store_errors():
    from botocore.exceptions import BotoCoreError, ClientError

    return BotoCoreError, ClientError


class _Calls:
    """The store's calls, each failure a ServiceError."""

    def __init__(self, client, bucket):
        self.client, self.bucket = client, bucket

    def __call__(self, doing, method, **arguments):
        try:
            return getattr(self.client, method)(Bucket=self.bucket, **arguments)
        except _store_errors() as error:
            raise _failure(error, doing) from None


class ObjectUpload:
    """One archive being sent into the store: write(), then commit() or abort()."""

    def __init__(self, store):
        self._store = store
        self.key = store.key_of(INCOMING + uuid.uuid4().hex)
        self._hash = hashlib.sha256()
        self.size = 0
        self._buffer = bytearray()
        self._upload_id = None
        self._parts = []
        self._written = False  # the temporary object is complete in the store
        self._ended = False

    @property
    def digest(self):
        return self._hash.hexdigest()

    def write(self, chunk):
        self._hash.update(chunk)
        self.size += len(chunk)
        self._buffer += chunk
        try:
            while len(self._buffer) >= PART_SIZE:
                part = bytes(self._buffer[:PART_SIZE])
                del self._buffer[:PART_SIZE]
                self._send_part(part)
        except BaseException:
            self.abort()
            raise

    def _send_part(self, part):
        call = self._store.call
        if self._upload_id is None:
            self._upload_id = call("starting an upload", "create_multipart_upload", Key=self.key)["UploadId"]
        number = len(self._parts) + 1
        answer = call("sending an upload", "upload_part", Key=self.key, UploadId=self._upload_id,
                      PartNumber=number, Body=part)
        self._parts.append({"PartNumber": number, "ETag": answer["ETag"]})

    def finish(self):
        """Sends what is left: the upload is then an object in the store (at
        its temporary key). An archive of less than a part is sent at once."""
        if self._written:
            return
        try:
            if self._upload_id is None:
                self._store.call("sending an upload", "put_object", Key=self.key, Body=bytes(self._buffer))
            else:
                if self._buffer:
                    self._send_part(bytes(self._buffer))
                self._store.call("finishing an upload", "complete_multipart_upload", Key=self.key,
                                 UploadId=self._upload_id, MultipartUpload={"Parts": self._parts})
        except BaseException:
            self.abort()
            raise
        self._buffer = bytearray()
        self._written = True

    @contextlib.contextmanager
    def readable_copy(self, directory):
        """A file in `directory` holding what the store kept of the upload,
        its SHA-256 verified against the one computed while sending; removed
        after the block. A mismatch is Unavailable, and the upload is aborted."""
        self.finish()
        path = os.path.join(directory, ".incoming-%s%s" % (uuid.uuid4().hex, ARCHIVE_SUFFIX))
        try:
            try:
                self._store.download(self.key, path, self.digest)
            except BaseException:
                self.abort()
                raise
            yield path
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)

    def commit(self):
        """Puts the archive at its final key; (digest, whether this upload
        placed it). Either way the temporary object is removed."""
        self.finish()
        digest = self.digest
        target = self._store.key(digest)
        try:
            if self._store.exists(digest):
                return digest, False
            self._store.copy(self.key, target, self.size)
            return digest, True
        finally:
            self.abort()

    def abort(self):
        """Forgets the upload: its parts or its temporary object go. Repeating
        it does nothing. Should the store not answer, what is left there is
        told in the log, and removed as stale by a later start."""
        if self._ended:
            return
        self._ended = True
        self._buffer = bytearray()
        try:
            if self._written:
                self._store.call("removing an upload", "delete_object", Key=self.key)
            elif self._upload_id is not None:
                self._store.call("aborting an upload", "abort_multipart_upload", Key=self.key,
                                 UploadId=self._upload_id)
        except (Unavailable, StoreFull):
            logger.warning("The upload %s stays in the archive store until a later start removes it", self.key)


class RangedObject:
    """An archive in the store as a search reads it: `.size`, and
    `.read_at(offset, size)`, ranged GETs of the object. A short read is
    answered from the last piece fetched, at least READ_AHEAD bytes long: a
    zip's directory and a deflate stream are read a little at a time."""

    def __init__(self, store, key, size):
        self._store, self.key, self.size = store, key, size
        self._piece = (0, b"")  # (offset, bytes) of the last GET
        self._lock = threading.Lock()
        self.gets = 0

    def read_at(self, offset, size):
        if size <= 0:
            return b""
        if offset < 0 or offset + size > self.size:
            raise OSError(errno.EINVAL, "a read past the end of the archive")
        with self._lock:
            start, piece = self._piece
        if start <= offset and offset + size <= start + len(piece):
            return piece[offset - start:offset - start + size]
        wanted = min(max(size, READ_AHEAD), self.size - offset)
        data = self._store._whole_range(self.key, offset, wanted)
        if len(data) != wanted:
            raise OSError(errno.EIO, "the archive store answered %d of %d bytes" % (len(data), wanted))
        with self._lock:
            self.gets += 1
            if wanted <= READ_AHEAD:
                self._piece = (offset, data)
        return data[:size]


class ObjectStore:
    """Archives kept in `bucket` of the S3 store `client` talks to, as
    PREFIX/<sha256>.zip (`prefix` may be empty)."""

    def __init__(self, client, bucket, prefix=""):
        self.client = client
        self.bucket = bucket
        self.prefix = prefix.strip("/")
        self.call = _Calls(client, bucket)

    @property
    def name(self):
        return "%s%s/%s" % (SCHEME, self.bucket, self.prefix)

    def key_of(self, name):
        return "%s/%s" % (self.prefix, name) if self.prefix else name

    def key(self, digest):
        if not isinstance(digest, str) or not _DIGEST.fullmatch(digest):
            raise ValueError("not a SHA-256 digest: %r" % (digest,))
        return self.key_of(digest + ARCHIVE_SUFFIX)

    def location(self, digest):
        """Where the archive lives, as the run index keeps it."""
        return "%s%s/%s" % (SCHEME, self.bucket, self.key(digest))

    def begin(self):
        """A new ObjectUpload into the store."""
        return ObjectUpload(self)

    def exists(self, digest):
        try:
            self.client.head_object(Bucket=self.bucket, Key=self.key(digest))
        except _store_errors() as error:
            if _code(error) in _MISSING_OBJECT:
                return False
            raise _failure(error, "looking for an archive") from None
        return True

    def delete(self, digest):
        """Removes the archive and its search files; whether the archive was there."""
        for suffix in (SEARCH_INDEX_SUFFIX,) + tuple(_part_suffix(name) for name in SEARCH_PARTS):
            # Removing a key that is not there succeeds.
            self.call("removing a search index", "delete_object", Key=self._beside(digest, suffix))
        if not self.exists(digest):
            return False
        self.call("removing an archive", "delete_object", Key=self.key(digest))
        return True

    # ------------------------------------------------------------ searching
    def _beside(self, digest, suffix):
        return self.key(digest)[:-len(ARCHIVE_SUFFIX)] + suffix

    def search_source(self, digest):
        """What the archive's bytes are read from by a search: the object, by ranged reads."""
        key = self.key(digest)
        try:
            size = self.client.head_object(Bucket=self.bucket, Key=key)["ContentLength"]
        except _store_errors() as error:
            if _code(error) in _MISSING_OBJECT:
                raise ArchiveMissing("the run's archive is missing from the store") from None
            raise _failure(error, "looking for an archive") from None
        return RangedObject(self, key, size)

    def _whole(self, key, doing):
        """The bytes of the object `key`, or None when there is none."""
        try:
            answer = self.client.get_object(Bucket=self.bucket, Key=key)
        except _store_errors() as error:
            if _code(error) in _MISSING_OBJECT:
                return None
            raise _failure(error, doing) from None
        body = answer["Body"]
        try:
            return body.read()
        except _store_errors() as error:
            raise _failure(error, doing) from None
        finally:
            body.close()

    def search_index(self, digest):
        """The bytes of the archive's search index, read whole, or None when it has none."""
        return self._whole(self._beside(digest, SEARCH_INDEX_SUFFIX), "reading a search index")

    def search_part(self, digest, name):
        """The bytes of a search part of the archive (one of SEARCH_PARTS), or None when it has none."""
        return self._whole(self._beside(digest, _part_suffix(name)), "reading a search index")

    def put_search_part(self, digest, name, data):
        """Keeps the bytes `data` as a search part of the archive."""
        self.call("keeping a search index", "put_object", Key=self._beside(digest, _part_suffix(name)), Body=data)

    def put_search_index(self, digest, index_path):
        """Keeps the search index file at `index_path` (left where it is) beside the archive."""
        with open(index_path, "rb") as stream:  # a search index is well under a single PUT's 5 GiB
            self.call("keeping a search index", "put_object", Key=self._beside(digest, SEARCH_INDEX_SUFFIX),
                      Body=stream)

    def fetch(self, digest, directory):
        """The path of a copy of the archive downloaded into `directory`, its
        content checked against its digest; ArchiveMissing when the store
        does not hold it."""
        path = os.path.join(directory, digest + ARCHIVE_SUFFIX)
        self.download(self.key(digest), path, digest)
        return path

    def download(self, key, path, digest):
        """Writes the object `key` to the new file `path` block by block,
        checking that its SHA-256 is `digest`; nothing is left at `path` on failure."""
        try:
            answer = self.client.get_object(Bucket=self.bucket, Key=key)
        except _store_errors() as error:
            if _code(error) in _MISSING_OBJECT:
                raise ArchiveMissing("the run's archive is missing from the store") from None
            raise _failure(error, "reading an archive") from None
        hashed = hashlib.sha256()
        body = answer["Body"]
        try:
            stream = open(path, "xb")
            try:
                with stream:
                    for block in body.iter_chunks(DOWNLOAD_BLOCK):
                        hashed.update(block)
                        stream.write(block)
            except BaseException as error:
                os.unlink(path)
                if isinstance(error, _store_errors()):
                    raise _failure(error, "reading an archive") from None
                if isinstance(error, OSError) and error.errno in (errno.ENOSPC, errno.EDQUOT):
                    raise StoreFull("there is no room for a copy of the archive to read") from None
                raise
        finally:
            body.close()
        if hashed.hexdigest() != digest:
            os.unlink(path)
            logger.error("The object %s of the archive store does not hold the archive %s", key, digest)
            raise Unavailable("the archive store holds other bytes than the archive's")

    def _whole_range(self, key, offset, size):
        try:
            answer = self.client.get_object(Bucket=self.bucket, Key=key,
                                            Range="bytes=%d-%d" % (offset, offset + size - 1))
            body = answer["Body"]
            try:
                return body.read()
            finally:
                body.close()
        except _store_errors() as error:
            if _code(error) in _MISSING_OBJECT:
                raise ArchiveMissing("the run's archive is missing from the store") from None
            raise _failure(error, "reading an archive") from None

    def copy(self, source, target, size):
        """Copies the object `source` to `target` within the store."""
        if size <= COPY_PART_LIMIT:
            self.call("placing an archive", "copy_object", Key=target,
                      CopySource={"Bucket": self.bucket, "Key": source})
            return
        from boto3.s3.transfer import TransferConfig

        try:
            self.client.copy({"Bucket": self.bucket, "Key": source}, self.bucket, target,
                             Config=TransferConfig(multipart_threshold=COPY_PART_LIMIT,
                                                   multipart_chunksize=1 << 30))
        except _store_errors() as error:
            raise _failure(error, "placing an archive") from None

    def check(self):
        """Raises Unavailable unless the bucket can be reached with the
        service's credentials (readiness). Its messages do not name the store:
        they may reach clients."""
        try:
            self.client.head_bucket(Bucket=self.bucket)
        except _store_errors() as error:
            if _code(error) in ("404", "NoSuchBucket"):
                raise Unavailable("the archive store's bucket does not exist") from None
            # Its caller tells why the store is not ready.
            raise _failure(error, "reaching the bucket", logged=False) from None

    def remove_stale_uploads(self, now=None):
        """Takes away the incoming objects and multipart uploads that a
        process gone left, those untouched for STALE_UPLOAD_SECONDS."""
        now = now or datetime.datetime.now(datetime.timezone.utc)
        oldest = now - datetime.timedelta(seconds=STALE_UPLOAD_SECONDS)
        incoming = self.key_of(INCOMING)
        try:
            for page in self.client.get_paginator("list_objects_v2").paginate(Bucket=self.bucket, Prefix=incoming):
                for found in page.get("Contents", ()):
                    if found["LastModified"] < oldest:
                        self.client.delete_object(Bucket=self.bucket, Key=found["Key"])
            for page in self.client.get_paginator("list_multipart_uploads").paginate(
                    Bucket=self.bucket, Prefix=incoming):
                for found in page.get("Uploads", ()):
                    if found["Initiated"] < oldest:
                        try:
                            self.client.abort_multipart_upload(Bucket=self.bucket, Key=found["Key"],
                                                               UploadId=found["UploadId"])
                        except _store_errors() as error:
                            if _code(error) not in _MISSING_UPLOAD:  # another replica took it away first
                                raise
        except _store_errors() as error:
            raise _failure(error, "removing stale uploads") from None
