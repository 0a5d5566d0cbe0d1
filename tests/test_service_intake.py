"""The service's intake: the archive store, archives taken in (pushed or
watched for), and what is left when they are refused."""
import asyncio
import errno
import glob
import hashlib
import io
import os
import shutil
import tempfile
import threading
import time
import zipfile
from collections import namedtuple

import pytest

from tavix.log.commands.history import IndexBusy, IndexUnavailable, RunIndex, index_url
from tavix.log.commands.service import archive_store
from tavix.log.commands.service.archive_store import DirectoryStore
from tavix.log.commands.service.errors import (ArchiveTooLarge, BadArchive, RequestIdTaken, StoreFull,
                                               Unavailable, UploadCut)
from tavix.log.commands.service.intake import Intake
from tavix.log.commands.service.watch import Watcher

from helpers.waiting import thread_event, until

pytest.importorskip("tavix.log.commands.archive")

MiB = 1 << 20


def sha256(path):
    with open(path, "rb") as stream:
        return hashlib.sha256(stream.read()).hexdigest()


@pytest.fixture(autouse=True)
def extraction_dirs(tmp_path, monkeypatch):
    """The archives' extraction directories left in a temporary directory of the test's own."""
    directory = tmp_path / "temp"
    directory.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(directory))
    return lambda: os.listdir(directory)


async def chunks_of(path, size=64 << 10):
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(size), b""):
            yield block


def same_run_other_archive(source, target):
    """An archive of the same run (its request id) that is another file."""
    with zipfile.ZipFile(source) as original, zipfile.ZipFile(target, "w") as copy:
        for member in original.infolist():
            copy.writestr(member, original.read(member))
        copy.writestr("notes/added.txt", "a file the first archive does not have\n")
    return str(target)


def zip_of(path, members):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    return str(path)


class Service:
    """A store, an index and the intake over them, in a test's directory."""

    def __init__(self, directory, max_archive_size=1 << 30):
        self.root = directory / "store"
        self.store = DirectoryStore(self.root)
        self.url = index_url(str(directory / "index.sqlite"))
        self.intake = Intake(self.store, self.index, max_archive_size=max_archive_size)

    def index(self):
        return RunIndex(self.url)

    def files(self):
        return sorted(os.listdir(self.root))

    def indexed(self, digest):
        with self.index() as index:
            return index.find(digest)


@pytest.fixture
def service(tmp_path):
    return Service(tmp_path)


@pytest.fixture(scope="module")
def refused_archives(tmp_path_factory):
    """Archives the viewer will not open, by why."""
    directory = tmp_path_factory.mktemp("refused")
    (directory / "text.zip").write_text("not a zip at all")
    return {
        "not a zip": str(directory / "text.zip"),
        "empty": zip_of(directory / "empty.zip", {}),
        "no results": zip_of(directory / "plain.zip", {"readme.txt": "hello"}),
        "results unreadable": zip_of(directory / "broken.zip", {"ResultsDetails.xml": "<results"}),
        "results of nothing": zip_of(directory / "other.zip", {"ResultsDetails.xml": "<x/>"}),
        "climbing name": zip_of(directory / "climb.zip", {"ResultsDetails.xml": "<x/>", "../evil.txt": "evil"}),
        "absolute name": zip_of(directory / "absolute.zip", {"/abs/evil.txt": "evil"}),
    }


# ------------------------------------------------------------------ store
def test_an_upload_is_hidden_until_committed_and_stored_once(tmp_path):
    store = DirectoryStore(tmp_path / "store")
    data = os.urandom(3 * MiB)
    digest = hashlib.sha256(data).hexdigest()
    upload = store.begin()
    upload.write(data[:MiB])
    upload.write(data[MiB:])
    # Written beside its final name, where no listing of archives sees it.
    assert glob.glob(str(tmp_path / "store" / "*.zip")) == [] and not store.exists(digest)
    assert os.path.dirname(upload.path) == store.root and os.path.basename(upload.path).startswith(".")
    assert upload.commit() == (digest, True)
    assert os.listdir(store.root) == [digest + ".zip"] and store.exists(digest)
    with open(store.path(digest), "rb") as stream:
        assert stream.read() == data

    again = store.begin()
    again.write(data)
    assert again.commit() == (digest, False)
    assert os.listdir(store.root) == [digest + ".zip"]

    dropped = store.begin()
    dropped.write(b"half an archive")
    dropped.abort()
    dropped.abort()
    assert os.listdir(store.root) == [digest + ".zip"]
    assert store.delete(digest) and not store.delete(digest) and os.listdir(store.root) == []
    with pytest.raises(ValueError):
        store.path("../" + "0" * 61)


