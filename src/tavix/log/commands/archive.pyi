from collections.abc import Sequence
from typing import overload

import tavix.log.commands.parser.xml


TEMP_DIR_PREFIX: str = 'tavix.logviewer.'

IGNORE_FILES: list = ['*/__pycache__', '*.pyc', '*.pyo']

class _Listing:
    """Iterator over the entries of an archive's file tree, in pre-order."""

    def __iter__(self) -> object: ...

    def __next__(self) -> object: ...

class Archive:
    """
    A run archive (zip) opened into a temporary directory.

    Entering extracts the archive and parses its results; leaving deletes
    the directory. Reads go through listdir, read_file, read_bytes,
    read_lines, search and count_matches.

    `progress`, None by default, may be a callable told how an opening
    goes, as progress(stage, done, total): stage "extracting" with the
    bytes written and the bytes to write; the stock results parser adds
    "reading" with the bytes of the results file read and its size, and
    "parsing" with the sections read so far and None.

    `directory`, None by default, is where the temporary directory is
    made (None: the system's temporary directory). `id_seed`, unless None,
    is given to the results parser as its keyword id_seed: the stock
    parser then derives the ids of sections, steps and device commands
    from it, the same at every opening.
    """

    def __init__(self, archive: object, result_parser: object = tavix.log.commands.parser.xml.LedraXMLResultParser, progress: object | None = None, *, directory: object | None = None, id_seed: object | None = None) -> None: ...

    def __enter__(self) -> object: ...

    def __exit__(self, exc_type: object | None, exc_value: object | None, traceback: object | None) -> object: ...

    def listdir(self, folder: object | None = None, _depth: object = 0, _parent_id: object = 0) -> object:
        """
        Lists the archive's files and directories lazily, depth-first, siblings
        in case-insensitive name order; cached bytecode is left out.
        """

    def read_file(self, filename: object, limit: int = 0) -> dict:
        """
        Reads a whole text file of the archive as a list of lines with its
        guessed content type; other types are refused.

        With `limit` > 0 at most that many bytes are read: a longer file's
        record holds its first `limit` bytes of lines (the last one cut), and
        "truncated": True and "file_size" (its size in bytes) follow.
        """

    def read_bytes(self, logfile: object, log_start: int = 0, log_size: int = -1, offset: int = 0, limit: int = 0) -> object:
        """
        Reads one page of a log section: at most `limit` bytes from
        log_start + offset, never past the section end; None past the end.
        """

    def read_lines(self, logfile: object, start_line: object | None = None, end_line: object | None = None, log_start: int = 0, log_size: int = -1) -> object:
        """
        Reads the lines of a log section and returns the slice
        [start_line:end_line] of them.
        """

    def read_lines_capped(self, logfile: object, limit: int, start_line: object | None = None, end_line: object | None = None, log_start: int = 0, log_size: int = -1) -> tuple:
        """
        The lines read_lines gives, of which at most `limit` bytes are read:
        (lines, truncated). The line crossing the limit is cut there, and
        `truncated` is True when text of the slice was left out.
        """

    @staticmethod
    def check_query(query: object, *, regex: bool = False, case: bool = False) -> None:
        """
        Raises the ValueError `search` would raise for `query`; checks a
        query before an archive is opened.
        """

    @overload
    def search(self, logfile: object, log_start: int, log_size: int, query: str, *, regex: bool = False, case: bool = False, offset: int = 0, line: int | None = None, line_start: int | None = None, limit: int = 100, max_seconds: float = 0.2, max_bytes: int = 268435456, block: int = 1048576, cancel: object | None = None, counters: bool = False) -> dict:
        """
        Searches a log section for the lines that hold `query` (a literal text,
        or a regular expression when `regex`; case is ignored unless `case`).

        Starts at `offset` within the section (`line` is the index of the line
        holding it, counted when not given, and `line_start` that line's start,
        `offset` itself when only `line` is given) and returns {"hits", "scanned_to", "line", "line_start",
        "complete"}: at most `limit` hits {"offset", "line", "column", "length",
        "text"} in file order, one per line, and where the search stopped. It
        stops early after about `max_seconds` or `max_bytes`. The log is read in
        blocks of `block` bytes; a line longer than a block is searched in pieces
        (a match across two pieces is not seen). A query it cannot match (empty,
        too large, backreferences, lookaround) raises ValueError. `cancel`, a flag
        the viewer server makes, stops the search between blocks once set, as the
        time budget does. With `counters` the answer tells the work done under
        "counters": {"blocks_read", "bytes_read", "states_built"} (automaton states).
        """
    @overload
    def search(self, logfile: object, *, query: str, log_start: int = 0, log_size: int = -1, regex: bool = False, case: bool = False, offset: int = 0, line: int | None = None, line_start: int | None = None, limit: int = 100, max_seconds: float = 0.2, max_bytes: int = 268435456, block: int = 1048576, cancel: object | None = None, counters: bool = False) -> dict: ...

    def count_matches(self, logfile: object, bounds: Sequence[int], query: object, *, regex: bool = False, case: bool = False, max_seconds: float = 60.0, block: int = 1048576, cancel: object | None = None) -> list:
        """
        Counts the lines of a log file that hold `query`, per interval
        [bounds[i], bounds[i + 1]) of file positions, by where their first match
        starts, in one pass. A None after the counts means the search ran out
        of time (or was stopped by its `cancel` flag) before the last bound.
        """

    def line_severities(self, logfile: object, log_start: int = 0, log_size: int = -1, offset: int = 0, limit: int = 20480, *, spans: bool = False) -> list:
        """
        The severity of each record line that starts in the page [offset,
        offset + limit) of a log section, as a list of (offset of the line in the
        section, severity). A line the page starts inside of is left out.
        spans=True gives lists [offset, severity, stamp start, stamp end, message
        start] instead, positions in UTF-16 code units from the line's start (the
        header: up to the message start); a header too long to show apart gives
        [offset, severity].
        """

    def next_record_line(self, logfile: object, log_start: int = 0, log_size: int = -1, *, offset: int = 0, severity: int = 3, max_bytes: int = 268435456) -> dict:
        """
        The first record line starting at or after `offset` in a log section
        whose severity is `severity` or lower (more severe): {"line": {"offset",
        "severity", "text"} or None, "scanned_to": where to go on from when
        `max_bytes` ran out first, else None}. A line the offset falls inside of
        is passed over.
        """

