"""A request journal on PostgreSQL for the end-to-end tests: a private
cluster started by scripts/postgres.sh, a byte-forwarding TCP proxy in front
of it whose connections a test cuts, a reader of the journal's tables (psql,
the cluster's own client) and the service run as on a host of its own.

    pg = Postgres("shared")                 # one cluster per test class
    schema = pg.new_schema()                # one journal per test
    proxy = TcpProxy(pg.port)               # one per instance
    config = pg.journal_config(schema, proxy.port)
    journal = PgJournal(pg, schema)
"""

import glob
import itertools
import json
import os
import pwd
import queue
import re
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time

import stomp
from ptyprocess import PtyProcess

import harness

POSTGRES_SH = os.path.join(harness.ROOT, "scripts", "postgres.sh")
KEY_FILE = os.path.join("journal", "shared-journal.key")  # from a workspace's root: ../journal/ of its run/

_names = itertools.count(1)


def pg_bin():
    """The cluster's binaries, found as scripts/postgres.sh finds them."""
    if os.environ.get("MQB_PG_BIN"):
        return os.environ["MQB_PG_BIN"]
    dirs = glob.glob("/usr/lib/postgresql/*/bin")
    if not dirs:
        raise AssertionError("no PostgreSQL server in /usr/lib/postgresql; run scripts/setup.sh")
    return max(dirs, key=lambda d: [int(p) if p.isdigit() else p for p in re.split(r"(\d+)", d)])


