"""Sections over hand-written task logs, and the rules of their device-command
scan read line by line, for the tests of sections, scans and their table."""

import contextlib
import os
import re

from tavix.log.commands.parser.base import LogSection, Pattern

HOST = "lab1"


def record(seq, message, host=HOST, stamp="2026-12-07T11:53:{:02d}"):
    return f"{seq}: {host}: {stamp.format(seq % 60)}: %SCRIPT-6-INFO: %[pid=42][pname=Main]: {message}\n"


class Reader:
    """The archive's reading interface over plain files, positions in bytes."""

    def __init__(self, directory):
        self.dir = directory
        self.calls = []

    def read_bytes(self, logfile, log_start=0, log_size=-1, offset=0, limit=0):
        self.calls.append(("read_bytes", logfile, log_start, log_size, offset, limit))
        if log_size <= 0:
            log_size = os.stat(logfile).st_size
        if offset >= log_size:
            return None
        with open(logfile, "rb") as f:
            f.seek(log_start + offset)
            return f.read(min(limit, log_size - offset)).decode("utf-8", "replace")

    def read_lines(self, logfile, start_line=None, end_line=None, log_start=0, log_size=-1):
        self.calls.append(("read_lines", logfile, start_line, end_line, log_start, log_size))
        with open(logfile, "rb") as f:
            f.seek(log_start)
            lines = f.readlines(log_size if log_size > 0 else -1)
        return [line.decode("utf-8", "replace") for line in lines[start_line:end_line]]


def reference_scan(path, log_start, log_size, host):
    """The scan written out line by line over the whole section, sizes in bytes."""
    with open(path, "rb") as f:
        f.seek(log_start)
        lines = [raw.decode("utf-8", "replace") for raw in f.readlines(log_size if log_size > 0 else -1)]

    def is_record(line):
        return host in line and len(line.split(": ")) > 4

    def time_of(line):
        try:
            return line.split(": ")[2].split("T")[1]
        except Exception:
            return None

    found, current = [], None
    for i, raw in enumerate(lines):
        line = raw.strip()
        if current is not None and is_record(line):
            current.update(end_line=i, stop_time=time_of(line))
            if "title" not in current:
                start = current["start_line"]
                if i - start <= 10:
                    current["logs"] = "".join(lines[start:i]).rstrip()
                else:
                    current["logs"] = "".join(lines[start:start + 10]) + "(truncate)"
            found.append(current)
            current = None
        if current is not None and current["execute_type"] == "ping" and "title" not in current:
            match = Pattern.pattern_ping_ip.match(line)
            if match:
                current["title"] = match.group("ip")
            continue
        if "+++" in line and is_record(line):
            at = line.find("]: ")
            message = line[at + 3:] if at >= 0 else line[2:]
            match = Pattern.pattern_config_ping.match(message) or Pattern.pattern_command.match(message)
            if match:
                current = dict(start_line=i, start_time=time_of(line), **match.groupdict())
                kind = current["execute_type"]
                current["execute_type"] = {"executing": "execute", "configure": "config"}.get(kind, kind)
    return found


FIELDS = ("start_line", "end_line", "start_time", "stop_time", "device", "execute_type", "title", "logs")


def summary(section):
    return [{k: getattr(e, k) for k in FIELDS if hasattr(e, k)} for e in section.child_execute.values()]


def make_section(directory, content, log_start=0, log_size=0, host=HOST, **extra):
    path = directory / "task.log"
    path.write_bytes(content.encode() if isinstance(content, str) else content)
    rec = {"log_file": "task.log", "log_start": str(log_start), "log_size": str(log_size), **extra}
    return LogSection(Reader(str(directory)), rec, host)


# Host names of every shape: one character (it occurs everywhere), longer
# than the small reads, multi-byte, holding the field separator.
HOSTS = ("lab1", "h", "tvx-runner-01", "n" * 70, "r\u00fcter-\u00e9", "a: b")
TITLES = ("show ip", "a' b", "x' +++ y' +++ z", "t\u00a0w\u3000o", "e\u0301\u20dd", "'", "\u00e9 +++ '", "q" * 300)
BANNERS = ("config", "ping", "execute", "executing", "configure", "reboot")
TARGETS = ("10.1.1.1", "10.1.1.", "x", "1.2.3.4 ", "\u0661\u0662.\u0663", "\uff11.2", "1.2.3.4\u3000", "", "1..")


