"""Delivery guarantees end to end: whatever the broker connection or the
service process does at a chosen moment, each request is carried out on the
trading server exactly once, the back office gets at least one reply, every
copy byte for byte the same and carrying the request's correlation id, and
the request journal tells how far each request got.

The faults are placed deterministically: the service talks to the broker
through a STOMP proxy (stomp_proxy) that drops or holds the chosen frame,
the trading server's calls are slowed by armed tradesim faults and the
journal's disk is a small file system filled on purpose, so the moment of a
kill is an awaited journal state, not a guess."""

import errno
import itertools
import json
import os
import re
import signal
import sqlite3
import subprocess
import tempfile
import time
import unittest

import harness
from harness import (Broker, Client, Journal, ReplyBox, Service, ServiceFrom, Workspace, journal_file,
                     service_directory, wait_deals, wait_log)
from stomp_proxy import BROKER, StompProxy


def masked(body):
    """A reply as the journal keeps it: the values of its password members masked."""
    return re.sub(rb'"(masterPass|investorPass|newPass)":"(?:[^"\\]|\\.)*"', rb'"\1":"***"', body)

TRADE = "e2e.trade"
TRADE_REPLY = "e2e.trade.reply"
CREATE = "e2e.user.create"
FAULT_MS = "2500"
_logins = itertools.count(21001)


class DeliveryCase(unittest.TestCase):
    """One broker per class; per test a fresh trading-server database with
    an account of its own, a proxy in front of the broker and the service
    behind it, journal in the workspace."""

    @classmethod
    def setUpClass(cls):
        cls.broker = Broker(cls.__name__.lower())
        cls.client = Client(cls.broker)
        cls.box = ReplyBox(cls.client)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.broker.close()

    def setUp(self):
        self.ws = self.workspace()
        self.ws.seed()
        self.login = next(_logins)
        self.ws.tradesim("account", "add", "--login", str(self.login), "--name", "Delivery", "--group", "demo",
                         "--balance", "1000")
        self.proxy = StompProxy(self.broker.stomp_port)
        self.proxies = [self.proxy]
        self.journal = Journal(journal_file(self.ws))
        self.services = []

    def tearDown(self):
        for s in self.services:
            s.kill()
        for p in self.proxies:
            p.close()
        for ws in getattr(self, "_workspaces", []):
            ws.close()

    def workspace(self):
        ws = Workspace()
        self.__dict__.setdefault("_workspaces", []).append(ws)
        return ws

    # -- the service and its requests --------------------------------------

    def start(self, ws=None, proxy=None, executable=None, **config):
        ws = ws or self.ws
        proxy = proxy or self.proxy
        if "journalPath" not in config:
            os.makedirs(os.path.dirname(journal_file(self.ws)), exist_ok=True)
            config["journalPath"] = journal_file(self.ws)
        ws.write_config(proxy.failover_uri(), **config)
        s = ServiceFrom(ws, executable) if executable else Service(ws)
        self.services.append(s)
        s.expect("init success")
        return s

    def restart(self, **kw):
        """After a kill: the trading server's faults cleared (a second post
        would show at once), the service started again on the same journal."""
        self.ws.tradesim("fault", "clear")
        return self.start(**kw)

    def deposit(self, amount=10, serial=None, login=None, comment=None):
        request = {"serial": serial or f"dl-{self.login}-{amount}", "login": login or self.login,
                   "amount": amount, "type": 1}
        if comment is not None:
            request["comment"] = comment
        return self.client.send("trade", json.dumps(request))

    def arm(self, *fault):
        self.ws.tradesim("fault", "arm", "PostBalanceDeal", *fault)

    def deals(self):
        return self.ws.deals(self.login)

    # -- what the back office, the wire and the journal saw ----------------

    def reply_sends(self, corr, kind="trade"):
        return [f for p in self.proxies for f in p.frames("SEND", harness.callback_queue(kind))
                if f.headers.get("correlation-id") == corr]

    def confirmed_reply_sends(self, corr, kind="trade"):
        """The reply SENDs whose RECEIPT (or whose transaction's COMMIT
        RECEIPT) the broker gave: certainly on the callback queue, whether
        or not the service saw the RECEIPT."""
        replies = harness.callback_queue(kind)
        out = []
        for p in self.proxies:
            receipts = {(f.conn, f.headers.get("receipt-id")) for f in p.frames("RECEIPT", replies)}
            committed = {(f.conn, f.headers.get("transaction")) for f in p.frames("COMMIT", replies)
                         if (f.conn, f.headers.get("receipt")) in receipts}
            # A SEND inside a transaction is on the queue once its COMMIT
            # is confirmed, whatever its own receipt said.
            out += [f for f in p.frames("SEND", replies)
                    if f.headers.get("correlation-id") == corr and f.action == "forwarded"
                    and ((f.conn, f.headers.get("transaction")) in committed if f.headers.get("transaction")
                         else (f.conn, f.headers.get("receipt")) in receipts)]
        return out

    def request_acks(self, corr, kind="trade"):
        """The client ACKs of the request's deliveries (any action)."""
        requests = harness.request_queue(kind)
        acks = []
        for p in self.proxies:
            ids = {f.headers.get("ack") for f in p.frames("MESSAGE", requests)
                   if f.headers.get("correlation-id") == corr}
            acks += [f for f in p.frames("ACK", requests) if f.headers.get("id") in ids]
        return acks

    def wait_request_acked(self, corr, kind="trade", timeout=45):
        """Until an ACK of the request reached the broker (the request is
        off its queue)."""
        deadline = time.monotonic() + timeout
        while not any(a.action == "forwarded" for a in self.request_acks(corr, kind)):
            self.assertLess(time.monotonic(), deadline, "no ACK of the request reached the broker")
            time.sleep(0.05)

    def assert_delivered_once(self, corr, code=200, deals=1, timeout=45, kind="trade"):
        """The request acknowledged; for a deposit, `deals` deals on the
        account; every reply the broker took is at the back office, all the
        same bytes as every reply SEND on the wire, with the request's
        correlation id. Returns the reply as JSON."""
        row = self.journal.wait_state(corr, "acknowledged", timeout=timeout)
        confirmed = self.confirmed_reply_sends(corr, kind)
        self.assertGreaterEqual(len(confirmed), 1, "no reply confirmed by the broker")
        replies = self.box.collect(kind, corr, len(confirmed), timeout=timeout)
        bodies = {r.body for r in replies} | {f.body for f in self.reply_sends(corr, kind)}
        self.assertEqual(len(bodies), 1, f"replies differ: {bodies}")
        body = bodies.pop()
        reply = json.loads(body)
        self.assertEqual(reply["code"], code, body)
        if kind == "trade":
            self.assertEqual(len(self.deals()), deals, self.deals())
        # The journal keeps the reply with its passwords masked.
        self.assertEqual(row["reply"].rstrip("\n").encode(), masked(body).rstrip(b"\n"))
        # The journal says acknowledged also for an ACK lost with its
        # connection; the request is off the queue once an ACK reached it.
        self.wait_request_acked(corr, kind, timeout)
        return reply

    def assert_answered_in_doubt(self, corr, kind="trade", timeout=45):
        """The request answered -1001 (every reply alike), acknowledged,
        and its journal entry left in doubt for reconciliation. Returns the
        journal row."""
        replies = self.box.collect(kind, corr, 1, timeout=timeout)
        self.wait_request_acked(corr, kind, timeout)
        bodies = {r.body for r in self.box.settle(kind, corr, wait=0.3)} | {f.body for f in self.reply_sends(corr, kind)}
        self.assertEqual(len(bodies), 1, f"replies differ: {bodies}")
        self.assertEqual(json.loads(replies[0].body)["code"], -1001, replies[0].body)
        [row] = self.journal.by_correlation(corr)
        self.assertEqual(row["state"], "in_doubt")
        return row

    def stop_all(self):
        for s in self.services:
            if s.alive():
                self.assertEqual(s.stop(), 0)

    def restart_armed(self, operation, *fault, **kw):
        """As restart, with one trading-server fault armed before the start."""
        self.ws.tradesim("fault", "clear")
        self.ws.tradesim("fault", "arm", operation, *fault)
        return self.start(**kw)

    def second_instance(self, **config):
        """Another service instance on this trading server and journal,
        behind its own proxy; returns that proxy."""
        other_ws = self.workspace()
        other_ws.env["TRADESIM_DB"] = self.ws.db
        other_proxy = StompProxy(self.broker.stomp_port)
        self.proxies.append(other_proxy)
        self.start(ws=other_ws, proxy=other_proxy, **config)
        return other_proxy

    def holder_of(self, corr):
        """The proxy whose instance was handed the request."""
        [holder] = [p for p in self.proxies
                    if any(f.headers.get("correlation-id") == corr for f in p.frames("MESSAGE", TRADE))]
        return holder


