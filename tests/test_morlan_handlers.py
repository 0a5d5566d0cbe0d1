"""Task log and console handlers: files, failures, the record path, managed handlers."""
import io
import logging
import os
import sys
import threading

import pytest

from tavix.log import morlan


@pytest.fixture
def logger():
    log = logging.getLogger("tavix.tests.handlers")
    log.setLevel(logging.DEBUG)
    log.propagate = False
    yield log
    for handler in list(log.handlers):
        log.removeHandler(handler)


@pytest.fixture
def task_log(tmp_path, logger):
    handler = morlan.TaskLogHandler(str(tmp_path / "TaskLog.log"))
    logger.addHandler(handler)
    yield handler
    handler.close()


def messages(path):
    """The message field of every line of a task log."""
    with open(path) as log:
        return [line.rstrip("\n").split("]: ", 1)[1] for line in log]


def lock_is_free(handler):
    """Whether another thread can take the handler lock now."""
    taken = []

    def take():
        if handler.lock.acquire(timeout=2):
            taken.append(True)
            handler.lock.release()

    thread = threading.Thread(target=take)
    thread.start()
    thread.join()
    return bool(taken)


def test_no_file_means_null_device(tmp_path, monkeypatch, logger):
    monkeypatch.chdir(tmp_path)
    handler = morlan.TaskLogHandler(None)
    logger.addHandler(handler)
    logger.info("nowhere")
    assert (handler.name, handler.logfile, handler.logdir) == ("TaskLog-", "", str(tmp_path))
    assert handler.stream.name == os.devnull
    assert list(tmp_path.iterdir()) == []
    handler.close()


def test_change_file_resolves_names_and_keeps_history(tmp_path, task_log, logger):
    first = str(tmp_path / "TaskLog.log")
    logger.info("one")
    task_log.changeFile("second.log")
    logger.info("two")
    assert task_log.logfile == os.path.join(str(tmp_path), "second.log")
    task_log.changeFile(None)
    logger.info("discarded")
    assert task_log.name == "TaskLog-"
    task_log.changeFile("~other.log")  # not absolute: joined as is, no home expansion
    assert task_log.logfile == os.path.join(str(tmp_path), "~other.log")
    task_log.changeFile(first)  # back to the first file: appended to
    logger.info("three")
    assert task_log.history == [first, "second.log", None, "~other.log", first]
    assert task_log.name == "TaskLog-" + first
    assert messages(first) == ["one", "three"]
    assert messages(tmp_path / "second.log") == ["two"]


def test_bare_file_name_resolves_against_current_directory(tmp_path, monkeypatch, logger):
    monkeypatch.chdir(tmp_path)
    handler = morlan.TaskLogHandler("first.log")
    assert (handler.logfile, handler.logdir) == (str(tmp_path / "first.log"), "")
    handler.changeFile("second.log")
    logger.addHandler(handler)
    logger.info("here")
    handler.close()
    assert messages(tmp_path / "second.log") == ["here"]


def test_one_write_per_record_with_terminator(task_log, logger):
    writes = []

    class Recording(io.StringIO):
        def write(self, text):
            writes.append(text)
            return super().write(text)

    task_log.setStream(Recording()).close()
    logger.info("first\nsecond")
    assert len(writes) == 1 and writes[0].endswith("second\n") and writes[0].count("\n") == 2


def test_filters_and_subclass_overrides_are_honoured(tmp_path, logger):
    seen = []

    class Custom(morlan.TaskLogHandler):
        def format(self, record):
            return "custom:" + record.getMessage()

        def emit(self, record):
            seen.append(record.getMessage())
            super().emit(record)

    handler = Custom(str(tmp_path / "custom.log"))
    handler.addFilter(lambda record: "secret" not in record.getMessage())
    logger.addHandler(handler)
    logger.info("public")
    logger.info("secret")
    handler.close()
    assert seen == ["public"]
    assert (tmp_path / "custom.log").read_text() == "custom:public\n"


