"""Money under a broker crash: with a failover URI the service rides out a
killed and restarted broker, and a deposit in progress at that moment is
carried out exactly once. And under a trading server that goes away: the
requests wait on the broker until the session is reopened. And under a
master broker that dies with its standby taking over the shared store."""

import json
import os
import queue
import signal
import threading
import time
import unittest

import stomp

import harness
from harness import (Broker, BrokerPair, Client, ReplyBox, Service, Workspace, free_port, http_get, metric_value,
                     request_queue)


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
        harness.wait_log(self.ws, "Trading server session lost: ")
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


class _Receipts(stomp.ConnectionListener):
    def __init__(self):
        self.ids = set()
        self.changed = threading.Condition()

    def on_receipt(self, frame):
        with self.changed:
            self.ids.add(frame.headers.get("receipt-id"))
            self.changed.notify_all()

    def wait(self, ids, timeout):
        deadline = time.monotonic() + timeout
        with self.changed:
            while not set(ids) <= self.ids:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise AssertionError(f"{len(set(ids) - self.ids)} of {len(ids)} requests not confirmed "
                                         f"by the broker within {timeout} s")
                self.changed.wait(remaining)


class BrokerPairFailover(unittest.TestCase):
    """A master and a standby broker on one shared store: the master dies
    mid-burst, the standby takes the store over with the requests and
    replies in it, and the service, on the pair's failover URI, goes on."""

    LOGINS = (20001, 20002, 20003)
    COUNT = 200

    def setUp(self):
        self.pair = BrokerPair("pair")
        self.ws = Workspace()
        self.ws.seed()
        self.ws.tradesim("account", "add", "--login", "20003", "--name", "Demo Three", "--group", "demo",
                         "--balance", "0")
        self.ws.write_config(self.pair.failover_uri)
        self.service = None

    def tearDown(self):
        if self.service:
            self.service.kill()
        self.ws.close()
        self.pair.close()

    def test_master_killed_mid_burst_every_deposit_posted_once_and_answered(self):
        self.service = s = Service(self.ws)
        s.expect("init success")
        before = {login: (float(self.ws.account(login)["balance"]), len(self.ws.deals(login)))
                  for login in self.LOGINS}
        # Each deposit takes 20 ms on the trading server: the burst lasts
        # seconds, the kill lands inside it.
        self.ws.tradesim("fault", "arm", "PostBalanceDeal", "--delay-ms", "20", "--count", "1000")

        # The whole burst is on the master's store (each send confirmed by a
        # receipt) before the kill: nothing has to be sent again.
        client = Client(self.pair)
        receipts = _Receipts()
        client.conn.set_listener("receipts", receipts)
        expected = {}  # correlation id -> (login, amount, serial)
        for i in range(self.COUNT):
            login = self.LOGINS[i % len(self.LOGINS)]
            amount = round(1 + i * 1.01, 2)
            serial = f"pair-{i}"
            corr = client.send("trade", json.dumps({"serial": serial, "login": login, "amount": amount, "type": 1,
                                                    "comment": serial}),
                               headers={"receipt": f"burst-{i}"})
            expected[corr] = (login, amount, serial)
        receipts.wait([f"burst-{i}" for i in range(self.COUNT)], timeout=60)

        replies = {}  # correlation id -> [reply bodies]
        try:
            while len(replies) < self.COUNT // 4:
                frame = client.reply("trade", timeout=30)
                replies.setdefault(frame.headers.get("correlation-id"), []).append(frame.body)
        finally:
            client.close()
        answered_before_kill = set(replies)
        first_master = self.pair.master
        killed = time.monotonic()
        self.pair.kill_master()
        survivor = self.pair.wait_master(timeout=60)
        takeover = time.monotonic() - killed
        self.assertNotEqual(survivor, first_master)

        # Every request answered by way of the survivor; replies the dead
        # master had handed out but not seen acknowledged may come twice.
        client = Client(self.pair)
        first_after = None
        try:
            deadline = time.monotonic() + 120
            while set(expected) - set(replies) and time.monotonic() < deadline:
                try:
                    frame = client.reply("trade", timeout=1)
                except AssertionError:
                    continue
                corr = frame.headers.get("correlation-id")
                if first_after is None and corr not in answered_before_kill:
                    first_after = time.monotonic() - killed
                replies.setdefault(corr, []).append(frame.body)
            while True:  # late duplicates
                try:
                    frame = client.reply("trade", timeout=2)
                except AssertionError:
                    break
                replies.setdefault(frame.headers.get("correlation-id"), []).append(frame.body)
        finally:
            client.close()

        journal = harness.Journal(harness.journal_file(self.ws))
        missing = sorted(set(expected) - set(replies), key=lambda c: int(c.rsplit("-", 1)[1]))
        self.assertEqual(missing, [], "requests without a reply; their journal rows: "
                         + repr([journal.by_correlation(c) for c in missing[:5]]))
        self.assertEqual(set(replies) - set(expected), set(), "replies to requests nobody sent")
        for corr, bodies in replies.items():
            login, amount, serial = expected[corr]
            for body in bodies:
                reply = json.loads(body)
                self.assertEqual((reply["code"], reply["data"]["serial"], reply["data"]["amount"]),
                                 (200, serial, amount), f"reply to {corr}: {body!r}")
        duplicates = sum(len(bodies) - 1 for bodies in replies.values())

        # Posted once each on the trading server: the new deals are exactly
        # the burst's, and the balances moved by their sums.
        for login in self.LOGINS:
            balance, deal_count = before[login]
            deals = self.ws.deals(login)[deal_count:]
            posted = sorted((d[4], float(d[3])) for d in deals)
            sent = sorted((serial, amount) for (l, amount, serial) in expected.values() if l == login)
            doubled = [c for c in {p[0] for p in posted} if [p[0] for p in posted].count(c) > 1]
            self.assertEqual(doubled, [], f"deposits posted more than once on {login}")
            self.assertEqual(posted, sent, f"deals of {login} are not the burst's deposits")
            self.assertAlmostEqual(float(self.ws.account(login)["balance"]), balance + sum(a for _, a in sent),
                                   places=2, msg=f"balance of {login}")

        self.assertTrue(s.alive(), "the service ended")
        self.assertIn("The Connection's Transport has been Interrupted.", s.output)
        self.assertIn("The Connection's Transport has been Restored.", s.output)
        print("\n" + "\n".join(l for l in s.output.splitlines()
                                if "Transport" in l or "Redelivered" in l or "failed" in l or "doubt" in l))
        self.assertEqual(s.stop(), 0)
        # Nothing left on the request queue: a browser sees it empty.
        left = _browse(self.pair, request_queue("trade"))
        self.assertEqual(left, [], "requests left on the request queue")
        print(f"\nbroker pair: master {first_master} killed after {len(answered_before_kill)} of {self.COUNT} "
              f"replies; {survivor} served after {takeover:.2f} s; first reply to an unanswered request "
              f"{first_after if first_after is None else round(first_after, 2)} s after the kill; "
              f"duplicate replies {duplicates}; deposits doubled 0, requests lost 0")


def _browse(broker, queue_name, timeout=30):
    """Bodies of the messages on a queue, left on it (an ActiveMQ queue browser)."""
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

if __name__ == "__main__":
    unittest.main()