class ReplyFaults(DeliveryCase):
    """The reply's way to the broker fails; the service process stays."""

    def test_request_answered_through_the_proxy_is_journalled_step_by_step(self):
        # journalPath left out: ../journal/requests.db from the working directory
        self.start(journalPath=None)
        corr = self.deposit(25)
        reply = self.assert_delivered_once(corr)
        self.assertEqual(reply["data"]["login"], self.login)
        [row] = self.journal.by_correlation(corr)
        deal = self.deals()[0]
        self.assertEqual((row["queue"], row["login"], float(row["amount"])), (TRADE, self.login, 25.0))
        self.assertTrue(row["message_id"])
        self.assertTrue(row["kind"])
        self.assertEqual(str(row["deal_id"]), deal[0])
        self.assertEqual(str(reply["data"]["order"]), deal[0])
        stamps = [row[k] for k in ("received_at", "started_at", "done_at", "confirmed_at", "acknowledged_at")]
        self.assertNotIn(None, stamps)
        self.assertEqual(stamps, sorted(stamps))
        # The reply's RECEIPT came before the request's ACK went.
        [ack] = self.request_acks(corr)
        self.assertLess(self.confirmed_reply_sends(corr)[0].index, ack.index)
        self.assertNotIn("Send failed", self.ws.log_text())
        self.stop_all()

    def test_reply_dropped_with_its_connection_is_resent_on_the_new_one_before_the_ack(self):
        s = self.start()
        rule = self.proxy.on_send(TRADE_REPLY, "drop_and_close")
        corr = self.deposit(30)
        dropped = rule.wait()
        resent = self.proxy.wait_frame("SEND", TRADE_REPLY, since=dropped.index + 1,
                                       where=lambda f: f.headers.get("correlation-id") == corr)
        self.assertNotEqual(resent.conn, dropped.conn)
        self.assertEqual(resent.body, dropped.body)
        reply = self.assert_delivered_once(corr)
        self.assertEqual(reply["code"], 200)
        # acknowledged only once the resent reply was confirmed
        receipt = self.proxy.wait_frame("RECEIPT", TRADE_REPLY, conn=resent.conn, since=resent.index,
                                        where=lambda f: f.headers.get("receipt-id") == resent.headers.get("receipt"))
        [ack] = self.request_acks(corr)
        self.assertGreater(ack.index, receipt.index)
        log = wait_log(self.ws, f"DestURI:{TRADE_REPLY},Resent: ")
        self.assertIn(f"DestURI:{TRADE_REPLY},Send failed: ", log)
        self.assertLess(log.index("Send failed: "), log.index("Resent: "))
        self.stop_all()

    def test_every_connection_closed_at_the_reply_posts_once_and_answers_alike(self):
        s = self.start()
        rule = self.proxy.on_send(TRADE_REPLY, "close_all")
        corr = self.deposit(35)
        rule.wait()
        self.assert_delivered_once(corr)
        self.assertTrue(s.alive())
        self.stop_all()

    def test_reply_without_a_receipt_in_time_is_sent_again(self):
        s = self.start()
        for n, (action, seconds) in enumerate((("hold_receipt", 12), ("drop_receipt", None)), start=1):
            with self.subTest(action=action):
                rule = self.proxy.on_send(TRADE_REPLY, action, seconds=seconds)
                corr = self.deposit(40 + n)
                first = rule.wait()
                again = self.proxy.wait_frame("SEND", TRADE_REPLY, since=first.index + 1, timeout=30,
                                              where=lambda f: f.headers.get("correlation-id") == corr)
                self.assertEqual(again.body, first.body)
                self.assert_delivered_once(corr, deals=n)
                # the broker took both copies: the back office has two alike
                self.assertGreaterEqual(len(self.box.collect("trade", corr, 2)), 2)
        self.assertIn(f"DestURI:{TRADE_REPLY},Resent: ", self.ws.log_text())
        self.stop_all()

    def test_reply_the_broker_refuses_is_recorded_and_acknowledged_and_the_queue_goes_on(self):
        self.start()
        rule = self.proxy.on_send(TRADE_REPLY, "refuse")
        refused = self.deposit(45)
        rule.wait()
        row = self.journal.wait_state(refused, "acknowledged")
        self.assertIn("refused by the broker", row["note"])
        self.assertTrue(any(a.action == "forwarded" for a in self.request_acks(refused)))
        self.assertIn(f"DestURI:{TRADE_REPLY},Refused: ", wait_log(self.ws, "Refused: "))
        # sent once, not again and again; the next request is answered
        self.assertEqual(len(self.reply_sends(refused)), 1)
        after = self.deposit(46)
        self.assertEqual(self.assert_delivered_once(after, deals=2)["code"], 200)
        self.assertEqual(self.box.settle("trade", refused), [])
        # One send of a batch refused (its ERROR names its receipt): not
        # fatal; the batch goes again reply by reply and every request is
        # answered.
        held = self.proxy.on_send(TRADE_REPLY, "hold_receipt", seconds=2)
        corrs = [self.deposit(50 + n) for n in range(4)]
        held.wait()
        in_batch = self.proxy.on_send(TRADE_REPLY, "refuse")
        hit = in_batch.wait()
        self.assertTrue(hit.headers.get("transaction"), "the refused send was not inside a batch")
        for corr in corrs:
            self.assert_delivered_once(corr, deals=6)
        self.assertTrue(all(s.alive() for s in self.services))
        self.stop_all()

    def test_connection_lost_at_a_batch_commit_sends_the_batch_again_and_posts_each_once(self):
        self.start()
        # The first reply's receipt is held: the deposits behind it are
        # carried out meanwhile and their replies wait to go as one batch.
        held = self.proxy.on_send(TRADE_REPLY, "hold_receipt", seconds=2)
        lost = self.proxy.on_commit(TRADE_REPLY, "drop_and_close")
        corrs = [self.deposit(60 + n) for n in range(5)]
        held.wait()
        commit = lost.wait()
        batch = [f for f in self.proxy.frames("SEND", TRADE_REPLY, conn=commit.conn)
                 if f.headers.get("transaction") == commit.headers.get("transaction")]
        self.assertGreater(len(batch), 1, "the replies behind the held one did not go together")
        again = self.proxy.wait_frame("COMMIT", TRADE_REPLY, since=commit.index + 1)
        self.assertNotEqual(again.conn, commit.conn)
        for corr in corrs:
            self.assert_delivered_once(corr, deals=5)
        # No request was acknowledged before the RECEIPT confirming its reply.
        receipts = {(f.conn, f.headers.get("receipt-id")): f.index for f in self.proxy.frames("RECEIPT", TRADE_REPLY)}
        commits = {(f.conn, f.headers.get("transaction")): f.headers.get("receipt")
                   for f in self.proxy.frames("COMMIT", TRADE_REPLY)}
        for corr in corrs:
            confirmed = min(receipts[(f.conn, commits[(f.conn, f.headers["transaction"])]
                                      if f.headers.get("transaction") else f.headers.get("receipt"))]
                            for f in self.confirmed_reply_sends(corr))
            for ack in self.request_acks(corr):
                self.assertGreater(ack.index, confirmed)
        self.stop_all()


