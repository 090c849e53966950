"""A private Tango control system for a test: MariaDB with the Tango
database, and the Tango database server DataBaseds on it, every file of
both in one temporary directory of the site's own, on loopback ports of its
own, stopped and removed when the site ends.

The database server of Debian's tango-db reads its MySQL account from the
environment (MYSQL_HOST as host:port, MYSQL_USER, MYSQL_PASSWORD,
MYSQL_DATABASE) and its schema's stored procedures name the database
`tango`.  The site makes a user of its own with a password for it, so
MariaDB runs with its grant tables as any server does.

Tango's own files go there too: its log path (TANGO_LOG_PATH, else
/tmp/tango-USER) and omniORB's unix sockets (ORBunixTransportDirectory,
else /tmp/omni-USER) are set in the environment of every process the site
starts, and of this one while the site runs.  A Tango 9.3 device server
names its unix socket in the object references it exports, and one whose
socket path is longer than about 56 characters cannot be reached through
the database (clients get TRANSIENT_ConnectFailed) and aborts at exit
("buffer overflow detected"): the sockets go to a directory with a short
name, in the site's directory when its path is short enough, else in one
of their own beside it.
"""
import importlib.util
import os
import pwd
import secrets
import shutil
import signal
import socket
import subprocess
import tempfile

from sim_process import child, eventually, stop

DATABASE_SERVER = "/usr/lib/tango/DataBaseds"
# The instance the Tango database itself declares for its server
# (sys/database/2).
DATABASE_INSTANCE = "2"
SCHEMA = "/usr/share/dbconfig-common/data/tango-db/install/mysql"
DATABASE_NAME = "tango"
DATABASE_USER = "kv318"
# Where the MariaDB programs live on Debian; /usr/sbin is not on every
# user's PATH.
SEARCH_PATH = os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/usr/bin"])
# The longest directory of omniORB's unix sockets that Tango copes with:
# the sockets are named PID-TIME (20 characters) in it, and paths up to 57
# characters were seen to work, 60 to fail.
SOCKET_DIR_MAX = 35
# A start on a busy machine: MariaDB makes its files and recovers, the
# database server connects and exports itself.
START_SECONDS = 120


def _program(name):
    return shutil.which(name, path=SEARCH_PATH)


def missing_packages():
    """The Debian packages the site needs that this machine lacks, each as
    'package (what is missing)'; empty when the site can run."""
    missing = []
    if importlib.util.find_spec("tango") is None:
        missing.append("python3-tango (the module tango)")
    absent = [p for p in ("mariadb-install-db", "mariadbd", "mariadb") if not _program(p)]
    if absent:
        missing.append("mariadb-server (%s)" % ", ".join(absent))
    absent = [p for p in (DATABASE_SERVER, SCHEMA) if not os.path.exists(p)]
    if absent:
        missing.append("tango-db (%s)" % ", ".join(absent))
    if not _program("tango_admin"):
        missing.append("libtango-tools (tango_admin)")
    return missing


