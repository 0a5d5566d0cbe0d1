"""A stand-in for the archive module's run search (build_search_index,
RunSearch, SearchIndexError), with the same interface, in Python: the
"index" records the members it covers and the caller's metadata, and a
search reads each member from the zip into a file and runs Archive.search
over it, so its hits are the viewer searcher's own.

`install(monkeypatch)` puts it in the archive module unless the module has
the native one.
"""
import json
import os
import shutil
import tempfile
import zipfile
import zlib

MAGIC = b"TAVIX-SEARCH-DOUBLE\n"
FORMAT_VERSION = 2


class SearchIndexError(ValueError):
    pass


def _native():
    from tavix.log.commands import archive

    return hasattr(archive, "RunSearch")


# Whether the archive module has the native run search (then this one is not installed).
NATIVE = _native()


def install(monkeypatch):
    from tavix.log.commands import archive

    if NATIVE:
        return False
    monkeypatch.setattr(archive, "SearchIndexError", SearchIndexError, raising=False)
    monkeypatch.setattr(archive, "RunSearch", RunSearch, raising=False)
    monkeypatch.setattr(archive, "build_search_index", build_search_index, raising=False)
    return True


def older_format(path):
    """Rewrites the index at `path` as an index of the format before this one."""
    with open(path, "rb") as stream:
        data = stream.read()
    head = json.loads(zlib.decompress(data[len(MAGIC):]))
    head["version"] = FORMAT_VERSION - 1
    with open(path, "wb") as stream:
        stream.write(MAGIC + zlib.compress(json.dumps(head).encode()))


def _zip(source):
    from tavix.log.commands.history.run_search.zip_source import open_zip

    try:
        return open_zip(source)
    except zipfile.BadZipFile as error:
        raise ValueError("not a zip file: %s" % error) from None


def _members_of(opened, names):
    infos = {info.filename: info for info in opened.infolist()}
    missing = [name for name in names if name not in infos]
    if missing:
        raise ValueError("no member %s in the zip" % missing[0])
    return [[name, infos[name].file_size, infos[name].CRC] for name in names]


def build_search_index(source, target, members, *, metadata=b"", cancel=None):
    with _zip(source) as opened:
        listed = _members_of(opened, list(members))
    head = {"version": FORMAT_VERSION, "members": listed, "metadata": metadata.hex()}
    written = str(target) + ".part"
    with open(written, "wb") as stream:
        stream.write(MAGIC + zlib.compress(json.dumps(head).encode()))
    os.replace(written, target)
    total = sum(size for _, size, _ in listed)
    return {"members": len(listed), "blocks": len(listed), "bytes": total, "index_bytes": os.path.getsize(target),
            "access_points": len(listed)}


class RunSearch:
    def __init__(self, source, index=None):
        self._source = source
        with _zip(source) as opened:
            if index is None:
                self.members = [info.filename for info in opened.infolist() if not info.is_dir()]
                self.indexed, self.metadata = False, b""
            else:
                head = self._read_index(index)
                if _members_of(opened, [m[0] for m in head["members"]]) != head["members"]:
                    raise SearchIndexError("the index is not of this zip")
                self.members = [m[0] for m in head["members"]]
                self.indexed, self.metadata = True, bytes.fromhex(head["metadata"])
        self.counters = {"blocks_total": len(self.members), "blocks_read": 0, "bytes_inflated": 0,
                         "compressed_bytes_read": 0}

    @staticmethod
    def _read_index(index):
        if not isinstance(index, bytes):
            with open(index, "rb") as stream:
                index = stream.read()
        if not index.startswith(MAGIC):
            raise SearchIndexError("not a search index")
        try:
            head = json.loads(zlib.decompress(index[len(MAGIC):]))
        except (zlib.error, ValueError):
            raise SearchIndexError("a damaged search index") from None
        if head.get("version") != FORMAT_VERSION:
            raise SearchIndexError("a search index of format %s (this one reads %d)" % (head.get("version"),
                                                                                       FORMAT_VERSION))
        return head

    def search(self, query, *, regex=False, case=False, members=None, cancel=None, limit=10000):
        from tavix.log.commands.archive import Archive

        Archive.check_query(query, regex=regex, case=case)
        chosen = self.members if members is None else list(members)
        unknown = [m for m in chosen if m not in self.members]
        if unknown:
            raise ValueError("no member %s in the search" % unknown[0])
        return self._hits(Archive("unused.zip"), query, regex, case, chosen, cancel, limit)

    def _hits(self, searcher, query, regex, case, members, cancel, limit):
        with tempfile.TemporaryDirectory(prefix="tavix.double.") as directory, _zip(self._source) as opened:
            for member in members:
                path = os.path.join(directory, "member")
                with opened.open(member) as stream, open(path, "wb") as out:
                    shutil.copyfileobj(stream, out)
                self.counters["bytes_inflated"] += os.path.getsize(path)
                offset, line, line_start = 0, 0, 0
                while True:
                    answer = searcher.search(path, 0, -1, query, regex=regex, case=case, offset=offset, line=line,
                                             line_start=line_start, limit=limit, max_seconds=3600,
                                             max_bytes=1 << 62, cancel=cancel)
                    self.counters["blocks_read"] += 1
                    if answer["hits"]:
                        yield [dict(hit, member=member, truncated=hit.get("truncated", False))
                               for hit in answer["hits"]]
                    if answer["complete"]:
                        break
                    if len(answer["hits"]) < limit:  # stopped by its cancel flag: no budget ran out
                        return
                    offset, line, line_start = answer["scanned_to"], answer["line"], answer["line_start"]
