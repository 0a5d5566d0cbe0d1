"""`tavix logs mark`, `unmark`, `claim`, `release`, `marks` and `gate`: triage
on the run index, as the operating system's user."""
import argparse
import getpass
import logging
import sys

from tavix.cli.base import CommandError, Subcommand

from .commands import _archive_path, _shown, add_index_option, open_index, record_archive
from .definitions import GATE_KINDS, MARK_KINDS

logger = logging.getLogger("tavix.log.commands.logs")

# What the gate says it fails on.
GATE_FAILURES = {"new": "new failing section(s)", "unmarked": "unmarked failing section(s)",
                 "any": "failing section(s)"}
PATH_SEPARATOR = "/"

TARGET_HELP = ("\nThe target is a failure signature, as `tavix logs failures` groups failures\n"
               "(--signature), or one failing section (--path: its names from the script down,\n"
               "separated by '/'), within SUITE.\n")


def _path(text):
    names = text.split(PATH_SEPARATOR)
    if not all(names):
        raise argparse.ArgumentTypeError("a path is names separated by '/', none empty: %r" % text)
    return names


def _target_text(args):
    if args.signature is not None:
        return "the signature %s" % _shown(repr(args.signature))
    return "the section %s" % _shown(" / ".join(args.path))


def _author():
    try:
        return getpass.getuser()
    except (KeyError, OSError):
        raise CommandError("the operating system names no user to write this as") from None


