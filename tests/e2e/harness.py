"""Real components for the end-to-end tests: a broker started by
scripts/broker.sh, a trading-server database made with the tradesim command,
the mqbridge process on a pseudo-terminal or, as a service manager runs it,
on pipes, and a STOMP client (python3-stomp).

Paths come from the environment that ctest sets: MQB_ROOT (repository),
MQBRIDGE, MQBRIDGE_SEND and TRADESIM (built programs).
"""

import itertools
import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request

import stomp
from ptyprocess import PtyProcess

ROOT = os.environ.get("MQB_ROOT") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
MQBRIDGE = os.environ.get("MQBRIDGE", os.path.join(ROOT, "build", "bin", "mqbridge"))
MQBRIDGE_SEND = os.environ.get("MQBRIDGE_SEND", os.path.join(ROOT, "build", "bin", "mqbridge-send"))
TRADESIM = os.environ.get("TRADESIM", os.path.join(ROOT, "build", "tradesim", "tradesim"))
BROKER_SH = os.path.join(ROOT, "scripts", "broker.sh")
JMS_PEER = os.path.join(ROOT, "tests", "interop", "jms-peer.sh")

MANAGER_LOGIN = 1005
MANAGER_PASSWORD = "Mgr#Pass-1"
SERVER = "127.0.0.1:443"

_names = itertools.count(1)


class Broker:
    """One broker instance of scripts/broker.sh, purged by close()."""

    def __init__(self, tag):
        self.name = f"e2e-{tag}-{os.getpid()}-{next(_names)}"
        self._script("purge")
        out = self._script("start", "--owner", str(os.getpid()))
        self.env = {}
        with open(out.strip().splitlines()[-1]) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                self.env[key] = value
        self.stomp_port = int(self.env["STOMP_PORT"])
        self.openwire_port = int(self.env["OPENWIRE_PORT"])

    def _script(self, command, *args):
        result = subprocess.run([BROKER_SH, command, self.name, *args], capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"broker.sh {command} {self.name} failed: {result.stderr}")
        return result.stdout

    @property
    def uri(self):
        return f"tcp://127.0.0.1:{self.stomp_port}"

    @property
    def openwire_uri(self):
        return f"tcp://127.0.0.1:{self.openwire_port}"

    def kill(self):
        self._script("kill")

    def restart(self):
        """Starts again on the same ports with the same data."""
        self._script("restart")

    def close(self):
        if os.environ.get("MQB_KEEP_BROKERS") not in (None, "", "0"):
            self._script("stop")
        else:
            self._script("purge")


class BrokerPair:
    """A master and a standby on one shared store (scripts/broker.sh
    start-pair), purged by close(). The master's ports are stomp_port and
    openwire_port, so Client(pair) talks to the broker that serves."""

    def __init__(self, tag):
        self.name = f"e2e-{tag}-{os.getpid()}-{next(_names)}"
        self._script("purge")
        self._read_env(self._script("start-pair", "--owner", str(os.getpid())))
        self.stomp_ports = (int(self.env["STOMP_PORT_A"]), int(self.env["STOMP_PORT_B"]))

    def _script(self, command, *args, timeout=None):
        result = subprocess.run([BROKER_SH, command, self.name, *args], capture_output=True, text=True,
                                timeout=timeout)
        if result.returncode != 0:
            raise RuntimeError(f"broker.sh {command} {self.name} failed: {result.stderr}")
        return result.stdout

    def _read_env(self, out):
        self.env = {}
        with open(out.strip().splitlines()[-1]) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                self.env[key] = value

    @property
    def master(self):
        """"a" or "b", the member that served when last looked at ("" for none)."""
        return self.env["MASTER"]

    @property
    def stomp_port(self):
        if not self.env["STOMP_PORT"]:
            raise AssertionError(f"no member of broker pair {self.name} serves (wait_master first)")
        return int(self.env["STOMP_PORT"])

    @property
    def openwire_port(self):
        return int(self.env["OPENWIRE_PORT"])

    @property
    def failover_uri(self):
        a, b = self.stomp_ports
        return f"failover:(tcp://127.0.0.1:{a},tcp://127.0.0.1:{b})?initialReconnectDelay=100&maxReconnectDelay=1000"

    def pid(self, member):
        return int(self.env[f"BROKER_{member.upper()}_PID"])

    def kill_master(self):
        """SIGKILL to the member that serves; returns which one it was."""
        killed = self.master
        self._read_env(self._script("kill-master"))
        return killed

    def wait_master(self, timeout=60):
        """Waits until a member serves; returns "a" or "b"."""
        self._script("master", "--wait", str(int(timeout)), timeout=timeout + 30)
        self._read_env(os.path.join(self.env["PAIR_DIR"], "env"))
        return self.master

    def restart(self):
        """Starts the members that are not running again, as standby of the
        one that serves (both down: a first, as master)."""
        self._read_env(self._script("restart"))

    def close(self):
        if os.environ.get("MQB_KEEP_BROKERS") not in (None, "", "0"):
            self._script("stop")
        else:
            self._script("purge")


