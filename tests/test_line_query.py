"""A log line as a search of other runs: its message masked as failure
signatures mask a cause, made a regular expression that finds the same line
with other numbers, addresses and times; the viewer's route answering it."""
import re
import shlex

import pytest

from tavix.log.commands.history.line_query import line_query

pytest.importorskip("tavix.log.commands.archive")

P = "/private/v1/standalone"


@pytest.mark.parametrize("line, same, other", [
    ("Connection to 10.0.0.7 refused after 3 attempts at 12:01:02.5",
     "Connection to 192.168.1.20 refused after 12 attempts at 07:59:00", "Connection to host refused"),
    ('value "abc" (0x1f) [x]+? done', 'value "other text" (0xff) [x]+? done', "value (0x1f) [x] done"),
    ("uuid 123e4567-e89b-12d3-a456-426614174000 on 2026-12-01", "uuid 00000000-aaaa-bbbb-cccc-000000000000 on 2027/01/31",
     "uuid on 2026-12-01"),
    ("tab\tand  blanks", "tab and blanks", "tabandblanks"),
])
def test_the_query_finds_the_same_line_with_other_fields_and_no_other(line, same, other):
    from tavix.log.commands.archive import Archive

    asked = line_query(line)
    Archive.check_query(asked["query"], regex=True)
    assert re.search(asked["query"], line) and re.search(asked["query"], same)
    assert not re.search(asked["query"], other)
    assert shlex.split(asked["command"]) == ["tavix", "logs", "search", "--runs", "all", "-E", asked["query"]]


def test_a_line_of_nothing_to_search_for_is_refused():
    with pytest.raises(ValueError, match="nothing to search for"):
        line_query("   ")
    assert len(line_query("x" * 10_000)["masked"]) == 400


async def test_the_viewer_answers_a_line_as_a_query(client):
    answer = await client.get(P + "/line_query", params={"text": "link 3 of 10.1.1.1 went down"})
    assert answer.status == 200
    assert await answer.json() == line_query("link 3 of 10.1.1.1 went down")
    assert (await answer.json())["masked"] == "link <N> of <IP> went down"
    for params in ({}, {"text": " "}):
        refused = await client.get(P + "/line_query", params=params)
        assert (refused.status, (await refused.json())["detail"]) == (400, "INVALID_QUERY")
