"""Opening a large archive: progress on a terminal only, and an interrupt
ends the opening at its next look at signals, leaving nothing behind.

How soon, in seconds, is a figure of benchmarks/bench_stopping.py."""
import json
import os
import pathlib
import pty
import re
import select
import signal
import subprocess
import sys
import textwrap
import time
import urllib.request

import pytest

from helpers import archives
from tavix.log.commands.parser.xml import RESULTS_FILE

# Longer than any opening here takes: a process still running then hangs.
HANG_GUARD = 30


def run_in_terminal(argv, env, until=None, deadline=60):
    """Runs argv on a pseudo-terminal; returns (process, output so far) once
    `until` (a regular expression) shows up or the process is done."""
    master, slave = pty.openpty()
    process = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, env=env, close_fds=True)
    os.close(slave)
    output = b""
    end = time.monotonic() + deadline
    try:
        while time.monotonic() < end and not (until and re.search(until, output.decode(errors="replace"))):
            if not select.select([master], [], [], 0.1)[0]:
                continue
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the terminal is gone with the process
                break
            if not chunk:
                break
            output += chunk
    finally:
        os.close(master)
    return process, output.decode()


def screen(output):
    """The lines a terminal shows after `output`: a carriage return goes back
    to the start of the line, later characters overwrite earlier ones."""
    lines, line, column = [], [], 0
    for char in output:
        if char == "\n":
            lines.append("".join(line).rstrip())
            line, column = [], 0
        elif char == "\r":
            column = 0
        else:
            line[column:column + 1] = [char]
            column += 1
    return lines + ["".join(line).rstrip()]


@pytest.fixture
def env(large_run, tmp_path):
    """The environment of a `tavix` process; TMPDIR receives its extraction directory."""
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    home = pathlib.Path(large_run.path).parents[2]
    return dict(os.environ, HOME=str(home), TMPDIR=str(tmp), TAVIX_CONFIG=str(tmp_path / "none.cfg"))


def extraction_dirs(env):
    return [pathlib.Path(env["TMPDIR"], name) for name in os.listdir(env["TMPDIR"])
            if name.startswith("tavix.logviewer.")]


def test_generator_shows_its_progress_on_a_terminal(tmp_path):
    path = tmp_path / "run.zip"
    command = [sys.executable, archives.__file__, str(path), "--log-size", "8M",
               "--sections", "3000"]
    process, output = run_in_terminal(command, dict(os.environ))
    assert process.wait(timeout=60) == 0, output
    assert re.search(r"\rWriting task logs: [\d.]+ MiB of [\d.]+ MiB \(\d+ %\)", output)
    lines = screen(output)
    assert re.fullmatch(r"%s: 3000 sections in 2 scripts, logs \d+ bytes, zip \d+ bytes" % path, lines[0])
    assert lines[1:] == [""]


def test_opening_progress_on_a_terminal_is_erased_before_the_address(env, large_run):
    command = [sys.executable, "-m", "tavix.cli.main", "logs", "view", "--no-browser"]
    process, output = run_in_terminal(command, env, until=r"-{80}")
    try:
        url = re.search(r"http://\S+", output).group(0)
        urllib.request.urlopen(url, timeout=30)  # serving by now
    finally:
        process.send_signal(signal.SIGINT)
        process.wait(timeout=60)
    assert re.search(r"\rExtracting: [\d.]+ (B|KiB|MiB) of [\d.]+ MiB \(\d+ %\)", output)
    # The results file's bytes, or its sections as they are parsed: the line
    # is redrawn at most every tenth of a second, so a quick parse shows no count.
    assert re.search(r"\rReading results: ([\d,]+ sections|[\d.]+ (B|KiB|MiB) of)", output)
    # The command's messages in their order; the progress line has left a blank.
    assert screen(output)[:9] == [
        "Logfile: %s" % large_run.path, "", "View at:", "    " + url,
        "    (opened in %s s, 16,000 sections)" % re.search(r"opened in ([\d.]+) s", output).group(1),
        "", "Press Ctrl-C to exit", "", "-" * 80]
    assert "\nView at: \r\n" in output


def started_parsing(env, info):
    """True once the extraction has written the archive's last member."""
    return any((directory / info.members[-1]).exists() for directory in extraction_dirs(env))


def reading_results(pid):
    """True while process `pid` holds its results file open for reading and
    has read part of it: it is well into reading the results."""
    fds = "/proc/%d/fd" % pid
    try:
        for fd in os.listdir(fds):
            if os.path.basename(os.readlink(os.path.join(fds, fd))) != RESULTS_FILE:
                continue
            with open("/proc/%d/fdinfo/%s" % (pid, fd)) as info:
                fields = dict(line.split(":", 1) for line in info if ":" in line)
            if int(fields["flags"], 8) & os.O_ACCMODE == os.O_RDONLY and int(fields["pos"]) > 0:
                return True
    except (FileNotFoundError, ProcessLookupError):
        pass  # the process or that file went away meanwhile
    return False