QUEUES = {
    "userRecordCreate": "e2e.user.create",
    "userRecordUpdate": "e2e.user.update",
    "userRecordPasswordUpdate": "e2e.user.password",
    "tradeTransInfo": "e2e.trade",
    "userRecordCreateCallback": "e2e.user.create.reply",
    "userRecordUpdateCallback": "e2e.user.update.reply",
    "userRecordPasswordUpdateCallback": "e2e.user.password.reply",
    "tradeTransInfoCallback": "e2e.trade.reply",
}
KIND_QUEUES = {
    "create": ("userRecordCreate", "userRecordCreateCallback"),
    "update": ("userRecordUpdate", "userRecordUpdateCallback"),
    "password": ("userRecordPasswordUpdate", "userRecordPasswordUpdateCallback"),
    "trade": ("tradeTransInfo", "tradeTransInfoCallback"),
}


def request_queue(kind):
    return QUEUES[KIND_QUEUES[kind][0]]


def callback_queue(kind):
    return QUEUES[KIND_QUEUES[kind][1]]


class Workspace:
    """<tmp>/run is the service's working directory (config.ini, the trading
    server's database); its daily log goes to <tmp>/log."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="mqb-e2e-")
        self.run = os.path.join(self.root, "run")
        os.mkdir(self.run)
        self.db = os.path.join(self.run, "tradesim.db")
        self.env = dict(os.environ, TRADESIM_DB=self.db)

    def tradesim(self, *args):
        result = subprocess.run([TRADESIM, *args], capture_output=True, text=True, env=self.env)
        if result.returncode != 0:
            raise RuntimeError(f"tradesim {' '.join(args)} failed: {result.stderr}")
        return result.stdout

    def seed(self):
        self.tradesim("init", "--server", SERVER, "--manager", str(MANAGER_LOGIN), "--password", MANAGER_PASSWORD)
        self.tradesim("account", "add", "--login", "20001", "--name", "Demo One", "--group", "demo",
                      "--balance", "1000", "--master-pass", "Old#Master1")
        self.tradesim("account", "add", "--login", "20002", "--name", "Demo Two", "--group", "demo",
                      "--balance", "500", "--credit", "100")

    def account(self, login):
        values = {}
        for line in self.tradesim("account", "show", str(login)).splitlines():
            key, _, value = line.partition("=")
            values[key] = value
        return values

    def deals(self, login):
        rows = []
        for line in self.tradesim("deal", "list", "--login", str(login)).splitlines():
            if line.strip():
                rows.append(line.split("\t"))
        return rows

    def write_config(self, broker_uri, **overrides):
        config = {
            "server": SERVER,
            "login": MANAGER_LOGIN,
            "password": MANAGER_PASSWORD,
            "activeMqName": "",
            "activeMqPassword": "",
            "brokerURI": broker_uri,
            **QUEUES,
            "tradeCancellationCreditTransInfo": "creditCancel",
        }
        config.update(overrides)
        for key in [k for k, v in config.items() if v is None]:
            del config[key]
        self.config_path = os.path.join(self.run, "config.ini")
        with open(self.config_path, "w") as f:
            json.dump(config, f, indent=2)

    def log_text(self):
        text = ""
        log_dir = os.path.join(self.root, "log")
        if os.path.isdir(log_dir):
            for name in sorted(os.listdir(log_dir)):
                with open(os.path.join(log_dir, name), "rb") as f:
                    text += f.read().decode("utf-8", "replace")
        return text

    def close(self):
        if os.environ.get("MQB_KEEP_WORK"): return
        shutil.rmtree(self.root, ignore_errors=True)


class _Drained:
    """Output of a process, drained all the time by a thread (a service
    blocked on a full terminal or pipe would stall every request)."""

    def _start_draining(self, read):
        self._read = read
        self._output = bytearray()
        self._changed = threading.Condition()
        self._ended = False
        self._reader = threading.Thread(target=self._drain, daemon=True)
        self._reader.start()

    def _drain(self):
        while True:
            try:
                chunk = self._read()
            except (EOFError, OSError):
                break
            if not chunk:
                break
            with self._changed:
                self._output += chunk
                self._changed.notify_all()
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    @property
    def output(self):
        with self._changed:
            return self._output.decode("utf-8", "replace")

    def output_bytes(self):
        with self._changed:
            return bytes(self._output)

    def expect(self, text, timeout=20, start=0):
        """Waits until text appears in the output (from byte offset start);
        returns the offset just after it."""
        needle = text.encode() if isinstance(text, str) else text
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                at = self._output.find(needle, start)
                if at >= 0:
                    return at + len(needle)
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self._ended:
                    raise AssertionError(f"{text!r} not seen; output so far:\n{self._output[-4000:].decode('utf-8', 'replace')}")
                self._changed.wait(min(remaining, 0.2))

    def count(self, text):
        return self.output_bytes().count(text.encode())


class Service(_Drained):
    """mqbridge on a pseudo-terminal, as an operator runs it."""

    def __init__(self, workspace):
        self.workspace = workspace
        self.proc = PtyProcess.spawn([MQBRIDGE], cwd=workspace.run, env=workspace.env, dimensions=(50, 200))
        self._start_draining(lambda: self.proc.read(65536))

    def send(self, text):
        self.proc.write(text.encode() if isinstance(text, str) else text)

    def wait_exit(self, timeout=30):
        deadline = time.monotonic() + timeout
        while self.proc.isalive():
            if time.monotonic() > deadline:
                self.proc.kill(signal.SIGKILL)
                raise AssertionError(f"mqbridge did not end within {timeout} s; output:\n{self.output[-4000:]}")
            time.sleep(0.05)
        self._reader.join(5)
        self.proc.wait()
        return self.proc.exitstatus if self.proc.exitstatus is not None else 128 + (self.proc.signalstatus or 0)

    def alive(self):
        return self.proc.isalive()

    def stop(self):
        """The operator's way out: 1, then a key."""
        if not self.proc.isalive():
            return self.wait_exit()
        offset = len(self.output_bytes())
        self.send("1\n")
        self.expect("Press any key to stop...", start=offset)
        time.sleep(0.1)
        self.send("k")
        return self.wait_exit()

    def kill(self):
        if self.proc.isalive():
            self.proc.kill(signal.SIGKILL)
            self.proc.wait()