def _zip_members_for_tests(source: object, names: object | None = None) -> list:
    """
    Test hook: the zip's members (or those named, in that order) as the native reader finds them.
    """

def _inflate_points_for_tests(source: object, name: str, span: int, keep_output: bool = True, cancel: object | None = None) -> dict:
    """
    Test hook: streams a member, keeping an access point every `span` bytes; ({"output", "points" (out, in, bits, packed window size), "serialised", "largest_piece", "counters"}.
    """

def _read_member_range_for_tests(source: object, name: str, points: bytes, begin: int, end: int, cancel: object | None = None) -> dict:
    """
    Test hook: bytes [begin, end) of a member read from serialised access points; {"output", "trailing" (bytes after the points), "counters"}.
    """

class SearchIndexError(ValueError):
    """
    A search index that is damaged, truncated, of another format version, or not
    of the zip it is used with: search that run the slow way, and build its index
    again.
    """

def build_search_index(source: object, target: object, members: Sequence[str], *, metadata: object = ..., cancel: object | None = None, block_size: object | None = None) -> dict:
    """
    Builds the search index of a run's zip: `source` is its path or an object with .size and
    .read_at(offset, size); `members` names the members to index (the task logs), in order;
    `metadata` is kept as it is (RunSearch.metadata). The index is written beside `target`,
    then renamed to it. Returns {"members", "blocks", "bytes" (of text), "index_bytes",
    "access_points"}. ValueError for a zip that is not one, a missing member or damaged
    data; OSError when reading or writing fails; CancelledError once `cancel`, a flag the
    server makes, is set. `block_size` (bytes of text per block) is for tests.
    """

class _RunSearchHits:
    """The hits of RunSearch.search, a list at a time."""

    def __iter__(self) -> object: ...

    def __next__(self) -> list: ...

class RunSearch:
    """
    Searches the lines of a run's zip members, by its search index or, without
    one, the slow way (every line of every member, streamed from the zip).
    """

    def __init__(self, source: object, index: object | None = None) -> None:
        """
        `source`: the zip's path or an object with .size and .read_at(offset, size); `index`:
        the path of its search index, its bytes, or None. SearchIndexError for an index that
        is damaged, truncated, of another format version or not of this zip.
        """

    @property
    def members(self) -> list:
        """The members searched: those indexed, or every file of the zip."""

    @property
    def indexed(self) -> bool: ...

    @property
    def metadata(self) -> bytes:
        """The bytes the index keeps for its maker (b"" without one)."""

    @property
    def counters(self) -> dict:
        """
        The work of the latest search: {"blocks_total", "blocks_read", "bytes_inflated",
        "compressed_bytes_read"} (without an index a block is 128 KiB of a member).
        """

    def search(self, query: object, *, regex: bool = False, case: bool = False, members: object | None = None, cancel: object | None = None, limit: int = 10000) -> _RunSearchHits:
        """
        An iterator of lists of at most `limit` hits {"member", "line", "offset", "column",
        "length", "text", "truncated"}: the lines holding `query` (a literal text, or a
        regular expression when `regex`; case is ignored unless `case`), in member order,
        then by offset, each once, with the fields Archive.search gives them (`line` and
        `offset`, of the line's start, counted in the member). `members` narrows the search
        to those named. The search runs ahead of its reader without the GIL; it stops once
        `cancel`, a flag the server makes, is set, or when the iterator is dropped. An
        invalid query raises ValueError as Archive.check_query does.
        """
