#!/usr/bin/env bash
# Fault run: a master/standby broker pair on one shared store; the master is
# SIGKILLed mid-burst of deposits and the standby takes the store over. The
# service and the load use a failover URI listing both brokers. Prints and
# adds to $OUT/fault-pair-kill.json the takeover: seconds from the kill until
# the standby serves (takeoverSeconds) and until the service has its
# connections back (serviceBackSeconds). The killed broker is started again
# afterwards, as the new standby.
#   N (2000 requests), MIX (deposits only), RATE (500 req/s), KILL_AFTER (2 s
#   of load first)
N=${N:-2000}
MIX=${MIX:-deposit=1}
RATE=${RATE:-500}
source "$(dirname "$0")/../lib.sh"
source "$(dirname "$0")/fault-lib.sh"
fault_setup pair-kill pair
var_broker=$(dirname "$PAIR_DIR")
bench_service_start "$bench_work" service
fault_load_start
sleep "${KILL_AFTER:-2}"
restored_before=$(grep -c "Transport has been Restored" "$bench_work/service.out" || true)
bench_log "SIGKILL to the master of pair $fault_broker (broker $fault_broker.$MASTER)"
killed=$(date +%s.%N)
"$broker_sh" kill-master "$fault_broker" >/dev/null
deadline=$((SECONDS + 120))
back=""
while ((SECONDS < deadline)); do
  if (($(grep -c "Transport has been Restored" "$bench_work/service.out" || true) > restored_before)); then
    back=$(date +%s.%N)
    break
  fi
  sleep 0.02
done
[[ -n $back ]] || bench_die "the service did not get its connection back within 120 s"
master=$("$broker_sh" master "$fault_broker" --wait 120) || bench_die "no member of $fault_broker took over"
# When the standby opened its connectors: its log's "... started" line.
served=$(python3 - "$var_broker/$master/logs/activemq.log" "$master" <<'PY'
import datetime, sys
stamp = None
for line in open(sys.argv[1], errors="replace"):
    if "Apache ActiveMQ" in line and "(%s," % sys.argv[2] in line and ") started |" in line:
        stamp = line.split(" | ")[0].strip()
print(datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S,%f").timestamp())
PY
) || bench_die "no start of $master in its log"
bench_log "$master serves"
"$broker_sh" restart "$fault_broker" >/dev/null
bench_log "killed broker running again as standby"
fault_load_wait
rc=0
fault_report || rc=$?
python3 - "$OUT/fault-pair-kill.json" "$killed" "$served" "$back" <<'PY'
import json, sys
path, killed, served, back = sys.argv[1], *map(float, sys.argv[2:])
r = json.load(open(path))
r["takeoverSeconds"] = round(served - killed, 2)
r["serviceBackSeconds"] = round(back - killed, 2)
json.dump(r, open(path, "w"), indent=2)
print("  %-24s %.2f s (standby serving), %.2f s (service connected again)" % ("takeover", served - killed,
                                                                              back - killed))
PY
exit $rc
