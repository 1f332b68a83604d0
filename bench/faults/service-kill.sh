#!/usr/bin/env bash
# Fault run: the service is SIGKILLed mid-load and started again, KILLS times;
# requests it had taken but not acknowledged are delivered again to the new
# process, which finishes them from the request journal (the service's
# default one, shared by every restart).
#   KILLS (10), KILL_EVERY (2.5 s of load before each kill), DOWN (1 s before
#   each restart)
source "$(dirname "$0")/../lib.sh"
source "$(dirname "$0")/fault-lib.sh"
fault_setup service-kill plain
bench_service_start "$bench_work" service
# All updates of the load change one account: one cut short by the kill,
# whose account a later update changed before it was checked, cannot be
# told done or not and is answered -1001 (in doubt), never carried out again.
fault_load_start --allow-code -1001
for ((k = 1; k <= ${KILLS:-10}; k++)); do
  sleep "${KILL_EVERY:-2.5}"
  kill -0 "$fault_load_pid" 2>/dev/null || break
  bench_log "SIGKILL $k to the service (pid $bench_service_pid)"
  kill -KILL "$bench_service_pid"
  sleep "${DOWN:-1}"
  bench_service_start "$bench_work" "service-$k"
  bench_log "service running again (pid $bench_service_pid)"
done
fault_load_wait
fault_report
