#!/usr/bin/env bash
# Throughput and latency of the service against its ceilings, in one run on
# one broker with the same load: the service; the echo responder (same client
# library, same acknowledgement, same confirmed send, no work) one reply at a
# time, with pipelined replies and, where the echo responder has them, with
# batched or joint confirmation; and two responders written with ActiveMQ's
# own JMS client (bench/jms/): one synchronous send per reply, and replies
# committed with their acknowledgements in transactions of up to 32. The
# service also runs with its request journal in a PostgreSQL database (a
# private cluster of scripts/postgres.sh on loopback), alone and as two
# instances sharing that journal on the same queues. Prints each run's table,
# the CPU each target took per request (the responder's, the broker's, and
# for the PostgreSQL targets the database server's) and the ratios; writes
# the JSON results to $OUT (default var/bench/results).
#
#   bench/run-throughput.sh                      # closed loop, window 64
#   N=50000 W=128 MIX=deposit=3,update=1 bench/run-throughput.sh
#   RATE=500 bench/run-throughput.sh             # open loop at 500 req/s
#   SYNC="full normal" TARGETS=service bench/run-throughput.sh
#
# Settings (environment): N measured requests (20000), WARMUP (2000), W window
# (64), RATE (open loop instead of the window), MIX (see mqbridge-bench
# --help; default: deposits on the balance queue), TARGETS (below), OUT, TAG
# (file name prefix, default closed-W / rate-R), ECHO_WORK_MS (the echo
# responders wait this long per request, in place of the trading server's
# time: shows what pipelining gains when there is work), SYNC (the trading
# server's commits for the service target: "full", synced to the disk, the
# default, and/or "normal", TRADESIM_SYNC=normal; the service runs once per
# word, labelled service-full / service-normal), PRIME (requests answered by
# the service before the first target and not reported: the broker's JIT and
# the page cache warm up; default 5000), JMS_SYNC_PREFETCH (prefetch
# of jms-sync's consumers, default 1), JMS_TX_PREFETCH (jms-tx32's, default W),
# PG_PRIME (requests through the service on the PostgreSQL journal before its
# first target, not reported: the journal holds entries and the database has
# statistics on its tables, as a journal in use does; default 2000),
# PG_ANALYZE (after PG_PRIME: "auto" waits up to 120 s for autovacuum to
# analyze the journal's tables, then runs ANALYZE itself; "now" runs ANALYZE
# at once; "no" leaves the tables as they are; default auto), ROUNDS (1: the
# targets run ROUNDS times, every other round in the reverse order, so that
# none has always the same place; the figures are then the means over the
# rounds, each round printed too, its JSON as $TAG-rR-<target>.json).
#
# Targets: service, service-pg (the service on the PostgreSQL journal; like
# service, one run per SYNC word: service-pg-full, service-pg-normal),
# service-pg2 (two instances of the service sharing the PostgreSQL journal,
# competing consumers on the same queues: service-pg2-full, ...), echo
# (prefetch 1, like the service's consumers),
# echo-pipelined, echo-batched, echo-joint (prefetch W; the last two need the
# echo responder's --confirm), jms-sync (prefetch 1: the counterpart of echo),
# jms-tx32 (prefetch W: it can only gather what the broker has handed it).
# Default: all of them, without echo-batched and echo-joint when this build's
# echo responder has no --confirm. The JMS responders ignore ECHO_WORK_MS.
#
# Syscalls per request are counted with `perf stat -e raw_syscalls:sys_enter`
# on the responder's processes (every thread they have once ready) while
# its requests run, warm-up included, when perf can count them here (SYSCALLS=0
# skips it); threads are the responder's, read from /proc/<pid>/status at the
# end of the load.
#
# CPU per request is read from /proc/<pid>/stat (utime + stime, with the
# process's descendants, living or reaped) before and after each target's
# requests, warm-up included; the database server's is the sum over the
# cluster's processes (the postmaster and every process it started).
source "$(dirname "$0")/lib.sh"

N=${N:-20000}
WARMUP=${WARMUP:-2000}
W=${W:-64}
RATE=${RATE:-}
MIX=${MIX:-deposit}
SYNC=${SYNC:-full}
JMS_SYNC_PREFETCH=${JMS_SYNC_PREFETCH:-1}
JMS_TX_PREFETCH=${JMS_TX_PREFETCH:-$W}
OUT=${OUT:-$bench_root/var/bench/results}
if [[ -n $RATE ]]; then TAG=${TAG:-rate-$RATE}; else TAG=${TAG:-closed-w$W}; fi
for s in $SYNC; do [[ $s == full || $s == normal ]] || bench_die "SYNC takes full and/or normal, not '$s'"; done

