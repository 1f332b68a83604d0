#!/usr/bin/env bash
# Fault run: the broker is SIGKILLed mid-load and restarted on the same ports
# and data; the service and the load use a failover URI.
#   OUTAGE (3 s between kill and restart), KILL_AFTER (8 s of load first)
source "$(dirname "$0")/../lib.sh"
source "$(dirname "$0")/fault-lib.sh"
fault_setup broker-kill failover
bench_service_start "$bench_work" service
fault_load_start
sleep "${KILL_AFTER:-8}"
bench_log "SIGKILL to broker $fault_broker"
"$broker_sh" kill "$fault_broker"
sleep "${OUTAGE:-3}"
bench_log "restarting broker $fault_broker"
"$broker_sh" restart "$fault_broker" >/dev/null
fault_load_wait
grep -c "Transport has been Interrupted" "$bench_work/service.out" | sed 's/^/service interruptions seen: /'
fault_report
