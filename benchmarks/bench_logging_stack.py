"""Run-time logging against the interpreter's logging and the native logging
stack (picologging), measured side by side in one process.

    PYTHONPATH=src python benchmarks/bench_logging_stack.py [--calls N] [--rounds R]

Prints, as the best of R interleaved rounds:
  - creating one record: logging.LogRecord and MorlanLogRecord (which asks the
    system for the host name for every record; the cost of that alone is shown);
  - logger.info() of a 1-line and a 30-line message into a file through
      stdlib    logging's Logger, FileHandler and Formatter,
      pico      picologging's Logger, FileHandler and Formatter (when installed),
      tavix     logging's Logger, TaskLogHandler and MorlanLogRecord (30 full lines
                for the 30-line message, each with its own header),
      floor     logging's Logger and LogRecord with a handler that does nothing;
and the ratios between them. The machine may be shared: compare the ratios,
which are measured interleaved, rather than the absolute figures.
"""
import argparse
import logging
import os
import socket
import tempfile
import time

from tavix.log import morlan

try:
    import picologging
except ImportError:  # the comparison is skipped
    picologging = None

FORMAT = "%(asctime)s %(levelname)s %(name)s %(process)d %(message)s"
RECORD_ARGS = ("tavix.bench.stack", logging.INFO, __file__, 42, "Starting section setup", (), None, "main",
               None)
MESSAGES = {
    "1 line": "Starting section setup of the device under test",
    "30 lines": "\n".join("line %d of a long device answer: status ok" % i for i in range(30)),
}


class NothingHandler(logging.Handler):
    def emit(self, record):
        pass


def quiet_logger(module, name, handler):
    logger = module.getLogger(name)
    logger.handlers[:] = [handler]
    logger.propagate = False
    logger.setLevel(module.INFO)
    return logger


def setups(directory):
    """name -> (logger, record factory to install or None)."""
    stdlib_handler = logging.FileHandler(os.path.join(directory, "stdlib.log"))
    stdlib_handler.setFormatter(logging.Formatter(FORMAT))
    result = {
        "stdlib": (quiet_logger(logging, "bench.stdlib", stdlib_handler), logging.LogRecord),
        "tavix": (quiet_logger(logging, "bench.tavix", morlan.TaskLogHandler(os.path.join(directory, "task.log"))),
                  morlan.MorlanLogRecord),
        "floor": (quiet_logger(logging, "bench.floor", NothingHandler()), logging.LogRecord),
    }
    if picologging:
        pico_handler = picologging.FileHandler(os.path.join(directory, "pico.log"))
        pico_handler.setFormatter(picologging.Formatter(FORMAT))
        result["pico"] = (quiet_logger(picologging, "bench.pico", pico_handler), None)
    return result


def per_call(run, calls):
    start = time.perf_counter()
    run(calls)
    return (time.perf_counter() - start) / calls * 1e6


def make_records(cls):
    def run(calls):
        for _ in range(calls):
            cls(*RECORD_ARGS)
    return run


def ask_host_name(calls):
    for _ in range(calls):
        socket.gethostname()


def log_lines(logger, factory, message):
    def run(calls):
        if factory:
            logging.setLogRecordFactory(factory)
        for _ in range(calls):
            logger.info(message)
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=7)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        loggers = setups(directory)
        cases = {("record", "LogRecord"): (make_records(logging.LogRecord), options.calls),
                 ("record", "MorlanLogRecord"): (make_records(morlan.MorlanLogRecord), options.calls),
                 ("record", "gethostname"): (ask_host_name, options.calls)}
        for message_name, message in MESSAGES.items():
            calls = options.calls if message_name == "1 line" else max(options.calls // 10, 1)
            for name, (logger, factory) in loggers.items():
                cases[(message_name, name)] = (log_lines(logger, factory, message), calls)
        best = {}
        for _ in range(options.rounds):
            for key, (run, calls) in cases.items():
                cost = per_call(run, calls)
                best[key] = min(best.get(key, cost), cost)
        logging.setLogRecordFactory(morlan.MorlanLogRecord)
        for logger, _ in loggers.values():
            for handler in logger.handlers:
                handler.close()

    print("microseconds per call, best of %d interleaved rounds" % options.rounds)
    log_record, morlan_record = best[("record", "LogRecord")], best[("record", "MorlanLogRecord")]
    print("record creation: LogRecord %.2f  MorlanLogRecord %.2f  ratio %.2fx" % (
        log_record, morlan_record, morlan_record / log_record))
    print("  (a MorlanLogRecord asks for the host name, as socket.gethostname() does in %.2f)" %
          best[("record", "gethostname")])
    names = [name for name in ("stdlib", "pico", "tavix", "floor") if name in loggers]
    print("%-9s" % "message" + "".join("%10s" % name for name in names) +
          "%14s%14s%14s" % ("tavix/stdlib", "tavix/pico", "tavix/floor"))
    for message_name in MESSAGES:
        row = {name: best[(message_name, name)] for name in names}
        ratios = [row["tavix"] / row["stdlib"], row["tavix"] / row["pico"] if "pico" in row else None,
                  row["tavix"] / row["floor"]]
        print("%-9s" % message_name + "".join("%10.2f" % row[name] for name in names) +
              "".join("%13.2fx" % ratio if ratio else "%14s" % "-" for ratio in ratios))
    if not picologging:
        print("picologging is not installed: the native stack is not compared (pip install picologging)")


if __name__ == "__main__":
    main()
