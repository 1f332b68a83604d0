#!/usr/bin/env bash
# Fault run: two service processes on the same queues and the same trading
# server database (competing consumers): every request must be answered
# exactly once and every deposit posted once.
source "$(dirname "$0")/../lib.sh"
source "$(dirname "$0")/fault-lib.sh"
fault_setup competing plain
bench_service_start "$bench_work" service-a
bench_service_start "$bench_work" service-b
fault_load_start
fault_load_wait
for s in service-a service-b; do
  echo "$s handled: $(grep -c 'Received:' "$bench_work/$s.out") requests"
done
fault_report
