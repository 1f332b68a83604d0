"""A STOMP-aware fault proxy on loopback, in front of one broker's STOMP port.

The service connects to the proxy instead of the broker
(`failover:(tcp://127.0.0.1:<proxy.port>)?...`); every frame is parsed in
both directions and forwarded byte for byte, unless a rule armed by the test
says otherwise. Every frame is recorded (connection id, direction, time), so
a test can await "a SEND to /queue/x was seen" instead of guessing timings.

    proxy = StompProxy(broker.stomp_port)
    rule = proxy.on_send("e2e.trade.reply", "drop_and_close")
    ...
    frame = rule.wait()            # the SEND the rule acted on
    proxy.wait_frame("SEND", "e2e.trade.reply", since=frame.index + 1)

Rules (each acts on the next `count` matching frames, default 1):
- on_send(destination, action, count=1, seconds=None), action one of
  "drop" (not forwarded), "drop_and_close" (not forwarded, that connection
  closed), "close_all" (not forwarded, every connection closed),
  "hold_receipt" (forwarded; the broker's RECEIPT for it held `seconds`),
  "drop_receipt" (forwarded; its RECEIPT never forwarded), "refuse" (not
  forwarded; answered with an ERROR naming its receipt, as a broker refusing
  that one send does, the connection kept);
- on_commit(destination, action, count=1, seconds=None): the same actions for
  the COMMIT of a transaction whose SENDs went to destination (recorded with
  that destination, as is its RECEIPT);
- on_ack(action, destination=None, count=1): "drop" or "drop_and_close" for
  a client ACK (optionally only the ACK of a message from `destination`).
Direct actions: inject_error(destination), close_connections_of(destination),
close_connection(conn_id), close_all(), pause(), resume().

One proxy routes the connections made to its own port: run one proxy per
service instance to fault only that instance's connections.
"""

import collections
import selectors
import socket
import threading
import time

CLIENT = "client"  # frame sent by the client, towards the broker
BROKER = "broker"  # frame sent by the broker, towards the client

SEND_ACTIONS = ("drop", "drop_and_close", "close_all", "hold_receipt", "drop_receipt", "refuse")
ACK_ACTIONS = ("drop", "drop_and_close")

_UNESCAPE = {"\\\\": "\\", "\\c": ":", "\\n": "\n", "\\r": "\r"}


def queue_destination(name):
    """'x' is the queue /queue/x; a name starting with '/' is taken as is."""
    return name if name.startswith("/") else f"/queue/{name}"


def _unescape(value):
    if "\\" not in value:
        return value
    out, i = [], 0
    while i < len(value):
        pair = value[i:i + 2]
        if pair in _UNESCAPE:
            out.append(_UNESCAPE[pair])
            i += 2
        else:
            out.append(value[i])
            i += 1
    return "".join(out)


def _escape(value):
    return value.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r").replace(":", "\\c")


def parse_frame(buf, start=0):
    """Parses one frame at buf[start:] (which does not begin with an EOL).
    Returns (end, command, headers, body) with end just past the NUL, or None
    while the frame is incomplete. Headers keep the first occurrence of a
    name (as STOMP says), unescaped."""
    pos = start
    lines = []
    while True:
        nl = buf.find(b"\n", pos)
        if nl < 0:
            return None
        line = bytes(buf[pos:nl])
        if line.endswith(b"\r"):
            line = line[:-1]
        pos = nl + 1
        if not line and lines:
            break
        lines.append(line)
    command = lines[0].decode("utf-8", "replace")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.decode("utf-8", "replace").partition(":")
        name = _unescape(name)
        if name not in headers:
            headers[name] = _unescape(value)
    length = headers.get("content-length")
    if length is not None and length.strip().isdigit():
        end = pos + int(length)
        if len(buf) < end + 1:
            return None
        body = bytes(buf[pos:end])
        if buf[end] != 0:
            raise ValueError(f"{command} frame: no NUL after content-length {length}")
        return end + 1, command, headers, body
    nul = buf.find(b"\x00", pos)
    if nul < 0:
        return None
    return nul + 1, command, headers, bytes(buf[pos:nul])


def encode_frame(command, headers, body=b""):
    head = command + "\n" + "".join(f"{_escape(k)}:{_escape(str(v))}\n" for k, v in headers.items()) + "\n"
    return head.encode() + (body.encode() if isinstance(body, str) else body) + b"\x00"


