"""Cost per logged record: MorlanLog records and TaskLogFormatter against the
interpreter's own record and formatter, and against the same classes written
in plain Python.

    PYTHONPATH=src python benchmarks/bench_formatter.py [--records N] [--rounds R]

Each configuration logs N records through logger.info() into a handler that
writes to the null device; the best of R interleaved rounds is reported, as
microseconds per record and as ratios.
"""
import argparse
import collections
import itertools
import logging
import os
import socket
import threading
import time

from tavix.log import morlan
from tavix.utils.utils import get_time


# --- plain-Python implementation of the same classes: the comparison point ---

PY_COUNTER = collections.defaultdict(itertools.count)
PY_SEV_MAP = dict(morlan.MORLAN_MSG_SEV_MAP)


class PyTags(dict):
    def __str__(self):
        if not self:
            return ""
        return "%" + "".join("[%s=%s]" % item for item in self.items()) + ": "

    def copy(self):
        return type(self)(**self)


class PyRecordPart(logging.LogRecord):
    def __init__(self, record, message, index, total):
        self.__dict__.update(record.__dict__)
        if index > 1:
            self.seqnum = next(PY_COUNTER[self.process])
        self.tags = record.tags.copy()
        self.tags["part"] = "{}.{}/{}".format(record.seqnum, index, total)
        self.message = message


class PyRecord(logging.LogRecord):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.seqnum = next(PY_COUNTER[self.process])
        self.hostname = socket.gethostname()
        self.tags = PyTags(pid=self.process, pname=self.processName)
        if threading.active_count() > 1:
            self.tags["tid"] = self.thread
            self.tags["tname"] = self.threadName
        name = self.name
        if name == "__main__":
            app = "SCRIPT"
        elif name.startswith("tavix.log.tcl."):
            app = "TCL"
        elif name.startswith("tavix.qentest.testscript."):
            app = "SCRIPT"
        elif name.startswith(("tavix.", "velmora.", "ostrand.", "kelvane.")):
            app = name.split(".")[1]
        else:
            app = name.split(".")[0]
        self.morlan_appname = app.upper()
        self.morlan_sev = PY_SEV_MAP.get(self.levelname, PY_SEV_MAP["INFO"])
        if name.startswith("tavix.log.tcl."):
            self.morlan_msgname = name.split(".")[3].upper()
        else:
            self.morlan_msgname = self.levelname

    def __iter__(self):
        lines = self.message.splitlines()
        if len(lines) < 2:
            yield self
            return
        if not hasattr(self, "parts"):
            self.parts = tuple(PyRecordPart(self, line, i, len(lines))
                               for i, line in enumerate(lines, 1))
        yield from self.parts


class PyTaskLogFormatter(logging.Formatter):
    TIMESTAMP_FORMAT = "%Y-%m-%dT%H:%M:%S"
    MESSAGE_FORMAT = morlan.TaskLogFormatter.MESSAGE_FORMAT

    def __init__(self):
        super().__init__(fmt=self.MESSAGE_FORMAT, datefmt=self.TIMESTAMP_FORMAT)

    def converter(self, seconds):
        return get_time(seconds).timetuple()

    def format(self, record):
        s = record.getMessage()
        if self.usesTime():
            record.asctime = self.formatTime(record, self.datefmt)
        if record.exc_info and not record.exc_text:
            record.exc_text = self.formatException(record.exc_info)
        if record.exc_text:
            if s[-1:] != "\n":
                s += "\n"
            s += record.exc_text
        if record.stack_info:
            if s[-1:] != "\n":
                s += "\n"
            s += self.formatStack(record.stack_info)
        record.message = s
        return "\n".join(self.formatMessage(part) for part in record)


# --- the three set-ups ---

STDLIB_FORMAT = ("%(process)s: %(name)s: %(asctime)s: %%%(module)s-%(levelno)s-%(levelname)s: "
                 "%(processName)s: %(message)s")


def setups():
    return {
        "native": (morlan.MorlanLogRecord, morlan.TaskLogFormatter()),
        "stdlib": (logging.LogRecord, logging.Formatter(STDLIB_FORMAT, "%Y-%m-%dT%H:%M:%S")),
        "python": (PyRecord, PyTaskLogFormatter()),
    }


def measure(logger, handler, factory, formatter, message, records):
    logging.setLogRecordFactory(factory)
    handler.setFormatter(formatter)
    start = time.perf_counter()
    for _ in range(records):
        logger.info(message)
    return (time.perf_counter() - start) / records * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=7)
    options = parser.parse_args()

    sink = open(os.devnull, "w")
    handler = logging.StreamHandler(sink)
    logger = logging.getLogger("tavix.bench.formatter")
    logger.handlers[:] = [handler]
    logger.propagate = False
    logger.setLevel(logging.INFO)

    messages = {
        "1 line": "Starting section setup of the device under test",
        "30 lines": "\n".join("line %d of a long device answer: status ok" % i for i in range(30)),
    }
    configs = setups()
    best = {}
    for _ in range(options.rounds):
        for message_name, message in messages.items():
            records = options.records if message_name == "1 line" else options.records // 10
            for config_name, (factory, formatter) in configs.items():
                cost = measure(logger, handler, factory, formatter, message, records)
                key = (message_name, config_name)
                best[key] = min(best.get(key, cost), cost)
    sink.close()

    print("microseconds per logger.info() record (best of %d rounds)" % options.rounds)
    print("%-9s %10s %10s %10s %16s %16s" % ("message", "native", "stdlib", "python",
                                             "native/stdlib", "python/native"))
    for message_name in messages:
        native, stdlib, python = (best[(message_name, c)] for c in ("native", "stdlib", "python"))
        print("%-9s %10.2f %10.2f %10.2f %15.2fx %15.2fx" % (
            message_name, native, stdlib, python, native / stdlib, python / native))
    print("python/stdlib for 1 line: %.2fx" % (best[("1 line", "python")] / best[("1 line", "stdlib")]))


if __name__ == "__main__":
    main()
