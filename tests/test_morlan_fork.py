"""Task logs of processes forked through multiprocessing."""
import collections
import logging
import multiprocessing
import multiprocessing.util
import os
import re
import signal
import threading
import time

import pytest

from tavix.log import morlan

fork = multiprocessing.get_context("fork")
log = logging.getLogger("tavix.tests.fork")
LINE = re.compile(r"^(\d+): [^:]+: [-0-9T:]+: %[A-Z]+-\d-INFO: %\[pid=(\d+)\]\[pname=[^\]]+\]"
                  r"(?:\[tid=\d+\]\[tname=[^\]]+\])?: (.*)$")


@pytest.fixture
def task_log(tmp_path):
    """A task log handler for the test's logger and the module's own messages.

    The loggers do not propagate: the test runner's capture would hold every record.
    """
    handler = morlan.TaskLogHandler(str(tmp_path / "TaskLog.log"))
    loggers = [log, morlan.logger]
    for logger in loggers:
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        logger.propagate = False
    yield handler
    handler.disableForked()
    for logger in loggers:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
        logger.propagate = True
    handler.close()


def lines(path):
    with open(path) as file:
        return file.read().splitlines()


def messages(path):
    return [line.split("]: ", 1)[-1] for line in lines(path)]


def run_child(target, *args):
    child = fork.Process(target=target, args=args)
    child.start()
    child.join(60)
    assert child.exitcode == 0
    return child


def log_records(*texts):
    for text in texts:
        log.info(text)


def registry_entries(handler):
    return [key for key, value in multiprocessing.util._afterfork_registry.items()
            if value is handler]


def test_child_shares_the_parent_file_while_redirection_is_off(task_log, tmp_path):
    run_child(log_records, "from the child")
    assert messages(task_log.logfile) == ["from the child"]
    assert os.listdir(tmp_path) == ["TaskLog.log"]


def test_enable_and_disable(task_log):
    said = []
    collect = logging.Handler(logging.DEBUG)
    collect.emit = lambda record: said.append(record.getMessage())
    morlan.logger.addHandler(collect)
    morlan.logger.setLevel(logging.DEBUG)
    task_log.disableForked()
    task_log.enableForked()
    assert task_log.forkRegistered and task_log._consolidate_forked_logs is False
    task_log.enableForked(True)
    assert len(registry_entries(task_log)) == 1 and task_log._consolidate_forked_logs is True
    task_log.disableForked()
    assert not task_log.forkRegistered and task_log._consolidate_forked_logs is True
    morlan.logger.removeHandler(collect)
    assert said == [
        "Forked tasklog generation was not enabled.",
        "Enabled forked tasklog generation",
        "Forked tasklog generation is already enabled",
        "Disabled forked tasklog generation",
    ]


def test_separate_child_log(task_log, tmp_path):
    task_log.enableForked()
    child = run_child(log_records, "own file")
    child_file = "%s:pid-%d" % (task_log.logfile, child.pid)
    assert messages(task_log.logfile) == [
        "Forked process %d started, log: %s" % (child.pid, child_file)]
    assert messages(child_file) == ["own file"]


def test_merged_child_log(task_log, tmp_path):
    log.info("before")
    with task_log.consolidate_next_forked_logfile():
        child = run_child(log_records, "first", "second")
    log.info("after")
    child_file = "%s:pid-%d" % (task_log.logfile, child.pid)
    assert messages(task_log.logfile) == [
        "before", ">>>> Begin child log " + child_file, "first", "second",
        "<<<< End child log " + child_file, "after"]
    child_lines = [LINE.match(line).groups() for line in lines(task_log.logfile)[1:5]]
    assert [(int(seq), int(pid)) for seq, pid, _ in child_lines] == [
        (n, child.pid) for n in range(4)]
    assert os.listdir(tmp_path) == ["TaskLog.log"]
    assert not task_log.forkRegistered and task_log._consolidate_forked_logs is False


def test_next_fork_logfile_names_the_child_file(task_log, tmp_path):
    task_log.enableForked(True)
    with task_log.next_fork_logfile("child.log", consolidate=False):
        assert task_log._on_fork_logfile == "child.log"
        run_child(log_records, "named")
    # A false consolidate counts as not given: the handler's flag merged the child.
    assert messages(task_log.logfile)[1:3] == ["named", "<<<< End child log %s" % (
        tmp_path / "child.log")]
    assert messages(task_log.logfile)[0] == ">>>> Begin child log child.log"
    assert not (tmp_path / "child.log").exists()
    assert task_log._on_fork_logfile is None and task_log.forkRegistered


def test_failed_block_restores_the_handler(task_log, tmp_path):
    failure = ValueError("child could not start")
    with pytest.raises(ValueError) as raised:
        with task_log.next_fork_logfile("child.log", consolidate=True):
            raise failure
    assert raised.value is failure
    assert task_log._on_fork_logfile is None
    assert task_log._consolidate_forked_logs is False and not task_log.forkRegistered
    run_child(log_records, "back home")
    assert messages(task_log.logfile) == ["back home"]
    assert os.listdir(tmp_path) == ["TaskLog.log"]