class Frame:
    """One frame seen by the proxy. `destination` is the frame's own
    destination header, or for a RECEIPT the destination of the SEND it
    confirms, for an ACK/NACK that of the message it acknowledges.
    `action` is what the proxy did: forwarded, dropped, held, injected."""

    __slots__ = ("index", "conn", "direction", "time", "command", "headers", "body", "destination", "action")

    def __init__(self, index, conn, direction, command, headers, body, destination, action):
        self.index = index
        self.conn = conn
        self.direction = direction
        self.time = time.monotonic()
        self.command = command
        self.headers = headers
        self.body = body
        self.destination = destination
        self.action = action

    def __repr__(self):
        return (f"Frame(#{self.index} conn={self.conn} {self.direction} {self.command} "
                f"{self.destination or ''} {self.action} {self.body[:80]!r})")


class Rule:
    """An armed rule; wait() returns the frame it acted on (the n-th)."""

    def __init__(self, kind, action, destination, count, seconds):
        self.kind = kind
        self.action = action
        self.destination = destination
        self.count = count
        self.seconds = seconds
        self.fired = []
        self._event = threading.Condition()

    @property
    def armed(self):
        return len(self.fired) < self.count

    def _fire(self, frame):
        with self._event:
            self.fired.append(frame)
            self._event.notify_all()

    def wait(self, timeout=30, n=1):
        deadline = time.monotonic() + timeout
        with self._event:
            while len(self.fired) < n:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise AssertionError(f"proxy rule {self.kind} {self.action} {self.destination or ''} "
                                         f"fired {len(self.fired)} of {n} times within {timeout} s")
                self._event.wait(remaining)
            return self.fired[n - 1]


class _Conn:
    def __init__(self, conn_id, client, upstream):
        self.id = conn_id
        self.sock = {CLIENT: client, BROKER: upstream}    # socket a direction's frames come from
        self.inbuf = {CLIENT: bytearray(), BROKER: bytearray()}
        self.outbuf = {CLIENT: bytearray(), BROKER: bytearray()}  # bytes to write to that side
        self.subscriptions = {}   # subscription id -> destination
        self.sent_to = set()      # destinations of SENDs
        self.receipts = {}        # receipt id -> destination of the SEND
        self.receipt_rules = {}   # receipt id -> Rule (hold_receipt / drop_receipt)
        self.acks = {}            # ack id / message id -> destination of the MESSAGE
        self.transactions = {}    # transaction id -> destination of its SENDs
        self.close_after_flush = False
        self.open = True


