"""MorlanLogRecord makes the interpreter's LogRecord fields natively: the same
values by the same rules as the running interpreter's LogRecord.__init__, and
the initialiser itself whenever something it uses has been replaced."""
import _thread
import asyncio
import collections
import itertools
import logging
import multiprocessing
import os
import random
import re
import sys
import threading
import time
import types
from collections import OrderedDict, UserDict

import pytest

from tavix.log import morlan
from tavix.log.morlan import MorlanLogRecord, TaskLogHandler

TIMING = ("created", "msecs", "relativeCreated")
MORLAN = ("seqnum", "hostname", "tags", "morlan_appname", "morlan_sev", "morlan_msgname")
INIT_CODE = logging.LogRecord.__init__.__code__


class Initialisers:
    """Counts the runs of the interpreter's Python-level LogRecord.__init__."""

    def __init__(self):
        self.calls = 0

    def __call__(self, frame, event, arg):
        if event == "call" and frame.f_code is INIT_CODE:
            self.calls += 1

    def count(self, make):
        sys.setprofile(self)
        try:
            result = make()
        finally:
            sys.setprofile(None)
        return result, self.calls


def fields(record, timing=False):
    return {key: value for key, value in vars(record).items()
            if key not in MORLAN and (timing or key not in TIMING)}


def both(*args):
    """The native record and the interpreter's, made for the same call."""
    made, runs = Initialisers().count(lambda: MorlanLogRecord(*args))
    return made, logging.LogRecord(*args), runs


def outcome(make):
    try:
        return "ok", make()
    except Exception as error:  # the same failure on both sides
        return "error", (type(error), str(error))


class Tuple(tuple):
    pass


LEVELS = [logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR, logging.CRITICAL, 5, 0, 25,
          "INFO", "NOSUCH", 2.5, True, None, (1, 2)]
PATHS = ["/x/y/bench.py", "bench.py", "/x/y/", "", "/x/y/archive.tar.gz", ".hidden", "/a/b.c/d",
         "héllo/wörld.py", b"/bytes/path.py", None, 42]
ARGS = [(), None, ("a",), ("a", 1), ({"k": 1},), ({},), (OrderedDict(k=2),), (UserDict(k=3),),
        ([1],), [{"k": 4}], Tuple(({"k": 5},)), ({"k": 1}, {"j": 2}), 7, {"k": 1}, "text", ""]


def random_call(rng):
    call = [rng.choice(["tavix.test", "__main__", "", "a.b.c", "tavix.log.tcl.device.exec"]),
            rng.choice(LEVELS), rng.choice(PATHS), rng.choice([1, 0, 300, 10**20, None]),
            rng.choice(["msg %s", "", "%(k)s", None, 3]), rng.choice(ARGS),
            rng.choice([None, (ValueError, ValueError("x"), None), True])]
    call += [rng.choice([None, "func", "<module>"]), rng.choice([None, "Stack (most recent call last):"])][
        :rng.randrange(3)]
    return call


