"""Records that leave their process: pickles, copies, sockets and queues (tavix.log.morlan)."""
import copy
import itertools
import logging
import logging.handlers
import multiprocessing
import os
import pickle
import random
import re
import socket
import struct
from collections import Counter, defaultdict

import pytest

from tavix.log import morlan
from tavix.log.morlan import MorlanLogRecord, TaskLogFormatter

LINE = re.compile(r"^(\d+): [^:]*: (\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d): %[A-Z]*-\d-[A-Z]+: "
                  r"%\[pid=(\d+)\]\[pname=[^\]]*\](?:\[tid=\d+\]\[tname=[^\]]*\])?"
                  r"(?:\[part=(\d+)\.(\d+)/(\d+)\])?: (.*)$")


def make(msg="one line", name="tavix.tests.travel"):
    return MorlanLogRecord(name, logging.INFO, __file__, 1, msg, None, None)


def failed(msg="failed\nwith two lines"):
    try:
        1 / 0
    except ZeroDivisionError:
        return logging.getLogger("tavix.tests.travel").makeRecord(
            "tavix.tests.travel", logging.ERROR, __file__, 1, msg, None, logging.sys.exc_info())


def parsed(lines):
    matches = [LINE.match(line) for line in lines]
    assert all(matches), [line for line, match in zip(lines, matches) if not match]
    return matches


def assert_unique_numbers(matches):
    numbers = Counter((match.group(3), match.group(1)) for match in matches)
    assert [key for key, seen in numbers.items() if seen > 1] == []


def read(path):
    with open(path) as file:
        return file.read().splitlines()


@pytest.fixture
def travel_logger():
    """A logger of the test's own that writes only through the handlers given."""
    logger = logging.getLogger("tavix.tests.travel.sender")
    logger.propagate = False
    logger.setLevel(logging.INFO)

    def attach(*handlers):
        logger.handlers[:] = handlers
        return logger

    yield attach
    for handler in logger.handlers:
        handler.close()
    logger.handlers[:] = []


