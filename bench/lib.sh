# Shared pieces of the bench scripts: build, broker, trading-server database,
# config.ini, service and echo processes. Source it; it sets `set -euo pipefail`.
#
# Every process a script starts is recorded and ended by bench_cleanup (run
# from an EXIT trap); brokers are started with --owner, so a script that dies
# cannot leave one behind.
set -euo pipefail

bench_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bench_build="${MQB_BENCH_BUILD:-$bench_root/build-bench}"
bench_var="${MQB_BENCH_VAR:-$bench_root/var/bench}"
bench_bin="$bench_build/bench/mqbridge-bench"
service_bin="$bench_build/bin/mqbridge"
tradesim_bin="$bench_build/tradesim/tradesim"
broker_sh="$bench_root/scripts/broker.sh"

bench_brokers=()
bench_pids=()

bench_log() { echo "[$(date -u +%H:%M:%S)] $*" >&2; }
bench_die() { bench_log "error: $*"; exit 1; }

# Builds the service, the bench tool and tradesim (Release-like, own build dir).
bench_make() {
  "$bench_root/scripts/setup.sh"
  bench_log "building in $bench_build"
  cmake -S "$bench_root" -B "$bench_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMQB_PARTS="support;messages;host;manager;stomp;tradesim;bus;tools;bench" >/dev/null
  cmake --build "$bench_build" -j "$(nproc)" --target mqbridge mqbridge-bench tradesim "$@" >/dev/null
}

# A fresh work directory for one script run: $bench_work (removed unless
# MQB_KEEP_BENCH=1).
bench_workdir() { # name
  mkdir -p "$bench_var"
  bench_work="$(mktemp -d "$bench_var/$1.XXXXXX")"
}

# Starts a broker instance owned by this script; sets STOMP_PORT etc.
bench_broker_start() { # name
  local env
  env=$("$broker_sh" start "$1" --owner $$ | tail -n 1) || bench_die "broker $1 did not start"
  # shellcheck disable=SC1090
  source "$env"
  bench_brokers+=("$1")
}

# A trading-server database with one manager and the bench account; prints
# nothing; sets TRADESIM_DB and bench_account.
bench_tradesim_init() { # dir
  export TRADESIM_DB="$1/tradesim.db"
  export TRADESIM_JOURNAL="$1/tradesim.journal"
  "$tradesim_bin" init --server 127.0.0.1:443 --manager 1005 --password bench-manager --force >/dev/null
  bench_account=20001
  "$tradesim_bin" account add --login "$bench_account" --name "Bench" --group demo --balance 1000 \
    --master-pass "Bench#1pass" --investor-pass "Bench#2pass" >/dev/null
}

# Writes DIR/config.ini for the service and the bench.
bench_config() { # dir brokerURI
  cat >"$1/config.ini" <<CONFIG
{
  "server": "127.0.0.1:443",
  "login": 1005,
  "password": "bench-manager",
  "activeMqName": "",
  "activeMqPassword": "",
  "brokerURI": "$2",
  "userRecordCreate": "bench.user.create",
  "userRecordUpdate": "bench.user.update",
  "userRecordPasswordUpdate": "bench.user.password",
  "tradeTransInfo": "bench.trade",
  "userRecordCreateCallback": "bench.user.create.reply",
  "userRecordUpdateCallback": "bench.user.update.reply",
  "userRecordPasswordUpdateCallback": "bench.user.password.reply",
  "tradeTransInfoCallback": "bench.trade.reply",
  "tradeCancellationCreditTransInfo": "creditCancel"
}
CONFIG
}

# Waits until FILE holds a line matching PATTERN, or fails after SECONDS.
bench_wait_for_line() { # file pattern seconds pid
  local deadline=$((SECONDS + $3))
  while ((SECONDS < deadline)); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    kill -0 "$4" 2>/dev/null || { tail -n 20 "$1" >&2; bench_die "process $4 ended before '$2'"; }
    sleep 0.1
  done
  tail -n 20 "$1" >&2
  bench_die "no '$2' in $1 within $3 s"
}

