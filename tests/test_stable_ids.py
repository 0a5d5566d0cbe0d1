"""Ids derived from a seed: the same run opened with the same seed has the same
ids of sections, steps and device commands; without a seed they stay random."""

import types
import uuid
import zipfile

import pytest

from tavix.log.commands.archive import TEMP_DIR_PREFIX, Archive
from tavix.log.commands.parser import LedraXMLResultParser
from tavix.log.commands.parser.base import BaseResultsParser, section_identities
from tavix.log.commands.server import LogViewerServer

from helpers.archives import generate_archive
from helpers.hand_made_runs import make_run

P = "/private/v1/standalone"


@pytest.fixture(scope="module")
def run_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("stable") / "run.zip"
    generate_archive(path, log_bytes=120_000, sections=40, seed=3, dense_devices=True, failure_causes=True)
    return path


def sections_of(parser):
    return [section for task in parser.scripts for section in task["sections"]]


def steps_of(parser):
    return [step for section in sections_of(parser) for step in section["steps"] or [] if "id" in step]


def ids_of(path, seed):
    """The ids of the sections, steps and device commands of one opening."""
    with Archive(path, id_seed=seed) as archive:
        parser = archive.results
        sections = [section["id"] for section in sections_of(parser)]
        steps = [step["id"] for step in steps_of(parser)]
        executions = [id for section in sections for id in parser.sections_dict[section].child_execute]
        return sections, steps, executions


def test_one_seed_gives_the_same_ids_at_every_opening(run_path):
    first = ids_of(run_path, "a1b2c3")
    sections, steps, executions = first
    assert steps and len(executions) > 100
    assert ids_of(run_path, "a1b2c3") == first
    assert ids_of(run_path, b"a1b2c3") == first  # text stands for its UTF-8 bytes
    every = sections + steps + executions
    assert len(set(every)) == len(every)
    assert all(str(uuid.UUID(id)) == id for id in every)


def test_other_seeds_and_no_seed_give_other_ids(run_path):
    seeded = ids_of(run_path, "one")
    other = ids_of(run_path, "two")
    for mine, theirs in zip(seeded, other):
        assert not set(mine) & set(theirs)
    # Without a seed every opening draws its own, as before.
    random_first, random_second = ids_of(run_path, None), ids_of(run_path, None)
    for mine, theirs in zip(random_first, random_second):
        assert not set(mine) & set(theirs)
    assert all(uuid.UUID(id).version == 4 for id in random_first[0])


def test_references_follow_the_derived_ids(run_path):
    with Archive(run_path, id_seed="refs") as archive:
        parser = archive.results
        index = parser.sections_dict
        sections, steps = sections_of(parser), steps_of(parser)
        assert set(index) == {record["id"] for record in sections + steps}
        by_sequence = {section["sequence_number"]: section for section in sections}
        for section in sections:
            assert index[section["id"]].data is section
            if section["parents"]:
                parent = index[section["parent_id"]].data
                assert parent["sequence_number"] == section["parents"][-1]
                assert all(number in by_sequence for number in section["parents"])
            else:
                assert section["parent_id"] == "suite"
            for step in section["steps"] or []:
                if "id" in step:
                    assert step["parent"] == section["id"] and index[step["id"]].data is step


def test_ids_follow_the_paths_not_the_positions(tmp_path):
    # The second run has a testcase more in front: every section after it moves,
    # but one with the same path keeps its id; repeated names get their own.
    cases = [("tc", "passed", ["x"], [("check", "passed", ["a"]), ("check", "failed", ["b"])]),
             ("other", "passed", ["y"], [])]
    before = make_run(tmp_path / "before.zip", [("s.py", cases)])
    after = make_run(tmp_path / "after.zip", [("s.py", [("new", "passed", ["z"], [])] + cases)])

    def by_path(path):
        with Archive(path, id_seed="suite-seed") as archive:
            return {key: record["id"] for record, key, *_ in section_identities(archive.results)}

    old, new = by_path(before), by_path(after)
    assert '["s.py","tc","check#2"]' in old
    assert set(old) < set(new) and all(new[key] == id for key, id in old.items())
    assert len(set(new.values())) == len(new)


