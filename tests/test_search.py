"""The log searcher against a literal reading of the bytes with the interpreter's re."""

import random

import pytest

from helpers.search_texts import LITERALS, REGEXES, random_log, reference

Archive = pytest.importorskip("tavix.log.commands.archive").Archive


def search_all(archive, path, start, size, query, page=100, **options):
    hits, offset, answers, line = [], 0, 0, None
    while True:
        answer = archive.search(path, start, size, query, offset=offset, line=line, limit=page, **options)
        hits += answer["hits"]
        answers += 1
        if answer["complete"]:
            return hits, answers
        assert answer["scanned_to"] > offset or answer["hits"]
        offset, line = answer["scanned_to"], answer["line"]


@pytest.fixture(scope="module")
def archive():
    return Archive("unused.zip")  # never entered: search reads any path while closed


# Blocks longer than any generated line, from a few lines to all of them.
BLOCKS = [128, 333, 4096, 1 << 20]


@pytest.mark.parametrize("seed", range(6))
def test_hits_match_a_literal_reading_across_blocks_and_edges(archive, tmp_path, seed):
    rng = random.Random(seed)
    data = random_log(rng, 300)
    path = tmp_path / "task.log"
    path.write_bytes(data)
    starts = [0, rng.randrange(len(data)), data.index(b"\n") + 1]
    for start in starts:
        size = rng.choice([0, rng.randrange(1, len(data) - start + 1)])
        for query in rng.sample(LITERALS, 6):
            for case in (False, True):
                expected = reference(data, start, size, query, case=case)
                got, _ = search_all(archive, str(path), start, size, query, page=rng.choice([1, 7, 1000]),
                                    case=case, block=rng.choice(BLOCKS))
                assert got == expected, (start, size, query, case)
    # Stray bytes in the text: "." and negated classes take them one by one,
    # where the decoded text has one replacement character per ill-formed run.
    data = random_log(rng, 300, noise=[b"\r", b"\n", b"\r\n", b"\n\n"])
    path.write_bytes(data)
    for start in starts:
        start = min(start, len(data) - 1)
        size = rng.choice([0, rng.randrange(1, len(data) - start + 1)])
        for query in rng.sample(REGEXES, 8):
            for case in (False, True):
                expected = reference(data, start, size, query, regex=True, case=case)
                got, _ = search_all(archive, str(path), start, size, query, regex=True, case=case,
                                    block=rng.choice(BLOCKS))
                assert got == expected, (start, size, query, case)


def test_lines_longer_than_a_block_are_searched_in_pieces(archive, tmp_path):
    # A line longer than a block (1 MiB) is searched piece by piece: its hit
    # keeps the line's start and column, its text is the piece, and the lines
    # after it keep their indices.
    data = b"a" * (3 << 20) + b" error\nok\nerror here\n"
    path = tmp_path / "long.log"
    path.write_bytes(data)
    hits, _ = search_all(archive, str(path), 0, 0, "error")
    assert [(h["offset"], h["line"], h["column"]) for h in hits] == [(0, 0, (3 << 20) + 1), (len(data) - 11, 2, 0)]
    assert hits[0]["text"].endswith(" error") and len(hits[0]["text"]) <= 1 << 20


def test_a_match_across_the_section_end_is_no_hit(archive, tmp_path):
    data = b"one error\ntwo err" + b"or\n"
    path = tmp_path / "task.log"
    path.write_bytes(data)
    size = data.index(b"err", 10) + 3
    hits = archive.search(str(path), 0, size, "error")["hits"]
    assert [h["line"] for h in hits] == [0]
    assert archive.search(str(path), 0, size, "err")["hits"][-1] == {
        "offset": 10, "line": 1, "column": 4, "length": 3, "text": "two err"}


def test_paging_resumes_where_it_stopped(archive, tmp_path):
    data = b"".join(b"line %d %s\n" % (i, b"hit" if i % 3 == 0 else b"miss") for i in range(100))
    path = tmp_path / "task.log"
    path.write_bytes(data)
    answer = archive.search(str(path), 0, 0, "hit", limit=5)
    assert len(answer["hits"]) == 5 and not answer["complete"]
    rest = archive.search(str(path), 0, 0, "hit", offset=answer["scanned_to"], line=answer["line"])
    assert [h["line"] for h in answer["hits"] + rest["hits"]] == list(range(0, 100, 3))
    # Without the line index it is counted again from the section start.
    counted = archive.search(str(path), 0, 0, "hit", offset=answer["scanned_to"])
    assert counted["hits"] == rest["hits"]