class TestPickles:
    def test_round_trip_of_a_formatted_record_with_an_exception(self):
        record = failed()
        text = TaskLogFormatter().format(record)
        assert len(record.parts) > 3
        arrivals = [pickle.loads(pickle.dumps(record, protocol))
                    for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
        for arrived in arrivals + [copy.deepcopy(record)]:
            assert type(arrived) is MorlanLogRecord and arrived.exc_info is None
            assert arrived.exc_text == record.exc_text and "ZeroDivisionError" in arrived.exc_text
            assert [p.exc_info for p in arrived.parts] == [None] * len(record.parts)
            assert [(p.seqnum, p.tags, p.message) for p in arrived.parts] == \
                [(p.seqnum, p.tags, p.message) for p in record.parts]
            assert TaskLogFormatter().format(arrived) == text
        assert record.exc_info[2] is not None and record.parts[1].exc_info is record.exc_info

    def test_a_record_pickled_before_formatting_takes_its_parts_along(self, fresh_counter):
        record = failed("first\nsecond")
        data = pickle.dumps(record)
        numbers = [part.seqnum for part in record.parts]
        assert numbers == list(range(len(numbers))) and make().seqnum == len(numbers)
        assert "asctime" not in record.parts[0].__dict__
        arrived = pickle.loads(data)
        text = TaskLogFormatter().format(arrived)
        assert make().seqnum == len(numbers) + 1  # nothing drawn when formatting
        lines = text.splitlines()
        assert [int(m.group(1)) for m in parsed(lines)] == numbers
        stamp = TaskLogFormatter().formatTime(record, TaskLogFormatter.TIMESTAMP_FORMAT)
        assert {m.group(2) for m in parsed(lines)} == {stamp}
        assert lines[2].endswith(": Traceback (most recent call last):")
        assert lines[-1].endswith(": ZeroDivisionError: division by zero")
        assert TaskLogFormatter().format(record) == text

    def test_parts_split_by_a_formatter_without_a_time_take_the_records_later(self):
        record = make("a\nb")
        assert morlan.MorlanLogFormatter("%(message)s").format(record) == "a\nb"
        matches = parsed(TaskLogFormatter().format(record).splitlines())
        assert [m.group(2) for m in matches] == [record.asctime] * 2

    def test_copy_copy_stays_a_plain_shallow_copy(self, fresh_counter):
        record = failed()
        shallow = copy.copy(record)
        assert shallow.exc_info is record.exc_info and not hasattr(shallow, "parts")
        assert shallow.__dict__ == record.__dict__ and shallow is not record
        TaskLogFormatter().format(record)
        assert copy.copy(record).parts is record.parts


def reference_parts(record, message, counter):
    """The part rules written out: (seqnum, part tag, text) of each line."""
    texts = message.splitlines()
    if len(texts) < 2:
        return [(record.seqnum, None, message)]
    own = not isinstance(record.process, int) or record.process == os.getpid()
    return [(next(counter[record.process]) if own and index > 1 else record.seqnum,
             "%d.%d/%d" % (record.seqnum, index, len(texts)), text)
            for index, text in enumerate(texts, 1)]


class TestSequenceNumbers:
    def test_parts_formatted_in_their_own_process_draw_numbers_when_built(self, fresh_counter):
        first, second = make("a\nb\nc"), make()
        lines = TaskLogFormatter().format(first).splitlines()
        assert [(m.group(1), m.group(4), m.group(5)) for m in parsed(lines)] == [
            ("0", "0", "1"), ("2", "0", "2"), ("3", "0", "3")]
        assert second.seqnum == 1 and make().seqnum == 4

    def test_part_numbers_against_the_rules(self, fresh_counter):
        rng = random.Random(14)
        reference = defaultdict(itertools.count)
        separators = ["\n", "\r\n", "\r", "\x0b", "\u2028"]
        for case in range(300):
            record = make()
            record.process = rng.choice([os.getpid(), os.getpid() + 1, None])
            record.tags["pid"] = record.process
            start = rng.randrange(1000)
            fresh_counter[record.process] = itertools.count(start)
            reference[record.process] = itertools.count(start)
            pieces = [rng.choice(["", "x", "line %d" % case, "é€"]) for _ in range(rng.randrange(1, 6))]
            message = "".join(piece + rng.choice(separators) for piece in pieces)[:rng.randrange(1, 40)]
            record.message = message
            native = [(p.seqnum, p.tags.get("part"), p.message) for p in record]
            assert native == reference_parts(record, message, reference), repr(message)

    def test_a_received_dictionary_of_an_unsplit_record_draws_no_numbers(self, fresh_counter):
        record = failed()
        frame = logging.handlers.SocketHandler("127.0.0.1", 9).makePickle(record)
        sent = pickle.loads(frame[4:])
        other = os.getpid() + 1
        sent["process"], sent["tags"]["pid"] = other, other
        received = logging.makeLogRecord(sent)
        matches = parsed(TaskLogFormatter().format(received).splitlines())
        assert {m.group(1) for m in matches} == {str(record.seqnum)}
        assert [int(m.group(5)) for m in matches] == list(range(1, len(matches) + 1))
        assert matches[-1].group(7) == "ZeroDivisionError: division by zero"
        assert other not in fresh_counter


class TestHandlers:
    def test_socket_handler_to_a_loopback_receiver(self, tmp_path, travel_logger):
        listener = socket.create_server(("127.0.0.1", 0))
        sent_log = tmp_path / "sent.log"
        logger = travel_logger(morlan.TaskLogHandler(str(sent_log)),
                               logging.handlers.SocketHandler("127.0.0.1", listener.getsockname()[1]))
        logger.info("one line")
        logger.info("two\nlines")
        try:
            1 / 0
        except ZeroDivisionError:
            logger.exception("failed\nwith %s", "two lines")
        for handler in logger.handlers:
            handler.close()
        connection, _ = listener.accept()
        with connection, listener:
            stream = b"".join(iter(lambda: connection.recv(65536), b""))
        received_log = tmp_path / "received.log"
        receiver = morlan.TaskLogHandler(str(received_log))
        while stream:
            size = struct.unpack(">L", stream[:4])[0]
            receiver.handle(logging.makeLogRecord(pickle.loads(stream[4:4 + size])))
            stream = stream[4 + size:]
        receiver.close()
        assert read(received_log) == read(sent_log)
        texts = [m.group(7) for m in parsed(read(received_log))]
        assert texts[:5] == ["one line", "two", "lines", "failed", "with two lines"]
        assert texts[-1] == "ZeroDivisionError: division by zero"

    def test_memory_handler_flushes_into_a_task_log(self, tmp_path, travel_logger, fresh_counter):
        target = morlan.TaskLogHandler(str(tmp_path / "TaskLog.log"))
        logger = travel_logger(logging.handlers.MemoryHandler(10, target=target))
        logger.info("a\nb")
        try:
            1 / 0
        except ZeroDivisionError:
            logger.exception("failed")
        logger.handlers[0].flush()
        target.close()
        matches = parsed(read(tmp_path / "TaskLog.log"))
        assert_unique_numbers(matches)
        assert [m.group(1) for m in matches[:3]] == ["0", "2", "1"]
        assert matches[-1].group(7) == "ZeroDivisionError: division by zero"


def child_logs(queue, number):
    """A child that sends its records to the parent through a queue only."""
    logger = logging.getLogger("tavix.tests.travel.child")
    logger.handlers[:] = [logging.handlers.QueueHandler(queue)]
    logger.propagate = False
    logger.setLevel(logging.INFO)
    logger.info("child %d one line", number)
    logger.info("child %d first\nsecond\nthird", number)
    try:
        1 / 0
    except ZeroDivisionError:
        logger.exception("child %d failed", number)
    logger.info("child %d with its stack", number, stack_info=True)


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_queue_handler_in_children(tmp_path, travel_logger, method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip("no %s start method here" % method)
    context = multiprocessing.get_context(method)
    queue = context.Queue()
    handler = morlan.TaskLogHandler(str(tmp_path / "TaskLog.log"))
    parent = travel_logger(handler)
    listener = logging.handlers.QueueListener(queue, handler)
    children = [context.Process(target=child_logs, args=(queue, number)) for number in range(2)]
    for child in children:  # before the listener's thread exists
        child.start()
    listener.start()
    try:
        for number in range(20):
            parent.info("parent %d\nsecond line", number)
        for child in children:
            child.join(30)
            assert child.exitcode == 0
    finally:
        listener.stop()
    handler.close()
    matches = parsed(read(tmp_path / "TaskLog.log"))
    assert_unique_numbers(matches)
    for number, child in enumerate(children):
        texts = [m.group(7) for m in matches if m.group(3) == str(child.pid)]
        assert texts[:4] == ["child %d one line" % number, "child %d first" % number, "second", "third"]
        assert "ZeroDivisionError: division by zero" in texts
        assert "child %d with its stack" % number in texts and 'File "%s"' % __file__ in " ".join(texts)
        assert child.pid not in morlan.LOG_SEQUENCE_COUNTER
