"""Archives in an S3 store (a SeaweedFS server of the tests' own): uploads in
parts, verified, placed once; start-up failures in one line; the store
down or an object gone, as the service answers them."""
import datetime
import hashlib
import os
import pathlib
import subprocess
import sys

import pytest

from helpers.history_runs import make_run
from helpers.processes import child_environment
from helpers.seaweed import SECRET_KEY, SeaweedServer
from helpers.service import ServiceParts
from tavix.log.commands.service import object_store
from tavix.log.commands.service.application import TEAM
from tavix.log.commands.service.errors import ArchiveMissing, ServiceError, Unavailable
from tavix.log.commands.service.object_store import PART_SIZE
from tavix.log.commands.service.stores import store_from_setting

pytest.importorskip("tavix.log.commands.archive")

VIEWER = "/private/v1/standalone"
MiB = 1 << 20


def keys(store):
    """Every key of the store's bucket, and the keys of its multipart uploads under way."""
    client = store.client
    objects = [found["Key"] for found in client.list_objects_v2(Bucket=store.bucket).get("Contents", ())]
    uploads = [found["Key"] for found in client.list_multipart_uploads(Bucket=store.bucket).get("Uploads", ())]
    return sorted(objects), uploads


def upload_of(store, data, block=MiB):
    upload = store.begin()
    for start in range(0, len(data), block):
        upload.write(data[start:start + block])
    return upload


@pytest.fixture
def store(s3_store):
    return store_from_setting(s3_store)


def test_an_upload_is_hidden_until_committed_and_stored_once(store, tmp_path):
    data = b"an archive's bytes" * 1000
    digest = hashlib.sha256(data).hexdigest()
    upload = upload_of(store, data)
    upload.finish()
    assert keys(store)[0] == [upload.key] and upload.key.startswith("runs/.incoming/")
    assert not store.exists(digest)
    assert upload.commit() == (digest, True)
    assert keys(store) == (["runs/%s.zip" % digest], [])
    assert store.location(digest) == "s3://%s/runs/%s.zip" % (store.bucket, digest)
    fetched = store.fetch(digest, str(tmp_path))
    assert os.path.dirname(fetched) == str(tmp_path) and pathlib.Path(fetched).read_bytes() == data

    again = upload_of(store, data)
    assert again.commit() == (digest, False)
    assert keys(store) == (["runs/%s.zip" % digest], [])
    assert store.delete(digest) and not store.delete(digest) and not store.exists(digest)
    with pytest.raises(ArchiveMissing, match="missing from the store"):
        store.fetch(digest, str(tmp_path))
    assert os.listdir(tmp_path) == ["%s.zip" % digest]  # the first fetch's copy, no other
    with pytest.raises(ValueError):
        store.key("../" + "0" * 61)


def test_parts_are_sent_as_they_come_and_abort_leaves_nothing(store, tmp_path):
    data = os.urandom(2 * PART_SIZE + 3 * MiB)
    upload = upload_of(store, data[:2 * PART_SIZE + MiB])
    # Two parts in the store already, a part's worth at most held here.
    parts = store.client.list_parts(Bucket=store.bucket, Key=upload.key, UploadId=upload._upload_id)["Parts"]
    assert [part["Size"] for part in parts] == [PART_SIZE, PART_SIZE]
    upload.abort()
    assert keys(store) == ([], [])

    upload = upload_of(store, data)
    with upload.readable_copy(str(tmp_path)) as path:
        copied = hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()
        assert copied == upload.digest == hashlib.sha256(data).hexdigest()
    assert os.listdir(tmp_path) == []
    upload.abort()  # after finishing: its object goes
    upload.abort()
    assert keys(store) == ([], [])


def test_an_object_other_than_was_sent_is_refused_and_removed(store, tmp_path):
    upload = upload_of(store, b"the bytes sent")
    upload.finish()
    store.client.put_object(Bucket=store.bucket, Key=upload.key, Body=b"other bytes")
    with pytest.raises(Unavailable, match="other bytes"):
        with upload.readable_copy(str(tmp_path)):
            pass
    assert keys(store) == ([], []) and os.listdir(tmp_path) == []