trap bench_cleanup EXIT
bench_make

# The echo responder's confirmation modes (--confirm) exist only in builds
# that have them.
echo_confirm=0
echo_help=$("$bench_bin" --help 2>&1) || true
[[ $echo_help == *--confirm* ]] && echo_confirm=1
if [[ -z ${TARGETS:-} ]]; then
  TARGETS="service service-pg service-pg2 echo echo-pipelined"
  ((echo_confirm)) && TARGETS+=" echo-batched echo-joint"
  TARGETS+=" jms-sync jms-tx32"
fi
# "service" stands for one run per SYNC setting.
runs=()
for target in $TARGETS; do
  case $target in
    service | service-pg | service-pg2) for s in $SYNC; do runs+=("$target-$s"); done ;;
    echo-batched | echo-joint)
      ((echo_confirm)) || bench_die "$target needs the echo responder's --confirm, which this build of mqbridge-bench does not have"
      runs+=("$target") ;;
    service-full | service-normal | service-pg-full | service-pg-normal | service-pg2-full | service-pg2-normal | \
      echo | echo-pipelined | jms-sync | jms-tx32) runs+=("$target") ;;
    *) bench_die "unknown target '$target' (service, service-full, service-normal, service-pg, service-pg-full, service-pg-normal, service-pg2, service-pg2-full, service-pg2-normal, echo, echo-pipelined, echo-batched, echo-joint, jms-sync, jms-tx32)" ;;
  esac
done

bench_workdir throughput
mkdir -p "$OUT"
bench_broker_start "bench-tp-$$"
bench_tradesim_init "$bench_work"
bench_config "$bench_work" "tcp://127.0.0.1:$STOMP_PORT"
# The PostgreSQL targets: one cluster, one journal database shared by their
# runs; their config in $bench_work/pg (digest key in pg/journal/).
pg=0
for target in "${runs[@]}"; do [[ $target == service-pg* ]] && pg=1; done
if ((pg)); then
  bench_pg_start "bench-tp-$$"
  bench_pg_config "$bench_work" "$bench_work/pg"
  bench_log "PostgreSQL journal: postgresql://$PGUSER@127.0.0.1:$PGPORT/$PGDATABASE (postmaster $PG_PID)"
fi

load=(--window "$W")
[[ -n $RATE ]] && load=(--rate "$RATE")
work=(--work-ms "${ECHO_WORK_MS:-0}")

# The broker's JIT compiles its hot paths during the first thousands of
# messages, and the first service run fills the page cache with the trading
# server's and the journal's files: without this the first target measured
# pays for both.
PRIME=${PRIME:-5000}
if ((PRIME > 0)); then
  bench_service_start "$bench_work" prime
  bench_log "priming the broker and the files: $PRIME requests through the service (not reported)"
  "$bench_bin" --config "$bench_work/config.ini" --requests "$PRIME" --warmup 0 --window "$W" \
    --mix "$MIX" --account "$bench_account" --check body --label prime >/dev/null || true
  bench_stop "$bench_service_pid"
fi

# A journal in use holds entries, and autovacuum keeps statistics on its
# tables; the service's statements are planned from those. A journal just
# made has neither: prime it too, and wait for the statistics.
PG_PRIME=${PG_PRIME:-2000}
PG_ANALYZE=${PG_ANALYZE:-auto}
if ((pg)); then
  if ((PG_PRIME > 0)); then
    bench_service_start "$bench_work/pg" prime-pg
    bench_log "priming the PostgreSQL journal: $PG_PRIME requests through the service on it (not reported)"
    "$bench_bin" --config "$bench_work/config.ini" --requests "$PG_PRIME" --warmup 0 --window "$W" \
      --mix "$MIX" --account "$bench_account" --check body --label prime-pg >/dev/null || true
    bench_stop "$bench_service_pid"
  fi
  case $PG_ANALYZE in
    auto)
      bench_log "waiting (up to 120 s) for autovacuum to analyze the journal's tables"
      deadline=$((SECONDS + 120))
      until [[ $(bench_pg_sql "SELECT count(*) FROM pg_stat_user_tables WHERE relname IN ('requests', 'history')
                 AND greatest(last_analyze, last_autoanalyze) IS NOT NULL") == 2 ]]; do
        if ((SECONDS >= deadline)); then
          bench_log "autovacuum has not analyzed them yet: ANALYZE"
          bench_pg_sql "ANALYZE requests; ANALYZE history" >/dev/null
          break
        fi
        sleep 2
      done ;;
    now) bench_pg_sql "ANALYZE requests; ANALYZE history" >/dev/null ;;
    no) ;;
    *) bench_die "PG_ANALYZE takes auto, now or no, not '$PG_ANALYZE'" ;;
  esac
  bench_pg_sql "SELECT relname, n_live_tup, last_analyze, last_autoanalyze FROM pg_stat_user_tables
    WHERE relname IN ('requests', 'history') ORDER BY relname" | sed 's/^/[journal] /' >&2
