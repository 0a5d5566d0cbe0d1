"""`tavix logs mark`, `unmark`, `claim`, `release`, `marks` and `gate`: triage
on the run index, as the operating system's user, or on a team service
(--to), as the user of its key."""
import argparse
import getpass
import logging
import os
import shlex
import sys

from tavix.cli.base import CommandError, Subcommand
from tavix.log.commands.service.commands import KEY_ENV_VAR, key_option, service_url_option

from .commands import _archive_path, shown, add_index_option, open_index, record_archive
from .definitions import GATE_KINDS, MARK_KINDS

logger = logging.getLogger("tavix.log.commands.logs")

# What the gate says it fails on.
GATE_FAILURES = {"new": "new failing section(s)", "unmarked": "unmarked failing section(s)",
                 "any": "failing section(s)"}
PATH_SEPARATOR = "/"
WHERE = "[--index URL | --to URL [--key KEY]]"

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
        return "the signature %s" % shown(repr(args.signature))
    return "the section %s" % shown(" / ".join(args.path))


def _author():
    try:
        return getpass.getuser()
    except (KeyError, OSError):
        raise CommandError("the operating system names no user to write this as") from None


class _LocalTriage:
    """Triage on the run index, as `ServiceTriage` does it on a service: the
    writes by the operating system's user."""

    def __init__(self, index):
        self.index = index

    def set_mark(self, suite, **values):
        return self.index.set_mark(suite, author=_author(), **values)

    def remove_mark(self, suite, **target):
        return self.index.remove_mark(suite, author=_author(), **target)

    def claim(self, suite, **target):
        return self.index.claim(suite, author=_author(), **target)

    def release(self, suite, **target):
        return self.index.release(suite, author=_author(), **target)

    def triage(self, suite):
        return self.index.triage(suite)

    def gate(self, choice, fail_on):
        """(request id, failures, how to open the run) of the run of an archive or request id."""
        run, path = _chosen_run(self.index, choice)
        return run["request_id"], self.index.gate(run, fail_on), _how_to_open(run, path)


