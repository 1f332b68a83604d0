"""Money under a broker crash: with a failover URI the service rides out a
killed and restarted broker, and a deposit in progress at that moment is
carried out exactly once."""

import json
import os
import signal
import time
import unittest

import harness
from harness import Broker, Client, Service, Workspace


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


if __name__ == "__main__":
    unittest.main()
