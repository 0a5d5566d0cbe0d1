"""What tests and benchmarks read about running processes."""

__all__ = ["rss_kib", "cpu_seconds", "child_environment", "ViewerProcess", "LARGE_FILES", "stalled_requests"]


def rss_kib(pid):
    """The resident memory of process `pid` in KiB, as Linux reports it."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise LookupError("VmRSS")


def cpu_seconds(pid):
    """The processor time process `pid` has used (user and system), in seconds."""
    import os

    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def child_environment(**changes):
    """The environment, with `changes`, of a child Python that imports the
    tavix this process imported and these helpers."""
    import os

    import tavix

    package_root = os.path.dirname(os.path.dirname(os.path.abspath(tavix.__file__)))
    helpers_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, **changes)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, helpers_root, env.get("PYTHONPATH")]))
    return env


class ViewerProcess:
    """A viewer serving the archive at `path` in a process of its own, on a
    loopback port: for measuring the server apart from its clients.

        with ViewerProcess(path) as viewer:
            viewer.url, viewer.pid

    `prepare`, if given, is Python source run in the child with `archive`
    open before the server starts (to add files to the extraction directory);
    it can import these helpers.
    """

    def __init__(self, path, prepare=""):
        import textwrap

        self.script = "\n".join([
            "import os, socket",
            "from tavix.log.commands.archive import Archive",
            "from tavix.log.commands.server import LogViewerServer",
            f"with Archive({str(path)!r}) as archive:",
            textwrap.indent(textwrap.dedent(prepare) or "pass", "    "),
            "    sock = socket.socket()",
            "    sock.bind(('127.0.0.1', 0))",
            "    sock.listen(512)",
            "    print(sock.getsockname()[1], flush=True)",
            "    LogViewerServer(archive).serve(sock=sock, print=None, backlog=512)",
        ])

    def __enter__(self):
        import subprocess
        import sys

        self.process = subprocess.Popen([sys.executable, "-c", self.script], stdout=subprocess.PIPE,
                                        text=True, env=child_environment())
        port = self.process.stdout.readline().strip()
        if not port:
            self.process.wait(10)
            raise RuntimeError("the viewer did not start")
        self.pid = self.process.pid
        self.port = int(port)
        self.url = f"http://127.0.0.1:{port}"
        return self

    def __exit__(self, *exc_info):
        import signal

        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(10)
        except Exception:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


# For ViewerProcess: a text file of 6 MB (big.txt) and 4 MiB of control bytes
# (zeros.bin) in the viewer's extraction directory.
LARGE_FILES = """
with open(os.path.join(archive.dir, "big.txt"), "wb") as f:
    f.write(b"".join(b"line %08d of a text file that takes some room\\n" % i for i in range(130_000)))
with open(os.path.join(archive.dir, "zeros.bin"), "wb") as f:
    f.write(bytes(4 << 20))
"""


def stalled_requests(port, paths):
    """Sockets to a loopback `port` that sent a GET for each path and will
    never read the answer (their receive buffers kept small)."""
    import socket

    sockets = []
    for path in paths:
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", port))
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\n\r\n".encode())
        sockets.append(s)
    return sockets
