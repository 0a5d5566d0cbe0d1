"""MorlanLog records, their tags and per-line parts (tavix.log.morlan)."""
import itertools
import logging
import os
import socket
import subprocess
import sys
import threading
from collections import defaultdict

import pytest

from tavix.log import morlan
from tavix.log.morlan import MorlanLogRecord, MorlanLogRecordPart, MorlanLogTags


def make(name="tavix.test", level=logging.INFO, msg="msg", args=None):
    return MorlanLogRecord(name, level, __file__, 1, msg, args, None)


def lines(record, message):
    record.message = message
    return list(record)


class TestConstruction:
    def test_is_a_log_record_with_the_factory_signature(self):
        record = MorlanLogRecord(name="tavix.x", level=logging.WARNING, pathname="p", lineno=3,
                                 msg="a %s", args=("b",), exc_info=None, func="f", sinfo="stack")
        assert isinstance(record, logging.LogRecord)
        assert (record.getMessage(), record.funcName, record.stack_info) == ("a b", "f", "stack")
        with pytest.raises(TypeError):
            MorlanLogRecord("too", "few")

    def test_python_subclass_extends_the_constructor(self):
        class Record(MorlanLogRecord):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                self.extra = self.seqnum

        record = Record("tavix.x", logging.INFO, "p", 1, "m", None, None)
        assert record.extra == record.seqnum and record.morlan_appname == "X"

    def test_fields(self, fresh_counter):
        record = make("tavix.log.colour", logging.ERROR)
        assert record.seqnum == 0 and make().seqnum == 1
        assert record.hostname == socket.gethostname()
        assert record.morlan_appname == "LOG" and record.morlan_sev == 3 and record.morlan_msgname == "ERROR"
        assert type(record.tags) is MorlanLogTags
        assert dict(record.tags) == {"pid": os.getpid(), "pname": record.processName}

    def test_numbers_are_per_process_id(self, fresh_counter):
        record = make()
        assert list(fresh_counter) == [os.getpid()] and record.seqnum == 0
        fresh_counter[os.getpid()] = itertools.count(100)
        assert make().seqnum == 100

    def test_host_name_is_asked_for_each_record(self, monkeypatch):
        monkeypatch.setattr(socket, "gethostname", lambda: "lab1")
        assert make().hostname == "lab1"
        monkeypatch.setattr(socket, "gethostname", lambda: "hôte-ü")
        assert make().hostname == "hôte-ü"

    def test_thread_tags_only_with_several_threads(self):
        assert list(make().tags) == ["pid", "pname"]
        seen = []
        made, release = threading.Event(), threading.Event()
        worker = threading.Thread(target=lambda: (seen.append(make()), made.set(), release.wait(5)),
                                  name="worker-1")
        worker.start()
        try:
            assert made.wait(5)
            record = seen[0]
            assert list(record.tags) == ["pid", "pname", "tid", "tname"]
            assert (record.tags["tid"], record.tags["tname"]) == (worker.ident, "worker-1")
            assert "tid" in make().tags  # the main thread too, while the worker lives
        finally:
            release.set()
            worker.join()

    @pytest.mark.parametrize("name, appname", [
        ("__main__", "SCRIPT"),
        ("tavix.log.tcl.device.exec", "TCL"),
        ("tavix.log.tcl.", "TCL"),
        ("tavix.qentest.testscript.mod", "SCRIPT"),
        ("tavix.qentest.testscript", "QENTEST"),
        ("tavix.log.colour", "LOG"),
        ("tavix.", ""),
        ("tavix", "TAVIX"),
        ("velmora.radio.x", "RADIO"),
        ("ostrand.a", "A"),
        ("kelvane.b.c", "B"),
        ("other.thing", "OTHER"),
        ("root", "ROOT"),
        ("", ""),
        ("...", ""),
        ("straße.x", "STRASSE"),
    ])
    def test_application_name(self, name, appname):
        assert make(name).morlan_appname == appname
        assert make(name).morlan_appname == appname  # remembered names give the same answer

    def test_records_rebuilt_from_a_dictionary(self):
        # logging.makeLogRecord calls the factory without a logger name
        morlan.ScreenFormatter()
        record = logging.makeLogRecord({"msg": "m", "name": "tavix.log.x", "levelno": 40})
        assert type(record) is MorlanLogRecord and record.name == "tavix.log.x"
        assert (record.morlan_appname, record.getMessage()) == ("", "m")

    def test_message_name(self):
        assert make("tavix.log.tcl.device.exec").morlan_msgname == "DEVICE"
        assert make("tavix.log.tcl.").morlan_msgname == ""
        assert make("tavix.log.tcl", logging.DEBUG).morlan_msgname == "DEBUG"

    def test_severity(self):
        logging.addLevelName(25, "NOTICE")
        try:
            assert make(level=25).morlan_sev == 5
        finally:
            logging.addLevelName(25, "Level 25")
        assert make(level=26).morlan_sev == 6
        assert [make(level=lv).morlan_sev for lv in (10, 20, 30, 40, 50)] == [7, 6, 4, 3, 2]

    def test_the_logging_library_builds_morlan_records(self):
        logging.setLogRecordFactory(logging.LogRecord)
        morlan.ScreenFormatter()
        records = []
        logger = logging.getLogger("tavix.test.factory")
        handler = logging.Handler()
        handler.emit = records.append
        logger.addHandler(handler)
        try:
            logger.warning("x")
        finally:
            logger.removeHandler(handler)
        assert type(records[0]) is MorlanLogRecord


