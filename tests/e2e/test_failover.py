"""Money under a broker crash: with a failover URI the service rides out a
killed and restarted broker, and a deposit in progress at that moment is
carried out exactly once. And under a trading server that goes away: the
requests wait on the broker until the session is reopened."""

import json
import os
import signal
import time
import unittest

import harness
from harness import Broker, Client, ReplyBox, Service, Workspace, free_port, http_get, metric_value


class FailoverEndToEnd(unittest.TestCase):
    def setUp(self):
        self.broker = Broker("failover")
        self.ws = Workspace()
        self.ws.seed()
        self.service = None

    def tearDown(self):
        if self.service:
            self.service.kill()
        self.ws.close()
        self.broker.close()

    def test_deposit_in_progress_during_a_broker_crash_is_posted_once(self):
        uri = f"failover:({self.broker.uri})?initialReconnectDelay=100&maxReconnectDelay=1000"
        self.ws.write_config(uri)
        self.service = s = Service(self.ws)
        s.expect("init success")
        before = float(self.ws.account(20001)["balance"])
        deals_before = len(self.ws.deals(20001))

        # The server takes its time, so the broker dies while the deposit runs.
        self.ws.tradesim("fault", "arm", "PostBalanceDeal", "--delay-ms", "3000")
        client = Client(self.broker)
        corr = client.send("trade", '{"serial":"crash","login":20001,"amount":70,"type":1}')
        client.close()
        s.expect("Received: ")
        self.broker.kill()
        s.expect("The Connection's Transport has been Interrupted.")
        self.broker.restart()
        s.expect("The Connection's Transport has been Restored.", timeout=60)

        # The reply arrives after the reconnection (or, when it could not be
        # sent in time, is in the daily log); the request is not run again.
        client = Client(self.broker)
        try:
            try:
                frame = client.reply("trade", timeout=30)
                self.assertEqual(frame.headers["correlation-id"], corr)
                self.assertEqual(json.loads(frame.body)["code"], 200)
            except AssertionError:
                self.assertIn("DestURI:e2e.trade.reply,Send failed: ", self.ws.log_text())
            time.sleep(3)  # room for a redelivery to show up
            self.assertAlmostEqual(float(self.ws.account(20001)["balance"]), before + 70, places=2)
            self.assertEqual(len(self.ws.deals(20001)), deals_before + 1)
            client.no_reply("trade", wait=0.5)

            # And the service goes on serving.
            corr = client.send("trade", '{"serial":"after","login":20002,"amount":0,"type":1}')
            frame = client.reply("trade")
            self.assertEqual(frame.headers["correlation-id"], corr)
        finally:
            client.close()
        print("\n" + "\n".join(l for l in s.output.splitlines() if "Redelivered" in l or "failed" in l))
        self.assertEqual(s.stop(), 0)

    def test_reply_the_broker_does_not_confirm_is_sent_again_and_not_run_again(self):
        self.ws.write_config(self.broker.uri)
        self.service = s = Service(self.ws)
        s.expect("init success")
        before = float(self.ws.account(20001)["balance"])
        self.ws.tradesim("fault", "arm", "PostBalanceDeal", "--delay-ms", "2000")
        client = Client(self.broker)
        try:
            client.send("trade", '{"serial":"frozen","login":20001,"amount":30,"type":1,"comment":"c"}')
            s.expect("Received: ")
            # The broker freezes while the deposit is posted: the reply's
            # receipt cannot come within the producer's bound.
            pid = int(self.broker.env["BROKER_PID"])
            os.kill(pid, signal.SIGSTOP)
            try:
                harness.wait_log(self.ws, "DestURI:e2e.trade.reply,Send failed: ", timeout=25)
            finally:
                os.kill(pid, signal.SIGCONT)
            # The same reply goes again once the broker is back; the request
            # is acknowledged only then.
            first = client.reply("trade", timeout=30)
            self.assertRegex(first.body.decode(), r'^\{"code":200,"data":\{"amount":30\.0,"comment":"c",'
                                                  r'.*"serial":"frozen","type":1\},"msg":"success"\}\n$')
            harness.wait_log(self.ws, "DestURI:e2e.trade.reply,Resent: ", timeout=20)
            # Carried out once, and the service goes on.
            corr = client.send("trade", '{"serial":"thawed","login":20002,"amount":0,"type":1}')
            deadline = time.monotonic() + 30
            while True:
                frame = client.reply("trade", timeout=max(1, deadline - time.monotonic()))
                if frame.headers.get("correlation-id") == corr:
                    break
                # The frozen reply may have reached the broker twice.
                self.assertEqual(frame.body, first.body)
            self.assertAlmostEqual(float(self.ws.account(20001)["balance"]), before + 30, places=2)
            self.assertTrue(s.alive())
        finally:
            client.close()
        self.assertEqual(s.stop(), 0)

    def test_request_cut_short_by_a_service_crash_is_served_after_restart_and_marked(self):
        self.ws.write_config(self.broker.uri)
        self.service = s = Service(self.ws)
        s.expect("init success")
        before = float(self.ws.account(20001)["balance"])
        self.ws.tradesim("fault", "arm", "PostBalanceDeal", "--delay-ms", "3000")
        client = Client(self.broker)
        try:
            corr = client.send("trade", '{"serial":"crash2","login":20001,"amount":15,"type":1}')
            s.expect("Received: ")
            # Recorded as started, inside the server's (delayed) call: killed
            # before the deal is posted and before the ACK.
            harness.Journal(harness.journal_file(self.ws)).wait_state(corr, "started")
            s.kill()
            self.assertAlmostEqual(float(self.ws.account(20001)["balance"]), before, places=2)

            self.service = s = Service(self.ws)
            frame = client.reply("trade", timeout=30)
            self.assertEqual(frame.headers["correlation-id"], corr)
            self.assertEqual(json.loads(frame.body)["code"], 200)
            self.assertAlmostEqual(float(self.ws.account(20001)["balance"]), before + 15, places=2)
            # The journal knew it as started by a process now gone: the
            # trading server was asked before it was carried out.
            self.assertRegex(self.ws.log_text(),
                             r"In doubt \S+: not on the trading server \(no deal of this manager matches .*\), carried out")
        finally:
            client.close()
        self.assertEqual(s.stop(), 0)


