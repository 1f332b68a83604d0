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

postgres_sh="$bench_root/scripts/postgres.sh"

bench_brokers=()
bench_pids=()
bench_pgs=()

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
  # A kept work directory keeps its journal database too (stopped, not purged).
  for name in "${bench_pgs[@]}"; do
    if [[ ${MQB_KEEP_BENCH:-0} == 0 ]]; then "$postgres_sh" purge "$name" >/dev/null 2>&1 || true
    else "$postgres_sh" stop "$name" >/dev/null 2>&1 || true; fi
  done
  if [[ -n ${bench_work:-} && ${MQB_KEEP_BENCH:-0} == 0 ]]; then rm -rf "$bench_work"; fi
}

# Starts a private PostgreSQL cluster owned by this script (scripts/postgres.sh)
# and sources its env: PGHOST, PGPORT, PGUSER, PGDATABASE, PG_PASSWORD_FILE,
# PGPASSFILE, PG_PID (the postmaster), PG_DIR, PG_LOG.
bench_pg_start() { # name
  local env
  bench_pgs+=("$1")
  env=$("$postgres_sh" start "$1" --owner $$ | tail -n 1) || bench_die "PostgreSQL cluster $1 did not start"
  # shellcheck disable=SC1090
  source "$env"
  bench_psql_bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)/psql"
}

# Writes DEST/config.ini: SRC/config.ini with the request journal in the
# cluster of bench_pg_start, password from its file; KEYFILE sets
# "journalKeyFile" (default: the service's, ../journal/shared-journal.key
# from the run directory).
bench_pg_config() { # src dest [keyfile]
  mkdir -p "$2"
  python3 - "$1/config.ini" "$2/config.ini" "postgresql://$PGUSER@127.0.0.1:$PGPORT/$PGDATABASE?sslmode=disable" \
    "$PG_PASSWORD_FILE" "${3:-}" <<'PY'
import json, sys
c = json.load(open(sys.argv[1]))
c["journal"] = sys.argv[3]
c["journalPasswordFile"] = sys.argv[4]
if sys.argv[5]:
    c["journalKeyFile"] = sys.argv[5]
json.dump(c, open(sys.argv[2], "w"), indent=2)
PY
}

# Runs SQL in the journal's database as its user; rows tab-separated.
bench_pg_sql() { # sql
  PGPASSFILE="$PGPASSFILE" "$bench_psql_bin" -X -q -A -t -w -F $'\t' -v ON_ERROR_STOP=1 \
    -h 127.0.0.1 -p "$PGPORT" -U "$PGUSER" -d "$PGDATABASE" -c "$1"
}

# The cluster's transactions, WAL records, WAL bytes and WAL syncs so far
# (one line; the statistics reach the views within a second or so).
bench_pg_counters() {
  bench_pg_sql "SELECT (SELECT xact_commit + xact_rollback FROM pg_stat_database WHERE datname = current_database()),
    wal_records, wal_bytes, wal_sync FROM pg_stat_wal" | tr '\t' ' '
}

bench_clk_tck=$(getconf CLK_TCK)

# CPU time, in clock ticks (bench_clk_tck a second), of the processes PID...
# and of all their descendants, living or already reaped (the cutime and
# cstime of their parents), from /proc/<pid>/stat. For a PostgreSQL cluster
# give the postmaster: every server process is its child.
bench_cpu_ticks() { # pid...
  python3 - "$@" <<'PY'
import os, sys
procs = {}
for name in os.listdir("/proc"):
    if not name.isdigit():
        continue
    try:
        text = open("/proc/%s/stat" % name).read()
    except OSError:
        continue
    f = text[text.rindex(")") + 2:].split()  # f[n - 3] is field n
    procs[int(name)] = (int(f[1]), sum(int(x) for x in f[11:15]))  # ppid; utime stime cutime cstime
children = {}
for pid, (ppid, _) in procs.items():
    children.setdefault(ppid, []).append(pid)
total, seen, todo = 0, set(), [int(p) for p in sys.argv[1:]]
while todo:
    pid = todo.pop()
    if pid in seen or pid not in procs:
        continue
    seen.add(pid)
    total += procs[pid][1]
    todo += children.get(pid, [])
print(total)
PY
}

# µs of CPU per request from two bench_cpu_ticks readings.
bench_cpu_us() { # before after requests
  python3 -c 'import sys; b, a, n, hz = map(float, sys.argv[1:]); print("%.0f" % ((a - b) / hz * 1e6 / n if n else 0))' \
    "$1" "$2" "$3" "$bench_clk_tck"
}
