"""The one table of kept device-command scans: 128 sections within a budget in
bytes, least recently used first, with the filter results kept with them."""

import pytest

from tavix.log.commands.parser.base import LogSection
from tavix.log.commands.server import LogViewerServer

from helpers.routes import busiest, executions_url, records
from helpers.sections import dense_text, literal_match, make_section, reference_scan, summary

CACHE = LogSection.child_execute.fget


@pytest.fixture
def budget():
    """Restores the process's budget and empties the table after the test."""
    saved = CACHE.budget
    CACHE.cache_clear()
    yield
    CACHE.budget = saved
    CACHE.cache_clear()


def test_sections_over_the_budget_drop_the_oldest_and_answer_the_same_again(tmp_path, budget):
    sections = []
    for seed in range(6):
        directory = tmp_path / str(seed)
        directory.mkdir()
        sections.append(make_section(directory, dense_text(400, seed)))
    first = [dict(s.child_execute) for s in sections[:1]]
    one = CACHE.kept_bytes
    assert one > 400 * 400
    CACHE.budget = 3 * one + one // 2
    for section in sections:
        section.child_execute
        assert CACHE.kept_bytes <= CACHE.budget
    assert CACHE.cache_info().currsize == 3
    # The oldest were dropped; asked again they are scanned again, with the
    # same ids and every field as the literal rules give.
    for section in sections:
        again = section.child_execute
        assert summary(section) == reference_scan(section.logfile, 0, 0, "lab1")
        assert CACHE.kept_bytes <= CACHE.budget
    assert list(sections[0].child_execute) == list(first[0])
    some_id = next(iter(first[0]))
    assert sections[0].get_execution(some_id).to_json() == first[0][some_id].to_json()
    assert again is sections[-1].child_execute  # kept: the same dictionary


def test_one_section_over_the_budget_is_still_kept_while_used(tmp_path, budget):
    CACHE.budget = 1
    section = make_section(tmp_path, dense_text(50, 1))
    assert section.child_execute is section.child_execute
    assert CACHE.cache_info().currsize == 1
    other = make_section(tmp_path, dense_text(50, 1))
    other.child_execute
    assert CACHE.cache_info().currsize == 1 and CACHE.peek(section) is None


def test_kept_filter_results_count_and_go_with_their_section(tmp_path, budget):
    section = make_section(tmp_path, dense_text(300, 2))
    table = CACHE.scanned(section)
    before = CACHE.kept_bytes
    total, page = table.page(0, 5, "R1", "")
    assert total == 60 and len(page) == 5
    assert CACHE.kept_bytes >= before + 4 * total
    # Only a few filters per section are kept: the oldest goes.
    for n in range(4):
        table.page(0, 1, "", str(n))
    grown = CACHE.kept_bytes
    table.page(0, 1, "", "3")
    assert CACHE.kept_bytes == grown
    CACHE.cache_clear()
    assert CACHE.kept_bytes == 0 and CACHE.cache_info().currsize == 0


def test_a_log_replaced_since_its_scan_is_scanned_again(tmp_path, budget):
    section = make_section(tmp_path, dense_text(30, 2))
    first = CACHE.scanned(section)
    assert CACHE.scanned(section) is first
    path = tmp_path / "task.log"
    path.write_text(dense_text(12, 5))
    again = CACHE.scanned(section)
    assert again is not first and len(again) == 12
    assert summary(section) == reference_scan(section.logfile, 0, 0, "lab1")


def test_a_bad_budget_is_refused(budget):
    with pytest.raises(OverflowError):
        CACHE.budget = -1
    with pytest.raises(TypeError):
        CACHE.budget = "big"


async def test_paging_under_a_small_budget_answers_right(aiohttp_client, archive, budget):
    client = await aiohttp_client(LogViewerServer(archive, scan_budget=1))
    assert CACHE.budget == 1
    script = busiest(archive)
    whole = await (await client.get(executions_url(script))).json()
    assert whole == archive.results.get_section(script["id"]).all_executions()
    other = next(r for r in records(archive) if r["id"] != script["id"])
    for device, q in [("", ""), ("R1", ""), ("", "show")]:
        got, url = [], executions_url(script, limit=4, device=device, q=q)
        while url:
            answer = await (await client.get(url)).json()
            got += answer["executions"]
            url = answer["next"]
            # Another section's scan between pages pushes this one out.
            assert (await client.get(executions_url(other))).status == 200
            assert CACHE.cache_info().currsize == 1
        assert got == [e for e in whole if literal_match(e, device, q)]


def test_ids_are_version_4_distinct_and_kept_by_the_section_alone(tmp_path, budget):
    import uuid
    text = dense_text(3000, 4)
    first, second = make_section(tmp_path, text), make_section(tmp_path, text)
    ids = list(first.child_execute) + list(second.child_execute)
    assert len(set(ids)) == len(ids) == 6000
    assert all(uuid.UUID(i).version == 4 and uuid.UUID(i).variant == uuid.RFC_4122 and str(uuid.UUID(i)) == i
               for i in ids)
    # What a section keeps to give the same ids again is a few bytes, not a table.
    assert len(first._execute_key) == 16 and "_execute_ids" not in vars(first)
    CACHE.cache_clear()
    assert list(first.child_execute) == ids[:3000]