class TradingServerAway(unittest.TestCase):
    """tradesim's server stopped and started under a running service."""

    def setUp(self):
        self.broker = Broker("away")
        self.ws = Workspace()
        self.ws.seed()
        self.port = free_port()
        self.ws.write_config(self.broker.uri, metricsAddress=f"127.0.0.1:{self.port}", sessionReopenMaxSeconds=1)
        self.service = None

    def tearDown(self):
        if self.service:
            self.service.kill()
        self.ws.close()
        self.broker.close()

    def metric(self, series):
        return metric_value(http_get(self.port, "/metrics")[1], series)

    def test_requests_sent_while_it_is_away_wait_and_are_answered_once_in_order(self):
        self.service = s = Service(self.ws)
        s.expect("init success")
        self.assertEqual(self.metric("mqbridge_trading_server_up"), 1)
        before = float(self.ws.account(20001)["balance"])
        deals_before = len(self.ws.deals(20001))

        # Idle: the library's session sink tells of the loss.
        self.ws.tradesim("server", "stop")
        s.expect("Trading server session lost: the trading server ended the session")
        self.assertIn("Trading server session lost: ", self.ws.log_text())
        status, body = http_get(self.port, "/health")
        self.assertEqual(status, 503, body)
        self.assertIn("trading server session", json.loads(body)["down"])
        self.assertEqual(self.metric("mqbridge_trading_server_up"), 0)

        client = Client(self.broker)
        box = ReplyBox(client)
        try:
            deposits = [client.send("trade", f'{{"serial":"away{i}","login":20001,"amount":{i + 1},"type":1}}')
                        for i in range(5)]
            update = client.send("update", json.dumps({"serial": "away-up", "login": 20002, "name": "Renamed Away",
                                                       "group": "demo", "leverage": 100, "groupType": 1,
                                                       "valid": 1}))
            time.sleep(2)
            # Nothing answered (no failure because the server is away), nothing posted.
            client.no_reply("trade", wait=0.5)
            client.no_reply("update", wait=0.1)
            self.assertAlmostEqual(float(self.ws.account(20001)["balance"]), before, places=2)

            self.ws.tradesim("server", "start")
            s.expect("Trading server session reopened after ", timeout=15)
            for corr in deposits:
                [frame] = box.collect("trade", corr)
                self.assertEqual(json.loads(frame.body)["code"], 200, frame.body)
            [frame] = box.collect("update", update)
            self.assertEqual(json.loads(frame.body)["code"], 200, frame.body)
            # Once each, in the order sent.
            for corr in deposits:
                self.assertEqual(len(box.settle("trade", corr, wait=0.2)), 1)
            deals = self.ws.deals(20001)[deals_before:]
            self.assertEqual([float(d[3]) for d in deals], [1.0, 2.0, 3.0, 4.0, 5.0])
            self.assertAlmostEqual(float(self.ws.account(20001)["balance"]), before + 15, places=2)
            self.assertEqual(self.ws.account(20002)["name"], "Renamed Away")
        finally:
            client.close()
        self.assertEqual(http_get(self.port, "/health")[0], 200)
        self.assertEqual(self.metric("mqbridge_trading_server_up"), 1)
        self.assertEqual(self.metric("mqbridge_trading_server_reopens_total"), 1)
        self.assertNotIn("In doubt", s.output)
        self.assertEqual(s.stop(), 0)

    def test_deposit_cut_off_by_the_loss_is_checked_after_the_reopen_and_posted_once(self):
        self.service = s = Service(self.ws)
        s.expect("init success")
        before = float(self.ws.account(20001)["balance"])
        deals_before = len(self.ws.deals(20001))
        # The deal is made, then the answer takes its time: the server goes
        # away before it comes back.
        self.ws.tradesim("fault", "arm", "PostBalanceDeal", "--delay-after-ms", "1500")
        client = Client(self.broker)
        try:
            corr = client.send("trade", '{"serial":"cut","login":20001,"amount":42,"type":1}')
            harness.Journal(harness.journal_file(self.ws)).wait_state(corr, "started")
            harness.wait_deals(self.ws, 20001, deals_before + 1)
            self.ws.tradesim("server", "stop")
            s.expect("Trading server session lost: ")
            s.expect("did not say whether it made the change; checking")
            client.no_reply("trade", wait=1.0)
            self.ws.tradesim("server", "start")
            frame = client.reply("trade", timeout=30)
            self.assertEqual(frame.headers["correlation-id"], corr)
            reply = json.loads(frame.body)
            self.assertEqual(reply["code"], 200, frame.body)
            time.sleep(1)
            client.no_reply("trade", wait=0.5)
        finally:
            client.close()
        self.assertEqual(len(self.ws.deals(20001)), deals_before + 1)
        self.assertAlmostEqual(float(self.ws.account(20001)["balance"]), before + 42, places=2)
        self.assertRegex(self.ws.log_text(), r"In doubt \S+: found on the trading server \(.*\), not carried out again")
        self.assertEqual(s.stop(), 0)

    def test_a_reopen_the_server_refuses_for_its_login_ends_the_service_as_a_failed_start(self):
        self.service = s = Service(self.ws)
        s.expect("init success")
        self.ws.tradesim("server", "stop")
        s.expect("Trading server session lost: ")
        self.ws.tradesim("manager", "password", "--login", str(harness.MANAGER_LOGIN), "--password", "Changed#1")
        self.ws.tradesim("server", "start")
        s.expect("Trading server session cannot be reopened: the server refused the manager login (1102); "
                 "check login and password in config.ini", timeout=15)
        self.assertEqual(s.wait_exit(), 255)
        self.assertIn("Trading server session cannot be reopened", self.ws.log_text())
        self.assertNotIn("Changed#1", s.output + self.ws.log_text())


if __name__ == "__main__":
    unittest.main()
