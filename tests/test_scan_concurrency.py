"""The execution scan in worker threads and under Ctrl-C."""

import os
import signal
import sys
import threading
import time

import pytest

from tavix.log.commands.parser import base
from tavix.log.commands.parser.base import LogSection

from helpers.sections import HOST, make_section, record


def long_section(directory, size):
    """A section of `size` bytes with one command at its end; what comes before it is a hole."""
    LogSection.child_execute.fget.cache_clear()
    path = directory / "task.log"
    with open(path, "wb") as f:
        f.truncate(size)
        f.seek(0, 2)
        f.write(("\n" + record(1, "+++ R1: config +++") + record(2, "done")).encode())
    reader = type("Reader", (), {"dir": str(directory)})()
    return LogSection(reader, {"log_file": "task.log", "log_start": "0", "log_size": "0"}, HOST)


def test_other_threads_run_while_a_worker_scans(tmp_path):
    section = long_section(tmp_path, 256 << 20)
    # The interpreter never takes the lock from a thread that holds it: the
    # main thread gets turns during the scan only if the scan lets go of it.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        scanning, found = threading.Event(), []
        worker = threading.Thread(target=lambda: (scanning.set(), found.append(section.all_executions())))
        turns = 0
        worker.start()
        assert scanning.wait(10)
        while not found and worker.is_alive():
            time.sleep(0.001)
            turns += 1
        worker.join(60)
    finally:
        sys.setswitchinterval(previous)
    assert len(found[0]) == 1 and turns >= 1
    LogSection.child_execute.fget.cache_clear()


def test_ctrl_c_stops_a_long_scan(tmp_path):
    section = long_section(tmp_path, 8 << 30)
    # A timer signal whose handler is Ctrl-C's, so it comes while the scan runs.
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.02)
    try:
        with pytest.raises(KeyboardInterrupt):
            section.child_execute
            signal.setitimer(signal.ITIMER_REAL, 0)
            pytest.fail("the scan of 8 GiB ended before the signal came")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert LogSection.child_execute.fget.cache_info().currsize == 0


def test_two_threads_scanning_one_section_agree(tmp_path):
    LogSection.child_execute.fget.cache_clear()
    text = "".join(record(i, "+++ R1: config +++") + "out\n" for i in range(300)) + record(0, "end")
    section = make_section(tmp_path, text)
    previous = base._set_scan_block(7)  # many reads, so the threads interleave
    try:
        results = []
        start = threading.Barrier(2, timeout=10)

        def scan():
            start.wait()
            results.append(section.child_execute)

        threads = [threading.Thread(target=scan) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
    finally:
        base._set_scan_block(previous)
    first, second = results
    assert list(first) == list(second) and len(first) == 300
    assert LogSection.child_execute.fget.cache_info().currsize == 1
    kept = section.child_execute
    assert kept is first or kept is second
    assert all(section.get_execution(i).start_line == e.start_line for i, e in second.items())
    LogSection.child_execute.fget.cache_clear()


def test_forked_children_make_ids_of_their_own(tmp_path):
    LogSection.child_execute.fget.cache_clear()
    text = record(1, "+++ R1: config +++") + record(2, "done")
    warm, ours, theirs = (make_section(tmp_path, text) for _ in range(3))
    warm.child_execute  # random bytes drawn ahead, inherited by the child
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.write(write, next(iter(theirs.child_execute)).encode())
        finally:
            os._exit(0)
    os.close(write)
    mine = next(iter(ours.child_execute))
    child = os.read(read, 100).decode()
    os.close(read)
    os.waitpid(pid, 0)
    assert len(child) == 36 and child != mine
    LogSection.child_execute.fget.cache_clear()