def test_stale_uploads_go_at_start_young_ones_stay(store):
    finished = upload_of(store, b"left complete")
    finished.finish()
    upload_of(store, os.urandom(PART_SIZE + 1))
    later = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(hours=2)
    store.remove_stale_uploads()
    assert len(keys(store)[0]) == 1 and len(keys(store)[1]) == 1
    store.remove_stale_uploads(now=later)
    assert keys(store) == ([], [])


def test_a_store_that_cannot_be_used_is_one_line_at_start(seaweed, s3_store, monkeypatch, tmp_path):
    bucket = s3_store[len("s3://"):].split("/")[0]
    with pytest.raises(ServiceError) as refused:
        store_from_setting("s3://no-such-bucket/runs")
    assert str(refused.value) == "s3://no-such-bucket/runs: the archive store's bucket does not exist"
    wrong = "wrong-secret-4242"
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", wrong)
    with pytest.raises(ServiceError, match="refuses the service's credentials") as refused:
        store_from_setting(s3_store)
    assert wrong not in str(refused.value) and "\n" not in str(refused.value)

    # As `serve` says it: exit 1, one line, no secret.
    env = child_environment(HOME=str(tmp_path), TAVIX_INDEX=str(tmp_path / "index.sqlite"),
                            **seaweed.environment(secret=wrong))
    served = subprocess.run([sys.executable, "-m", "tavix.cli.main", "logs", "serve", "--port", "0",
                             "--store", "s3://%s/runs" % bucket, "--cache", str(tmp_path / "cache")],
                            env=env, capture_output=True, text=True, timeout=30)
    assert served.returncode == 1 and len(served.stderr.strip().splitlines()) == 1, served.stderr
    assert "refuses the service's credentials" in served.stderr and wrong not in served.stderr + served.stdout
    assert SECRET_KEY not in served.stderr


def test_the_configuration_file_names_the_store_when_the_variables_do_not(seaweed, s3_store, monkeypatch, tmp_path):
    config = tmp_path / "tavix.cfg"
    settings = seaweed.environment()
    config.write_text("[logs]\nservice.s3-endpoint = %s\nservice.s3-region = us-east-1\n"
                      "service.s3-access-key-id = %s\nservice.s3-secret-access-key = %s\n" % (
                          settings["AWS_ENDPOINT_URL"], settings["AWS_ACCESS_KEY_ID"],
                          settings["AWS_SECRET_ACCESS_KEY"]))
    monkeypatch.setenv("TAVIX_CONFIG", str(config))
    for name in settings:
        monkeypatch.delenv(name)
    store_from_setting(s3_store).check()
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "wrong-secret")  # a variable comes first
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", settings["AWS_ACCESS_KEY_ID"])
    with pytest.raises(ServiceError, match="refuses the service's credentials"):
        store_from_setting(s3_store)


def test_store_setting_takes_an_s3_prefix_as_text():
    from tavix.log.commands.service.settings import parse_store

    assert parse_store("s3://team-runs/archives/") == "s3://team-runs/archives/"
    assert object_store.parse_object_store("s3://team-runs/archives/") == ("team-runs", "archives")
    assert object_store.parse_object_store("s3://team-runs") == ("team-runs", "")
    for bad in ("s3://", "s3://Team_Runs/x", "s3://team-runs/a/../b"):
        with pytest.raises(Exception, match="s3://BUCKET/PREFIX"):
            parse_store(bad)


# ---------------------------------------------------------------- service
def two_runs(tmp_path):
    return [make_run(tmp_path / ("%s.zip" % suite), "%s-req" % suite, "2026-12-01T01:00:00",
                     [("a", "passed"), ("b", "failed")], suite=suite) for suite in ("nightly", "weekly")]


async def test_the_service_pushes_and_opens_runs_from_the_store(aiohttp_client, s3_store, tmp_path):
    parts = ServiceParts(tmp_path / "service", store=s3_store)
    service = await aiohttp_client(parts.application())
    first, _ = two_runs(tmp_path)
    answer = await service.post("/api/v1/runs", data=first.read_bytes())
    assert answer.status == 201
    digest = (await answer.json())["run"]["content_hash"]
    again = await service.post("/api/v1/runs", data=first.read_bytes())
    assert again.status == 200 and (await again.json())["created"] is False
    store = store_from_setting(s3_store)
    # The archive, and the search files built as it was pushed.
    assert keys(store) == (["runs/%s%s" % (digest, suffix) for suffix in (
        ".search-index", ".search-lines", ".search-sections", ".zip")], [])

    tree = await service.get("/runs/nightly-req%s/tree" % VIEWER)
    assert tree.status == 200 and (await tree.json())["rows"]
    entry = parts.caches[0].pin_if_open(digest)
    # The copy downloaded counts with the extraction.
    assert entry.disk_bytes > os.path.getsize(first) and os.listdir(entry.fetched) == [digest + ".zip"]
    parts.caches[0].release(entry)
    await service.close()
    assert os.listdir(tmp_path / "service" / "cache") == []


