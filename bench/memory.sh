#!/usr/bin/env bash
# Memory of the service: resident size after start and after each of STEPS
# equal parts of the load (default 100,000 requests over the four queues in 4
# steps: growth that goes on step after step is a leak even when it is freed
# at exit), then a shorter run under valgrind's memcheck that must show no
# leak.
#
#   bench/memory.sh
#   N=20000 VALGRIND_N=300 bench/memory.sh
#   SKIP_VALGRIND=1 bench/memory.sh
#
# Settings: N (100000), STEPS (4), W (64), MIX (requests over all four queues),
# VALGRIND_N (500), OUT (var/bench/results). Writes $OUT/memory.json.
# Exit status 1 when memcheck reports a leak or an error.
source "$(dirname "$0")/lib.sh"

N=${N:-100000}
STEPS=${STEPS:-4}
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
samples="[0, $rss_start]"
done_requests=0
for ((step = 1; step <= STEPS; step++)); do
  part=$(((N * step) / STEPS - done_requests))
  load "$part" "step-$step"
  done_requests=$((done_requests + part))
  rss=$(rss_kb "$pid")
  samples+=", [$done_requests, $rss]"
  bench_log "VmRSS after $done_requests requests: ${rss} kB"
done
rss_end=$rss
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
json.dump({"requests": $N, "rssStartKb": $rss_start, "rssEndKb": $rss_end, "rssSamplesKb": [$samples],
           "valgrindRequests": $VALGRIND_N, "memcheck": "$leak_status",
           "definitelyLostBytes": $definitely, "indirectlyLostBytes": $indirectly, "memcheckErrors": $errors},
          open(sys.argv[1], "w"), indent=2)
EOF
echo
echo "== service memory"
python3 -c 'import json,sys
for n, kb in json.load(open(sys.argv[1]))["rssSamplesKb"]: print("  VmRSS after %7d requests  %8d kB" % (n, kb))' "$OUT/memory.json"
echo "  memcheck ($VALGRIND_N req)     $leak_status"
[[ $leak_status != leak ]]