class Stopping(DeliveryCase):
    """A stop while the window holds several requests."""

    def test_stop_with_a_full_window_answers_or_leaves_each_request_and_posts_each_once(self):
        s = self.start()
        self.arm("--delay-ms", "300", "--count", "30")
        corrs = [self.deposit(80 + n) for n in range(10)]
        self.journal.wait_state(corrs[1], "done", "confirmed", "acknowledged")  # the rest wait in the window
        began = time.monotonic()
        self.assertEqual(s.stop(), 0)
        self.assertLess(time.monotonic() - began, 10, "the stop was not bounded")
        states = {corr: [r["state"] for r in self.journal.by_correlation(corr)] for corr in corrs}
        answered = [c for c in corrs if states[c] == ["acknowledged"]]
        self.assertGreaterEqual(len(answered), 2, states)
        self.assertLess(len(answered), len(corrs), "nothing was left in the window to test")
        # The next start answers what was left; nothing is carried out twice.
        self.restart()
        for corr in corrs:
            self.journal.wait_state(corr, "acknowledged")
        for corr in corrs:
            self.assert_delivered_once(corr, deals=len(corrs))
        self.stop_all()


class CrashRecovery(DeliveryCase):
    """The service is killed at a chosen step of one request and started
    again on the same journal and the same trading server; or the trading
    server's answer leaves open whether the change was made."""

    def test_killed_inside_the_trading_server_call_posts_once_after_restart(self):
        s = self.start()
        self.arm("--delay-ms", FAULT_MS)
        corr = self.deposit(50)
        self.journal.wait_state(corr, "started")
        s.kill()
        self.assertEqual(self.deals(), [])
        self.restart()
        self.assert_delivered_once(corr)
        self.assertIn("In doubt", wait_log(self.ws, "In doubt"))
        self.stop_all()

    def test_killed_after_the_post_before_the_reply_answers_with_that_deal(self):
        s = self.start()
        self.arm("--delay-after-ms", FAULT_MS)
        corr = self.deposit(55)
        [deal] = wait_deals(self.ws, self.login, 1)
        self.assertEqual(self.journal.by_correlation(corr)[0]["state"], "started")
        s.kill()
        self.restart()
        reply = self.assert_delivered_once(corr)
        self.assertEqual(str(reply["data"]["order"]), deal[0])
        wait_log(self.ws, "In doubt")
        self.stop_all()

    def test_killed_after_the_reply_went_before_its_receipt_sends_the_same_reply_again(self):
        s = self.start()
        rule = self.proxy.on_send(TRADE_REPLY, "hold_receipt", seconds=60)
        corr = self.deposit(60)
        sent = rule.wait()
        self.proxy.wait_frame("RECEIPT", TRADE_REPLY, conn=sent.conn, where=lambda f: f.action == "held")
        self.journal.wait_state(corr, "done", timeout=5)
        s.kill()
        self.restart()
        self.assert_delivered_once(corr)
        self.assertGreaterEqual(len(self.box.collect("trade", corr, 2)), 2)
        self.assertIn("done already, reply sent again", wait_log(self.ws, "Redelivered"))
        self.stop_all()

    def test_killed_after_the_receipt_before_the_ack_sends_the_same_reply_again(self):
        s = self.start()
        rule = self.proxy.on_ack("drop", destination=TRADE)
        corr = self.deposit(65)
        rule.wait()
        self.assertIn(self.journal.by_correlation(corr)[0]["state"], ("confirmed", "acknowledged"))
        s.kill()
        mark = self.proxy.mark()
        self.restart()
        # the broker hands the request over again; it is answered, not posted
        self.proxy.wait_frame("MESSAGE", TRADE, since=mark, where=lambda f: f.headers.get("correlation-id") == corr)
        self.proxy.wait_frame("ACK", TRADE, since=mark, where=lambda f: f in self.request_acks(corr))
        self.assert_delivered_once(corr)
        # its reply confirmed before: acknowledged, no second reply needed
        wait_log(self.ws, f"destURI #{TRADE} Redelivered ")
        self.stop_all()

    def test_without_a_deal_lookup_a_request_cut_short_is_answered_in_doubt(self):
        s = self.start()
        self.arm("--delay-ms", FAULT_MS)
        corr = self.deposit(70)
        self.journal.wait_state(corr, "started")
        s.kill()
        self.restart(executable=service_directory(harness.NODEALS_LIBRARY, self.ws.root))
        [reply] = self.box.collect("trade", corr, 1, timeout=45)
        self.assertEqual(json.loads(reply.body)["code"], -1001, reply.body)
        self.proxy.wait_frame("ACK", TRADE, where=lambda f: f in self.request_acks(corr) and f.action == "forwarded")
        self.assertEqual(self.deals(), [])
        [row] = self.journal.by_correlation(corr)
        self.assertEqual(row["state"], "in_doubt")
        self.assertIn("reconcile", wait_log(self.ws, "In doubt"))
        self.stop_all()
        self.assertEqual(self.deals(), [])

    # -- what tells the service's own effect on the trading server ---------

    def kill_after_the_post_and_restart(self, comment):
        """A deposit with comment posted, the service killed before the
        call returned, started again: answered 200 with that deal, posted
        once."""
        s = self.start()
        self.arm("--delay-after-ms", FAULT_MS)
        corr = self.deposit(57, comment=comment)
        [deal] = wait_deals(self.ws, self.login, 1)
        self.assertEqual(self.journal.by_correlation(corr)[0]["state"], "started")
        s.kill()
        self.restart()
        reply = self.assert_delivered_once(corr)
        self.assertEqual(str(reply["data"]["order"]), deal[0])
        wait_log(self.ws, "In doubt")
        self.stop_all()

    def test_killed_after_posting_a_deposit_with_a_long_comment_answers_with_that_deal(self):
        # Longer than a deal record keeps: the server holds it cut short.
        comment = f"Wire transfer {self.login} ref " + "0123456789" * 10
        self.kill_after_the_post_and_restart(comment[:100])

    def test_killed_after_posting_a_deposit_with_a_nul_in_its_comment_answers_with_that_deal(self):
        # The deal record's comment ends at the NUL.
        self.kill_after_the_post_and_restart("Bonus\u0000 hidden after the end")

    def test_killed_after_creating_an_account_with_a_server_chosen_login_creates_it_once(self):
        s = self.start()
        name = f"Chosen Login {self.login}"
        self.ws.tradesim("fault", "arm", "AddAccount", "--delay-after-ms", FAULT_MS)
        corr = self.client.send("create", json.dumps({
            "serial": f"cl-{self.login}", "login": 0, "name": name, "group": "demo",
            "email": f"c{self.login}@example.com", "masterPass": "Master#1", "investorPass": "Invest#1",
            "leverage": 100, "valid": 1}))

        def named():
            return [line.split("\t") for line in self.ws.tradesim("account", "list").splitlines()
                    if line.split("\t")[1:2] == [name]]

        deadline = time.monotonic() + 30
        while not named():
            self.assertLess(time.monotonic(), deadline, "the account was not created")
            time.sleep(0.05)
        self.assertEqual(self.journal.by_correlation(corr)[0]["state"], "started")
        s.kill()
        self.restart()
        reply = self.assert_delivered_once(corr, kind="create")
        self.assertEqual(reply["data"]["name"], name)
        self.assertEqual(len(named()), 1, named())
        self.stop_all()
        self.assertEqual(len(named()), 1, named())

    def test_killed_inside_the_call_posts_its_own_deal_next_to_a_dealers_identical_one(self):
        s = self.start()
        self.arm("--delay-ms", FAULT_MS)
        comment = f"Top-up {self.login}"
        corr = self.deposit(58, comment=comment)
        self.journal.wait_state(corr, "started")
        s.kill()
        self.assertEqual(self.deals(), [])
        # Meanwhile a dealer at the server's console posts the same deposit.
        self.ws.tradesim("fault", "clear")
        dealers = self.ws.tradesim("deal", "add", "--login", str(self.login), "--amount", "58",
                                   "--comment", comment).strip().partition("=")[2]
        self.restart()
        reply = self.assert_delivered_once(corr, deals=2)
        [own] = [d for d in self.deals() if d[0] != dealers]
        self.assertEqual(str(reply["data"]["order"]), own[0])
        # the manager column: the service's login for its own, 0 for the console's
        self.assertEqual(own[-1], str(harness.MANAGER_LOGIN))
        self.assertEqual([d[-1] for d in self.deals() if d[0] == dealers], ["0"])
        self.stop_all()

    # -- updates cut short --------------------------------------------------

    def update(self, **values):
        request = {"serial": f"up-{self.login}", "login": self.login, "name": "Renamed Delivery", "group": "demo",
                   "leverage": 200, "groupType": 1, "comment": "vip", "valid": 1, **values}
        return self.client.send("update", json.dumps(request))

    def account_change_command(self, **values):
        """The tradesim command by which another manager changes the
        account; skips the test when tradesim has none."""
        usage = [line.strip() for line in self.ws.tradesim("--help").splitlines()
                 if line.strip().startswith("account update")]
        if not usage:
            self.skipTest("tradesim has no command that changes an existing account")
        args = ["account", "update"]
        args += [str(self.login)] if usage[0].split()[2:3] == ["LOGIN"] else ["--login", str(self.login)]
        for key, value in values.items():
            args += [f"--{key}", value]
        return args

    def test_update_cut_short_then_changed_by_someone_else_is_answered_in_doubt(self):
        change = self.account_change_command(name="Changed Elsewhere")
        s = self.start()
        self.ws.tradesim("fault", "arm", "SaveAccount", "--delay-ms", FAULT_MS)
        corr = self.update()
        self.journal.wait_state(corr, "started")
        s.kill()
        self.ws.tradesim("fault", "clear")
        self.ws.tradesim(*change)
        self.assertEqual(self.ws.account(self.login)["name"], "Changed Elsewhere")
        self.restart()
        self.assert_answered_in_doubt(corr, kind="update")
        self.assertEqual(self.ws.account(self.login)["name"], "Changed Elsewhere")
        self.assertIn("reconcile", wait_log(self.ws, "In doubt"))
        self.stop_all()
        self.assertEqual(self.ws.account(self.login)["name"], "Changed Elsewhere")

    def test_update_killed_after_its_save_is_answered_without_saving_again(self):
        s = self.start()
        self.ws.tradesim("fault", "arm", "SaveAccount", "--delay-after-ms", FAULT_MS)
        corr = self.update()
        deadline = time.monotonic() + 30
        while self.ws.account(self.login)["name"] != "Renamed Delivery":
            self.assertLess(time.monotonic(), deadline, "the update was not saved")
            time.sleep(0.05)
        self.assertEqual(self.journal.by_correlation(corr)[0]["state"], "started")
        s.kill()
        # A second save would fail: its reply would carry that code.
        self.restart_armed("SaveAccount", "--code", "3")
        reply = self.assert_delivered_once(corr, kind="update")
        self.assertEqual((reply["data"]["name"], reply["data"]["leverage"]), ("Renamed Delivery", 200))
        account = self.ws.account(self.login)
        self.assertEqual((account["name"], account["leverage"], account["comment"]), ("Renamed Delivery", "200", "vip"))
        self.assertIn("SaveAccount\tcode=3", self.ws.tradesim("fault", "list"), "the account was saved again")
        self.stop_all()

    # -- an answer that does not tell ----------------------------------------

    def test_network_error_from_the_post_is_settled_by_the_check(self):
        self.start()
        with self.subTest("posted, then the error"):
            self.arm("--code-after", "1100")
            corr = self.deposit(59)
            reply = self.assert_delivered_once(corr)
            [deal] = self.deals()
            self.assertEqual(str(reply["data"]["order"]), deal[0])
        with self.subTest("the error, nothing posted"):
            # Not on the server yet, but a change the server did not answer
            # may still be made: in doubt, never posted again.
            self.arm("--code", "1100")
            corr = self.deposit(61)
            [reply] = self.box.collect("trade", corr, 1, timeout=45)
            self.assertEqual(json.loads(reply.body)["code"], -1001, reply.body)
            self.proxy.wait_frame("ACK", TRADE,
                                  where=lambda f: f in self.request_acks(corr) and f.action == "forwarded")
            self.assertEqual(len(self.deals()), 1)
            self.assertEqual(self.journal.by_correlation(corr)[0]["state"], "in_doubt")
        self.stop_all()

    # -- a request that ends every process handling it ------------------------

    def starts(self, row):
        """How many processes recorded the request as started."""
        db = sqlite3.connect(f"file:{journal_file(self.ws)}?mode=ro", uri=True, timeout=5)
        try:
            return db.execute("SELECT count(DISTINCT owner) FROM history WHERE request_id = ? AND state = 'started'",
                              (row["id"],)).fetchone()[0]
        finally:
            db.close()

    def test_request_cut_short_in_three_runs_is_parked_on_the_fourth(self):
        s = self.start()
        self.arm("--delay-ms", FAULT_MS)
        killer = self.deposit(50)
        waiting = self.deposit(51)  # waits behind it in the window each time
        row = self.journal.wait_state(killer, "started")
        for run in (2, 3):
            self.assertNotIn("started", [r["state"] for r in self.journal.by_correlation(waiting)])
            s.kill()
            s = self.restart_armed("PostBalanceDeal", "--delay-ms", FAULT_MS)
            # checked, not found on the server, carried out again by this run
            deadline = time.monotonic() + 30
            while True:
                [now] = self.journal.by_correlation(killer)
                if now["state"] == "started" and now["owner"] != row["owner"] and self.starts(now) == run:
                    row = now
                    break
                self.assertLess(time.monotonic(), deadline, f"run {run} did not start the deposit again: {now}")
                time.sleep(0.05)
        self.assertNotIn("started", [r["state"] for r in self.journal.by_correlation(waiting)])
        s.kill()
        self.assertEqual(self.deals(), [])
        self.restart()
        self.assert_answered_in_doubt(killer)
        self.assertIn("parked", wait_log(self.ws, f"In doubt {row['message_id']}: parked"))
        # the one that only waited is carried out as usual
        self.assert_delivered_once(waiting)
        [deal] = self.deals()
        self.assertEqual(float(deal[3]), 51)
        self.stop_all()


