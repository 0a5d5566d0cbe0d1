"""Execution scan of one large section, measured side by side.

    PYTHONPATH=src python benchmarks/bench_scan.py [--size 200M] [--repeat 3]
    PYTHONPATH=src python benchmarks/bench_scan.py --log TASK_LOG --host HOST

Writes (once) a task log of the given size with the generator of realistic
run archives into benchmarks/data/, takes the whole log as one section and
prints:

1. the native scan against `grep -c '+++'` over the same bytes;
2. the native scan against a plain-Python scan following the same rules;
3. the peak memory of scanning the section, above the process's baseline
   (measured in a fresh interpreter).
"""

import argparse
import os
import re
import subprocess
import sys
import time
import types
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")

sys.path.insert(0, os.path.join(HERE, "..", "src"))

from tavix.log.commands.parser.base import LogSection, Pattern  # noqa: E402
from tavix.testing.archives import generate_archive, parse_size  # noqa: E402


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
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - started)
    return min(times), result


def native_scan(path, host):
    LogSection.child_execute.fget.cache_clear()
    section = LogSection(types.SimpleNamespace(dir=os.path.dirname(path)),
                         {"log_file": os.path.basename(path), "log_start": "0", "log_size": "-1",
                          "section_id": "bench"}, host)
    return section.child_execute


def peak_memory(path, host):
    """Peak resident memory of a scan, in MiB above the resident memory before it.

    Runs in a fresh interpreter; the kernel's peak counter is reset right
    before the scan, so import-time peaks do not hide the scan's own.
    """
    code = f"""
import sys
sys.path.insert(0, {os.path.join(HERE, '..', 'src')!r})
sys.path.insert(0, {HERE!r})
from bench_scan import native_scan

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
found = native_scan({path!r}, {host!r})
print((status("VmHWM") - before) / 1024, len(found))
"""
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    growth, count = out.split()
    return float(growth), int(count)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="200M")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--log", help="scan this task log instead of a generated one")
    parser.add_argument("--host", help="the execution host of --log")
    args = parser.parse_args()
    path, host = (args.log, args.host) if args.log else task_log(parse_size(args.size))
    size = os.path.getsize(path)
    print(f"section: {path} ({size / 2**20:.0f} MiB, whole log), host {host}")

    subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)  # into the page cache
    grep_time, grep_out = best(args.repeat, lambda: subprocess.run(
        ["grep", "-c", "+++", path], capture_output=True, text=True).stdout.strip())
    native_time, found = best(args.repeat, lambda: native_scan(path, host))
    python_time, expected = best(1, lambda: python_scan(path, 0, -1, host))

    kinds = {}
    for execute in found.values():
        kinds[execute.execute_type] = kinds.get(execute.execute_type, 0) + 1
    print(f"executions: {len(found)} {kinds}; lines with +++ (grep): {grep_out}")
    same = [(e.start_line, e.end_line, getattr(e, "title", None), getattr(e, "logs", None)) for e in found.values()] \
        == [(e["start_line"], e["end_line"], e.get("title"), e.get("logs")) for e in expected.values()]
    print(f"native result equals the plain-Python result: {same}")
    print(f"(2) native scan {native_time:.3f} s, grep -c '+++' {grep_time:.3f} s: "
          f"{native_time / grep_time:.2f}x grep (target <= 3x)")
    print(f"    plain-Python scan {python_time:.3f} s: native is {python_time / native_time:.1f}x faster "
          f"(target >= 10x)")
    growth, count = peak_memory(path, host)
    print(f"(3) peak memory of the scan: {growth:.1f} MiB above baseline for {count} executions "
          f"(target < 64 MiB)")


if __name__ == "__main__":
    main()
