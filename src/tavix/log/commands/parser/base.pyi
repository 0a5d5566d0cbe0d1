import collections
import re
import types


class Pattern:
    """
    The banners that device connections write around the commands they run.
    """

    pattern_command: re.Pattern = ...

    pattern_config_ping: re.Pattern = ...

    pattern_ping_ip: re.Pattern = ...

class ExecutionTable:
    """
    The device commands of one scanned section, as compact rows over its log. What LogSection.child_execute is made from, and what the viewer pages through.
    """

    def __len__(self) -> int: ...

    def page(self, offset: int, limit: int, device: str = '', text: str = '', cancel: object | None = None) -> tuple:
        """
        (total, JSON forms): the commands of `device` (all when empty) whose title or block text (its first 16 MiB) holds `text` ignoring case (all when empty), from `offset`, at most `limit` of them, and fewer once their texts take 8 MiB; a title or block text over 1 MiB is cut there, its form marked "truncated": true. Filter results are kept with the table.
        """

    def json_list(self) -> list:
        """The JSON form of every command, in order."""

    def find(self, execute_id: object | None) -> int | None:
        """The row of the command with that id, or None."""

    def execute(self, row: int) -> object:
        """The row's LogExecute (made once)."""

    def block(self, row: int) -> tuple:
        """
        (start_at, end_at, start_line, end_line): the byte positions of the command's banner line and of the record line that closed it, and their line indices in the section.
        """

    @property
    def nbytes(self) -> int:
        """Estimated bytes the table holds."""

class ScanCache:
    """
    The kept execution scans of sections: at most 128, within a budget in bytes, least recently used dropped first. Its one instance is LogSection.child_execute.fget.
    """

    def __call__(self, section: object | None) -> object:
        """
        The section's executions by execute_id, scanned at the first call and kept.
        """

    def peek(self, section: object | None) -> object:
        """
        The kept scan of a section (an ExecutionTable, or a dictionary of executions when pieces of the scan were replaced), or None.
        """

    def scanned(self, section: object | None) -> object:
        """
        The kept scan of a section (see peek), scanned now when it is not kept.
        """

    def cache_info(self) -> object: ...

    def cache_clear(self) -> None: ...

    @property
    def kept_bytes(self) -> int: ...

    @property
    def budget(self) -> int: ...

    @budget.setter
    def budget(self, value: object | None) -> None: ...

class LogSection(collections.UserDict):
    """
    A section or step record (shared, not copied) with its byte range of the task log.
    """

    def __init__(self, archive: object | None, section: object | None, host: object | None) -> None: ...

    def _has_line_prefix(self, line: object | None) -> bool: ...

    def _get_time(self, line: object | None) -> object: ...

    @property
    def child_execute(self) -> dict:
        """Executions of device commands in the section, by execute_id."""

    def all_executions(self) -> list: ...

    def get_execution(self, execution_uuid: object | None) -> object: ...

    def read_logs(self, offset: object | None = 0, limit: object | None = 0) -> object: ...

    def __hash__(self) -> int: ...

scan_cache: ScanCache = ...

def executions_unless_cancelled(section: object, cancel: object | None) -> object:
    """
    The section's kept scan (an ExecutionTable, or a dictionary of executions when pieces of the scan were replaced) while its child_execute is the stock one, else its child_execute; a scan it starts in this thread stops with RuntimeError once `cancel`, a flag the viewer server makes, is set.
    """

class SectionCommands:
    """
    The device commands of one section, whichever way they are held (the scan's table, a dictionary of executions, or the section's own all_executions() and get_execution() when those were replaced), with one filter rule: an execution handed out, or every execution while LogExecute.to_json is not the stock one, is judged by its JSON form.
    """

    def __init__(self, section: object | None, cancel: object | None = None) -> None:
        """
        The section's commands, scanned now unless the scan is kept; a scan begun here stops with RuntimeError once `cancel`, a flag the viewer server makes, is set.
        """

    @staticmethod
    def kept(section: object | None) -> SectionCommands | None:
        """
        The section's commands while no scan is needed for them (it is kept), else None.
        """

    def page(self, offset: int, limit: int, device: str = '', text: str = '', cancel: object | None = None) -> tuple:
        """
        (total, JSON forms): the commands of `device` (all when empty) whose title or block text holds `text` ignoring case (all when empty), from `offset`, at most `limit` of them, and fewer once their texts take 8 MiB.
        """

    def whole(self, cancel: object | None = None) -> object:
        """The JSON form of every command, as all_executions() gives it."""

    def find(self, execute_id: object | None) -> object:
        """The execution with that id, as get_execution() gives it, or None."""

    def log_range(self, execute_id: object | None) -> object:
        """
        (start_at, end_at, start_line, end_line): the byte positions of the command's banner line and of the record line that closed it, and their line indices in the section, while the scan's table knows them and the execution still says so; else None.
        """