class TestSameFieldsAsTheInterpreter:
    def test_randomised_calls(self, fresh_counter):
        rng = random.Random(24)
        natively = 0
        for _ in range(600):
            call = random_call(rng)
            (kind, made), runs = Initialisers().count(lambda: outcome(lambda: MorlanLogRecord(*call)))
            expected_kind, expected = outcome(lambda: logging.LogRecord(*call))
            assert kind == expected_kind, call
            if kind == "ok":
                assert list(vars(made))[:len(vars(expected))] == list(vars(expected))
                assert fields(made) == fields(expected), call
                assert runs == 0, call
                natively += 1
            else:
                assert made == expected, call
        assert natively > 400

    def test_every_interpreter_field_and_order(self):
        made, expected, runs = both("tavix.x", logging.INFO, __file__, 7, "m", (), None)
        assert runs == 0
        assert list(vars(made)) == list(vars(expected)) + list(MORLAN)
        if sys.version_info >= (3, 12):
            assert made.taskName is None

    def test_clock_rules_are_the_interpreters(self):
        """created, msecs and relativeCreated are what the interpreter's own
        initialiser gives for the same clock reading."""
        for _ in range(200):
            before = time.time()
            made = MorlanLogRecord("t", 20, "p", 1, "m", (), None)
            assert before <= made.created <= time.time()
            assert replay_clock(made) == {key: getattr(made, key) for key in TIMING}

    def test_start_time_is_read_at_every_record(self, monkeypatch):
        monkeypatch.setattr(logging, "_startTime", logging._startTime - 5 * (10**9 if isinstance(
            logging._startTime, int) else 1))
        made = MorlanLogRecord("t", 20, "p", 1, "m", (), None)
        assert made.relativeCreated >= 5000
        assert replay_clock(made) == {key: getattr(made, key) for key in TIMING}

    @pytest.mark.parametrize("switch", ["logThreads", "logProcesses", "logMultiprocessing", "logAsyncioTasks"])
    def test_each_switch_off(self, monkeypatch, switch):
        if not hasattr(logging, switch):
            pytest.skip("not in this interpreter")
        monkeypatch.setattr(logging, switch, False)
        made, expected, runs = both("tavix.x", logging.INFO, __file__, 7, "m", (), None)
        assert runs == 0 and fields(made) == fields(expected)
        assert made.tags["pid"] == made.process and made.tags["pname"] == made.processName

    def test_exception_and_stack_information_are_kept(self):
        try:
            raise KeyError("k")
        except KeyError:
            info = sys.exc_info()
        made, expected, runs = both("t", 40, "p", 1, "m", (), info, "f", "Stack:\n  here")
        assert runs == 0 and made.exc_info is info and made.exc_text is None
        assert fields(made) == fields(expected)

    def test_added_level_names(self, monkeypatch):
        logging.addLevelName(35, "NOTICE")
        try:
            made, expected, _ = both("t", 35, "p", 1, "m", (), None)
            assert made.levelname == expected.levelname == "NOTICE" and made.morlan_sev == 5
        finally:
            del logging._levelToName[35]
            del logging._nameToLevel["NOTICE"]
        assert MorlanLogRecord("t", 35, "p", 1, "m", (), None).levelname == "Level 35"


def replay_clock(record):
    """created, msecs and relativeCreated as the interpreter's own initialiser
    gives them, run on a stand-in clock that reads what the record's reading
    must have been."""
    stand_in = types.SimpleNamespace(time=lambda: record.created)
    init = types.FunctionType(INIT_CODE, dict(vars(logging), time=stand_in), None,
                              logging.LogRecord.__init__.__defaults__)
    expected = {key: getattr(record, key) for key in TIMING}
    readings = [0]
    if isinstance(logging._startTime, int):  # a reading in nanoseconds, found near its estimate
        estimate = round(record.relativeCreated * 1e6) + logging._startTime
        readings = range(estimate - 64, estimate + 65)
    for ns in readings:
        stand_in.time_ns = lambda: ns
        replay = logging.LogRecord.__new__(logging.LogRecord)
        init(replay, "t", 20, "p", 1, "m", (), None)
        result = {key: getattr(replay, key) for key in TIMING}
        if result == expected:
            break
    return result


class TestThreadsProcessesTasks:
    def test_threads_and_renamed_threads(self):
        seen = []
        logged, go = threading.Event(), threading.Event()

        def work():
            seen.append(both("t", 20, "p", 1, "m", (), None))
            threading.current_thread().name = "renamed-worker"
            seen.append(both("t", 20, "p", 1, "m", (), None))
            logged.set()
            go.wait(5)

        worker = threading.Thread(target=work, name="worker-24")
        worker.start()
        try:
            assert logged.wait(5)
            main = both("t", 20, "p", 1, "m", (), None)
        finally:
            go.set()
            worker.join()
        for made, expected, runs in seen + [main]:
            assert runs == 0 and fields(made) == fields(expected)
            assert made.tags["tid"] == made.thread and made.tags["tname"] == made.threadName
        assert [made.threadName for made, _, _ in seen] == ["worker-24", "renamed-worker"]
        assert main[0].threadName == threading.current_thread().name

    def test_thread_not_started_by_threading(self):
        seen = []
        done = threading.Event()

        def work():
            seen.append(both("t", 20, "p", 1, "m", (), None))
            done.set()

        _thread.start_new_thread(work, ())
        assert done.wait(5)
        made, expected, _ = seen[0]
        assert fields(made) == fields(expected) and made.threadName.startswith("Dummy-")

    def test_renamed_process(self, monkeypatch):
        monkeypatch.setattr(multiprocessing.current_process(), "name", "renamed-process")
        made, expected, runs = both("t", 20, "p", 1, "m", (), None)
        assert runs == 0 and made.processName == expected.processName == "renamed-process"

    def test_process_child(self):
        with multiprocessing.get_context("fork").Pool(1) as pool:
            made_fields, expected_fields, runs, pid = pool.apply(made_in_child)
        assert runs == 0 and made_fields == expected_fields
        assert made_fields["process"] == pid != os.getpid()
        assert made_fields["processName"].startswith("ForkPoolWorker")

    def test_bare_fork(self):
        """After a fork the child asks for its own process id again and
        numbers from 0."""
        MorlanLogRecord("t", 20, "p", 1, "m", (), None)  # the parent's id is known
        reader, writer = os.pipe()
        with os.fdopen(reader, "rb") as incoming:
            pid = os.fork()
            if not pid:
                os._exit(report_from_child(writer))
            os.close(writer)
            report = incoming.read()
            os.waitpid(pid, 0)
        assert report == b"same"

    @pytest.mark.skipif(sys.version_info < (3, 12), reason="taskName came with 3.12")
    def test_asyncio_tasks(self, monkeypatch):
        async def in_task():
            return both("t", 20, "p", 1, "m", (), None)

        async def main():
            named = await asyncio.get_running_loop().create_task(in_task(), name="task-24")
            loop_only = []
            asyncio.get_running_loop().call_soon(lambda: loop_only.append(both("t", 20, "p", 1, "m", (), None)))
            await asyncio.sleep(0)
            return named, loop_only[0]

        named, loop_only = asyncio.run(main())
        outside = both("t", 20, "p", 1, "m", (), None)
        for made, expected, runs in (named, loop_only, outside):
            assert runs == 0 and fields(made) == fields(expected)
        assert [named[0].taskName, loop_only[0].taskName, outside[0].taskName] == ["task-24", None, None]
        monkeypatch.setattr(logging, "logAsyncioTasks", False)
        assert asyncio.run(in_task())[0].taskName is None


