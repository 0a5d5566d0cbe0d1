"""Opening run archives and reading their files, pages and line ranges."""

import gc
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import weakref
import zipfile
from collections import namedtuple

import pytest

from tavix.log.commands import archive as archive_module
from tavix.log.commands.archive import IGNORE_FILES, TEMP_DIR_PREFIX, Archive


def make_zip(path, members):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    return pathlib.Path(path)


@pytest.fixture(autouse=True)
def private_temporary_directory(tmp_path_factory, monkeypatch):
    """Extraction directories go to a folder of this test's own, so that those of
    other processes (a concurrent test run) never count as left behind."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path_factory.mktemp("tmp")))


def leftover_dirs():
    return {p for p in os.listdir(tempfile.gettempdir()) if p.startswith(TEMP_DIR_PREFIX)}


def no_parser(reference):
    return reference


@pytest.fixture
def open_archive(tmp_path):
    """Opens a zip of the given members without parsing results."""
    opened = []

    def opener(members):
        archive = Archive(make_zip(tmp_path / "run.zip", members), result_parser=no_parser)
        opened.append(archive.__enter__())
        return archive

    yield opener
    for archive in opened:
        archive.__exit__(None, None, None)


def test_constants_and_closed_state(tmp_path):
    assert TEMP_DIR_PREFIX == "tavix.logviewer."
    assert IGNORE_FILES == ["*/__pycache__", "*.pyc", "*.pyo"]
    archive = Archive(tmp_path / "missing.zip")
    assert (archive.file, archive.dir, archive.results, archive._tmpdir) == (tmp_path / "missing.zip", None,
                                                                             None, None)
    with pytest.raises(ValueError, match="not open"):
        list(archive.listdir())


def test_listing_is_a_sorted_preorder_without_bytecode(open_archive):
    archive = open_archive({"b.txt": "b", "A.log": "a", "x.pyc": "", "c/d.txt": "d",
                            "c/__pycache__/m.cpython-311.pyc": "", "p/f": "", "q/f": "",
                            "a/b/c/f.txt": "deep"})
    listing = archive.listdir()
    assert iter(listing) is listing
    entries = list(listing)
    assert [(e["item_path"], e["id"], e["parent_id"], e["is_dir"]) for e in entries] == [
        ("a", "0-0", 0, True), ("a/b", "1-0", "0-0", True), ("a/b/c", "2-0", "1-0", True),
        ("a/b/c/f.txt", "3-0", "2-0", False),
        ("A.log", "0-1", 0, False), ("b.txt", "0-2", 0, False), ("c", "0-3", 0, True),
        ("c/d.txt", "1-1", "0-3", False),
        ("p", "0-4", 0, True), ("p/f", "1-0", "0-4", False), ("q", "0-5", 0, True), ("q/f", "1-0", "0-5", False),
    ]
    assert list(entries[3]) == ["file_name", "file_size", "is_dir", "id", "parent_id", "item_path"]
    assert (entries[3]["file_name"], entries[3]["file_size"]) == ("f.txt", 4)
    assert [e["item_path"] for e in archive.listdir("c")] == ["c/d.txt"]
    assert [(e["item_path"], e["id"]) for e in archive.listdir("./a/b/", 2, "1-0")] == [("a/b/c", "2-0"),
                                                                                       ("a/b/c/f.txt", "3-0")]
    with pytest.raises(FileNotFoundError):
        list(archive.listdir("nothing"))


def test_reading_whole_files_by_type(open_archive):
    archive = open_archive({"notes": "one\ntwo", "r.xml": "<a/>\n", "r.html": "<p>é</p>\n", "i.png": b"\x89PNG",
                            "d.json": "{}"})
    assert archive.read_file("notes") == {"file_name": "notes", "file_content": ["one\n", "two"],
                                          "content_type": "text/plain"}
    assert archive.read_file("r.xml")["content_type"].endswith("xml")
    assert archive.read_file("r.html") == {"file_name": "r.html", "file_content": ["<p>é</p>\n"],
                                           "content_type": "text/html"}
    for refused in ("i.png", "d.json", "missing.png"):
        assert archive.read_file(refused) == {"filename": refused, "file_content": "Could not read file."}
    with pytest.raises(FileNotFoundError):
        archive.read_file("missing.txt")


def test_names_leading_out_of_the_archive_are_refused(open_archive, tmp_path):
    secret = tmp_path / "secret.txt"
    secret.write_text("secret\n")
    archive = open_archive({"logs/task.log": "line\n"})
    os.symlink(secret, archive.dir / "logs" / "link.txt")
    os.symlink(tmp_path, archive.dir / "outside")
    for name in ("../secret.txt", str(secret), "logs/link.txt", "logs/../../secret.txt"):
        with pytest.raises(PermissionError, match="outside"):
            archive.read_file(name)
    with pytest.raises(PermissionError):
        list(archive.listdir("outside"))
    with pytest.raises(PermissionError):
        list(archive.listdir(".."))
    with pytest.raises(PermissionError):
        archive.read_bytes(str(secret), 0, 0, 0, 10)
    with pytest.raises(PermissionError):
        archive.read_lines(str(archive.dir / "logs" / "link.txt"))
    # Links out of the archive are not listed; the files inside still are.
    assert [e["item_path"] for e in archive.listdir()] == ["logs", "logs/task.log"]
    assert archive.read_bytes(str(archive.dir / "logs" / "task.log"), 0, 0, 0, 100) == "line\n"


def test_pages_of_a_section(tmp_path):
    log = tmp_path / "task.log"
    log.write_bytes(bytes(range(32, 127)) * 3)
    archive = Archive(tmp_path / "unused.zip")
    data = log.read_bytes().decode()
    assert archive.read_bytes(str(log), 100, 50, offset=40, limit=20) == data[140:150]
    assert archive.read_bytes(log, 100, 50, offset=0, limit=20) == data[100:120]
    assert archive.read_bytes(str(log), 100, 50, offset=50, limit=20) is None
    assert archive.read_bytes(str(log), 100, 50, offset=0, limit=0) == ""
    assert archive.read_bytes(str(log), 0, 0, offset=200, limit=500) == data[200:]
    assert archive.read_bytes(str(log), 0, -1, offset=len(data), limit=5) is None
    assert archive.read_bytes(str(log), 280, 50, offset=0, limit=20) == data[280:]  # past the file end
    with pytest.raises(FileNotFoundError):
        archive.read_bytes(str(tmp_path / "none"), 0, 0, 0, 10)
    with pytest.raises(FileNotFoundError):
        archive.read_bytes(str(tmp_path / "none"), 0, 10, 0, 10)


def test_pages_keep_multibyte_characters_whole(tmp_path):
    text = "aé€😀\nb" * 7 + "¢"
    log = tmp_path / "task.log"
    log.write_bytes(b"xx\n" + text.encode() + b"yy\n")
    archive = Archive(tmp_path / "unused.zip")
    size = len(text.encode())
    for limit in range(1, 9):
        pages = []
        for offset in range(0, size, limit):
            page = archive.read_bytes(str(log), 3, size, offset=offset, limit=limit)
            assert len(page.encode()) <= limit + 3
            pages.append(page)
        assert "".join(pages) == text, limit


def test_undecodable_bytes_become_replacement_characters(tmp_path):
    log = tmp_path / "task.log"
    log.write_bytes(b"ok\nbad \xff\xfe here\ntail \xc3")
    archive = Archive(tmp_path / "unused.zip")
    assert archive.read_bytes(str(log), 3, 0, 0, 100) == "bad \ufffd\ufffd here\ntail \ufffd"
    assert archive.read_lines(str(log)) == ["ok\n", "bad \ufffd\ufffd here\n", "tail \ufffd"]


def test_line_ranges_of_a_section(tmp_path):
    log = tmp_path / "task.log"
    log.write_text("".join(f"l{n:02d}\n" for n in range(10)))  # 4 bytes per line
    archive = Archive(tmp_path / "unused.zip")
    path = str(log)
    assert archive.read_lines(path, log_start=0, log_size=8) == ["l00\n", "l01\n", "l02\n"]
    assert archive.read_lines(path, log_start=4, log_size=9) == ["l01\n", "l02\n", "l03\n"]
    assert archive.read_lines(path, 2, 5) == ["l02\n", "l03\n", "l04\n"]
    assert archive.read_lines(path, -1) == ["l09\n"]
    assert archive.read_lines(path, -3, -1, log_start=8, log_size=10) == ["l02\n", "l03\n"]
    assert archive.read_lines(path, 5, 2) == []
    assert archive.read_lines(path, 8, 100) == ["l08\n", "l09\n"]
    assert archive.read_lines(path, None, -8) == ["l00\n", "l01\n"]
    assert len(archive.read_lines(path, log_size=-1)) == 10
    # The size hint counts bytes: "é" lines are 4 bytes, 3 characters.
    log.write_text("é1\né2\né3\n")
    assert archive.read_lines(path, log_size=8) == ["é1\n", "é2\n", "é3\n"]
    assert archive.read_lines(path, log_size=7) == ["é1\n", "é2\n"]
    with pytest.raises(FileNotFoundError):
        archive.read_lines(str(tmp_path / "none"))


def test_entering_and_leaving(tmp_path):
    path = make_zip(tmp_path / "run.zip", {"ResultsDetails.xml": "<x/>", "logs/a.log": "a\n"})
    seen = []

    def factory(reference):
        seen.append(reference)
        assert (reference.dir / "logs" / "a.log").read_text() == "a\n"
        return "parsed"

    archive = Archive(path, result_parser=factory)
    with pytest.raises(RuntimeError, match="inside"):
        with archive as entered:
            assert entered is archive and archive.results == "parsed"
            first = archive.dir
            assert first.name.startswith(TEMP_DIR_PREFIX) and first.is_dir()
            raise RuntimeError("inside")
    assert not first.exists() and archive.dir is None and archive.results is None
    assert isinstance(seen[0], weakref.ProxyType)
    with archive:
        assert archive.dir != first and archive.dir.is_dir()
    assert len(seen) == 2
    # The parser's reference does not keep the archive alive.
    reference = seen[0]
    del archive, entered, seen
    gc.collect()
    with pytest.raises(ReferenceError):
        reference.dir


def test_failed_opening_leaves_no_directory(tmp_path):
    before = leftover_dirs()
    good = make_zip(tmp_path / "run.zip", {"a.txt": "a"})
    (tmp_path / "bad.zip").write_text("not a zip")
    cases = [
        (Archive(tmp_path / "missing.zip"), FileNotFoundError),
        (Archive(tmp_path / "bad.zip"), zipfile.BadZipFile),
        (Archive(good, result_parser=lambda ref: 1 / 0), ZeroDivisionError),
    ]
    for archive, error in cases:
        with pytest.raises(error):
            archive.__enter__()
        assert archive.dir is None and archive.results is None
    # An archive dropped while open takes its directory with it.
    dropped = Archive(good, result_parser=no_parser).__enter__()
    assert dropped.dir.is_dir()
    del archive, cases
    with pytest.warns(ResourceWarning, match="Implicitly cleaning up"):
        del dropped
        gc.collect()
    assert leftover_dirs() == before


def test_unsafe_or_oversized_zips_are_refused(tmp_path, monkeypatch):
    before = leftover_dirs()
    for name in ("../evil.txt", "/abs/evil.txt", "a/../../evil.txt"):
        path = tmp_path / "evil.zip"
        with zipfile.ZipFile(path, "w") as archive:
            archive.writestr("fine.txt", "fine")
            archive.writestr(zipfile.ZipInfo(name), "evil")
        with pytest.raises(ValueError, match="outside"):
            Archive(path, result_parser=no_parser).__enter__()
    assert not (tmp_path.parent / "evil.txt").exists()

    Usage = namedtuple("Usage", "total used free")
    monkeypatch.setattr(shutil, "disk_usage", lambda path: Usage(10**6, 10**6 - 1000, 1000))
    big = make_zip(tmp_path / "big.zip", {"log": "x" * 5000})
    with pytest.raises(OSError, match="expands to 5000 bytes"):
        Archive(big, result_parser=no_parser).__enter__()
    assert leftover_dirs() == before


def test_generated_run_reads_back(generated_run):
    import zipfile as zf

    with zf.ZipFile(generated_run.path) as source:
        logs = {name: source.read(name) for name in source.namelist() if name.startswith("TaskLog")}
    with Archive(pathlib.Path(generated_run.path)) as archive:
        assert archive.results.meta["exec_host"] == generated_run.host
        paths = [e["item_path"] for e in archive.listdir()]
        assert "__pycache__" not in paths and "scripts/helpers.py" in paths
        assert not any(p.endswith(".pyc") for p in paths)
        for section in generated_run.sections[::7]:
            log = logs[section.log_file]
            path = str(archive.dir / section.log_file)
            size = section.log_size if section.log_size > 0 else len(log)
            expected = log[section.log_start:section.log_start + size].decode()
            pages = [archive.read_bytes(path, section.log_start, section.log_size, offset, 4096)
                     for offset in range(0, size, 4096)]
            assert "".join(pages) == expected
            lines = archive.read_lines(path, log_start=section.log_start, log_size=section.log_size)
            assert "".join(lines).startswith(expected)
    assert archive_module.Archive is Archive


# --- reads capped in bytes -------------------------------------------------------

def literal_lines(data, hint):
    """readlines with a size hint on bytes: every line, or those up to the one
    that takes the total past the hint."""
    lines, total, start = [], 0, 0
    while start < len(data):
        end = data.find(b"\n", start)
        end = len(data) if end < 0 else end + 1
        lines.append(data[start:end])
        total += end - start
        start = end
        if hint > 0 and total > hint:
            break
    return lines


def literal_cut(line, cut):
    """The cut moved past a whole UTF-8 character that straddles it."""
    for j in range(cut - 1, max(cut - 4, -1), -1):
        lead = line[j]
        if lead & 0xC0 == 0x80:
            continue
        length = 2 if 0xC2 <= lead <= 0xDF else 3 if 0xE0 <= lead <= 0xEF else 4 if 0xF0 <= lead <= 0xF4 else 1
        if length == 1 or j + length <= cut or j + length > len(line):
            return cut
        if all(c & 0xC0 == 0x80 for c in line[j + 1:j + length]):
            return j + length
        return cut
    return cut


def literal_capped(lines, limit):
    out, used = [], 0
    for index, line in enumerate(lines):
        if used + len(line) > limit:
            out.append(line[:literal_cut(line, limit - used)])
            return out, True
        out.append(line)
        used += len(line)
        if used == limit:
            return out, index + 1 < len(lines)
    return out, False


def test_capped_line_reads_match_the_rules_on_random_text(tmp_path):
    import random
    rng = random.Random(5)
    pieces = [b"a", b"bc", b"\n", b"\r\n", "é".encode(), "中".encode(), "😀".encode(), b"\xff", b"\xe4\xb8",
              b"x" * 300, b"\n\n"]
    path = tmp_path / "log.txt"
    reader = Archive(path)  # closed: reads any path given
    for _ in range(300):
        data = b"".join(rng.choice(pieces) for _ in range(rng.randint(0, 60)))
        path.write_bytes(b"head\n" + data)
        start, hint = 5, rng.choice([-1, 0, 1, 7, len(data) // 2, len(data)])
        raw = literal_lines(data, hint)
        lines = [line.decode("utf-8", "replace") for line in raw]
        first = rng.choice([None, 0, 1, 3, -2])
        last = rng.choice([None, 2, 5, 40, -1])
        assert reader.read_lines(str(path), first, last, log_start=start, log_size=hint) == lines[first:last]
        limit = rng.randint(1, len(data) + 3)
        expected, truncated = literal_capped(raw[first:last], limit)
        got = reader.read_lines_capped(str(path), limit, first, last, log_start=start, log_size=hint)
        assert got == ([line.decode("utf-8", "replace") for line in expected], truncated), (data, limit)
    with pytest.raises(ValueError):
        reader.read_lines_capped(str(path), 0)


READ_LONG_LINES = """
import resource, sys
from tavix.log.commands.archive import Archive
path = sys.argv[1]
reader = Archive(path)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert reader.read_lines(path, 1, 2) == ["last\\n"]
assert reader.read_lines_capped(path, 1000) == (["z" * 1000], True)
assert reader.read_lines_capped(path, 6, -1) == (["last\\n"], False)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""


def test_long_lines_are_passed_without_being_held(tmp_path):
    # One 20 MB line before a short one: reading the short one, or the start
    # of the long one, holds a block of the file, not the line. Measured in a
    # fresh process, whose peak memory nothing but the reads can raise.
    path = tmp_path / "long.txt"
    with open(path, "wb") as f:
        for _ in range(20):
            f.write(b"z" * (1 << 20))
        f.write(b"\nlast\n")
    done = subprocess.run([sys.executable, "-c", READ_LONG_LINES, str(path)], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 8 << 10  # KiB