class StompProxy:
    def __init__(self, broker_port, broker_host="127.0.0.1"):
        self.broker = (broker_host, broker_port)
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(64)
        self._listener.setblocking(False)
        self.port = self._listener.getsockname()[1]

        self._lock = threading.RLock()
        self._changed = threading.Condition(self._lock)
        self._frames = []
        self._conns = {}
        self._ids = 0
        self._rules = []
        self._paused = False
        self._timers = []        # (due, seq, callable)
        self._seq = 0
        self._calls = collections.deque()
        self._stopping = False

        self._sel = selectors.DefaultSelector()
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._sel.register(self._listener, selectors.EVENT_READ, ("accept", None, None))
        self._sel.register(self._wake_r, selectors.EVENT_READ, ("wake", None, None))
        self._thread = threading.Thread(target=self._loop, name=f"stomp-proxy-{self.port}", daemon=True)
        self._thread.start()

    # -- addresses ---------------------------------------------------------

    @property
    def uri(self):
        return f"tcp://127.0.0.1:{self.port}"

    def failover_uri(self, initial=100, maximum=1000):
        return f"failover:({self.uri})?initialReconnectDelay={initial}&maxReconnectDelay={maximum}"

    # -- what was seen -----------------------------------------------------

    def mark(self):
        """The index the next recorded frame will get (for since=)."""
        with self._lock:
            return len(self._frames)

    def frames(self, command=None, destination=None, direction=None, since=0, conn=None):
        dest = queue_destination(destination) if destination else None
        with self._lock:
            return [f for f in self._frames[since:]
                    if (command is None or f.command == command)
                    and (dest is None or f.destination == dest)
                    and (direction is None or f.direction == direction)
                    and (conn is None or f.conn == conn)]

    def wait_frame(self, command, destination=None, direction=None, since=0, conn=None, timeout=30,
                   where=None):
        """The first frame from index `since` matching, as it is seen. The
        direction defaults to the usual sender of the command."""
        if direction is None:
            direction = BROKER if command in ("CONNECTED", "MESSAGE", "RECEIPT", "ERROR") else CLIENT
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for f in self.frames(command, destination, direction, since, conn):
                    if where is None or where(f):
                        return f
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise AssertionError(f"no {direction} {command} {destination or ''} through the proxy within "
                                         f"{timeout} s; last frames:\n" +
                                         "\n".join(map(repr, self._frames[-15:])))
                self._changed.wait(min(remaining, 0.5))

    def connections(self):
        """Open connections: {id: (subscribed destinations, sent-to destinations)}."""
        with self._lock:
            return {c.id: (set(c.subscriptions.values()), set(c.sent_to)) for c in self._conns.values() if c.open}

    def subscriber_of(self, destination, timeout=30):
        """The id of the open connection subscribed to destination (awaited)."""
        dest = queue_destination(destination)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for c in self._conns.values():
                    if c.open and dest in c.subscriptions.values():
                        return c.id
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise AssertionError(f"no connection subscribed to {dest} through the proxy")
                self._changed.wait(min(remaining, 0.5))

    # -- rules -------------------------------------------------------------

    def on_send(self, destination, action, count=1, seconds=None):
        if action not in SEND_ACTIONS:
            raise ValueError(f"unknown SEND action {action!r}")
        if action == "hold_receipt" and seconds is None:
            raise ValueError("hold_receipt needs seconds")
        rule = Rule("SEND", action, queue_destination(destination), count, seconds)
        with self._lock:
            self._rules.append(rule)
        return rule

    def on_commit(self, destination, action, count=1, seconds=None):
        """As on_send, for the COMMIT of a transaction whose SENDs went to
        destination."""
        if action not in SEND_ACTIONS:
            raise ValueError(f"unknown COMMIT action {action!r}")
        rule = Rule("COMMIT", action, queue_destination(destination), count, seconds)
        with self._lock:
            self._rules.append(rule)
        return rule

    def on_ack(self, action, destination=None, count=1):
        if action not in ACK_ACTIONS:
            raise ValueError(f"unknown ACK action {action!r}")
        rule = Rule("ACK", action, queue_destination(destination) if destination else None, count, None)
        with self._lock:
            self._rules.append(rule)
        return rule

    def disarm(self):
        with self._lock:
            self._rules.clear()

    # -- direct actions (run on the proxy's thread; return once done) ------

    def inject_error(self, destination, message="injected fault", body="The broker ended this connection."):
        """Sends an ERROR frame to the connection subscribed to destination,
        then closes it (its broker side at once). Returns the connection id."""
        conn_id = self.subscriber_of(destination)

        def act():
            c = self._conns.get(conn_id)
            if not c or not c.open:
                return False
            data = encode_frame("ERROR", {"message": message, "content-type": "text/plain",
                                          "content-length": str(len(body.encode()))}, body)
            self._record(c, BROKER, "ERROR", {"message": message}, body.encode(), None, "injected")
            c.outbuf[CLIENT] += data
            c.close_after_flush = True
            self._close_side(c, BROKER)
            self._want_write(c)
            return True

        if not self._call(act):
            raise AssertionError(f"connection {conn_id} closed before the ERROR could be injected")
        return conn_id

    def close_connection(self, conn_id):
        self._call(lambda: self._close(self._conns.get(conn_id)))

    def close_connections_of(self, destination):
        """Closes every open connection that subscribed to or sent to
        destination; returns their ids."""
        dest = queue_destination(destination)

        def act():
            ids = [c.id for c in list(self._conns.values())
                   if c.open and (dest in c.subscriptions.values() or dest in c.sent_to)]
            for i in ids:
                self._close(self._conns[i])
            return ids

        return self._call(act)

    def close_all(self):
        """Closes every proxied connection; returns their ids. New
        connections are accepted afterwards."""
        def act():
            ids = [c.id for c in list(self._conns.values()) if c.open]
            for i in ids:
                self._close(self._conns[i])
            return ids

        return self._call(act)

    def pause(self):
        """Stops forwarding in both directions (a frozen broker): data is
        taken in and kept until resume()."""
        self._call(lambda: setattr(self, "_paused", True))

    def resume(self):
        def act():
            self._paused = False
            for c in list(self._conns.values()):
                for side in (CLIENT, BROKER):
                    self._process(c, side)
        self._call(act)

    def close(self):
        self._stopping = True
        self._wake()
        self._thread.join(5)
        for c in list(self._conns.values()):
            for s in c.sock.values():
                if s:
                    s.close()
        self._listener.close()
        self._wake_r.close()
        self._wake_w.close()
        self._sel.close()

    # -- the loop ----------------------------------------------------------

    def _wake(self):
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass

    def _call(self, fn, timeout=10):
        done = threading.Event()
        result = []

        def run():
            try:
                result.append(fn())
            finally:
                done.set()

        self._calls.append(run)
        self._wake()
        if not done.wait(timeout):
            raise AssertionError("the proxy's thread did not answer")
        return result[0] if result else None

    def _after(self, seconds, fn):
        self._seq += 1
        self._timers.append((time.monotonic() + seconds, self._seq, fn))
        self._timers.sort()

    def _loop(self):
        while not self._stopping:
            timeout = None
            if self._timers:
                timeout = max(0.0, self._timers[0][0] - time.monotonic())
            for key, mask in self._sel.select(timeout):
                what, conn, side = key.data
                with self._lock:
                    if what == "accept":
                        self._accept()
                    elif what == "wake":
                        try:
                            self._wake_r.recv(4096)
                        except BlockingIOError:
                            pass
                    elif conn.open and conn.sock[side] is not None:
                        if mask & selectors.EVENT_READ:
                            self._read(conn, side)
                        if mask & selectors.EVENT_WRITE and conn.open:
                            self._flush(conn)
            with self._lock:
                now = time.monotonic()
                while self._timers and self._timers[0][0] <= now:
                    _, _, fn = self._timers.pop(0)
                    fn()
                while self._calls:
                    self._calls.popleft()()
                self._changed.notify_all()

    def _accept(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except BlockingIOError:
                return
            try:
                upstream = socket.create_connection(self.broker, timeout=5)
            except OSError:
                client.close()  # the broker is down: so is the proxy, for this connection
                continue
            self._ids += 1
            c = _Conn(self._ids, client, upstream)
            for side, s in c.sock.items():
                s.setblocking(False)
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                self._sel.register(s, selectors.EVENT_READ, ("conn", c, side))
            self._conns[c.id] = c

    def _read(self, c, side):
        try:
            data = c.sock[side].recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            # One side went away: what it said is passed on, then both close.
            other = BROKER if side == CLIENT else CLIENT
            self._process(c, side)
            self._close_side(c, side)
            if c.sock[other] is not None and c.outbuf[other]:
                c.close_after_flush = True
                self._want_write(c)
            else:
                self._close(c)
            return
        c.inbuf[side] += data
        self._process(c, side)

    def _process(self, c, side):
        """Forwards what is complete in side's input: EOLs between frames as
        they are (heart-beats), frames through the rules."""
        if self._paused or not c.open:
            return
        buf = c.inbuf[side]
        target = BROKER if side == CLIENT else CLIENT
        pos = 0
        while pos < len(buf) and c.open:
            if buf[pos] in (0x0A, 0x0D):
                # a heart-beat / EOL between frames; a lone CR waits for its LF
                if buf[pos] == 0x0D:
                    if pos + 1 >= len(buf):
                        break
                    n = 2 if buf[pos + 1] == 0x0A else 1
                else:
                    n = 1
                self._forward(c, target, bytes(buf[pos:pos + n]))
                pos += n
                continue
            try:
                parsed = parse_frame(buf, pos)
            except ValueError:
                parsed = None
                self._close(c)
                break
            if parsed is None:
                break
            end, command, headers, body = parsed
            self._frame(c, side, command, headers, body, bytes(buf[pos:end]))
            pos = end
        del buf[:pos]

    def _forward(self, c, target, data):
        if c.open and c.sock[target] is not None:
            c.outbuf[target] += data
            self._want_write(c)

    def _match(self, kind, c, command, destination):
        for rule in self._rules:
            if rule.kind == kind and rule.armed and (rule.destination is None or rule.destination == destination):
                return rule
        return None

    def _frame(self, c, side, command, headers, body, raw):
        target = BROKER if side == CLIENT else CLIENT
        destination = headers.get("destination")
        action = "forwarded"
        rule = None
        if side == CLIENT:
            if command == "SUBSCRIBE" and destination:
                c.subscriptions[headers.get("id", "")] = destination
            elif command == "UNSUBSCRIBE":
                c.subscriptions.pop(headers.get("id", ""), None)
            elif command == "SEND" and destination:
                c.sent_to.add(destination)
                if "receipt" in headers:
                    c.receipts[headers["receipt"]] = destination
                if "transaction" in headers:
                    c.transactions[headers["transaction"]] = destination
                rule = self._match("SEND", c, command, destination)
            elif command in ("COMMIT", "ABORT"):
                # recorded with the destination of the transaction's SENDs
                destination = c.transactions.pop(headers.get("transaction", ""), None)
                if destination and "receipt" in headers:
                    c.receipts[headers["receipt"]] = destination
                if command == "COMMIT" and destination:
                    rule = self._match("COMMIT", c, command, destination)
            elif command in ("ACK", "NACK"):
                key = headers.get("id") or headers.get("message-id", "")
                destination = c.acks.pop(key, None)
                if command == "ACK":
                    rule = self._match("ACK", c, command, destination)
        else:
            if command == "MESSAGE":
                for key in (headers.get("ack"), headers.get("message-id")):
                    if key:
                        c.acks[key] = destination
            elif command == "RECEIPT":
                rid = headers.get("receipt-id", "")
                destination = c.receipts.pop(rid, None)
                held = c.receipt_rules.pop(rid, None)
                if held is not None:
                    if held.action == "drop_receipt":
                        self._record(c, side, command, headers, body, destination, "dropped")
                        return
                    frame = self._record(c, side, command, headers, body, destination, "held")

                    def release(c=c, raw=raw):
                        self._forward(c, CLIENT, raw)

                    self._after(held.seconds, release)
                    return

        if rule is not None:
            action = {"drop": "dropped", "drop_and_close": "dropped", "close_all": "dropped",
                      "refuse": "refused"}.get(rule.action, action)
        frame = self._record(c, side, command, headers, body, destination, action)
        if rule is None:
            self._forward(c, target, raw)
            return
        if rule.action in ("hold_receipt", "drop_receipt"):
            if "receipt" in headers:
                c.receipt_rules[headers["receipt"]] = rule
            self._forward(c, target, raw)
        elif rule.action == "refuse":
            rid = headers.get("receipt", "")
            c.receipts.pop(rid, None)
            body_text = "The destination refuses this message."
            error = {"message": "refused by the proxy", "receipt-id": rid, "content-type": "text/plain",
                     "content-length": str(len(body_text.encode()))}
            self._record(c, BROKER, "ERROR", error, body_text.encode(), destination, "injected")
            c.outbuf[CLIENT] += encode_frame("ERROR", error, body_text)
            self._want_write(c)
        elif rule.action == "drop_and_close":
            self._close(c)
        elif rule.action == "close_all":
            for other in list(self._conns.values()):
                self._close(other)
        rule._fire(frame)

    def _record(self, c, side, command, headers, body, destination, action):
        frame = Frame(len(self._frames), c.id, side, command, headers, body, destination, action)
        self._frames.append(frame)
        self._changed.notify_all()
        return frame

    def _want_write(self, c):
        for side in (CLIENT, BROKER):
            s = c.sock[side]
            if s is None:
                continue
            events = selectors.EVENT_READ | (selectors.EVENT_WRITE if c.outbuf[side] else 0)
            try:
                self._sel.modify(s, events, ("conn", c, side))
            except (KeyError, ValueError):
                pass
        self._flush(c)

    def _flush(self, c):
        for side in (CLIENT, BROKER):
            s = c.sock[side]
            buf = c.outbuf[side]
            while s is not None and buf:
                try:
                    n = s.send(buf)
                except BlockingIOError:
                    break
                except OSError:
                    self._close(c)
                    return
                del buf[:n]
            if s is not None and not buf:
                try:
                    self._sel.modify(s, selectors.EVENT_READ, ("conn", c, side))
                except (KeyError, ValueError):
                    pass
        if c.close_after_flush and not any(c.outbuf[s] for s in (CLIENT, BROKER) if c.sock[s] is not None):
            self._close(c)

    def _close_side(self, c, side):
        s = c.sock[side]
        if s is None:
            return
        try:
            self._sel.unregister(s)
        except (KeyError, ValueError):
            pass
        s.close()
        c.sock[side] = None
        c.outbuf[side].clear()
        if all(v is None for v in c.sock.values()):
            c.open = False

    def _close(self, c):
        if c is None or not c.open:
            return
        c.open = False
        for side in (CLIENT, BROKER):
            s = c.sock[side]
            if s is None:
                continue
            try:
                self._sel.unregister(s)
            except (KeyError, ValueError):
                pass
            s.close()
            c.sock[side] = None
        self._changed.notify_all()
