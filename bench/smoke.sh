#!/usr/bin/env bash
# A short end-to-end check of the bench against the real service, broker and
# trading server: a few hundred requests of every kind over the four queues;
# fails when a reply is missing, duplicated or wrong. Uses an existing build:
#   MQB_BENCH_BUILD=/path/to/build bench/smoke.sh    (ctest sets it)
source "$(dirname "$0")/lib.sh"
N=${N:-300}
for f in "$bench_bin" "$service_bin" "$tradesim_bin"; do
  [[ -x $f ]] || bench_die "$f is not built"
done
trap bench_cleanup EXIT
bench_workdir smoke
bench_broker_start "bench-smoke-$$"
bench_tradesim_init "$bench_work"
bench_config "$bench_work" "tcp://127.0.0.1:$STOMP_PORT"
bench_service_start "$bench_work" service
"$bench_bin" --config "$bench_work/config.ini" --requests "$N" --window 16 --drain 20 \
  --mix deposit=2,withdraw-refused=1,deposit-unknown=1,create=1,create-existing=1,update=1,update-unknown=1,password=1,password-wrong=1,junk=1 \
  --account "$bench_account"
