#!/usr/bin/env bash
# Memory of the service: resident size after start, after half of the load
# and after all of it (default 100,000 requests over the four queues), then a
# shorter run under valgrind's memcheck that must show no leak.
#
#   bench/memory.sh
#   N=20000 VALGRIND_N=300 bench/memory.sh
#   SKIP_VALGRIND=1 bench/memory.sh
#
# Settings: N (100000), W (64), MIX (requests over all four queues),
# VALGRIND_N (500), OUT (var/bench/results). Writes $OUT/memory.json.
# Exit status 1 when memcheck reports a leak or an error.
source "$(dirname "$0")/lib.sh"

N=${N:-100000}
W=${W:-64}
VALGRIND_N=${VALGRIND_N:-500}
MIX=${MIX:-deposit=2,withdraw-refused=1,deposit-unknown=1,update=1,update-unknown=1,password-wrong=1,create-existing=1,junk=1}
OUT=${OUT:-$bench_root/var/bench/results}

trap bench_cleanup EXIT
bench_make
bench_workdir memory
mkdir -p "$OUT"
bench_broker_start "bench-mem-$$"
bench_tradesim_init "$bench_work"
bench_config "$bench_work" "tcp://127.0.0.1:$STOMP_PORT"

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

load() { # requests label
  local rc=0
  "$bench_bin" --config "$bench_work/config.ini" --requests "$1" --window "$W" --mix "$MIX" \
    --account "$bench_account" --label "$2" --json "$bench_work/$2.json" >"$bench_work/$2.txt" || rc=$?
  ((rc == 0)) || { cat "$bench_work/$2.txt" >&2; bench_die "load '$2' ended with status $rc"; }
  grep -E '^  (answered|missing|throughput) ' "$bench_work/$2.txt" >&2
}

bench_service_start "$bench_work" service
pid=$bench_service_pid
sleep 2
rss_start=$(rss_kb "$pid")
bench_log "service pid $pid: VmRSS after start ${rss_start} kB"
half=$((N / 2))
load "$half" first-half
rss_half=$(rss_kb "$pid")
bench_log "VmRSS after $half requests: ${rss_half} kB"
load $((N - half)) second-half
rss_end=$(rss_kb "$pid")
bench_log "VmRSS after $N requests: ${rss_end} kB"
bench_stop "$pid"

leak_status=skipped definitely=-1 indirectly=-1 errors=-1
if [[ ${SKIP_VALGRIND:-0} == 0 ]]; then
  command -v valgrind >/dev/null || bench_die "valgrind is not installed (scripts/setup.sh installs it)"
  bench_log "memcheck: $VALGRIND_N requests under valgrind"
  vglog="$bench_work/memcheck.log"
  bench_service_start "$bench_work" valgrind valgrind --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect --track-origins=no --log-file="$vglog"
  load "$VALGRIND_N" valgrind
  bench_stop "$bench_service_pid"
  definitely=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$vglog" | tr -d , | tail -n 1)
  indirectly=$(sed -n 's/.*indirectly lost: \([0-9,]*\) bytes.*/\1/p' "$vglog" | tr -d , | tail -n 1)
  errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$vglog" | tr -d , | tail -n 1)
  # No leak summary at all means nothing was lost ("All heap blocks were freed").
  grep -q "All heap blocks were freed" "$vglog" && definitely=0 indirectly=0
  definitely=${definitely:-0} indirectly=${indirectly:-0}
  [[ -n $errors ]] || bench_die "no memcheck summary in $vglog (did the service stop in order?)"
  if ((definitely == 0 && indirectly == 0 && errors == 0)); then leak_status=clean; else leak_status=leak; fi
  bench_log "memcheck: definitely lost $definitely B, indirectly lost $indirectly B, $errors errors"
  ((errors == 0)) || grep -m 40 -A 12 -E "definitely lost in|Invalid|uninitialised" "$vglog" >&2 || true
  cp "$vglog" "$OUT/memcheck.log"
fi

python3 - "$OUT/memory.json" <<EOF
import json, sys
json.dump({"requests": $N, "rssStartKb": $rss_start, "rssHalfKb": $rss_half, "rssEndKb": $rss_end,
           "valgrindRequests": $VALGRIND_N, "memcheck": "$leak_status",
           "definitelyLostBytes": $definitely, "indirectlyLostBytes": $indirectly, "memcheckErrors": $errors},
          open(sys.argv[1], "w"), indent=2)
EOF
echo
echo "== service memory"
printf '  VmRSS after start        %8d kB\n' "$rss_start"
printf '  VmRSS after %7d req   %8d kB\n' "$half" "$rss_half"
printf '  VmRSS after %7d req   %8d kB\n' "$N" "$rss_end"
echo "  memcheck ($VALGRIND_N req)     $leak_status"
[[ $leak_status != leak ]]
