"""Pushing a run to the team service with an S3 store, beside the same push
to a directory store.

Two `tavix logs serve` processes (auth none, SQLite index), one over a
directory, one over a bucket of a SeaweedFS server of the benchmark's own
(`weed mini`, its data on the same disk). The generated archive (200 MB,
24,510 sections by default) is pushed with `tavix logs push` to each in
turn, --rounds times, the run deleted after each push; the medians and their
ratio (target: S3 <= 1.3x the directory). --attachment SIZE adds a file of
that many random bytes, stored uncompressed, to the archive: the bytes moved
then outweigh the archive's check.

    PYTHONPATH=src python benchmarks/bench_object_store.py [--log-size 200M] [--sections 24510] [--rounds 3]
        [--attachment 0]
"""
import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
import zipfile

import tests_path  # noqa: F401
from bench_opening import generated_run
from bench_service import free_port, request_id_of, tavix, wait_until_up
from helpers.processes import child_environment
from helpers.seaweed import SeaweedServer

from tavix.log.commands.service.settings import parse_size


def serve(store, root, env):
    port = free_port()
    process = tavix("serve", "--auth", "none", "--host", "127.0.0.1", "--port", str(port), "--store", store,
                    "--index", str(root / "index.sqlite"), "--cache", str(root / "cache"),
                    "--max-archive-size", "8G", env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = "http://127.0.0.1:%d" % port
    wait_until_up(url + "/readyz", process)
    return process, url


def with_attachment(path, size, directory):
    """A copy of the archive at `path` holding `size` random bytes more, uncompressed."""
    copy = directory / ("%s-with-%d.zip" % (path.stem, size))
    shutil.copyfile(path, copy)
    with zipfile.ZipFile(copy, "a") as archive, archive.open("attachments/random.bin", "w") as stream:
        for _ in range(0, size, 1 << 20):
            stream.write(os.urandom(1 << 20))
    return copy


def push_seconds(url, path, request_id, env):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tavix.cli.main", "logs", "push", str(path), "--to", url],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    deleting = urllib.request.Request("%s/api/v1/runs/%s" % (url, request_id), method="DELETE")
    urllib.request.urlopen(deleting, timeout=60).close()
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--log-size", default="200M")
    parser.add_argument("--sections", type=int, default=24510)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--attachment", type=parse_size, default=None)
    args = parser.parse_args()

    path = generated_run(args.log_size, args.sections)
    request_id = request_id_of(path)
    seaweed = SeaweedServer()
    env = child_environment(**seaweed.environment())
    try:
        with tempfile.TemporaryDirectory(prefix="tavix-bench-s3-") as directory:
            scratch = pathlib.Path(directory)
            if args.attachment:
                path = with_attachment(path, args.attachment, scratch)
            size = path.stat().st_size
            services = []
            try:
                for name, store in (("directory", str(scratch / "store")),
                                    ("S3", "s3://%s/runs" % seaweed.new_bucket())):
                    root = scratch / name
                    root.mkdir()
                    services.append((name, serve(store, root, env)))
                seconds = {name: [] for name, _ in services}
                for _ in range(args.rounds):
                    for name, (_, url) in services:
                        seconds[name].append(push_seconds(url, path, request_id, env))
            finally:
                for _, (process, _) in services:
                    process.terminate()
                    process.wait(30)
    finally:
        seaweed.stop()
    directory_push, s3_push = (statistics.median(seconds[name]) for name in ("directory", "S3"))
    print("push of %s (%.0f MB), median of %d: S3 store %.2f s, directory store %.2f s; ratio %.2f "
          "(target <= 1.3)" % (path.name, size / 1e6, args.rounds, s3_push, directory_push,
                               s3_push / directory_push))


if __name__ == "__main__":
    main()
