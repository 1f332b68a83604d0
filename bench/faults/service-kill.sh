#!/usr/bin/env bash
# Fault run: the service is SIGKILLed mid-load and started again, KILLS times;
# requests it had taken but not acknowledged are delivered again to the new
# process.
#   KILLS (3), KILL_EVERY (6 s of load before each kill), DOWN (2 s before
#   each restart)
source "$(dirname "$0")/../lib.sh"
source "$(dirname "$0")/fault-lib.sh"
fault_setup service-kill plain
bench_service_start "$bench_work" service
fault_load_start
for ((k = 1; k <= ${KILLS:-3}; k++)); do
  sleep "${KILL_EVERY:-6}"
  kill -0 "$fault_load_pid" 2>/dev/null || break
  bench_log "SIGKILL $k to the service (pid $bench_service_pid)"
  kill -KILL "$bench_service_pid"
  sleep "${DOWN:-2}"
  bench_service_start "$bench_work" "service-$k"
  bench_log "service running again (pid $bench_service_pid)"
done
fault_load_wait
fault_report
