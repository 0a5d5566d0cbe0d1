"""A small run archive and a stand-in for the opened Archive, shared by the
server, browser and load tests.

The stand-in follows the reading interface the server relies on (``results``
with ``meta``/``scripts``/``summary``/``get_section``/``get_task_names``,
``listdir``, ``read_file``, ``dir``, ``file``), with byte-based log pages. It
lets the server be tested on its own; ``open_archive`` prefers the real
``Archive`` when it is importable and can open the generated zip.
"""

import asyncio
import collections
import contextlib
import os
import socket
import threading
import uuid
import zipfile

from aiohttp import web

HOST = "tb-host01"


def record_line(seq, message, time="10:00:00", sev="%TAVIX-6-INFO"):
    return f"{seq}: {HOST}: 2026-03-01T{time}: {sev}: [pid 42]: {message}\n"


def build_task_log(lines_per_section=(30, 400, 20, 60)):
    """The task log text and one (start, size) byte range per section."""
    chunks, ranges, seq, pos = [], [], 1, 0
    for index, count in enumerate(lines_per_section):
        start = pos
        for n in range(count):
            if n == 3:
                line = record_line(seq, f"+++ R{index}: executing command 'show version' +++")
                line += "Cisco-like output line one\nversion 1.2.3 ÄÖÜ ✓\n"
            elif n == 9:
                line = record_line(seq, f"+++ R{index}: config +++") + "hostname R1\n"
            elif n % 7 == 0:
                line = record_line(seq, f"section {index} warning {n} – naïve", sev="%TAVIX-4-WARNING")
            elif n % 11 == 0:
                line = record_line(seq, f"section {index} failure {n}", sev="%TAVIX-3-ERROR")
            else:
                line = record_line(seq, f"section {index} message {n} " + "x" * (n % 50))
            seq += 1
            chunks.append(line)
            pos += len(line.encode())
        ranges.append((start, pos - start))
    return "".join(chunks), ranges


