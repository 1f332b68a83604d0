#!/usr/bin/env bash
# Runs every fault run in turn and prints one table of their results (from
# $OUT/fault-*.json). Exit status 1 when any run lost a request or posted a
# deposit twice.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
OUT=${OUT:-$here/../../var/bench/results}
export OUT
status=0
for run in broker-kill service-kill tradesim-fault competing pair-kill two-host; do
  echo "######## $run"
  timeout 600 "$here/$run.sh" || status=1
done
python3 - "$OUT" <<'PY'
import json, os, sys
print("\n%-19s %7s %8s %7s %5s %6s %7s %7s %6s %6s %6s" % ("fault", "sent", "answered", "missing", "dup",
      "wrong", "allowed", "resent", "deals", "twice", "twiceR"))
for name in ("broker-kill", "service-kill", "tradesim-fault", "competing", "pair-kill", "two-host",
             "two-host-pg-restart"):
    p = os.path.join(sys.argv[1], "fault-%s.json" % name)
    if not os.path.exists(p):
        print("%-19s (no result)" % name); continue
    r = json.load(open(p))
    print("%-19s %7d %8d %7d %5d %6d %7d %7d %6d %6d %6d" % (name, r["requests"], r["answered"],
          r["missing"] + r["lostAtSend"], r["duplicated"], r["wrongBody"], r["allowedFailures"], r["resent"],
          r["deals"], r["depositsPostedTwice"], r["depositsPostedTwiceResent"]))
print("missing includes requests lost at send; twiceR: deposits posted twice after the bench sent them twice")
p = os.path.join(sys.argv[1], "fault-pair-kill.json")
if os.path.exists(p):
    r = json.load(open(p))
    if "takeoverSeconds" in r:
        print("pair-kill takeover: standby serving %.2f s after the kill, service connected again after %.2f s"
              % (r["takeoverSeconds"], r["serviceBackSeconds"]))
p = os.path.join(sys.argv[1], "fault-two-host.json")
if os.path.exists(p):
    r = json.load(open(p))
    if "held" in r:
        print("two-host takeover (%s): %d requests held by the killed instance; the survivor's first step on one %s s "
              "after the kill, their replies confirmed from %s s to %s s" % (r["hosts"], r["held"],
              r["firstTakeoverSeconds"], r["firstReplySeconds"], r["lastReplySeconds"]))
p = os.path.join(sys.argv[1], "fault-two-host-pg-restart.json")
if os.path.exists(p):
    r = json.load(open(p))
    if "databaseDownSeconds" in r:
        print("two-host-pg-restart: database down %.2f s; journal writable again %s s (host-a), %s s (host-b) after "
              "the stop" % (r["databaseDownSeconds"], r["journalBackSecondsHostA"], r["journalBackSecondsHostB"]))
PY
exit $status
