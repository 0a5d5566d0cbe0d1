"""A throwaway PostgreSQL cluster of Debian's postgresql package, for tests and the team demo."""
import glob
import itertools
import os

__all__ = ["PostgresCluster", "initdb_directory"]


def initdb_directory():
    """The directory of the newest PostgreSQL's programs; RuntimeError when none is installed."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
    if not found:
        raise RuntimeError("PostgreSQL is not installed (apt-get install postgresql)")
    return os.path.dirname(found[-1])


class PostgresCluster:
    """A throwaway PostgreSQL cluster: initdb in a temporary directory, a Unix
    socket there and no TCP port, removed by stop()."""

    def __init__(self, bin_dir):
        import getpass
        import shutil
        import subprocess
        import tempfile

        self.bin_dir = bin_dir
        self.base = tempfile.mkdtemp(prefix="tavix-pg-")
        # initdb refuses to run as root: the cluster then belongs to the postgres user.
        self.run_as = []
        if os.geteuid() == 0:
            shutil.chown(self.base, "postgres")
            self.run_as = ["runuser", "-u", "postgres", "--"]
        self.user = "postgres" if self.run_as else getpass.getuser()
        self.data = os.path.join(self.base, "data")
        self._run("initdb", "-D", self.data, "-A", "trust", "-U", "tavix", "-E", "UTF8", "--no-sync")
        self.start_server()
        self.url = "postgresql://tavix@/postgres?host=%s" % self.base
        self._subprocess, self._shutil = subprocess, shutil
        self._databases = itertools.count(1)

    def _run(self, tool, *args):
        import subprocess

        subprocess.run(self.run_as + [os.path.join(self.bin_dir, tool), *args], check=True,
                       capture_output=True, timeout=60)

    def start_server(self):
        self._run("pg_ctl", "-D", self.data, "-l", os.path.join(self.base, "server.log"), "-w", "-t", "30",
                  "start", "-o", "-k %s -c listen_addresses='' -c fsync=off -c full_page_writes=off" % self.base)

    def stop_server(self):
        """Stops the server, its data kept: start_server() brings it back."""
        self._run("pg_ctl", "-D", self.data, "-m", "fast", "-w", "stop")

    def new_database(self):
        """The URL of a new empty database of the cluster."""
        import psycopg

        name = "tavix_test_%d" % next(self._databases)
        with psycopg.connect("dbname=postgres user=tavix host=%s" % self.base, autocommit=True) as connection:
            connection.execute("CREATE DATABASE %s" % name)
        return "postgresql://tavix@/%s?host=%s" % (name, self.base)

    def stop(self):
        try:
            self._run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
        finally:
            self._shutil.rmtree(self.base, ignore_errors=True)
