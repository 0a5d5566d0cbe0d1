"""Searching a run's zip by its search index: exactly the lines a literal
reading of the extracted members finds, and Archive.search on them, whatever
blocks the index picks; the slow way (no index) the same; a damaged index
refused."""

import concurrent.futures
import random
import zipfile

import pytest

from helpers.search_texts import LITERALS, REGEXES, WORDS, random_log, reference

archive_module = pytest.importorskip("tavix.log.commands.archive")
Archive = archive_module.Archive
RunSearch = archive_module.RunSearch
SearchIndexError = archive_module.SearchIndexError
build_search_index = archive_module.build_search_index
base = pytest.importorskip("tavix.log.commands.parser.base")

MEMBERS = ["TaskLog.Task-1", "TaskLog.Task-2"]
# From a line or two per block (most lines longer than one) to all of them.
BLOCK_SIZES = [24, 100, 700, None]
# Regexes with no literal part the index could use.
SCANS = [r"^.{3}$", r"\s$", r"[^a-z]{2}", r"."]


def write_zip(path, members, compression=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", compression) as zipped:
        zipped.writestr("ResultsDetails.xml", b"<results/>")
        for name, data in members.items():
            zipped.writestr(name, data)
    return path


def searched(run, query, **options):
    hits = []
    for batch in run.search(query, **options):
        assert batch and len(batch) <= options.get("limit", 10000)
        hits += batch
    return hits


def expected(members, query, regex=False, case=False):
    hits = []
    for name, data in members.items():
        hits += [dict(hit, member=name, truncated=False) for hit in reference(data, 0, 0, query, regex, case)]
    return hits


def archive_search(tmp_path, members, query, regex=False, case=False):
    reader = Archive("unused.zip")  # never entered: search reads any path while closed
    hits = []
    for name, data in members.items():
        path = tmp_path / ("extracted-" + name)
        path.write_bytes(data)
        answer = reader.search(str(path), query=query, regex=regex, case=case, limit=1 << 30, max_seconds=60)
        assert answer["complete"]
        hits += [dict({"truncated": False}, **hit, member=name) for hit in answer["hits"]]
    return hits


def task_logs(rng):
    """Random logs with long lines, CRLF, stray bytes and characters whose
    case forms differ in length, and lines of a rare word."""
    first = random_log(rng, 150)
    long_line = b" ".join(rng.choice(WORDS).encode() for _ in range(120)) + b" needle\r\n"
    second = random_log(rng, 60) + long_line + random_log(rng, 60) + "\u212aELVIN da\u017f ende".encode()
    return {MEMBERS[0]: first, MEMBERS[1]: second}


def queries(rng, members):
    """Literals from the list and cut from the text (across words), regexes
    with and without literal parts."""
    text = b"".join(members.values()).decode("utf-8", "replace").replace("\ufffd", "")
    cuts = []
    while len(cuts) < 4:
        at = rng.randrange(len(text) - 12)
        cut = text[at:at + rng.randrange(3, 12)]
        if cut.strip() and "\n" not in cut and "\r" not in cut:
            cuts.append(cut)
    literals = rng.sample(LITERALS, 5) + cuts + ["needle", "kelvin DA\u017f", "absent words"]
    regexes = rng.sample(REGEXES, 5) + rng.sample(SCANS, 2) + [r"(?:error|fail) ok", r"stra(ss|ß)e"]
    return [(query, False) for query in literals] + [(query, True) for query in regexes]


@pytest.mark.parametrize("seed", range(3))
def test_indexed_answers_are_those_of_a_literal_reading_and_of_archive_search(tmp_path, seed):
    rng = random.Random(seed)
    members = task_logs(rng)
    zipped = write_zip(tmp_path / "run.zip", members)
    asked = queries(rng, members)
    wanted = {}
    for query, regex in asked:
        for case in (False, True):
            wanted[query, regex, case] = archive_search(tmp_path, members, query, regex, case)
            if not regex:
                # Regexes take stray bytes one by one, the decoded text has one
                # replacement character for a run of them: only Archive.search
                # is the measure there.
                assert wanted[query, regex, case] == expected(members, query, regex, case)
    for block_size in BLOCK_SIZES:
        summary = build_search_index(zipped, tmp_path / "run.index", MEMBERS, block_size=block_size)
        assert summary["members"] == 2 and summary["bytes"] == sum(map(len, members.values()))
        run = RunSearch(zipped, tmp_path / "run.index")
        assert run.members == MEMBERS and run.indexed
        for (query, regex, case), hits in wanted.items():
            got = searched(run, query, regex=regex, case=case, limit=rng.choice([1, 5, 10000]))
            assert got == hits, (block_size, query, regex, case)
    slow = RunSearch(zipped)
    assert not slow.indexed and slow.metadata == b"" and slow.members == ["ResultsDetails.xml"] + MEMBERS
    for (query, regex, case), hits in wanted.items():
        assert searched(slow, query, regex=regex, case=case, members=MEMBERS) == hits, (query, regex, case)


def test_the_index_picks_few_blocks_for_a_rare_literal_and_all_for_a_scan(tmp_path):
    rng = random.Random(7)
    lines = random_log(rng, 2000).split(b"\n")
    lines[1234] += b" unique-marker-31"
    members = {MEMBERS[0]: b"\n".join(lines), MEMBERS[1]: random_log(rng, 500)}
    zipped = write_zip(tmp_path / "run.zip", members)
    summary = build_search_index(zipped, tmp_path / "run.index", MEMBERS, metadata=b"sections", block_size=256)
    run = RunSearch(zipped, (tmp_path / "run.index").read_bytes())
    assert run.metadata == b"sections"

    hits = searched(run, "UNIQUE-marker-31")
    assert hits == expected(members, "UNIQUE-marker-31") and len(hits) == 1
    counters = run.counters
    assert counters["blocks_total"] == summary["blocks"] > 100
    assert 1 <= counters["blocks_read"] <= 2

    assert searched(run, "UNIQUE-MARKER-31", case=True) == []
    assert 1 <= run.counters["blocks_read"] <= 2  # folded trigrams pick the block, the matcher refuses it

    assert searched(run, r"^.{5}$", regex=True) == archive_search(tmp_path, members, r"^.{5}$", regex=True)
    assert run.counters["blocks_read"] == run.counters["blocks_total"]

    assert searched(run, "unique", members=[MEMBERS[1]]) == []
    assert run.counters["blocks_total"] < summary["blocks"]
    with pytest.raises(ValueError, match="no member"):
        run.search("unique", members=["nothing"])


def test_a_stored_member_and_a_python_source_answer_the_same(tmp_path):
    rng = random.Random(3)
    members = {MEMBERS[0]: random_log(rng, 300), MEMBERS[1]: b""}
    zipped = write_zip(tmp_path / "run.zip", members, compression=zipfile.ZIP_STORED)
    data = zipped.read_bytes()

    class Store:
        size = len(data)

        def read_at(self, offset, size):
            return data[offset:offset + size]

    build_search_index(Store(), tmp_path / "run.index", MEMBERS, block_size=64)
    for source in (zipped, Store()):
        run = RunSearch(source, str(tmp_path / "run.index"))
        for query in ("error", "ok", "straße"):
            assert searched(run, query) == expected(members, query)


def test_queries_and_members_are_checked(tmp_path):
    zipped = write_zip(tmp_path / "run.zip", {MEMBERS[0]: b"one\n"})
    with pytest.raises(ValueError, match="TaskLog.Task-9"):
        build_search_index(zipped, tmp_path / "run.index", ["TaskLog.Task-9"])
    (tmp_path / "not.zip").write_bytes(b"no zip here" * 10)
    with pytest.raises(ValueError):
        build_search_index(tmp_path / "not.zip", tmp_path / "run.index", MEMBERS[:1])
    build_search_index(zipped, tmp_path / "run.index", MEMBERS[:1])
    run = RunSearch(zipped, tmp_path / "run.index")
    for query, regex in [("", False), ("a(b", True), (r"(a)\1", True)]:
        with pytest.raises(ValueError) as raised:
            run.search(query, regex=regex)
        with pytest.raises(ValueError) as archive_raised:
            Archive.check_query(query, regex=regex)
        assert str(raised.value) == str(archive_raised.value)
        assert str(raised.value).startswith("invalid query: ")
    with pytest.raises(ValueError):
        run.search("one", limit=0)
    capsule, cancel = base._cancel_flag_for_tests()
    cancel()
    with pytest.raises(concurrent.futures.CancelledError):
        build_search_index(zipped, tmp_path / "other.index", MEMBERS[:1], cancel=capsule)
    assert not (tmp_path / "other.index").exists()


@pytest.fixture
def indexed_run(tmp_path):
    rng = random.Random(11)
    # Enough text for an index of several 64 KiB chunks, so that posting
    # lists are checked when first read.
    members = {MEMBERS[0]: random_log(rng, 6000), MEMBERS[1]: random_log(rng, 6000)}
    zipped = write_zip(tmp_path / "run.zip", members)
    build_search_index(zipped, tmp_path / "run.index", MEMBERS, block_size=48)
    return zipped, (tmp_path / "run.index").read_bytes(), members


def test_a_damaged_truncated_or_foreign_index_is_refused(tmp_path, indexed_run):
    zipped, index, members = indexed_run
    assert len(index) > 3 * 65536
    for cut in (0, 7, 100, len(index) // 2, len(index) - 1):
        with pytest.raises(SearchIndexError):
            RunSearch(zipped, index[:cut])
    with pytest.raises(SearchIndexError, match="not a search index"):
        RunSearch(zipped, b"PK\x03\x04" + index[4:])
    other_version = index[:8] + (2).to_bytes(4, "little") + index[12:]
    with pytest.raises(SearchIndexError, match="format version 2"):
        RunSearch(zipped, other_version)

    # A flipped byte anywhere: refused when opened, or when the search reads it.
    rng = random.Random(5)
    for at in [9, 20, 130, 600] + [rng.randrange(700, len(index)) for _ in range(12)]:
        damaged = bytearray(index)
        damaged[at] ^= 0x20
        with pytest.raises(SearchIndexError):
            run = RunSearch(zipped, damaged)
            for query in ("error", "ok", "straße", "日本", "KELVIN", "ski"):
                searched(run, query)

    # The index of another zip: a member with other text, or missing.
    changed = dict(members, **{MEMBERS[1]: members[MEMBERS[1]] + b"one more line\n"})
    with pytest.raises(SearchIndexError, match="not of this zip"):
        RunSearch(write_zip(tmp_path / "changed.zip", changed), index)
    with pytest.raises(SearchIndexError, match="not of this zip"):
        RunSearch(write_zip(tmp_path / "fewer.zip", {MEMBERS[0]: members[MEMBERS[0]]}), index)
    assert isinstance(SearchIndexError("x"), ValueError)
    with pytest.raises(FileNotFoundError):
        RunSearch(zipped, tmp_path / "missing.index")


@pytest.mark.parametrize("indexed", [True, False])
def test_cancelling_stops_the_search(indexed_run, indexed):
    zipped, index, members = indexed_run
    run = RunSearch(zipped, index if indexed else None)
    capsule, cancel = base._cancel_flag_for_tests()
    batches = run.search(".", regex=True, members=MEMBERS, cancel=capsule, limit=1)
    assert len(next(batches)) == 1
    cancel()
    assert list(batches) == []
    everything = sum(map(len, members.values()))
    counters = run.counters
    assert counters["blocks_read"] < max(2, counters["blocks_total"] // 4)
    assert counters["bytes_inflated"] < everything // 2
    # A search dropped half way stops too.
    batches = run.search(".", regex=True, members=MEMBERS, limit=1)
    next(batches)
    del batches
    assert run.counters["blocks_read"] < max(2, run.counters["blocks_total"] // 4)
    assert run.counters["bytes_inflated"] < everything // 2
