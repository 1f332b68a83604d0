#!/usr/bin/python3
"""A STOMP client built on python3-stomp, a second opinion next to the
project's own STOMP library in tests.

  stomp_peer.py send HOST PORT DEST BODY [--header K=V]... [--content-length] [--receipt]
  stomp_peer.py receive HOST PORT DEST [--timeout S] [--ack MODE] [--count N]
                [--selector S] [--header K=V]... [--drop]
  stomp_peer.py connect HOST PORT
  common options: [--user U --password P] [--ca FILE] (TLS, verified with FILE)
                  [--version 1.0|1.1|1.2]

receive prints, per message: MESSAGE, then "name:value" header lines sorted by
name, an empty line, the body and an empty line. With --drop the process ends
without ACK or DISCONNECT, like a crashed client. A SEND carries no
content-length unless --content-length is given (the broker then makes a JMS
BytesMessage of it rather than a TextMessage).
Exit status: 0 done, 1 failure (refused, ERROR frame), 2 timeout, 3 usage.
"""

import argparse
import os
import queue
import socket
import sys

import stomp
from stomp.exception import ConnectFailedException, StompException

OK, FAILED, TIMEOUT, USAGE = 0, 1, 2, 3


class Usage(Exception):
    pass


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Usage(message)


class Collector(stomp.ConnectionListener):
    """Queues MESSAGE frames and remembers ERROR frames and connection loss."""

    def __init__(self):
        self.messages = queue.Queue()
        self.errors = []
        self.receipts = queue.Queue()
        self.version = ""

    def on_connected(self, frame):
        self.version = frame.headers.get("version", "1.0")

    def on_receipt(self, frame):
        self.receipts.put(frame.headers.get("receipt-id"))

    def on_error(self, frame):
        self.errors.append(frame)

    def on_message(self, frame):
        self.messages.put(frame)


def pairs(items):
    result = {}
    for item in items or []:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise Usage(f"--header takes K=V, not '{item}'")
        result[key] = value
    return result


def describe_error(frame):
    message = frame.headers.get("message", "")
    body = (frame.body or "").strip()
    return f"ERROR frame: {message}" + (f" ({body})" if body else "")


def open_connection(args, collector, content_length=True):
    classes = {"1.0": stomp.Connection10, "1.1": stomp.Connection11, "1.2": stomp.Connection12}
    hosts = [(args.host, args.port)]
    # The socket time-out bounds a TLS handshake with a peer that never
    # answers; no command waits longer than --timeout for anything else.
    # (stomp.py fetches the certificate once more on a socket of its own,
    # which only the default time-out reaches.)
    socket.setdefaulttimeout(args.timeout + 2)
    options = dict(auto_content_length=content_length, reconnect_attempts_max=1, timeout=args.timeout + 2)
    if args.version != "1.0":
        options["heartbeats"] = (0, 0)
    conn = classes[args.version](hosts, **options)
    if args.ca:
        conn.set_ssl(for_hosts=hosts, ca_certs=args.ca)
    conn.set_listener("peer", collector)
    try:
        conn.connect(args.user, args.password, wait=True, headers={"host": "localhost"})
    except (ConnectFailedException, StompException, OSError) as e:
        detail = "; ".join(describe_error(f) for f in collector.errors) or str(e) or type(e).__name__
        raise ConnectionError(f"cannot connect to {args.host}:{args.port}: {detail}") from None
    if collector.errors:
        raise ConnectionError(describe_error(collector.errors[0]))
    return conn


def cmd_connect(args):
    collector = Collector()
    conn = open_connection(args, collector)
    print(f"CONNECTED version {collector.version}")
    conn.disconnect()
    return OK


def cmd_send(args):
    collector = Collector()
    conn = open_connection(args, collector, content_length=args.content_length)
    headers = pairs(args.header)
    if args.receipt:
        receipt_id = "peer-receipt-1"
        conn.send(args.dest, args.body, headers=headers, receipt=receipt_id)
        try:
            while collector.receipts.get(timeout=args.timeout) != receipt_id:
                pass
        except queue.Empty:
            print(f"stomp-peer: no RECEIPT within {args.timeout} s", file=sys.stderr)
            return TIMEOUT
        print(f"RECEIPT {receipt_id}")
    else:
        conn.send(args.dest, args.body, headers=headers)
    if collector.errors:
        print(f"stomp-peer: {describe_error(collector.errors[0])}", file=sys.stderr)
        return FAILED
    conn.disconnect()
    print("sent")
    return OK


