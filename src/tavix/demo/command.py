"""`tavix demo`: runs the simulated job and stores its run archive."""
import logging

from tavix.cli.base import Subcommand

logger = logging.getLogger(__name__)


class DemoCommand(Subcommand):
    name = "demo"
    help = "run a small simulated test job and store its log archive"
    description = ("\nRuns a small simulated test job through the logging package and stores\n"
                   "its run archive in ~/.tavix/archive, where 'tavix logs list' and\n"
                   "'tavix logs view' find it.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("--archive-dir", metavar="[dir]",
                                 help="directory to store the archive in\n"
                                      "Default to: ~/.tavix/archive")
        self.parser.add_argument("--quiet", action="store_true",
                                 help="do not show the job's log on the console")

    def run(self, args):
        from tavix.demo.job import run_demo
        archive = run_demo(args.archive_dir, console=not args.quiet)
        logger.info("Run archive: %s", archive)
        logger.info("Open it in your browser with: tavix logs view\n"
                    "(it prints the address to open, http://localhost:PORT/result?token=..., "
                    "with a fresh access token)")
