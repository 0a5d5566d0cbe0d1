"""Execution scan of one large section, measured side by side.

    PYTHONPATH=src python benchmarks/bench_scan.py [--size 200M] [--repeat 3]
    PYTHONPATH=src python benchmarks/bench_scan.py --dense [--size 200M]
    PYTHONPATH=src python benchmarks/bench_scan.py --log TASK_LOG --host HOST

Writes (once) a task log of the given size with the generator of realistic
run archives into benchmarks/data/ and takes the whole log as one section.
With --dense the log is dense device output (a command about every 650
bytes, `dense_devices` of the generator) and the sparse log is measured too.
For each log it prints, side by side, the native scan (child_execute: the
table and every execution object made from it), the table alone (what the
viewer reads), `grep -c '+++'` over
the same file and a plain-Python scan following the same rules: wall time
(best of --repeat), processor time, microseconds per execution and peak
memory per execution (above the baseline of a fresh process).
"""

import argparse
import os
import resource
import subprocess
import sys
import time
import types
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")

sys.path.insert(0, os.path.join(HERE, "..", "src"))

from tavix.log.commands.parser.base import LogSection, Pattern  # noqa: E402
import tests_path  # noqa: E402,F401
from helpers.archives import generate_archive, parse_size  # noqa: E402


def task_log(size, dense=False):
    """Path of a task log of about `size` bytes, written once."""
    os.makedirs(DATA, exist_ok=True)
    name = f"scan-{size}{'-dense' if dense else ''}"
    path = os.path.join(DATA, name + ".log")
    if not os.path.exists(path):
        archive = os.path.join(DATA, name + ".zip")
        info = generate_archive(archive, log_bytes=size, sections=max(50, size >> 16), seed=11, scripts=1,
                                dense_devices=dense)
        with zipfile.ZipFile(archive) as zipped, zipped.open(info.scripts[0].log_file) as source, \
                open(path + ".part", "wb") as target:
            while block := source.read(1 << 20):
                target.write(block)
        os.replace(path + ".part", path)
        os.remove(archive)
        with open(path + ".host", "w") as f:
            f.write(info.host)
    with open(path + ".host") as f:
        return path, f.read()


def python_scan(path, log_start, log_size, host):
    """The scan in plain Python, line by line (sizes in bytes, as the native one)."""

    def is_record(line):
        return host in line and len(line.split(": ")) > 4

    def time_of(line):
        try:
            return line.split(": ")[2].split("T")[1]
        except Exception:
            return None

    found, current, block, total = {}, None, [], 0
    with open(path, "rb") as f:
        f.seek(log_start)
        for i, raw in enumerate(f):
            if log_size > 0 and total > log_size:
                break
            total += len(raw)
            text = raw.decode("utf-8", "replace")
            line = text.strip()
            if current is not None:
                if is_record(line):
                    current.update(end_line=i, stop_time=time_of(line))
                    if "title" not in current:
                        if i - current["start_line"] <= 10:
                            current["logs"] = "".join(block).rstrip()
                        else:
                            current["logs"] = "".join(block[:10]) + "(truncate)"
                    found[str(i)] = current
                    current = None
                else:
                    if len(block) < 11:
                        block.append(text)
                    if current["execute_type"] == "ping" and "title" not in current:
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
                    block = [text]
    return found


def best(repeat, run):
    """Best wall time and processor time (this process and its children) of `repeat` runs.

    The result of the previous run is freed before the next one starts, so
    no run pays for freeing another's.
    """
    times, result = [], None
    for _ in range(repeat):
        result = None
        LogSection.child_execute.fget.cache_clear()
        started, cpu = time.perf_counter(), _cpu()
        result = run()
        times.append((time.perf_counter() - started, _cpu() - cpu))
    return min(times), result


def _cpu():
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def native_scan(path, host, objects=True):
    """The section's child_execute (the table's rows made execution objects),
    or with `objects` false the table alone, as the viewer pages through it."""
    section = LogSection(types.SimpleNamespace(dir=os.path.dirname(path)),
                         {"log_file": os.path.basename(path), "log_start": "0", "log_size": "-1",
                          "section_id": "bench"}, host)
    return section.child_execute if objects else LogSection.child_execute.fget.scanned(section)


