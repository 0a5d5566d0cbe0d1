"""Realistic run archives for tests and benchmarks.

A run archive is the zip a test run leaves behind: the results file
"ResultsDetails.xml", one task log per test script and whatever else the run
stored. `generate_archive` writes one with the whole section tree (scripts,
common setup and cleanup with their subsections, testcases, subtests,
testsections, nested steps) whose byte ranges point into task logs written in
the task-log line format, with device-command blocks (command, config and ping
banners followed by raw device output), multi-line records and multi-byte
text, plus an HTML report, an image, nested folders and cached bytecode.

Logs and results are streamed into the zip, so memory grows with the number
of sections, not with the size of the logs:

    info = generate_archive("run.zip", log_bytes=200_000, sections=60, seed=1)
    testcase = info.sections_of_type("testcase")[0]
    testcase.log_start, testcase.log_size, info.executions_in(testcase)

With `failure_causes=True`, failing sections and steps log why they failed:
an error drawn from a few templates with variable parts (sometimes after a
warning), a warning alone, or nothing at all; `cause` tells which.

From the command line:

    python tests/helpers/archives.py OUT.zip --log-size 1G --sections 50000 [--dense-devices] [--failure-causes]
"""

import argparse
import bisect
import datetime
import io
import json
import os
import random
import re
import struct
import sys
import uuid
import zipfile
import zlib
from dataclasses import dataclass, field
from typing import List, Optional
from xml.sax.saxutils import escape, quoteattr

from tavix.cli.progress import ProgressLine
from tavix.log.commands.parser.xml import NAMESPACE, RESULTS_FILE

__all__ = [
    "GeneratedArchive",
    "GeneratedCause",
    "GeneratedExecution",
    "GeneratedScript",
    "GeneratedSection",
    "GeneratedStep",
    "generate_archive",
    "parse_size",
    "stretch_last_section",
]


_SEVERITY = {"DEBUG": 7, "INFO": 6, "WARNING": 4, "ERROR": 3, "CRITICAL": 2}
_FAILED = ("failed", "errored", "aborted", "blocked")
_SUMMARY_KINDS = {"passed": "pass", "passx": "passx", "failed": "fail", "errored": "errored",
                  "aborted": "aborted", "blocked": "blocked", "skipped": "skip"}
_DEVICES = ("R1", "R2", "core-sw1", "édge-02")
_FILLER = (
    "Verifying interface Ethernet1/{n} on {dev}: line protocol is up",
    "Collected {n} counters from {dev} in 0.{n} s",
    "Température du châssis de {dev}: {n} °C — nominal",
    "接続を確認しています: {dev} → R{n} ✓",
    "Traffic stream {n} at 1000 pps, loss 0.00 %",
    "Waiting {n} s for the routing table of {dev} to settle…",
    "Neighbour {dev} reports {n} prefixes (Δ=0)",
    "Checking «ospf» adjacency {n} on {dev}: FULL",
)
_RAW_OUTPUT = (
    "Tavix OS Software, Version 7.{n}.2",
    "Uptime is {n} weeks, 3 days, 2 hours",
    "Interface              IP-Address      OK? Method Status                Protocol",
    "Ethernet1/{n}           10.0.{n}.1        YES manual up                    up",
    "  5 minute input rate {n}000 bits/sec, {n} packets/sec",
    "Beschreibung: Übergang zum Kernnetz — Größe {n}",
    "  Last clearing of counters never; {n} input errors",
)
# Kinds of device blocks, as often as suites run them.
_DENSE_KINDS = ("execute", "execute", "config", "configure", "ping")


# Causes of failures; each field is filled with a fresh value per failure.
_ERROR_CAUSES = (
    "BGP neighbor {ipv4} (AS {n}) on '{device}' never came up after {n} seconds",
    "Timeout after {n} s waiting for the prompt of device \"{device}\" (session {uuid})",
    "Configuration rejected by '{device}' at {date} {time}: line {n}: '{command}'",
    "Traffic loss of {n}.{n}% on stream 0x{hex} exceeds the threshold of {n}%",
    "IPv6 ping to {ipv6} failed: {n}/{n} packets lost since {date}T{time}",
)
_WARNING_CAUSES = (
    "Retrying the connection to {ipv4} on port {n}, attempt {n} of {n}",
    "Counters of «{device}» did not settle within {n}.{n} s",
)
_COMMANDS = ("interface Ethernet1/1 mtu 9216", "router bgp 65000", "no shutdown", "ip address 10.1.1.1 255.255.255.0")