class HeadlessService(_Drained):
    """mqbridge as a service manager runs it: standard input at end of file
    (or, with stdin_open, an open pipe nobody writes to), output to a pipe."""

    def __init__(self, workspace, env=None, stdin_open=False):
        self.workspace = workspace
        self.proc = subprocess.Popen([MQBRIDGE], cwd=workspace.run, env=env or workspace.env,
                                     stdin=subprocess.PIPE if stdin_open else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        fd = self.proc.stdout.fileno()
        self._start_draining(lambda: os.read(fd, 65536))

    def signal(self, signum):
        self.proc.send_signal(signum)

    def alive(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout=30):
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError(f"mqbridge did not end within {timeout} s; output:\n{self.output[-4000:]}") from None
        self._reader.join(5)
        if self.proc.stdin:
            self.proc.stdin.close()
        self.proc.stdout.close()
        return status if status >= 0 else 128 - status

    def kill(self):
        if self.alive():
            self.proc.kill()
        if not self.proc.stdout.closed:
            self.wait_exit()


def free_port():
    """A loopback port nobody listens on (the next to bind it may take it)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def http_get(port, path, timeout=10):
    """(status, body text) of GET http://127.0.0.1:port/path."""
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=timeout) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def metric_value(text, series):
    """The value of one series line of a Prometheus text, None when absent."""
    for line in text.splitlines():
        if line.startswith(series + " "):
            return float(line[len(series) + 1:])
    return None


