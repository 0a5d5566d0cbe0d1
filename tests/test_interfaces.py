"""The viewer's section and file routes go through the interfaces a results
model and an archive offer, whenever they are not the stock pieces: a
stand-in archive, and sections of a `LogSection` subclass."""
import copy

import pytest

from tavix.log.commands.parser.base import LogSection
from tavix.log.commands.server import LogViewerServer

from helpers import archives
Archive = pytest.importorskip("tavix.log.commands.archive").Archive

P = "/private/v1/standalone"
REFUSED = "Could not read file."


@pytest.fixture(scope="module")
def opened(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("interfaces") / "run.zip")
    info = archives.generate_archive(path, log_bytes=300_000, sections=30, seed=11, dense_devices=True)
    with Archive(path) as archive:
        yield info, archive


class RenamingSection(LogSection):
    """Overrides the three methods the routes name: its commands carry a
    device name of its own, and its ids are its own."""

    @property
    def child_execute(self):
        if "_renamed" not in self.__dict__:
            self._renamed = {}
            for execute_id, execute in super().child_execute.items():
                execute = copy.copy(execute)
                execute.device = "renamed-" + execute.device
                self._renamed["x-" + execute_id] = execute
        return self._renamed

    def all_executions(self):
        return [dict(execute.to_json(), execute_id=key) for key, execute in self.child_execute.items()]

    def get_execution(self, execution_uuid):
        return self.child_execute.get(execution_uuid)


class StandInSection:
    """Not a LogSection at all: the interface alone."""

    def __init__(self, record):
        self.data = record

    def get(self, key, default=None):
        return self.data.get(key, default)

    def all_executions(self):
        return [{"execute_id": "only", "device": "R9", "title": "show clock"}]

    def get_execution(self, execution_uuid):
        return StandInExecute() if execution_uuid == "only" else None


class StandInExecute:
    def read_logs(self):
        return ["R9# show clock\n", "12:00:00\n"]


class Results:
    def __init__(self, results, make_section):
        self._results, self._make = results, make_section

    def __getattr__(self, name):
        return getattr(self._results, name)

    def get_section(self, section_uuid):
        section = self._results.get_section(section_uuid)
        return None if section is None else self._make(section)


class StandInArchive:
    """The archive's interface over a real one, with sections of its own
    kind and a read_file of its own that takes no limit."""

    def __init__(self, archive, make_section, empty_dir):
        self._archive = archive
        self.results = Results(archive.results, make_section)
        self.file, self.dir = archive.file, str(empty_dir)

    def listdir(self):
        return self._archive.listdir()

    def read_file(self, filename):
        if filename.endswith(".png"):
            return {"filename": filename, "file_content": REFUSED}
        return {"filename": filename, "file_content": ["stand-in line\n"]}


def section_with_commands(info, archive):
    generated = next(s for s in info.sections if s.section_type == "testcase" and info.executions_in(s))
    record = next(r for task in archive.results.scripts for r in task["sections"]
                  if r["sequence_number"] == generated.sequence_number)
    return record


@pytest.fixture
def subclassed(opened, tmp_path):
    info, archive = opened
    made = {}

    def make(section):
        if section.data["section_id"] not in made:
            made[section.data["section_id"]] = RenamingSection(section.archive, section.data, section.host)
        return made[section.data["section_id"]]
    return info, archive, StandInArchive(archive, make, tmp_path), made


async def test_a_section_subclass_is_asked_on_each_route(aiohttp_client, subclassed):
    info, archive, stand_in, made = subclassed
    record = section_with_commands(info, archive)
    client = await aiohttp_client(LogViewerServer(stand_in))
    url = P + "/sections/" + record["id"]
    whole = await (await client.get(url + "/executions")).json()
    section = made[record["section_id"]]
    assert whole == section.all_executions() and whole
    assert all(e["execute_id"].startswith("x-") and e["device"].startswith("renamed-") for e in whole)

    device = whole[0]["device"]
    page = await (await client.get(url + "/executions", params={"device": device, "limit": "2"})).json()
    kept = [e for e in whole if e["device"] == device]
    assert page["total"] == len(kept) and page["executions"] == kept[:2]

    first = whole[0]["execute_id"]
    response = await client.get(url + "/" + first + "/log")
    assert response.status == 200
    lines = (await response.json())["file_content"]
    assert lines == section.get_execution(first).read_logs() and lines
    # The stock ids are not the subclass's: asking for one fails as an unknown command does.
    stock_id = first[2:]
    response = await client.get(url + "/" + stock_id + "/log")
    assert response.status == 500
    assert await response.json() == {"detail": "EXECUTION_LOG_READ_FAIL"}


async def test_a_stand_in_section_is_asked_on_each_route(aiohttp_client, opened, tmp_path):
    info, archive = opened
    record = section_with_commands(info, archive)
    stand_in = StandInArchive(archive, lambda section: StandInSection(section.data), tmp_path)
    client = await aiohttp_client(LogViewerServer(stand_in))
    url = P + "/sections/" + record["id"]
    assert await (await client.get(url + "/executions")).json() == StandInSection(record).all_executions()
    page = await (await client.get(url + "/executions", params={"q": "CLOCK"})).json()
    assert page["total"] == 1 and page["executions"][0]["execute_id"] == "only"
    answer = await (await client.get(url + "/only/log")).json()
    assert answer == {"file_content": StandInExecute().read_logs(), "section_name": record.get("section_name")}


async def test_a_stand_in_archive_reads_the_files(aiohttp_client, subclassed):
    info, archive, stand_in, made = subclassed
    client = await aiohttp_client(LogViewerServer(stand_in))
    response = await client.get(P + "/filelines/images%2Ftopology.png")
    assert response.status == 200
    assert await response.json() == {"filename": "images/topology.png", "file_content": REFUSED}
    response = await client.get(P + "/filelines/notes.txt")
    assert await response.json() == {"filename": "notes.txt", "file_content": ["stand-in line\n"]}