def free_port():
    """A TCP port free on 127.0.0.1 just now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


class TangoSite:
    """MariaDB and DataBaseds in a directory of their own until stop() (or
    the with-block's end).  `env` is the environment for the processes a
    test starts against it: TANGO_HOST names the site's database server."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kvtango-")
        self.tmp = os.path.join(self.root, "tmp")
        os.mkdir(self.tmp)
        self._dirs = [self.root]
        user = pwd.getpwuid(os.getuid()).pw_name
        sockets = os.path.join(self.root, "o-%u")
        if len(sockets.replace("%u", user)) > SOCKET_DIR_MAX:
            self._dirs.append(tempfile.mkdtemp(prefix="kvo-", dir="/tmp"))
            sockets = os.path.join(self._dirs[-1], "o-%u")
        self.mysql_port = free_port()
        self.port = free_port()
        self.tango_host = "127.0.0.1:%d" % self.port
        self.socket = os.path.join(self.root, "mysql.sock")
        self.password = secrets.token_hex(16)
        self.env = dict(os.environ, TANGO_HOST=self.tango_host, TANGO_LOG_PATH=os.path.join(self.root, "tango-log"),
                        ORBunixTransportDirectory=sockets, TMPDIR=self.tmp,
                        HOME=self.root, PATH=SEARCH_PATH)
        self._procs = []  # (name, Popen, log path), in the order started
        self._saved_env = None

    # ---- the processes ----

    def _start(self, name, argv, env=None):
        log = os.path.join(self.root, name + ".log")
        with open(log, "w") as f:
            proc = child(argv, env=env or self.env, stdout=f, stderr=subprocess.STDOUT, cwd=self.root)
        self._procs.append((name, proc, log))
        return proc, log

    def _mariadb(self, sql, database=""):
        """Runs `sql` in the site's MariaDB as its administrator (root over
        the socket, which MariaDB lets in as this machine's user)."""
        argv = [_program("mariadb"), "--no-defaults", "--socket=" + self.socket, "--user=root", "--batch"]
        if database:
            argv.append(database)
        r = subprocess.run(argv, input=sql, env=self.env, capture_output=True, text=True, timeout=120,
                           cwd=self.root)
        if r.returncode != 0:
            raise RuntimeError("mariadb: %s\n%s" % (sql[:200], r.stderr))
        return r.stdout

    def _start_mariadb(self):
        data = os.path.join(self.root, "mysql")
        user = pwd.getpwuid(os.getuid()).pw_name
        # As root the server must be told to stay root; as anyone else it
        # runs as that user and refuses the option.
        as_user = ["--user=" + user] if os.getuid() == 0 else []
        r = subprocess.run([_program("mariadb-install-db"), "--no-defaults", "--datadir=" + data, *as_user,
                            "--auth-root-authentication-method=socket", "--auth-root-socket-user=" + user,
                            "--skip-test-db", "--skip-name-resolve"],
                           env=self.env, capture_output=True, text=True, timeout=300, cwd=self.root)
        if r.returncode != 0:
            raise RuntimeError("mariadb-install-db failed:\n" + r.stdout + r.stderr)
        proc, log = self._start("mariadbd", [
            _program("mariadbd"), "--no-defaults", "--datadir=" + data, "--socket=" + self.socket,
            "--port=%d" % self.mysql_port, "--bind-address=127.0.0.1", "--tmpdir=" + self.tmp,
            "--pid-file=" + os.path.join(self.root, "mariadbd.pid"), "--innodb-buffer-pool-size=16M", *as_user])

        def answers():
            if proc.poll() is not None:
                return True
            if not os.path.exists(self.socket):
                return False
            try:
                self._mariadb("SELECT 1;")
                return True
            except RuntimeError:
                return False
        if not eventually(answers, START_SECONDS) or proc.poll() is not None:
            raise RuntimeError("MariaDB did not start:\n" + _read(log))

    def _make_database(self):
        account = "'%s'@'127.0.0.1'" % DATABASE_USER
        self._mariadb("CREATE DATABASE %s; CREATE USER %s IDENTIFIED BY '%s'; GRANT ALL PRIVILEGES ON %s.* TO %s;"
                      % (DATABASE_NAME, account, self.password, DATABASE_NAME, account))
        # The schema as dbconfig-common loads it at install: tables, stored
        # procedures and the database server's own devices.
        with open(SCHEMA) as f:
            self._mariadb(f.read(), DATABASE_NAME)

    def _start_database_server(self):
        env = dict(self.env, MYSQL_HOST="127.0.0.1:%d" % self.mysql_port, MYSQL_USER=DATABASE_USER,
                   MYSQL_PASSWORD=self.password, MYSQL_DATABASE=DATABASE_NAME)
        proc, log = self._start("DataBaseds", [DATABASE_SERVER, DATABASE_INSTANCE, "-ORBendPoint",
                                               "giop:tcp:127.0.0.1:%d" % self.port], env)
        if not eventually(lambda: "Ready to accept request" in _read(log) or proc.poll() is not None,
                          START_SECONDS) or proc.poll() is not None:
            raise RuntimeError("DataBaseds did not start:\n" + _read(log))

    def start(self):
        """Starts MariaDB and DataBaseds and waits until a client lists the
        database's servers; whatever started is stopped again when a step
        fails."""
        try:
            self._start_mariadb()
            self._make_database()
            self._start_database_server()
            names = ("TANGO_HOST", "TANGO_LOG_PATH", "ORBunixTransportDirectory")
            self._saved_env = {k: os.environ.get(k) for k in names}
            os.environ.update({k: self.env[k] for k in self._saved_env})
            servers = []
            if not eventually(lambda: servers.extend(self._server_list()) or servers, START_SECONDS):
                raise RuntimeError("the Tango database does not answer:\n" + self.output("DataBaseds"))
        except BaseException:
            self.stop()
            raise
        return self

    def _server_list(self):
        import tango
        try:
            return list(self.database().get_server_list())
        except tango.DevFailed:
            return []

    def output(self, name):
        """What the site's process `name` (mariadbd, DataBaseds) printed."""
        return _read(os.path.join(self.root, name + ".log"))

    def stop(self):
        """Stops what the site started, last first, and removes its
        directory; raises when a process had to be killed."""
        killed = []
        for name, proc, _ in reversed(self._procs):
            if not stop(proc, signal.SIGTERM, 60):
                killed.append(name)
        self._procs = []
        if self._saved_env is not None:
            for k, v in self._saved_env.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
            self._saved_env = None
        for d in self._dirs:
            shutil.rmtree(d, ignore_errors=True)
        if killed:
            raise AssertionError("did not end on SIGTERM within 60 s and were killed: " + ", ".join(killed))

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # ---- what a test does with it ----

    def database(self):
        """A PyTango client of the site's database."""
        import tango
        return tango.Database("127.0.0.1", self.port)

    def admin(self, *args):
        """tango_admin with `args` against the site's database; fails with
        its output when it fails."""
        r = subprocess.run([_program("tango_admin"), *args], env=self.env, capture_output=True, text=True,
                           timeout=120, cwd=self.root)
        if r.returncode != 0:
            raise AssertionError("tango_admin %s: exit %d\n%s%s" % (" ".join(args), r.returncode, r.stdout,
                                                                    r.stderr))
        return r.stdout

    def register(self, server, tango_class, devices):
        """Registers the server `server` (exec/instance) with its devices,
        each {name: {property: value}}, as a facility does: tango_admin
        --add-server, then --add-property for each property."""
        self.admin("--add-server", server, tango_class, ",".join(devices))
        for device, properties in devices.items():
            for name, value in properties.items():
                self.admin("--add-property", device, name, str(value))