class Replies(stomp.ConnectionListener):
    def __init__(self):
        self.messages = queue.Queue()
        self.errors = []

    def on_message(self, frame):
        self.messages.put(frame)

    def on_error(self, frame):
        self.errors.append(frame)


class Client:
    """A back-office system over STOMP: sends requests, reads replies from the
    callback queues (bodies as bytes, byte for byte)."""

    def __init__(self, broker):
        self.conn = stomp.Connection12([("127.0.0.1", broker.stomp_port)], heartbeats=(0, 0),
                                       auto_content_length=False, auto_decode=False)
        self.replies = {}
        self.conn.connect(wait=True, headers={"host": "localhost"})
        for n, kind in enumerate(KIND_QUEUES, start=1):
            listener = Replies()
            self.replies[kind] = listener
            self.conn.set_listener(kind, _OnlyFor(f"sub-{n}", listener))
            # Only this client's replies: other readers of the callback
            # queues (JMS peer, mqbridge-send) select their own.
            self.conn.subscribe(f"/queue/{callback_queue(kind)}", id=f"sub-{n}", ack="client-individual",
                                headers={"selector": "JMSCorrelationID LIKE 'e2e-%' OR JMSCorrelationID LIKE 'ID:%'"})
        self._ids = itertools.count(1)

    def send(self, kind, body, correlation_id=None, headers=None, queue_name=None, content_length=False):
        """Sends body (str or bytes) on kind's request queue; returns the
        correlation id it carried ("" for none)."""
        h = dict(headers or {})
        if correlation_id is None:
            correlation_id = f"e2e-{os.getpid()}-{next(self._ids)}"
        if correlation_id:
            h["correlation-id"] = correlation_id
        if content_length:
            data = body.encode() if isinstance(body, str) else body
            h["content-length"] = str(len(data))
        h["persistent"] = "true"
        self.conn.send(f"/queue/{queue_name or request_queue(kind)}", body, headers=h)
        return correlation_id

    def reply(self, kind, timeout=30):
        """The next reply on kind's callback queue (ACKed), or AssertionError."""
        try:
            frame = self.replies[kind].messages.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no reply on {callback_queue(kind)} within {timeout} s") from None
        self.conn.ack(frame.headers["ack"])
        return frame

    def no_reply(self, kind, wait=0.5):
        try:
            frame = self.replies[kind].messages.get(timeout=wait)
        except queue.Empty:
            return True
        self.conn.ack(frame.headers["ack"])
        raise AssertionError(f"unexpected reply on {callback_queue(kind)}: {frame.body!r}")

    def close(self):
        try:
            self.conn.disconnect()
        except Exception:
            pass


class _OnlyFor(stomp.ConnectionListener):
    """Hands a listener only the messages of one subscription."""

    def __init__(self, subscription, inner):
        self.subscription = subscription
        self.inner = inner

    def on_message(self, frame):
        if frame.headers.get("subscription") == self.subscription:
            self.inner.on_message(frame)

    def on_error(self, frame):
        self.inner.on_error(frame)


def jms_peer(*args, timeout=60):
    result = subprocess.run([JMS_PEER, *args], capture_output=True, text=True, timeout=timeout)
    return result.returncode, result.stdout, result.stderr


# -- delivery guarantees: the request journal, replies by correlation id,
# -- the daily log, the service run with another trading-server library ----

import sqlite3  # noqa: E402

JOURNAL_STATES = ("received", "started", "done", "confirmed", "acknowledged", "in_doubt", "resolved")
NODEALS_LIBRARY = os.path.join(os.path.dirname(TRADESIM), "variants", "nodeals", "MT5APIManager64.so")


