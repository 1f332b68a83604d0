"""The operator's console and the exit statuses of the real mqbridge process
on a pseudo-terminal; the same process without a console, as a service
manager runs it, with its notifications, /metrics and /health."""

import json
import os
import signal
import socket
import tempfile
import threading
import time
import unittest

import harness
from harness import Broker, Client, HeadlessService, Service, Workspace, free_port, http_get, metric_value

PROMPT = "is exit(0 or 1): "
STOP = "Press any key to stop..."
PAUSE = "Press any key to continue . . ."


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class ConsoleEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = Broker("console")

    @classmethod
    def tearDownClass(cls):
        cls.broker.close()

    def setUp(self):
        self.ws = Workspace()
        self.ws.seed()
        self.services = []

    def tearDown(self):
        for s in self.services:
            s.kill()
        self.ws.close()

    def start(self, broker_uri=None, expect_up=True, **config):
        self.ws.write_config(broker_uri or self.broker.uri, **config)
        service = Service(self.ws)
        self.services.append(service)
        if expect_up:
            service.expect("init success")
            service.expect(PROMPT)
        return service

    def wait_prompts(self, service, n):
        deadline = time.monotonic() + 10
        while service.count(PROMPT) < n and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual(service.count(PROMPT), n, service.output)

    def test_tokens_each_answer_a_prompt_and_a_fresh_key_ends(self):
        s = self.start()
        s.send("0\n")
        self.wait_prompts(s, 2)
        s.send("2 10\n")
        self.wait_prompts(s, 4)
        s.send("-1\nyes\n")
        self.wait_prompts(s, 6)
        s.send("\n\n")  # empty lines: no new prompt
        time.sleep(0.3)
        self.assertEqual(s.count(PROMPT), 6)
        s.send("0" * 255 + "1 0\n")  # two pieces of a long token; the 1 stops
        after = s.expect(STOP)
        self.assertEqual(s.count(PROMPT), 7)  # the first piece answered prompt 6
        # The Enter that ended the token is no key press; the service waits.
        time.sleep(0.5)
        self.assertTrue(s.alive())
        s.send("k")
        self.assertEqual(s.wait_exit(), 0)
        tail = s.output_bytes()[after:]
        self.assertEqual(tail.replace(b"\r", b""), b"\n")  # no echo of the key

        for stop in ("01", "+1", "1x"):
            with self.subTest(token=stop):
                s = self.start()
                s.send(f"{stop}\n")
                s.expect(STOP)
                s.send("z")
                self.assertEqual(s.wait_exit(), 0)

    def test_end_of_input_stops_without_spinning(self):
        s = self.start()
        s.send("\x04")  # end of input on an empty line
        s.expect(STOP)
        self.assertEqual(s.wait_exit(), 0)
        self.assertEqual(s.count(PROMPT), 1)

    def test_sigterm_finishes_the_request_in_progress_then_exits_0(self):
        s = self.start()
        client = Client(self.broker)
        try:
            before = float(self.ws.account(20001)["balance"])
            self.ws.tradesim("fault", "arm", "PostBalanceDeal", "--delay-ms", "1500")
            corr = client.send("trade", '{"serial":"term","login":20001,"amount":40,"type":1}')
            s.expect("Received: ")
            time.sleep(0.2)
            s.proc.kill(signal.SIGTERM)
            self.assertEqual(s.wait_exit(), 0)
            self.assertNotIn(STOP, s.output)
            frame = client.reply("trade")
            self.assertEqual(frame.headers["correlation-id"], corr)
            self.assertEqual(json.loads(frame.body)["code"], 200)
            self.assertAlmostEqual(float(self.ws.account(20001)["balance"]), before + 40, places=2)
            self.assertIn("DestURI:e2e.trade.reply,Send: ", self.ws.log_text())
        finally:
            client.close()

        s = self.start()
        s.proc.kill(signal.SIGINT)
        self.assertEqual(s.wait_exit(), 0)

    def test_bad_config_prints_its_reason_and_exits_255(self):
        s = self.start(expect_up=False, server="")
        s.expect(PAUSE)
        self.assertIn('config.ini: "server" is empty or missing', s.output)
        s.send("k")
        self.assertEqual(s.wait_exit(), 255)
        self.assertNotIn("init success", s.output)

    def test_refused_login_cleans_up_and_exits_255(self):
        s = self.start(expect_up=False, password="wrong-password")
        s.expect("cleanup success")
        s.expect(PAUSE)
        self.assertIn("Password: ********", s.output)
        self.assertNotIn("wrong-password", s.output)
        s.send("k")
        self.assertEqual(s.wait_exit(), 255)
        self.assertIn("cleanup success", self.ws.log_text())
        self.assertNotIn("init fail", self.ws.log_text())

    def test_unreachable_broker_fails_at_the_first_producer_and_exits_255(self):
        s = self.start(broker_uri=f"tcp://127.0.0.1:{closed_port()}", expect_up=False)
        s.expect(PAUSE)
        s.send("k")
        self.assertEqual(s.wait_exit(), 255)
        log = self.ws.log_text()
        self.assertIn("Producer destURI:e2e.user.create.reply init fail", log)
        self.assertNotIn("e2e.user.update.reply init fail", log)  # start-up stopped at the first
        self.assertIn("cleanup success", log)
        self.assertNotIn("init success", log)

    def test_broker_killed_under_a_plain_uri_ends_with_1(self):
        own = Broker("killed")
        try:
            s = self.start(broker_uri=own.uri)
            own.kill()
            s.expect("CMS Exception occurred.  Shutting down client.")
            self.assertEqual(s.wait_exit(), 1)
        finally:
            own.close()


