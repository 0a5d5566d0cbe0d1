"""Replicas of the team service on one run index, behind an HAProxy of their own.

    with Replicas(index_url, tmp_path, count=2) as replicas:
        replicas.start()                     # the `tavix logs serve` processes, at once
        url = replicas.balance()             # HAProxy from deploy/haproxy.cfg, its address
        replicas.kill(0)                     # SIGKILL
        replicas.wait_for_balancer(up=1)     # HAProxy has seen it go
        replicas.revive(0)                   # the same replica again, on its port

Each replica listens on a port of its own (--port 0, the address it prints),
with a cache of its own, on the index and the directory store they share.
HAProxy's configuration is the shipped one with these ports and checks ten
times a second, so that a test sees a replica go and come back in a moment.
"""
import csv
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

from .processes import child_environment

__all__ = ["HAPROXY_CONFIG", "Replicas", "haproxy_or_skip", "render_haproxy_config", "wait_for"]

HAPROXY_CONFIG = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                              "deploy", "haproxy.cfg")
# Far beyond what starting a replica or seeing it go takes: reaching it is the failure.
DEADLINE = 20
_ADDRESS = re.compile(r"http://127\.0\.0\.1:(\d+)")
_SERVER = re.compile(r"^(\s*)server (\S+?)(-alive)? \S+(.*)$")


def haproxy_or_skip():
    """The haproxy program (Debian's package). Where it is missing the test
    skips, except in CI (CI=true), where it fails."""
    import pytest

    found = shutil.which("haproxy") or ("/usr/sbin/haproxy" if os.path.exists("/usr/sbin/haproxy") else None)
    if found is None:
        reason = "HAProxy is not installed (apt-get install haproxy)"
        if os.environ.get("CI", "").lower() == "true":
            pytest.fail(reason)
        pytest.skip(reason)
    return found


def _replaced(pattern, replacement, text):
    changed, count = re.subn(pattern, replacement, text, flags=re.MULTILINE)
    if not count:
        raise ValueError("deploy/haproxy.cfg has no line matching %r" % pattern)
    return changed


def render_haproxy_config(text, port, replica_ports, *, check_ms=100, stats_socket=None):
    """The configuration `text` (deploy/haproxy.cfg's) listening on 127.0.0.1:`port`,
    with a pair of server lines for each of `replica_ports`, checks every
    `check_ms` ms (one failed check takes a replica out, one passed brings
    it back) and, when given, an admin socket at `stats_socket`."""
    text = _replaced(r"^(\s*)bind \S+", r"\g<1>bind 127.0.0.1:%d" % port, text)
    text = _replaced(r"inter \S+ fall \d+ rise \d+", "inter %dms fall 1 rise 1" % check_ms, text)
    text = _replaced(r"^(\s*)timeout check \S+", r"\g<1>timeout check %dms" % (check_ms * 5), text)
    if stats_socket:
        text = _replaced(r"^global$", "global\n    stats socket %s mode 600 level admin" % stats_socket, text)
    lines, written = [], set()
    for line in text.splitlines():
        found = _SERVER.match(line)
        if found is None:
            lines.append(line)
            continue
        indent, _, alive, options = found.groups()
        if alive not in written:
            written.add(alive)
            lines.extend("%sserver replica%d%s 127.0.0.1:%d%s" % (indent, number, alive or "", replica_port, options)
                         for number, replica_port in enumerate(replica_ports, 1))
    return "\n".join(lines) + "\n"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, what, deadline=DEADLINE):
    """condition()'s answer once it is true; AssertionError naming `what` past the deadline."""
    end = time.monotonic() + deadline
    while True:
        found = condition()
        if found:
            return found
        if time.monotonic() > end:
            raise AssertionError("%s within %d s" % (what, deadline))
        time.sleep(0.01)


