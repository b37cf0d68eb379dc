"""A throw-away PostgreSQL server for tests, benchmarks and demos.

    from pgcluster import Postgres
    with Postgres() as pg:          # initdb + start, on a free 127.0.0.1 port
        use(pg.url)                 # "postgresql://postgres@127.0.0.1:PORT/quillo"
    # stopped, and its folder removed

PostgreSQL refuses to run as root, so when this runs as root the server runs
as the `postgres` system user (through runuser) in a temporary folder owned by
that user.  Nothing outside that folder is touched.  The standard library is
all this needs, so any Python can use it.

Postgres(database="quillo", durable=True, settings=None):
  durable=False turns fsync and synchronous commit off (faster; for tests).
  settings: extra server settings, {"max_connections": "200"}.
Attributes while running: url, port, host ("127.0.0.1"), socket_dir, data_dir, log_path.
pause() stops the server and resume() starts it again, with the same data.
Failures raise PostgresError with the end of the server's log.

Run as a script it starts a server, prints its url and keeps it until Ctrl-C.
"""

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile


class PostgresError(Exception):
    pass


def _bin_dir():
    found = os.environ.get("QUILLO_PG_BIN")
    if not found:
        dirs = sorted(glob.glob("/usr/lib/postgresql/*/bin"),
                      key=lambda d: int(d.split("/")[-2]) if d.split("/")[-2].isdigit() else 0)
        found = dirs[-1] if dirs else None
    if not found or not os.path.exists(os.path.join(found, "initdb")):
        raise PostgresError("PostgreSQL server programs not found under /usr/lib/postgresql/*/bin "
                            "(install the postgresql package: scripts/setup), or set QUILLO_PG_BIN")
    return found


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Postgres:
    def __init__(self, database="quillo", durable=True, settings=None):
        self.database = database
        self.durable = durable
        self.settings = dict(settings or {})
        self.host = "127.0.0.1"
        self.port = None
        self.url = None
        self.root = None
        self._started = False

    def _run(self, *args, timeout=120):
        cmd = list(args)
        if os.geteuid() == 0:
            cmd = ["runuser", "-u", "postgres", "--"] + cmd
        try:
            done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL, timeout=timeout, cwd=self.root)
        except (OSError, subprocess.TimeoutExpired) as e:
            raise PostgresError(f"{os.path.basename(args[0])} failed: {e}") from None
        if done.returncode != 0:
            raise PostgresError(f"{os.path.basename(args[0])} failed "
                                f"(exit {done.returncode}):\n{done.stdout.decode(errors='replace')}"
                                f"{self._log_tail()}")
        return done.stdout.decode(errors="replace")

    def _log_tail(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return "\nserver log:\n" + "".join(f.readlines()[-20:])
        except (OSError, TypeError, AttributeError):
            return ""

    def start(self):
        bindir = _bin_dir()
        self.root = tempfile.mkdtemp(prefix="quillo-pg-")
        try:
            if os.geteuid() == 0:
                try:
                    user = pwd.getpwnam("postgres")
                except KeyError:
                    raise PostgresError("no `postgres` system user to run the server as") from None
                os.chown(self.root, user.pw_uid, user.pw_gid)
            self.data_dir = os.path.join(self.root, "data")
            self.socket_dir = self.root
            self.log_path = os.path.join(self.root, "server.log")
            self._run(os.path.join(bindir, "initdb"), "-D", self.data_dir, "-U", "postgres",
                      "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync")
            self.port = _free_port()
            settings = {"listen_addresses": self.host, "port": str(self.port),
                        "unix_socket_directories": self.socket_dir}
            if not self.durable:
                settings.update(fsync="off", synchronous_commit="off", full_page_writes="off")
            settings.update(self.settings)
            self._options = " ".join(f"-c {k}={v}" for k, v in settings.items())
            self._run(os.path.join(bindir, "pg_ctl"), "-D", self.data_dir, "-l", self.log_path,
                      "-o", self._options, "-w", "-t", "60", "start")
            self._started = True
            self._run(os.path.join(bindir, "createdb"), "-h", self.host, "-p", str(self.port),
                      "-U", "postgres", self.database)
            self._bindir = bindir
            self.url = f"postgresql://postgres@{self.host}:{self.port}/{self.database}"
        except BaseException:
            self.stop()
            raise
        return self

    def pause(self):
        """Stops the server, keeping its data, as a database that goes away:
        every session ends and new connections are refused until resume()."""
        self._run(os.path.join(_bin_dir(), "pg_ctl"), "-D", self.data_dir, "-m", "fast",
                  "-w", "-t", "60", "stop")

    def resume(self):
        """Starts the paused server again, on the same port with the same data."""
        self._run(os.path.join(_bin_dir(), "pg_ctl"), "-D", self.data_dir, "-l", self.log_path,
                  "-o", self._options, "-w", "-t", "60", "start")

    def stop(self):
        if self._started:
            self._started = False
            try:
                self._run(os.path.join(_bin_dir(), "pg_ctl"), "-D", self.data_dir,
                          "-m", "immediate", "-w", "-t", "60", "stop")
            except PostgresError:
                pass
        if self.root:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


if __name__ == "__main__":
    import signal

    def _interrupt(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, _interrupt)
    with Postgres() as pg:
        print(pg.url, flush=True)
        try:
            signal.pause()
        except KeyboardInterrupt:
            pass