fi

# CPU ticks of the responder, the broker and the database cluster (0 when
# not a PostgreSQL target), and the database's counters.
cpu_readings() { # pg(0|1) responder pid...
  local with_pg=$1
  shift
  echo "$(bench_cpu_ticks "$@") $(bench_cpu_ticks "$BROKER_PID") $( ((with_pg)) && bench_cpu_ticks "$PG_PID" || echo 0)"
}

# Whether perf can count syscalls of another process here.
SYSCALLS=${SYSCALLS:-1}
if ((SYSCALLS)) && ! perf stat -e raw_syscalls:sys_enter -x, -o /dev/null -- true 2>/dev/null; then
  bench_log "perf cannot count syscalls here: no syscalls per request"
  SYSCALLS=0
fi
# Threads of the processes, summed.
thread_count() { # pid...
  local total=0 pid n
  for pid in "$@"; do
    n=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    total=$((total + ${n:-0}))
  done
  echo "$total"
}

ROUNDS=${ROUNDS:-1}
[[ $ROUNDS =~ ^[1-9][0-9]*$ ]] || bench_die "ROUNDS takes a count, not '$ROUNDS'"
plan=()
for ((round = 1; round <= ROUNDS; round++)); do
  if ((round % 2)); then
    for target in "${runs[@]}"; do plan+=("$target#$round"); done
  else
    for ((i = ${#runs[@]} - 1; i >= 0; i--)); do plan+=("${runs[i]}#$round"); done
  fi
done

# Per target and round (target#round): replies/s, loads, CPU, database figures.
declare -A tp loadavg loadbefore foreign cpu pgstat sysreq threads
for step in "${plan[@]}"; do
  target=${step%#*}
  round=${step#*#}
  name=$target
  ((round > 1)) && name+="-r$round"
  pids=()
  with_pg=0
  pg_before=""
  pg_after=""
  case $target in
    service-full) bench_service_start "$bench_work" "$name" env -u TRADESIM_SYNC; pids=("$bench_service_pid"); check=body ;;
    service-normal) bench_service_start "$bench_work" "$name" env TRADESIM_SYNC=normal; pids=("$bench_service_pid"); check=body ;;
    service-pg-full | service-pg-normal | service-pg2-full | service-pg2-normal)
      with_pg=1
      sync_env=(env -u TRADESIM_SYNC)
      [[ $target == *-normal ]] && sync_env=(env TRADESIM_SYNC=normal)
      if [[ $target == service-pg2-* ]]; then
        for member in a b; do
          bench_service_start "$bench_work/pg" "$name-$member" "${sync_env[@]}"
          pids+=("$bench_service_pid")
        done
      else
        bench_service_start "$bench_work/pg" "$name" "${sync_env[@]}"
        pids=("$bench_service_pid")
      fi
      check=body ;;
    echo) bench_echo_start "$bench_work" "$name" "${work[@]}"; pids=("$bench_echo_pid"); check=correlation ;;
    echo-pipelined) bench_echo_start "$bench_work" "$name" --pipeline on --prefetch "$W" "${work[@]}"
      pids=("$bench_echo_pid"); check=correlation ;;
    echo-batched | echo-joint) bench_echo_start "$bench_work" "$name" --confirm "${target#echo-}" --prefetch "$W" "${work[@]}"
      pids=("$bench_echo_pid"); check=correlation ;;
    jms-sync) bench_jms_start "$bench_work" "$name" sync --prefetch "$JMS_SYNC_PREFETCH"; pids=("$bench_jms_pid"); check=correlation ;;
    jms-tx32) bench_jms_start "$bench_work" "$name" tx32 --prefetch "$JMS_TX_PREFETCH"; pids=("$bench_jms_pid"); check=correlation ;;
  esac
  json="$OUT/$TAG-$target.json"
  ((round > 1)) && json="$OUT/$TAG-r$round-$target.json"
  bench_log "$name: $N requests (+$WARMUP warm-up), ${RATE:+rate $RATE}${RATE:-window $W}, mix $MIX"
  if ((with_pg)); then pg_before=$(bench_pg_counters); fi
  cpu_before=$(cpu_readings "$with_pg" "${pids[@]}")
  loadbefore[$step]=$(cut -d ' ' -f 1-3 /proc/loadavg)
  perf_pid=""
  if ((SYSCALLS)); then
    perf stat -e raw_syscalls:sys_enter -x, -o "$bench_work/$name.perf" -p "$(IFS=,; echo "${pids[*]}")" &
    perf_pid=$!
  fi
  rc=0
  "$bench_bin" --config "$bench_work/config.ini" --requests "$N" --warmup "$WARMUP" "${load[@]}" \
    --mix "$MIX" --account "$bench_account" --check "$check" --label "$target" --json "$json" || rc=$?
  cpu_after=$(cpu_readings "$with_pg" "${pids[@]}")
  threads[$step]=$(thread_count "${pids[@]}")
  syscalls=""
  if [[ -n $perf_pid ]]; then
    kill -INT "$perf_pid" 2>/dev/null || true
    wait "$perf_pid" 2>/dev/null || true
    syscalls=$(awk -F, '/raw_syscalls:sys_enter/ {print $1}' "$bench_work/$name.perf" 2>/dev/null)
    [[ $syscalls =~ ^[0-9]+$ ]] || syscalls=""
  fi
  if ((with_pg)); then
    sleep 1.5 # the server processes' statistics reach the views
    pg_after=$(bench_pg_counters)
  fi
  for pid in "${pids[@]}"; do bench_stop "$pid"; done
  # What the responder said when it stopped (handled, errors).
  if [[ $target != service-* ]]; then tail -n 1 "$bench_work/$name.out" | sed "s/^/[$name] /" >&2; fi
  ((rc == 0 || rc == 3)) || bench_die "mqbridge-bench failed ($rc) against $target"
  # CPU µs per request (responder, broker, database) and the database's
  # transactions, WAL syncs and WAL bytes per request, kept in the JSON too.
  read -r tp[$step] loadavg[$step] foreign[$step] cpu[$step] pgstat[$step] sysreq[$step] < <(python3 - "$json" \
    "$((N + WARMUP))" "$bench_clk_tck" "${#pids[@]}" "$cpu_before" "$cpu_after" "${pg_before:-}" "${pg_after:-}" \
    "$(uptime)" "${loadbefore[$step]}" "$syscalls" "${threads[$step]}" <<'PY'
import json, sys
path, n, hz, instances = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
syscalls, threads = sys.argv[11], int(sys.argv[12] or 0)
before, after = ([int(x) for x in v.split()] for v in sys.argv[5:7])
r = json.load(open(path))
us = [(a - b) / hz * 1e6 / n for a, b in zip(after, before)]
r["cpuUsPerRequest"] = {"responder": round(us[0], 1), "broker": round(us[1], 1), "requests": n,
                        "instances": instances, "uptimeAfter": sys.argv[9].strip(),
                        "loadBefore": sys.argv[10]}
pgstat = "-"
if sys.argv[7] and sys.argv[8]:
    r["cpuUsPerRequest"]["postgres"] = round(us[2], 1)
    pb, pa = ([int(x) for x in v.split()] for v in sys.argv[7:9])
    d = [a - b for a, b in zip(pa, pb)]
    r["postgresPerRequest"] = {"transactions": round(d[0] / n, 2), "walRecords": round(d[1] / n, 1),
                               "walBytes": round(d[2] / n), "walSyncs": round(d[3] / n, 3)}
    pgstat = "%.2f/%.2f/%.1f" % (d[0] / n, d[3] / n, d[2] / n / 1024)
r["threads"] = threads
sysreq = "-"
if syscalls:
    r["syscallsPerRequest"] = round(int(syscalls) / n, 1)
    sysreq = "%.1f" % (int(syscalls) / n)
json.dump(r, open(path, "w"), indent=2)
print(r["throughput"], r.get("loadAverage", "?").replace(" ", "/"), r["counts"].get("foreign", 0),
      "%.0f/%.0f/%s" % (us[0], us[1], ("%.0f" % us[2]) if pgstat != "-" else "-"), pgstat, sysreq)
PY
  )
