"""The service answering requests end to end: a real broker, a real
trading-server database and the real mqbridge process, one of each for the
whole class."""

import json
import os
import re
import subprocess
import threading
import time
import unittest

import harness
from harness import Broker, Client, Service, Workspace


def compact(obj):
    """A reply as the service writes it: keys sorted, no blanks, a line end."""
    return (json.dumps(obj, separators=(",", ":"), sort_keys=True) + "\n").encode()


class RequestsEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = Broker("requests")
        cls.ws = Workspace()
        cls.ws.seed()
        cls.ws.write_config(cls.broker.uri)
        cls.service = Service(cls.ws)
        cls.service.expect("init success")
        cls.client = Client(cls.broker)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        status = cls.service.stop()
        cls.ws.close()
        cls.broker.close()
        assert status == 0, f"mqbridge ended with {status}"

    def exchange(self, kind, body, **kw):
        corr = self.client.send(kind, body, **kw)
        frame = self.client.reply(kind)
        return corr, frame

    def assert_good_request_answered(self, kind="trade"):
        """A harmless request on kind's queue gets its reply (and nothing
        else is waiting before it)."""
        bodies = {
            "trade": '{"serial":"probe","login":20002,"amount":0,"type":1}',
            "update": '{"serial":"probe","login":99999}',
            "create": '{"serial":"probe","login":20001}',
            "password": '{"serial":"probe","login":99999,"type":2,"newPass":"x"}',
        }
        corr, frame = self.exchange(kind, bodies[kind])
        self.assertEqual(frame.headers.get("correlation-id"), corr)
        self.assertIn(b'"serial":"probe"', frame.body)
        self.client.no_reply(kind, wait=0.2)

    def test_connections_survive_idling_past_the_heart_beat_interval(self):
        # The broker's heart-beats come at gaps of a little over two
        # intervals (10 s); connections idle for longer must still carry
        # requests and replies on every queue.
        time.sleep(35)
        for kind in ("create", "update", "password", "trade"):
            self.assert_good_request_answered(kind)
        self.assertNotIn("Reply not sent", self.service.output)

    # -- the four kinds, success and failure, byte for byte ---------------

    def test_account_requests_success_and_failure(self):
        corr, frame = self.exchange("create", json.dumps({
            "serial": "c-ok", "login": 30001, "name": "New Person", "group": "demo", "email": "np@example.com",
            "masterPass": "Master#1", "investorPass": "Invest#1", "leverage": 100, "valid": 1,
            "leadSource": "web"}))
        self.assertEqual(frame.headers["correlation-id"], corr)
        self.assertEqual(frame.body,
                         b'{"code":200,"data":{"addressLine":"","agent":0,"city":"","comment":"","country":"",'
                         b'"email":"np@example.com","group":"demo","id":"","investorPass":"Invest#1",'
                         b'"leadSource":"web","leverage":100,"login":30001,"masterPass":"Master#1",'
                         b'"name":"New Person","phone":"","postalCode":"","routeType":"","serial":"c-ok",'
                         b'"town":"","valid":1},"msg":"success"}\n')
        self.assertEqual(self.ws.account(30001)["name"], "New Person")

        # The login is taken now: the server's refusal, negated.
        corr, frame = self.exchange("create", '{"serial":"c-dup","login":30001,"name":"Again"}')
        self.assertEqual(frame.headers["correlation-id"], corr)
        # 3001: the trading server's "account exists", negated.
        self.assertEqual(frame.body, compact({"code": -3001, "msg": "fail", "data": {
            "addressLine": "", "agent": 0, "city": "", "comment": "", "country": "", "email": "", "group": "",
            "id": "", "investorPass": "", "leadSource": "", "leverage": 0, "login": 30001, "masterPass": "",
            "name": "Again", "phone": "", "postalCode": "", "routeType": "", "serial": "c-dup", "town": "",
            "valid": 0}}))

        corr, frame = self.exchange("update", json.dumps({
            "serial": "u-ok", "login": 20002, "name": "Renamed Two", "group": "demo", "leverage": 200,
            "groupType": 1, "comment": "vip", "valid": 1, "routeType": "r1"}))
        self.assertEqual(frame.headers["correlation-id"], corr)
        self.assertEqual(frame.body,
                         b'{"code":200,"data":{"addressLine":"","agent":0,"city":"","comment":"vip","country":"",'
                         b'"email":"","group":"demo","groupType":1,"id":"","leverage":200,"login":20002,'
                         b'"name":"Renamed Two","phone":"","postalCode":"","routeType":"r1","serial":"u-ok",'
                         b'"town":"","valid":1},"msg":"success"}\n')
        self.assertEqual(self.ws.account(20002)["name"], "Renamed Two")

        corr, frame = self.exchange("update", '{"serial":"u-missing","login":99999,"name":"Nobody"}')
        self.assertEqual(frame.headers["correlation-id"], corr)
        self.assertEqual(frame.body,
                         b'{"code":-13,"data":{"addressLine":"","agent":0,"city":"","comment":"","country":"",'
                         b'"email":"","group":"","groupType":0,"id":"","leverage":0,"login":99999,'
                         b'"name":"Nobody","phone":"","postalCode":"","routeType":"","serial":"u-missing",'
                         b'"town":"","valid":0},"msg":"fail"}\n')

        corr, frame = self.exchange("password",
                                    '{"serial":"p-ok","login":20001,"type":1,"masterPass":"Old#Master1",'
                                    '"newPass":"New#Master2"}')
        self.assertEqual(frame.headers["correlation-id"], corr)
        self.assertEqual(frame.body,
                         b'{"code":200,"data":{"login":20001,"masterPass":"Old#Master1","newPass":"New#Master2",'
                         b'"routeType":"","serial":"p-ok","type":1},"msg":"success"}\n')

        # The old password no longer verifies.
        corr, frame = self.exchange("password",
                                    '{"serial":"p-bad","login":20001,"type":1,"masterPass":"Old#Master1",'
                                    '"newPass":"Other#3"}')
        # 3006: the trading server's "wrong password", negated.
        self.assertEqual(frame.body, compact({"code": -3006, "msg": "fail", "data": {
            "login": 20001, "masterPass": "Old#Master1", "newPass": "Other#3", "routeType": "", "serial": "p-bad",
            "type": 1}}))

    def test_trade_requests_move_the_balance_or_are_refused(self):
        before = float(self.ws.account(20001)["balance"])
        corr, frame = self.exchange("trade", '{"serial":"t-dep","login":20001,"amount":250,"type":1}')
        self.assertEqual(frame.headers["correlation-id"], corr)
        deal_id = int(self.ws.deals(20001)[-1][0])
        self.assertEqual(frame.body,
                         b'{"code":200,"data":{"amount":250.0,"comment":"Deposit","floating":0.0,"login":20001,'
                         b'"order":%d,"routeType":"","serial":"t-dep","type":1},"msg":"success"}\n' % deal_id)
        self.assertAlmostEqual(float(self.ws.account(20001)["balance"]), before + 250, places=2)

        corr, frame = self.exchange("trade", '{"serial":"t-big","login":20001,"amount":-99999,"type":1}')
        self.assertEqual(frame.headers["correlation-id"], corr)
        self.assertEqual(frame.body,
                         b'{"code":-1000,"data":{"amount":-99999.0,"comment":"","floating":0.0,"login":20001,'
                         b'"order":-1,"routeType":"","serial":"t-big","type":1},"msg":"fail"}\n')
        self.assertAlmostEqual(float(self.ws.account(20001)["balance"]), before + 250, places=2)

        # Without a correlation-id the reply carries the request's message id.
        self.client.send("trade", '{"serial":"t-nocorr","login":20002,"amount":0,"type":1}', correlation_id="")
        frame = self.client.reply("trade")
        self.assertTrue(frame.headers.get("correlation-id", "").startswith("ID:"), frame.headers)

    # -- bad inputs, each followed by a good request ----------------------

    def test_bad_inputs_get_no_reply_and_the_next_request_is_served(self):
        deep = "[" * 100000 + "]" * 100000
        bad = [
            ("trade", "not json"),
            ("trade", "[1,2,3]"),
            ("trade", "42"),
            ("trade", ""),
            ("trade", '{"serial":"typed","login":"20001","amount":1,"type":1}'),
            ("create", '{"serial":"typed","leverage":3000000000}'),
            ("trade", deep),
            ("update", '{"serial":"deep-obj","x":' + deep + "}"),
        ]
        for kind, body in bad:
            with self.subTest(body=body[:40]):
                self.client.send(kind, body)
                self.assert_good_request_answered(kind)
        self.assertIn("Request failed: Value is not convertible to Int64.", self.service.output)
        self.assertIn("Request failed: Exceeded stackLimit", self.service.output)
        self.assertTrue(self.service.alive())

    def test_big_texts_invalid_utf8_and_wrong_case_queue(self):
        big_junk = "x" * (10 * 1024 * 1024)
        self.client.send("trade", big_junk)
        self.assert_good_request_answered("trade")

        big_request = json.dumps({"serial": "big", "login": 20002, "amount": 0, "type": 1,
                                  "padding": "p" * (10 * 1024 * 1024)})
        corr, frame = self.exchange("trade", big_request)
        self.assertEqual(frame.headers["correlation-id"], corr)
        self.assertEqual(json.loads(frame.body)["code"], 200)

        # Invalid UTF-8 in a name: the request is still carried out and answered.
        corr, frame = self.exchange("update", b'{"serial":"utf","login":20002,"name":"Bad \xff\xfe name"}')
        self.assertEqual(frame.headers["correlation-id"], corr)
        self.assertIn(b'"serial":"utf"', frame.body)
        self.assert_good_request_answered("update")

        # Queue names are case-sensitive: nobody serves E2E.TRADE.
        self.client.send("trade", '{"serial":"case","login":20002,"amount":0,"type":1}',
                         queue_name=harness.request_queue("trade").upper())
        self.assert_good_request_answered("trade")

    def test_bytes_message_from_jms_is_shown_and_dropped_and_jms_text_gets_text(self):
        status, out, err = harness.jms_peer("send-bytes", self.broker.openwire_uri, harness.request_queue("trade"),
                                            '{"serial":"bytes","login":20002,"amount":0,"type":1}')
        self.assertEqual(status, 0, err)
        self.service.expect(f"destURI #{harness.request_queue('trade')} Received: NOT A TEXTMESSAGE!")
        self.assert_good_request_answered("trade")

        status, out, err = harness.jms_peer(
            "request", self.broker.openwire_uri, harness.request_queue("trade"), harness.callback_queue("trade"),
            '{"serial":"jms","login":20002,"amount":0,"type":1}', "--correlation-id", "jms-corr-1",
            "--timeout-ms", "30000")
        self.assertEqual(status, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[0],
                         'TextMessage {"code":200,"data":{"amount":0.0,"comment":"","floating":0.0,"login":20002,'
                         '"order":-1,"routeType":"","serial":"jms","type":1},"msg":"success"}')
        self.assertIn("JMSCorrelationID jms-corr-1", lines)
        self.assertIn("JMSDeliveryMode PERSISTENT", lines)

    # -- concurrency and masking -------------------------------------------

    def test_four_queues_in_flight_at_once(self):
        bodies = {
            "create": '{"serial":"par-c","login":30100,"name":"Par","masterPass":"Pc#1","investorPass":"Pi#1"}',
            "update": '{"serial":"par-u","login":20002,"name":"Par Two"}',
            "password": '{"serial":"par-p","login":20002,"type":2,"newPass":"Par#New1"}',
            "trade": '{"serial":"par-t","login":20002,"amount":5,"type":1}',
        }
        # Delay every server call so that the four requests overlap.
        for op in ("AddAccount", "LoadAccount", "SetPassword"):
            self.ws.tradesim("fault", "arm", op, "--delay-ms", "700", "--count", "2")
        try:
            started = time.monotonic()
            sent = {kind: self.client.send(kind, body) for kind, body in bodies.items()}
            for kind in bodies:
                frame = self.client.reply(kind)
                self.assertEqual(frame.headers["correlation-id"], sent[kind], kind)
                reply = json.loads(frame.body)
                self.assertEqual(reply["data"]["serial"], f"par-{kind[0]}", kind)
                self.assertEqual(reply["code"], 200, frame.body)
            elapsed = time.monotonic() - started
            print(f"\nfour overlapping requests (700 ms server delay each) answered in {elapsed:.2f} s")
        finally:
            self.ws.tradesim("fault", "clear")

    def test_sequential_round_trips_benchmark(self):
        """Prints round-trip figures for deposits one after the other (no
        timing is asserted; every reply must be right)."""
        before = float(self.ws.account(20002)["balance"])
        times = []
        for i in range(100):
            started = time.monotonic()
            corr, frame = self.exchange("trade", f'{{"serial":"rt-{i}","login":20002,"amount":1,"type":1}}')
            times.append(time.monotonic() - started)
            self.assertEqual(frame.headers["correlation-id"], corr)
            self.assertEqual(json.loads(frame.body)["code"], 200)
        self.assertAlmostEqual(float(self.ws.account(20002)["balance"]), before + 100, places=2)
        times.sort()
        print(f"\n100 sequential deposits: mean {1000 * sum(times) / len(times):.1f} ms, "
              f"p50 {1000 * times[49]:.1f} ms, p99 {1000 * times[98]:.1f} ms, max {1000 * times[-1]:.1f} ms")

    def test_passwords_are_masked_on_console_and_in_log(self):
        secret_master, secret_new = "Zq9-MasterSecret", "Zq9-NewSecret"
        corr, frame = self.exchange("password", json.dumps({
            "serial": "mask", "login": 20002, "type": 2, "masterPass": secret_master, "newPass": secret_new}))
        # The reply itself carries the request's fields unchanged.
        self.assertIn(secret_new.encode(), frame.body)
        time.sleep(0.2)
        console, log = self.service.output, self.ws.log_text()
        for text in (console, log):
            self.assertNotIn(secret_master, text)
            self.assertNotIn(secret_new, text)
        self.assertIn('"newPass":"***"', console)
        self.assertRegex(log, r'destURI #e2e\.user\.password Received: .*"newPass":"\*\*\*"')
        self.assertRegex(log, r'DestURI:e2e\.user\.password\.reply,Send: .*"newPass":"\*\*\*"')
        self.assertNotIn(harness.MANAGER_PASSWORD, console + log)
        self.assertIn("Password: ********", console)

    def test_mqbridge_send_deposits_and_reports_the_code(self):
        before = float(self.ws.account(20002)["balance"])
        result = subprocess.run([harness.MQBRIDGE_SEND, "--config", self.ws.config_path, "--timeout", "30", "trade",
                                 '{"serial":"tool","login":20002,"amount":12.5,"type":1,"comment":"by tool"}'],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        reply = json.loads(result.stdout)
        self.assertEqual(reply["code"], 200)
        self.assertEqual(reply["data"]["comment"], "by tool")
        self.assertAlmostEqual(float(self.ws.account(20002)["balance"]), before + 12.5, places=2)

        result = subprocess.run([harness.MQBRIDGE_SEND, "--config", self.ws.config_path, "trade"],
                                input='{"serial":"tool2","login":20002,"amount":-1e9,"type":1}',
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(json.loads(result.stdout)["code"], -1000)


if __name__ == "__main__":
    unittest.main()
