"""The ``tavix`` command: entry point of the framework's command-line tool.

    tavix [--debug] <command> ...

Commands report to the user through logging: information on standard
output, warnings and errors on standard error (and debug lines with --debug). A failure ends the tool with a one-line
error on standard error and exit status 1 (a CommandError: its message
alone, and its own status); --debug adds the traceback.
Ctrl-C or SIGTERM outside a command's own handling ends it with status 130.
"""
import argparse
import contextlib
import importlib
import logging
import signal
import sys
import threading
import traceback

from tavix.cli.base import CommandError, CommandWithSubcommands, Subcommand

__all__ = ["COMMANDS", "Tool", "main"]

logger = logging.getLogger("tavix.cli")

# Command name and "module:Class" of every command; imported when the tool starts.
COMMANDS = [
    ("logs", "tavix.log.commands.logs:LogsCommand"),
    ("demo", "tavix.demo.command:DemoCommand"),
]


def _load(name, location):
    """The command class, or a stand-in that reports why it cannot be loaded.

    One broken command must not take the whole tool (and its --help) down.
    """
    module, _, class_name = location.partition(":")
    try:
        return getattr(importlib.import_module(module), class_name)
    except Exception as error:
        failure = error

    class Unavailable(Subcommand):
        help = "(unavailable: %s)" % _describe(failure)

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.parser.add_argument("arguments", nargs=argparse.REMAINDER)

        def run(self, args):
            raise failure

    Unavailable.name = name
    return Unavailable


class Tool(CommandWithSubcommands):
    name = "tavix"
    description = "tavix test-automation framework command-line tool"

    def __init__(self, parser=None):
        super().__init__(parser)
        self.parser.add_argument("--debug", action="store_true",
                                 help="verbose output; show the traceback of an error")

    def subcommand_classes(self):
        return [_load(name, location) for name, location in COMMANDS]


class _MessageHandler(logging.StreamHandler):
    """Messages as they are: warnings and errors to stderr, the rest to stdout."""

    def emit(self, record):
        self.stream = sys.stderr if record.levelno >= logging.WARNING else sys.stdout
        super().emit(record)


@contextlib.contextmanager
def _logging_to_console(debug):
    """Shows the tool's messages for the duration of one call of main()."""
    handler = _MessageHandler()
    handler.setFormatter(logging.Formatter("%(message)s"))
    root = logging.getLogger()
    level = root.level
    root.addHandler(handler)
    root.setLevel(logging.DEBUG if debug else logging.INFO)
    try:
        yield
    finally:
        root.removeHandler(handler)
        root.setLevel(level)


def _terminate(signum, frame):
    raise KeyboardInterrupt


@contextlib.contextmanager
def _sigterm_unwinds():
    """SIGTERM unwinds like Ctrl-C, so every `with` block (extraction
    directories) is left; only where the default would kill the process."""
    install = (threading.current_thread() is threading.main_thread()
               and signal.getsignal(signal.SIGTERM) is signal.SIG_DFL)
    if install:
        signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        if install:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)


@contextlib.contextmanager
def _signals_held():
    """Holds SIGINT and SIGTERM back while the commands' modules load.

    Libraries that fall back on a pure-Python module when an extension fails
    to import take an interrupt met during that import for a failed import
    and go on, so the interrupt would be lost. Held, it is answered as soon as
    the modules are loaded."""
    held = {signal.SIGINT, signal.SIGTERM}
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _describe(error):
    text = str(error)
    cause = error.__cause__
    if cause is not None:
        text = "%s (%s)" % (text, _describe(cause)) if text else _describe(cause)
    if isinstance(error, CommandError) and text:
        return text
    return "%s: %s" % (type(error).__name__, text) if text else type(error).__name__


def main(argv=None):
    debug = False
    try:
        # Loading the commands imports the extension modules, which takes a
        # moment: Ctrl-C or SIGTERM then ends the tool as it does later on.
        with _sigterm_unwinds():
            with _signals_held():
                tool = Tool()
            args = tool.parser.parse_args(argv)
            debug = args.debug
            with _logging_to_console(debug):
                args._command.run(args)
    except KeyboardInterrupt:
        print("Interrupted", file=sys.stderr)
        return 130
    except CommandError as error:
        print("tavix: error: %s" % _describe(error), file=sys.stderr)
        return error.status
    except Exception as error:  # reported as one line; the traceback only when asked for
        if debug:
            traceback.print_exc()
        print("tavix: error: %s" % _describe(error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
