"""The viewer's routes as the tests call them, and the records of an opened run."""

import urllib.parse

P = "/private/v1/standalone"
CAP = 4 << 20  # largest text of one answer


def records(archive):
    return [record for task in archive.results.scripts for record in task["sections"]]


def section_of(archive, section_type):
    return next(r for r in records(archive) if r["section_type"] == section_type)


def record_of(archive, generated):
    return next(r for r in records(archive) if r["sequence_number"] == generated.sequence_number)


def busiest(archive):
    """The record with the most device commands."""
    return max(records(archive), key=lambda r: len(archive.results.get_section(r["id"]).child_execute))


def executions_url(record, **params):
    query = urllib.parse.urlencode(params)
    return P + f"/sections/{record['id']}/executions" + (f"?{query}" if query else "")


async def expect_error(response, detail):
    assert response.status == 500
    assert response.headers["Access-Control-Allow-Origin"] == "*"
    assert await response.json() == {"detail": detail}