@pytest.mark.parametrize("kind", ["directory", "s3"])
async def test_an_archive_gone_from_the_store_is_told_on_its_run(aiohttp_client, kind, request, tmp_path):
    setting = str(tmp_path / "store") if kind == "directory" else request.getfixturevalue("s3_store")
    service = await aiohttp_client(ServiceParts(tmp_path / "service", store=setting).application())
    first, _ = two_runs(tmp_path)
    digest = (await (await service.post("/api/v1/runs", data=first.read_bytes())).json())["run"]["content_hash"]
    store_from_setting(setting).delete(digest)
    page = await service.get("/runs/nightly-req/result/", headers={"Accept": "text/html"})
    assert page.status == 404 and "archive is missing from the store" in await page.text()
    answer = await service.get("/runs/nightly-req%s/tree" % VIEWER)
    assert answer.status == 404 and (await answer.json())["detail"] == "ARCHIVE_MISSING"
    assert (await service.get("/api/v1/runs/nightly-req")).status == 200  # the run stays listed


async def test_the_store_down_refuses_pushes_and_cached_runs_browse(aiohttp_client, tmp_path, monkeypatch):
    try:
        server = SeaweedServer()
    except (OSError, RuntimeError) as error:
        if os.environ.get("CI", "").lower() == "true":
            pytest.fail("no SeaweedFS server could be started: %s" % error)
        pytest.skip("no SeaweedFS server could be started: %s" % error)
    try:
        for name, value in dict(server.environment(), AWS_MAX_ATTEMPTS="1").items():
            monkeypatch.setenv(name, value)
        parts = ServiceParts(tmp_path / "service", store="s3://%s/runs" % server.new_bucket())
        service = await aiohttp_client(parts.application())
        cached, not_cached = two_runs(tmp_path)
        for path in (cached, not_cached):
            assert (await service.post("/api/v1/runs", data=path.read_bytes())).status == 201
        assert (await service.get("/runs/nightly-req%s/tree" % VIEWER)).status == 200
        server.kill()

        third = make_run(tmp_path / "third.zip", "third-req", "2026-12-02T01:00:00", [("a", "passed")])
        refused = await service.post("/api/v1/runs", data=third.read_bytes())
        assert refused.status == 503 and "cannot be reached" in (await refused.json())["message"]
        assert (await service.get("/readyz")).status == 503
        tree = await service.get("/runs/nightly-req%s/tree" % VIEWER)
        assert tree.status == 200 and (await tree.json())["rows"]
        other = await service.get("/runs/weekly-req%s/tree" % VIEWER)
        assert other.status == 503 and (await other.json())["message"] == (
            "the archive store cannot be reached: reading an archive")
        assert [run["request_id"] for run in (await (await service.get("/api/v1/runs")).json())["runs"]] == [
            "weekly-req", "nightly-req"]
    finally:
        server.stop()


async def test_a_full_store_is_507_and_indexes_nothing(aiohttp_client, s3_store, tmp_path, monkeypatch):
    from botocore.exceptions import ClientError

    parts = ServiceParts(tmp_path / "service", store=s3_store)
    service = await aiohttp_client(parts.application())
    first, _ = two_runs(tmp_path)

    def full(**arguments):
        raise ClientError({"Error": {"Code": "QuotaExceeded", "Message": "the bucket's quota is reached"}},
                          "PutObject")

    team = service.server.app[TEAM]
    monkeypatch.setattr(team.store.client, "put_object", full)
    answer = await service.post("/api/v1/runs", data=first.read_bytes())
    assert answer.status == 507 and (await answer.json())["detail"] == "STORE_FULL"
    assert (await (await service.get("/api/v1/runs")).json())["runs"] == []
    assert keys(team.store) == ([], [])