def write_archive_tree(root):
    """Writes the files of a small run into `root`; returns the section ranges."""
    text, ranges = build_task_log()
    os.makedirs(os.path.join(root, "reports"), exist_ok=True)
    os.makedirs(os.path.join(root, "sub", "deeper"), exist_ok=True)
    with open(os.path.join(root, "TaskLog.demo"), "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    with open(os.path.join(root, "reports", "report.html"), "w") as f:
        f.write("<html><body><h1>Run report</h1></body></html>")
    with open(os.path.join(root, "reports", "summary.pdf"), "wb") as f:
        f.write(b"%PDF-1.4\n%%EOF\n")
    with open(os.path.join(root, "image.png"), "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
    with open(os.path.join(root, "sub", "deeper", "notes.txt"), "w") as f:
        f.write("first\nsecond\n")
    with open(os.path.join(root, "ResultsDetails.xml"), "w") as f:
        f.write("<report/>")
    return ranges


def make_zip(path, root):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for folder, _, files in os.walk(root):
            for name in files:
                full = os.path.join(folder, name)
                archive.write(full, os.path.relpath(full, root))
    return path


class StandInSection(collections.UserDict):
    def __init__(self, archive, record):
        self.data = record
        self.archive = archive
        self.log_start = int(record["log_start"])
        self.log_size = int(record["log_size"])
        self.logfile = os.path.join(archive.dir, record["log_file"])
        self._executions = None

    def __hash__(self):
        return id(self)

    def read_logs(self, offset=0, limit=0):
        if self.log_size <= 0:
            self.log_size = os.stat(self.logfile).st_size
        if offset >= self.log_size:
            return None
        limit = min(limit, self.log_size - offset)
        with open(self.logfile, "rb") as f:
            f.seek(self.log_start + offset)
            raw = f.read(limit + 4)
        # A character belongs to the page where its first byte lies.
        begin = 0
        while begin < len(raw) and begin < limit and (raw[begin] & 0xC0) == 0x80:
            begin += 1
        end = limit
        while end < len(raw) and (raw[end] & 0xC0) == 0x80:
            end += 1
        return raw[begin:end].decode("utf-8", "replace")

    @property
    def child_execute(self):
        if self._executions is None:
            self._executions = {}
            with open(self.logfile, encoding="utf-8", newline="\n") as f:
                f.seek(self.log_start)
                lines = f.read(self.log_size).splitlines(True)
            current = None
            for i, line in enumerate(lines):
                is_record = HOST in line and len(line.split(": ")) > 4
                if current and is_record:
                    current["end_line"] = i
                    self._executions[current["execute_id"]] = current
                    current = None
                if is_record and "+++" in line:
                    message = line.split("]: ", 1)[1].strip().strip("+ ")
                    device, rest = message.split(": ", 1)
                    current = {"execute_id": str(uuid.uuid4()), "device": device,
                               "start_time": "10:00:00", "start_line": i, "lines": lines}
                    if "command" in rest:
                        current["title"] = rest.split("'")[1]
                        current["execute_type"] = "execute"
                    else:
                        current["execute_type"] = rest
                        current["logs"] = line.rstrip()
        return self._executions

    def all_executions(self):
        keys = ["execute_id", "title", "execute_type", "device", "start_time", "logs"]
        return [{k: e[k] for k in keys if k in e} for e in self.child_execute.values()]

    def get_execution(self, execution_uuid):
        found = self.child_execute.get(execution_uuid)
        if found is None:
            return None
        return StandInExecution(found)


class StandInExecution:
    def __init__(self, found):
        self._found = found

    def read_logs(self):
        return self._found["lines"][self._found["start_line"]:self._found["end_line"]]


def section_record(name, section_type, seq, parents, parent_id, start, size, result, steps=""):
    return {
        "parent_id": parent_id, "result": result, "start_time": "2026-03-01T10:00:00",
        "stop_time": "2026-03-01T10:00:05", "run_time": "0:00:05", "parents": parents,
        "id": str(uuid.uuid4()), "sequence_number": seq, "section_name": name,
        "section_id": name, "section_type": section_type, "description": "",
        "log_file": "TaskLog.demo", "log_start": str(start), "log_size": str(size),
        "source_file": "demo.py", "source_line": "10", "steps": steps,
    }


class StandInParser:
    def __init__(self, archive, ranges):
        (s0, n0), (s1, n1), (s2, n2), (s3, n3) = ranges
        script = section_record("demo.py", "testscript", 1, [], "suite", 0, -1, "failed")
        setup = section_record("common_setup", "commonSetup", 2, [1], script["id"], s0, n0, "passed")
        step = {"step_id": "1", "step_name": "connect devices", "start_time": "",
                "stop_time": "", "run_time": "0:00:01", "result": "passed",
                "log_file": "TaskLog.demo", "log_start": str(s0), "log_size": str(n0),
                "source_file": "demo.py", "source_line": 0, "id": str(uuid.uuid4())}
        setup["steps"] = [step]
        case = section_record("test_long_output", "testcase", 3, [1], script["id"], s1, n1, "failed")
        sub = section_record("verify", "testsection", 4, [1, 3], case["id"], s1, n1, "failed")
        cleanup = section_record("common_cleanup", "commonCleanup", 5, [1], script["id"], s3, n3, "passed")
        sections = [script, setup, case, sub, cleanup]
        self.meta = {"suite_name": "demo_suite", "request_id": "job-123", "result_id": "123",
                     "result_format": "ledra", "submitter": "tester", "testbed": "tb1",
                     "run_time": "0:01:00", "start_time": "2026-03-01T10:00:00",
                     "stop_time": "2026-03-01T10:01:00", "vop_tree": "", "exec_host": HOST,
                     "archive_location": str(archive.file)}
        self.scripts = [{"meta": {"task_id": "task-1", "name": "demo.py", "path": "/scripts"},
                         "sections": sections,
                         "summary": {"passed": "2", "failed": "1", "total_tasks": 3}}]
        self.summary = {"passed": "2", "failed": "1", "total_tasks": 3, "applicable_tasks": 3}
        self.sections_dict = {}
        for record in sections:
            self.sections_dict[record["id"]] = StandInSection(archive, record)
            for s in record["steps"] or ():
                self.sections_dict[s["id"]] = StandInSection(archive, s)

    def get_section(self, section_uuid):
        return self.sections_dict.get(section_uuid)

    def get_task_names(self):
        return [{"task_id": t["meta"]["task_id"], "sequence_number": i}
                for i, t in enumerate(self.scripts)]


class StandInArchive:
    def __init__(self, file, directory, ranges):
        import pathlib
        self.file = pathlib.Path(file)
        self.dir = directory
        self.results = StandInParser(self, ranges)

    def listdir(self, folder=None, _depth=0, _parent_id=0):
        base = os.path.join(self.dir, folder) if folder else self.dir
        names = sorted(os.listdir(base), key=str.lower)
        for index, name in enumerate(names):
            rel = os.path.join(folder, name) if folder else name
            entry_id = f"{_depth}-{index}"
            yield {"id": entry_id, "parent_id": _parent_id, "item_path": rel}
            if os.path.isdir(os.path.join(self.dir, rel)):
                yield from self.listdir(rel, _depth + 1, entry_id)

    def read_file(self, filename):
        import mimetypes
        full = os.path.join(self.dir, filename)
        kind = mimetypes.guess_type(full)[0]
        if kind is None or "text" in kind or "xml" in kind:
            with open(full, newline="\n") as f:
                return {"file_name": filename, "file_content": f.readlines(),
                        "content_type": kind or "text/plain"}
        return {"filename": filename, "file_content": "Could not read file."}


@contextlib.contextmanager
def open_archive(tmp_path):
    """A generated run archive opened for the server (the stand-in)."""
    root = tmp_path / "extracted"
    root.mkdir()
    ranges = write_archive_tree(str(root))
    zip_path = make_zip(str(tmp_path / "run.zip"), str(root))
    yield StandInArchive(zip_path, str(root), ranges)


class ServerThread:
    """An application served on its own event loop in a thread, on a loopback port."""

    def __init__(self, app):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d" % self.sock.getsockname()[1]
        self.loop = asyncio.new_event_loop()
        self.runner = web.AppRunner(app)
        self.loop.run_until_complete(self.runner.setup())
        self.loop.run_until_complete(web.SockSite(self.runner, self.sock).start())
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
        self.loop.run_until_complete(self.runner.cleanup())
        self.loop.close()