class Replicas:
    """`count` replicas of the service in `root` on the run index `index_url`
    and the store `store` (default: the directory root/store); `options` are
    more options of `tavix logs serve` (default --auth none), `env` more
    variables of their environment."""

    def __init__(self, index_url, root, count=2, options=("--auth", "none"), store=None, env=None):
        self.root = str(root)
        os.makedirs(self.root, exist_ok=True)
        self.index_url = index_url
        self.store = store or os.path.join(self.root, "store")
        self.env = child_environment(HOME=os.path.join(self.root, "home"), TAVIX_INDEX=index_url, **(env or {}))
        self.options = tuple(options)
        self.processes = [None] * count
        self.ports = [0] * count
        self.haproxy = None
        self.url = None

    # ------------------------------------------------------------- replicas
    def _log(self, number):
        return os.path.join(self.root, "replica%d.log" % (number + 1))

    def _launch(self, number):
        with open(self._log(number), "w") as log:
            self.processes[number] = subprocess.Popen(
                [sys.executable, "-m", "tavix.cli.main", "logs", "serve", "--host", "127.0.0.1",
                 "--port", str(self.ports[number]), "--store", self.store,
                 "--cache", os.path.join(self.root, "cache%d" % (number + 1)), *self.options],
                env=self.env, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def _address(self, number):
        process = self.processes[number]
        with open(self._log(number)) as log:
            found = _ADDRESS.search(log.read())
        if found:
            return int(found.group(1))
        if process.poll() is not None:
            raise AssertionError("replica %d stopped (%s): %s" % (number + 1, process.returncode, self.said(number)))
        return None

    def start(self):
        """Starts every replica at once and waits for each to print its address."""
        for number in range(len(self.processes)):
            self._launch(number)
        for number in range(len(self.processes)):
            self.ports[number] = wait_for(lambda: self._address(number), "replica %d started" % (number + 1))
        return self

    def said(self, number):
        """What replica `number` printed (its address, its log, its access lines)."""
        with open(self._log(number)) as log:
            return log.read()

    def replica_url(self, number):
        return "http://127.0.0.1:%d" % self.ports[number]

    def pid(self, number):
        return self.processes[number].pid

    def kill(self, number):
        """SIGKILLs replica `number` and waits for it to be gone."""
        process = self.processes[number]
        process.send_signal(signal.SIGKILL)
        process.wait(DEADLINE)

    def revive(self, number):
        """Starts replica `number` again on its port, and waits for the balancer to use it."""
        self._launch(number)
        wait_for(lambda: self._address(number), "replica %d restarted" % (number + 1))
        if self.haproxy is not None:
            self.wait_for_balancer(up=sum(p.poll() is None for p in self.processes))

    # ------------------------------------------------------------- balancer
    def balance(self, check_ms=100, port=None, haproxy=None):
        """Starts HAProxy (the program `haproxy`, else haproxy_or_skip()'s) in front of
        the replicas, on `port` (default: a free one); its address, once it sees them all up."""
        haproxy = haproxy or haproxy_or_skip()
        port = port or free_port()
        self.stats_socket = os.path.join(self.root, "haproxy.sock")
        config = os.path.join(self.root, "haproxy.cfg")
        with open(HAPROXY_CONFIG) as shipped, open(config, "w") as rendered:
            rendered.write(render_haproxy_config(shipped.read(), port, self.ports, check_ms=check_ms,
                                                 stats_socket=self.stats_socket))
        with open(os.path.join(self.root, "haproxy.log"), "w") as log:
            self.haproxy = subprocess.Popen([haproxy, "-db", "-f", config], stdout=log, stderr=subprocess.STDOUT,
                                            stdin=subprocess.DEVNULL)
        self.url = "http://127.0.0.1:%d" % port
        self.wait_for_balancer(up=len(self.ports))
        return self.url

    def server_states(self):
        """{server name: status} of the checked servers, as HAProxy sees them now
        ("UP", "DOWN", ...); {} while HAProxy does not answer yet."""
        if self.haproxy.poll() is not None:
            with open(os.path.join(self.root, "haproxy.log")) as log:
                raise AssertionError("HAProxy stopped: %s" % log.read()[-2000:])
        try:
            with socket.socket(socket.AF_UNIX) as connection:
                connection.connect(self.stats_socket)
                connection.sendall(b"show stat\n")
                answer = b"".join(iter(lambda: connection.recv(65536), b""))
        except (FileNotFoundError, ConnectionRefusedError):
            return {}
        rows = csv.DictReader(answer.decode().lstrip("# ").splitlines())
        return {row["svname"]: row["status"].split()[0] for row in rows
                if row["pxname"] == "tavix_replicas" and row["svname"] not in ("FRONTEND", "BACKEND")
                and not row["svname"].endswith("-alive")}

    def wait_for_balancer(self, up):
        """Waits until HAProxy counts `up` replicas up (and the others down)."""
        def settled():
            states = list(self.server_states().values())
            return len(states) == len(self.ports) and states.count("UP") == up \
                and states.count("DOWN") == len(states) - up
        wait_for(settled, "HAProxy seeing %d replicas up" % up)

    # --------------------------------------------------------------- closing
    def close(self):
        for process in self.processes + [self.haproxy]:
            if process is not None and process.poll() is None:
                process.kill()
                process.wait(DEADLINE)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
