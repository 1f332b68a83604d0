#!/usr/bin/env bash
# Runs private PostgreSQL clusters on loopback for tests.
#
#   postgres.sh start NAME [--owner PID]
#   postgres.sh stop NAME | purge NAME | status NAME | env NAME
#
# Each cluster lives in ${MQB_VAR:-<repo>/var}/postgres/NAME/: data/ (the
# cluster), run/ (its Unix socket), log/postgres.log, password, pgpass, ca.pem
# and env. It listens on 127.0.0.1 only, on a free port below the kernel's
# ephemeral range; TCP clients log in by password (scram-sha-256) and may use
# TLS (a self-signed certificate for 127.0.0.1 and localhost, ca.pem). The
# cluster's superuser logs in only over the private socket (peer).
#
# start    initialises the cluster on first use (user and database mqb, a
#          random password), starts it, waits until it accepts connections and
#          the user can log in, writes NAME/env and prints its path. Starting a
#          running NAME prints the path again. A stopped NAME keeps its data
#          and, while it is free, its port.
#          --owner PID  stop the cluster when process PID has gone
# stop     fast shutdown (immediate after MQB_PG_STOP_TIMEOUT, 30 s); no-op
#          when not running
# purge    stop and delete NAME/
# status   exit 0 and print the server's pid when running, exit 3 when not
# env      print the path of NAME/env (exit 3 when there is none)
#
# env: PG_NAME PG_DIR PGDATA PG_PID PGHOST PGPORT PGUSER PGDATABASE
#      PG_PASSWORD_FILE (the password alone) PGPASSFILE (libpq's format)
#      PG_CA_FILE PG_LOG. The password files and env are the invoking user's,
#      mode 600.
# Run as root, the server runs as the system user postgres (initdb and
# postgres refuse root), which owns data/, run/ and log/; the directories
# above them must be searchable by it. The Debian package's own clusters and
# service are never used.
# Settings: MQB_VAR, MQB_PG_BIN (default: the newest /usr/lib/postgresql/*/bin),
# MQB_PG_START_TIMEOUT (60 s), MQB_PG_STOP_TIMEOUT (30 s).
# Exit status: 0 done, 1 failure (reason on stderr), 2 usage, 3 not running.
set -euo pipefail
# One block, read whole before it runs: an edit cannot take effect mid-run.
{

self="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"
root="$(cd "$(dirname "$self")/.." && pwd)"
var="$(realpath -m "${MQB_VAR:-$root/var}")"
base="$var/postgres"
start_timeout="${MQB_PG_START_TIMEOUT:-60}"
stop_timeout="${MQB_PG_STOP_TIMEOUT:-30}"
db_user=mqb
db_name=mqb

die() { echo "postgres.sh: $*" >&2; exit 1; }
usage() { sed -n '3,5p' "$self" | sed 's/^# \{0,1\}//' >&2; exit 2; }

set_cluster() { # name
  [[ $1 =~ ^[A-Za-z0-9][A-Za-z0-9._-]{0,47}$ ]] ||
    { echo "postgres.sh: invalid cluster name '$1' (letters, digits, . _ -; at most 48)" >&2; exit 2; }
  [[ $base =~ ^[A-Za-z0-9._@%+=,:/-]+$ ]] ||
    die "var directory '$base' holds characters other than letters, digits and ._@%+=,:/- (set MQB_VAR)"
  name=$1
  dir="$base/$name"
  data="$dir/data"
  run="$dir/run"
  log="$dir/log/postgres.log"
  envf="$dir/env"
  # A Unix socket path holds at most 107 bytes.
  ((${#run} + 20 < 108)) || die "socket directory '$run' is too long for a Unix socket (set MQB_VAR)"
}

find_binaries() {
  bin=${MQB_PG_BIN:-}
  if [[ -z $bin ]]; then
    bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
    [[ -n $bin ]] || die "no PostgreSQL server in /usr/lib/postgresql; run scripts/setup.sh"
  fi
  local tool
  for tool in initdb pg_ctl pg_isready psql; do
    [[ -x $bin/$tool ]] || die "$bin/$tool is missing; run scripts/setup.sh"
  done
}

# initdb and postgres refuse to run as root: root hands them to postgres.
server_user=$(id -un)
as_server=()
if (($(id -u) == 0)); then
  server_user=postgres
  as_server=(runuser -u postgres --)
fi
# From / : the server's user may not be allowed into the caller's directory.
on_server() { (cd / && "${as_server[@]}" "$@"); }

# Without MQB_VAR, a checkout the server's user cannot reach (under /root,
# say) or too deep for a socket path keeps its clusters under /tmp instead.
if [[ -z ${MQB_VAR:-} ]] && (($(id -u) == 0)); then
  probe="$root"
  while [[ ! -d $probe ]]; do probe="$(dirname "$probe")"; done
  if ! on_server test -x "$probe" || ((${#base} + 90 > 107)); then
    var="/tmp/mqb-var-$(printf '%s' "$root" | md5sum | cut -c1-12)"
    base="$var/postgres"
  fi
fi

lock_cluster() {
  mkdir -p "$base"
  chmod 755 "$base"
  exec {lock_fd}>"$base/.$name.lock"
  flock -w 120 "$lock_fd" || die "cluster $name is busy with another postgres.sh command"
}

# The postmaster's pid when this cluster runs (pg_ctl checks that it lives).
server_pid() {
  [[ -f $data/PG_VERSION ]] || return 1
  on_server "$bin/pg_ctl" status -D "$data" >/dev/null 2>&1 || return 1
  head -n 1 "$data/postmaster.pid" 2>/dev/null
}

log_tail() {
  [[ -s $log ]] || return 0
  echo "---- last lines of $log" >&2
  tail -n 20 "$log" >&2
}

# A free loopback port below the ephemeral range that no other cluster here
# has taken; the previous one while it is free.
choose_port() { # reuse(0|1)
  local previous=""
  [[ $1 == 1 && -f $dir/port ]] && previous=$(<"$dir/port")
  (
    flock 9
    taken=$(cat "$base"/*/port 2>/dev/null | grep -vx "${previous:-none}" || true)
    PREVIOUS=$previous TAKEN=$taken python3 - >"$dir/port" <<'EOF' || die "no free loopback port"
import os, random, socket

def bindable(port):
    with socket.socket() as s:
        # As the server binds: a port left in TIME_WAIT counts as free.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False

def pick():
    previous = os.environ["PREVIOUS"]
    if previous and bindable(int(previous)):
        return int(previous)
    taken = set(os.environ["TAKEN"].split())
    low, high = map(int, open("/proc/sys/net/ipv4/ip_local_port_range").read().split())
    pool = list(range(15000, low) if low > 16000 else range(high + 1, 65536))
    random.shuffle(pool)
    return next(p for p in pool if str(p) not in taken and bindable(p))

print(pick())
EOF
  ) 9>"$base/ports.lock"
  port=$(<"$dir/port")
}

# Directories, password and certificate, then initdb: once per cluster.
init_cluster() {
  [[ -f $data/PG_VERSION ]] && return 0
  rm -rf "$data" "$run" "$dir/log"
  mkdir -p "$data" "$run" "$dir/log"
  chmod 711 "$dir"
  chmod 700 "$data" "$run" "$dir/log"
  chown "$server_user" "$data" "$run" "$dir/log"
  on_server test -w "$data" ||
    die "user $server_user cannot reach $data: every directory above it must be searchable by others (or set MQB_VAR)"
  [[ -s $dir/password ]] || (umask 077 && od -An -N18 -tx1 /dev/urandom | tr -d ' \n' >"$dir/password")
  on_server "$bin/initdb" -D "$data" -U "$server_user" --no-locale -E UTF8 \
    --auth-local=peer --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; die "initdb failed for cluster $name"; }
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=127.0.0.1/O=mqbridge test database" \
    -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" -keyout "$data/server.key" -out "$data/server.crt" \
    >"$dir/openssl.log" 2>&1 || { cat "$dir/openssl.log" >&2; die "openssl could not make the server certificate"; }
  chmod 600 "$data/server.key"
  chown "$server_user" "$data/server.key" "$data/server.crt"
  install -m 644 "$data/server.crt" "$dir/ca.pem"
  cat >"$data/pg_hba.conf" <<EOF
# Written by scripts/postgres.sh: the superuser over the private socket only,
# everyone else by password over loopback TCP.
local all $server_user peer
host all all 127.0.0.1/32 scram-sha-256
EOF
  echo "include 'mqbridge.conf'" >>"$data/postgresql.conf"
}

# Settings that depend on the port and the paths, rewritten on every start.
write_settings() {
  cat >"$data/mqbridge.conf" <<EOF
# Written by scripts/postgres.sh on every start.
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$run'
unix_socket_permissions = 0700
fsync = on
synchronous_commit = on
full_page_writes = on
password_encryption = 'scram-sha-256'
ssl = on
shared_buffers = 32MB
max_connections = 50
log_line_prefix = '%m [%p] %q%u@%d '
EOF
  chown "$server_user" "$data/mqbridge.conf" "$data/pg_hba.conf" "$data/postgresql.conf"
}

# Starts the server detached from our descriptors (the lock, the caller's
# pipes). 0 started, 1 failed, 4 the port was taken meanwhile.
launch() {
  : >"$log"
  chown "$server_user" "$log"
  local rc=0
  (
    for fd in $(ls /proc/$BASHPID/fd); do
      ((fd > 2)) && eval "exec $fd>&-"
    done
    cd /
    exec "${as_server[@]}" "$bin/pg_ctl" start -D "$data" -l "$log" -w -t "$start_timeout" </dev/null >/dev/null 2>&1
  ) || rc=$?
  ((rc == 0)) && return 0
  grep -qs "could not bind\|Address already in use" "$log" && return 4
  echo "postgres.sh: cluster $name did not start within ${start_timeout}s" >&2
  log_tail
  return 1
}

wait_ready() {
  local deadline=$((SECONDS + start_timeout))
  until "$bin/pg_isready" -q -h 127.0.0.1 -p "$port" -t 1; do
    ((SECONDS < deadline)) || { log_tail; die "cluster $name does not accept connections on 127.0.0.1:$port"; }
    sleep 0.1
  done
}

# The user and its database, created when missing; the password set again.
bootstrap() {
  local pass
  pass=$(<"$dir/password")
  on_server "$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$run" -p "$port" -U "$server_user" -d postgres \
    >"$dir/bootstrap.log" 2>&1 <<EOF || { cat "$dir/bootstrap.log" >&2; die "could not create user $db_user"; }
SELECT format('CREATE ROLE %I LOGIN', '$db_user')
  WHERE NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '$db_user') \gexec
ALTER ROLE $db_user PASSWORD '$pass';
SELECT format('CREATE DATABASE %I OWNER %I', '$db_name', '$db_user')
  WHERE NOT EXISTS (SELECT FROM pg_database WHERE datname = '$db_name') \gexec
EOF
  (umask 077 && echo "127.0.0.1:$port:*:$db_user:$pass" >"$dir/pgpass")
  PGPASSFILE="$dir/pgpass" "$bin/psql" -X -q -w -h 127.0.0.1 -p "$port" -U "$db_user" -d "$db_name" \
    -c 'SELECT 1' >/dev/null 2>"$dir/bootstrap.log" ||
    { cat "$dir/bootstrap.log" >&2; die "user $db_user cannot log in by password on 127.0.0.1:$port"; }
}

write_env() {
  (umask 077 && cat >"$envf.tmp") <<EOF
PG_NAME=$name
PG_DIR=$dir
PGDATA=$data
PG_PID=$(server_pid)
PGHOST=127.0.0.1
PGPORT=$port
PGUSER=$db_user
PGDATABASE=$db_name
PG_PASSWORD_FILE=$dir/password
PGPASSFILE=$dir/pgpass
PG_CA_FILE=$dir/ca.pem
PG_LOG=$log
EOF
  mv "$envf.tmp" "$envf"
}

# Stops the cluster once the owner has gone; ends by itself on purge.
watch_owner() { # pid
  local owner=$1
  [[ -f $dir/watcher.pid ]] && kill -0 "$(<"$dir/watcher.pid")" 2>/dev/null && return 0
  (
    for fd in $(ls /proc/$BASHPID/fd); do
      ((fd > 2)) && eval "exec $fd>&-"
    done
    exec </dev/null >/dev/null 2>&1
    while kill -0 "$owner" 2>/dev/null && [[ -d $dir ]]; do sleep 1; done
    [[ -d $dir ]] && MQB_VAR="$var" "$self" stop "$name"
  ) &
  echo $! >"$dir/watcher.pid"
  disown $!
}

cmd_start() {
  local owner="" pid attempt rc reuse=1
  while (($#)); do
    case $1 in
      --owner) (($# >= 2)) && [[ $2 =~ ^[0-9]+$ ]] || usage; owner=$2; shift 2 ;;
      *) usage ;;
    esac
  done
  if pid=$(server_pid); then
    echo "postgres.sh: cluster $name is already running (pid $pid)" >&2
  else
    mkdir -p "$dir"
    init_cluster
    for attempt in 1 2 3; do
      choose_port "$reuse"
      write_settings
      rc=0
      launch || rc=$?
      ((rc == 0)) && break
      ((rc == 4)) || exit 1
      echo "postgres.sh: port $port of $name was taken meanwhile; choosing another" >&2
      reuse=0
    done
    ((rc == 0)) || die "cluster $name could not bind a port"
  fi
  port=$(<"$dir/port")
  wait_ready
  bootstrap
  write_env
  [[ -n $owner ]] && watch_owner "$owner"
  echo "$envf"
}

cmd_stop() {
  [[ -n ${bin:-} ]] && server_pid >/dev/null || return 0
  on_server "$bin/pg_ctl" stop -D "$data" -m fast -w -t "$stop_timeout" >/dev/null 2>&1 && return 0
  echo "postgres.sh: cluster $name did not stop within ${stop_timeout}s; stopping it at once" >&2
  on_server "$bin/pg_ctl" stop -D "$data" -m immediate -w -t 10 >/dev/null 2>&1 ||
    { server_pid >/dev/null && die "cluster $name would not stop"; }
  return 0
}

cmd_purge() {
  cmd_stop
  rm -rf "$dir"
}

cmd_status() {
  local pid
  pid=$(server_pid) || { echo "postgres.sh: cluster $name is not running" >&2; return 3; }
  echo "$pid"
}

cmd_env() {
  [[ -f $envf ]] || { echo "postgres.sh: cluster $name has no env file (never started)" >&2; return 3; }
  echo "$envf"
}

(($# >= 2)) || usage
command=$1
set_cluster "$2"
shift 2
case $command in
  start) find_binaries; lock_cluster; cmd_start "$@" ;;
  stop | purge)
    (($# == 0)) || usage
    [[ -f $data/PG_VERSION ]] && find_binaries  # nothing to stop otherwise
    lock_cluster
    "cmd_$command" ;;
  status) (($# == 0)) || usage; find_binaries; cmd_status ;;
  env) (($# == 0)) || usage; cmd_env ;;
  *) usage ;;
esac
exit
}
