"""The MorlanLog line formatters of tavix.log.morlan."""
import datetime
import enum
import io
import logging
import re
import socket
import sys
import threading
import time

import pytest

from tavix.log import morlan
from tavix.log.colour import ColouredLogLevelFormatter
from tavix.log.morlan import (ColouredScreenFormatter, ColouredTaskLogFormatter, MorlanLogFormatter,
                              MorlanLogRecord, MorlanLogTags, ScreenFormatter, TaskLogFormatter)
from tavix.utils.utils import get_time

RESET = "\x1b[0m\x1b[39m"
TASK_LINE = re.compile(r"^(\d+): (\S*): (\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d): %([^-]*)-(\d)-([^:]*): "
                       r"%\[pid=(\d+)\]\[pname=[^\]]*\](?:\[tid=\d+\]\[tname=[^\]]*\])?"
                       r"(?:\[part=(\d+)\.(\d+)/(\d+)\])?: (.*)$")


def make(name="__main__", level=logging.INFO, msg="Starting section setup", args=None, exc_info=None,
         sinfo=None):
    return MorlanLogRecord(name, level, __file__, 1, msg, args, exc_info, None, sinfo)


def example_record():
    """The record of the documented example: number 12, host lab1, 2026-12-07 11:53:13 local time."""
    record = make()
    record.seqnum = 12
    record.hostname = "lab1"
    record.tags = MorlanLogTags(pid=4242, pname="MainProcess")
    record.created = time.mktime((2026, 12, 7, 11, 53, 13, 0, 0, -1)) + 0.25
    return record


@pytest.fixture
def task_lines():
    """A logger writing only through a handler whose formatter the test sets."""
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    logger = logging.getLogger("tavix.test.formatters")
    logger.propagate = False
    logger.setLevel(logging.DEBUG)

    def attach(formatter):
        # only this handler: a capturing handler of the test runner would
        # see the same records with a formatter of its own
        logger.handlers[:] = [handler]
        handler.setFormatter(formatter)
        return logger, handler, lambda: stream.getvalue().splitlines()

    yield attach
    logger.removeHandler(handler)


