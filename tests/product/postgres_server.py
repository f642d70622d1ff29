"""A throwaway PostgreSQL server for the tests: a cluster on a Unix socket in a temporary folder.

The server binaries come from Debian's postgresql package. The server refuses
to run as root, so under root (as in CI) the cluster belongs to ``nobody``.
"""

import glob
import os
import pwd
import shutil
import subprocess
import tempfile

SUPERUSER = "corvane"


def find_bin_dir():
    """The folder holding initdb and pg_ctl (the newest Debian version first), or None."""
    found = shutil.which("initdb")
    dirs = ([os.path.dirname(os.path.realpath(found))] if found else []) + sorted(
        glob.glob("/usr/lib/postgresql/*/bin"), key=lambda d: d.split("/")[-2].zfill(4), reverse=True)
    return next((d for d in dirs if all(os.access(os.path.join(d, b), os.X_OK)
                                        for b in ("initdb", "pg_ctl", "postgres"))), None)


class Server:
    def __init__(self, bin_dir):
        self.bin_dir = bin_dir
        # Short: a socket path is limited to about 100 bytes.
        self.base = tempfile.mkdtemp(prefix="cvpg-", dir="/tmp")
        self.data = os.path.join(self.base, "data")
        self.as_user = None
        if os.geteuid() == 0:
            self.as_user = "nobody"
            os.chown(self.base, pwd.getpwnam("nobody").pw_uid, -1)
        self.started = False
        self._databases = 0

    def _run(self, *args):
        cmd = [os.path.join(self.bin_dir, args[0]), *args[1:]]
        if self.as_user:
            cmd = ["runuser", "-u", self.as_user, "--", *cmd]
        return subprocess.run(cmd, capture_output=True, text=True, timeout=120, cwd=self.base)

    def start(self):
        r = self._run("initdb", "-D", self.data, "-U", SUPERUSER, "--auth=trust", "-E", "UTF8",
                      "--no-sync")
        if r.returncode:
            raise RuntimeError(f"initdb failed: {r.stderr or r.stdout}")
        options = f"-k {self.base} -c listen_addresses='' -c fsync=off -c max_connections=60"
        r = self._run("pg_ctl", "-D", self.data, "-o", options, "-w", "-t", "60",
                      "-l", os.path.join(self.base, "log"), "start")
        if r.returncode:
            raise RuntimeError(f"pg_ctl start failed: {r.stderr or r.stdout}")
        self.started = True
        return self

    def url(self, database="postgres", user=SUPERUSER):
        return f"postgresql://{user}@/{database}?host={self.base}"

    def new_database(self):
        import psycopg
        self._databases += 1
        name = f"t{os.getpid()}_{self._databases}"
        with psycopg.connect(self.url(), autocommit=True) as conn:
            conn.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def stop(self):
        if self.started:
            self._run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
        shutil.rmtree(self.base, ignore_errors=True)