def test_write_failures_go_to_handle_error_and_release_the_lock(logger, capsys):
    handler = morlan.TaskLogHandler("/dev/full")  # every flush fails: no space left
    logger.addHandler(handler)
    logger.info("lost")
    logger.info("lost too")
    assert lock_is_free(handler)
    err = capsys.readouterr().err
    assert err.count("--- Logging error ---") == 2 and "No space left" in err
    assert "test_morlan_handlers.py" in err  # the caller's frame is reported
    # Leaving the full device works although its buffer cannot be flushed.
    with pytest.raises(OSError):
        handler.changeFile(None)
    assert handler.stream is None
    handler.changeFile(None)
    logger.info("fine")
    assert capsys.readouterr().err == ""
    handler.close()


def test_vanished_directory(tmp_path, logger, capsys):
    run = tmp_path / "run"
    run.mkdir()
    handler = morlan.TaskLogHandler(str(run / "TaskLog.log"))
    logger.addHandler(handler)
    logger.info("kept")
    os.remove(run / "TaskLog.log")
    run.rmdir()
    with pytest.raises(FileNotFoundError):
        handler.changeFile("next.log")
    assert handler.logfile == str(run / "next.log") and handler.history[-1] == "next.log"
    assert lock_is_free(handler)
    logger.info("no stream")  # reported, not raised
    assert "--- Logging error ---" in capsys.readouterr().err
    handler.changeFile(str(tmp_path / "again.log"))
    logger.info("back")
    handler.close()
    assert messages(tmp_path / "again.log") == ["back"]


def test_stream_without_flush_or_close(task_log, logger):
    class WriteOnly:
        def __init__(self):
            self.text = ""

        def write(self, text):
            self.text += text

    stream = WriteOnly()
    task_log.setStream(stream).close()
    logger.info("plain")
    task_log.changeFile(None)
    task_log.setStream(WriteOnly()).close()
    task_log.close()
    assert stream.text.endswith("plain\n") and task_log.stream is None
    assert lock_is_free(task_log)


def test_close_drops_the_stream_and_unregisters(task_log):
    stream = task_log.stream
    task_log.close()
    assert stream.closed and task_log.stream is None
    assert task_log.name not in logging._handlers
    task_log.close()


def test_coloured_task_log(task_log, logger, tmp_path):
    task_log.coloured = True
    logger.error("red")
    task_log.coloured = False
    logger.error("plain")
    lines = (tmp_path / "TaskLog.log").read_text().splitlines()
    assert "\x1b[" in lines[0] and "\x1b[" not in lines[1]


def test_screen_handler_follows_standard_output(monkeypatch, logger):
    class Console(io.StringIO):
        name = "<console>"

    screen = morlan.ScreenHandler()
    logger.addHandler(screen)
    console = Console()
    monkeypatch.setattr(sys, "stdout", console)
    logger.warning("coloured")
    screen.coloured = False
    logger.warning("plain")
    out = console.getvalue().splitlines()
    assert "\x1b[" in out[0] and out[0].endswith("\x1b[39m")
    assert out[1].endswith("%TESTS-WARNING: plain")
    assert str(screen) == "< ScreenHandler - <console> >"


def test_screen_handler_stream_without_name(logger):
    stream = io.StringIO()
    screen = morlan.ScreenHandler(stream, coloured=False)
    logger.addHandler(screen)
    logger.info("kept")
    assert stream.getvalue().endswith("kept\n")
    with pytest.raises(AttributeError):
        str(screen)
    screen.stream = None
    assert screen.stream is sys.stdout


def test_close_managed_handlers(tmp_path, monkeypatch):
    closed = []

    class Failing(morlan.TaskLogHandler):
        def close(self):
            closed.append(self)
            raise RuntimeError("swallowed")

    class Screen(morlan.ScreenHandler):
        def close(self):
            closed.append(self)

    failing = Failing(None)
    with open(tmp_path / "screen.log", "w") as stream:
        to_file = Screen(stream)
        to_stderr = Screen(sys.stderr)
        following = Screen()
        monkeypatch.setattr(morlan, "managed_handlers", {
            "tasklog": failing, "screen": to_file, "console": to_stderr, "out": following})
        morlan.closeManagedHandlers()
    failing.stream.close()
    assert closed == [failing, to_file]