done

# A target's figure: the mean of its rounds.
declare -A throughput
for target in "${runs[@]}"; do
  values=()
  for ((round = 1; round <= ROUNDS; round++)); do values+=("${tp[$target#$round]}"); done
  throughput[$target]=$(python3 -c 'import sys; v = list(map(float, sys.argv[1:])); print(sum(v) / len(v))' "${values[@]}")
done

describe() {
  case $1 in
    service-full) echo "the service, trading server syncing each commit to the disk" ;;
    service-normal) echo "the service, trading server with TRADESIM_SYNC=normal (no disk sync)" ;;
    service-pg-full) echo "the service, journal on PostgreSQL, trading server syncing" ;;
    service-pg-normal) echo "the service, journal on PostgreSQL, TRADESIM_SYNC=normal" ;;
    service-pg2-full) echo "two instances of the service on one PostgreSQL journal, trading server syncing" ;;
    service-pg2-normal) echo "two instances of the service on one PostgreSQL journal, TRADESIM_SYNC=normal" ;;
    echo) echo "echo responder, one reply at a time, prefetch 1" ;;
    echo-pipelined) echo "echo responder, pipelined replies, prefetch $W" ;;
    echo-batched) echo "echo responder, replies in a transaction, one receipt, prefetch $W" ;;
    echo-joint) echo "echo responder, replies and ACKs in one transaction, prefetch $W" ;;
    jms-sync) echo "JMS client, synchronous send per reply, prefetch $JMS_SYNC_PREFETCH" ;;
    jms-tx32) echo "JMS client, transactions of up to 32, prefetch $JMS_TX_PREFETCH" ;;
  esac
}