class Records(BaseResultsParser):
    def __init__(self, scripts, seed):
        self.scripts, self.meta, self.id_seed = scripts, {"exec_host": "lab1"}, seed
        super().__init__(types.SimpleNamespace(dir="/extracted"))


def records(step_ids):
    steps = [{"id": "step%d" % i, "step_id": step_id, "log_file": "t", "log_start": 0, "log_size": -1}
             for i, step_id in enumerate(step_ids)]
    return [{"meta": {"task_id": "T"}, "sections": [
        {"id": "x", "parent_id": "suite", "parents": [], "sequence_number": 1, "section_name": "s.py",
         "steps": steps, "log_file": "t", "log_start": 0, "log_size": -1}]}]


def test_steps_are_told_apart_by_step_id_and_occurrence():
    first = Records(records(["1", "1.1", "1", "2"]), "seed")
    steps = first.scripts[0]["sections"][0]["steps"]
    ids = [step["id"] for step in steps]
    assert len(set(ids)) == 4
    # Steps of other step ids in between leave an occurrence's id alone.
    again = Records(records(["1", "3", "1.1", "1", "2"]), "seed").scripts[0]["sections"][0]["steps"]
    assert [again[i]["id"] for i in (0, 2, 3, 4)] == ids
    keys = {bytes(first.sections_dict[id]._execute_key) for id in ids}
    assert len(keys) == 4 and all(len(key) == 16 for key in keys)


def test_seeds_of_other_types_are_refused(run_path, tmp_path):
    for seed in (3, ["x"], bytearray(b"x")):
        with pytest.raises(TypeError, match="id_seed must be text, bytes or None"):
            with Archive(run_path, id_seed=seed, directory=tmp_path):
                pass
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(UnicodeEncodeError):
        Records(records([]), "\udc80")


def test_extraction_directory_is_made_where_asked_and_removed(run_path, tmp_path):
    with Archive(run_path, directory=tmp_path) as archive:
        made = archive.dir
        assert made.parent == tmp_path and made.name.startswith(TEMP_DIR_PREFIX)
        assert (made / "ResultsDetails.xml").is_file()
    assert list(tmp_path.iterdir()) == []
    broken, cache = tmp_path / "broken.zip", tmp_path / "cache"
    broken.write_bytes(b"not a zip")
    cache.mkdir()
    with pytest.raises(zipfile.BadZipFile):
        with Archive(broken, directory=cache):
            pass
    assert list(cache.iterdir()) == []


def test_the_seed_goes_to_the_parser_only_when_given(run_path):
    given = []

    def seedless(archive):
        given.append(None)
        return LedraXMLResultParser(archive)

    def seeded(archive, **keywords):
        given.append(keywords)
        return LedraXMLResultParser(archive, **keywords)

    with Archive(run_path, result_parser=seedless):
        pass
    stages = set()
    with Archive(run_path, result_parser=seeded, id_seed="s",
                 progress=lambda stage, done, total: stages.add(stage)) as archive:
        assert archive.results.id_seed == "s"
    assert given == [None, {"id_seed": "s"}]
    assert stages == {"extracting", "reading", "parsing"}


async def test_viewer_routes_answer_with_the_derived_ids(aiohttp_client, run_path):
    with Archive(run_path, id_seed="served") as archive:
        parser = archive.results
        client = await aiohttp_client(LogViewerServer(archive))
        tree = await (await client.get(P + "/tree")).json()
        rows = [row[0] for row in tree["rows"]]
        expected = []
        for section in sections_of(parser):
            expected.append(section["id"])
            expected.extend(step["id"] for step in section["steps"] or [])
        assert rows == expected
        assert rows[:1] == ids_of(run_path, "served")[0][:1]

        categories = await (await client.get(P + "/categories")).json()
        named = [id for category in categories["categories"] for id in category["sections"]]
        assert named
        for id in named:
            section, _, step = id.partition("#")
            assert section in parser.sections_dict and (not step or step in parser.sections_dict)

        section = next(s for s in sections_of(parser) if len(parser.sections_dict[s["id"]].child_execute))
        answer = await (await client.get(P + "/sections/%s/executions" % section["id"])).json()
        listed = [execution["execute_id"] for execution in answer]
        assert listed == list(parser.sections_dict[section["id"]].child_execute)
        log = await client.get(P + "/sections/%s/%s/log" % (section["id"], listed[0]))
        assert log.status == 200