class Postgres:
    """One cluster of scripts/postgres.sh, purged by close() (only stopped
    with MQB_KEEP_POSTGRES=1). A cluster that cannot start raises
    AssertionError with the script's output: the test fails, it is not
    skipped."""

    def __init__(self, tag):
        self.name = f"e2e-{tag}-{os.getpid()}-{next(_names)}"[-48:].lstrip(".-_")
        self.bin = pg_bin()
        self._script("purge")
        self._start()
        self._schemas = itertools.count(1)

    def _script(self, command, *args, timeout=120):
        result = subprocess.run([POSTGRES_SH, command, self.name, *args], capture_output=True, text=True,
                                timeout=timeout)
        if result.returncode != 0:
            raise AssertionError(f"scripts/postgres.sh {command} {self.name} failed with status "
                                 f"{result.returncode}:\n{result.stdout}{result.stderr}")
        return result.stdout

    def _start(self):
        out = self._script("start", "--owner", str(os.getpid()))
        self.env = {}
        with open(out.strip().splitlines()[-1]) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                self.env[key] = value
        port = int(self.env["PGPORT"])
        if getattr(self, "port", port) != port:
            raise AssertionError(f"cluster {self.name} came back on port {port}, not {self.port}")
        self.port = port
        self.user = self.env["PGUSER"]
        self.database = self.env["PGDATABASE"]
        self.password_file = self.env["PG_PASSWORD_FILE"]
        self.ca_file = self.env["PG_CA_FILE"]
        with open(self.password_file) as f:
            self.password = f.readline().strip()

    @property
    def pid(self):
        return int(self._script("status").strip())

    def stop(self):
        self._script("stop")

    def start(self):
        """Starts it again on the same port with the same data."""
        self._start()

    def restart(self):
        self.stop()
        self.start()

    def crash(self):
        """Stops the server at once, as a crash would: no checkpoint, every
        connection dropped; the next start recovers from its WAL."""
        command = [os.path.join(self.bin, "pg_ctl"), "stop", "-D", self.env["PGDATA"], "-m", "immediate", "-w",
                   "-t", "30"]
        if os.geteuid() == 0:  # the server's files are the postgres user's
            command = ["runuser", "-u", "postgres", "--"] + command
        result = subprocess.run(command, capture_output=True, text=True, cwd="/", timeout=60)
        if result.returncode != 0:
            raise AssertionError(f"pg_ctl stop -m immediate failed: {result.stdout}{result.stderr}")

    def close(self):
        keep = os.environ.get("MQB_KEEP_POSTGRES") not in (None, "", "0")
        self._script("stop" if keep else "purge")

    def configure(self, **settings):
        """Sets server settings (ALTER SYSTEM, as the cluster's superuser
        over its private socket) and reloads them; a value None resets one."""
        script = "".join(f"ALTER SYSTEM RESET {k};\n" if v is None else f"ALTER SYSTEM SET {k} = '{v}';\n"
                         for k, v in settings.items()) + "SELECT pg_reload_conf();\n"
        superuser = "postgres" if os.geteuid() == 0 else pwd.getpwuid(os.geteuid()).pw_name
        command = [os.path.join(self.bin, "psql"), "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h",
                   os.path.join(self.env["PG_DIR"], "run"), "-p", str(self.port), "-U", superuser, "-d", "postgres"]
        if os.geteuid() == 0:
            command = ["runuser", "-u", "postgres", "--"] + command
        result = subprocess.run(command, input=script, capture_output=True, text=True, cwd="/", timeout=30)
        if result.returncode != 0:
            raise AssertionError(f"cannot configure cluster {self.name}: {result.stderr}")

    # -- journals ----------------------------------------------------------

    def new_schema(self):
        """A schema of its own for one journal (the service makes its tables)."""
        name = f"j{next(self._schemas)}"
        self.psql(f"CREATE SCHEMA {name}")
        return name

    def uri(self, port=None, schema=None):
        """The journal's URI, without the password (journalPasswordFile gives
        it), verifying the server's certificate; port: a proxy's."""
        uri = (f"postgresql://{self.user}@127.0.0.1:{port or self.port}/{self.database}"
               f"?sslmode=verify-full&sslrootcert={self.ca_file}&connect_timeout=5")
        if schema:
            uri += f"&options=-csearch_path%3D{schema}"
        return uri

    def journal_config(self, schema, port=None):
        """Config keys for a service on this journal."""
        return {"journal": self.uri(port, schema), "journalPasswordFile": self.password_file}

    # -- the cluster's own tools -------------------------------------------

    def _client_env(self, schema=None):
        env = dict(os.environ, PGPASSFILE=self.env["PGPASSFILE"], PGCONNECT_TIMEOUT="5")
        env.pop("PGPASSWORD", None)
        if schema:
            env["PGOPTIONS"] = f"-csearch_path={schema}"
        return env

    def psql(self, script, schema=None, variables=None, timeout=30):
        """Runs an SQL script (psql variables :'name' from variables);
        returns its unaligned, tuples-only output."""
        args = [os.path.join(self.bin, "psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                "-h", "127.0.0.1", "-p", str(self.port), "-U", self.user, "-d", self.database]
        for key, value in (variables or {}).items():
            args += ["-v", f"{key}={value}"]
        result = subprocess.run(args, input=script, capture_output=True, text=True, env=self._client_env(schema),
                                timeout=timeout)
        if result.returncode != 0:
            raise PsqlError(result.stderr.strip())
        return result.stdout

    def pg_dump(self):
        """The whole database as pg_dump writes it (bytes)."""
        result = subprocess.run([os.path.join(self.bin, "pg_dump"), "-h", "127.0.0.1", "-p", str(self.port),
                                 "-U", self.user, "-d", self.database], capture_output=True,
                                env=self._client_env(), timeout=60)
        if result.returncode != 0:
            raise AssertionError(f"pg_dump failed: {result.stderr.decode(errors='replace')}")
        return result.stdout


class PsqlError(RuntimeError):
    pass


class PgJournal:
    """The service's request journal on PostgreSQL, read with psql; the
    methods of harness.Journal."""

    def __init__(self, pg, schema):
        self.pg = pg
        self.schema = schema

    def query(self, select, params=()):
        """Rows of a SELECT as dicts; '?' in it are params, in order. No
        rows while the service has not made its tables."""
        counter = itertools.count(1)
        sql = re.sub(r"\?", lambda _: f":'p{next(counter)}'", select)
        variables = {f"p{n}": str(v) for n, v in enumerate(params, start=1)}
        try:
            out = self.pg.psql(f"SELECT coalesce(json_agg(r), '[]'::json) FROM ({sql}) r;", self.schema, variables)
        except PsqlError as e:
            if "does not exist" in str(e):
                return []
            raise
        return json.loads(out)

    def rows(self, where="TRUE", params=()):
        return self.query(f"SELECT * FROM requests WHERE {where} ORDER BY id", params)

    def by_correlation(self, correlation_id):
        return self.rows("correlation_id = ?", (correlation_id,))

    def history(self, request_id):
        return self.query("SELECT * FROM history WHERE request_id = ? ORDER BY at", (request_id,))

    def leases(self):
        return self.query("SELECT * FROM leases ORDER BY renewed_at")

    def lease_of(self, owner):
        found = self.query("SELECT * FROM leases WHERE owner = ?", (owner,))
        return found[0] if found else None

    def now_ms(self):
        """The database's clock, as the leases are timed."""
        return int(self.pg.psql("SELECT (extract(epoch FROM clock_timestamp()) * 1000)::bigint;").strip())

    def wait_state(self, correlation_id, *states, timeout=30):
        """The request's row once its state is one of states."""
        deadline = time.monotonic() + timeout
        while True:
            rows = self.by_correlation(correlation_id)
            for row in rows:
                if row["state"] in states:
                    return row
            if time.monotonic() > deadline:
                raise AssertionError(f"journal row of {correlation_id} not {'/'.join(states)} within {timeout} s: "
                                     f"{[(r['state'], r['owner']) for r in rows]}")
            time.sleep(0.1)


class TcpProxy:
    """Forwards bytes between loopback clients and one TCP server. cut()
    drops every connection (a reset) and refuses new ones until heal()."""

    def __init__(self, target_port, target_host="127.0.0.1"):
        self.target = (target_host, target_port)
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(64)
        self.port = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._pairs = set()
        self._cut = False
        self._closing = False
        self.accepted = 0  # connections forwarded
        self.refused = 0   # connections refused while cut
        self._thread = threading.Thread(target=self._accept_loop, name=f"tcp-proxy-{self.port}", daemon=True)
        self._thread.start()

    @staticmethod
    def _reset(sock):
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sock.shutdown(socket.SHUT_RDWR)  # wakes the thread reading it
        except OSError:
            pass
        sock.close()

    def _accept_loop(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            with self._lock:
                if self._closing:
                    self._reset(client)
                    return
                if self._cut:
                    self.refused += 1
                    self._reset(client)
                    continue
            try:
                upstream = socket.create_connection(self.target, timeout=5)
                upstream.settimeout(None)
            except OSError:
                self._reset(client)
                continue
            pair = (client, upstream)
            with self._lock:
                if self._cut or self._closing:
                    self._reset(client)
                    self._reset(upstream)
                    continue
                self._pairs.add(pair)
                self.accepted += 1
            for src, dst in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pump, args=(src, dst, pair), daemon=True).start()

    def _pump(self, src, dst, pair):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        with self._lock:
            if pair not in self._pairs:
                return  # cut: both ends reset already
            self._pairs.discard(pair)
        # An end closed by its side: the other end sees it closed too.
        for s in pair:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def connections(self):
        with self._lock:
            return len(self._pairs)

    def cut(self):
        """Resets every connection; refuses new ones until heal()."""
        with self._lock:
            self._cut = True
            pairs, self._pairs = self._pairs, set()
            for pair in pairs:
                for s in pair:
                    self._reset(s)

    def heal(self):
        with self._lock:
            self._cut = False

    def close(self):
        with self._lock:
            self._closing = True
        self.cut()
        self._listener.close()
        self._thread.join(5)


# -- the service as on a host of its own -----------------------------------

def check_pid_namespaces():
    """'' when this machine can run a process in a PID namespace of its own,
    else why not."""
    result = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", "--kill-child", "true"],
                            capture_output=True, text=True)
    return "" if result.returncode == 0 else f"unshare --pid: {result.stderr.strip()} (needs root)"


class HostService(harness.Service):
    """mqbridge on a pseudo-terminal in a PID namespace of its own: its
    lease names a place no other instance shares, so the others tell that it
    lives from its lease alone, as they would on another host. kill() is a
    SIGKILL to it."""

    def __init__(self, workspace):
        self.workspace = workspace
        self.proc = PtyProcess.spawn(["unshare", "--pid", "--fork", "--mount-proc", "--kill-child", harness.MQBRIDGE],
                                     cwd=workspace.run, env=workspace.env, dimensions=(50, 200))
        self._start_draining(lambda: self.proc.read(65536))
        self.child = None

    def service_pid(self):
        """The pid of mqbridge itself (the child of unshare)."""
        if self.child is None:
            deadline = time.monotonic() + 10
            while self.child is None:
                try:
                    with open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children") as f:
                        kids = f.read().split()
                except OSError:
                    kids = []
                if kids:
                    self.child = int(kids[0])
                elif time.monotonic() > deadline:
                    raise AssertionError("mqbridge did not start under unshare")
                else:
                    time.sleep(0.02)
        return self.child

    def kill(self):
        if not self.proc.isalive():
            return
        pid = self.service_pid()
        os.kill(pid, signal.SIGKILL)
        # Gone, not only signalled: its connections are closed.
        deadline = time.monotonic() + 10
        while _running(pid) and time.monotonic() < deadline:
            time.sleep(0.01)
        self.proc.wait()


def _running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except OSError:
        return False


def share_key(from_ws, to_ws):
    """Copies the digest key the journal began with to another host's
    default place, as its operator would."""
    source = os.path.join(from_ws.root, KEY_FILE)
    target = os.path.join(to_ws.root, KEY_FILE)
    os.makedirs(os.path.dirname(target), mode=0o700, exist_ok=True)
    shutil.copy2(source, target)


def browse(broker, queue_name, timeout=30):
    """Bodies of the messages on a queue, left on it (a queue browser)."""
    seen = queue.Queue()

    class Listener(stomp.ConnectionListener):
        def on_message(self, frame):
            seen.put(frame)

    conn = stomp.Connection12([("127.0.0.1", broker.stomp_port)], heartbeats=(0, 0), auto_decode=False)
    conn.set_listener("browse", Listener())
    conn.connect(wait=True, headers={"host": "localhost"})
    try:
        conn.subscribe(f"/queue/{queue_name}", id="browse", ack="auto", headers={"browser": "true"})
        bodies = []
        while True:
            try:
                frame = seen.get(timeout=timeout)
            except queue.Empty:
                raise AssertionError(f"the browser of {queue_name} did not end within {timeout} s") from None
            if frame.headers.get("browser") == "end":
                return bodies
            bodies.append(frame.body)
    finally:
        conn.disconnect()
