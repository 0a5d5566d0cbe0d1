"""`tavix logs serve` and `tavix logs push`."""
import argparse
import logging
import os
import sys

from tavix.cli.base import CommandError, Subcommand
from tavix.log.commands.history.commands import add_index_option, shown

from .settings import add_service_options, resolve_settings

logger = logging.getLogger("tavix.log.commands.logs")

KEY_ENV_VAR = "TAVIX_KEY"



class ServeSubcommand(Subcommand):
    name = "serve"
    help = "serve the runs of a team: pushed or dropped in, kept, with links that last"
    usage = "{prog} [--store DIR|s3://BUCKET/PREFIX] [--index URL] [--host HOST] [--port PORT] [options]"
    description = (
        "\nOne service for many runs. Runs come in by `tavix logs push`, POST /api/v1/runs\n"
        "or --watch; each is checked as the viewer opens an archive, kept in the store\n"
        "under its content's hash and recorded in the run index. The home page lists\n"
        "every suite; /runs/REQUEST_ID opens a run's viewer, its sections and lines by\n"
        "links that keep working across restarts.\n\n"
        "Replicas: any number of services on one PostgreSQL index (--index) and one\n"
        "store, each with its own --cache, behind a balancer (the source's\n"
        "deploy/haproxy.cfg is one), answer every run and every session alike; sign\n"
        "in with keys of `tavix logs keys create` there (the address printed holds a\n"
        "key of this process alone).\n\n"
        "Each option may also be set by its environment variable, or by its key in the\n"
        "[logs] section of the configuration file, in that order: option, environment,\n"
        "file. Sizes are a number with an optional K, M, G or T suffix (binary units).\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        add_service_options(self.parser)
        add_index_option(self.parser)

    def run(self, args):
        settings = resolve_settings(args)
        from .application import run_service
        from .errors import ServiceError

        try:
            run_service(settings)
        except ServiceError as error:
            raise CommandError("the service cannot start: %s" % error) from None
        except OSError as error:  # the address cannot be listened on, most often
            raise CommandError("the service cannot start: %s" % (error.strerror or error)) from None


def service_url_option(text):
    from .push import check_service_url

    try:
        return check_service_url(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def key_option(text):
    """--key as given, taken out of the process's visible arguments at once."""
    from tavix.cli.arguments import hide_in_arguments

    if not hide_in_arguments(text, ""):
        logger.warning("The key of --key stays visible in the process's arguments (ps): "
                       "prefer $%s for it.", KEY_ENV_VAR)
    return text


class PushSubcommand(Subcommand):
    name = "push"
    help = "send run archives to a tavix service"
    usage = "{prog} ARCHIVE... --to URL [--key KEY]"
    description = (
        "\nSends each run archive to the service at URL (as `tavix logs serve` runs it),\n"
        "streamed from its file, and prints the run's lasting link as the last line of\n"
        "standard output; for a run the service holds already, \"already stored: ...\"\n"
        "comes before it. While standard error is a terminal, a progress line shows\n"
        "the bytes sent.\n\n"
        "Exit status: 0 pushed (or already there), 1 refused or the service not\n"
        "reached (a line says why), 2 bad usage.\n")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("archives", metavar="ARCHIVE", nargs="+", help="Run archive zip files.")
        self.parser.add_argument("--to", metavar="URL", required=True, type=service_url_option,
                                 help="The service: http(s)://HOST[:PORT][/PATH].")
        self.parser.add_argument("--key", metavar="KEY", type=key_option, default=None,
                                 help="A key with the pusher (or admin) role, made by `tavix logs keys\n"
                                      "create`. Default: $%s. Prefer the variable: `ps` may show an\n"
                                      "option before the tool hides it." % KEY_ENV_VAR)

    def run(self, args):
        from tavix.cli.progress import ProgressLine

        from .push import PushFailed

        missing = [path for path in args.archives if not os.path.isfile(path)]
        if missing:
            raise CommandError("no such archive file: %s" % shown(missing[0], sys.stderr), status=2)
        key = args.key or os.environ.get(KEY_ENV_VAR) or None
        progress = ProgressLine()
        refused = []
        for path in args.archives:
            try:
                answer = self._push(path, args.to, key, progress)
            except PushFailed as error:
                line = "%s: %s" % (shown(path, sys.stderr), shown(str(error), sys.stderr))
                if error.status is None or len(args.archives) == 1:
                    raise CommandError(line) from None  # the service is not reached: the others would not be either
                logger.error("not pushed: %s", line)
                refused.append(path)
                continue
            run = answer["run"]
            if not answer.get("created"):
                logger.info("already stored: %s", shown(str(run.get("request_id"))))
            logger.info("%s", shown(run["link"]).replace("\n", " "))
        if refused:
            raise CommandError("%d of %d archives were not pushed" % (len(refused), len(args.archives)))

    @staticmethod
    def _push(path, service_url, key, progress):
        from .push import push_archive

        name = os.path.basename(path)
        size = os.path.getsize(path)
        label = "Pushing %s" % name

        def sent(done):
            progress.transfer(label, done, size)
            if done == size:
                progress.show("Checking %s on the service" % name)

        try:
            return push_archive(path, service_url, key, on_sent=sent)
        finally:
            progress.clear()