class TestLines:
    def test_documented_example(self):
        assert TaskLogFormatter().format(example_record()) == (
            "12: lab1: 2026-12-07T11:53:13: %SCRIPT-6-INFO: %[pid=4242][pname=MainProcess]: "
            "Starting section setup")
        assert ScreenFormatter().format(example_record()) == \
            "2026-12-07T11:53:13: %SCRIPT-INFO: Starting section setup"

    def test_coloured_variants(self):
        record = example_record()
        record.levelno, record.levelname, record.morlan_msgname = logging.DEBUG, "DEBUG", "DEBUG"
        assert ColouredScreenFormatter().format(record) == \
            "2026-12-07T11:53:13: %SCRIPT-DEBUG: \x1b[36mStarting section setup" + RESET
        record = example_record()
        assert ColouredTaskLogFormatter().format(record) == TaskLogFormatter().format(record)
        record.colour = "red"
        assert ColouredTaskLogFormatter().format(record).endswith(": \x1b[31mStarting section setup" + RESET)

    def test_one_line_has_no_line_break(self):
        text = TaskLogFormatter().format(make(msg="x %s %d", args=("y", 3)))
        assert "\n" not in text and text.endswith(": x y 3")

    def test_multi_line_message_with_exception(self):
        try:
            raise RuntimeError("kaput")
        except RuntimeError:
            record = make(level=logging.ERROR, msg="first\nsecond", exc_info=sys.exc_info())
        out = TaskLogFormatter().format(record).split("\n")
        traceback_lines = record.exc_text.splitlines()
        assert len(out) == 2 + len(traceback_lines)
        matches = [TASK_LINE.match(line) for line in out]
        assert all(matches)
        assert [m.group(11) for m in matches] == ["first", "second"] + traceback_lines
        assert [int(m.group(9)) for m in matches] == list(range(1, len(out) + 1))
        assert {m.group(10) for m in matches} == {str(len(out))}
        assert {m.group(8) for m in matches} == {str(record.seqnum)}
        numbers = [int(m.group(1)) for m in matches]
        assert numbers[0] == record.seqnum and len(set(numbers)) == len(numbers)

    def test_message_ending_in_a_line_break_gets_no_blank_line(self):
        try:
            raise ValueError("x")
        except ValueError:
            record = make(msg="done\n", exc_info=sys.exc_info())
        out = [TASK_LINE.match(line).group(11) for line in TaskLogFormatter().format(record).split("\n")]
        assert out[:2] == ["done", "Traceback (most recent call last):"]

    def test_traceback_comes_before_the_stack(self):
        try:
            raise KeyError("k")
        except KeyError:
            record = make(msg="m", exc_info=sys.exc_info(), sinfo="Stack (most recent call last):\n  here")
        out = [TASK_LINE.match(line).group(11) for line in TaskLogFormatter().format(record).split("\n")]
        assert out[0] == "m" and out[-2:] == ["Stack (most recent call last):", "  here"]
        assert out.index("KeyError: 'k'") < out.index("Stack (most recent call last):")

    def test_non_ascii_traceback_and_message(self):
        try:
            raise ValueError("défaut ☃ \udcff")
        except ValueError:
            record = make(msg="мир\n𝄞", exc_info=sys.exc_info())
        record.processName = "prozeß"
        record.tags["pname"] = "prozeß"
        out = TaskLogFormatter().format(record).split("\n")
        assert [TASK_LINE.match(line).group(11) for line in out][:2] == ["мир", "𝄞"]
        assert out[-1].endswith("ValueError: défaut ☃ \udcff") and "[pname=prozeß]" in out[-1]

    def test_multi_line_records_look_the_same_to_every_formatter(self):
        record = make(msg="a\nb")
        task = TaskLogFormatter().format(record)
        assert TaskLogFormatter().format(record) == task
        screen = ScreenFormatter().format(record).split("\n")
        assert [line.split(": ", 2)[2] for line in screen] == ["a", "b"]

    def test_parts_changed_after_they_were_built_render_their_own_values(self):
        record = make(msg="a\nb\nc\nd\ne")
        formatter = TaskLogFormatter()
        formatter.format(record)
        parts = record.parts
        parts[1].hostname = "other"
        parts[2].tags["pid"] = 7
        parts[3].tags = MorlanLogTags(part="x", pid=1)
        del parts[4].__dict__["hostname"], parts[4].__dict__["levelno"]
        parts[4].hostname = "moved"
        out = formatter.format(record).split("\n")
        assert out == [formatter._fmt % part.__dict__ for part in parts]
        assert ": other: " in out[1] and "%[pid=7][pname=" in out[2] and ": %[part=x][pid=1]: d" in out[3]
        assert ": moved: " in out[4] and out[0].startswith("%s: %s: " % (record.seqnum, socket.gethostname()))

    @pytest.mark.parametrize("field, value", [
        ("seqnum", 2 ** 80), ("seqnum", -5), ("seqnum", True), ("seqnum", enum.IntEnum("N", "ONE").ONE),
        ("hostname", "hôte"), ("hostname", "\U0001d11e"), ("hostname", "bad\udcff"), ("hostname", None),
        ("morlan_sev", 2.5), ("morlan_appname", type("Text", (str,), {"__str__": lambda s: "sub"})("x")),
        ("tags", MorlanLogTags(pid=1, pname="π", tid=None)), ("tags", MorlanLogTags()),
        ("tags", {"plain": "dict"}), ("message", "a\u2028\u00e9\nb\U0001d11e"), ("message", "x%(y)s"),
    ])
    def test_lines_match_the_interpreters_percent_formatting(self, field, value):
        record = make(msg="one\ntwo")
        setattr(record, field, value)
        formatter = TaskLogFormatter()
        if field == "message":
            # the message is recomputed from msg; make msg carry the value
            record.msg, record.message = value, None
        out = formatter.format(record).split("\n")
        assert out == [formatter._fmt % line.__dict__ for line in record]

    def test_timestamp_has_whole_seconds_of_get_time(self):
        formatter = ScreenFormatter()
        for created in (1_700_000_000.0, 1_700_000_000.9999996, 1_700_000_000.4999999, 86400 * 365.25 * 40):
            record = make()
            record.created = created
            expected = time.strftime("%Y-%m-%dT%H:%M:%S", get_time(created).timetuple())
            assert formatter.format(record).startswith(expected + ": %SCRIPT-INFO")
        assert formatter.converter(0.0) == get_time(0.0).timetuple()


class TestConstruction:
    def test_class_relations(self):
        assert issubclass(MorlanLogFormatter, logging.Formatter)
        assert issubclass(TaskLogFormatter, ScreenFormatter)
        assert issubclass(ColouredTaskLogFormatter, ColouredLogLevelFormatter)
        assert issubclass(ColouredTaskLogFormatter, TaskLogFormatter)
        assert ColouredScreenFormatter.__mro__[1:3] == (ColouredLogLevelFormatter,
                                                        ColouredLogLevelFormatter.__base__)
        assert TaskLogFormatter.TIMESTAMP_FORMAT == "%Y-%m-%dT%H:%M:%S"

    def test_constructors(self):
        formatter = MorlanLogFormatter("%(message)s!", datefmt="%H", style="%")
        assert (formatter._fmt, formatter.datefmt) == ("%(message)s!", "%H")
        with pytest.raises(TypeError):
            ScreenFormatter("%(message)s")
        task = TaskLogFormatter()
        assert (task._fmt, task.datefmt) == (TaskLogFormatter.MESSAGE_FORMAT, "%Y-%m-%dT%H:%M:%S")

    def test_every_construction_installs_the_record_factory(self):
        for cls in (MorlanLogFormatter, ScreenFormatter, ColouredTaskLogFormatter):
            logging.setLogRecordFactory(logging.LogRecord)
            cls()
            assert logging.getLogRecordFactory() is MorlanLogRecord