echo
echo "== throughput (replies/s), $TAG, mix $MIX, ${RATE:+rate $RATE}${RATE:-window $W}"
echo "   cpu: µs of CPU per request, responder/broker/PostgreSQL (the responder: all its instances);"
echo "   pg: PostgreSQL transactions / WAL syncs / WAL kB per request"
echo "   sys: the responder's syscalls per request (perf stat); thr: its threads"
printf '  %-21s %10s   %-16s %-16s %-15s %-16s %7s %4s %s\n' target replies/s "load before" "load after" cpu pg sys thr ""
for step in "${plan[@]}"; do
  target=${step%#*}
  round=${step#*#}
  shown=$target
  ((ROUNDS > 1)) && shown+=" r$round"
  printf '  %-21s %10.1f   %-16s %-16s %-15s %-16s %7s %4s %s\n' "$shown" "${tp[$step]}" "${loadbefore[$step]}" \
    "${loadavg[$step]//\// }" "${cpu[$step]}" "${pgstat[$step]}" "${sysreq[$step]}" "${threads[$step]}" \
    "$(describe "$target")"
  # Requests an earlier target left unacknowledged, answered again by this one.
  if ((foreign[$step] > 0)); then
    printf '  %-21s %10s   %s replies to requests of an earlier target\n' "" "" "${foreign[$step]}"
  fi
done
if ((ROUNDS > 1)); then
  echo "  mean over the $ROUNDS rounds (the ratios below are of these):"
  for target in "${runs[@]}"; do printf '  %-21s %10.1f\n' "$target" "${throughput[$target]}"; done
fi
ratio() { # label numerator denominator
  python3 -c 'import sys; a,b=map(float,sys.argv[2:4]); print("  %-32s %.2f" % (sys.argv[1], a/b if b else 0))' "$@"
}
for s in "${runs[@]}"; do
  [[ $s == service-* ]] || continue
  for t in echo echo-pipelined echo-batched echo-joint jms-sync jms-tx32; do
    [[ -n ${throughput[$t]:-} ]] && ratio "$s / $t" "${throughput[$s]}" "${throughput[$t]}"
  done
done
if [[ -n ${throughput[service-full]:-} && -n ${throughput[service-normal]:-} ]]; then
  ratio "service-normal / service-full" "${throughput[service-normal]}" "${throughput[service-full]}"
fi
# The journal on PostgreSQL is to cost at most a third of the service's
# throughput on SQLite: service-pg-S / service-S at least 2/3.
for s in $SYNC; do
  [[ -n ${throughput[service-$s]:-} ]] || continue
  for t in service-pg-$s service-pg2-$s; do
    [[ -n ${throughput[$t]:-} ]] && ratio "$t / service-$s" "${throughput[$t]}" "${throughput[service-$s]}"
  done
  if [[ -n ${throughput[service-pg-$s]:-} ]]; then
    python3 -c 'import sys; a, b = map(float, sys.argv[1:3]); r = a / b if b else 0
print("  PostgreSQL journal, %s: %.2f of SQLite\x27s replies/s; the goal (at least 0.67) %s"
      % (sys.argv[3], r, "holds" if r >= 2 / 3 else "does NOT hold"))' \
      "${throughput[service-pg-$s]}" "${throughput[service-$s]}" "$s"
  fi
done
for t in echo-pipelined echo-batched echo-joint jms-sync jms-tx32; do
  [[ -n ${throughput[echo]:-} && -n ${throughput[$t]:-} ]] && ratio "$t / echo" "${throughput[$t]}" "${throughput[echo]}"
done
echo "results: $OUT/$TAG-*.json"
