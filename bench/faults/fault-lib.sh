# Shared pieces of the fault runs (source after ../lib.sh): a broker, a
# trading-server database and a config, a load in the background at a fixed
# rate, and the report: requests sent, answered, missing, duplicated, and
# deposits posted twice for one request (counted from the trading server's
# deals, whose comment is the request id). The load sends a request again
# when its send failed (as a back office would, same id); duplicates and
# deposits posted twice for such requests are counted apart, as the bench's
# own doing.
#
# Settings (environment): N (6000 requests), RATE (150 req/s), MIX, OUT.

N=${N:-6000}
RATE=${RATE:-150}
MIX=${MIX:-deposit=4,update=1,password-wrong=1,create-existing=1,withdraw-refused=1}
OUT=${OUT:-$bench_root/var/bench/results}

# fault_setup NAME plain|failover|pair
# pair: a master/standby pair of brokers on one shared store (broker.sh
# start-pair), service and bench on a failover URI listing both.
fault_setup() {
  fault_name=$1
  trap bench_cleanup EXIT
  bench_make
  bench_workdir "fault-$fault_name"
  mkdir -p "$OUT"
  fault_broker="bench-$fault_name-$$"
  if [[ $2 == pair ]]; then
    local env
    env=$("$broker_sh" start-pair "$fault_broker" --owner $$ | tail -n 1) || bench_die "broker pair $fault_broker did not start"
    bench_brokers+=("$fault_broker")
    # shellcheck disable=SC1090
    source "$env"
  else
    bench_broker_start "$fault_broker"
  fi
  bench_tradesim_init "$bench_work"
  local uri="tcp://127.0.0.1:$STOMP_PORT"
  [[ $2 == failover ]] &&
    uri="failover:(tcp://127.0.0.1:$STOMP_PORT)?initialReconnectDelay=100&maxReconnectDelay=1000&randomize=false"
  [[ $2 == pair ]] &&
    uri="failover:($STOMP_URIS)?initialReconnectDelay=100&maxReconnectDelay=1000&randomize=false"
  bench_config "$bench_work" "$uri"
  fault_run_id="f${fault_name//-/}$$"
}

# Starts the load in the background; extra arguments go to mqbridge-bench.
fault_load_start() {
  "$bench_bin" --config "$bench_work/config.ini" --run-id "$fault_run_id" --requests "$N" --rate "$RATE" \
    --mix "$MIX" --account "$bench_account" --drain 30 --linger 5 --receipt-timeout 60 --resend 5 \
    --label "fault-$fault_name" --json "$bench_work/load.json" "$@" >"$bench_work/load.txt" 2>&1 &
  fault_load_pid=$!
  bench_pids+=("$fault_load_pid")
  bench_log "load: $N requests at $RATE req/s, run id $fault_run_id"
}

fault_load_wait() {
  local rc=0
  wait "$fault_load_pid" || rc=$?
  cat "$bench_work/load.txt"
  ((rc == 0 || rc == 3)) || bench_die "mqbridge-bench failed with status $rc"
}

# Prints the summary line and writes $OUT/fault-NAME.json. Exit status 1
# when a request is missing or a deposit was posted twice.
fault_report() {
  "$tradesim_bin" deal list >"$bench_work/deals.tsv"
  python3 - "$bench_work/load.json" "$OUT/fault-$fault_name.json" "$fault_name" "$bench_work/deals.tsv" <<'PY'
import collections, json, sys
load = json.load(open(sys.argv[1]))
c = load["counts"]
prefix = load["runId"] + "-"
per_request = collections.Counter()
for line in open(sys.argv[4], encoding="utf-8", errors="replace"):
    fields = line.rstrip("\n").split("\t")
    if len(fields) >= 5 and fields[4].startswith(prefix):
        per_request[fields[4]] += 1
resent = set(load.get("resentIds", []))
twice = [r for r, n in per_request.items() if n > 1]
d = {"deals": sum(per_request.values()), "requests": len(per_request),
     "twice": sum(1 for r in twice if r not in resent), "twiceResent": sum(1 for r in twice if r in resent)}
deposit = load["kinds"].get("deposit", {"sent": 0, "answered": 0})
posted_expected = deposit["answered"] - c.get("allowedFailures", 0)
result = {
    "fault": sys.argv[3], "runId": load["runId"], "requests": c["sent"], "answered": c["answered"],
    "missing": c["missing"], "lostAtSend": c["lostAtSend"], "duplicated": c["duplicated"],
    "wrongBody": c["wrongBody"], "allowedFailures": c.get("allowedFailures", 0),
    "depositsSent": deposit["sent"], "depositsWithDeal": int(d["requests"]), "deals": int(d["deals"]),
    "depositsPostedTwice": int(d["twice"]), "depositsPostedTwiceResent": d["twiceResent"],
    "resent": c.get("resent", 0), "duplicatedResent": c.get("duplicatedResent", 0),
    "depositsExpectedPosted": posted_expected,
    "latencyMs": load["latencyMs"], "loadAverage": load.get("loadAverage", ""),
}
json.dump(result, open(sys.argv[2], "w"), indent=2)
print()
print("== fault run: %s" % result["fault"])
for key in ("requests", "answered", "missing", "lostAtSend", "duplicated", "wrongBody", "allowedFailures",
            "resent", "duplicatedResent", "depositsSent", "depositsExpectedPosted", "depositsWithDeal", "deals",
            "depositsPostedTwice", "depositsPostedTwiceResent"):
    print("  %-24s %d" % (key, result[key]))
print("  %-24s p50 %.1f ms, p99 %.1f ms, max %.1f ms" % ("latency", result["latencyMs"]["p50"],
      result["latencyMs"]["p99"], result["latencyMs"]["max"]))
sys.exit(1 if result["missing"] or result["lostAtSend"] or result["depositsPostedTwice"] else 0)
PY
}
