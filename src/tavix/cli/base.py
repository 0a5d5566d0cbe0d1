"""Base classes of the command-line tool's commands.

A command is a class with a ``name`` (the word on the command line), a
``help`` line (shown in its parent's list), and optionally a ``usage`` line
(where "{prog}" stands for the program and command words) and a
``description`` (shown verbatim by ``--help``). A ``Subcommand`` adds its
arguments to ``self.parser`` in its constructor and does its work in
``run(args)``. A ``CommandWithSubcommands`` groups the classes listed in
``SUBCOMMANDS``, plus those registered as entry points of the group named
by ``SUBCMDS_ENTRYPOINT`` (none when it is empty).
"""
import argparse
from typing import List, Optional

__all__ = ["Command", "CommandError", "CommandWithSubcommands", "Subcommand", "make_parser"]


class _Formatter(argparse.RawTextHelpFormatter):
    """Keeps the line breaks of descriptions and help texts."""


def _parser_settings(command_class):
    settings = {"description": command_class.description, "help": command_class.help,
                "formatter_class": _Formatter}
    if command_class.usage:
        settings["usage"] = command_class.usage.format(prog="%(prog)s")
    return settings


def make_parser(command_class, prog=None):
    """A stand-alone parser for a command class."""
    settings = _parser_settings(command_class)
    del settings["help"]
    return argparse.ArgumentParser(prog=prog or command_class.name, **settings)


class CommandError(Exception):
    """A failure the user can act on (a bad pattern, an unwritable file): the
    tool shows its message alone, without the exception's type name, as
    "tavix: error: <message>", and exits with `status`: 1 unless given, 2
    for a usage error."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


class Command:
    """A command of the tool: its parser, and ``run(args)`` doing its work."""

    name: Optional[str] = None
    help: Optional[str] = None
    usage: Optional[str] = None
    description: Optional[str] = None

    def __init__(self, parser=None):
        # Without a parser (tests, scripts), a command builds its own.
        self.parser = parser if parser is not None else make_parser(type(self))
        self.parser.set_defaults(_command=self)

    def run(self, args):
        raise NotImplementedError("%s does not implement run()" % type(self).__name__)


class Subcommand(Command):
    """A leaf command: adds its arguments to ``self.parser`` and implements ``run``."""


class CommandWithSubcommands(Command):
    """A command made of subcommands; ``run`` dispatches to the chosen one."""

    SUBCOMMANDS: List[type] = []
    SUBCMDS_ENTRYPOINT = ""

    def __init__(self, parser=None):
        super().__init__(parser)
        subparsers = self.parser.add_subparsers(title="subcommands", metavar="<subcommand>")
        subparsers.required = True
        self.subcommands = {}
        for command_class in self.subcommand_classes():
            subparser = subparsers.add_parser(command_class.name, **_parser_settings(command_class))
            self.subcommands[command_class.name] = command_class(subparser)

    def subcommand_classes(self):
        classes = list(self.SUBCOMMANDS)
        if self.SUBCMDS_ENTRYPOINT:
            classes += [entry.load() for entry in _entry_points(self.SUBCMDS_ENTRYPOINT)]
        return classes

    def run(self, args):
        # The parser of the chosen subcommand stored it last in args._command.
        if args._command is self:
            self.parser.error("a subcommand is required")
        return args._command.run(args)


def _entry_points(group):
    from importlib import metadata
    found = metadata.entry_points()
    if hasattr(found, "select"):
        return list(found.select(group=group))
    return list(found.get(group, ()))  # Python 3.9
