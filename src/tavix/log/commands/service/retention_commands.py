"""`tavix logs pin` and `tavix logs prune`: the team service's retention by hand."""
import logging

from tavix.cli.base import CommandError, Subcommand
from tavix.log.commands.history.commands import add_index_option, open_index, shown

from .settings import add_service_options, setting_value

logger = logging.getLogger("tavix.log.commands.logs")



class PinSubcommand(Subcommand):
    name = "pin"
    help = "keep a run of the team service whatever its age"
    usage = "{prog} REQUEST_ID [--unpin] [--index URL]"
    description = ("\nPins the stored run of REQUEST_ID: no retention sweep deletes it (see\n"
                   "service.keep_days of `tavix logs serve`). --unpin lets its age count again.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("request_id", metavar="REQUEST_ID", help="The run's request id.")
        self.parser.add_argument("--unpin", action="store_true", help="Unpin the run instead.")
        add_index_option(self.parser)

    def run(self, args):
        with open_index(args) as index:
            run = index.pin(args.request_id, pinned=not args.unpin)
        if run is None:
            raise CommandError("no run %s is stored in the run index" % shown(args.request_id))
        if args.unpin:
            logger.info("Run %s unpinned: it goes once its time is up.", shown(args.request_id))
        else:
            logger.info("Run %s pinned: no sweep deletes it.", shown(args.request_id))


class PruneSubcommand(Subcommand):
    name = "prune"
    help = "delete the team service's runs past their time now"
    usage = "{prog} [--dry-run] [--keep-days RULES] [--index URL] [--store DIR]"
    description = (
        "\nA retention sweep now, as `tavix logs serve` makes daily: the runs past the\n"
        "days service.keep_days gives their suite, unless pinned, first disappear from\n"
        "every listing and link, then their archives leave the store and their rows the\n"
        "index. Runs an interrupted sweep left go too. One sweep runs at a time: while\n"
        "another is under way, nothing is done (status 1). Prints the runs deleted;\n"
        "--dry-run prints those that would be and deletes nothing.\n\n"
        "--keep-days and --store come, as for `serve`, from the option, the environment\n"
        "or the configuration file.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("--dry-run", action="store_true",
                                 help="List the runs that would be deleted; delete nothing.")
        add_service_options(self.parser, names=("keep_days", "store"))
        add_index_option(self.parser)

    def run(self, args):
        from .errors import ServiceError
        from .retention import sweep, would_sweep
        from .stores import store_from_setting

        keep_days = setting_value("keep_days", args)
        if keep_days is None:
            logger.info("No retention set (service.keep_days): only the runs an interrupted sweep left go.")
        with open_index(args) as index:
            if args.dry_run:
                self._list("Would delete", would_sweep(index, keep_days))
                return
            try:
                store = store_from_setting(setting_value("store", args))
            except ServiceError as error:
                raise CommandError(str(error)) from None
            try:
                done = sweep(index, store, keep_days)
            except ServiceError as error:  # of the store
                raise CommandError("the sweep stopped: %s; the next one finishes it" % error) from None
        if done is None:
            raise CommandError("another retention sweep of this index is under way: nothing done")
        self._list("Deleted", done.deleted)

    @staticmethod
    def _list(doing, runs):
        from tavix.cli.utils import format_table

        logger.info("%s %d run(s)%s", doing, len(runs), "." if not runs else ":")
        if runs:
            rows = [[shown(r["suite_name"]), shown(r["request_id"]), shown(r["start_time"] or "-")] for r in runs]
            for line in format_table(rows, ["Suite", "Request id", "Start time"]):
                logger.info(line)