def peak_memory(scan, path, host):
    """Peak resident memory of one scan (`native` or `python`), in bytes above the
    resident memory before it.

    Runs in a fresh interpreter; the kernel's peak counter is reset right
    before the scan, so import-time peaks do not hide the scan's own.
    """
    code = f"""
import sys
sys.path.insert(0, {os.path.join(HERE, '..', 'src')!r})
sys.path.insert(0, {HERE!r})
from bench_scan import native_scan, python_scan

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
found = (native_scan({path!r}, {host!r}, {scan!r} == "native") if {scan!r} != "python"
         else python_scan({path!r}, 0, -1, {host!r}))
print((status("VmHWM") - before) * 1024)
"""
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    return int(out)


def grep_peak_memory(path):
    """Peak resident memory of grep -c '+++' over the file, in bytes (its whole process)."""
    out = subprocess.run(["/usr/bin/time", "-f", "%M", "grep", "-c", "+++", path],
                         capture_output=True, text=True, check=True).stderr
    return int(out.split()[-1]) * 1024


def measure(path, host, repeat):
    size = os.path.getsize(path)
    print(f"\nsection: {path} ({size / 2**20:.0f} MiB, whole log), host {host}")
    subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)  # into the page cache
    grep = best(repeat, lambda: subprocess.run(["grep", "-c", "+++", path], capture_output=True,
                                               text=True).stdout.strip())
    native = best(repeat, lambda: native_scan(path, host))
    table = best(repeat, lambda: native_scan(path, host, objects=False))
    python = best(1, lambda: python_scan(path, 0, -1, host))
    (_, found), (_, expected) = native, python
    count = len(found)

    kinds = {}
    for execute in found.values():
        kinds[execute.execute_type] = kinds.get(execute.execute_type, 0) + 1
    print(f"executions: {count} {kinds}; lines with +++ (grep): {grep[1]}")
    same = [(e.start_line, e.end_line, getattr(e, "title", None), getattr(e, "logs", None)) for e in found.values()] \
        == [(e["start_line"], e["end_line"], e.get("title"), e.get("logs")) for e in expected.values()]
    print(f"native result equals the plain-Python result: {same}")

    rows = [("native scan", native[0], peak_memory("native", path, host)),
            ("native table", table[0], peak_memory("table", path, host)),
            ("grep -c '+++'", grep[0], grep_peak_memory(path)),
            ("plain-Python scan", python[0], peak_memory("python", path, host))]
    print(f"{'':18} {'wall s':>8} {'cpu s':>8} {'us/exec':>8} {'peak MiB':>9} {'B/exec':>7} {'wall/grep':>9}")
    for name, (wall, cpu), peak in rows:
        print(f"{name:18} {wall:8.3f} {cpu:8.3f} {wall / count * 1e6:8.2f} {peak / 2**20:9.1f} "
              f"{peak / count:7.0f} {wall / grep[0][0]:9.1f}")
    ratio = lambda a, b: f"{a / b:.1f}x" if b > 0 else "n/a"  # noqa: E731
    print(f"native scan: {ratio(native[0][0], grep[0][0])} grep in wall time ({ratio(native[0][1], grep[0][1])} "
          f"in processor time), {ratio(python[0][0], native[0][0])} faster than plain Python "
          f"({ratio(python[0][1], native[0][1])} in processor time)")
    print(f"native table (what the viewer pages through; objects made on demand): "
          f"{ratio(table[0][0], grep[0][0])} grep in wall time, {ratio(python[0][0], table[0][0])} faster "
          f"than plain Python")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="200M")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dense", action="store_true",
                        help="measure a log of dense device output, then the sparse one")
    parser.add_argument("--log", help="scan this task log instead of a generated one")
    parser.add_argument("--host", help="the execution host of --log")
    args = parser.parse_args()
    if args.log:
        measure(args.log, args.host, args.repeat)
        return
    size = parse_size(args.size)
    for dense in ([True, False] if args.dense else [False]):
        measure(*task_log(size, dense), args.repeat)


if __name__ == "__main__":
    main()
