"""The operator's console and the exit statuses of the real mqbridge process
on a pseudo-terminal."""

import json
import signal
import socket
import time
import unittest

import harness
from harness import Broker, Client, Service, Workspace

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


if __name__ == "__main__":
    unittest.main()
