#!/usr/bin/env bash
# Fault run: two service processes on the same queues and the same trading
# server database (competing consumers), sharing one request journal; one of
# them is SIGKILLed mid-load (KILL_AFTER seconds, 0: none) and the other
# takes over what it left: every request must be answered and every deposit
# posted once.
source "$(dirname "$0")/../lib.sh"
source "$(dirname "$0")/fault-lib.sh"
fault_setup competing plain
bench_service_start "$bench_work" service-a
victim=$bench_service_pid
bench_service_start "$bench_work" service-b
# All updates of the load change one account: one cut short by the kill,
# whose account a later update changed before it was checked, cannot be
# told done or not and is answered -1001 (in doubt), never carried out again.
fault_load_start --allow-code -1001
if ((${KILL_AFTER:-8} > 0)); then
  sleep "${KILL_AFTER:-8}"
  bench_log "SIGKILL to service-a (pid $victim)"
  kill -KILL "$victim"
fi
fault_load_wait
for s in service-a service-b; do
  echo "$s handled: $(grep -c 'Received:' "$bench_work/$s.out") requests"
done
fault_report
