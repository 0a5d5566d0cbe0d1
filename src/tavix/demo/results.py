"""Writes a run's results file, ResultsDetails.xml, while the run goes on.

Every section records the byte range of the task log that it wrote: the
size of the log file when the section began and how much it grew until the
section ended. The writer flushes the task log handler before each
measurement, so the ranges are exact and always end at a line end.
"""
import contextlib
import datetime
import os
import socket
import xml.etree.ElementTree as ET

# The format's names come from its reader.
from tavix.log.commands.parser.xml import NAMESPACE, RESULTS_FILE

RESULT_KINDS = ("pass", "fail", "errored", "aborted", "blocked", "skip", "passx")
_RESULT_KIND = {"passed": "pass", "failed": "fail", "errored": "errored", "aborted": "aborted",
                "blocked": "blocked", "skipped": "skip", "passx": "passx"}

ET.register_namespace("", NAMESPACE)


def _tag(name):
    return "{%s}%s" % (NAMESPACE, name)


def _child(parent, local_name, text=None, **attributes):
    element = ET.SubElement(parent, _tag(local_name), {k: str(v) for k, v in attributes.items()})
    if text is not None:
        element.text = str(text)
    return element


class Timed:
    """Start, stop and run time (seconds) elements of a section, script or job."""

    def __init__(self):
        self.start = datetime.datetime.now()

    def finish(self, element):
        stop = datetime.datetime.now()
        _child(element, "starttime", self.start.replace(microsecond=0).isoformat(sep=" "))
        _child(element, "stoptime", stop.replace(microsecond=0).isoformat(sep=" "))
        _child(element, "runtime", "%.2f" % (stop - self.start).total_seconds())


class Section:
    """One section (or step) being run: its result and its log range."""

    def __init__(self, writer, element, ident, source, label):
        self.writer, self.element, self.ident, self.source = writer, element, ident, source
        self.label = label
        self.result = "passed"
        self.steps = 0
        self.begin = writer.position()
        self.time = Timed()

    @contextlib.contextmanager
    def step(self, name, source_line):
        """A step of this section (steps nest: call step() on the step)."""
        self.steps += 1
        element = _child(self.ident, "step")
        step_id = "%s.%d" % (self.label, self.steps)
        _child(element, "id", step_id)
        _child(element, "name", name)
        step = Section(self.writer, element, element, (self.source[0], source_line), step_id)
        try:
            yield step
        except Exception:
            step.result = "errored"
            raise
        finally:
            step.close()
        if step.result != "passed" and self.result == "passed":
            self.result = "failed"

    def close(self):
        writer = self.writer
        size = writer.position() - self.begin
        _child(self.ident, "logfile", writer.log_name, begin=self.begin, size=size)
        xref = _child(self.ident, "xref")
        _child(xref, "file", self.source[0])
        _child(xref, "line", self.source[1])
        _child(self.element, "result", self.result)
        self.time.finish(self.element)


class ResultsWriter:
    """Builds the results tree of one job with one test script."""

    def __init__(self, tasklog_handler, log_name, job_name, job_id):
        self.handler, self.log_name = tasklog_handler, log_name
        self.root = ET.Element(_tag("qenreport"))
        self.suite = _child(self.root, "testsuite")
        info = _child(self.suite, "initinfo")
        _child(info, "name", job_name)
        _child(info, "jobid", job_id)
        _child(info, "submitter", os.environ.get("USER") or os.environ.get("LOGNAME") or "tavix")
        _child(info, "testbed", "demo-testbed")
        # The host that stands in every task log line; the viewer's command
        # scan recognises record lines by it.
        _child(info, "host", socket.gethostname())
        _child(_child(info, "vop"), "path", os.path.dirname(os.path.dirname(__file__)))
        self.job_time = Timed()
        self.execution = _child(self.suite, "jobexecution")
        self.counts = dict.fromkeys(RESULT_KINDS, 0)

    def position(self):
        """Current size of the task log, everything logged so far included."""
        self.handler.flush()
        return os.path.getsize(self.handler.logfile)

    def script(self, task_id, name, path, description):
        element = _child(self.execution, "testscript")
        info = _child(element, "initinfo")
        _child(info, "taskid", task_id)
        script = _child(info, "script")
        _child(script, "name", name)
        _child(script, "path", path)
        _child(info, "logfile", self.log_name)
        _child(info, "description", description)
        return element

    @contextlib.contextmanager
    def section(self, parent, tag, name, source, description="", with_initinfo=False,
                counted=False):
        """Runs the with-block as a section of ``tag`` below ``parent``.

        Testcases and subtests carry their identification in an initinfo
        child; the other sections carry it themselves. An exception in the
        block makes the section "errored" and propagates.
        """
        element = _child(parent, tag)
        ident = _child(element, "initinfo") if with_initinfo else element
        _child(ident, "name", name)
        _child(ident, "id", name=name)
        _child(ident, "description", description)
        section = Section(self, element, ident, source, name)
        try:
            yield section
        except Exception:
            section.result = "errored"
            raise
        finally:
            section.close()
            if counted:
                self.counts[_RESULT_KIND.get(section.result, "errored")] += 1

    def finish_script(self, element, timed):
        timed.finish(element)
        self._summary(element)

    def write(self, directory):
        self.job_time.finish(self.suite)
        self._summary(self.suite)
        path = os.path.join(directory, RESULTS_FILE)
        ET.ElementTree(self.root).write(path, encoding="utf-8", xml_declaration=True)
        return path

    def _summary(self, element):
        summary = _child(element, "summary")
        for kind in RESULT_KINDS:
            _child(summary, kind, self.counts[kind])
        applicable = sum(self.counts.values()) - self.counts["skip"]
        passed = self.counts["pass"] + self.counts["passx"]
        rate = 100.0 * passed / applicable if applicable else 0.0
        _child(summary, "success_rate", "%.2f" % rate)
