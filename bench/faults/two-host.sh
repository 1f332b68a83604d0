#!/usr/bin/env bash
# Fault run: two instances of the service as on two hosts, sharing one request
# journal in a PostgreSQL database (a private cluster of scripts/postgres.sh),
# competing consumers on the same queues and the same trading server. Each
# has its own working directory (config, daily log, its copy of the
# journal's digest key) and, with HOSTS=namespaces (the default where
# unshare(1) may make namespaces), its own PID and UTS namespace with the host
# name host-a or host-b: neither sees the other's process, so the survivor
# learns that the other is gone only from its lease in the journal (expired
# 10 s after its last renewal; an entry it had started is waited for until
# 10 s + 30 s). HOSTS=same runs both in this host's namespaces, where an
# instance that ended is known gone at once.
#
# two-host: host-a's instance is SIGKILLed mid-burst (KILL_AFTER s in); host-b
# must answer every request host-a held and post every deposit once. Adds the
# takeover to $OUT/fault-two-host.json: the requests host-a held (received,
# by its console, and not acknowledged, by the journal; or found by host-b
# delivered before but not in the journal), and, from the journal's history
# (times on the database's clock, this host's), seconds from the kill to
# host-b's first step on one of them (firstTakeoverSeconds) and to the first
# and the last of their replies confirmed by the broker (firstReplySeconds,
# lastReplySeconds).
#
# two-host-pg-restart (PG_RESTART=1, the default; 0 skips it): host-a is
# started again, a second burst, and the database is stopped mid-burst
# (PG_RESTART_AFTER s in; fast shutdown: every connection cut) and started
# again PG_OUTAGE s later on its port. Adds to
# $OUT/fault-two-host-pg-restart.json how long each instance's journal was
# down (from the stop to its "Request journal writable again").
#
# Settings: N (3000 requests per burst), RATE (500 req/s: more than the two
# instances answer, so that each holds a full window when the fault comes),
# MIX (fault-lib's), KILL_AFTER (2 s), HOSTS (namespaces|same), PG_RESTART
# (1), PG_RESTART_AFTER (2 s), PG_OUTAGE (3 s), DRAIN (60 s without a reply
# before the load gives up: longer than the 40 s a started entry of a
# cut-off owner is waited for).
# When replies are missing, the threads of each instance still running are
# written to host-H/stacks-PHASE.txt (gdb) and host-H/threads-PHASE.txt. A
# run that lost a request or posted a deposit twice keeps its work directory
# and its database (stopped), with the journal's tables copied into the work
# directory.
N=${N:-3000}
RATE=${RATE:-500}
DRAIN=${DRAIN:-60}
source "$(dirname "$0")/../lib.sh"
source "$(dirname "$0")/fault-lib.sh"

if [[ -z ${HOSTS:-} ]]; then
  HOSTS=same
  unshare --pid --fork --mount-proc --uts true 2>/dev/null && HOSTS=namespaces
fi
[[ $HOSTS == namespaces || $HOSTS == same ]] || bench_die "HOSTS takes namespaces or same, not '$HOSTS'"

fault_setup two-host plain
pg_name="bench-two-host-$$"
bench_pg_start "$pg_name"
bench_log "journal: postgresql://$PGUSER@127.0.0.1:$PGPORT/$PGDATABASE; hosts: $HOSTS"
for h in a b; do bench_pg_config "$bench_work" "$bench_work/host-$h"; done

declare -A service_pid   # host → the service's pid (in this namespace)
declare -A owner         # host → its journal owner name (its lease)

# Starts host H's instance (its console in host-H/service[-SUFFIX].out) and
# learns its lease.
host_start() { # h [suffix]
  local h=$1 name=service${2:+-$2} wrapper=() before
  if [[ $HOSTS == namespaces ]]; then
    # --kill-child: the service ends with unshare, whatever ends unshare.
    wrapper=(unshare --pid --fork --mount-proc --uts --kill-child=SIGTERM -- sh -c 'hostname "$1" && shift && exec "$@"' sh
      "host-$h")
  fi
  before=$(bench_pg_sql "SELECT owner FROM leases" 2>/dev/null || true)
  bench_service_start "$bench_work/host-$h" "$name" "${wrapper[@]}"
  service_pid[$h]=$bench_service_pid
  if [[ $HOSTS == namespaces ]]; then
    local outer=$bench_service_pid
    service_pid[$h]=$(cat "/proc/$outer/task/$outer/children" 2>/dev/null | awk '{ print $1 }')
    [[ -n ${service_pid[$h]} ]] || bench_die "no service under unshare (pid $outer)"
    # Stopped first by bench_cleanup (SIGTERM to the service itself), then unshare.
    bench_pids=("${service_pid[$h]}" "${bench_pids[@]}")
  fi
  owner[$h]=$(bench_pg_sql "SELECT owner FROM leases" | grep -vxF -- "$before" | head -n 1 || true)
  [[ -n ${owner[$h]} ]] || bench_die "host-$h's instance holds no lease in the journal"
  bench_log "host-$h: service pid ${service_pid[$h]}, lease ${owner[$h]}"
}

