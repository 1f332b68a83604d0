#!/usr/bin/env bash
# Fault run: the trading server fails a stretch of deposits (PostBalanceDeal
# returns 2: the replies carry -2 and nothing is posted) and then is slow for
# another stretch (each post takes DELAY_MS).
#   FAIL_COUNT (100), SLOW_COUNT (20), DELAY_MS (500)
source "$(dirname "$0")/../lib.sh"
source "$(dirname "$0")/fault-lib.sh"
fault_setup tradesim-fault plain
bench_service_start "$bench_work" service
fault_load_start --allow-code -2
sleep 5
bench_log "arming PostBalanceDeal: code 2 for ${FAIL_COUNT:-100} calls"
"$tradesim_bin" fault arm PostBalanceDeal --code 2 --count "${FAIL_COUNT:-100}"
sleep 8
bench_log "arming PostBalanceDeal: ${DELAY_MS:-500} ms for ${SLOW_COUNT:-20} calls"
"$tradesim_bin" fault arm PostBalanceDeal --delay-ms "${DELAY_MS:-500}" --count "${SLOW_COUNT:-20}"
fault_load_wait
"$tradesim_bin" fault list | sed 's/^/still armed: /'
fault_report
