"""A short job that logs through the package.

Importing tavix.log.morlan makes every logger produce MorlanLog records and
creates the managed handlers: a task log (on the null device until it is given
a file) and a coloured console. The job points the task log at a file, runs two
child processes whose logs are merged back into it as contiguous blocks,
routes a warning into the log and logs an exception; every message line,
traceback lines included, gets a full header with its own sequence number.
At the end it prints the task log.

    PYTHONPATH=src python examples/task_log.py [TASK_LOG]
"""
import logging
import multiprocessing
import os
import sys
import tempfile
import warnings

from tavix.log.morlan import managed_handlers
from tavix.log.warnings import enable_warnings_to_log

logger = logging.getLogger("tavix.examples.task_log")


def device_session(name):
    logger.info("Connecting to %s", name)
    logger.info("Device %s answered:\n  show version\n  OS 4.2", name)


def main(task_log):
    root = logging.getLogger()
    root.setLevel(logging.INFO)
    root.addHandler(managed_handlers.tasklog)
    root.addHandler(managed_handlers.screen)
    managed_handlers.tasklog.changeFile(task_log)
    enable_warnings_to_log()

    logger.info("Starting section %s", "setup")
    fork = multiprocessing.get_context("fork")
    with managed_handlers.tasklog.consolidate_next_forked_logfile():
        children = [fork.Process(target=device_session, args=(name,))
                    for name in ("router-1", "router-2")]
        for child in children:
            child.start()
    for child in children:
        child.join()

    warnings.warn("Device router-2 answered slowly (2.4 s)")
    try:
        {}["missing"]
    except KeyError:
        logger.exception("Lookup failed")
    logger.info("Section %s passed", "setup")

    managed_handlers.tasklog.flush()
    print("\n--- %s ---" % task_log)
    with open(task_log) as log:
        sys.stdout.write(log.read())


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory(prefix="task-log.") as directory:
            main(os.path.join(directory, "TaskLog.log"))