def report_from_child(writer):
    try:
        made, expected, _ = both("t", 20, "p", 1, "m", (), None)
        same = (fields(made) == fields(expected) and made.process == os.getpid() and made.seqnum == 0 and
                made.tags["pid"] == os.getpid())
        os.write(writer, b"same" if same else b"different")
    finally:
        return 0


def made_in_child():
    made, expected, runs = both("t", 20, "p", 1, "m", (), None)
    return fields(made), fields(expected), runs, os.getpid()


class TestReplacedPiecesTakeTheInitialiser:
    @pytest.mark.parametrize("target, name, value", [
        (threading, "current_thread", lambda: types.SimpleNamespace(name="stand-in")),
        (os, "getpid", lambda: 4242),
        (logging, "getLevelName", lambda level: "LEVEL-%s" % level),
        (os.path, "basename", lambda path: "base"),
    ])
    def test_replaced_function(self, monkeypatch, target, name, value):
        monkeypatch.setattr(target, name, value)
        made, expected, runs = both("t", 20, "p", 1, "m", (), None)
        assert runs == 1 and fields(made) == fields(expected)
        assert made.tags["pid"] == made.process and made.tags["pname"] == made.processName

    def test_frozen_clock(self, monkeypatch):
        stand_in = types.SimpleNamespace(time=lambda: 1000.5, time_ns=lambda: 1000_500_000_000)
        monkeypatch.setattr(logging, "time", stand_in)
        made, runs = Initialisers().count(lambda: MorlanLogRecord("t", 20, "p", 1, "m", (), None))
        assert runs == 1 and made.created == 1000.5 and made.msecs == 500.0

    def test_replaced_initialiser_and_keywords(self, monkeypatch):
        calls = []
        stock = logging.LogRecord.__init__

        def spy(self, *args, **kwargs):
            calls.append(args)
            stock(self, *args, **kwargs)

        monkeypatch.setattr(logging.LogRecord, "__init__", spy)
        made = MorlanLogRecord("t", 20, "p", 1, "m", (), None)
        assert len(calls) == 1 and made.seqnum is not None
        monkeypatch.undo()
        made, runs = Initialisers().count(lambda: MorlanLogRecord(
            name="t", level=20, pathname="p", lineno=1, msg="m", args=(), exc_info=None))
        assert runs == 1 and made.morlan_appname == "T"

    def test_subclass_and_factory_wrapper(self):
        class Record(MorlanLogRecord):
            pass

        made, runs = Initialisers().count(lambda: Record("t", 20, "p", 1, "m", (), None))
        assert runs == 1 and type(made) is Record and made.morlan_sev == 6