class SharedFaults(DeliveryCase):
    """A consumer's fatal broker error, and two instances on one journal."""

    def test_fatal_error_on_another_queue_ends_the_service_after_the_deposit_is_done(self):
        s = self.start()
        self.arm("--delay-ms", FAULT_MS)
        corr = self.deposit(80)
        self.journal.wait_state(corr, "started")
        self.proxy.inject_error(CREATE, message="fatal broker fault")
        self.assertEqual(s.wait_exit(30), 1)
        # the deposit in progress was finished and journalled before the end
        self.assertIn(self.journal.by_correlation(corr)[0]["state"], ("done", "confirmed", "acknowledged"))
        self.assertEqual(len(self.deals()), 1)
        self.restart()
        self.assert_delivered_once(corr)
        self.stop_all()

    def test_instance_losing_its_connections_during_a_slow_deposit_next_to_another(self):
        # The second instance: its own directory and proxy, the same
        # trading server and journal.
        self.start()
        self.second_instance()
        self.arm("--delay-ms", FAULT_MS)
        corr = self.deposit(85)
        self.journal.wait_state(corr, "started")
        self.holder_of(corr).close_all()
        self.assert_delivered_once(corr, timeout=60)
        self.stop_all()

    def test_slow_owner_sends_nothing_against_the_in_doubt_answer_of_another_instance(self):
        # The first instance's call posts at once and returns only after
        # the other instance, handed the request again, gave up waiting for
        # it (30 s) and answered it in doubt.
        hold = 37.0
        self.start()
        self.second_instance()
        for p in self.proxies:
            p.subscriber_of(TRADE)
        self.arm("--delay-after-ms", str(int(hold * 1000)))
        corr = self.deposit(86)
        wait_deals(self.ws, self.login, 1)
        posted = time.monotonic()
        self.journal.wait_state(corr, "started")
        slow = self.holder_of(corr)
        [other] = [p for p in self.proxies if p is not slow]
        # The slow instance cut off from the broker until the answer is out.
        slow.pause()
        slow.close_all()
        answer = self.box.collect("trade", corr, 1, timeout=hold)[0]
        self.assertLess(time.monotonic(), posted + hold - 1, "the first call returned before the in-doubt answer")
        self.assertEqual(json.loads(answer.body)["code"], -1001, answer.body)
        self.assertTrue([f for f in other.frames("SEND", TRADE_REPLY) if f.headers.get("correlation-id") == corr],
                        "the answer did not come from the other instance")
        slow.resume()
        # Once the slow call has returned and its instance is back on the broker:
        time.sleep(max(0.0, posted + hold + 3 - time.monotonic()))
        replies = self.box.settle("trade", corr, wait=2)
        codes = [json.loads(r.body)["code"] for r in replies] + [json.loads(f.body)["code"] for f in self.reply_sends(corr)]
        self.assertNotIn(200, codes, codes)
        [row] = self.journal.by_correlation(corr)
        self.assertEqual(row["state"], "in_doubt")
        self.assertEqual(len(self.deals()), 1, self.deals())
        self.assertTrue(all(s.alive() for s in self.services))
        self.stop_all()

    def test_an_owner_cut_off_inside_its_call_is_waited_for_until_its_calls_must_have_ended(self):
        # The owner is frozen inside the trading-server call, before the
        # deal is made, and cut off from the broker: its lease runs out
        # while the other instance holds the request.
        self.start()
        self.second_instance()
        for p in self.proxies:
            p.subscriber_of(TRADE)
        self.arm("--delay-ms", "3000")
        corr = self.deposit(89)
        self.journal.wait_state(corr, "started")
        holder = self.holder_of(corr)
        [other] = [p for p in self.proxies if p is not holder]
        pid = self.services[self.proxies.index(holder)].proc.pid
        os.kill(pid, signal.SIGSTOP)
        try:
            holder.close_all()
            other.wait_frame("MESSAGE", TRADE, timeout=30, where=lambda f: f.headers.get("correlation-id") == corr)
            time.sleep(13)  # its lease is 10 s old: cut off, not gone
            self.assertEqual(self.deals(), [], "the other instance did not wait for the cut-off owner")
        finally:
            os.kill(pid, signal.SIGCONT)
        # Thawed, the owner makes its deal; the other answers with it.
        self.assert_delivered_once(corr, timeout=60)
        self.assertEqual(len(self.deals()), 1, self.deals())
        self.stop_all()

    def test_a_standby_takes_the_queues_only_once_the_serving_instance_is_gone(self):
        first = self.start(standby=True)
        standby_proxy = self.second_instance(standby=True)
        standby = self.services[-1]
        standby.expect("Standby: another instance serves the queues; waiting until its lease ends")
        # While the first serves, the standby holds no consumer: the request
        # goes to the first, which is killed inside its call.
        self.arm("--delay-ms", FAULT_MS)
        served = self.deposit(87)
        self.journal.wait_state(served, "started")
        time.sleep(1.5)  # three of the standby's looks at the lease
        self.assertEqual(standby_proxy.frames("SUBSCRIBE"), [])
        self.assertNotIn("taking them over", standby.output)
        first.kill()
        standby.expect("Standby: no other instance serves the queues any more; taking them over", timeout=10)
        # The standby finishes what the first left, once, then serves on.
        self.assert_delivered_once(served)
        self.assertTrue([f for f in standby_proxy.frames("MESSAGE", TRADE) if f.headers.get("correlation-id") == served])
        after = self.deposit(88)
        self.assert_delivered_once(after, deals=2)
        self.stop_all()