def parse_size(text):
    """Parses a byte count such as "1G", "500M", "64k" or "1048576"."""
    match = re.fullmatch(r"\s*(\d+)\s*([kKmMgG]?)[bB]?\s*", str(text))
    if not match:
        raise ValueError(f"not a size: {text!r}")
    factor = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}[match.group(2).lower()]
    return int(match.group(1)) * factor


@dataclass
class GeneratedCause:
    """What a failing section or step logged about its failure.

    `kind` is "error" (an error line, `warning_first` when a warning came
    before it), "warning" (only a warning) or "silent" (neither); `template`
    is the index of the message template in its kind's list.
    """

    kind: str
    template: Optional[int] = None
    message: Optional[str] = None
    severity: Optional[int] = None
    warning_first: bool = False


@dataclass
class GeneratedStep:
    """A step of a section (steps nest; `depth` is 0 directly in the section)."""

    step_id: str
    step_name: str
    depth: int
    log_start: int = 0
    log_size: int = 0
    children: list = field(default_factory=list, repr=False)
    result: str = "passed"
    cause: Optional[GeneratedCause] = None
    start_time: str = ""
    stop_time: str = ""


@dataclass
class GeneratedExecution:
    """A device-command banner in a task log.

    `execute_type` is normalised (execute, config or ping); `title` is the
    command, the ping target, or None for a config block or a ping without a
    target line. `line` and `position` locate the banner in the whole log:
    its index among the log's lines and its byte position.
    """

    # Dense logs hold hundreds of thousands of these (slots by hand: the
    # dataclass option needs Python 3.10).
    __slots__ = ("device", "execute_type", "title", "line", "position")

    device: str
    execute_type: str
    title: Optional[str]
    line: int
    position: int


@dataclass
class GeneratedSection:
    """A section as the results file describes it.

    `log_start` and `log_size` are the byte range in `log_file` (the script
    spans its whole log: 0 and -1); `first_line` is the index of the range's
    first line in the log. `parents` are the sequence numbers of its
    ancestors. `invalid_utf8` marks sections holding bytes that are not UTF-8.
    `cause` is set on failing sections with nothing failing below them when
    the archive was made with failure causes. The times are those of the log's
    first and last lines of the section.
    """

    sequence_number: int
    section_type: str
    section_name: str
    section_id: str
    log_file: str
    parents: List[int]
    result: str
    tag: str = ""
    log_start: int = 0
    log_size: int = -1
    first_line: int = 0
    source_line: int = 0
    steps: List[GeneratedStep] = field(default_factory=list)
    invalid_utf8: bool = False
    children: list = field(default_factory=list, repr=False)
    cause: Optional[GeneratedCause] = None
    start_time: str = ""
    stop_time: str = ""

    @property
    def all_steps(self):
        """The section's steps in pre-order, nested ones included."""
        found = []

        def walk(steps):
            for step in steps:
                found.append(step)
                walk(step.children)

        walk(self.steps)
        return found


@dataclass
class GeneratedScript:
    """One test script: its task log and its sections in pre-order."""

    task_id: str
    name: str
    path: str
    log_file: str
    log_size: int = 0
    line_count: int = 0
    sections: List[GeneratedSection] = field(default_factory=list)
    executions: List[GeneratedExecution] = field(default_factory=list, repr=False)
    summary: dict = field(default_factory=dict)


@dataclass
class GeneratedArchive:
    """What `generate_archive` wrote, for tests and benchmarks to check against."""

    path: str
    host: str
    job_id: str
    result_id: str
    suite_name: str
    scripts: List[GeneratedScript]
    summary: dict
    files: List[str]
    members: List[str]

    @property
    def sections(self):
        """All sections of all scripts in record order."""
        return [section for script in self.scripts for section in script.sections]

    def sections_of_type(self, section_type):
        return [s for s in self.sections if s.section_type == section_type]

    def script_of(self, section):
        return next(script for script in self.scripts if script.log_file == section.log_file)

    def executions_in(self, section):
        """The device commands whose banners lie in the section's byte range.

        Every generated block is closed by a record line inside its section, so
        these are exactly the executions a scan of the section finds. The
        index of a banner among the section's lines is `line - first_line`.
        """
        script = self.script_of(section)
        positions = [e.position for e in script.executions]
        end = script.log_size if section.log_size <= 0 else section.log_start + section.log_size
        low = bisect.bisect_left(positions, section.log_start)
        high = bisect.bisect_left(positions, end)
        return script.executions[low:high]