class LogExecute:
    """
    A device command run during a section: its device, kind, title, start time and line range inside the section.
    """

    __slots__: tuple = ...

    def __init__(self, archive: object | None, **kwargs) -> None: ...

    def _format_type(self) -> None: ...

    def to_json(self) -> dict: ...

    def read_logs(self) -> object: ...

    archive: types.MemberDescriptorType = ...

    device: types.MemberDescriptorType = ...

    end_line: types.MemberDescriptorType = ...

    execute_id: types.MemberDescriptorType = ...

    execute_type: types.MemberDescriptorType = ...

    logfile: types.MemberDescriptorType = ...

    logs: types.MemberDescriptorType = ...

    parent_id: types.MemberDescriptorType = ...

    section_log_size: types.MemberDescriptorType = ...

    section_log_start: types.MemberDescriptorType = ...

    start_line: types.MemberDescriptorType = ...

    start_time: types.MemberDescriptorType = ...

    stop_time: types.MemberDescriptorType = ...

    title: types.MemberDescriptorType = ...

class BaseResultsParser:
    """
    Base of the results parsers: indexes every section and step of every task as a LogSection and derives the subtree ranges and step owners.

    Ids are the parser's own (random ones) unless `id_seed` is set: then
    prepare_sections first derives each section's id from the seed and its path
    (see section_paths), each step's from its section's path, its step id and
    its occurrence among the section's steps of that step id, and each one's
    device-command ids from its id, so one run opened with one seed always
    has the same ids.
    """

    def __init__(self, archive: object | None) -> None: ...

    @property
    def id_seed(self) -> object: ...

    @id_seed.setter
    def id_seed(self, value: object | None) -> None: ...

    def prepare_sections(self) -> None: ...

    def get_section(self, section_uuid: object | None) -> object: ...

    def get_task_names(self) -> list: ...

def failure_signature(message: object) -> object:
    """
    The signature of a failure message: numbers, hexadecimal numbers, IPv4 and IPv6 addresses, MAC addresses, UUIDs, quoted strings, dates and times replaced by placeholders (<N>, <HEX>, <IP>, <MAC>, <UUID>, <STR>, <DATE>, <TIME>), runs of white space collapsed to one blank.
    """

def failure_causes(logfile: object, host: object | None, ranges: object) -> list:
    """
    The cause line of each (start, size) byte range of a task log: the first record line of the host (any host when None) with a severity of 3 or less, else the last one of severity 4. Each is (offset of the line in the file, severity, message after the tags field), or None when there is none.
    """

def failure_categories(parser: object, causes: bool = False, cause_lines: bool = False) -> dict:
    """
    The failing sections and steps of the parser's tasks grouped by the signature of their cause lines: {"categories": [{"signature", "example", "count", "results", "sections"}, ...], "unexplained": [ids]}, categories by count, largest first, then by first appearance. A step is given as its section's id, "#" and its own id. With causes=True each category also has "causes": [offset of the cause line from the node's log start, severity] per node. With cause_lines=True each category also has "cause_lines": the message of each node's cause line. Nodes whose log cannot be read (missing, not a file, outside the archive, a range past its end) are listed under "unreadable", when there are any.
    """

def section_identities(parser: object) -> list:
    """
    (record, path, type, result, duration) of every section of the parser's tasks, in
    tree order. path: the section's path (see section_paths) as JSON text, as
    json.dumps(names, ensure_ascii=False, separators=(",", ":")) writes it. type and
    result: texts ("" for none); duration: the run time in seconds (see
    run_time_seconds), or None.
    """

def is_failing_result(result: object | None) -> bool:
    """
    Whether a section's or step's result is a failing one: "failed", "errored",
    "aborted" or "blocked", in any ASCII case, with white space around it (as
    str.strip removes it). Anything but text is not.
    """

def run_time_seconds(run_time: object | None) -> object:
    """
    A section's run time in seconds: "S", "M:S" or "H:M:S" ("7.00", "0:03:07.2"),
    each part digits with an optional fraction, white space around the whole; None for
    any other text. A value that is not text is read as its str().
    """

def severity_histogram(logfile: object, host: object | None, start: object = 0, size: object = -1) -> dict:
    """
    Warning (severity 4) and error (severity 3 or less) record lines of the host (any host when None) in a byte range of a task log (a size of 0 or less: to the end), counted in one pass by the time in their time stamps: {"width": seconds per bin, "times": bin starts in seconds since 1970 (the stamps read as UTC), "warnings": [...], "errors": [...], "offsets": byte offset of each bin's first such line}, only bins holding a line, at most 20000 bins.
    """

def _utf8_sequence(data: bytes) -> tuple:
    """
    Test hook: (bytes of the first character as the decoder takes them, whether they are well formed, the end of the last whole character, a cut at the middle moved past the character it splits).
    """

def _command_paths() -> dict:
    """
    Test hook: how often the section commands were answered from a table, from execution objects and from a section's replaced methods, and how many executions were judged by their JSON forms.
    """

