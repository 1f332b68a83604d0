#!/usr/bin/env bash
# Throughput and latency of the service against its ceiling, in one run on
# one broker with the same load: the service, the echo responder (same client
# library, same acknowledgement, same confirmed send, no work) and the echo
# responder with pipelined replies. Prints each run's table and the ratios;
# writes the JSON results to $OUT (default var/bench/results).
#
#   bench/run-throughput.sh                      # closed loop, window 64
#   N=50000 W=128 MIX=deposit=3,update=1 bench/run-throughput.sh
#   RATE=500 bench/run-throughput.sh             # open loop at 500 req/s
#
# Settings (environment): N measured requests (20000), WARMUP (2000), W window
# (64), RATE (open loop instead of the window), MIX (see mqbridge-bench
# --help; default: deposits on the balance queue), TARGETS (service echo
# echo-pipelined), OUT, TAG (file name prefix, default closed-W / rate-R),
# ECHO_WORK_MS (the echo responders wait this long per request, in place of
# the trading server's time: shows what pipelining gains when there is work).
source "$(dirname "$0")/lib.sh"

N=${N:-20000}
WARMUP=${WARMUP:-2000}
W=${W:-64}
RATE=${RATE:-}
MIX=${MIX:-deposit}
TARGETS=${TARGETS:-service echo echo-pipelined}
OUT=${OUT:-$bench_root/var/bench/results}
if [[ -n $RATE ]]; then TAG=${TAG:-rate-$RATE}; else TAG=${TAG:-closed-w$W}; fi

trap bench_cleanup EXIT
bench_make
bench_workdir throughput
mkdir -p "$OUT"
bench_broker_start "bench-tp-$$"
bench_tradesim_init "$bench_work"
bench_config "$bench_work" "tcp://127.0.0.1:$STOMP_PORT"

load=(--window "$W")
[[ -n $RATE ]] && load=(--rate "$RATE")

declare -A throughput
for target in $TARGETS; do
  case $target in
    service) bench_service_start "$bench_work" service; pid=$bench_service_pid; check=body ;;
    echo) bench_echo_start "$bench_work" echo --work-ms "${ECHO_WORK_MS:-0}"; pid=$bench_echo_pid; check=correlation ;;
    echo-pipelined) bench_echo_start "$bench_work" echo-pipelined --pipeline on --prefetch "$W" --work-ms "${ECHO_WORK_MS:-0}"
      pid=$bench_echo_pid; check=correlation ;;
    *) bench_die "unknown target '$target' (service, echo, echo-pipelined)" ;;
  esac
  json="$OUT/$TAG-$target.json"
  bench_log "$target: $N requests (+$WARMUP warm-up), ${RATE:+rate $RATE}${RATE:-window $W}, mix $MIX"
  rc=0
  "$bench_bin" --config "$bench_work/config.ini" --requests "$N" --warmup "$WARMUP" "${load[@]}" \
    --mix "$MIX" --account "$bench_account" --check "$check" --label "$target" --json "$json" || rc=$?
  bench_stop "$pid"
  ((rc == 0 || rc == 3)) || bench_die "mqbridge-bench failed ($rc) against $target"
  throughput[$target]=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["throughput"])' "$json")
done

echo
echo "== throughput (req/s), $TAG, mix $MIX"
for target in $TARGETS; do printf '  %-16s %10.1f\n' "$target" "${throughput[$target]}"; done
if [[ -n ${throughput[service]:-} && -n ${throughput[echo]:-} ]]; then
  python3 -c 'import sys; s,e=map(float,sys.argv[1:3]); print("  service / echo          %.2f" % (s/e if e else 0))' \
    "${throughput[service]}" "${throughput[echo]}"
fi
if [[ -n ${throughput[echo]:-} && -n ${throughput[echo-pipelined]:-} ]]; then
  python3 -c 'import sys; a,b=map(float,sys.argv[1:3]); print("  echo-pipelined / echo   %.2f" % (b/a if a else 0))' \
    "${throughput[echo]}" "${throughput[echo-pipelined]}"
fi
echo "results: $OUT/$TAG-*.json"