class _TriageCommand(Subcommand):
    """A command on the run index or a service, its errors of triage shown as messages."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        add_index_option(self.parser)
        self.parser.add_argument("--to", metavar="URL", type=service_url_option, default=None,
                                 help="A tavix service to ask in place of the run index:\n"
                                      "http(s)://HOST[:PORT][/PATH].")
        self.parser.add_argument("--key", metavar="KEY", type=key_option, default=None,
                                 help="With --to: a key of the service (marks and claims need the\n"
                                      "triager or admin role). Default: $%s." % KEY_ENV_VAR)

    def run(self, args):
        from tavix.log.commands.service.triage_client import ServiceTriage, TriageFailed

        from .triage_records import MarkError

        if args.to is None:
            try:
                with open_index(args) as index:
                    self.act(_LocalTriage(index), args)
            except MarkError as error:
                raise CommandError(shown(str(error), sys.stderr)) from None
            return
        if args.index is not None:
            raise CommandError("give --index or --to, not both", status=2)
        try:
            self.act(ServiceTriage(args.to, args.key or os.environ.get(KEY_ENV_VAR) or None), args)
        except TriageFailed as error:
            raise CommandError(shown(str(error), sys.stderr)) from None

    def act(self, triage, args):
        raise NotImplementedError


class _TargetCommand(_TriageCommand):
    """A command on one target of a suite."""
    usage = "{prog} SUITE (--signature TEXT | --path NAME/NAME/...)\n       " + WHERE
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
             "       [--comment TEXT] " + WHERE)
    description = (TARGET_HELP + "\nA mark on a signature applies to every later run in which a section fails\n"
                   "with it; a mark on a path, while that section fails with the signature it had\n"
                   "when marked. Marking a marked target changes its mark.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("--kind", required=True, choices=list(MARK_KINDS), help="What the failure is.")
        self.parser.add_argument("--ticket", metavar="URL", help="A link to its ticket (http or https).")
        self.parser.add_argument("--comment", metavar="TEXT", help="A comment, up to 10,000 characters.")

    def act(self, triage, args):
        triage.set_mark(args.suite, kind=args.kind, ticket=args.ticket, comment=args.comment, **self.target(args))
        logger.info("Marked %s of %s: %s.", _target_text(args), shown(args.suite), MARK_KINDS[args.kind])


class UnmarkSubcommand(_TargetCommand):
    name = "unmark"
    help = "remove a failure's mark"

    def act(self, triage, args):
        if not triage.remove_mark(args.suite, **self.target(args)):
            raise CommandError("%s of %s has no mark" % (_target_text(args), shown(args.suite)))
        logger.info("Removed the mark on %s of %s.", _target_text(args), shown(args.suite))


class ClaimSubcommand(_TargetCommand):
    name = "claim"
    help = "say you are on a failure"
    description = (TARGET_HELP + "\nThe claim follows later runs as a mark does, until it is released or the\n"
                   "section passes (for a signature: a run has no failure with it).\n")

    def act(self, triage, args):
        triage.claim(args.suite, **self.target(args))
        logger.info("Claimed %s of %s.", _target_text(args), shown(args.suite))


class ReleaseSubcommand(_TargetCommand):
    name = "release"
    help = "release a claim on a failure"

    def act(self, triage, args):
        if not triage.release(args.suite, **self.target(args)):
            raise CommandError("%s of %s is not claimed" % (_target_text(args), shown(args.suite)))
        logger.info("Released %s of %s.", _target_text(args), shown(args.suite))


def _shown_target(item):
    if item["scope"] == "signature":
        return shown(item["signature"])
    return shown(" / ".join(item["path"]))


class MarksSubcommand(_TriageCommand):
    name = "marks"
    help = "list the marks and claims of a suite"
    usage = "{prog} SUITE [--json] " + WHERE
    description = ("\nEvery mark of SUITE, with the newest run it applied to and how many runs of\n"
                   "the suite came after it (\"not seen\" from 10 on), then every claim. --json\n"
                   "prints {\"suite\", \"marks\", \"claims\"}, each mark with its changes.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("suite", metavar="SUITE", help="The suite, as its runs name it.")
        self.parser.add_argument("--json", action="store_true", help="Print them as JSON.")

    def act(self, triage, args):
        from tavix.cli.utils import format_table

        found = triage.triage(args.suite)
        marks, claims = found["marks"], found["claims"]
        if args.json:
            from tavix.log.commands.logs import json_text

            sys.stdout.write(json_text({"suite": args.suite, **found}, indent=1) + "\n")
            sys.stdout.flush()
            return
        if not marks:
            logger.info("No marks.")
        else:
            rows = [[MARK_KINDS[m["kind"]], m["author"], m["time"], shown(m["last_seen"] or "-"),
                     "not seen" if m["state"] == "not_seen" else str(m["runs_since_seen"]), m["scope"],
                     _shown_target(m), shown(m["ticket"] or "")] for m in marks]
            for line in format_table(rows, ["Kind", "By", "Time", "Last seen", "Runs since", "Scope", "Target",
                                            "Ticket"]):
                logger.info(line)
        if claims:
            logger.info("")
            rows = [[shown(c["claimed_by"]), c["claimed_since"],
                     "passed in %s" % shown(c["released_in"]) if c["released_in"] else "on it", c["scope"],
                     _shown_target(c)] for c in claims]
            for line in format_table(rows, ["Claimed by", "Since", "State", "Scope", "Target"]):
                logger.info(line)


class GateSubcommand(_TriageCommand):
    name = "gate"
    help = "fail a CI build on a run's failures that are new or nobody has marked"
    usage = "{prog} ARCHIVE|REQUEST_ID [--fail-on new|unmarked|any]\n       " + WHERE
    description = (
        "\nExits with status 1 when the run has failing sections of the kind --fail-on\n"
        "names, printing each; 0 otherwise. The run is an archive (-INDEX as\n"
        "'tavix logs list' numbers them; recorded first when it is not indexed yet)\n"
        "or the request id of a run in the index, the failures followed by the command\n"
        "that opens the run's archive in the viewer; with --to, the request id of a\n"
        "run the service stores, each failure printed with its link.\n\n"
        "new: failing sections whose history is \"new\" or \"no_history\"; unmarked\n"
        "(the default): those no mark applies to (a claim is no mark); any: all.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("run_choice", metavar="ARCHIVE|REQUEST_ID", help="The run.")
        self.parser.add_argument("--fail-on", choices=GATE_KINDS, default="unmarked",
                                 help="The failures that fail the gate (default unmarked).")

    def act(self, triage, args):
        from tavix.cli.utils import format_table

        request_id, failing, how_to_open = triage.gate(args.run_choice, args.fail_on)
        if not failing:
            logger.info("Run %s: no %s.", shown(request_id), GATE_FAILURES[args.fail_on])
            return
        rows = [[node["status"], shown(node["result"]), ", ".join(MARK_KINDS[m["kind"]] for m in node["marks"]) or "-",
                 shown(" / ".join(node["path"])), shown(node["signature"] or "")] for node in failing]
        headings = ["Status", "Result", "Marks", "Section", "Signature"]
        if args.to is not None:  # a service links each failure
            rows = [row + [shown(node["link"])] for row, node in zip(rows, failing)]
            headings.append("Link")
        for line in format_table(rows, headings):
            sys.stdout.write(line + "\n")
        if how_to_open is not None:
            sys.stdout.write(shown(how_to_open) + "\n")
        sys.stdout.flush()
        raise CommandError("run %s has %d %s" % (shown(request_id, sys.stderr), len(failing),
                                                 GATE_FAILURES[args.fail_on]))


def _chosen_run(index, choice):
    """(run, archive path) of an archive (recorded when it is not yet), else
    (run, None) of a request id in the index."""
    from tavix.cli.progress import ProgressLine

    try:
        path = _archive_path(choice)
    except FileNotFoundError:
        run = index.run_by_request_id(choice)
        if run is None:
            raise CommandError("no archive %s, nor a run of that request id in the run index %s"
                               % (shown(choice, sys.stderr), index.shown)) from None
        return run, None
    return record_archive(index, path, ProgressLine())[0], path


def _how_to_open(run, path):
    """How to open a run's failures here: the viewer on its archive (the one
    given, else the one it was indexed from), or where that archive was."""
    archive = str(path if path is not None else run["archive"])
    if not os.path.isfile(archive):
        return "The archive of run %s is no longer at %s." % (run["request_id"], archive)
    return "Open run %s: tavix logs view %s" % (run["request_id"], shlex.quote(os.path.abspath(archive)))