class TestPythonSubclasses:
    def test_own_template_and_timestamp(self):
        class Short(TaskLogFormatter):
            MESSAGE_FORMAT = "%(seqnum)s|%(asctime)s|%(tags)s%(message)s"
            TIMESTAMP_FORMAT = "%H:%M"

        out = Short().format(example_record())
        assert out == "12|11:53|%[pid=4242][pname=MainProcess]: Starting section setup"
        # a second formatter with another pattern in the same second is not confused
        assert TaskLogFormatter().format(example_record()).split(": ")[2] == "2026-12-07T11:53:13"

    def test_templates_beyond_plain_fields(self):
        class Padded(ScreenFormatter):
            MESSAGE_FORMAT = "%(levelno)03d %(seqnum)-4s|%(message)r %%"

        record = example_record()
        assert Padded().format(record) == "020 12  |'Starting section setup' %"
        with pytest.raises(ValueError, match="Formatting field not found in record: 'nope'"):
            type("Missing", (ScreenFormatter,), {"MESSAGE_FORMAT": "%(nope)s"})().format(record)

    def test_overridden_format_message_is_called_per_line(self):
        class Upper(TaskLogFormatter):
            def formatMessage(self, record):
                return super().formatMessage(record).upper()

        out = Upper().format(make(msg="a\nb")).split("\n")
        assert [line[-1] for line in out] == ["A", "B"]

    def test_level_map_of_a_coloured_subclass(self):
        class Green(ColouredScreenFormatter):
            LEVEL_MAP = {logging.INFO: lambda m: "<%s>" % m}

        assert Green().format(make(msg="a\nb")).split("\n")[1].endswith(": <b>")

    def test_overridden_time_functions(self):
        formatter = TaskLogFormatter()
        formatter.converter = time.gmtime
        record = example_record()
        expected = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(record.created))
        assert formatter.format(record).split(": ")[2] == expected

        class Fixed(ScreenFormatter):
            def formatTime(self, record, datefmt=None):
                return "NOW"

        assert Fixed().format(make()).startswith("NOW: ")

    def test_replaced_get_time(self, monkeypatch):
        monkeypatch.setattr(morlan, "get_time", lambda s: datetime.datetime(2001, 2, 3, 4, 5, 6))
        assert ScreenFormatter().format(make()).startswith("2001-02-03T04:05:06: ")

    def test_record_with_its_own_get_message(self):
        class Record(MorlanLogRecord):
            def getMessage(self):
                return "own\nmessage"

        record = Record("tavix.x", logging.INFO, "p", 1, "ignored", None, None)
        assert [line.rsplit(": ", 1)[1] for line in ScreenFormatter().format(record).split("\n")] == \
            ["own", "message"]


class TestThroughLoggers:
    def test_bad_input_goes_to_the_logging_error_handler(self, task_lines, capsys):
        logger, handler, lines = task_lines(TaskLogFormatter())

        class Odd:
            def __str__(self):
                return "odd\nobject"

        logger.info(Odd())
        logger.info("%s and %s", "only one")
        logger.info({"a": 1})
        logger.info("100%")
        out = [TASK_LINE.match(line).group(11) for line in lines()]
        assert out == ["odd", "object", "{'a': 1}", "100%"]
        assert "--- Logging error ---" in capsys.readouterr().err

    @pytest.mark.parametrize("name, app", [("a.b.c.d.e.f", "A"), ("tavix...x", ""), ("", "ROOT")])
    def test_odd_logger_names(self, task_lines, name, app):
        logger, handler, lines = task_lines(ScreenFormatter())
        target = logging.getLogger(name)
        saved = target.handlers[:]
        target.handlers[:] = [handler]
        try:
            target.warning("w")
        finally:
            target.handlers[:] = saved
        assert lines()[-1].endswith(": %%%s-WARNING: w" % app)

    def test_concurrent_logging_keeps_lines_whole_and_numbers_unique(self, task_lines):
        logger, handler, lines = task_lines(TaskLogFormatter())

        def work(n):
            for i in range(150):
                logger.info("thread %d record %d\nsecond line", n, i)

        threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        out = lines()
        assert len(out) == 6 * 150 * 2
        matches = [TASK_LINE.match(line) for line in out]
        assert all(matches)
        numbers = [int(m.group(1)) for m in matches]
        assert len(set(numbers)) == len(numbers)
        assert all(m.group(7) and "tid=" in line for m, line in zip(matches, out))