def journal_file(workspace):
    """Where the delivery tests put the service's request journal
    (config key journalPath)."""
    return os.path.join(workspace.root, "journal", "requests.db")


class Journal:
    """The service's request journal, read only (the service writes it)."""

    def __init__(self, path):
        self.path = path

    def rows(self, where="1", params=()):
        if not os.path.exists(self.path):
            return []
        try:
            db = sqlite3.connect(f"file:{self.path}?mode=ro", uri=True, timeout=5)
        except sqlite3.OperationalError:
            return []
        try:
            db.row_factory = sqlite3.Row
            return [dict(r) for r in db.execute(f"SELECT * FROM requests WHERE {where} ORDER BY id", params)]
        except sqlite3.OperationalError as e:
            if "no such table" in str(e) or "locked" in str(e) or "unable to open" in str(e):
                return []
            raise
        finally:
            db.close()

    def by_correlation(self, correlation_id):
        return self.rows("correlation_id = ?", (correlation_id,))

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
            time.sleep(0.05)


def wait_log(workspace, text, timeout=30):
    """The daily log's text once it contains text."""
    deadline = time.monotonic() + timeout
    while True:
        log = workspace.log_text()
        if text in log:
            return log
        if time.monotonic() > deadline:
            raise AssertionError(f"{text!r} not in the daily log within {timeout} s; log ends:\n{log[-3000:]}")
        time.sleep(0.05)


def wait_deals(workspace, login, count, timeout=30):
    """The account's deals once there are at least count of them."""
    deadline = time.monotonic() + timeout
    while True:
        deals = workspace.deals(login)
        if len(deals) >= count:
            return deals
        if time.monotonic() > deadline:
            raise AssertionError(f"{len(deals)} deals on {login} after {timeout} s, not {count}")
        time.sleep(0.05)


class ReplyBox:
    """A client's replies filed by correlation id (every one ACKed), so a
    test can take all replies to its own request and nobody else's."""

    def __init__(self, client):
        self.client = client
        self.by_correlation = {}

    def _take(self, kind, timeout):
        try:
            frame = self.client.replies[kind].messages.get(timeout=max(timeout, 0.01))
        except queue.Empty:
            return False
        self.client.conn.ack(frame.headers["ack"])
        self.by_correlation.setdefault(frame.headers.get("correlation-id"), []).append(frame)
        return True

    def collect(self, kind, correlation_id, count=1, timeout=30):
        """At least count replies to correlation_id (AssertionError after timeout)."""
        deadline = time.monotonic() + timeout
        while len(self.by_correlation.get(correlation_id, [])) < count:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                got = len(self.by_correlation.get(correlation_id, []))
                raise AssertionError(f"{got} of {count} replies to {correlation_id} on {callback_queue(kind)} "
                                     f"within {timeout} s")
            self._take(kind, min(remaining, 0.5))
        return list(self.by_correlation[correlation_id])

    def settle(self, kind, correlation_id, wait=1.0):
        """All replies to correlation_id that came, after wait s without one more."""
        while self._take(kind, wait):
            pass
        return list(self.by_correlation.get(correlation_id, []))


def service_directory(library, root):
    """A copy of mqbridge in root/bin with library as its libs/MT5APIManager64.so
    (the service loads the library found next to its executable)."""
    bin_dir = os.path.join(root, "bin")
    os.makedirs(os.path.join(bin_dir, "libs"), exist_ok=True)
    shutil.copy2(MQBRIDGE, os.path.join(bin_dir, "mqbridge"))
    shutil.copy2(library, os.path.join(bin_dir, "libs", "MT5APIManager64.so"))
    return os.path.join(bin_dir, "mqbridge")


class ServiceFrom(Service):
    """Service, run from another executable (see service_directory)."""

    def __init__(self, workspace, executable):
        self.workspace = workspace
        self.proc = PtyProcess.spawn([executable], cwd=workspace.run, env=workspace.env, dimensions=(50, 200))
        self._start_draining(lambda: self.proc.read(65536))