def random_record(rng, host, message):
    seq = rng.randrange(10 ** rng.randint(0, 8))
    stamp = rng.choice(("2026-12-07T11:53:{:02d}", "2026-12-07 11:{:02d}", "T{:02d}TxT")).format(seq % 60)
    tags = rng.choice((": %[pid=42][pname=Main]", ": %[pid=1]", "", ": [x]", "]"))
    return f"{seq}: {host}: {stamp}: %CONN-6-INFO{tags}: {message}"


def random_banner(rng):
    device = rng.choice(("R1", "\u00e9dge-02", "a:b", "R\u00a0", "R1:", "\u3000", ""))
    kind = rng.choice(BANNERS)
    if rng.random() < 0.5:
        message = f"+++ {device}: {kind} +++"
    else:
        message = f"+++ {device}: {kind} command '{rng.choice(TITLES)}' +++"
    return message + rng.choice(("", "", "", " ", "\u2028", " x"))


def random_log(rng, host):
    """A task log in which every rule of the scan has something to decide."""
    lines = []
    for _ in range(rng.randint(1, 90)):
        roll = rng.random()
        if roll < 0.3:
            line = random_record(rng, rng.choice((host, host, host, "other")), random_banner(rng))
        elif roll < 0.5:
            line = random_record(rng, host, rng.choice(("hello", "a: b: c", "", "TT", "x]: y", "+++", host)))
        elif roll < 0.62:
            line = rng.choice(("", " ", "\u00a0")) + "Target IP address: " + rng.choice(TARGETS)
        elif roll < 0.7:
            # Device output holding the host, some of it shaped like a record.
            line = rng.choice((f"{host} in output", f"a: b: c: d: {host}", f"{host}: a: b", f"+++ {host}: ping +++"))
        elif roll < 0.75:
            line = rng.choice(("y", "\u00e9", "+++ ", ": ")) * rng.randint(200, 3000)  # longer than a read
        else:
            line = rng.choice(("output", "", "   ", "\u00a0x\u2009", "R1(config)#end", "\u0000nul\u0000"))
        data = (line + rng.choice(("\n", "\n", "\n", "\r\n", "\u3000\n"))).encode()
        if rng.random() < 0.04:
            cut = rng.randrange(len(data))
            data = data[:cut] + rng.choice((b"\xff", b"\xc3(", b"\xe2\x80", b"\xf0\x9f")) + data[cut:]
        lines.append(data)
        if roll < 0.3 and rng.random() < 0.3:
            # A dense block: several record lines with little output between them.
            lines.extend(random_record(rng, host, random_banner(rng)).encode() + b"\n" for _ in range(rng.randint(1, 4)))
    data = b"".join(lines)
    return data if rng.random() < 0.8 else data.rstrip(b"\n")


# From a few bytes (lines and names span many reads) up to the largest read.
READ_BLOCKS = (1, 2, 3, 4, 5, 7, 8, 13, 16, 31, 61, 64, 100, 127, 256, 1000, 4093, 1 << 16, 0)


@contextlib.contextmanager
def equivalent_patterns():
    """Pattern's attributes replaced by equal patterns: the scan's general path."""
    saved = {name: getattr(Pattern, name) for name in PATTERNS}
    for name, pattern in saved.items():
        setattr(Pattern, name, re.compile(pattern.pattern))
    try:
        yield
    finally:
        for name, pattern in saved.items():
            setattr(Pattern, name, pattern)


PATTERNS = ("pattern_command", "pattern_config_ping", "pattern_ping_ip")


def dense_text(count, seed):
    """`count` commands of every kind, titles and blocks differing by `seed`."""
    lines = []
    for i in range(count):
        if i % 3 == 0:
            lines += [record(i % 60, f"+++ R{i % 5}: executing command 'show {seed} {i}' +++"), "out\n"]
        elif i % 3 == 1:
            lines += [record(i % 60, f"+++ R{i % 5}: config +++"), f"hostname {seed}-{i}\n" * (i % 13)]
        else:
            lines += [record(i % 60, f"+++ R{i % 5}: ping +++"), f"Target IP address: 10.0.{seed}.{i % 250}\n"]
    return "".join(lines) + record(1, "end")


def literal_match(execution, device, q):
    """The filters' rules, read plainly."""
    if device and execution.get("device") != device:
        return False
    return not q or any(q.casefold() in (execution.get(key) or "").casefold() for key in ("title", "logs"))


# Device and text filters of every kind: none, one alone, both, case, beyond
# ASCII, a quote, a text across fields, a prefix of addresses.
FILTERS = [("", ""), ("R1", ""), ("", "show"), ("", "SHOW"), ("R1", "x"), ("\u00e9dge-02", ""), ("", "\u00e9"),
           ("", "'"), ("", "hostname 2-1"), ("", "10.0.")]