def test_leftover_uploads_are_removed_at_start_unless_recent(tmp_path):
    root = tmp_path / "store"
    first = DirectoryStore(root)
    stale, recent = first.begin(), first.begin()
    for upload in (stale, recent):
        upload.write(b"bytes of a process that was killed")
        upload.finish()
    hour_ago = time.time() - archive_store.STALE_UPLOAD_SECONDS - 60
    os.utime(stale.path, (hour_ago, hour_ago))
    (root / ("a" * 64 + ".zip")).write_bytes(b"an archive")
    DirectoryStore(root)
    assert sorted(os.listdir(root)) == sorted([os.path.basename(recent.path), "a" * 64 + ".zip"])


def test_a_full_disk_is_store_full_and_leaves_nothing(tmp_path, monkeypatch):
    store = DirectoryStore(tmp_path / "store")
    real_open = open

    class FillingFile(io.FileIO):
        """A file on a disk with room for 1 MiB."""

        def write(self, data):
            if self.tell() + len(data) > MiB:
                raise OSError(errno.ENOSPC, "No space left on device")
            return super().write(data)

    monkeypatch.setattr(archive_store, "open", lambda path, mode: FillingFile(path, mode[0]), raising=False)
    upload = store.begin()
    upload.write(b"x" * 1000)
    with pytest.raises(StoreFull):
        upload.write(b"x" * MiB)
    assert os.listdir(store.root) == []
    monkeypatch.setattr(archive_store, "open", real_open, raising=False)

    def full_at_sync(descriptor):
        raise OSError(errno.EDQUOT, "Disk quota exceeded")

    upload = store.begin()
    upload.write(b"x" * 1000)
    monkeypatch.setattr(archive_store.os, "fsync", full_at_sync)
    with pytest.raises(StoreFull):
        upload.commit()
    assert os.listdir(store.root) == []


def test_check_tells_an_unusable_store(tmp_path):
    store = DirectoryStore(tmp_path / "store")
    store.check()
    shutil.rmtree(store.root)
    with pytest.raises(Unavailable) as refused:
        store.check()
    assert str(tmp_path) not in str(refused.value)


# ----------------------------------------------------------------- intake
async def test_a_run_is_stored_by_its_content_and_indexed_once(service, generated_run, extraction_dirs):
    digest = sha256(generated_run.path)
    run, created = await service.intake.take(chunks_of(generated_run.path))
    assert created and run["content_hash"] == digest
    with zipfile.ZipFile(generated_run.path) as source:
        assert run["request_id"] and run["request_id"] in source.read("ResultsDetails.xml").decode()
    assert service.files() == [digest + ".zip"]
    recorded = service.indexed(digest)
    assert recorded["request_id"] == run["request_id"]
    assert recorded["archive"] == service.store.path(digest)

    size = os.path.getsize(generated_run.path)
    again, created = await service.intake.take(chunks_of(generated_run.path, size=1000), size)
    assert (again, created) == (run, False)
    assert service.files() == [digest + ".zip"]
    assert extraction_dirs() == []


async def test_a_run_with_hostile_section_pointers_is_taken_as_the_viewer_serves_it(service, hostile_run):
    run, created = await service.intake.take(chunks_of(hostile_run.path))
    assert created and service.files() == [run["content_hash"] + ".zip"]


async def test_archives_the_viewer_refuses_leave_nothing(service, refused_archives, extraction_dirs):
    for why, path in refused_archives.items():
        with pytest.raises(BadArchive) as refused:
            await service.intake.take(chunks_of(path))
        assert service.files() == [] and service.indexed(sha256(path)) is None, why
        assert "tavix.logviewer" not in str(refused.value), why
    assert extraction_dirs() == []


async def test_an_archive_that_would_fill_the_disk_is_refused(service, generated_run, monkeypatch):
    Usage = namedtuple("Usage", "total used free")
    monkeypatch.setattr(shutil, "disk_usage", lambda path: Usage(10 ** 6, 10 ** 6 - 1000, 1000))
    with pytest.raises(StoreFull):
        await service.intake.take(chunks_of(generated_run.path))
    assert service.files() == [] and service.indexed(sha256(generated_run.path)) is None


