"""Two hosts on one request journal on PostgreSQL: instances A and B, each
in a working directory and a PID namespace of its own (so each tells that
the other lives from its lease alone, as across two machines), each behind
its own STOMP proxy to the one broker and its own TCP proxy to the one
database, both on one trading server. A fault is placed on one host (its
broker or database connection cut inside a trading-server call, a SIGKILL,
the database restarted) and the requests must still be carried out once
each and all be answered."""

import itertools
import json
import re
import time
import unittest

import harness
from harness import Broker, Client, ReplyBox, Workspace, wait_deals
from pg_harness import HostService, PgJournal, Postgres, TcpProxy, browse, check_pid_namespaces, share_key
from stomp_proxy import StompProxy

TRADE = "e2e.trade"
TRADE_REPLY = "e2e.trade.reply"
LEASE_EXPIRY_S = 10.0  # bus/ProcessOwner.h
LONGEST_CALL_S = 30.0
_logins = itertools.count(31001)


class TimedReplyBox(ReplyBox):
    """A ReplyBox that notes when the first reply to each request came."""

    def __init__(self, client):
        super().__init__(client)
        self.first_at = {}    # correlation id -> time.monotonic()
        self.first_wall = {}  # correlation id -> ms since the epoch

    def _take(self, kind, timeout):
        took = super()._take(kind, timeout)
        if took:
            for corr in self.by_correlation:
                if corr not in self.first_at:
                    self.first_at[corr] = time.monotonic()
                    self.first_wall[corr] = time.time() * 1000
        return took


class Instance:
    """One host: its workspace, its proxies and the service on them."""

    def __init__(self, name, ws, stomp, db):
        self.name = name
        self.ws = ws
        self.stomp = stomp
        self.db = db
        self.config = {}
        self.service = None
        self.owner = None  # its name in the journal

    def __repr__(self):
        return f"instance {self.name}"