class _TriageCommand(Subcommand):
    """A command on the run index, its errors of triage shown as messages."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        add_index_option(self.parser)

    def run(self, args):
        from .triage_records import MarkError

        try:
            with open_index(args) as index:
                self.act(index, args)
        except MarkError as error:
            raise CommandError(_shown(str(error), sys.stderr)) from None

    def act(self, index, args):
        raise NotImplementedError


class _TargetCommand(_TriageCommand):
    """A command on one target of a suite."""
    usage = "{prog} SUITE (--signature TEXT | --path NAME/NAME/...) [--index URL]"
    description = TARGET_HELP

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("suite", metavar="SUITE", help="The suite, as its runs name it.")
        target = self.parser.add_mutually_exclusive_group(required=True)
        target.add_argument("--signature", metavar="TEXT", help="A failure signature.")
        target.add_argument("--path", metavar="NAME/NAME/...", type=_path, help="A failing section's path.")

    @staticmethod
    def target(args):
        return {"signature": args.signature, "path": args.path}


class MarkSubcommand(_TargetCommand):
    name = "mark"
    help = "mark a failure: a product bug, a test bug, the environment, or muted"
    usage = ("{prog} SUITE (--signature TEXT | --path NAME/NAME/...) --kind KIND [--ticket URL]\n"
             "       [--comment TEXT] [--index URL]")
    description = (TARGET_HELP + "\nA mark on a signature applies to every later run in which a section fails\n"
                   "with it; a mark on a path, while that section fails with the signature it had\n"
                   "when marked. Marking a marked target changes its mark.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("--kind", required=True, choices=list(MARK_KINDS), help="What the failure is.")
        self.parser.add_argument("--ticket", metavar="URL", help="A link to its ticket (http or https).")
        self.parser.add_argument("--comment", metavar="TEXT", help="A comment, up to 10,000 characters.")

    def act(self, index, args):
        index.set_mark(args.suite, kind=args.kind, author=_author(), ticket=args.ticket, comment=args.comment,
                       **self.target(args))
        logger.info("Marked %s of %s: %s.", _target_text(args), _shown(args.suite), MARK_KINDS[args.kind])


class UnmarkSubcommand(_TargetCommand):
    name = "unmark"
    help = "remove a failure's mark"

    def act(self, index, args):
        if not index.remove_mark(args.suite, author=_author(), **self.target(args)):
            raise CommandError("%s of %s has no mark" % (_target_text(args), _shown(args.suite)))
        logger.info("Removed the mark on %s of %s.", _target_text(args), _shown(args.suite))


class ClaimSubcommand(_TargetCommand):
    name = "claim"
    help = "say you are on a failure"
    description = (TARGET_HELP + "\nThe claim follows later runs as a mark does, until it is released or the\n"
                   "section passes (for a signature: a run has no failure with it).\n")

    def act(self, index, args):
        index.claim(args.suite, author=_author(), **self.target(args))
        logger.info("Claimed %s of %s.", _target_text(args), _shown(args.suite))


class ReleaseSubcommand(_TargetCommand):
    name = "release"
    help = "release a claim on a failure"

    def act(self, index, args):
        if not index.release(args.suite, author=_author(), **self.target(args)):
            raise CommandError("%s of %s is not claimed" % (_target_text(args), _shown(args.suite)))
        logger.info("Released %s of %s.", _target_text(args), _shown(args.suite))


def _shown_target(item):
    if item["scope"] == "signature":
        return _shown(item["signature"])
    return _shown(" / ".join(item["path"]))


class MarksSubcommand(_TriageCommand):
    name = "marks"
    help = "list the marks and claims of a suite"
    usage = "{prog} SUITE [--json] [--index URL]"
    description = ("\nEvery mark of SUITE, with the newest run it applied to and how many runs of\n"
                   "the suite came after it (\"not seen\" from 10 on), then every claim. --json\n"
                   "prints {\"suite\", \"marks\", \"claims\"}, each mark with its changes.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("suite", metavar="SUITE", help="The suite, as its runs name it.")
        self.parser.add_argument("--json", action="store_true", help="Print them as JSON.")

    def act(self, index, args):
        from tavix.cli.utils import format_table

        triage = index.triage(args.suite)
        marks, claims = triage["marks"], triage["claims"]
        if args.json:
            from tavix.log.commands.logs import json_text

            sys.stdout.write(json_text({"suite": args.suite, **triage}, indent=1) + "\n")
            sys.stdout.flush()
            return
        if not marks:
            logger.info("No marks.")
        else:
            rows = [[MARK_KINDS[m["kind"]], m["author"], m["time"], _shown(m["last_seen"] or "-"),
                     "not seen" if m["state"] == "not_seen" else str(m["runs_since_seen"]), m["scope"],
                     _shown_target(m), _shown(m["ticket"] or "")] for m in marks]
            for line in format_table(rows, ["Kind", "By", "Time", "Last seen", "Runs since", "Scope", "Target",
                                            "Ticket"]):
                logger.info(line)
        if claims:
            logger.info("")
            rows = [[_shown(c["claimed_by"]), c["claimed_since"],
                     "passed in %s" % _shown(c["released_in"]) if c["released_in"] else "on it", c["scope"],
                     _shown_target(c)] for c in claims]
            for line in format_table(rows, ["Claimed by", "Since", "State", "Scope", "Target"]):
                logger.info(line)


class GateSubcommand(_TriageCommand):
    name = "gate"
    help = "fail a CI build on a run's failures that are new or nobody has marked"
    usage = "{prog} ARCHIVE|REQUEST_ID [--fail-on new|unmarked|any] [--index URL]"
    description = (
        "\nExits with status 1 when the run has failing sections of the kind --fail-on\n"
        "names, printing each; 0 otherwise. The run is an archive (-INDEX as\n"
        "'tavix logs list' numbers them; recorded first when it is not indexed yet)\n"
        "or the request id of a run in the index.\n\n"
        "new: failing sections whose history is \"new\" or \"no_history\"; unmarked\n"
        "(the default): those no mark applies to (a claim is no mark); any: all.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("run_choice", metavar="ARCHIVE|REQUEST_ID", help="The run.")
        self.parser.add_argument("--fail-on", choices=GATE_KINDS, default="unmarked",
                                 help="The failures that fail the gate (default unmarked).")

    def act(self, index, args):
        from tavix.cli.utils import format_table

        run = _chosen_run(index, args.run_choice)
        failing = index.gate(run, args.fail_on)
        if not failing:
            logger.info("Run %s: no %s.", _shown(run["request_id"]), GATE_FAILURES[args.fail_on])
            return
        rows = [[node["status"], _shown(node["result"]), ", ".join(MARK_KINDS[m["kind"]] for m in node["marks"]) or "-",
                 _shown(" / ".join(node["path"])), _shown(node["signature"] or "")] for node in failing]
        for line in format_table(rows, ["Status", "Result", "Marks", "Section", "Signature"]):
            sys.stdout.write(line + "\n")
        sys.stdout.flush()
        raise CommandError("run %s has %d %s" % (_shown(run["request_id"], sys.stderr), len(failing),
                                                 GATE_FAILURES[args.fail_on]))


def _chosen_run(index, choice):
    """The run of an archive (recorded when it is not yet), else of a request id in the index."""
    from tavix.cli.progress import ProgressLine

    try:
        path = _archive_path(choice)
    except FileNotFoundError:
        run = index.run_by_request_id(choice)
        if run is None:
            raise CommandError("no archive %s, nor a run of that request id in the run index %s"
                               % (_shown(choice, sys.stderr), index.shown)) from None
        return run
    return record_archive(index, path, ProgressLine())[0]
