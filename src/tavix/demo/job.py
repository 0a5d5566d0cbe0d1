"""The demo job: a small test script run through the real logging package.

It does what a test harness does on a real run: points the managed task log
handler at the script's task log, shows the short coloured lines on the
console, talks to (simulated) devices whose command banners and raw output
land in the task log, forks a helper process whose log is merged back,
routes a warning into the log, logs a failure with its traceback, and
finally stores ResultsDetails.xml, the task log and a small report in a run
archive (zip) in the user's archive directory, where `tavix logs list` and
`tavix logs view` find it.
"""
import contextlib
import datetime
import logging
import multiprocessing
import os
import shutil
import sys
import tempfile
import time
import warnings
import zipfile
from pathlib import Path

from tavix.cli.progress import ProgressLine
from tavix.demo.results import RESULTS_FILE, ResultsWriter, Timed

USER_ARCHIVE_DIR = Path("~/.tavix/archive")
SCRIPT_NAME = "demo_script.py"
TASK_ID = "demo_script"
LOG_NAME = "TaskLog.demo_script"

script_log = logging.getLogger("tavix.qentest.testscript.demo")


def _line():
    """Line number of the caller, the source reference of its section."""
    return sys._getframe(1).f_lineno


class SimulatedDevice:
    """A device connection that answers from canned output.

    Like a real connection it announces each command with a banner record
    and writes the device's raw output into the task log without headers.
    """

    OUTPUT = {
        "show version": ["Demo OS Software, Version 17.3.2", "uptime is 3 weeks, 2 days",
                         "System image file is \"flash:demo-17.3.2.bin\""],
        "show ip interface brief": [
            "Interface              IP-Address      OK? Method Status    Protocol",
            "GigabitEthernet0/0     10.0.0.%d       YES manual up        up",
            "GigabitEthernet0/1     unassigned      YES unset  down      down"],
        "show clock": ["*10:22:33.123 UTC Tue Dec 8 2026"],
    }

    # Seconds a device takes to answer: short, but visible in the run times.
    LATENCY = 0.05

    def __init__(self, name, number, tasklog):
        self.name, self.number, self.tasklog = name, number, tasklog
        self.log = logging.getLogger("tavix.log.tcl.device." + name)

    def _raw(self, lines):
        time.sleep(self.LATENCY)
        handler = self.tasklog
        handler.acquire()
        try:
            for line in lines:
                handler.stream.write(line + "\n")
            handler.flush()
        finally:
            handler.release()

    def execute(self, command):
        self.log.info("+++ %s: executing command '%s' +++", self.name, command)
        output = [line.replace("%d", str(self.number)) for line in self.OUTPUT[command]]
        self._raw([command] + output + ["%s#" % self.name])
        return output

    def configure(self, lines):
        self.log.info("+++ %s: config +++", self.name)
        self._raw(["config term", "Enter configuration commands, one per line."]
                  + lines + ["end", "%s#" % self.name])

    def ping(self, address, lost=0):
        self.log.info("+++ %s: ping +++", self.name)
        replies = "!" * (5 - lost) + "." * lost
        self._raw(["Protocol [ip]: ", "Target IP address: %s" % address, "Repeat count [5]: ",
                   "Sending 5, 100-byte ICMP Echos to %s, timeout is 2 seconds:" % address,
                   replies, "Success rate is %d percent (%d/5)" % (100 - 20 * lost, 5 - lost)])
        return lost == 0


def _collect_counters(label):
    """Runs in the forked helper process: its records go to its own log first."""
    log = logging.getLogger("tavix.qentest.testscript.demo.helper")
    log.info("helper %s: collecting interface counters", label)
    log.info("helper %s: 2 interfaces, 0 input errors, 0 output errors", label)


@contextlib.contextmanager
def _routed_warnings():
    """Warnings into the log for the job's duration, as the harness does."""
    from tavix.log import warnings as routing
    missing = object()
    saved = list(warnings.filters), warnings.showwarning, getattr(warnings, "_oldshowwarning", missing)
    routing.enable_deprecation_warnings()
    routing.enable_warnings_to_log()
    try:
        yield
    finally:
        warnings.filters[:], warnings.showwarning, old = saved
        if old is missing:
            del warnings._oldshowwarning
        else:
            warnings._oldshowwarning = old
        getattr(warnings, "_filters_mutated", lambda: None)()  # forget cached decisions


@contextlib.contextmanager
def _job_logging(workdir, console):
    """Attaches the managed handlers to the root logger for the run."""
    from tavix.log.morlan import managed_handlers
    root = logging.getLogger()
    saved = root.handlers[:], root.level
    tasklog = managed_handlers.tasklog
    tasklog.changeFile(os.path.join(workdir, LOG_NAME))
    root.handlers[:] = [tasklog] + ([managed_handlers.screen] if console else [])
    root.setLevel(logging.INFO)
    try:
        yield tasklog
    finally:
        tasklog.changeFile(None)  # closes the task log before it is archived
        root.handlers[:], level = saved
        root.setLevel(level)