class TestSequenceCounterErrors:
    def test_missing_counter_is_a_key_error(self, monkeypatch):
        monkeypatch.setattr(morlan, "LOG_SEQUENCE_COUNTER", {})
        with pytest.raises(KeyError):
            MorlanLogRecord("t", 20, "p", 1, "m", (), None)
        monkeypatch.setattr(morlan, "LOG_SEQUENCE_COUNTER", collections.defaultdict(None))
        with pytest.raises(KeyError):
            MorlanLogRecord("t", 20, "p", 1, "m", (), None)

    def test_errors_of_a_counter_mapping_keep_their_type(self, monkeypatch):
        class Broken(dict):
            def __missing__(self, key):
                raise AttributeError("no counter here")

        monkeypatch.setattr(morlan, "LOG_SEQUENCE_COUNTER", Broken())
        with pytest.raises(AttributeError, match="no counter here"):
            MorlanLogRecord("t", 20, "p", 1, "m", (), None)
        monkeypatch.setattr(morlan, "LOG_SEQUENCE_COUNTER", collections.defaultdict(itertools.count))
        assert MorlanLogRecord("t", 20, "p", 1, "m", (), None).seqnum == 0


def test_line_breaks_as_splitlines_sees_them():
    """The one-line shortcut against str.splitlines, over every line break and
    characters that share their low byte, in all three string widths."""
    rng = random.Random(7)
    pieces = ["a", "(", ")", "\n", "\r", "\r\n", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028",
              "\u2029", "\u010a", "\u200d", "\U0001010a", "\U00012028", "é", "\x0e", "\x1f"]
    for _ in range(3000):
        message = "".join(rng.choice(pieces) for _ in range(rng.randrange(6)))
        record = MorlanLogRecord("t", 20, "p", 1, message, (), None)
        record.message = message
        count = len(message.splitlines())
        assert list(record) == ([record] if count < 2 else list(record.parts)), repr(message)
        assert len(list(record)) == max(count, 1), repr(message)


# --- The task log written natively against the general path ---------------

TIMESTAMP = re.compile(rb": \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d: ")


def task_log_bytes(path, logger, messages):
    morlan.LOG_SEQUENCE_COUNTER.pop(os.getpid(), None)
    handler = TaskLogHandler(str(path))
    logger.handlers[:] = [handler]
    try:
        for message, args, exc in messages:
            logger.info(message, *args, exc_info=exc)
    finally:
        handler.close()
        logger.handlers[:] = []
    return TIMESTAMP.sub(b": T: ", path.read_bytes())


def failure():
    try:
        raise ValueError("failed\nbadly")
    except ValueError:
        return sys.exc_info()


MESSAGES = [("one line", (), None), ("two\nlines", (), None), ("%s and %d", ("arg", 3), None),
            ("%(k)s", ({"k": "mapped"},), None), ("ünïcode ✓", (), None), ("", (), None),
            ("trailing\n", (), None), ("with failure", (), failure()), ("\r\n\x0b\x1c", (), None)]


class TestTaskLogAgainstTheGeneralPath:
    @pytest.fixture
    def logger(self, monkeypatch):
        monkeypatch.setattr(morlan, "LOG_SEQUENCE_COUNTER", collections.defaultdict(itertools.count))
        logger = logging.getLogger("tavix.tests.native")
        logger.propagate = False
        logger.setLevel(logging.DEBUG)
        logging.setLogRecordFactory(MorlanLogRecord)
        yield logger
        logging.setLogRecordFactory(MorlanLogRecord)

    def test_factory_wrapper_subclass_and_patched_get_message(self, logger, tmp_path, monkeypatch):
        native = task_log_bytes(tmp_path / "native.log", logger, MESSAGES)
        assert native.count(b"\n") > len(MESSAGES)

        def wrapper(*args, **kwargs):
            return MorlanLogRecord(*args, **kwargs)

        logging.setLogRecordFactory(wrapper)
        assert task_log_bytes(tmp_path / "wrapper.log", logger, MESSAGES) == native

        class Record(MorlanLogRecord):
            pass

        logging.setLogRecordFactory(Record)
        assert task_log_bytes(tmp_path / "subclass.log", logger, MESSAGES) == native
        logging.setLogRecordFactory(MorlanLogRecord)

        stock = logging.LogRecord.getMessage
        monkeypatch.setattr(logging.LogRecord, "getMessage", lambda self: stock(self))
        assert task_log_bytes(tmp_path / "patched.log", logger, MESSAGES) == native
        monkeypatch.undo()

        stock_init = logging.LogRecord.__init__
        monkeypatch.setattr(logging.LogRecord, "__init__", lambda self, *a, **k: stock_init(self, *a, **k))
        general, runs = Initialisers().count(
            lambda: task_log_bytes(tmp_path / "general.log", logger, MESSAGES))
        assert general == native and runs == len(MESSAGES)