class _TaskLog:
    """Writes task-log lines to a binary stream, tracking byte and line positions."""

    def __init__(self, stream, host, rng, pid, report=None):
        self.stream = stream
        self.report = report  # called with the position after every write
        self.host = host
        self.rng = rng
        self.tags = f"%[pid={pid}][pname=MainProcess]"
        self.position = 0
        self.lines = 0
        self.seq = 0
        self.clock = datetime.datetime(2026, 12, 7, 11, 53, 13)
        self.stamp = self.clock.strftime("%Y-%m-%dT%H:%M:%S")
        self.executions = []
        self._pending = []
        self._pending_bytes = 0

    def _put(self, data):
        self._pending.append(data)
        self._pending_bytes += len(data)
        self.position += len(data)
        self.lines += 1
        if self._pending_bytes >= 1 << 20:
            self.flush()

    def flush(self):
        if self._pending:
            self.stream.write(b"".join(self._pending))
            self._pending = []
            self._pending_bytes = 0
            if self.report:
                self.report(self.position)

    def time_text(self):
        return self.clock.strftime("%Y-%m-%d %H:%M:%S")

    def _tick(self):
        if self.rng.random() < 0.05:
            self.clock += datetime.timedelta(seconds=1)
            self.stamp = self.clock.strftime("%Y-%m-%dT%H:%M:%S")

    def record(self, message, level="INFO", app="SCRIPT"):
        """One log record: one line per message line, each with its header."""
        self._tick()
        self.seq += 1
        head = f": {self.host}: {self.stamp}: %{app}-{_SEVERITY[level]}-{level}: {self.tags}"
        parts = message.split("\n")
        if len(parts) == 1:
            self._put(f"{self.seq}{head}: {message}\n".encode())
            return
        parent = self.seq
        for index, part in enumerate(parts, 1):
            if index > 1:
                self.seq += 1
            tag = f"[part={parent}.{index}/{len(parts)}]"
            self._put(f"{self.seq}{head}{tag}: {part}\n".encode())

    def raw(self, line):
        """A line of device output, without the record header."""
        self._put(line if isinstance(line, bytes) else line.encode() + b"\n")

    def banner(self, device, kind, command=None):
        """A device-command banner record; returns its execution."""
        if command is None:
            message = f"+++ {device}: {kind} +++"
        else:
            message = f"+++ {device}: {kind} command '{command}' +++"
        execute_type = {"executing": "execute", "configure": "config"}.get(kind, kind)
        execution = GeneratedExecution(device, execute_type, command, self.lines, self.position)
        self.record(message, app="DEVICE")
        self.executions.append(execution)
        return execution


def _cause_message(template, rng):
    """The template with a fresh value in each field, a blank sometimes doubled."""
    values = {
        "n": lambda: str(rng.randint(0, 99999)),
        "ipv4": lambda: ".".join(str(rng.randint(1, 254)) for _ in range(4)),
        "ipv6": lambda: "2001:db8:%x:%x::%x" % (rng.getrandbits(16), rng.getrandbits(16), rng.randint(1, 0xFFFF)),
        "uuid": lambda: str(uuid.UUID(int=rng.getrandbits(128), version=4)),
        "hex": lambda: "%x" % rng.getrandbits(32),
        "device": lambda: rng.choice(_DEVICES),
        "date": lambda: "2026-%02d-%02d" % (rng.randint(1, 12), rng.randint(1, 28)),
        "time": lambda: "%02d:%02d:%02d" % (rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)),
        "command": lambda: rng.choice(_COMMANDS),
    }
    message = re.sub(r"\{(\w+)\}", lambda m: values[m.group(1)](), template)
    if rng.random() < 0.3:
        blanks = [i for i, c in enumerate(message) if c == " "]
        at = rng.choice(blanks)
        message = message[:at] + rng.choice(("  ", "\t ")) + message[at + 1:]
    return message