def acknowledge(conn, args, frame, collector):
    """ACKs one message and waits for the broker's receipt, so that a
    DISCONNECT right after it cannot overtake it."""
    receipt = "ack-" + frame.headers["message-id"]
    if args.version == "1.2":
        conn.ack(frame.headers["ack"], receipt=receipt)
    elif args.version == "1.1":
        conn.ack(frame.headers["message-id"], "1", receipt=receipt)
    else:
        conn.ack(frame.headers["message-id"], receipt=receipt)
    try:
        while collector.receipts.get(timeout=args.timeout) != receipt:
            pass
    except queue.Empty:
        raise ConnectionError(f"no RECEIPT for the ACK of {frame.headers['message-id']}") from None


def cmd_receive(args):
    collector = Collector()
    conn = open_connection(args, collector)
    headers = pairs(args.header)
    if args.selector:
        headers["selector"] = args.selector
    conn.subscribe(args.dest, id="1", ack=args.ack, headers=headers)
    for _ in range(args.count):
        try:
            frame = collector.messages.get(timeout=args.timeout)
        except queue.Empty:
            if collector.errors:
                print(f"stomp-peer: {describe_error(collector.errors[0])}", file=sys.stderr)
                return FAILED
            print(f"stomp-peer: no message on {args.dest} within {args.timeout} s", file=sys.stderr)
            return TIMEOUT
        lines = ["MESSAGE"] + [f"{k}:{v}" for k, v in sorted(frame.headers.items())]
        sys.stdout.write("\n".join(lines) + "\n\n" + (frame.body or "") + "\n\n")
        sys.stdout.flush()
        if args.drop:
            continue
        if args.ack != "auto":
            acknowledge(conn, args, frame, collector)
    if args.drop:
        os._exit(OK)  # no ACK, no DISCONNECT: the connection just drops
    conn.disconnect()
    return OK


def main(argv):
    parser = Parser(prog="stomp_peer.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    common = Parser(add_help=False)
    common.add_argument("--user")
    common.add_argument("--password")
    common.add_argument("--ca", help="connect with TLS and verify the broker against this PEM file")
    common.add_argument("--version", choices=["1.0", "1.1", "1.2"], default="1.2")
    common.add_argument("--timeout", type=float, default=10.0)
    sub = parser.add_subparsers(dest="command", required=True, parser_class=Parser)

    p = sub.add_parser("connect", parents=[common])
    p.add_argument("host")
    p.add_argument("port", type=int)
    p.set_defaults(run=cmd_connect)

    p = sub.add_parser("send", parents=[common])
    p.add_argument("host")
    p.add_argument("port", type=int)
    p.add_argument("dest")
    p.add_argument("body")
    p.add_argument("--header", action="append")
    p.add_argument("--content-length", action="store_true")
    p.add_argument("--receipt", action="store_true")
    p.set_defaults(run=cmd_send)

    p = sub.add_parser("receive", parents=[common])
    p.add_argument("host")
    p.add_argument("port", type=int)
    p.add_argument("dest")
    p.add_argument("--ack", choices=["auto", "client", "client-individual"], default="auto")
    p.add_argument("--count", type=int, default=1)
    p.add_argument("--selector")
    p.add_argument("--header", action="append", help="extra SUBSCRIBE header K=V")
    p.add_argument("--drop", action="store_true")
    p.set_defaults(run=cmd_receive)

    try:
        args = parser.parse_args(argv)
        if (args.user is None) != (args.password is None):
            raise Usage("--user and --password go together")
        return args.run(args)
    except Usage as e:
        print(f"stomp-peer: {e}\n{parser.format_usage()}", file=sys.stderr)
        return USAGE
    except ConnectionError as e:
        print(f"stomp-peer: {e}", file=sys.stderr)
        return FAILED


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