# The journal's tables and the lease rows, into the work directory.
journal_copy() { # suffix
  local t
  for t in requests history leases; do
    bench_pg_sql "COPY (SELECT * FROM $t ORDER BY 1) TO STDOUT WITH CSV HEADER" >"$bench_work/journal-$t$1.csv" 2>/dev/null ||
      bench_log "could not copy the journal's $t"
  done
}

# When the load missed replies: where each instance still running stands
# (every thread's stack, by gdb), into host-H/stacks-PHASE.txt.
stacks_if_missing() { # phase
  local h missing
  missing=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["counts"]["missing"])' "$bench_work/load.json")
  ((missing > 0)) || return 0
  for h in a b; do
    kill -0 "${service_pid[$h]}" 2>/dev/null || continue
    if command -v gdb >/dev/null; then
      gdb -p "${service_pid[$h]}" -batch -ex "thread apply all bt" >"$bench_work/host-$h/stacks-$1.txt" 2>&1 || true
    fi
    for t in /proc/"${service_pid[$h]}"/task/*; do
      echo "$(basename "$t") $(cat "$t/comm") $(cat "$t/wchan" 2>/dev/null)"
    done >"$bench_work/host-$h/threads-$1.txt"
    bench_log "$missing replies missing: host-$h's threads in host-$h/stacks-$1.txt"
  done
}

# Keeps the work directory and the database when a phase failed.
keep_on_failure() { # rc
  (($1 == 0)) && return 0
  export MQB_KEEP_BENCH=1
  bench_log "a request was lost or a deposit posted twice: keeping $bench_work and cluster $pg_name ($PG_DIR)"
}

# ---- phase 1: host-a SIGKILLed mid-burst
host_start a
# As on a second host: host-b gets a copy of the digest key host-a's instance
# made (the journal refuses any other key).
mkdir -p "$bench_work/host-b/journal"
install -m 600 "$bench_work/host-a/journal/shared-journal.key" "$bench_work/host-b/journal/shared-journal.key"
host_start b
# All updates of the load change one account: one cut short by the kill,
# whose account a later update changed before it was checked, cannot be
# told done or not and is answered -1001 (in doubt), never carried out again.
fault_load_start --allow-code -1001 --drain "$DRAIN"
sleep "${KILL_AFTER:-2}"
killed_ms=$(date +%s%3N)
bench_log "SIGKILL to host-a's instance (pid ${service_pid[a]})"
kill -KILL "${service_pid[a]}"
fault_load_wait
stacks_if_missing kill
for f in host-a/service host-b/service; do
  echo "$f handled: $(grep -c 'Received:' "$bench_work/$f.out" || true) requests"
done
# What host-b said about the requests it found in the journal, by kind of line.
grep -h 'Redelivered\|In doubt\|settled by another\|Serial' "$bench_work/host-b/service.out" |
  sed -E 's/(Redelivered|In doubt|Journal|Serial) [^ ]+:/\1 <id>:/; s/\([^)]*\)/(...)/' | sort | uniq -c | sed 's/^/host-b: /' || true
rc=0
fault_report || rc=$?
journal_copy -kill
bench_pg_sql "SELECT r.queue, r.message_id, r.serial, h.at, h.state, h.owner FROM requests r
  JOIN history h ON h.request_id = r.id WHERE r.serial LIKE '$fault_run_id-%' ORDER BY r.id, h.at" \
  >"$bench_work/journal-steps-kill.tsv"
python3 - "$OUT/fault-two-host.json" "$killed_ms" "${owner[a]}" "${owner[b]}" "$HOSTS" "$bench_work/host-a/service.out" \
  "$bench_work/host-b/service.out" "$bench_work/journal-steps-kill.tsv" <<'PY'
import collections, json, re, sys
path, killed, victim, survivor, hosts, console_a, console_b, rows = sys.argv[1:9]
killed = int(killed)
history = collections.defaultdict(list)  # (queue, serial) → [(at, state, owner)]
by_message = {}
for line in open(rows):
    queue, message, serial, at, state, who = line.rstrip("\n").split("\t")
    history[(queue, serial)].append((int(at), state, who))
    by_message[(queue, message)] = (queue, serial)
# What host-a had taken from the broker: the requests its console shows
# received, and those host-b found delivered before (to host-a: no other
# instance ended) but not in the journal, which it checked on the trading
# server ("In doubt <message id>: ...").
taken = set()
for line in open(console_a, errors="replace"):
    m = re.match(r'destURI #(\S+) Received: .*"serial":"([^"]+)"', line)
    if m:
        taken.add((m.group(1), m.group(2)))
for line in open(console_b, errors="replace"):
    m = re.match(r"destURI #(\S+) In doubt (\S+): not on the trading server", line) or \
        re.match(r"destURI #(\S+) In doubt (\S+): found on the trading server", line)
    if m and (m.group(1), m.group(2)) in by_message:
        taken.add(by_message[(m.group(1), m.group(2))])
held, first_step, replies, left_in, not_again = 0, [], [], collections.Counter(), 0
for key in taken:
    hist = history.get(key, [])
    mine = [h for h in hist if h[2] == victim and h[0] < killed]
    if any(h[1] == "acknowledged" for h in mine):
        continue
    held += 1
    left_in[mine[-1][1] if mine else "not recorded"] += 1
    after = [h for h in hist if h[2] == survivor and h[0] >= killed]
    if not after:
        not_again += 1  # acknowledged by host-a, that step not yet in the journal
        continue
    first_step.append(after[0][0])
    confirmed = [h[0] for h in after if h[1] == "confirmed"]
    if confirmed:
        replies.append(confirmed[0])
r = json.load(open(path))
seconds = lambda ms: round((ms - killed) / 1000, 2)
r.update({"hosts": hosts, "held": held, "heldLeftIn": dict(left_in), "heldNotSeenAgain": not_again,
          "heldRepliedBySurvivor": len(replies),
          "firstTakeoverSeconds": seconds(min(first_step)) if first_step else None,
          "firstReplySeconds": seconds(min(replies)) if replies else None,
          "lastReplySeconds": seconds(max(replies)) if replies else None})
json.dump(r, open(path, "w"), indent=2)
print("  %-24s %d requests host-a had taken and not acknowledged (its last step in the journal: %s); "
      "%d of them not delivered again" % ("held", held, ", ".join("%s %d" % kv for kv in sorted(left_in.items())),
                                          not_again))
print("  %-24s %s s from the kill to host-b's first step on one of them; %d of their replies confirmed, "
      "the first %s s, the last %s s after the kill" % ("takeover", r["firstTakeoverSeconds"], len(replies),
                                                         r["firstReplySeconds"], r["lastReplySeconds"]))
PY
keep_on_failure $rc

# ---- phase 2: the database restarted mid-burst
if [[ ${PG_RESTART:-1} == 1 ]]; then
  kill -0 "${service_pid[b]}" 2>/dev/null || bench_die "host-b's instance ended during the first burst"
  host_start a again
  mkdir -p "$bench_work/phase-kill"
  mv "$bench_work/load.json" "$bench_work/load.txt" "$bench_work/deals.tsv" "$bench_work/phase-kill/"
  fault_name=two-host-pg-restart
  fault_run_id="ftwohostpg$$"
  declare -A out_of=([a]="$bench_work/host-a/service-again.out" [b]="$bench_work/host-b/service.out") back_before
  declare -A back=([a]="" [b]="")
  for h in a b; do back_before[$h]=$(grep -c "Request journal writable again" "${out_of[$h]}" || true); done
  fault_load_start --allow-code -1001 --drain "$DRAIN"
  sleep "${PG_RESTART_AFTER:-2}"
  stopped=$(date +%s.%N)
  bench_log "stopping PostgreSQL (fast shutdown)"
  "$postgres_sh" stop "$pg_name" >/dev/null
  sleep "${PG_OUTAGE:-3}"
  bench_log "starting PostgreSQL again"
  bench_pg_start "$pg_name" >/dev/null
  started=$(date +%s.%N)
  # Until both instances said their journal writes again (or 120 s).
  deadline=$((SECONDS + 120))
  while ((SECONDS < deadline)) && [[ -z ${back[a]} || -z ${back[b]} ]]; do
    for h in a b; do
      [[ -n ${back[$h]} ]] && continue
      (($(grep -c "Request journal writable again" "${out_of[$h]}" || true) > back_before[$h])) && back[$h]=$(date +%s.%N)
    done
    sleep 0.05
  done
  fault_load_wait
  stacks_if_missing pg-restart
  for h in a b; do
    alive=running
    kill -0 "${service_pid[$h]}" 2>/dev/null || alive=ENDED
    echo "host-$h: $alive; its journal down $(grep -c 'Request journal down' "${out_of[$h]}" || true) times"
    grep -h 'Request journal\|lease ran out\|Journal' "${out_of[$h]}" | cut -c1-160 | sort | uniq -c | sed "s/^/  host-$h: /" || true
  done
  rc2=0
  fault_report || rc2=$?
  journal_copy -pg-restart
  python3 - "$OUT/fault-two-host-pg-restart.json" "$stopped" "$started" "${back[a]:-}" "${back[b]:-}" \
    "$HOSTS" <<'PY'
import json, sys
path, stopped, started = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
r = json.load(open(path))
r["hosts"] = sys.argv[6]
r["databaseDownSeconds"] = round(started - stopped, 2)
for host, back in (("a", sys.argv[4]), ("b", sys.argv[5])):
    r["journalBackSecondsHost" + host.upper()] = round(float(back) - stopped, 2) if back else None
json.dump(r, open(path, "w"), indent=2)
print("  %-24s database down %.2f s; journal writable again %s s (host-a), %s s (host-b) after the stop"
      % ("outage", r["databaseDownSeconds"], r["journalBackSecondsHostA"], r["journalBackSecondsHostB"]))
PY
  keep_on_failure $rc2
  ((rc2 == 0)) || rc=1
fi
exit $rc