@pytest.mark.parametrize("query", ["(a)\\1", "(?=a)", "(?<!a)b", "(?i)a", "a**", "*", "(", "[a", "a{2,1}",
                                   "\\q", "a{1001}", "(?>a)", "a++", "(x{200}){200}"])
def test_queries_it_cannot_match_are_refused(archive, tmp_path, query):
    path = tmp_path / "task.log"
    path.write_bytes(b"aaa\n")
    with pytest.raises(ValueError, match="invalid query"):
        archive.search(str(path), 0, 0, query, regex=True)


def test_pathological_regex_runs_in_linear_time(archive, tmp_path):
    path = tmp_path / "task.log"
    path.write_bytes((b"a" * 5000 + b"\n") * 200)
    for query in ["(a*)*b", "(a|aa)+$x", "(a|b)*a(a|b){12}c", "(.*){20}z"]:
        answer = archive.search(str(path), 0, 0, query, regex=True, max_seconds=0.2)
        assert answer["hits"] == []
        assert answer["complete"] or answer["scanned_to"] > 0


def follow_answers(archive, path, query, max_seconds):
    """Hits and answers of a regex search followed page by page, with the work each answer did."""
    offset, line, line_start, answers, hits = 0, None, None, [], []
    while True:
        answer = archive.search(str(path), 0, 0, query, regex=True, offset=offset, line=line,
                                line_start=line_start, max_seconds=max_seconds, counters=True)
        hits += answer["hits"]
        answers.append(answer)
        if answer["complete"]:
            return hits, answers
        assert answer["scanned_to"] > offset
        offset, line, line_start = answer["scanned_to"], answer["line"], answer["line_start"]


def test_a_regex_whose_states_keep_being_new_stops_in_time_and_resumes(archive, tmp_path):
    # (a|b)*a(a|b){60}c needs a new automaton state at almost every byte of
    # random a/b text: each answer stops at its time budget, and following
    # the answers covers the log, inside long lines too.
    rng = random.Random(3)
    lines = ["".join(rng.choice("ab") for _ in range(3000)) for _ in range(6)] + ["a" * 61 + "c"]
    path = tmp_path / "ab.log"
    path.write_text("\n".join(lines) + "\n")
    hits, answers = follow_answers(archive, path, "(a|b)*a(a|b){60}c", 0.02)
    assert len(answers) > 1
    # The budget stopped the answers; each built at most about one state per
    # byte it covered, plus the part of the next line it began.
    starts = [0] + [a["scanned_to"] for a in answers[:-1]]
    for start, answer in zip(starts, answers):
        covered = answer["scanned_to"] - start
        assert 0 < answer["counters"]["states_built"] <= covered + 3001 + 256
    assert [(h["line"], h["column"], h["length"]) for h in hits] == [(6, 0, 62)]


def test_settling_a_long_line_keeps_to_the_time_budget(archive, tmp_path):
    # a{1,900}$ keeps hundreds of threads of the exact matcher alive along a
    # line of "a": settling the line costs seconds. Each answer stops near its
    # budget, at the start of that line or, when it is the page's first,
    # inside it; following the answers still finds the match at its end.
    long = 30_000
    data = b"short\n" + b"a" * long + b"\n" + b"a" * long + b"b\nend\n"
    path = tmp_path / "long.log"
    path.write_bytes(data)
    hits, answers = follow_answers(archive, path, "a{1,900}$", 0.05)
    assert len(answers) > 2
    # Each answer reads its block once, however long it spends on the line.
    assert all(a["counters"]["blocks_read"] <= 2 for a in answers)
    assert [(h["offset"], h["line"], h["column"], h["length"]) for h in hits] == [(6, 1, long - 900, 900)]


def test_job_counts_by_interval(archive, tmp_path):
    data = b"error a\nnothing\nERROR b\nerror c\n"
    path = tmp_path / "task.log"
    path.write_bytes(data)
    for block in (16, 20, 1 << 20):
        assert archive.count_matches(str(path), [0, 8, 16, len(data)], "error", block=block) == [1, 0, 2]
    assert archive.count_matches(str(path), [0, len(data)], "^error", regex=True, case=True) == [2]