class SharedPostgresJournal(unittest.TestCase):
    """One broker and one PostgreSQL cluster for the class; per test a
    trading-server database, a journal (a schema of its own) and hosts."""

    @classmethod
    def setUpClass(cls):
        why = check_pid_namespaces()
        if why:
            raise AssertionError(f"cannot run an instance as on a host of its own: {why}")
        cls.pg = Postgres("shared")
        try:
            cls.broker = Broker("pgshared")
        except BaseException:
            cls.pg.close()
            raise
        cls.client = Client(cls.broker)
        cls.box = TimedReplyBox(cls.client)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.broker.close()
        cls.pg.close()

    def setUp(self):
        self.ws = Workspace()
        self.ws.seed()
        self.login = next(_logins)
        self.ws.tradesim("account", "add", "--login", str(self.login), "--name", "Shared", "--group", "demo",
                         "--balance", "1000")
        self.schema = self.pg.new_schema()
        self.journal = PgJournal(self.pg, self.schema)
        self.hosts = []
        self.started_at = time.monotonic()

    def tearDown(self):
        for h in self.hosts:
            if h.service:
                h.service.kill()
        for h in self.hosts:
            h.stomp.close()
            h.db.close()
            h.ws.close()
        print(f"\n{self.id().rsplit('.', 1)[1]}: {time.monotonic() - self.started_at:.1f} s")

    # -- hosts --------------------------------------------------------------

    def host(self, **config):
        """A new host on this test's trading server and journal; started."""
        ws = self.ws if not self.hosts else Workspace()
        ws.env["TRADESIM_DB"] = self.ws.db
        h = Instance("ABCDEF"[len(self.hosts)], ws, StompProxy(self.broker.stomp_port), TcpProxy(self.pg.port))
        h.config = dict(config, **self.pg.journal_config(self.schema, h.db.port))
        ws.write_config(h.stomp.failover_uri(), **h.config)
        if self.hosts:
            share_key(self.hosts[0].ws, ws)
        self.hosts.append(h)
        self.start(h)
        return h

    def start(self, h):
        before = {l["owner"] for l in self.journal.leases()}
        h.service = HostService(h.ws)
        h.service.expect("init success", timeout=30)
        [h.owner] = [l["owner"] for l in self.journal.leases() if l["owner"] not in before]
        return h.service

    def two_hosts(self, **config):
        a, b = self.host(**config), self.host(**config)
        for h in (a, b):
            h.stomp.subscriber_of(TRADE)
        return a, b

    def holder_of(self, corr):
        """The host first handed the request."""
        firsts = [(f.time, h) for h in self.hosts
                  for f in h.stomp.frames("MESSAGE", TRADE) if f.headers.get("correlation-id") == corr]
        self.assertTrue(firsts, f"no host was handed {corr}")
        return min(firsts, key=lambda x: x[0])[1]

    def other(self, h):
        [o] = [x for x in self.hosts if x is not h]
        return o

    # -- requests -------------------------------------------------------------

    def deposit(self, amount, serial=None, login=None):
        """A deposit whose comment is its serial (the deal carries it)."""
        serial = serial or f"pg-{self.login}-{amount}"
        request = {"serial": serial, "login": login or self.login, "amount": amount, "type": 1, "comment": serial}
        return self.client.send("trade", json.dumps(request))

    def arm(self, *fault):
        self.ws.tradesim("fault", "arm", "PostBalanceDeal", *fault)

    def deals(self, login=None):
        return self.ws.deals(login or self.login)

    def reply_sends(self, corr, kind="trade"):
        return [f for h in self.hosts for f in h.stomp.frames("SEND", harness.callback_queue(kind))
                if f.headers.get("correlation-id") == corr]

    def acked(self, corr, kind="trade"):
        """Whether an ACK of one of the request's deliveries reached the broker."""
        requests = harness.request_queue(kind)
        for h in self.hosts:
            ids = {f.headers.get("ack") for f in h.stomp.frames("MESSAGE", requests)
                   if f.headers.get("correlation-id") == corr}
            if any(f.action == "forwarded" and f.headers.get("id") in ids for f in h.stomp.frames("ACK", requests)):
                return True
        return False

    def assert_answered(self, corr, code=200, kind="trade", timeout=60):
        """At least one reply at the back office, every copy (and every reply
        SEND on the wire) the same bytes; the request acknowledged. Returns
        the reply's body."""
        self.box.collect(kind, corr, 1, timeout=timeout)
        row = self.journal.wait_state(corr, "acknowledged", timeout=timeout)
        deadline = time.monotonic() + timeout
        while not self.acked(corr, kind):
            self.assertLess(time.monotonic(), deadline, f"no ACK of {corr} reached the broker")
            time.sleep(0.1)
        replies = self.box.settle(kind, corr, wait=0.3)
        bodies = {r.body for r in replies} | {f.body for f in self.reply_sends(corr, kind)}
        self.assertEqual(len(bodies), 1, f"replies to {corr} differ: {bodies}")
        body = bodies.pop()
        self.assertEqual(json.loads(body)["code"], code, body)
        self.assertEqual(row["state"], "acknowledged")
        return body

    def stop_all(self):
        for h in self.hosts:
            if h.service and h.service.alive():
                self.assertEqual(h.service.stop(), 0, f"{h} did not stop cleanly")

    def assert_queue_empty(self, kind="trade"):
        """Every instance stopped first: nothing left on the request queue."""
        self.stop_all()
        self.assertEqual(browse(self.broker, harness.request_queue(kind)), [], "requests left on the queue")

    # -- the tests --------------------------------------------------------------

    def test_a_host_cut_off_from_the_broker_inside_its_call_leaves_the_deposit_to_the_other(self):
        self.two_hosts()
        self.arm("--delay-ms", "2500")
        corr = self.deposit(11)
        self.journal.wait_state(corr, "started")
        holder = self.holder_of(corr)
        other = self.other(holder)
        # The holder's broker goes silent and its connections drop: the
        # broker hands the request to the other host, the call goes on.
        holder.stomp.pause()
        holder.stomp.close_all()
        other.stomp.wait_frame("MESSAGE", TRADE, timeout=30, where=lambda f: f.headers.get("correlation-id") == corr)
        self.assert_answered(corr)
        [deal] = self.deals()
        self.assertEqual(float(deal[3]), 11)
        self.assertTrue([f for f in other.stomp.frames("SEND", TRADE_REPLY) if f.headers.get("correlation-id") == corr],
                        "the answer did not come from the other host")
        # Back on the broker, the first host sends its reply again (it was
        # never confirmed): the same bytes.
        mark = holder.stomp.mark()
        holder.stomp.resume()
        holder.stomp.wait_frame("SEND", TRADE_REPLY, since=mark, timeout=30,
                                where=lambda f: f.headers.get("correlation-id") == corr)
        self.assert_answered(corr)
        after = self.deposit(12)
        self.assert_answered(after)
        self.assertEqual(len(self.deals()), 2, self.deals())
        self.assert_queue_empty()

    def cut_inside_a_slow_call(self, amount, cut_broker):
        """A deposit whose call makes its deal 15 s after "started"; its
        holder cut off from the database (and, with cut_broker, from the
        broker) right after "started". Returns (corr, holder, other, the
        holder's last lease renewal in ms)."""
        call_s = 15
        self.arm("--delay-ms", str(call_s * 1000))
        corr = self.deposit(amount)
        row = self.journal.wait_state(corr, "started")
        holder = self.holder_of(corr)
        self.assertEqual(row["owner"], holder.owner)
        holder.db.cut()
        if cut_broker:
            holder.stomp.pause()
            holder.stomp.close_all()
        holder.service.expect("Request journal down: ", timeout=15)
        renewed = self.journal.lease_of(holder.owner)["renewed_at"]
        return corr, holder, self.other(holder), renewed

    def await_resolution(self, corr, holder, other, renewed):
        """The other host resolves the deposit the cut-off holder made, not
        before the holder's calls must have ended, and posts nothing."""
        other.stomp.wait_frame("MESSAGE", TRADE, timeout=45, where=lambda f: f.headers.get("correlation-id") == corr)
        # The holder's call, begun before the cut, makes its deal.
        wait_deals(self.ws, self.login, 1, timeout=30)
        self.box.collect("trade", corr, 1, timeout=LEASE_EXPIRY_S + LONGEST_CALL_S + 30)
        after_renewal = (self.box.first_wall[corr] - renewed) / 1000
        self.assertGreater(after_renewal, LEASE_EXPIRY_S + LONGEST_CALL_S,
                           "answered before the cut-off holder's calls must have ended")
        self.assertLess(after_renewal, LEASE_EXPIRY_S + LONGEST_CALL_S + 8, "the other host waited too long")
        self.assertEqual(self.journal.lease_of(holder.owner)["renewed_at"], renewed,
                         "the cut-off holder renewed its lease")
        body = self.assert_answered(corr)
        self.assertEqual(len([d for d in self.deals() if d[4] == json.loads(body)["data"]["serial"]]), 1, self.deals())
        other.service.expect("found on the trading server")
        print(f"\ntakeover {after_renewal:.1f} s after the cut-off host's last lease renewal")
        return body

    def heal(self, holder):
        offset = len(holder.service.output_bytes())
        holder.db.heal()
        holder.stomp.resume()
        holder.service.expect("Request journal writable again; requests resume", timeout=30, start=offset)

    def test_a_host_cut_off_from_database_and_broker_inside_its_call_is_waited_for_until_its_call_must_have_ended(self):
        self.two_hosts()
        corr, holder, other, renewed = self.cut_inside_a_slow_call(13, cut_broker=True)
        # Sent while it is cut off: the other host takes it, after the
        # deposit it waits for.
        later = self.deposit(14)
        body = self.await_resolution(corr, holder, other, renewed)
        self.assert_answered(later)
        self.assertEqual(sorted(float(d[3]) for d in self.deals()), [13, 14])
        # Back, the holder learns that the other settled its deposit, and
        # sends at most that same answer.
        self.heal(holder)
        holder.service.expect("settled by another process meanwhile, its answer stands", timeout=30)
        self.assertEqual(self.assert_answered(corr), body)
        other.service.stop()
        last = self.deposit(15)
        self.assert_answered(last)
        self.assertTrue([f for f in holder.stomp.frames("SEND", TRADE_REPLY) if f.headers.get("correlation-id") == last],
                        "the healed host did not serve")
        self.assertEqual(sorted(float(d[3]) for d in self.deals()), [13, 14, 15])
        self.assert_queue_empty()

    # Known fault: a host that cannot write its journal holds, unacknowledged,
    # what the broker already handed it (up to its request window) until it
    # can write again; the other host never sees those requests meanwhile.
    def test_a_host_cut_off_from_the_database_inside_its_call_stops_taking_requests(self):
        self.two_hosts()
        corr, holder, other, renewed = self.cut_inside_a_slow_call(16, cut_broker=False)
        # Still on the broker, it must not sit on what the broker hands it:
        # the other host, whose journal writes, answers everything while it
        # stays cut off, the deposit in the call once the holder's calls
        # must have ended.
        later = [self.deposit(17 + n) for n in range(4)]
        deadline = time.monotonic() + (renewed / 1000 + LEASE_EXPIRY_S + LONGEST_CALL_S + 15 - time.time())
        while any(not self.box.by_correlation.get(c) for c in [corr] + later) and time.monotonic() < deadline:
            self.box._take("trade", 0.2)
        unanswered = [c for c in [corr] + later if not self.box.by_correlation.get(c)]
        held = [c for c in unanswered
                if any(f.headers.get("correlation-id") == c for f in holder.stomp.frames("MESSAGE", TRADE))
                and not any(f.headers.get("correlation-id") == c for f in other.stomp.frames("MESSAGE", TRADE))]
        self.assertEqual(unanswered, [], f"unanswered while {holder} cannot write the journal, "
                         f"{LEASE_EXPIRY_S + LONGEST_CALL_S + 15:.0f} s after its last lease renewal; kept by it "
                         f"(never handed to the other host): {held}; their journal rows: "
                         f"{[self.journal.by_correlation(c) for c in unanswered]}")
        self.await_resolution(corr, holder, other, renewed)
        for c in later:
            self.assert_answered(c)
        self.assertEqual(sorted(float(d[3]) for d in self.deals()), [16, 17, 18, 19, 20])
        self.heal(holder)
        other.service.stop()
        last = self.deposit(21)
        self.assert_answered(last)
        self.assertEqual(len(self.deals()), 6, self.deals())
        self.assert_queue_empty()

    # -- a burst, a kill, a restart -------------------------------------------

    def add_account(self, balance=0):
        login = next(_logins)
        self.ws.tradesim("account", "add", "--login", str(login), "--name", f"Burst {login}", "--group", "demo",
                         "--balance", str(balance))
        return login

    def burst(self, count, logins):
        """count deposits spread over logins, each with its serial as comment;
        returns {correlation id: (login, amount, serial)}."""
        expected = {}
        for i in range(count):
            login = logins[i % len(logins)]
            amount = round(1 + i * 1.01, 2)
            serial = f"b{self.login}-{i}"
            expected[self.deposit(amount, serial=serial, login=login)] = (login, amount, serial)
        return expected

    def wait_replies(self, expected, count, timeout):
        """Until count of the requests have a reply; returns those."""
        deadline = time.monotonic() + timeout
        while True:
            answered = [c for c in expected if self.box.by_correlation.get(c)]
            if len(answered) >= count:
                return answered
            if time.monotonic() > deadline:
                missing = [c for c in expected if c not in answered]
                raise AssertionError(f"{len(answered)} of {len(expected)} requests answered within {timeout} s; "
                                     f"journal rows of some others: "
                                     f"{[self.journal.by_correlation(c) for c in missing[:3]]}")
            self.box._take("trade", 0.2)

    def assert_burst_done(self, expected, before):
        """Every request answered 200 with its own serial and amount (a copy
        twice at most the same bytes), every deposit posted once, nothing
        else posted; returns the number of duplicate replies."""
        duplicates = 0
        for corr, (login, amount, serial) in expected.items():
            bodies = {r.body for r in self.box.by_correlation[corr]} | {f.body for f in self.reply_sends(corr)}
            self.assertEqual(len(bodies), 1, f"replies to {corr} differ: {bodies}")
            reply = json.loads(bodies.pop())
            self.assertEqual((reply["code"], reply["data"]["serial"], reply["data"]["amount"]), (200, serial, amount),
                             f"reply to {corr}: {reply}")
            duplicates += len(self.box.by_correlation[corr]) - 1
        for login in sorted({l for l, _, _ in expected.values()}):
            balance, count = before[login]
            posted = sorted((d[4], float(d[3])) for d in self.deals(login)[count:])
            sent = sorted((serial, amount) for (l, amount, serial) in expected.values() if l == login)
            doubled = sorted({p[0] for p in posted if posted.count(p) > 1})
            self.assertEqual(doubled, [], f"deposits posted more than once on {login}")
            self.assertEqual(posted, sent, f"the deals of {login} are not the burst's deposits")
            self.assertAlmostEqual(float(self.ws.account(login)["balance"]), balance + sum(a for _, a in sent),
                                   places=2, msg=f"balance of {login}")
        # Each entry answered and its reply confirmed ("acknowledged" is
        # not written durably: a database crash may take it back).
        deadline = time.monotonic() + 30
        while True:
            left = self.journal.rows("state NOT IN ('confirmed', 'acknowledged')")
            if not left:
                break
            if time.monotonic() > deadline:
                told = {r["message_id"]: [l for h in self.hosts for l in h.ws.log_text().splitlines()
                                          if r["message_id"] in l] for r in left[:3]}
                self.fail(f"journal entries not confirmed: {left[:3]}; their history: "
                          f"{[self.journal.history(r['id']) for r in left[:3]]}; what the hosts said of them: {told}")
            time.sleep(0.2)
        return duplicates

    @staticmethod
    def journal_down(h):
        """Whether the host's last word on its journal is that it is down."""
        out = h.service.output_bytes()
        return out.rfind(b"Request journal down: ") > out.rfind(b"Request journal writable again")

    def wait_journal_down(self, h, timeout=20):
        deadline = time.monotonic() + timeout
        while not self.journal_down(h):
            self.assertLess(time.monotonic(), deadline, f"{h} did not tell that its journal is down; output ends:\n"
                            f"{h.service.output[-2000:]}")
            time.sleep(0.05)

    def balances(self, logins):
        return {login: (float(self.ws.account(login)["balance"]), len(self.deals(login))) for login in logins}

    def test_two_hosts_under_a_burst_carry_it_out_without_the_journal_going_down(self):
        # Nothing fails: a transaction the database refuses for racing the
        # other host's is run again, not taken for a journal that is down.
        self.two_hosts()
        logins = [self.login, self.add_account()]
        before = self.balances(logins)
        count = 300
        self.arm("--delay-ms", "10", "--count", "1000")
        started = time.monotonic()
        expected = self.burst(count, logins)
        self.wait_replies(expected, count, timeout=90)
        took = time.monotonic() - started
        self.box.settle("trade", None, wait=1)
        duplicates = self.assert_burst_done(expected, before)
        downs = {h.name: re.findall(r"Request journal down: ([^\n]*)", h.service.output) for h in self.hosts}
        print(f"\n{count} deposits on two hosts in {took:.1f} s; duplicate replies {duplicates}; "
              f"journal down {sum(map(len, downs.values()))} times")
        self.assertEqual(sum(map(len, downs.values())), 0,
                         f"a host took its journal for down with the database up: {downs}")
        self.assert_queue_empty()

    def test_a_host_killed_mid_burst_every_deposit_posted_once_and_answered(self):
        a, b = self.two_hosts()
        logins = [self.login, self.add_account(), self.add_account()]
        before = self.balances(logins)
        count = 300
        # 20 ms a deposit on the trading server: the burst lasts seconds.
        self.arm("--delay-ms", "20", "--count", "1000")
        expected = self.burst(count, logins)
        self.wait_replies(expected, count // 4, timeout=60)
        # The next call on each host makes its deal and then takes 3 s to
        # return: A is killed in there, its deal made, "done" not written.
        self.arm("--delay-after-ms", "3000", "--count", "2")
        deadline = time.monotonic() + 20
        while True:
            in_call = [r for r in self.journal.rows("owner = ? AND state = 'started'", (a.owner,))
                       if any(d[4] == r["serial"] for d in self.deals(r["login"]))]
            if in_call:
                # Still so a moment later: the slow call, not a quick one
                # caught between its deal and its "done".
                time.sleep(0.2)
                if self.journal.rows("id = ? AND state = 'started'", (in_call[0]["id"],)):
                    break
            self.assertLess(time.monotonic(), deadline, "A made no deal in its slow call")
            time.sleep(0.02)
        killed = time.monotonic()
        a.service.kill()
        [stalled] = in_call
        renewed = self.journal.lease_of(a.owner)["renewed_at"]
        replied = {f.headers.get("correlation-id") for f in a.stomp.frames("SEND", TRADE_REPLY)}
        held = [c for c in expected if c not in replied
                and any(f.headers.get("correlation-id") == c for f in a.stomp.frames("MESSAGE", TRADE))]
        self.assertIn(stalled["correlation_id"], held)
        self.wait_replies(expected, count, timeout=LEASE_EXPIRY_S + LONGEST_CALL_S + 90)
        self.box.settle("trade", None, wait=2)  # late copies
        duplicates = self.assert_burst_done(expected, before)
        first = min(self.box.first_at[c] for c in held) - killed
        stalled_after = (self.box.first_wall[stalled["correlation_id"]] - renewed) / 1000
        self.assertGreater(stalled_after, LEASE_EXPIRY_S + LONGEST_CALL_S,
                           "A's deposit in its call was settled before A's calls must have ended")
        self.assertIn(f"In doubt {stalled['message_id']}: found on the trading server", b.service.output)
        last = max(self.box.first_at[c] for c in expected) - killed
        print(f"\ntakeover: A killed with {len(held)} of its requests unanswered; the first of them answered "
              f"{first:.1f} s after the kill, its deposit in the call {stalled_after:.1f} s after its last lease "
              f"renewal, all {count} answered {last:.1f} s after the kill; duplicate replies {duplicates}")
        self.assert_queue_empty()

    def test_the_database_stopped_and_crashed_mid_burst_both_hosts_resume_and_nothing_is_posted_unrecorded(self):
        # A window of one: each host holds one request at a time.
        self.two_hosts(requestWindow=1)
        logins = [self.login, self.add_account()]
        before = self.balances(logins)
        count = 150
        self.arm("--delay-ms", "20", "--count", "1000")
        expected = self.burst(count, logins)
        outages = []
        # Stopped as an operator does, then killed outright: each time the
        # hosts hold the requests until the journal writes again.
        for share, stop in ((4, self.pg.stop), (2, self.pg.crash)):
            self.wait_replies(expected, count // share, timeout=60)
            stopped = time.monotonic()
            stop()
            offsets = {h.name: len(h.service.output_bytes()) for h in self.hosts}
            for h in self.hosts:
                self.wait_journal_down(h)
            self.pg.start()
            restarted = time.monotonic()
            for h in self.hosts:
                h.service.expect("Request journal writable again; requests resume", timeout=30, start=offsets[h.name])
            outages.append((stop.__name__, restarted - stopped, time.monotonic() - restarted))
        self.wait_replies(expected, count, timeout=90)
        self.box.settle("trade", None, wait=1)
        duplicates = self.assert_burst_done(expected, before)
        # Each deal was made after its request's "started" was on disk.
        for login in logins:
            for deal in self.deals(login)[before[login][1]:]:
                rows = self.journal.rows("deal_id = ?", (int(deal[0]),))
                self.assertEqual(len(rows), 1, f"journal entries of deal {deal}: {rows}")
                row = rows[0]
                starts = [h["at"] for h in self.journal.history(row["id"]) if h["state"] == "started"]
                self.assertTrue(starts, f"deal {deal} posted without a started entry: {row}")
                posted_ms = time.mktime(time.strptime(deal[5][:19], "%Y-%m-%d %H:%M:%S")) * 1000 + int(deal[5][20:23])
                self.assertLessEqual(min(starts), posted_ms, f"deal {deal} made before its started entry: {row}")
        # Both serve again: with a window of one, a request in one host's
        # slow call leaves the next to the other.
        self.arm("--delay-ms", "2000", "--count", "2")
        x = self.deposit(500)
        self.journal.wait_state(x, "started")
        y = self.deposit(501)
        self.assert_answered(x)
        self.assert_answered(y)
        self.assertEqual({self.holder_of(x).name, self.holder_of(y).name}, {"A", "B"})
        print("\n" + "; ".join(f"database {how}: down {down:.1f} s, both hosts writing again {back:.1f} s after it "
                               f"started" for how, down, back in outages) + f"; duplicate replies {duplicates}")
        self.assert_queue_empty()

    def test_a_deposit_done_just_before_the_database_crashed_is_acknowledged_only_with_its_outcome_recorded(self):
        # A commit without a sync waits up to 10 s for the WAL writer here:
        # a crash in that time takes it back.
        self.pg.configure(wal_writer_delay="10s")
        self.addCleanup(self.pg.configure, wal_writer_delay=None)
        self.two_hosts()
        # The reply's receipt held: its "confirmed" (a synced write) comes
        # once the database is back.
        for h in self.hosts:
            h.stomp.on_send(TRADE_REPLY, "hold_receipt", seconds=4)
        corr = self.deposit(61)
        self.journal.wait_state(corr, "done")
        self.pg.crash()
        self.pg.start()
        kept = self.journal.by_correlation(corr)[0]["state"]
        [deal] = wait_deals(self.ws, self.login, 1)
        deadline = time.monotonic() + 60
        while not self.acked(corr):
            self.assertLess(time.monotonic(), deadline, f"no ACK of {corr} reached the broker")
            time.sleep(0.1)
        # Acknowledged, so never handed out again: its entry must say how
        # it ended, or nothing ever will.
        [row] = self.journal.by_correlation(corr)
        told = [l for h in self.hosts for l in h.ws.log_text().splitlines() if row["message_id"] in l]
        self.assertIn(row["state"], ("confirmed", "acknowledged"),
                      f"acknowledged on the broker, its journal entry {row}; its history "
                      f"{self.journal.history(row['id'])}; the daily logs: {told}")
        self.assertEqual(row["deal_id"], int(deal[0]), row)
        self.assert_answered(corr)
        self.assertEqual(len(self.deals()), 1, self.deals())
        print(f"\nafter the crash the journal held the deposit as {kept}")
        self.assert_queue_empty()

    # -- standby, secrets, the key ---------------------------------------------

    def test_a_standby_takes_the_queues_once_the_serving_hosts_lease_ran_out(self):
        a = self.host(standby=True)
        b = self.host(standby=True)
        b.service.expect("Standby: another instance serves the queues; waiting until its lease ends")
        served = self.deposit(31)
        self.assert_answered(served)
        self.assertIs(self.holder_of(served), a)
        self.assertEqual(b.stomp.frames("SUBSCRIBE"), [], "the standby subscribed while A served")
        self.assertNotIn("taking them over", b.service.output)
        a.service.kill()
        killed = time.monotonic()
        renewed = self.journal.lease_of(a.owner)["renewed_at"]
        waiting = self.deposit(32)  # on the broker while nobody serves
        b.service.expect("Standby: no other instance serves the queues any more; taking them over",
                         timeout=LEASE_EXPIRY_S + 10)
        took_wall, takeover = time.time() * 1000, time.monotonic() - killed
        self.assertGreater(took_wall, renewed + LEASE_EXPIRY_S * 1000, "taken over before A's lease ran out")
        self.assertLess(takeover, LEASE_EXPIRY_S + 3)
        self.assert_answered(waiting)
        self.assertIs(self.holder_of(waiting), b)
        answered = self.box.first_at[waiting] - killed
        self.assertEqual(sorted(float(d[3]) for d in self.deals()), [31, 32])
        print(f"\ntakeover {takeover:.1f} s after the kill ({(took_wall - renewed) / 1000:.1f} s after A's last "
              f"lease renewal); the request sent meanwhile answered {answered:.1f} s after the kill")
        self.assert_queue_empty()

    def test_a_serving_standby_cut_off_from_the_database_gives_its_queues_up_and_stands_by_once_back(self):
        a = self.host(standby=True)
        b = self.host(standby=True)
        b.service.expect("Standby: another instance serves the queues; waiting until its lease ends")
        a.db.cut()
        a.service.expect("the requests this instance holds are given back to the broker", timeout=30)
        b.service.expect("Standby: no other instance serves the queues any more; taking them over",
                         timeout=LEASE_EXPIRY_S + 15)
        served = self.deposit(41)
        self.assert_answered(served)
        self.assertIs(self.holder_of(served), b)
        # Back, A finds the queues taken: one writer at a time.
        mark = a.stomp.mark()
        offset = len(a.service.output_bytes())
        a.db.heal()
        a.service.expect("Standby: another instance took over the queues meanwhile; waiting until its lease ends",
                         timeout=30, start=offset)
        later = self.deposit(42)
        self.assert_answered(later)
        self.assertIs(self.holder_of(later), b)
        self.assertEqual(a.stomp.frames("SUBSCRIBE", since=mark), [], "A subscribed again beside B")
        self.assertEqual(sorted(float(d[3]) for d in self.deals()), [41, 42])
        self.assert_queue_empty()

    def test_passwords_stay_out_of_the_database_and_a_replay_sends_the_first_reply_again(self):
        create_queue, create_reply = harness.request_queue("create"), harness.callback_queue("create")
        a, b = self.two_hosts(retrySafeSerials=True)
        for h in (a, b):
            h.stomp.subscriber_of(create_queue)
        secrets = ["Master\"#\u00e9-7", "Invest#8", "Old#Master1", "N\u20acw#9"]
        name = f"Shared Pass {self.login}"
        create = json.dumps({"serial": f"sp-c-{self.login}", "login": 0, "name": name, "group": "demo",
                             "masterPass": secrets[0], "investorPass": secrets[1], "leverage": 100, "valid": 1})
        change = json.dumps({"serial": f"sp-p-{self.login}", "login": 20001, "type": 1,
                             "masterPass": secrets[2], "newPass": secrets[3]})
        # The create's reply reaches the broker, its confirmation does not:
        # its host is killed before the ACK, the other is handed it again.
        rules = {h.name: (h.stomp.on_send(create_reply, "drop_receipt"), h.stomp.on_commit(create_reply, "drop_receipt"))
                 for h in (a, b)}
        first = self.client.send("create", create)
        deadline = time.monotonic() + 30
        while not any(r[0].fired for r in rules.values()):
            self.assertLess(time.monotonic(), deadline, "no reply to the create was sent")
            time.sleep(0.01)
        [holder] = [h for h in (a, b) if rules[h.name][0].fired]
        other = self.other(holder)
        other.stomp.disarm()
        if rules[holder.name][0].fired[0].headers.get("transaction"):
            rules[holder.name][1].wait()
        holder.service.kill()
        other.stomp.wait_frame("MESSAGE", create_queue, timeout=30,
                               where=lambda f: f.headers.get("correlation-id") == first)
        row = self.journal.wait_state(first, "acknowledged")
        # Its host got no receipt for the reply: confirmed by the other.
        steps = [(h["state"], h["owner"]) for h in self.journal.history(row["id"])]
        self.assertEqual(steps, [("received", holder.owner), ("started", holder.owner), ("done", holder.owner),
                                 ("confirmed", other.owner), ("acknowledged", other.owner)])
        copies = self.box.collect("create", first, 2, timeout=30)
        body = self.assert_answered(first, kind="create")
        self.assertEqual({c.body for c in copies}, {body})
        self.assertIn(f"Redelivered {row['message_id']}: done already, reply sent again", other.service.output)
        for secret in secrets[:2]:
            self.assertIn(json.dumps(secret).encode(), body)
        self.assertEqual(len([l for l in self.ws.tradesim("account", "list").splitlines() if name in l]), 1)
        # The same password change again: answered from the journal, the
        # first reply's bytes, passwords put back.
        c1 = self.client.send("password", change)
        r1 = self.assert_answered(c1, kind="password")
        c2 = self.client.send("password", change)
        r2 = self.assert_answered(c2, kind="password")
        self.assertEqual(r2, r1)
        self.assertIn(f"Serial sp-p-{self.login}: answered already, reply sent again", other.service.output)
        for secret in secrets[2:]:
            self.assertIn(json.dumps(secret).encode(), r1)
        self.stop_all()
        dump = self.pg.pg_dump()
        self.assertIn(f"sp-p-{self.login}".encode(), dump)  # the journal is in the dump
        for secret in secrets:
            for spelling in {secret.encode(), json.dumps(secret).encode()[1:-1],
                             json.dumps(secret, ensure_ascii=False).encode()[1:-1]}:
                self.assertNotIn(spelling, dump, secret)
        for kind in ("create", "password"):
            self.assertEqual(browse(self.broker, harness.request_queue(kind)), [], f"{kind} requests left")

    def test_a_host_with_another_digest_key_is_refused_at_start(self):
        a = self.host()
        ws = Workspace()
        ws.env["TRADESIM_DB"] = self.ws.db
        h = Instance("B", ws, StompProxy(self.broker.stomp_port), TcpProxy(self.pg.port))
        self.hosts.append(h)
        ws.write_config(h.stomp.failover_uri(), **self.pg.journal_config(self.schema, h.db.port))
        h.service = HostService(ws)
        h.service.expect("is not the one this journal began with: copy the key file of the host that first opened "
                         "the journal to ")
        h.service.expect("Press any key to continue")
        h.service.send("k")
        self.assertEqual(h.service.wait_exit(), 255)
        self.assertEqual(h.stomp.frames("SUBSCRIBE"), [])
        # With the journal's key it starts and serves.
        share_key(a.ws, ws)
        self.start(h)
        h.stomp.subscriber_of(TRADE)
        a.service.stop()
        corr = self.deposit(41)
        self.assert_answered(corr)
        self.assertIs(self.holder_of(corr), h)
        self.assert_queue_empty()


if __name__ == "__main__":
    unittest.main()