# Starts the service in DIR/run-NAME (config.ini copied there, log in DIR/log);
# its console goes to DIR/NAME.out. Sets bench_service_pid. Its input is a
# pipe held open by this script, so it runs until stopped.
bench_service_start() { # dir name [wrapper words...]
  local dir=$1 name=$2
  shift 2
  mkdir -p "$dir/run-$name"
  cp "$dir/config.ini" "$dir/run-$name/config.ini"
  rm -f "$dir/$name.in"
  mkfifo "$dir/$name.in"
  (cd "$dir/run-$name" && exec "$@" "$service_bin" <"$dir/$name.in" >"$dir/$name.out" 2>&1) &
  bench_service_pid=$!
  bench_pids+=("$bench_service_pid")
  # Held open for writing: the service sees no end of input until we close it.
  exec {bench_service_fd}>"$dir/$name.in"
  bench_wait_for_line "$dir/$name.out" "init success" 60 "$bench_service_pid"
}

# Stops a process with SIGTERM (SIGKILL after 30 s) and waits for it.
bench_stop() { # pid
  kill -TERM "$1" 2>/dev/null || return 0
  local deadline=$((SECONDS + 30))
  while kill -0 "$1" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# Starts the echo responder; sets bench_echo_pid.
bench_echo_start() { # dir name [echo options...]
  local dir=$1 name=$2
  shift 2
  "$bench_bin" echo --config "$dir/config.ini" "$@" >"$dir/$name.out" 2>&1 &
  bench_echo_pid=$!
  bench_pids+=("$bench_echo_pid")
  bench_wait_for_line "$dir/$name.out" "echo ready" 60 "$bench_echo_pid"
}

# Starts the JMS responder (bench/jms/, ActiveMQ's own client over OpenWire)
# in MODE (sync, tx32, ...) on the request and callback queues of
# DIR/config.ini, against the broker of bench_broker_start; console in
# DIR/NAME.out. Sets bench_jms_pid. The first start compiles it (javac).
bench_jms_start() { # dir name mode [responder options...]
  local dir=$1 name=$2 mode=$3 pairs
  shift 3
  [[ -n ${OPENWIRE_PORT:-} ]] || bench_die "no OPENWIRE_PORT: start the broker with bench_broker_start first"
  mapfile -t pairs < <(python3 - "$dir/config.ini" <<'PY'
import json, sys
c = json.load(open(sys.argv[1]))
for request, reply in (("userRecordCreate", "userRecordCreateCallback"), ("userRecordUpdate", "userRecordUpdateCallback"),
                       ("userRecordPasswordUpdate", "userRecordPasswordUpdateCallback"),
                       ("tradeTransInfo", "tradeTransInfoCallback")):
    print("%s=%s" % (c[request], c[reply]))
PY
  ) || bench_die "cannot read the queues of $dir/config.ini"
  local credentials=()
  [[ -n ${BROKER_USER:-} ]] && credentials=(--user "$BROKER_USER" --password "${BROKER_PASSWORD:-}")
  "$bench_root/bench/jms/jms-responder.sh" "$mode" "tcp://127.0.0.1:$OPENWIRE_PORT" "${pairs[@]}" \
    "${credentials[@]}" "$@" >"$dir/$name.out" 2>&1 &
  bench_jms_pid=$!
  bench_pids+=("$bench_jms_pid")
  bench_wait_for_line "$dir/$name.out" "jms ready" 120 "$bench_jms_pid"
}

bench_cleanup() {
  local pid name
  for pid in "${bench_pids[@]}"; do bench_stop "$pid"; done
  for name in "${bench_brokers[@]}"; do "$broker_sh" purge "$name" >/dev/null 2>&1 || true; done
  if [[ -n ${bench_work:-} && ${MQB_KEEP_BENCH:-0} == 0 ]]; then rm -rf "$bench_work"; fi
}