def test_handler_without_file_never_redirects(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    handler = morlan.TaskLogHandler(None)
    log.addHandler(handler)
    try:
        handler.enableForked(True)
        run_child(log_records, "nowhere")
    finally:
        handler.disableForked()
        log.removeHandler(handler)
        handler.close()
    assert os.listdir(tmp_path) == []


def log_then_wait(ready):
    log_records("before the kill")
    ready.set()
    time.sleep(60)


def test_killed_child_leaves_its_file_for_concatenate_log(task_log):
    task_log.enableForked(True)
    ready = fork.Event()
    child = fork.Process(target=log_then_wait, args=(ready,))
    child.start()
    assert ready.wait(30)
    os.kill(child.pid, signal.SIGKILL)
    child.join(30)
    child_file = "%s:pid-%d" % (task_log.logfile, child.pid)
    assert messages(child_file)[-1] == "before the kill"
    log.info("parent")
    task_log.concatenateLog(child_file)
    log.info("parent again")
    assert messages(task_log.logfile) == [
        "parent", ">>>> Begin child log " + child_file, "before the kill", "parent again"]
    assert not os.path.exists(child_file)


def test_concatenate_log_on_the_null_device(tmp_path):
    handler = morlan.TaskLogHandler(None)
    leftover = tmp_path / "leftover.log"
    leftover.write_text("discarded\n")
    handler.concatenateLog(str(leftover))
    handler.close()
    assert not leftover.exists()


def isolated(target, path, *args, timeout=60):
    """Runs `target` with a task log handler of its own on `path`, in a forked
    process group of its own, so that a hang fails the test instead of
    stopping the run (the hung processes may hold their handler's lock)."""
    def driver():
        os.setpgrp()
        handler = morlan.TaskLogHandler(str(path))
        for logger in (log, morlan.logger):
            logger.handlers = [handler]
            logger.setLevel(logging.INFO)
            logger.propagate = False
        target(handler, *args)

    process = fork.Process(target=driver)
    process.start()
    process.join(timeout)
    if process.exitcode is None:
        os.killpg(process.pid, signal.SIGKILL)
        process.join()
        pytest.fail("logging while forking hung")
    assert process.exitcode == 0


def keep_logging(thread, stop, counts):
    count = 0
    while not stop.is_set() and count < 20000:
        log.info("parent %d record %d", thread, count)
        count += 1
    counts[thread] = count


def fork_while_logging(handler, child_target, pids, counts):
    """Four threads log while children are forked; the pids and counts are shared arrays."""
    stop = threading.Event()
    threads = [threading.Thread(target=keep_logging, args=(n, stop, counts))
               for n in range(len(counts))]
    for thread in threads:
        thread.start()
    children = [fork.Process(target=child_target, args=(n,)) for n in range(len(pids))]
    for number, child in enumerate(children):
        child.start()
        pids[number] = child.pid
    for child in children:
        child.join()
        assert child.exitcode == 0
    stop.set()
    for thread in threads:
        thread.join()


def child_in_a_busy_parent(number):
    log_records(*("child %d record %d" % (number, index) for index in range(2000)))


def merged_children_of_a_busy_parent(handler, pids, counts):
    handler.enableForked(True)
    fork_while_logging(handler, child_in_a_busy_parent, pids, counts)


def test_merged_children_of_a_busy_parent(tmp_path):
    task_log = tmp_path / "TaskLog.log"
    pids, counts = fork.Array("i", 8), fork.Array("i", 4)
    isolated(merged_children_of_a_busy_parent, task_log, pids, counts)
    assert os.listdir(tmp_path) == ["TaskLog.log"]
    parsed = [LINE.match(line) for line in lines(task_log)]
    assert all(parsed), "torn or interleaved line"
    texts = [match.group(3) for match in parsed]
    assert len(texts) == len(set(texts))
    expected = {"parent %d record %d" % (t, n) for t, count in enumerate(counts)
                for n in range(count)}
    assert {text for text in texts if text.startswith("parent")} == expected
    for number, pid in enumerate(pids):
        child_file = "%s:pid-%d" % (task_log, pid)
        begin = texts.index(">>>> Begin child log " + child_file)
        block = texts[begin:begin + 2002]
        assert block[1:-1] == ["child %d record %d" % (number, n) for n in range(2000)]
        assert block[-1] == "<<<< End child log " + child_file


def short_child(number):
    log_records("child %d" % number)


def separate_children_of_a_busy_parent(handler, pending, pids, counts):
    # Leaves bytes in the stream's buffer: the parent owns them, the children
    # must neither write them again nor lose them.
    handler.concatenateLog(pending)
    handler.enableForked()
    fork_while_logging(handler, short_child, pids, counts)
    handler.close()


def test_forking_while_threads_write_never_hangs_or_duplicates(tmp_path):
    task_log = tmp_path / "TaskLog.log"
    pending = tmp_path / "pending.log"
    pending.write_text("pending line\n")
    pids, counts = fork.Array("i", 30), fork.Array("i", 4)
    isolated(separate_children_of_a_busy_parent, task_log, str(pending), pids, counts)
    assert lines(task_log).count("pending line") == 1
    started = collections.Counter(m.split(" started")[0] for m in messages(task_log)
                                  if m.startswith("Forked process"))
    assert len(started) == 30 and set(started.values()) == {1}
    for number, pid in enumerate(pids):
        assert messages("%s:pid-%d" % (task_log, pid)) == ["child %d" % number]