class TestSequenceNumbers:
    def test_first_record_of_a_process_is_zero(self):
        code = ("import logging; from tavix.log import morlan; "
                "print(morlan.MorlanLogRecord('x', 20, 'p', 1, 'm', None, None).seqnum)")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                             env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        assert out.stdout.strip() == "0"

    @pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
    def test_a_forked_child_counts_from_zero(self):
        assert make().seqnum >= 0
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.write(write_end, b"%d %d" % (make().seqnum, make().seqnum))
            finally:
                os._exit(0)
        os.close(write_end)
        os.waitpid(pid, 0)
        assert os.read(read_end, 100) == b"0 1"
        os.close(read_end)

    def test_unique_across_threads(self):
        per_thread = 400
        numbers = []
        start = threading.Barrier(8)

        def work():
            start.wait()
            drawn = [make().seqnum for _ in range(per_thread)]
            for record in [make(msg="a\nb\nc") for _ in range(per_thread // 4)]:
                drawn.append(record.seqnum)
                drawn.extend(part.seqnum for part in lines(record, "a\nb\nc")[1:])
            numbers.extend(drawn)

        threads = [threading.Thread(target=work) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert len(numbers) == 8 * (per_thread + per_thread // 4 * 3)
        assert len(set(numbers)) == len(numbers)


class TestTags:
    def test_text(self):
        assert str(MorlanLogTags()) == ""
        assert str(MorlanLogTags(pid=4242, pname="MainProcess")) == "%[pid=4242][pname=MainProcess]: "
        tags = MorlanLogTags(pid=4242, pname="MainProcess", part="7.2/3")
        assert str(tags) == "%[pid=4242][pname=MainProcess][part=7.2/3]: "
        assert str(MorlanLogTags(a="é]", b=None, c=2 ** 70)) == "%[a=é]][b=None][c=" + str(2 ** 70) + "]: "
        assert str(MorlanLogTags({1: "x"})) == "%[1=x]: "

    def test_copy(self):
        class Tags(MorlanLogTags):
            pass

        original = Tags(pid=1, pname="p")
        copy = original.copy()
        assert type(copy) is Tags and copy == original and copy is not original
        plain = MorlanLogTags(x=[1])
        assert type(plain.copy()) is MorlanLogTags and plain.copy()["x"] is plain["x"]
        with pytest.raises(TypeError):
            MorlanLogTags({1: "x"}).copy()


class TestIteration:
    @pytest.mark.parametrize("message", ["", "one line", "one line\n", "crlf\r\n", "\n"])
    def test_fewer_than_two_lines_yield_the_record(self, message):
        record = make()
        assert lines(record, message) == [record]
        assert record.message == message and not hasattr(record, "parts")

    @pytest.mark.parametrize("message, texts", [
        ("a\nb", ["a", "b"]),
        ("a\n\nb", ["a", "", "b"]),
        ("a\r\nb\rc\x0bd\x1ce\x85f\u2028g\u2029h", list("abcdefgh")),
        ("first\nsecond\n", ["first", "second"]),
        ("é\n€\n𝄞", ["é", "€", "𝄞"]),
    ])
    def test_parts_follow_splitlines(self, message, texts):
        parts = lines(make(), message)
        assert [part.message for part in parts] == texts == message.splitlines()
        assert all(type(part) is MorlanLogRecordPart for part in parts)

    def test_parts_numbers_tags_and_copied_fields(self, fresh_counter):
        record = make("tavix.log.tcl.dev.x", msg="m")
        record.asctime = "T"
        parts = lines(record, "a\nb\nc")
        assert [p.seqnum for p in parts] == [0, 1, 2]
        assert [p.tags["part"] for p in parts] == ["0.1/3", "0.2/3", "0.3/3"]
        assert record.tags == {"pid": os.getpid(), "pname": record.processName}
        for part in parts:
            assert (part.asctime, part.morlan_msgname, part.name) == ("T", "DEV", record.name)
            assert not hasattr(part, "parts") and part.tags is not record.tags
        assert record.parts == tuple(parts)

    def test_parts_are_built_once(self, fresh_counter):
        record = make()
        first = lines(record, "a\nb")
        assert lines(record, "a\nb") == first and list(record) == first
        assert make().seqnum == 2  # nothing drawn by the second iteration
        assert all(a is b for a, b in zip(first, record))

    def test_parts_with_another_kind_of_counter_and_tags_of_a_subclass(self, monkeypatch):
        monkeypatch.setattr(morlan, "LOG_SEQUENCE_COUNTER", defaultdict(lambda: iter((10, 20, 30))))

        class Tags(MorlanLogTags):
            pass

        record = make()
        record.tags = Tags(record.tags)
        parts = lines(record, "a\nb\nc")
        assert [p.seqnum for p in parts] == [10, 20, 30]
        assert [type(p.tags) for p in parts] == [Tags] * 3 and parts[2].tags["part"] == "10.3/3"

    def test_part_constructor(self, fresh_counter):
        record = make()
        record.message = "x"
        with pytest.raises(TypeError):
            MorlanLogRecordPart(record, "only two")
        part = MorlanLogRecordPart(record=record, message="line", index=1, total=2)
        assert (part.seqnum, part.message, part.tags["part"]) == (0, "line", "0.1/2")
        part = MorlanLogRecordPart(record, "line", 2, 2)
        assert (part.seqnum, part.tags["part"]) == (1, "0.2/2")

    def test_a_record_subclass_with_its_own_part_class(self, monkeypatch):
        class Part(MorlanLogRecordPart):
            def __init__(self, record, message, index, total):
                super().__init__(record, message.upper(), index, total)

        monkeypatch.setattr(morlan, "MorlanLogRecordPart", Part)
        parts = lines(make(), "a\nb")
        assert [(type(p), p.message) for p in parts] == [(Part, "A"), (Part, "B")]

    def test_message_is_required(self):
        with pytest.raises(AttributeError):
            list(make())