class NotifyListener:
    """A service manager's notification socket: collects every datagram."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="mqb-notify-")
        self.path = os.path.join(self.dir, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(0.2)
        self.messages = []
        self._changed = threading.Condition()
        self._closed = False
        self._thread = threading.Thread(target=self._collect, daemon=True)
        self._thread.start()

    def _collect(self):
        while not self._closed:
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                break
            with self._changed:
                self.messages.append(data.decode())
                self._changed.notify_all()

    def wait_for(self, line, timeout=30):
        """Index of the first message holding line (one of its lines)."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for i, message in enumerate(self.messages):
                    if line in message.split("\n"):
                        return i
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise AssertionError(f"{line!r} not notified; got {self.messages}")
                self._changed.wait(min(remaining, 0.2))

    def close(self):
        self._closed = True
        self._thread.join(5)
        self.sock.close()
        os.unlink(self.path)
        os.rmdir(self.dir)


class ServiceManagerEndToEnd(unittest.TestCase):
    """"console": false: no prompt, no key waits, standard input unread."""

    @classmethod
    def setUpClass(cls):
        cls.broker = Broker("headless")

    @classmethod
    def tearDownClass(cls):
        cls.broker.close()

    def setUp(self):
        self.ws = Workspace()
        self.ws.seed()
        self.services = []

    def tearDown(self):
        for s in self.services:
            s.kill()
        self.ws.close()

    def start(self, env=None, stdin_open=False, broker_uri=None, **config):
        self.ws.write_config(broker_uri or self.broker.uri, console=False, **config)
        service = HeadlessService(self.ws, env=env, stdin_open=stdin_open)
        self.services.append(service)
        return service

    def test_input_at_end_does_not_stop_it_sigterm_does(self):
        s = self.start()
        s.expect("init success")
        client = Client(self.broker)
        try:
            corr = client.send("trade", '{"serial":"headless","login":20001,"amount":5,"type":1}')
            frame = client.reply("trade")
            self.assertEqual(frame.headers["correlation-id"], corr)
            self.assertEqual(json.loads(frame.body)["code"], 200)
        finally:
            client.close()
        self.assertTrue(s.alive())
        s.signal(signal.SIGTERM)
        self.assertEqual(s.wait_exit(), 0)
        self.assertNotIn(PROMPT, s.output)
        self.assertNotIn(STOP, s.output)

        s = self.start()
        s.expect("init success")
        s.signal(signal.SIGINT)
        self.assertEqual(s.wait_exit(), 0)

    def test_failed_start_exits_255_at_once_without_the_pause(self):
        # Standard input stays open: a key wait would block for good.
        s = self.start(stdin_open=True, server="")
        self.assertEqual(s.wait_exit(timeout=20), 255)
        self.assertIn('config.ini: "server" is empty or missing', s.output)
        self.assertNotIn(PAUSE, s.output)

        s = self.start(stdin_open=True, password="wrong-password")
        self.assertEqual(s.wait_exit(timeout=40), 255)
        self.assertIn("cleanup success", s.output)
        self.assertNotIn(PAUSE, s.output)

    def test_service_manager_hears_ready_after_init_and_stopping_on_sigterm(self):
        listener = NotifyListener()
        try:
            s = self.start(env=dict(self.ws.env, NOTIFY_SOCKET=listener.path))
            ready = listener.wait_for("READY=1")
            # Readiness comes only once the service serves: "init success" is
            # in the pipe by then (the reader may still have to fetch it).
            s.expect("init success", timeout=5)
            self.assertNotIn("cleanup success", s.output)
            self.assertIn("STATUS=running", listener.messages[ready].split("\n"))
            self.assertLess(listener.wait_for("STATUS=starting"), ready)
            s.signal(signal.SIGTERM)
            self.assertEqual(s.wait_exit(), 0)
            stopping = listener.wait_for("STOPPING=1", timeout=5)
            self.assertGreater(stopping, ready)
        finally:
            listener.close()

    def test_metrics_count_what_the_requests_were(self):
        port = free_port()
        s = self.start(metricsAddress=f"127.0.0.1:{port}")
        s.expect("init success")
        secret = "Zq9-MetricSecret"
        client = Client(self.broker)
        try:
            for n in range(3):  # successes
                client.send("trade", json.dumps({"serial": f"ok-{n}", "login": 20001, "amount": 1, "type": 1}))
                self.assertEqual(json.loads(client.reply("trade").body)["code"], 200)
            for n in range(2):  # failures: no such account
                client.send("trade", json.dumps({"serial": f"no-{n}", "login": 99999, "amount": 1, "type": 1}))
                self.assertNotEqual(json.loads(client.reply("trade").body)["code"], 200)
            client.send("trade", "not json at all")  # unreadable: dropped without a reply
            client.send("trade", '{"serial":"typed","login":"x","amount":1,"type":1}')
            client.send("password", json.dumps({"serial": "pw", "login": 20002, "type": 2,
                                                "masterPass": secret, "newPass": secret}))
            self.assertEqual(json.loads(client.reply("password").body)["code"], 200)
            client.no_reply("trade")  # the unreadable ones get no reply
        finally:
            client.close()

        trade, password = 'queue="e2e.trade"', 'queue="e2e.user.password"'
        expected = {
            f"mqbridge_requests_received_total{{{trade}}}": 7,
            f'mqbridge_replies_sent_total{{{trade},outcome="success"}}': 3,
            f'mqbridge_replies_sent_total{{{trade},outcome="failure"}}': 2,
            f"mqbridge_requests_dropped_total{{{trade}}}": 2,
            f"mqbridge_trading_server_seconds_count{{{trade}}}": 5,
            f'mqbridge_trading_server_seconds_bucket{{{trade},le="+Inf"}}': 5,
            f"mqbridge_reply_confirmation_seconds_count{{{trade}}}": 5,
            f"mqbridge_requests_received_total{{{password}}}": 1,
            f'mqbridge_replies_sent_total{{{password},outcome="success"}}': 1,
            'mqbridge_requests_received_total{queue="e2e.user.create"}': 0,
            **{f'mqbridge_broker_connection_up{{queue="{q}"}}': 1 for q in harness.QUEUES.values()},
        }
        # A reply can reach the client a moment before the service counts
        # its confirmation, and the dropped ones give no sign at all: the
        # figures are read until they settle.
        deadline = time.monotonic() + 20
        while True:
            status, text = http_get(port, "/metrics")
            self.assertEqual(status, 200)
            seen = {series: metric_value(text, series) for series in expected}
            if seen == expected or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        self.assertEqual(seen, expected)
        self.assertGreater(metric_value(text, "process_start_time_seconds"), time.time() - 600)
        # Nothing of a request's text, nor a credential, in any name or label
        # (values are numbers; a sum's digits may hold anything).
        series = "\n".join(line.rpartition(" ")[0] for line in text.splitlines() if not line.startswith("#"))
        for hidden in (secret, harness.MANAGER_PASSWORD, "20001", "20002", "99999", "ok-0", "not json"):
            self.assertNotIn(hidden, series)
        self.assertNotIn(secret, text)
        self.assertNotIn(harness.MANAGER_PASSWORD, text)
        self.assertEqual(http_get(port, "/health"), (200, '{"status":"up"}\n'))
        s.signal(signal.SIGTERM)
        self.assertEqual(s.wait_exit(), 0)

    def test_health_is_503_until_the_trading_server_session_is_up(self):
        port = free_port()
        self.ws.tradesim("fault", "arm", "OpenSession", "--delay-ms", "4000")
        s = self.start(metricsAddress=f"localhost:{port}")
        deadline = time.monotonic() + 20
        while True:  # the server answers as soon as the configuration is read
            try:
                status, body = http_get(port, "/health")
                break
            except OSError:
                self.assertLess(time.monotonic(), deadline, s.output)
                time.sleep(0.05)
        self.assertNotIn("init success", s.output)
        self.assertEqual(status, 503)
        down = json.loads(body)
        self.assertEqual(down["status"], "down")
        self.assertEqual(down["down"][0], "trading server session")
        self.assertIn("broker connection e2e.trade", down["down"])
        s.expect("init success")
        self.assertEqual(http_get(port, "/health"), (200, '{"status":"up"}\n'))
        s.signal(signal.SIGTERM)
        self.assertEqual(s.wait_exit(), 0)

    def test_health_is_503_while_the_broker_is_stopped(self):
        own = Broker("health")
        try:
            port = free_port()
            uri = f"failover:({own.uri})?initialReconnectDelay=100&maxReconnectDelay=1000"
            s = self.start(broker_uri=uri, metricsAddress=f"127.0.0.1:{port}")
            s.expect("init success")
            self.assertEqual(http_get(port, "/health")[0], 200)
            own.kill()
            s.expect("The Connection's Transport has been Interrupted.")
            status, body = http_get(port, "/health")
            self.assertEqual(status, 503, body)
            # Each connection notices the loss on its own: wait for the trade one.
            deadline = time.monotonic() + 20
            while "broker connection e2e.trade" not in json.loads(body)["down"]:
                self.assertLess(time.monotonic(), deadline, body)
                time.sleep(0.1)
                status, body = http_get(port, "/health")
                self.assertEqual(status, 503, body)
            own.restart()
            s.expect("The Connection's Transport has been Restored.", timeout=60)
            # Every connection comes back on its own: up once all of them are.
            deadline = time.monotonic() + 30
            while http_get(port, "/health")[0] != 200:
                self.assertLess(time.monotonic(), deadline, http_get(port, "/health"))
                time.sleep(0.2)
        finally:
            own.close()

    def test_metrics_address_in_use_fails_the_start(self):
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        try:
            s = self.start(metricsAddress=f"127.0.0.1:{taken.getsockname()[1]}")
            self.assertEqual(s.wait_exit(), 255)
            self.assertIn(f"metricsAddress: cannot listen on 127.0.0.1:{taken.getsockname()[1]}", s.output)
            self.assertNotIn("init success", s.output)
        finally:
            taken.close()

        s = self.start(metricsAddress="0.0.0.0:9464")
        self.assertEqual(s.wait_exit(), 255)
        self.assertIn('"metricsAddress" must be a loopback address', s.output)


if __name__ == "__main__":
    unittest.main()
