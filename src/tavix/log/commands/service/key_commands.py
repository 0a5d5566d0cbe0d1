"""`tavix logs keys` and `tavix logs users`: the team service's access keys
and the roles of the users a sign-in proxy names, kept in the run index."""
import argparse
import logging
import sys

from tavix.cli.base import CommandError, CommandWithSubcommands, Subcommand
from tavix.log.commands.history.roles import ROLES
from tavix.log.commands.history.commands import add_index_option, open_index, shown

logger = logging.getLogger("tavix.log.commands.logs")

ROLES_HELP = ("viewer reads runs; pusher pushes runs (CI); triager also marks failures; admin also\n"
              "manages keys and deletes runs.")


class _IndexCommand(Subcommand):
    """A leaf taking --index wherever it stands: after the leaf's word, or
    before it (given to the group), neither hiding the other."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        add_index_option(self.parser)
        # Unset unless given here, so that the group's --index stands.
        self.parser._option_string_actions["--index"].default = argparse.SUPPRESS

    def run(self, args):
        from tavix.log.commands.history.access_records import AccessRecordError

        try:
            with open_index(args) as index:
                self.act(index, args)
        except AccessRecordError as error:
            raise CommandError(str(error)) from None

    def act(self, index, args):
        raise NotImplementedError


def _add_role(parser):
    parser.add_argument("--role", required=True, choices=ROLES, help=ROLES_HELP)



class CreateKey(_IndexCommand):
    name = "create"
    help = "make a key and print it once"
    usage = "{prog} --name NAME --role ROLE [--index URL]"
    description = ("\nMakes an access key of the team service for NAME and prints it, as the last line\n"
                   "of standard output. It is shown this once: the index keeps only its hash.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("--name", required=True, help="The key's name, which the access log shows.")
        _add_role(self.parser)

    def act(self, index, args):
        key = index.create_key(args.name, args.role)
        logger.info("Key %s (%s) made; it is not shown again:", shown(args.name), args.role)
        # Written past logging, so that no handler of it ever holds the key.
        sys.stdout.write(key + "\n")
        sys.stdout.flush()


class ListKeys(_IndexCommand):
    name = "list"
    help = "list the keys, revoked ones included"
    usage = "{prog} [--index URL]"

    def act(self, index, args):
        from tavix.cli.utils import format_table

        keys = index.keys()
        if not keys:
            logger.info("No keys.")
            return
        rows = [[shown(k["name"]), k["role"], k["created"], k["revoked"] or "-"] for k in keys]
        for line in format_table(rows, ["Name", "Role", "Created", "Revoked"]):
            logger.info(line)


class RevokeKey(_IndexCommand):
    name = "revoke"
    help = "end a key and every session signed in with it"
    usage = "{prog} NAME [--index URL]"

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("key_name", metavar="NAME", help="The key's name.")

    def act(self, index, args):
        if not index.revoke_key(args.key_name):
            raise CommandError("no key in use is named %s" % shown(args.key_name))
        logger.info("Key %s revoked.", shown(args.key_name))


class KeysSubcommand(CommandWithSubcommands):
    name = "keys"
    help = "manage the team service's access keys"
    usage = "{prog} {{create,list,revoke}} ..."
    description = ("\nAccess keys of `tavix logs serve --auth token`. Scripts send a key as\n"
                   "'Authorization: Bearer KEY'; a browser signs in with it once. Roles:\n" + ROLES_HELP + "\n")
    SUBCOMMANDS = [CreateKey, ListKeys, RevokeKey]


class SetUser(_IndexCommand):
    name = "set"
    help = "record a user's role"
    usage = "{prog} NAME --role ROLE [--index URL]"

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("user_name", metavar="NAME", help="The user, as the sign-in proxy names them.")
        _add_role(self.parser)

    def act(self, index, args):
        index.set_user(args.user_name, args.role)
        logger.info("User %s: %s.", shown(args.user_name), args.role)


class ListUsers(_IndexCommand):
    name = "list"
    help = "list the users with a recorded role"
    usage = "{prog} [--index URL]"

    def act(self, index, args):
        from tavix.cli.utils import format_table

        users = index.users()
        if not users:
            logger.info("No users recorded; every user of the sign-in proxy is a viewer.")
            return
        for line in format_table([[shown(u["name"]), u["role"]] for u in users], ["Name", "Role"]):
            logger.info(line)


class UsersSubcommand(CommandWithSubcommands):
    name = "users"
    help = "record the roles of the users a sign-in proxy names"
    usage = "{prog} {{set,list}} ..."
    description = ("\nUsers of `tavix logs serve --auth proxy`: the proxy names the user in a header;\n"
                   "a user without a recorded role is a viewer. Roles:\n" + ROLES_HELP + "\n")
    SUBCOMMANDS = [SetUser, ListUsers]
