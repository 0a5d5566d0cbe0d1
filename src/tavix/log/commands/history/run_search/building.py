"""Building a run's search index and section map: when the run is recorded
(its archive is open then), and again when a search finds them missing,
damaged or of an older format."""
import os
import tempfile

from .section_map import SectionMap
from .zip_source import open_zip, section_map_from_zip

__all__ = ["build_run_search", "rebuild_run_search"]


def build_run_search(archive, run, files, *, cancel=None):
    """Builds the search index of a run being recorded from its opened
    Archive, and stores it with the run's section map in `files`; returns
    the builder's figures ({"members", "blocks", "bytes", "index_bytes",
    "access_points"}). cancel: a SearchCancel."""
    with open_zip(archive.file) as opened:
        names = opened.namelist()
    return _build(run, archive.file, SectionMap.from_parser(archive.results, names), files, cancel)


def rebuild_run_search(run, files, *, cancel=None):
    """Builds the run's search index again from its zip, with the section map
    kept (else the one in the index, else one read from the zip's results)."""
    source = files.source(run)
    section_map = files.sections(run) or _kept_index_map(run, files) or section_map_from_zip(source)
    return _build(run, source, section_map, files, cancel)


def index_section_map(search):
    """The copy of the section map in an open RunSearch's index; None without
    an index, or when the copy is not a sound map."""
    try:
        # The index checks its bytes as they are read: a damaged copy fails here.
        metadata = search.metadata if search.indexed else b""
        return SectionMap.from_bytes(metadata) if metadata else None
    except ValueError:  # SectionMapError, SearchIndexError
        return None


def _kept_index_map(run, files):
    from tavix.log.commands import archive

    index = files.index(run)
    if index is None:
        return None
    try:
        return index_section_map(archive.RunSearch(files.source(run), index))
    except (OSError, ValueError):
        return None


def _build(run, source, section_map, files, cancel):
    from tavix.log.commands import archive

    with tempfile.TemporaryDirectory(prefix=".building.", dir=files.workspace()) as directory:
        target = os.path.join(directory, "search.index")
        figures = archive.build_search_index(source, target, section_map.members(), metadata=section_map.to_bytes(),
                                             cancel=None if cancel is None else cancel.native)
        files.store(run, target, section_map)
    return figures