class RetrySafeSerials(DeliveryCase):
    def body(self, amount, serial):
        return json.dumps({"serial": serial, "login": self.login, "amount": amount, "type": 1})

    def test_a_serial_done_before_is_answered_from_the_journal(self):
        s = self.start(retrySafeSerials=True)
        body = self.body(90, f"rs-{self.login}")
        first = self.client.send("trade", body)
        stored = self.assert_delivered_once(first)
        again = self.client.send("trade", body)
        self.assertEqual(self.assert_delivered_once(again), stored)
        [r1], [r2] = self.box.collect("trade", first), self.box.collect("trade", again)
        self.assertEqual(r2.body, r1.body)
        self.assertEqual(r2.headers["correlation-id"], again)
        # the same serial with another body is refused, nothing posted
        other = self.client.send("trade", self.body(91, f"rs-{self.login}"))
        self.assertEqual(self.assert_delivered_once(other, code=-1002)["code"], -1002)
        self.assertEqual(len(self.deals()), 1)
        # Sent twice back to back, as by a client that resubmits at once: the
        # second is decided from the first's "done", not from its "started"
        # while that is still being written.
        twice = self.body(40, f"rs2-{self.login}")
        a, b = self.client.send("trade", twice), self.client.send("trade", twice)
        self.assertEqual(self.assert_delivered_once(a, deals=2), self.assert_delivered_once(b, deals=2))
        self.assertIn(f"Serial rs2-{self.login}: answered already, reply sent again", s.output)
        self.assertNotIn("In doubt", s.output)
        self.stop_all()

    def test_passwords_are_not_kept_and_a_replayed_reply_carries_them_again(self):
        self.start(retrySafeSerials=True)
        secrets = ["Master\"#\u00e9-7", "Invest#8", "Old#Master1", "N\u20acw#9"]
        create = json.dumps({"serial": f"np-c-{self.login}", "login": 0, "name": f"No Pass {self.login}",
                             "group": "demo", "masterPass": secrets[0], "investorPass": secrets[1],
                             "leverage": 100, "valid": 1})
        change = json.dumps({"serial": f"np-p-{self.login}", "login": 20001, "type": 1,
                             "masterPass": secrets[2], "newPass": secrets[3]})
        for kind, body in (("create", create), ("password", change)):
            first = self.client.send(kind, body)
            self.assert_delivered_once(first, kind=kind)
            # The same request again: answered from the journal with the
            # bytes of the first reply, passwords included.
            again = self.client.send(kind, body)
            self.assert_delivered_once(again, kind=kind)
            [r1], [r2] = self.box.collect(kind, first), self.box.collect(kind, again)
            self.assertEqual(r2.body, r1.body)
            for secret in secrets[:2] if kind == "create" else secrets[2:]:
                self.assertIn(json.dumps(secret).encode(), r1.body)
        self.stop_all()
        # Nowhere in the journal's files, in any spelling the service writes.
        kept = b""
        for name in os.listdir(os.path.dirname(journal_file(self.ws))):
            with open(os.path.join(os.path.dirname(journal_file(self.ws)), name), "rb") as f:
                kept += f.read()
        for secret in secrets:
            for spelling in {secret.encode(), json.dumps(secret).encode()[1:-1], json.dumps(secret, ensure_ascii=False).encode()[1:-1]}:
                self.assertNotIn(spelling, kept, secret)

    def test_without_the_option_a_resent_serial_is_carried_out_again(self):
        self.start()
        body = self.body(95, f"rs-{self.login}")
        first = self.client.send("trade", body)
        self.assert_delivered_once(first)
        again = self.client.send("trade", body)
        self.assert_delivered_once(again, deals=2)
        self.stop_all()

    def test_one_serial_sent_to_two_instances_at_once_is_posted_once_and_answered_alike(self):
        # A window of one: the second message cannot go to the instance
        # that holds the first.
        self.start(retrySafeSerials=True, requestWindow=1)
        self.second_instance(retrySafeSerials=True, requestWindow=1)
        for p in self.proxies:
            p.subscriber_of(TRADE)
        self.arm("--delay-ms", FAULT_MS, "--count", "2")
        body = self.body(96, f"rs2-{self.login}")
        first = self.client.send("trade", body)
        self.journal.wait_state(first, "started")
        holder = self.holder_of(first)
        second = self.client.send("trade", body)
        [other] = [p for p in self.proxies if p is not holder]
        other.wait_frame("MESSAGE", TRADE, timeout=10, where=lambda f: f.headers.get("correlation-id") == second)
        self.assertEqual(self.assert_delivered_once(first), self.assert_delivered_once(second))
        [r1], [r2] = self.box.collect("trade", first), self.box.collect("trade", second)
        self.assertEqual(r2.body, r1.body)
        self.assertEqual(len(self.deals()), 1, self.deals())
        self.stop_all()