def _read_line_pieces(logfile: object, begin: int, end: int, finish_last_line: bool, line_start: int, block: int, needle: str | None = None) -> list:
    """
    Test hook: the pieces the line reader hands out for a range, as (offset, line start, line number, first, last, bytes).
    """

def _parse_record_line(line: bytes, host: bytes, piece: int = 0, fields_only: bool = False, host_up_to_severity: int = 1000) -> dict:
    """
    Test hook: what the record-line parser finds in `line`, fed in pieces of `piece` bytes (gathering only the fields, and the host of lines of `host_up_to_severity` or lower, with `fields_only`).
    """

def _cancel_flag_for_tests() -> tuple:
    """
    Test hook: (capsule, set): a cancel flag as the viewer server makes them, and its setter.
    """

def _set_scan_stretches(stretch: int, threads: int) -> tuple:
    """
    Test hook: scans split sections into stretches of `stretch` bytes, at most `threads` of them (0, 0: the defaults); returns the previous setting.
    """

def _last_scan_bytes_read() -> int:
    """
    Test hook: the bytes of the log the latest execution scan to end had read.
    """

def _force_scalar_newlines(scalar: bool) -> bool:
    """
    Test hook: makes the newline finder take its scalar branch; returns the previous setting.
    """

def diff_sections(base_section: object, new_section: object, path: object | None = None, context: int = 3, budget: float = 2.0, offsets: bool = False, headers: bool = False, cancel: object | None = None, memory: int = 268435456) -> dict:
    """
    The diff of new_section's log against base_section's (two LogSection objects,
    usually of two runs): {"path", "identical", "approximate", "masked", "hunks"}.

    Lines are compared after masking what differs from run to run anyway (see
    mask_line); the diff is minimal in lines unless it takes longer than `budget`
    seconds or more than `memory` bytes (256 MiB by default, whatever the sections'
    sizes), when the rest is given as replaced and "approximate" is true. Each hunk
    is {"base_start", "base_count", "new_start", "new_count", "lines"} with
    `context` lines around its changes; each line {"op": " ", "-" or "+", "text"
    (the original line without its line end; the new run's for context lines),
    "base_line", "new_line"} (numbers from
    1 within the section, null on the side without it). A line's text is cut at 16 KiB
    ("truncated": true on the line); past 8 MiB of text or 50,000 lines the rest is
    left out, with "truncated": true and "hunk_count" on the answer. `path` is copied to
    the answer. offsets=True adds "base_offset" and "new_offset" to each line: where
    it starts within its section, in bytes (null on the side without it). headers=True
    adds "header": [severity, stamp start, stamp end, message start] of a record line
    (positions in UTF-16 code units of its text), null for other lines. `cancel`, a
    flag the viewer server makes, stops the diff with CancelledError once it is set.
    """

def mask_line(line: object) -> tuple:
    """
    (masked, kinds): the line with the fields that differ from run to run anyway replaced
    by markers, and the kinds masked: "sequence number", "timestamp", "process",
    "thread" and "part" in a MorlanLog header, "uuid", "hex address" and "date-time"
    anywhere (ISO 8601 with "T" or a blank, or syslog's "Dec  8 17:17:41").
    """

def section_paths(parser: object) -> dict:
    """
    {section id: path} for every section of the parser's tasks (steps left out), in tree
    order. A path is the script's name, then the names of the sections from the script
    down as the tree shows them (an unnamed one by its type); the 2nd, 3rd... section
    with the same path gets "#2", "#3"... after its own name, or the next number
    whose path no section before it has. No two sections share a path; runs match
    their sections by these paths.
    """

def path_text(names: object) -> str:
    """
    The path's names joined by "/"; inside a name "\\" is written "\\\\" and "/" "\\/".
    """

def split_path(text: object) -> list:
    """The names of a path written as path_text writes it."""

def compare_runs(base_parser: object, new_parser: object) -> dict:
    """
    What changed from the base run to the new one: {"base" and "new": {"request_id",
    "start_time", "suite_name"}, "same_suite", "newly_failing", "fixed",
    "still_failing", "only_in_base", "only_in_new", "categories"}.

    Sections (not steps) are matched by their paths (see section_paths). Each entry of
    the five lists is {"path", "type", "base_result", "result"}, a side's result
    null where it has no such section. Failing results are failed, errored, aborted and
    blocked. Newly failing: failing in the new run and not in the base run, a section
    only in the new run included; fixed: failing in the base run, not in the new one,
    both having it; still failing: failing in both. The categories are the failure
    categories of both runs matched by signature, {"signature", "example",
    "base_count", "count", "change": "new", "gone", "more", "fewer" or "same"}:
    the new run's in its order, then those only the base run has.
    """

def _set_scan_block(size: int) -> int:
    """
    Sets the largest read of the log scans in bytes (0: the default); returns the previous one.
    """
