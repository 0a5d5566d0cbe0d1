"""A run's zip read where it lies: a file, or an object of ranged reads
(.size and .read_at(offset, size) -> bytes, as a store gives them)."""
import io
import os
import shutil
import tempfile
import zipfile

from .section_map import SectionMap

__all__ = ["open_zip", "section_map_from_zip"]


class _RangedFile(io.RawIOBase):
    """A seekable read-only file over a source of ranged reads."""

    def __init__(self, source):
        self._source, self._at = source, 0

    def readable(self):
        return True

    def seekable(self):
        return True

    def tell(self):
        return self._at

    def seek(self, offset, whence=io.SEEK_SET):
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._at, io.SEEK_END: self._source.size}[whence]
        self._at = max(0, base + offset)
        return self._at

    def readinto(self, into):
        size = min(len(into), max(0, self._source.size - self._at))
        if not size:
            return 0
        data = self._source.read_at(self._at, size)
        into[:len(data)] = data
        self._at += len(data)
        return len(data)


def open_zip(source):
    """zipfile.ZipFile of a path or of an object of ranged reads."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return zipfile.ZipFile(source)
    return zipfile.ZipFile(io.BufferedReader(_RangedFile(source), 1 << 16))


def section_map_from_zip(source):
    """The section map of a run read from its zip's results file alone (the
    logs are not extracted)."""
    from tavix.log.commands.parser import LedraXMLResultParser
    from tavix.log.commands.parser.xml import RESULTS_FILE

    with open_zip(source) as archive, tempfile.TemporaryDirectory(prefix="tavix.search.") as directory:
        names = archive.namelist()
        with archive.open(RESULTS_FILE) as stream, open(os.path.join(directory, RESULTS_FILE), "wb") as out:
            shutil.copyfileobj(stream, out, 1 << 20)
        parser = LedraXMLResultParser(_ResultsOnly(directory, source))
        return SectionMap.from_parser(parser, names)


class _ResultsOnly:
    """What the results parser reads of an archive: where its files are."""

    def __init__(self, directory, source):
        self.dir = directory
        self.file = source if isinstance(source, (str, os.PathLike)) else ""
