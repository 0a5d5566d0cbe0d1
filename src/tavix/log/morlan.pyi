"""
MorlanLog records, line formatters, task log and console handlers, forked task logs.

Sequence numbers. Each process numbers its records, and the extra lines of
its multi-line records, from its own counter in LOG_SEQUENCE_COUNTER, and only
the process that made a record draws numbers for it, so numbers stay unique
per process id in a log that also holds records of other processes:

- A multi-line record builds its parts, drawing their numbers, when it is first
  formatted or, if it leaves its process before that, when it is pickled (a
  multiprocessing queue, pickle, copy.deepcopy). The parts travel with it and
  every later formatter, in any process, reuses them; parts that no formatter
  timed yet take the record's asctime.
- Records and parts are pickled and deep-copied without traceback objects
  (exc_info None): the traceback's text travels in exc_text, formatted on the
  way out if no formatter did it, and in the parts' messages. copy.copy stays
  a plain shallow copy, which keeps them.
- A record split in another process than its own, because it arrived without
  parts (the dictionary a SocketHandler sends of a record no formatter had
  split, a buffered record flushed in a forked child), draws no numbers there:
  its extra lines repeat the record's number and their part tags tell them
  apart. A record's own process is the one whose id is its `process`; records
  made with logging.logProcesses off count as the formatting process's own.
"""

import collections
import itertools
import logging
import time

import tavix.datastructures
from tavix.datastructures import AttrDict as AttrDict
import tavix.log.colour
from tavix.log.colour import (
    ColouredLogLevelFormatter as ColouredLogLevelFormatter
)
from tavix.utils.utils import get_time as get_time


__all__: list = ['ScreenFormatter', 'ColouredScreenFormatter', 'ScreenHandler', 'TaskLogFormatter', 'TaskLogHandler', 'managed_handlers']

logger: logging.Logger = ...

LOG_SEQUENCE_COUNTER: collections.defaultdict[int, itertools.count[int]] = ...

MORLAN_MSG_SEV_MAP: dict = ...

class MorlanLogTags(dict):
    """Tags of a MorlanLog line; str() gives the line's tags field."""

    def __str__(self) -> str: ...

    def copy(self) -> MorlanLogTags: ...

class MorlanLogRecordPart(logging.LogRecord):
    """
    One line of a multi-line MorlanLogRecord, with its own sequence number and part tag.
    """

    def __init__(self, record: object, message: object, index: object, total: object) -> None: ...

    def __getstate__(self) -> object: ...

class MorlanLogRecord(logging.LogRecord):
    """Log record carrying the fields of the MorlanLog line format."""

    def __iter__(self) -> object: ...

    def __getstate__(self) -> object: ...

    def __copy__(self) -> object: ...

    def __init__(self, /, *args, **kwargs):
        """Initialize self.  See help(type(self)) for accurate signature."""

class MorlanLogFormatter(logging.Formatter):
    """
    Formatter that gives every line of a message, traceback and stack its own full header.
    """

    def __init__(self, *args, **kwargs) -> None: ...

    def converter(self, seconds: float | None) -> time.struct_time: ...

    def format(self, record: logging.LogRecord) -> str: ...

class ScreenFormatter(MorlanLogFormatter):
    """Short console lines: time, application and message name, message."""

    TIMESTAMP_FORMAT: str = '%Y-%m-%dT%H:%M:%S'

    MESSAGE_FORMAT: str = ...

    def __init__(self) -> None: ...

class ColouredScreenFormatter(tavix.log.colour.ColouredLogLevelFormatter, ScreenFormatter):
    """Console lines with the message coloured by level or by request."""

    MESSAGE_FORMAT: str = ...

class TaskLogFormatter(ScreenFormatter):
    """Task log lines in the MorlanLog format."""

    MESSAGE_FORMAT: str = ...

class ColouredTaskLogFormatter(tavix.log.colour.ColouredLogLevelFormatter, TaskLogFormatter):
    """Task log lines with the message coloured by level or by request."""

    MESSAGE_FORMAT: str = ...

class ScreenHandler(logging.StreamHandler):
    """
    Console handler: writes the short line format to standard output (or the given stream), coloured by level unless `coloured` is false.
    """

    def __init__(self, stream: object | None = None, coloured: object | None = True) -> None: ...

    @property
    def coloured(self) -> object: ...

    @coloured.setter
    def coloured(self, value: object | None) -> None: ...

    @property
    def stream(self) -> object: ...

    @stream.setter
    def stream(self, value: object | None) -> None: ...

    def __str__(self) -> str: ...

class TaskLogHandler(logging.StreamHandler):
    """
    Writes a task's log file in the task log line format. The file can be switched at run time (changeFile); without a file output goes to the null device. The lock is shared with forked children, which can be given log files of their own and merged back at their exit.
    """

    def __init__(self, logfile: object | None, mode: object | None = 'a', encoding: object | None = None, coloured: object | None = False) -> None: ...

    @property
    def coloured(self) -> object: ...

    @coloured.setter
    def coloured(self, value: object | None) -> None: ...

    def createLock(self) -> None:
        """
        Creates the process-shared recursive lock, inherited by forked children.
        """

    def changeFile(self, logfile: object | None) -> None:
        """
        Closes the current file and continues in `logfile` (the null device when empty; a relative name is taken relative to `logdir`).
        """

    def enableForked(self, consolidate: object | None = False) -> None:
        """
        Gives every child forked through multiprocessing a log file of its own, merged into this log at the child's exit when `consolidate` is true.
        """

    def disableForked(self) -> None: ...

    @property
    def forkRegistered(self) -> bool: ...

    def next_fork_logfile(self, logfile: object | None, consolidate: object | None = None) -> object:
        """Context manager: children forked inside the block log to `logfile`."""

    def consolidate_next_forked_logfile(self) -> object:
        """
        Context manager: children forked inside the block are merged back at exit.
        """

    def concatenateLog(self, logfile: object | None, delete: object | None = True) -> None:
        """Appends the content of `logfile` to the current log, then deletes it."""

    def close(self) -> None: ...

    def _open(self) -> object: ...

    @staticmethod
    def forked(instance: object | None) -> None: ...

    def forked_finalizer(self, parent_logfile: object | None, delete: object | None = True) -> None: ...

    def handle(self, record: logging.LogRecord) -> bool: ...

    def emit(self, record: object | None) -> None: ...

class _NextForkLogfile:
    """The block of TaskLogHandler.next_fork_logfile."""

    def __init__(self, handler: object | None, logfile: object | None, consolidate: object | None) -> None: ...

    def __enter__(self) -> None: ...

    def __exit__(self, *args) -> bool: ...

managed_handlers: tavix.datastructures.AttrDict = ...

def closeManagedHandlers() -> None:
    """
    Closes the managed handlers at exit, except those writing to the console.
    """
