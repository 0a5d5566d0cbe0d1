"""A short job that logs through the package (grows as the package does).

Importing tavix.log.morlan makes every logger produce MorlanLog records; the
task log formatter gives each message line, traceback lines included, a full
header with its own sequence number.
"""
import logging
import sys

from tavix.log.morlan import TaskLogFormatter

handler = logging.StreamHandler(sys.stdout)
handler.setFormatter(TaskLogFormatter())
logger = logging.getLogger("tavix.examples.task_log")
logger.addHandler(handler)
logger.setLevel(logging.INFO)
logger.propagate = False

logger.info("Starting section %s", "setup")
logger.warning("Device answered slowly:\n  show version\n  (2.4 s)")
try:
    {}["missing"]
except KeyError:
    logger.exception("Lookup failed")
logger.info("Section %s passed", "setup")
