#!/usr/bin/env bash
# Fault run: the service is SIGKILLed mid-load and started again; requests it
# had taken but not acknowledged are delivered again to the new process.
#   KILL_AFTER (8 s of load first), DOWN (2 s before the restart)
source "$(dirname "$0")/../lib.sh"
source "$(dirname "$0")/fault-lib.sh"
fault_setup service-kill plain
bench_service_start "$bench_work" service
fault_load_start
sleep "${KILL_AFTER:-8}"
bench_log "SIGKILL to the service (pid $bench_service_pid)"
kill -KILL "$bench_service_pid"
sleep "${DOWN:-2}"
bench_service_start "$bench_work" service-again
bench_log "service running again (pid $bench_service_pid)"
fault_load_wait
fault_report
