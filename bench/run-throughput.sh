#!/usr/bin/env bash
# Throughput and latency of the service against its ceilings, in one run on
# one broker with the same load: the service; the echo responder (same client
# library, same acknowledgement, same confirmed send, no work) one reply at a
# time, with pipelined replies and, where the echo responder has them, with
# batched or joint confirmation; and two responders written with ActiveMQ's
# own JMS client (bench/jms/): one synchronous send per reply, and replies
# committed with their acknowledgements in transactions of up to 32. Prints
# each run's table and the ratios; writes the JSON results to $OUT (default
# var/bench/results).
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
# of jms-sync's consumers, default 1), JMS_TX_PREFETCH (jms-tx32's, default W).
#
# Targets: service, echo (prefetch 1, like the service's consumers),
# echo-pipelined, echo-batched, echo-joint (prefetch W; the last two need the
# echo responder's --confirm), jms-sync (prefetch 1: the counterpart of echo),
# jms-tx32 (prefetch W: it can only gather what the broker has handed it).
# Default: all of them, without echo-batched and echo-joint when this build's
# echo responder has no --confirm. The JMS responders ignore ECHO_WORK_MS.
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
  TARGETS="service echo echo-pipelined"
  ((echo_confirm)) && TARGETS+=" echo-batched echo-joint"
  TARGETS+=" jms-sync jms-tx32"
fi
# "service" stands for one run per SYNC setting.
runs=()
for target in $TARGETS; do
  case $target in
    service) for s in $SYNC; do runs+=("service-$s"); done ;;
    echo-batched | echo-joint)
      ((echo_confirm)) || bench_die "$target needs the echo responder's --confirm, which this build of mqbridge-bench does not have"
      runs+=("$target") ;;
    service-full | service-normal | echo | echo-pipelined | jms-sync | jms-tx32) runs+=("$target") ;;
    *) bench_die "unknown target '$target' (service, service-full, service-normal, echo, echo-pipelined, echo-batched, echo-joint, jms-sync, jms-tx32)" ;;
  esac
done

bench_workdir throughput
mkdir -p "$OUT"
bench_broker_start "bench-tp-$$"
bench_tradesim_init "$bench_work"
bench_config "$bench_work" "tcp://127.0.0.1:$STOMP_PORT"

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

declare -A throughput loadavg foreign
for target in "${runs[@]}"; do
  case $target in
    service-full) bench_service_start "$bench_work" "$target" env -u TRADESIM_SYNC; pid=$bench_service_pid; check=body ;;
    service-normal) bench_service_start "$bench_work" "$target" env TRADESIM_SYNC=normal; pid=$bench_service_pid; check=body ;;
    echo) bench_echo_start "$bench_work" echo "${work[@]}"; pid=$bench_echo_pid; check=correlation ;;
    echo-pipelined) bench_echo_start "$bench_work" "$target" --pipeline on --prefetch "$W" "${work[@]}"
      pid=$bench_echo_pid; check=correlation ;;
    echo-batched | echo-joint) bench_echo_start "$bench_work" "$target" --confirm "${target#echo-}" --prefetch "$W" "${work[@]}"
      pid=$bench_echo_pid; check=correlation ;;
    jms-sync) bench_jms_start "$bench_work" "$target" sync --prefetch "$JMS_SYNC_PREFETCH"; pid=$bench_jms_pid; check=correlation ;;
    jms-tx32) bench_jms_start "$bench_work" "$target" tx32 --prefetch "$JMS_TX_PREFETCH"; pid=$bench_jms_pid; check=correlation ;;
  esac
  json="$OUT/$TAG-$target.json"
  bench_log "$target: $N requests (+$WARMUP warm-up), ${RATE:+rate $RATE}${RATE:-window $W}, mix $MIX"
  rc=0
  "$bench_bin" --config "$bench_work/config.ini" --requests "$N" --warmup "$WARMUP" "${load[@]}" \
    --mix "$MIX" --account "$bench_account" --check "$check" --label "$target" --json "$json" || rc=$?
  bench_stop "$pid"
  # What the responder said when it stopped (handled, errors).
  if [[ $target != service-* ]]; then tail -n 1 "$bench_work/$target.out" | sed "s/^/[$target] /" >&2; fi
  ((rc == 0 || rc == 3)) || bench_die "mqbridge-bench failed ($rc) against $target"
  read -r throughput[$target] loadavg[$target] foreign[$target] < <(python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))
print(r["throughput"], r.get("loadAverage", "?").replace(" ", "/"), r["counts"].get("foreign", 0))' "$json")
done

describe() {
  case $1 in
    service-full) echo "the service, trading server syncing each commit to the disk" ;;
    service-normal) echo "the service, trading server with TRADESIM_SYNC=normal (no disk sync)" ;;
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
for target in "${runs[@]}"; do
  printf '  %-16s %10.1f   load %-16s %s\n' "$target" "${throughput[$target]}" "${loadavg[$target]//\// }" "$(describe "$target")"
  # Requests an earlier target left unacknowledged, answered again by this one.
  if ((foreign[$target] > 0)); then
    printf '  %-16s %10s   %s replies to requests of an earlier target\n' "" "" "${foreign[$target]}"
  fi
done
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
for t in echo-pipelined echo-batched echo-joint jms-sync jms-tx32; do
  [[ -n ${throughput[echo]:-} && -n ${throughput[$t]:-} ]] && ratio "$t / echo" "${throughput[$t]}" "${throughput[echo]}"
done
echo "results: $OUT/$TAG-*.json"