@pytest.mark.parametrize("moment", ["extraction", "parse"])
@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_an_interrupt_while_opening_ends_the_tool_and_leaves_nothing(env, large_run, moment, stop):
    process = subprocess.Popen([sys.executable, "-m", "tavix.cli.main", "logs", "view", "--no-browser"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        ready = (lambda: extraction_dirs(env)) if moment == "extraction" else (
            lambda: reading_results(process.pid))
        end = time.monotonic() + HANG_GUARD
        while not ready() and process.poll() is None and time.monotonic() < end:
            time.sleep(0.002)
        extracting = not started_parsing(env, large_run)
        process.send_signal(stop)
        try:
            out, err = process.communicate(timeout=HANG_GUARD)
        except subprocess.TimeoutExpired:
            pytest.fail("%s during the %s: still running after %d s" % (stop.name, moment, HANG_GUARD))
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert extracting == (moment == "extraction")
    # The opening was still under way (nothing served yet) and is abandoned;
    # off a terminal there is no progress line.
    assert (process.returncode, err) == (130, "Interrupted\n")
    assert "View at" not in out
    assert extraction_dirs(env) == []


# Opens the archive with a progress observer that runs no Python code (the
# interpreter looks at signals between two lines of Python, so a Python
# observer would answer the signal itself): `print` into a StringIO, a line
# per report. Once a report of the stage asked for is written, another
# thread sends SIGINT, as Ctrl-C comes from outside the work, and counts the
# reports made before it.
OPENING = textwrap.dedent("""
    import functools, io, json, os, signal, sys, threading, time
    from tavix.log.commands.archive import Archive

    path, stage = sys.argv[1:]
    reports = io.StringIO()
    sent = []

    def interrupt():
        while "\\n%s " % stage not in "\\n" + reports.getvalue():
            time.sleep(0.0005)
        os.kill(os.getpid(), signal.SIGINT)
        # Counted still holding the GIL: no report can come in between.
        sent.append(reports.getvalue().count("\\n"))

    sender = threading.Thread(target=interrupt, daemon=True)
    sender.start()
    try:
        with Archive(path, progress=functools.partial(print, file=reports)):
            opened = True
    except KeyboardInterrupt:
        opened = False
    sender.join(30)
    print(json.dumps({"opened": opened, "sent": sent[0] if sent else None,
                      "reports": reports.getvalue().splitlines()}))
""")


@pytest.mark.parametrize("stage", ["extracting", "reading", "parsing"])
def test_an_interrupt_stops_the_opening_at_its_next_check(large_run, tmp_path, stage):
    done = subprocess.run([sys.executable, "-c", OPENING, large_run.path, stage], capture_output=True,
                          text=True, timeout=HANG_GUARD, env=dict(os.environ, TMPDIR=str(tmp_path)))
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    sent, reports = seen["sent"], seen["reports"]
    assert not seen["opened"] and sent, seen
    # The signal came once that stage had begun (the thread sending it may
    # lose the GIL between seeing the stage and sending, as the next begins).
    assert stage in [report.split()[0] for report in reports[:sent]]
    # Each stage looks at signals before each report: none after the signal.
    assert reports[sent:] == []
    assert os.listdir(tmp_path) == []


def mapped(pid, library):
    """True once the process has loaded an extension module whose file name starts with `library`."""
    try:
        with open("/proc/%d/maps" % pid) as maps:
            return any(os.path.basename(line.split()[-1]).startswith(library)
                       for line in maps if "/" in line)
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_an_interrupt_during_the_imports_ends_the_tool_quietly(env, stop):
    process = subprocess.Popen([sys.executable, "-m", "tavix.cli.main", "logs", "view", "--no-browser"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # The logs command's module imports the viewer's modules and their
        # web framework while it initialises: a signal then lands inside an
        # extension module's initialisation.
        end = time.monotonic() + 30
        while not mapped(process.pid, "logs.cpython") and process.poll() is None and time.monotonic() < end:
            time.sleep(0.001)
        process.send_signal(stop)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    assert (process.returncode, err) == (130, "Interrupted\n")
    assert out == ""


def test_an_interrupt_as_the_viewer_is_made_serves_nothing(generated_run, tmp_path, monkeypatch, capsys):
    import tempfile

    import tavix.log.commands.logs as logs
    from tavix.cli.main import main

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    monkeypatch.setenv("TAVIX_CONFIG", str(tmp_path / "none.cfg"))
    # A home of its own: the user's run index stays out of the test.
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.delenv("TAVIX_INDEX", raising=False)
    made = []

    def interrupted_server(*args, **kwargs):
        made.append(args)
        os.kill(os.getpid(), signal.SIGINT)
        pytest.fail("the interrupt did not end the making of the server")

    monkeypatch.setattr(logs, "LogViewerServer", interrupted_server)
    assert main(["logs", "view", generated_run.path, "--no-browser"]) == 130
    out, err = capsys.readouterr()
    assert made and "View at" not in out and err == "Interrupted\n"
    assert [name for name in os.listdir(tmp_path) if name.startswith("tavix.logviewer.")] == []