async def test_a_cut_upload_leaves_nothing(service, generated_run):
    size = os.path.getsize(generated_run.path)

    async def cut_off(after):
        sent = 0
        async for chunk in chunks_of(generated_run.path, 4096):
            yield chunk
            sent += len(chunk)
            if sent >= after:
                raise ConnectionResetError("Connection lost")

    with pytest.raises(UploadCut, match="Connection lost"):
        await service.intake.take(cut_off(16 << 10))
    with pytest.raises(UploadCut, match="ended after"):
        await service.intake.take(chunks_of(generated_run.path), size + 1)
    with pytest.raises(UploadCut, match="more than"):
        await service.intake.take(chunks_of(generated_run.path), size - 1)
    assert service.files() == []


async def test_an_archive_too_large_is_refused_without_reading_it_all(tmp_path, generated_run):
    limit = 16 << 10
    service = Service(tmp_path, max_archive_size=limit)
    read = []

    async def counted():
        async for chunk in chunks_of(generated_run.path, 4096):
            read.append(len(chunk))
            yield chunk

    with pytest.raises(ArchiveTooLarge):
        await service.intake.take(counted(), limit + 1)
    assert read == []
    with pytest.raises(ArchiveTooLarge):
        await service.intake.take(counted())
    assert sum(read[:-1]) <= limit < sum(read)
    with pytest.raises(ArchiveTooLarge):
        await service.intake.take_file(generated_run.path)
    assert service.files() == []


async def test_another_archive_of_a_stored_request_id_is_refused(service, generated_run, tmp_path):
    run, _ = await service.intake.take(chunks_of(generated_run.path))
    other = same_run_other_archive(generated_run.path, tmp_path / "other.zip")
    with pytest.raises(RequestIdTaken, match=run["request_id"]):
        await service.intake.take(chunks_of(other))
    assert service.files() == [run["content_hash"] + ".zip"] and service.indexed(sha256(other)) is None


async def test_an_index_down_stores_nothing(service, generated_run, monkeypatch):
    def unreachable():
        raise IndexUnavailable("postgresql://tavix@db.example/runs", "connection refused")

    intake = Intake(service.store, unreachable, max_archive_size=1 << 30)
    with pytest.raises(Unavailable) as refused:
        await intake.take(chunks_of(generated_run.path))
    assert "db.example" not in str(refused.value) and service.files() == []

    # Refused as the run is recorded: the archive placed for it goes again.
    def busy(self, archive, digest=None, **options):
        assert os.path.exists(archive.file)
        raise IndexBusy(self.shown)

    monkeypatch.setattr(RunIndex, "record", busy)
    with pytest.raises(Unavailable):
        await service.intake.take(chunks_of(generated_run.path))
    assert service.files() == []


async def test_a_full_store_indexes_nothing(service, generated_run, monkeypatch):
    def full(descriptor):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(archive_store.os, "fsync", full)
    with pytest.raises(StoreFull):
        await service.intake.take(chunks_of(generated_run.path))
    monkeypatch.undo()
    assert service.files() == [] and service.indexed(sha256(generated_run.path)) is None


async def test_a_client_that_leaves_during_the_check_leaves_nothing(service, generated_run, monkeypatch):
    checking, go_on = threading.Event(), threading.Event()
    find = RunIndex.find

    def slow_find(self, digest):
        checking.set()
        assert go_on.wait(10)
        return find(self, digest)

    monkeypatch.setattr(RunIndex, "find", slow_find)
    taking = asyncio.ensure_future(service.intake.take(chunks_of(generated_run.path)))
    assert await thread_event(checking)
    taking.cancel()
    with pytest.raises(asyncio.CancelledError):
        await taking
    go_on.set()
    # The worker thread finishes the check on its own, then stops short of storing.
    assert await until(lambda: service.files() == [])
    monkeypatch.undo()
    assert service.indexed(sha256(generated_run.path)) is None


async def test_a_file_taken_stays_in_place_and_is_recognised_by_its_content(service, generated_run, tmp_path):
    path = tmp_path / "dropped.zip"
    shutil.copyfile(generated_run.path, path)
    run, created = await service.intake.take_file(str(path))
    assert created and path.exists() and service.files() == [run["content_hash"] + ".zip"]
    begun = []
    service.store.begin = lambda: begun.append(1)
    assert await service.intake.take_file(str(path)) == (run, False)
    assert begun == []
    os.mkfifo(tmp_path / "pipe.zip")
    with pytest.raises(BadArchive, match="regular"):
        await service.intake.take_file(str(tmp_path / "pipe.zip"))


# ------------------------------------------------------------------ watch
class CountedIntake:
    """The intake of `service`, counting the files it is given."""

    def __init__(self, intake):
        self.intake, self.given = intake, []

    async def take_file(self, path):
        self.given.append(os.path.basename(path))
        return await self.intake.take_file(path)