def _run_script(results, tasklog, devices):
    r1, r2 = devices
    script = results.script(TASK_ID, SCRIPT_NAME, os.path.dirname(__file__),
                            "Checks the demo testbed's interfaces and reachability")
    timed = Timed()
    source = __file__

    with results.section(script, "commonSetup", "common_setup", (source, _line()),
                         counted=True) as common:
        with results.section(common.element, "subSection", "connect", (source, _line())):
            script_log.info("Connecting to %s and %s", r1.name, r2.name)
            for device in devices:
                device.execute("show version")
        with results.section(common.element, "subSection", "configure", (source, _line())):
            r1.configure(["hostname R1", "interface GigabitEthernet0/0",
                          " ip address 10.0.0.1 255.255.255.0", " no shutdown"])
            r1.log.info("+++ %s: configure command 'hostname R1' +++", r1.name)
            script_log.info("Testbed configured")

    with results.section(script, "testcase", "check_interfaces", (source, _line()),
                         description="Interfaces are up and addressed",
                         with_initinfo=True, counted=True) as testcase:
        with results.section(testcase.element, "testsection", "interfaces_up",
                             (source, _line())) as section:
            for device in devices:
                with section.step("%s interfaces" % device.name, _line()) as step:
                    output = device.execute("show ip interface brief")
                    up = [line for line in output if line.endswith("up")]
                    script_log.info("%s: %d interface(s) up", device.name, len(up))
                    with step.step("%s clock" % device.name, _line()):
                        device.execute("show clock")
        with results.section(testcase.element, "testsection", "counters",
                             (source, _line())):
            if "fork" in multiprocessing.get_all_start_methods():
                context = multiprocessing.get_context("fork")
                with tasklog.consolidate_next_forked_logfile():
                    helper = context.Process(target=_collect_counters, args=("R1",))
                    helper.start()
                    helper.join()
                script_log.info("Helper process %d merged its log (exit code %s)",
                                helper.pid, helper.exitcode)
            else:
                script_log.info("No fork on this platform: counters collected in place")
                _collect_counters("R1")

    with results.section(script, "testcase", "reachability", (source, _line()),
                         description="R1 reaches R2", with_initinfo=True,
                         counted=True) as testcase:
        with results.section(testcase.element, "subtest", "ping_r2", (source, _line()),
                             with_initinfo=True) as subtest:
            with results.section(subtest.element, "testsection", "ping",
                                 (source, _line())) as section:
                if not r1.ping("10.0.0.2", lost=1):
                    section.result = subtest.result = testcase.result = "failed"
                    script_log.error("Ping from R1 to 10.0.0.2 lost packets")
        with results.section(testcase.element, "testsection", "legacy_helpers",
                             (source, _line())):
            from tavix.voplog.utils import banner
            # The old import path still works and warns; the warning is routed
            # into the task log.
            script_log.info("\n%s", banner("reachability checked"))

    with results.section(script, "testcase", "parse_inventory", (source, _line()),
                         description="Inventory file is well formed", with_initinfo=True,
                         counted=True) as testcase:
        with results.section(testcase.element, "testsection", "parse",
                             (source, _line())) as section:
            try:
                int("R1-inventory")
            except ValueError:
                section.result = testcase.result = "errored"
                script_log.exception("Could not parse the inventory")

    with results.section(script, "commonCleanup", "common_cleanup", (source, _line()),
                         counted=True) as common:
        with results.section(common.element, "subSection", "disconnect", (source, _line())):
            for device in devices:
                device.configure(["no logging console"])
            script_log.info("Disconnected from all devices")

    results.finish_script(script, timed)


def _write_report(results, path):
    counts = ", ".join("%s %d" % item for item in results.counts.items() if item[1])
    with open(path, "w", encoding="utf-8") as report:
        report.write("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Demo report"
                     "</title></head>\n<body><h1>tavix demo job</h1><p>%s</p></body></html>\n"
                     % counts)


def _store(path, workdir, names):
    """Writes the files of `workdir` into the zip `path`, with a progress line."""
    line = ProgressLine()
    total = sum(os.path.getsize(os.path.join(workdir, name)) for name in names)
    done = 0
    try:
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zipped:
            for name in names:
                source = os.path.join(workdir, name)
                info = zipfile.ZipInfo.from_file(source, name)
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(source, "rb") as data, zipped.open(info, "w") as member:
                    while block := data.read(1 << 20):
                        member.write(block)
                        done += len(block)
                        line.transfer("Writing archive", done, total)
    finally:
        line.clear()


def _archive_path(directory, moment):
    base = directory / ("tavix_demo.%s" % moment.strftime("%Y%m%d-%H%M%S"))
    path, number = Path("%s.zip" % base), 1
    while path.exists():
        number += 1
        path = Path("%s-%d.zip" % (base, number))
    return path


def run_demo(archive_dir=None, console=True):
    """Runs the demo job and returns the path of the run archive it stored."""
    archive_dir = Path(archive_dir or USER_ARCHIVE_DIR).expanduser()
    archive_dir.mkdir(parents=True, exist_ok=True)
    moment = datetime.datetime.now()
    workdir = tempfile.mkdtemp(prefix="tavix.demo.")
    try:
        with _job_logging(workdir, console) as tasklog, _routed_warnings():
            results = ResultsWriter(tasklog, LOG_NAME, "tavix demo job",
                                    "demo-%s-1" % moment.strftime("%Y%m%d%H%M%S"))
            script_log.info("Starting the demo job")
            devices = [SimulatedDevice("R1", 1, tasklog), SimulatedDevice("R2", 2, tasklog)]
            _run_script(results, tasklog, devices)
            script_log.info("Demo job done: %s", dict(results.counts))
        results.write(workdir)
        _write_report(results, os.path.join(workdir, "report.html"))
        archive = _archive_path(archive_dir, moment)
        partial = archive.with_name(archive.name + ".part")
        _store(partial, workdir, (RESULTS_FILE, LOG_NAME, "report.html"))
        os.replace(partial, archive)  # never a half-written zip under a .zip name
        return archive
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
