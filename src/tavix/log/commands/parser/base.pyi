import collections
import re


class Pattern:
    """
    The banners that device connections write around the commands they run.
    """

    pattern_command: re.Pattern = ...

    pattern_config_ping: re.Pattern = ...

    pattern_ping_ip: re.Pattern = ...

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

class LogExecute:
    """
    A device command run during a section: its device, kind, title, start time and line range inside the section.
    """

    def __init__(self, archive: object | None, **kwargs) -> None: ...

    def _format_type(self) -> None: ...

    def to_json(self) -> dict: ...

    def read_logs(self) -> object: ...

class BaseResultsParser:
    """
    Base of the results parsers: indexes every section and step of every task as a LogSection and derives the subtree ranges and step owners.
    """

    def __init__(self, archive: object | None) -> None: ...

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

def failure_categories(parser: object, causes: bool = False) -> dict:
    """
    The failing sections and steps of the parser's tasks grouped by the signature of their cause lines: {"categories": [{"signature", "example", "count", "results", "sections"}, ...], "unexplained": [ids]}, categories by count, largest first, then by first appearance. A step is given as its section's id, "#" and its own id. With causes=True each category also has "causes": [offset of the cause line from the node's log start, severity] per node.
    """

def severity_histogram(logfile: object, host: object | None, start: object = 0, size: object = -1) -> dict:
    """
    Warning (severity 4) and error (severity 3 or less) record lines of the host (any host when None) in a byte range of a task log (a size of 0 or less: to the end), counted in one pass by the time in their time stamps: {"width": seconds per bin, "times": bin starts in seconds since 1970 (the stamps read as UTC), "warnings": [...], "errors": [...], "offsets": byte offset of each bin's first such line}, only bins holding a line, at most 20000 bins.
    """

def _set_scan_block(size: int) -> int:
    """
    Sets the largest read of the log scans in bytes (0: the default); returns the previous one.
    """