class _Writer:
    def __init__(self, rng, host, invalid_utf8, dense_devices=False, failure_causes=False, seed=0):
        self.rng = rng
        self.host = host
        self.invalid_utf8 = invalid_utf8
        self.dense_devices = dense_devices
        self.counter = 0
        # Causes draw from their own generator: without them, archives stay
        # exactly as they were.
        self.causes = random.Random(f"causes-{seed}") if failure_causes else None
        self.quiet = 0  # inside a failing node: no stray warnings or errors

    # -- plan -----------------------------------------------------------------

    def plan_script(self, index, count, log_file):
        rng = self.rng
        left = [count - 1]
        seq = [0]

        def node(section_type, name, section_id, parents, tag, result="passed"):
            seq[0] += 1
            return GeneratedSection(seq[0], section_type, name, section_id, log_file, list(parents),
                                    result, tag=tag, source_line=rng.randint(10, 900))

        def take():
            if left[0] <= 0:
                return False
            left[0] -= 1
            return True

        name = f"script_{index}.py"
        script = GeneratedSection(0, "testscript", name, f"Task-{index}", log_file, [], "", tag="testscript")
        nodes = [script]
        # Sequence numbers are made relative to the script and shifted later.
        top = [0]
        if take():
            setup = node("commonSetup", "commonSetup", "common_setup", top, "commonSetup")
            script.children.append(setup)
            for sub in ("connect", "configure_interfaces"):
                if take():
                    setup.children.append(node("subsection", sub, sub, top + [setup.sequence_number],
                                               "subSection"))
        reserve = 2 if left[0] >= 4 else 0
        left[0] -= reserve
        number = 0
        while left[0] > 0:
            number += 1
            take()
            result = rng.choice(("passed",) * 6 + ("failed", "errored", "skipped", "passx"))
            if self.causes and result == "errored" and self.causes.random() < 0.5:
                result = self.causes.choice(("aborted", "blocked"))
            title = "Vérification_débit" if number % 7 == 3 else f"InterfaceBringUp{number}"
            if number % 11 == 5:
                title = f"Routes <v4> & <v6> {number}"
            case = node("testcase", title, f"tc_{number:04d}", top, "testcase", result)
            script.children.append(case)
            chain = top + [case.sequence_number]
            for sub_number in range(rng.choice((0, 0, 1, 2))):
                if not take():
                    break
                subtest = node("subtest", f"{title}[vlan={100 + sub_number}]", f"{case.section_id}.{sub_number}",
                               chain, "subtest", result)
                case.children.append(subtest)
                for ts in range(rng.randint(1, 2)):
                    if not take():
                        break
                    subtest.children.append(
                        self.testsection(node, ts, chain + [subtest.sequence_number], result))
            for ts in range(rng.randint(1, 3)):
                if not take():
                    break
                case.children.append(self.testsection(node, ts, chain, result))
        left[0] += reserve
        if take():
            cleanup = node("commonCleanup", "commonCleanup", "common_cleanup", top, "commonCleanup")
            script.children.append(cleanup)
            if take():
                cleanup.children.append(node("subsection", "disconnect", "disconnect",
                                             top + [cleanup.sequence_number], "subSection"))

        def walk(section):
            for child in section.children:
                nodes.append(child)
                walk(child)

        walk(script)
        if self.causes:
            for section in nodes:
                self.fail_steps(section)
            self.assign_causes(script)
        return nodes

    def fail_steps(self, section):
        """Makes a step of some failing sections fail too, with its enclosing steps."""
        if section.result not in _FAILED or not section.steps or self.causes.random() < 0.4:
            return
        paths = []

        def walk(steps, path):
            for step in steps:
                paths.append(path + [step])
                walk(step.children, path + [step])

        walk(section.steps, [])
        for step in self.causes.choice(paths):
            step.result = section.result

    def new_cause(self):
        rng = self.causes
        roll = rng.random()
        if roll < 0.15:
            return GeneratedCause("silent")
        if roll < 0.3:
            template = rng.randrange(len(_WARNING_CAUSES))
            return GeneratedCause("warning", template, _cause_message(_WARNING_CAUSES[template], rng), 4)
        template = rng.randrange(len(_ERROR_CAUSES))
        return GeneratedCause("error", template, _cause_message(_ERROR_CAUSES[template], rng),
                              rng.choice((3, 3, 2)), warning_first=rng.random() < 0.3)

    def assign_causes(self, node):
        """Gives a cause to every failing node with nothing failing below it;
        returns whether anything at or below `node` failed."""
        below = False
        for step in getattr(node, "steps", []):
            below = self.assign_causes(step) or below
        for child in node.children:
            below = self.assign_causes(child) or below
        failing = node.result in _FAILED
        if failing and not below:
            node.cause = self.new_cause()
        return failing or below

    def write_cause(self, log, cause):
        if cause.kind == "silent":
            return
        if cause.kind == "error" and cause.warning_first:
            log.record(_cause_message(self.causes.choice(_WARNING_CAUSES), self.causes), level="WARNING")
        level = {4: "WARNING", 3: "ERROR", 2: "CRITICAL"}[cause.severity]
        log.record(cause.message, level=level)

    def testsection(self, node, index, parents, result):
        tag = ("setupsection", "testsection", "cleanupsection")[min(index, 2)]
        section = node("testsection", f"{tag}_{index}", f"{tag}_{index}", parents, tag,
                       result if index else "passed")
        self.counter += 1
        if self.counter == 1:
            # The first testsection always carries a step tree three deep.
            section.steps = [GeneratedStep("1", "Configure the interfaces", 0, children=[
                GeneratedStep("1.1", "Push the configuration", 1, children=[
                    GeneratedStep("1.1.1", "Commit — «candidate»", 2)]),
                GeneratedStep("1.2", "Verify the configuration", 1)])]
        else:
            for number in range(1, self.rng.choice((0, 1, 1, 2)) + 1):
                children = [GeneratedStep(f"{number}.1", "Nested check", 1)] if self.rng.random() < 0.3 else []
                section.steps.append(GeneratedStep(str(number), f"Step {number} of {tag}", 0, children=children))
        return section

    # -- task log -------------------------------------------------------------

    def filler(self, log, budget, section):
        rng = self.rng
        start = log.position
        while log.position - start < budget:
            if self.dense_devices:
                # A device command, most often followed by a record of the
                # script's own: about 650 bytes a command.
                self.device_block(log, rng.choice(_DENSE_KINDS), section)
                if rng.random() < 0.4:
                    continue
            text = rng.choice(_FILLER).format(n=rng.randint(1, 48), dev=rng.choice(_DEVICES))
            roll = rng.random()
            if roll < 0.04:
                log.record(f"{text}\nDetails:\n  {rng.choice(_RAW_OUTPUT).format(n=3)}",
                           level="INFO" if self.quiet else "WARNING")
            elif roll < 0.05:
                log.record(f"Unexpected answer from {rng.choice(_DEVICES)}", level="INFO" if self.quiet else "ERROR")
            else:
                log.record(text, level="DEBUG" if roll > 0.9 else "INFO")

    def device_block(self, log, kind, section):
        rng = self.rng
        device = rng.choice(_DEVICES)
        if kind == "execute":
            command = rng.choice(("show version", "show interfaces 'Ethernet1/1' | include rate",
                                  "show ip route vrf grün"))
            log.banner(device, rng.choice(("executing", "execute")), command)
            for _ in range(rng.randint(3, 12)):
                log.raw(rng.choice(_RAW_OUTPUT).format(n=rng.randint(1, 9)))
        elif kind == "configure":
            log.banner(device, "configure", f"hostname {device}")
            log.raw(f"{device}(config)#hostname {device}")
        elif kind == "config":
            log.banner(device, "config")
            for number in range(rng.choice((2, 9, 14))):
                log.raw(f"{device}(config)#interface Ethernet1/{number}")
        else:
            execution = log.banner(device, "ping")
            log.raw(f"{device}#ping")
            log.raw("Protocol [ip]:")
            if rng.random() < 0.7:
                address = f"10.0.{rng.randint(0, 9)}.{rng.randint(1, 254)}"
                execution.title = address
                log.raw(f"Target IP address: {address}")
                log.raw("Target IP address: 10.9.9.9")
            log.raw("Repeat count [5]:")
            log.raw("Success rate is 100 percent (5/5)")
        if self.invalid_utf8 and not section.invalid_utf8 and rng.random() < 0.5:
            section.invalid_utf8 = True
            log.raw(b"garbled output \xff\xfe from the console \xc3(\n")
        log.record(f"Device command on {device} done")

    def write_steps(self, log, steps, budget, section):
        for step in steps:
            step.log_start = log.position
            step.start_time = log.time_text()
            self.quiet += step.cause is not None
            log.record(f"Starting STEP {step.step_id}: {step.step_name}")
            if step.cause:
                self.write_cause(log, step.cause)
            self.filler(log, budget, section)
            self.write_steps(log, step.children, budget, section)
            log.record(f"STEP {step.step_id}: {step.step_name} - {step.result}")
            self.quiet -= step.cause is not None
            step.log_size = log.position - step.log_start
            step.stop_time = log.time_text()

    def write_section(self, log, section):
        rng = self.rng
        # Each section takes an equal share of what is left of the target
        # size, so the log ends close to it whatever the headers cost.
        budget = max(0, (self.target - log.position) // max(1, self.remaining))
        self.remaining -= 1
        section.log_start = log.position
        section.first_line = log.lines
        section.start_time = log.time_text()
        self.quiet += section.cause is not None
        kind = section.section_type
        log.record(f"+{'-' * 60}+\n|{('Starting ' + kind + ' ' + section.section_name).center(60)}|\n"
                   f"+{'-' * 60}+")
        blocks = []
        if kind == "subsection" and section.section_name == "connect":
            blocks = ["execute", "config"]
        elif kind == "testsection":
            blocks = [rng.choice(_DENSE_KINDS) for _ in range(rng.choice((0, 1, 1, 2, 3)))]
        own = max(0, budget - 400)
        self.filler(log, own // 2, section)
        if section.cause:
            self.write_cause(log, section.cause)
        for block in blocks:
            self.device_block(log, block, section)
        if section.steps:
            self.write_steps(log, section.steps, own // 8, section)
        self.filler(log, own - own // 2, section)
        for child in section.children:
            self.write_section(log, child)
        log.record(f"The result of {kind} {section.section_name} is => {section.result.upper()}")
        self.quiet -= section.cause is not None
        section.log_size = log.position - section.log_start
        section.stop_time = log.time_text()

    def write_log(self, stream, script, nodes, log_bytes, pid, report=None):
        log = _TaskLog(stream, self.host, self.rng, pid, report)
        self.target = log_bytes
        self.remaining = len(nodes)
        root = nodes[0]
        root.start_time = log.time_text()
        log.record(f"Starting the task {script.task_id}\nScript: {script.name}\nHost: {self.host}")
        self.filler(log, log_bytes // len(nodes) // 2, root)
        self.remaining -= 1
        for child in root.children:
            self.write_section(log, child)
        log.record(f"Task {script.task_id} ended")
        root.stop_time = log.time_text()
        log.flush()
        root.log_start, root.log_size, root.first_line = 0, -1, 0
        script.log_size = log.position
        script.line_count = log.lines
        script.executions = log.executions


def _xml_text(tag, text):
    return f"<{tag}>{escape(str(text))}</{tag}>"


def _xml_logfile(name, start, size):
    return f"<logfile begin=\"{start}\" size=\"{size}\">{escape(name)}</logfile>"


def _xml_steps(steps, source):
    parts = []
    for step in steps:
        parts.append(
            f"<step>{_xml_text('id', step.step_id)}{_xml_text('name', step.step_name)}"
            f"{_xml_times(step)}"
            f"{_xml_logfile(source.log_file, step.log_start, step.log_size)}"
            f"<xref><file>/ws/tests/script.py</file><line>{source.source_line + 1}</line></xref>"
            f"{_xml_steps(step.children, source)}</step>")
    return "".join(parts)


def _xml_identification(section):
    return (f"{_xml_text('name', section.section_name)}<id name={quoteattr(section.section_id)}/>"
            f"<description>{escape(section.section_type)} {escape(section.section_name)}</description>"
            f"{_xml_logfile(section.log_file, section.log_start, section.log_size)}"
            f"<xref><file>/ws/tests/script.py</file><line>{section.source_line}</line></xref>"
            f"{_xml_steps(section.steps, section)}")


def _run_time(node):
    start, stop = (datetime.datetime.strptime(t, "%Y-%m-%d %H:%M:%S") for t in (node.start_time, node.stop_time))
    return f"{(stop - start).total_seconds():.2f}"


def _xml_times(node):
    return (f"<result>{escape(node.result)}</result><starttime>{node.start_time}</starttime>"
            f"<stoptime>{node.stop_time}</stoptime><runtime>{_run_time(node)}</runtime>")


def _write_xml_section(out, section):
    """Writes the section's element; returns the number of sections in it."""
    if section.section_type in ("testcase", "subtest"):
        out.write(f"<{section.tag}><initinfo>{_xml_identification(section)}</initinfo>"
                  f"{_xml_times(section)}")
    else:
        out.write(f"<{section.tag}>{_xml_identification(section)}{_xml_times(section)}")
    written = 1
    for child in section.children:
        written += _write_xml_section(out, child)
    out.write(f"</{section.tag}>\n")
    return written


def _xml_summary(summary):
    return "<summary>" + "".join(_xml_text(k, v) for k, v in summary.items()) + "</summary>"


def _summary_of(sections):
    counts = {kind: 0 for kind in _SUMMARY_KINDS.values()}
    for section in sections:
        if section.section_type == "testcase":
            counts[_SUMMARY_KINDS[section.result]] += 1
    total = sum(counts.values())
    applicable = total - counts["skip"]
    rate = 100.0 * (counts["pass"] + counts["passx"]) / applicable if applicable else 0.0
    counts["success_rate"] = f"{rate:.2f}"
    return counts


def _png(width=16, height=16):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(b"\x00" + b"".join(bytes((x * 16 % 256, y * 16 % 256, 160)) for x in range(width))
                    for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


def _extra_files(info):
    rows = "".join(f"<tr><td>{escape(s.section_name)}</td><td>{escape(s.result)}</td></tr>"
                   for s in info.sections if s.section_type == "testcase")
    report = (f"<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Run {escape(info.job_id)}</title>"
              f"</head>\n<body><h1>Résultats du job {escape(info.job_id)}</h1>\n<table>{rows}</table>\n"
              f"</body></html>\n")
    config = "\n".join(f"interface Ethernet1/{n}\n description uplink → core {n}\n no shutdown"
                       for n in range(1, 6)) + "\n"
    env = {"host": info.host, "job_id": info.job_id, "scripts": [s.name for s in info.scripts]}
    return [
        ("report.html", report.encode()),
        ("images/topology.png", _png()),
        ("configs/R1/running-config.txt", config.encode()),
        ("configs/R2/running-config.txt", config.replace("core", "edge").encode()),
        ("env.json", json.dumps(env, ensure_ascii=False, indent=2).encode()),
        ("README", "Archive of a tavix run.\nLes journaux sont dans TaskLog.*\n".encode()),
        ("scripts/helpers.py", b"def helper():\n    return 42\n"),
        ("scripts/__pycache__/helpers.cpython-311.pyc", b"\xa7\r\r\n" + bytes(range(64))),
        ("__pycache__/conftest.cpython-311.pyc", b"\xa7\r\r\n" + bytes(range(32))),
    ]


def generate_archive(path, log_bytes=1 << 20, sections=50, seed=0, scripts=2, invalid_utf8=False,
                     host="lab-host1", compresslevel=1, dense_devices=False, failure_causes=False,
                     progress=None):
    """Writes a run archive to `path` and returns a `GeneratedArchive`.

    `log_bytes` is the approximate total size of the task logs and `sections`
    the number of sections, both shared out evenly over `scripts` test scripts
    (each script has at least its own section). The same `seed` gives the same
    archive. With `invalid_utf8`, some device output holds bytes that are not
    UTF-8 (such sections have `invalid_utf8` set). With `dense_devices`, the
    logs are dense device output, as interface and routing suites write: a
    device command about every 650 bytes of every section, so a script of
    200 MB holds some 300,000 of them. With `failure_causes`, failing sections
    and steps log their causes (see `GeneratedCause`) and some errored results
    become aborted or blocked.

    `progress`, if given, is called as progress(stage, done, total) while the
    archive is written: stage "logs" with the bytes of task log written and
    the size expected, then "results" with the sections written and `sections`.
    """
    if scripts < 1:
        raise ValueError("an archive needs at least one script")
    if sections < scripts:
        raise ValueError("every script needs at least its own section")
    rng = random.Random(seed)
    writer = _Writer(rng, host, invalid_utf8, dense_devices, failure_causes, seed)
    run = rng.randint(100000, 99999999)
    job_id = f"tavix{run}-1-{rng.randint(100000, 999999)}-nightly"
    generated = []
    members = []
    large = log_bytes >= 1 << 30
    report = progress or (lambda stage, done, total: None)
    logged = 0  # bytes in the task logs of the scripts written so far

    def report_logs(done):
        # Headers make small sections outgrow their share: the target is an estimate.
        report("logs", done, max(done, log_bytes))
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=compresslevel,
                         allowZip64=True) as archive:
        sequence = 0
        for index in range(1, scripts + 1):
            count = sections // scripts + (1 if index <= sections % scripts else 0)
            script = GeneratedScript(f"Task-{index}", f"script_{index}.py", "/ws/tests/suite",
                                     f"TaskLog.Task-{index}")
            nodes = writer.plan_script(index, count, script.log_file)
            for node in nodes:
                node.sequence_number += sequence + 1
                node.parents = [p + sequence + 1 for p in node.parents]
            sequence += len(nodes)
            with archive.open(script.log_file, "w", force_zip64=large) as stream:
                writer.write_log(stream, script, nodes, log_bytes // scripts, pid=4242 + index,
                                 report=lambda position: report_logs(logged + position))
            logged += script.log_size
            members.append(script.log_file)
            script.sections = nodes
            script.summary = _summary_of(nodes)
            generated.append(script)

        job_summary = {}
        for script in generated:
            for key, value in script.summary.items():
                if key != "success_rate":
                    job_summary[key] = job_summary.get(key, 0) + value
        applicable = sum(job_summary.values()) - job_summary["skip"]
        passed = job_summary["pass"] + job_summary["passx"]
        job_summary["success_rate"] = f"{100.0 * passed / applicable if applicable else 0.0:.2f}"

        info = GeneratedArchive(str(path), host, job_id, str(run), "nightly_regression", generated,
                                job_summary, [], members)
        with archive.open(RESULTS_FILE, "w") as binary:
            out = io.TextIOWrapper(binary, encoding="utf-8", newline="\n")
            out.write(f"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ResultsDetails xmlns=\"{NAMESPACE}\">\n"
                      f"<testsuite><initinfo>{_xml_text('name', info.suite_name)}{_xml_text('jobid', job_id)}"
                      f"<submitter>jdoe</submitter><testbed>lab-tb-7</testbed>{_xml_text('host', host)}"
                      f"<vop><path>/ws/vop/tree</path></vop></initinfo>"
                      f"<starttime>2026-12-07 11:53:13</starttime><stoptime>2026-12-07 14:02:44</stoptime>"
                      f"<runtime>2:09:31</runtime>{_xml_summary(job_summary)}\n<jobexecution>\n")
            done = 0
            for script in generated:
                done += 1
                out.write(f"<testscript><initinfo>{_xml_text('taskid', script.task_id)}"
                          f"<script>{_xml_text('name', script.name)}{_xml_text('path', script.path)}</script>"
                          f"{_xml_text('logfile', script.log_file)}"
                          f"<description>Script {escape(script.name)} — généré</description></initinfo>"
                          f"<starttime>{script.sections[0].start_time}</starttime>"
                          f"<stoptime>{script.sections[0].stop_time}</stoptime>"
                          f"<runtime>{_run_time(script.sections[0])}</runtime>{_xml_summary(script.summary)}\n")
                for child in script.sections[0].children:
                    done += _write_xml_section(out, child)
                    report("results", done, sections)
                out.write("</testscript>\n")
            out.write("</jobexecution>\n</testsuite>\n</ResultsDetails>\n")
            out.flush()
            out.detach()
        members.append(RESULTS_FILE)
        for name, data in _extra_files(info):
            archive.writestr(name, data)
            info.files.append(name)
            members.append(name)
    return info


def stretch_last_section(archive, copies):
    """Makes the last section of an opened archive's first script run over
    its task log written `copies` more times: a scan of it takes seconds.
    Returns the section's record."""
    record = archive.results.scripts[0]["sections"][-1]
    section = archive.results.get_section(record["id"])
    with open(section.logfile, "rb") as f:
        text = f.read()
    with open(section.logfile, "ab") as f:
        for _ in range(copies):
            f.write(text)
    section.log_start, section.log_size = 0, -1
    return record


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python tests/helpers/archives.py",
        description="Writes a realistic run archive (zip) for tests and benchmarks.\n"
                    "On a terminal, a progress line shows how far the writing is.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", help="path of the zip file to write")
    parser.add_argument("--log-size", default="1M", help="total size of the task logs, e.g. 64M or 1G")
    parser.add_argument("--sections", type=int, default=50, help="number of sections over all scripts")
    parser.add_argument("--scripts", type=int, default=None,
                        help="number of test scripts (default: 1 for logs of 1G and more, else 2)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--invalid-utf8", action="store_true", help="put some non-UTF-8 bytes into the logs")
    parser.add_argument("--dense-devices", action="store_true",
                        help="dense device output: a device command about every 650 bytes of log")
    parser.add_argument("--failure-causes", action="store_true",
                        help="make failing sections and steps log a cause drawn from a few templates")
    args = parser.parse_args(argv)
    log_bytes = parse_size(args.log_size)
    scripts = args.scripts or (1 if log_bytes >= 1 << 30 else 2)
    line = ProgressLine()

    def show(stage, done, total):
        if stage == "logs":
            line.transfer("Writing task logs", done, total)
        else:
            line.show(f"Writing results: {done:,} of {total:,} sections")

    try:
        info = generate_archive(args.out, log_bytes=log_bytes, sections=args.sections, seed=args.seed,
                                scripts=scripts, invalid_utf8=args.invalid_utf8,
                                dense_devices=args.dense_devices, failure_causes=args.failure_causes,
                                progress=show if line.active else None)
    finally:
        line.clear()
    size = os.path.getsize(args.out)
    print(f"{args.out}: {len(info.sections)} sections in {len(info.scripts)} scripts, "
          f"logs {sum(s.log_size for s in info.scripts)} bytes, zip {size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