class JournalHold(DeliveryCase):
    """The journal's disk fills up while the service runs."""

    def mount_small_disk(self):
        """A 16 MB tmpfs of its own (unmounted at the end); skips the test
        without root or where mounting is refused."""
        if os.geteuid() != 0:
            self.skipTest("mounting a small disk for the journal needs root")
        mnt = tempfile.mkdtemp(prefix="mqb-e2e-journal-")
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m,mode=0700", "tmpfs", mnt],
                                capture_output=True, text=True)
        if result.returncode != 0:
            os.rmdir(mnt)
            self.skipTest(f"cannot mount a tmpfs for the journal: {result.stderr.strip()}")
        self.addCleanup(os.rmdir, mnt)
        self.addCleanup(subprocess.run, ["umount", "-l", mnt], capture_output=True)
        return mnt

    @staticmethod
    def fill(path):
        """Writes to path until its file system has no block left."""
        with open(path, "wb", buffering=0) as f:
            for size in (1 << 20, 1 << 12, 1):
                block = b"\0" * size
                while True:
                    try:
                        f.write(block)
                    except OSError as e:
                        if e.errno != errno.ENOSPC:
                            raise
                        break

    def test_full_disk_holds_requests_until_the_journal_writes_again(self):
        mnt = self.mount_small_disk()
        path = os.path.join(mnt, "requests.db")
        self.journal = Journal(path)
        port = harness.free_port()
        s = self.start(journalPath=path, metricsAddress=f"127.0.0.1:{port}")
        self.assertEqual(harness.http_get(port, "/health")[0], 200)
        filler = os.path.join(mnt, "filler")
        self.fill(filler)
        self.assertEqual(os.statvfs(mnt).f_bavail, 0)
        corrs = [self.deposit(70 + n) for n in range(3)]
        wait_log(self.ws, "Request journal down: ")
        self.assertIn("requests are held on the broker", self.ws.log_text())
        deadline = time.monotonic() + 10
        while True:
            status, body = harness.http_get(port, "/health")
            if status == 503 and "request journal" in body:
                break
            self.assertLess(time.monotonic(), deadline, f"/health while the journal is down: {status} {body}")
            time.sleep(0.1)
        # Held, not answered: no reply of any code, nothing posted.
        self.box.settle("trade", None, wait=2)
        for corr in corrs:
            self.assertEqual(self.box.by_correlation.get(corr, []), [])
            self.assertEqual(self.reply_sends(corr), [])
        self.assertEqual(self.deals(), [])
        os.remove(filler)
        wait_log(self.ws, "Request journal writable again; requests resume")
        for corr in corrs:
            self.assert_delivered_once(corr, deals=len(corrs))
        self.assertEqual(sorted(float(d[3]) for d in self.deals()), [70, 71, 72])
        self.assertEqual(harness.http_get(port, "/health")[0], 200)
        self.assertTrue(s.alive())
        self.stop_all()


if __name__ == "__main__":
    unittest.main()
