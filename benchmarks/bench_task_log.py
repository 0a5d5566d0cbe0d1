"""End-to-end cost of logger.info() into a task log file.

Three handlers, measured side by side in one run, each on its own logger and
file, all receiving the same records (the task log's record factory is
installed for the whole process):

  native    TaskLogHandler with its TaskLogFormatter
  stdlib    logging.FileHandler with a %-template of comparable fields
  python    the same handler and formatter written in plain Python below

for a one-line and a 30-line message. Prints the cost per call and the ratios.

    PYTHONPATH=src python benchmarks/bench_task_log.py [--calls N] [--rounds R]
"""
import argparse
import itertools
import logging
import multiprocessing
import os
import tempfile
import time

from tavix.log import morlan
from tavix.utils.utils import get_time

TIMESTAMP_FORMAT = "%Y-%m-%dT%H:%M:%S"
TASK_LOG_FORMAT = ("%(seqnum)s: %(hostname)s: %(asctime)s: "
                   "%%%(morlan_appname)s-%(morlan_sev)s-%(morlan_msgname)s: %(tags)s%(message)s")


# --- The plain-Python handler and formatter ------------------------------------

class PyTags(dict):
    def __str__(self):
        if not self:
            return ""
        return "%" + "".join("[%s=%s]" % item for item in self.items()) + ": "


class PyPart(logging.LogRecord):
    def __init__(self, record, message, index, total):
        self.__dict__.update(record.__dict__)
        if index > 1:
            self.seqnum = next(morlan.LOG_SEQUENCE_COUNTER[self.process])
        self.tags = PyTags(record.tags)
        self.tags["part"] = "%s.%s/%s" % (record.seqnum, index, total)
        self.message = message


class PyTaskLogFormatter(logging.Formatter):
    def __init__(self):
        super().__init__(TASK_LOG_FORMAT, TIMESTAMP_FORMAT)

    def converter(self, seconds):
        return get_time(seconds).timetuple()

    def format(self, record):
        message = record.getMessage()
        record.asctime = self.formatTime(record, self.datefmt)
        if record.exc_info and not record.exc_text:
            record.exc_text = self.formatException(record.exc_info)
        if record.exc_text:
            if not message.endswith("\n"):
                message += "\n"
            message += record.exc_text
        if record.stack_info:
            if not message.endswith("\n"):
                message += "\n"
            message += self.formatStack(record.stack_info)
        record.message = message
        lines = message.splitlines()
        if len(lines) < 2:
            return self.formatMessage(record)
        parts = record.__dict__.get("py_parts")
        if parts is None:
            total = len(lines)
            parts = tuple(PyPart(record, line, index, total)
                          for index, line in enumerate(lines, 1))
            record.py_parts = parts
        return "\n".join(self.formatMessage(part) for part in parts)


class PyTaskLogHandler(logging.StreamHandler):
    def __init__(self, logfile):
        super().__init__(open(logfile, "a"))
        self.setFormatter(PyTaskLogFormatter())

    def createLock(self):
        self.lock = multiprocessing.RLock()


# --- Measurement ----------------------------------------------------------------

def make_logger(name, handler):
    logger = logging.getLogger("tavix.bench." + name)
    logger.handlers = [handler]
    logger.setLevel(logging.INFO)
    logger.propagate = False
    return logger


def per_call(logger, message, calls):
    info = logger.info
    start = time.perf_counter()
    for number in range(calls):
        info(message, number)
    return (time.perf_counter() - start) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    one_line = "Starting section setup %d"
    thirty_lines = "\n".join("line %d of the device output" % n for n in range(29)) + "\nrun %d"
    with tempfile.TemporaryDirectory(prefix="bench-task-log.") as directory:
        stdlib_handler = logging.FileHandler(os.path.join(directory, "stdlib.log"))
        stdlib_handler.setFormatter(logging.Formatter(TASK_LOG_FORMAT, TIMESTAMP_FORMAT))
        loggers = {
            "native": make_logger("native", morlan.TaskLogHandler(
                os.path.join(directory, "native.log"))),
            "stdlib": make_logger("stdlib", stdlib_handler),
            "python": make_logger("python", PyTaskLogHandler(
                os.path.join(directory, "python.log"))),
        }
        for label, message, calls in (("one-line", one_line, options.calls),
                                      ("30-line", thirty_lines, options.calls // 10)):
            best = dict.fromkeys(loggers, float("inf"))
            for _, name in itertools.product(range(options.rounds), loggers):
                best[name] = min(best[name], per_call(loggers[name], message, calls))
            print("%-8s  native %6.2f us  stdlib %6.2f us  python %6.2f us   "
                  "native/stdlib %.2fx  python/native %.2fx" % (
                      label, best["native"] * 1e6, best["stdlib"] * 1e6, best["python"] * 1e6,
                      best["native"] / best["stdlib"], best["python"] / best["native"]))
        for logger in loggers.values():
            for handler in logger.handlers:
                handler.close()


if __name__ == "__main__":
    main()
