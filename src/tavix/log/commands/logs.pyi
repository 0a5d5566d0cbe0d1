import logging

from tavix import configuration as cfg
import tavix.cli.base
from tavix.cli.base import (
    CommandWithSubcommands as CommandWithSubcommands,
    Subcommand as Subcommand
)
from tavix.cli.utils import format_table as format_table
from tavix.log.commands.archive import Archive as Archive
import tavix.log.commands.history.commands
import tavix.log.commands.history.triage_commands
import tavix.log.commands.server
import tavix.log.commands.service.commands
import tavix.log.commands.service.key_commands
import tavix.log.commands.service.retention_commands


logger: logging.Logger = ...

LogViewerServer = tavix.log.commands.server.LogViewerServer
def __getattr__(name: str) -> object: ...

CFG_LOGS_SERVER_HOST: str = 'logs.server.host'

CFG_LOGS_SERVER_PORT: str = 'logs.server.port'

CFG_LOGS_BROWSER: str = 'logs.browser'

DEFAULT_LOGS_SERVER_HOST: str = 'localhost'

DEFAULT_LOGS_SERVER_PORT: int = 0

KNOWN_LINUX_BROWSER_OPENER: list = ...

LOCALHOST_NAMES: list = ['localhost', '127.0.0.1']

DISPLAY_ENV_VAR: str = 'DISPLAY'

BROWSER_ENV_VAR: str = 'BROWSER'

BROWSER_MACOS_DEFAULT: str = 'open'

WSL_BROWSER_DEFAULT: list = ['cmd.exe', '/C', 'start']

def terminal_text(text: object, stream: object | None = None) -> object:
    """
    Text of an archive as it may be written on stream (default sys.stdout): on a terminal,
    C0 controls and DEL in caret notation (ESC as ^[), C1 controls and bidirectional
    formatting characters as <U+XXXX>; elsewhere as it is.
    """

def json_text(value: object, indent: object | None = None) -> object:
    """
    json.dumps(value, ensure_ascii=False, indent=indent) with C1 controls, DEL and
    bidirectional formatting characters written \\uXXXX: the same JSON, safe to show.
    """

def cancel_flag() -> tuple:
    """
    (capsule, set): a flag for the `cancel` of native searches (Archive.search and the run
    searches), unset, and the function that sets it, from any thread.
    """

class ListSubcommand(tavix.cli.base.Subcommand):
    name: str = 'list'

    help: str = 'list all log archives'

    description: str = ...

    @staticmethod
    def find_all_archives() -> list:
        """
        All archives of the shared and the user archive directory, newest first.
        """

    def run(self, args: object | None) -> None: ...

def choose_archive(choice: object | None) -> object:
    """
    The archive a command line names, as an absolute path: the newest for None or "",
    the one at index d of 'tavix logs list' for "-...d" (d a digit), else the path
    itself; FileNotFoundError when nothing is there.
    """

class ViewSubcommand(tavix.cli.base.Subcommand):
    name: str = 'view'

    help: str = 'open and view log archive in browser'

    usage: str = '{prog} [archive] [options]'

    description: str = ...

    def __init__(self, *args, **kwargs) -> None: ...

    def run(self, args: object | None) -> None: ...

    def _guess_hostname(self, host: object | None) -> object: ...

    def _open_browser(self, url: object | None) -> None: ...

class CompareSubcommand(tavix.cli.base.Subcommand):
    name: str = 'compare'

    help: str = 'what changed from one run to another'

    usage: str = '{prog} BASE NEW [--json]'

    description: str = ...

    def __init__(self, *args, **kwargs) -> None: ...

    def run(self, args: object | None) -> None: ...

class DiffSubcommand(tavix.cli.base.Subcommand):
    name: str = 'diff'

    help: str = ...

    usage: str = ...

    description: str = ...

    def __init__(self, *args, **kwargs) -> None: ...

    def run(self, args: object | None) -> None: ...

class FailuresSubcommand(tavix.cli.base.Subcommand):
    name: str = 'failures'

    help: str = 'show the failures of a run grouped by cause'

    usage: str = '{prog} [archive] [--json]'

    description: str = ...

    def __init__(self, *args, **kwargs) -> None: ...

    def run(self, args: object | None) -> None: ...

class SearchSubcommand(tavix.cli.base.Subcommand):
    name: str = 'search'

    help: str = ...

    usage: str = ...

    description: str = ...

    def __init__(self, *args, **kwargs) -> None: ...

    def run(self, args: object | None) -> None: ...

class ExportSubcommand(tavix.cli.base.Subcommand):
    name: str = 'export'

    help: str = 'write a run as JUnit XML'

    usage: str = '{prog} [archive] --junit FILE'

    description: str = ...

    def __init__(self, *args, **kwargs) -> None: ...

    def run(self, args: object | None) -> None: ...

class LogsCommand(tavix.cli.base.CommandWithSubcommands):
    name: str = 'logs'

    help: str = ...

    SUBCOMMANDS: list = ...

    SUBCMDS_ENTRYPOINT: str = ''

    def __init__(self, *args, **kwargs) -> None: ...
