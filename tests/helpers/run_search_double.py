"""A stand-in for tavix.log.commands.history.run_search with its interface
(build_run_search, search_runs), plain Python over the zip: for the
service's tests where that module is missing, and for those that count
what a search pulled. `installed(monkeypatch)` puts it in place."""
import io
import json
import os
import re
import sys
import threading
import zipfile

MODULE = "tavix.log.commands.history.run_search"
INDEX_MARK = b"run-search-double index\n"


class Pulls:
    """What the searches pulled: `hits` handed out, `closed` set once a search's iterator was closed."""

    def __init__(self):
        self.hits = 0
        self.closed = threading.Event()


PULLS = Pulls()


def installed(monkeypatch, always=False):
    """The module searches import: the real one when there is one (unless
    `always`), else this double."""
    global PULLS
    PULLS = Pulls()
    if not always:
        try:
            __import__(MODULE)
            return sys.modules[MODULE]
        except ImportError:
            pass
    monkeypatch.setitem(sys.modules, MODULE, sys.modules[__name__])
    return sys.modules[__name__]


class _Ranged(io.RawIOBase):
    """An object with .size and .read_at(offset, size) as a seekable file."""

    def __init__(self, source):
        self.source, self.position = source, 0

    def readable(self):
        return True

    def seekable(self):
        return True

    def seek(self, offset, whence=io.SEEK_SET):
        self.position = {io.SEEK_SET: 0, io.SEEK_CUR: self.position, io.SEEK_END: self.source.size}[whence] + offset
        return self.position

    def tell(self):
        return self.position

    def readinto(self, buffer):
        size = max(0, min(len(buffer), self.source.size - self.position))
        data = self.source.read_at(self.position, size) if size else b""
        buffer[:len(data)] = data
        self.position += len(data)
        return len(data)


def _zip(source):
    return zipfile.ZipFile(source if isinstance(source, str) else io.BufferedReader(_Ranged(source)))


def _sections_of(archive):
    from tavix.log.commands.history.runs import section_identities

    number = lambda value: -1 if value in (None, "") else int(value)  # noqa: E731
    return [[key, record.get("log_file"), number(record.get("log_start")), number(record.get("log_size")), result]
            for record, key, _, result, _ in section_identities(archive.results)]


def _section_map(path):
    from tavix.log.commands.archive import Archive

    with Archive(path) as opened:
        return _sections_of(opened)


def build_run_search(archive, run, files, *, cancel=None):
    sections = _sections_of(archive)
    target = os.path.join(archive.dir, ".double-index")
    with open(target, "wb") as stream:
        stream.write(INDEX_MARK)
    files.store(run, target, sections)


def _matcher(query, regex, case):
    pattern = re.compile(query if regex else re.escape(query), 0 if case else re.IGNORECASE)
    return pattern.search


def search_runs(index, query, *, regex=False, case=False, suite=None, since=None, until=None, result=None,
                files=None, cancel=None):
    find = _matcher(query, regex, case)
    listed = index.runs(suite=suite, limit=500)
    try:
        for listed_run in listed:
            run = index.run_by_request_id(listed_run["request_id"])
            if since is not None and run["start_time"] < since.strftime("%Y-%m-%dT%H:%M:%S"):
                continue
            sections = files.sections(run)
            if files.index(run) is None or sections is None:
                yield {"notice": "the run %s has no search index: searched the slow way" % run["request_id"]}
                files.rebuild_later(run)
                sections = _section_map(files.source(run))  # a directory store's file, in the tests
            for hit in _run_hits(run, sections, files.source(run), find, result):
                if cancel is not None and cancel.is_set():
                    return
                PULLS.hits += 1
                yield hit
    finally:
        PULLS.closed.set()


def _run_hits(run, sections, source, find, result):
    by_log = {}  # in the order of the tree
    for key, log_file, start, size, res in sections:
        by_log.setdefault(log_file, []).append((start, size, key, res))
    with _zip(source) as zipped:
        for log_file in by_log:
            data = zipped.read(log_file)
            offset = 0
            for number, line in enumerate(data.split(b"\n")[:-1] if data.endswith(b"\n") else data.split(b"\n")):
                text = line.decode("utf-8", "surrogateescape")
                match = find(text)
                if match:
                    owner = None
                    for start, size, key, res in by_log[log_file]:
                        end = float("inf") if size is None or size < 0 else start + size
                        if max(start, 0) <= offset < end:
                            owner = (key, res)
                    if owner and (result is None or owner[1] == result):
                        yield {"path": json.loads(owner[0]), "log_file": log_file, "line": number + 1,
                               "column": match.start() + 1, "text": text,
                               "request_id": run["request_id"], "suite_name": run["suite_name"]}
                offset += len(line) + 1