@pytest.fixture
def dropbox(tmp_path):
    directory = tmp_path / "dropbox"
    directory.mkdir()
    return directory


async def test_a_file_is_taken_once_it_has_stopped_changing(service, generated_run, dropbox):
    intake = CountedIntake(service.intake)
    watcher = Watcher(str(dropbox), intake, settle_seconds=3600)
    path = dropbox / "nightly.zip"
    with open(generated_run.path, "rb") as source:
        data = source.read()
    path.write_bytes(data[:1000])
    (dropbox / ".nightly.zip.part").write_bytes(data)
    (dropbox / "notes.txt").write_bytes(b"not an archive")
    await watcher.scan()
    await watcher.scan()
    assert intake.given == []  # not settled for an hour
    watcher.settle_seconds = 0
    with open(path, "ab") as growing:
        growing.write(data[1000:])
    await watcher.scan()  # changed since: settling again
    assert intake.given == []
    await watcher.scan()
    assert intake.given == ["nightly.zip"] and watcher.taken == 1
    assert service.files() == [sha256(generated_run.path) + ".zip"] and path.read_bytes() == data
    for _ in range(3):
        await watcher.scan()
    assert intake.given == ["nightly.zip"]

    # Remembered by its content: a watcher of after a restart stores nothing again.
    restarted = Watcher(str(dropbox), CountedIntake(service.intake), settle_seconds=0)
    begun = []
    service.store.begin = lambda: begun.append(1)
    await restarted.scan()
    await restarted.scan()
    assert restarted.taken == 1 and begun == []


async def test_files_refused_are_reported_once_and_the_watch_goes_on(service, generated_run, dropbox, caplog,
                                                                    monkeypatch):
    (dropbox / "broken.zip").write_bytes(b"not a zip")
    shutil.copyfile(generated_run.path, dropbox / "good.zip")
    watcher = Watcher(str(dropbox), service.intake, settle_seconds=0)
    monkeypatch.setattr(RunIndex, "record", lambda self, archive, digest=None, **options: (_ for _ in ()).throw(
        IndexBusy(self.shown)))
    for _ in range(4):
        await watcher.scan()
    warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert sorted(warnings) == sorted([
        "not taken: %s: not a run archive: BadZipFile: File is not a zip file" % (dropbox / "broken.zip"),
        "not taken yet: %s: the run index cannot be used now" % (dropbox / "good.zip")])
    assert (watcher.taken, watcher.refused) == (0, 1)
    # An index down is tried again once the file has settled anew.
    monkeypatch.undo()
    await watcher.scan()
    assert watcher.taken == 1 and service.files() == [sha256(generated_run.path) + ".zip"]


async def test_the_watch_polls_until_stopped_whatever_the_directory_does(service, generated_run, tmp_path, caplog):
    dropbox = tmp_path / "not yet"
    watcher = Watcher(str(dropbox), service.intake, settle_seconds=0.05, poll_seconds=0.01)
    watching = asyncio.ensure_future(watcher.run())
    try:
        assert await until(lambda: any("cannot watch" in r.getMessage() for r in caplog.records))
        dropbox.mkdir()
        shutil.copyfile(generated_run.path, dropbox / "run.zip")
        assert await until(lambda: watcher.taken == 1)
    finally:
        watching.cancel()
    with pytest.raises(asyncio.CancelledError):
        await watching
    assert len([r for r in caplog.records if "cannot watch" in r.getMessage()]) == 1


async def test_a_request_cut_off_midway_leaves_nothing(service, generated_run, aiohttp_server):
    from aiohttp import web

    outcomes = []

    async def runs(request):
        try:
            run, created = await service.intake.take(request.content.iter_chunked(4096), request.content_length)
        except BaseException as error:
            outcomes.append(error)
            raise
        outcomes.append(run)
        return web.json_response({"created": created, "run": run})

    app = web.Application()
    app.router.add_post("/api/v1/runs", runs)
    server = await aiohttp_server(app, access_log=None)
    with open(generated_run.path, "rb") as source:
        data = source.read()
    reader, writer = await asyncio.open_connection(server.host, server.port)
    writer.write(b"POST /api/v1/runs HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n" % len(data))
    writer.write(data[:len(data) // 2])
    await writer.drain()
    assert await until(lambda: service.files() != [])  # the upload has begun
    writer.close()
    assert await until(lambda: outcomes)
    # The server either stops the handler or lets the body's reader fail.
    assert isinstance(outcomes[0], (asyncio.CancelledError, UploadCut)) and service.files() == []
