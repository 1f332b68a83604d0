#!/usr/bin/env bash
# Runs project-owned ActiveMQ broker instances on loopback for tests and demos.
#
#   broker.sh start NAME [--auth USER:PASS] [--owner PID]
#   broker.sh stop NAME | kill NAME | restart NAME | status NAME | purge NAME
#   broker.sh stopall
#   broker.sh start-pair NAME [--auth USER:PASS] [--owner PID]
#   broker.sh kill-master NAME | master NAME [--wait SECONDS]
#
# Each instance lives in ${MQB_VAR:-<repo>/var}/broker/NAME/ (conf/, data/,
# logs/, env). It listens on 127.0.0.1 only: plain STOMP, STOMP over TLS and
# OpenWire, on free ports below the kernel's ephemeral range (a client that
# reconnects to a stopped broker can then never connect to itself).
#
# start    writes NAME/env (KEY=VALUE lines, sourceable) and prints its path
#          once the STOMP port answers a CONNECT. Starting a NAME that is
#          already running is a no-op that prints the env path again (an error
#          when it runs with other credentials). A stopped NAME keeps its data
#          and, when they are still free, its ports.
#          --auth USER:PASS  refuse anonymous clients, accept only this user
#          --owner PID       kill the broker when process PID has gone
# stop     graceful (SIGTERM), SIGKILL after MQB_BROKER_STOP_TIMEOUT (20 s)
# kill     SIGKILL at once: the crash case; data stays for restart
# restart  starts again with the same configuration, ports and data
# status   exit 0 and print the pid when running, exit 3 when not
# purge    kill and delete the instance directory
# stopall  stops every running instance under the var directory (also
#          those of other test runs sharing it)
#
# A pair is a master and a standby on one shared KahaDB store: two brokers,
# NAME.a and NAME.b (instance directories as above, each with its own ports),
# and NAME/ holding the store (NAME/store/kahadb, with its lock file) and the
# pair's env. The broker holding the store's lock serves; the other has its
# connectors closed and tries the lock every MQB_BROKER_LOCK_POLL_MS (500 ms),
# logging once "... is locked by another server. This broker is now in slave
# mode ...". When the master dies, the standby takes the lock, recovers the
# store and opens its connectors.
# start-pair  starts NAME.a, waits until it serves, then NAME.b and waits
#          until it logs that it waits for the lock; writes NAME/env and
#          prints its path (a no-op when both run). Options as for start.
# kill-master SIGKILL to the member that serves; the other takes over
# master   prints the name of the member that serves (NAME.a or NAME.b), exit 3
#          when none does; --wait SECONDS waits that long for one
# On a pair's NAME: restart starts the members that are not running, after
# the surviving one serves, so that they come back as its standby (both down:
# NAME.a first, as master); stop stops the standby, then the master; kill
# SIGKILLs both; purge kills both and deletes the three directories; status
# prints the master's pid (exit 3 when none serves). Every pair command
# rewrites NAME/env.
#
# env: BROKER_NAME BROKER_DIR BROKER_PID STOMP_PORT STOMP_SSL_PORT
#      OPENWIRE_PORT CA_FILE UNTRUSTED_CA_FILE [BROKER_USER BROKER_PASSWORD]
# CA_FILE is the broker's self-signed certificate (SAN localhost, 127.0.0.1);
# UNTRUSTED_CA_FILE an unrelated one.
# pair env: PAIR_NAME PAIR_DIR STORE_DIR MASTER (a, b or empty) and, per member
#      M in A and B: BROKER_M_NAME BROKER_M_PID (empty when not running)
#      STOMP_PORT_M STOMP_SSL_PORT_M OPENWIRE_PORT_M; BROKER_PID STOMP_PORT
#      STOMP_SSL_PORT OPENWIRE_PORT are the master's (empty when none serves);
#      STOMP_URIS OPENWIRE_URIS list both members, comma-separated, for a
#      failover:(...) URI; CA_FILE UNTRUSTED_CA_FILE [BROKER_USER
#      BROKER_PASSWORD].
# Settings: MQB_VAR,
# MQB_BROKER_START_TIMEOUT (60 s), MQB_BROKER_STOP_TIMEOUT (20 s),
# MQB_BROKER_LOCK_POLL_MS (500), JAVA.
# Commands on one NAME run one at a time. Exit status: 0 done, 1 failure
# (message on stderr), 2 usage error, 3 (status) not running.
# The Debian package's own system service is never used.
set -euo pipefail
# Everything sits in one block, which bash reads whole before running it:
# a script edited while it runs cannot then run half old, half new.
{

self="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"
root="$(cd "$(dirname "$self")/.." && pwd)"
var="$(realpath -m "${MQB_VAR:-$root/var}")"
base="$var/broker"
amq_home=/usr/share/activemq
java_bin="${JAVA:-java}"
start_timeout="${MQB_BROKER_START_TIMEOUT:-60}"
stop_timeout="${MQB_BROKER_STOP_TIMEOUT:-20}"
lock_poll_ms="${MQB_BROKER_LOCK_POLL_MS:-500}"
store_dir=""  # set for a pair's member: the shared KahaDB directory

die() { echo "broker.sh: $*" >&2; exit 1; }

usage() {
  sed -n '3,9p' "$self" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

# Env values are written unquoted, so everything that ends up in them must be
# free of characters a shell would interpret.
safe_value() { [[ $1 =~ ^[A-Za-z0-9._@%+=,:/-]+$ ]]; }

check_name() {
  [[ $1 =~ ^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$ ]] ||
    { echo "broker.sh: invalid instance name '$1' (letters, digits, . _ -; at most 64)" >&2; exit 2; }
}

set_instance() {
  name=$1
  check_name "$name"
  safe_value "$base" || die "var directory '$base' contains characters other than letters, digits and ._@%+=,:/- (set MQB_VAR)"
  dir="$base/$name"
  conf="$dir/conf"
  data="$dir/data"
  logs="$dir/logs"
  envf="$dir/env"
  pidf="$dir/broker.pid"
}

# Prints the broker's pid when this instance's JVM is running. The command
# line is checked so that a recycled pid is never signalled.
broker_pid() {
  local pid
  [[ -f $pidf ]] || return 1
  pid=$(<"$pidf")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  local cmdline
  cmdline=$( { tr '\0' '\n' <"/proc/$pid/cmdline"; } 2>/dev/null) || return 1
  grep -Fxq -- "-Dactivemq.base=$dir" <<<"$cmdline" || return 1
  echo "$pid"
}

# A process that has exited but is not yet reaped (pid 1 of a container may
# be slow to do it) counts as gone, once its other threads are gone too: a
# killed JVM's leader turns zombie while its threads, and its sockets, are
# still being torn down.
alive() { # pid
  local stat threads
  stat=$( { cat "/proc/$1/stat"; } 2>/dev/null) || return 1
  stat=${stat##*) }
  [[ ${stat:0:1} != Z ]] && return 0
  threads=$(sed -n 's/^Threads:[[:space:]]*//p' "/proc/$1/status" 2>/dev/null)
  [[ $threads =~ ^[0-9]+$ ]] && ((threads > 1))
}

env_value() { # key -> value from this instance's env file
  [[ -f $envf ]] || return 0
  sed -n "s/^$1=//p" "$envf" | tail -n 1
}

log_tail() {
  local f
  for f in "$logs/console.log" "$logs/activemq.log"; do
    [[ -s $f ]] || continue
    echo "---- last lines of $f" >&2
    tail -n 30 "$f" >&2
  done
}

# Self-signed server certificate (PKCS12 keystore, made with keytool) shared by
# the instances of one var directory, its PEM for clients, and a second,
# unrelated self-signed PEM for tests that must fail verification.
ensure_tls() {
  tls="$base/tls"
  mkdir -p "$base"
  (
    flock 9
    [[ -f $tls/ready ]] && exit 0
    rm -rf "$tls.tmp" && mkdir -p "$tls.tmp" && chmod 700 "$tls.tmp"
    od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$tls.tmp/storepass"
    local pass
    pass=$(<"$tls.tmp/storepass")
    keytool -genkeypair -alias broker -keyalg RSA -keysize 2048 -validity 3650 \
      -dname "CN=localhost, O=mqbridge test broker" -ext "SAN=dns:localhost,ip:127.0.0.1" \
      -storetype PKCS12 -keystore "$tls.tmp/broker.p12" -storepass "$pass" -keypass "$pass" \
      >"$tls.tmp/keytool.log" 2>&1 || { cat "$tls.tmp/keytool.log" >&2; die "keytool could not create the broker keystore"; }
    keytool -exportcert -rfc -alias broker -keystore "$tls.tmp/broker.p12" -storetype PKCS12 \
      -storepass "$pass" -file "$tls.tmp/ca.pem" >>"$tls.tmp/keytool.log" 2>&1 ||
      { cat "$tls.tmp/keytool.log" >&2; die "keytool could not export the broker certificate"; }
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=localhost/O=unrelated test CA" \
      -keyout "$tls.tmp/untrusted.key" -out "$tls.tmp/untrusted-ca.pem" >"$tls.tmp/openssl.log" 2>&1 ||
      { cat "$tls.tmp/openssl.log" >&2; die "openssl could not create the untrusted certificate"; }
    chmod 644 "$tls.tmp/ca.pem" "$tls.tmp/untrusted-ca.pem"
    rm -rf "$tls" && mv "$tls.tmp" "$tls" && touch "$tls/ready"
  ) 9>"$base/tls.lock"
}

# Ports the instances of this var directory have reserved (running or not,
# so that a killed broker can be restarted on its own ports).
reserved_ports() {
  local f
  for f in "$base"/*/ports; do
    [[ -f $f && $f != "$dir/ports" ]] && cat "$f"
  done
  return 0
}

# Picks three free loopback ports below the ephemeral range, or reuses the
# instance's previous ones when they are all still free; writes NAME/ports.
choose_ports() { # reuse(0|1)
  local reuse=$1 previous=""
  [[ $reuse == 1 && -f $dir/ports ]] && previous=$(<"$dir/ports")
  (
    flock 9
    ports=$(RESERVED="$(reserved_ports | tr '\n' ' ')" PREVIOUS="$previous" python3 - <<'EOF'
import os, random, socket, sys

def free(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(("127.0.0.1", port))
        return True
    except OSError:
        return False
    finally:
        s.close()

previous = [int(p) for p in os.environ.get("PREVIOUS", "").split()]
if len(previous) == 3 and all(free(p) for p in previous):
    print(*previous)
    sys.exit(0)
reserved = {int(p) for p in os.environ.get("RESERVED", "").split()}
low, high = (int(v) for v in open("/proc/sys/net/ipv4/ip_local_port_range").read().split())
candidates = list(range(15000, low)) if low > 16000 else list(range(high + 1, 65536))
random.shuffle(candidates)
chosen = []
for port in candidates:
    if port not in reserved and free(port):
        chosen.append(port)
        if len(chosen) == 3:
            print(*chosen)
            sys.exit(0)
sys.exit("no free loopback ports")
EOF
) || die "could not find free loopback ports"
    echo "$ports" >"$dir/ports"
  ) 9>"$base/ports.lock"
  read -r stomp_port ssl_port openwire_port <"$dir/ports"
}

write_config() { # user pass
  local user=$1 pass=$2 plugins=""
  if [[ -n $user ]]; then
    plugins="
    <plugins>
      <simpleAuthenticationPlugin anonymousAccessAllowed=\"false\">
        <users>
          <authenticationUser username=\"$user\" password=\"$pass\" groups=\"users\"/>
        </users>
      </simpleAuthenticationPlugin>
    </plugins>"
  fi
  local storepass store="
      <kahaDB directory=\"$data/kahadb\"/>"
  storepass=$(<"$tls/storepass")
  if [[ -n $store_dir ]]; then
    [[ $lock_poll_ms =~ ^[0-9]+$ ]] || die "MQB_BROKER_LOCK_POLL_MS must be a number of milliseconds"
    store="
      <kahaDB directory=\"$store_dir\">
        <locker>
          <shared-file-locker lockAcquireSleepInterval=\"$lock_poll_ms\"/>
        </locker>
      </kahaDB>"
  fi
  cat >"$conf/activemq.xml.tmp" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!-- Generated by scripts/broker.sh for instance $name; rewritten on start. -->
<beans xmlns="http://www.springframework.org/schema/beans"
       xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
       xsi:schemaLocation="http://www.springframework.org/schema/beans http://www.springframework.org/schema/beans/spring-beans.xsd
                           http://activemq.apache.org/schema/core http://activemq.apache.org/schema/core/activemq-core.xsd">
  <broker xmlns="http://activemq.apache.org/schema/core" brokerName="$name"
          dataDirectory="$data" persistent="true" useJmx="false" schedulerSupport="false">
    <managementContext>
      <managementContext createConnector="false"/>
    </managementContext>
    <persistenceAdapter>$store
    </persistenceAdapter>$plugins
    <sslContext>
      <sslContext keyStore="file:$tls/broker.p12" keyStorePassword="$storepass" keyStoreType="PKCS12"/>
    </sslContext>
    <systemUsage>
      <systemUsage>
        <memoryUsage><memoryUsage limit="64 mb"/></memoryUsage>
        <storeUsage><storeUsage limit="2 gb"/></storeUsage>
        <tempUsage><tempUsage limit="1 gb"/></tempUsage>
      </systemUsage>
    </systemUsage>
    <transportConnectors>
      <transportConnector name="stomp" uri="stomp://127.0.0.1:$stomp_port"/>
      <transportConnector name="stomp+ssl" uri="stomp+ssl://127.0.0.1:$ssl_port"/>
      <transportConnector name="openwire" uri="tcp://127.0.0.1:$openwire_port"/>
    </transportConnectors>
  </broker>
</beans>
EOF
  mv "$conf/activemq.xml.tmp" "$conf/activemq.xml"

  # The packaged broker logs through log4j 1.2 (lib/optional), which finds
  # this file because the conf directory is on the broker's class path.
  cat >"$conf/log4j.properties" <<'EOF'
log4j.rootLogger=INFO, logfile
log4j.logger.org.springframework=WARN
log4j.logger.org.apache.xbean=WARN
log4j.appender.logfile=org.apache.log4j.FileAppender
log4j.appender.logfile.file=${activemq.base}/logs/activemq.log
log4j.appender.logfile.append=true
log4j.appender.logfile.layout=org.apache.log4j.PatternLayout
log4j.appender.logfile.layout.ConversionPattern=%d | %-5p | %m | %c | %t%n
EOF
}

# Starts the JVM detached (own session, no inherited descriptors) and records
# its pid.
launch() {
  : >"$logs/console.log"
  touch "$logs/activemq.log"
  log_offset=$(stat -c %s "$logs/activemq.log")
  echo "$log_offset" >"$dir/launch.offset"
  (
    cd "$dir"
    for fd in $(ls /proc/$BASHPID/fd); do
      ((fd > 2)) && eval "exec $fd>&-"
    done
    exec setsid "$java_bin" -Xms64m -Xmx256m -XX:+UseSerialGC -Djava.awt.headless=true \
      -Djava.net.preferIPv4Stack=true \
      -Dactivemq.home="$amq_home" -Dactivemq.base="$dir" \
      -Dactivemq.conf="$conf" -Dactivemq.data="$data" \
      -jar "$amq_home/bin/activemq.jar" start "xbean:file:$conf/activemq.xml" \
      </dev/null >>"$logs/console.log" 2>&1
  ) &
  echo $! >"$pidf"
  disown $!
}

# 0 when the port answers CONNECT with CONNECTED, 1 when it does not answer
# (yet), 3 when it answers with an ERROR frame.
stomp_probe() { # port user pass
  local port=$1 user=$2 pass=$3 fd reply="" frame
  exec {fd}<>"/dev/tcp/127.0.0.1/$port" || return 1
  frame=$'CONNECT\naccept-version:1.2,1.1,1.0\nhost:localhost\n'
  [[ -n $user ]] && frame+="login:$user"$'\n'"passcode:$pass"$'\n'
  printf '%s\n\0' "$frame" >&"$fd" 2>/dev/null || true
  read -r -t 5 -u "$fd" reply || true
  [[ $reply == CONNECTED ]] && printf 'DISCONNECT\n\n\0' >&"$fd" 2>/dev/null
  exec {fd}>&-
  [[ $reply == CONNECTED ]] && return 0
  [[ $reply == ERROR ]] && return 3
  return 1
}

# True once this launch's broker has logged that it started, which it does
# after all its connectors are bound. (An open port alone proves nothing: a
# foreign listener may hold it while the broker fails to bind.)
logged_started() {
  tail -c +$((log_offset + 1)) "$logs/activemq.log" 2>/dev/null |
    grep -Eq "^[^|]+\| INFO +\| Apache ActiveMQ [^ ]+ \($name, [^)]*\) started \|"
}

# Waits until the broker has started all connectors and its STOMP port
# answers a CONNECT. Returns 0 when ready, 1 on failure, 4 when a port was
# already taken.
wait_ready() { # user pass
  local user=$1 pass=$2 pid rc deadline=$((SECONDS + start_timeout))
  pid=$(<"$pidf")
  while ((SECONDS < deadline)); do
    if ! alive "$pid"; then
      sleep 0.2  # let the log reach the disk
      tail -c +$((log_offset + 1)) "$logs/activemq.log" | grep -qs "Address already in use" && return 4
      kill -KILL "$pid" 2>/dev/null || true
      echo "broker.sh: broker $name (pid $pid) exited while starting" >&2
      log_tail
      return 1
    fi
    if ! logged_started; then
      sleep 0.1
      continue
    fi
    rc=0
    stomp_probe "$stomp_port" "$user" "$pass" 2>/dev/null || rc=$?
    if ((rc == 0)); then
      broker_pid >/dev/null && return 0
      echo "broker.sh: broker $name answered, but not from pid $pid; look for a stray broker on its ports" >&2
      kill -KILL "$pid" 2>/dev/null || true
      return 1
    fi
    if ((rc == 3)); then
      echo "broker.sh: broker $name answered CONNECT with an ERROR frame" >&2
      log_tail
      kill -KILL "$pid" 2>/dev/null || true
      return 1
    fi
    sleep 0.1
  done
  echo "broker.sh: broker $name did not answer a STOMP CONNECT on 127.0.0.1:$stomp_port within ${start_timeout}s" >&2
  log_tail
  kill -KILL "$pid" 2>/dev/null || true
  return 1
}

write_env() { # user pass
  local user=$1 pass=$2
  {
    echo "BROKER_NAME=$name"
    echo "BROKER_DIR=$dir"
    echo "BROKER_PID=$(<"$pidf")"
    echo "STOMP_PORT=$stomp_port"
    echo "STOMP_SSL_PORT=$ssl_port"
    echo "OPENWIRE_PORT=$openwire_port"
    echo "CA_FILE=$tls/ca.pem"
    echo "UNTRUSTED_CA_FILE=$tls/untrusted-ca.pem"
    if [[ -n $user ]]; then
      echo "BROKER_USER=$user"
      echo "BROKER_PASSWORD=$pass"
    fi
  } >"$envf.tmp"
  chmod 600 "$envf.tmp"
  mv "$envf.tmp" "$envf"
}

# Kills the broker once the owner process has gone (a test that crashed
# must not leave a JVM behind). Ends by itself when the instance is purged.
watch_owner() { # owner pid
  local owner=$1 wpid
  if [[ -f $dir/watcher.pid ]]; then
    wpid=$(<"$dir/watcher.pid")
    [[ $wpid =~ ^[0-9]+$ ]] && alive "$wpid" && return 0
  fi
  (
    for fd in $(ls /proc/$BASHPID/fd); do
      ((fd > 2)) && eval "exec $fd>&-"
    done
    exec </dev/null >/dev/null 2>&1
    while alive "$owner" && [[ -d $dir ]]; do sleep 1; done
    [[ -d $dir ]] && MQB_VAR="$var" "$self" kill "$name"
  ) &
  echo $! >"$dir/watcher.pid"
  disown $!
}

stop_pid() { # pid signal bound-seconds
  local pid=$1 deadline=$((SECONDS + $3))
  kill "-$2" "$pid" 2>/dev/null || return 0
  while alive "$pid" && ((SECONDS < deadline)); do sleep 0.05; done
  ! alive "$pid"
}

cmd_stop() {
  local pid
  pid=$(broker_pid) || { echo "broker.sh: broker $name is not running" >&2; rm -f "$pidf"; return 0; }
  if ! stop_pid "$pid" TERM "$stop_timeout"; then
    echo "broker.sh: broker $name did not stop within ${stop_timeout}s; killing it" >&2
    stop_pid "$pid" KILL 10 || die "broker $name (pid $pid) survived SIGKILL"
  fi
  rm -f "$pidf"
}

cmd_kill() {
  local pid
  pid=$(broker_pid) || { rm -f "$pidf"; return 0; }
  stop_pid "$pid" KILL 10 || die "broker $name (pid $pid) survived SIGKILL"
  rm -f "$pidf"
}

# Launches the configured instance and waits for it. Returns wait_ready's code.
run_instance() { # user pass
  launch
  local rc=0
  wait_ready "$1" "$2" || rc=$?
  ((rc == 0)) || rm -f "$pidf"
  return "$rc"
}

# Parses start's options into user, pass and owner (the caller's locals).
parse_start_args() {
  while (($#)); do
    case $1 in
      --auth)
        (($# >= 2)) || usage
        [[ $2 == *:* ]] || { echo "broker.sh: --auth takes USER:PASS" >&2; exit 2; }
        user=${2%%:*} pass=${2#*:}
        [[ -n $user && -n $pass ]] || { echo "broker.sh: --auth needs a user and a password" >&2; exit 2; }
        safe_value "$user" && safe_value "$pass" ||
          { echo "broker.sh: --auth user and password may hold letters, digits and ._@%+=,:/- only" >&2; exit 2; }
        shift 2 ;;
      --owner)
        (($# >= 2)) && [[ $2 =~ ^[0-9]+$ ]] || { echo "broker.sh: --owner takes a pid" >&2; exit 2; }
        owner=$2; shift 2 ;;
      *) usage ;;
    esac
  done
}

check_runtime() {
  command -v "$java_bin" >/dev/null || die "no Java runtime ('$java_bin'); run scripts/setup.sh"
  command -v keytool >/dev/null || die "no keytool; run scripts/setup.sh"
  [[ -f $amq_home/bin/activemq.jar ]] || die "$amq_home/bin/activemq.jar is missing; run scripts/setup.sh"
}

cmd_start() {
  local user="" pass="" owner="" pid
  parse_start_args "$@"
  [[ -f $dir/pair ]] && die "$name is a master/standby pair; use start-pair"

  if pid=$(broker_pid); then
    if [[ $(env_value BROKER_USER) != "$user" || $(env_value BROKER_PASSWORD) != "$pass" ]]; then
      die "broker $name is already running (pid $pid) with other credentials; stop it first"
    fi
    echo "broker.sh: broker $name is already running (pid $pid)" >&2
    [[ -n $owner ]] && watch_owner "$owner"
    echo "$envf"
    return 0
  fi

  check_runtime

  mkdir -p "$conf" "$data" "$logs"
  chmod 700 "$dir" "$conf"
  ensure_tls
  local attempt rc reuse=1
  for attempt in 1 2 3; do
    choose_ports "$reuse"
    write_config "$user" "$pass"
    rc=0
    run_instance "$user" "$pass" || rc=$?
    ((rc == 0)) && break
    ((rc == 4)) || exit 1
    echo "broker.sh: a port of $name was taken meanwhile; choosing others" >&2
    reuse=0
  done
  ((rc == 0)) || die "broker $name could not bind its ports"
  write_env "$user" "$pass"
  [[ -n $owner ]] && watch_owner "$owner"
  echo "$envf"
}

cmd_restart() {
  [[ -f $conf/activemq.xml && -f $dir/ports && -f $envf ]] ||
    die "broker $name has never been started here ($dir)"
  cmd_stop 2>/dev/null
  read -r stomp_port ssl_port openwire_port <"$dir/ports"
  ensure_tls
  local rc=0 user pass
  user=$(env_value BROKER_USER) pass=$(env_value BROKER_PASSWORD)
  run_instance "$user" "$pass" || rc=$?
  ((rc == 4)) && { log_tail; die "a port of broker $name ($stomp_port $ssl_port $openwire_port) is taken by another process"; }
  ((rc == 0)) || exit 1
  write_env "$user" "$pass"
  echo "$envf"
}

cmd_status() {
  local pid
  if pid=$(broker_pid); then echo "$pid"; return 0; fi
  echo "broker.sh: broker $name is not running" >&2
  return 3
}

cmd_purge() {
  cmd_kill
  rm -rf "$dir"
}

# One command at a time per instance; the lock file sits beside the instance
# directory so that purge can remove that. Children close the descriptor.
lock_instance() {
  mkdir -p "$base"
  exec {lock_fd}>"$base/.$name.lock"
  flock -w 120 "$lock_fd" || die "broker $name is busy with another broker.sh command"
}

cmd_stopall() {
  local d pids=()
  for d in "$base"/*/; do
    [[ -f $d/broker.pid ]] || continue
    (set_instance "$(basename "$d")" && lock_instance && cmd_stop) &
    pids+=($!)
  done
  local p rc=0
  for p in "${pids[@]}"; do wait "$p" || rc=1; done
  return "$rc"
}

# ---- master/standby pairs on one shared store ----------------------------

set_pair() { # name
  set_instance "$1"
  pair=$name
  pair_dir=$dir
  pair_store="$dir/store/kahadb"
}

other_member() { [[ $1 == a ]] && echo b || echo a; }

# Switches the instance variables to member M (a or b) of the current pair.
use_member() { # m
  set_instance "$pair.$1"
  store_dir=$pair_store
}

# True when member M runs and has opened its connectors since its last launch
# (a standby logs that only once it has taken the store's lock over).
member_serving() { # m
  (
    use_member "$1"
    pid=$(broker_pid) || exit 1
    alive "$pid" || exit 1
    [[ -f $dir/launch.offset ]] || exit 1
    log_offset=$(<"$dir/launch.offset")
    logged_started
  )
}

member_running() { # m
  ( use_member "$1"; broker_pid >/dev/null )
}

# Prints a or b, the member that serves; status 1 when none does.
current_master() {
  local m
  for m in a b; do
    member_serving "$m" && { echo "$m"; return 0; }
  done
  return 1
}

logged_waiting() {
  tail -c +$((log_offset + 1)) "$logs/activemq.log" 2>/dev/null |
    grep -q "is locked by another server. This broker is now in slave mode"
}

# Launches the current member as standby and waits until it logs that it
# waits for the store's lock (0), or until it serves (5: the other member did
# not hold the lock); 1 on failure.
run_standby() { # user pass
  launch
  local pid deadline=$((SECONDS + start_timeout))
  pid=$(<"$pidf")
  while ((SECONDS < deadline)); do
    if ! alive "$pid"; then
      echo "broker.sh: broker $name (pid $pid) exited while starting" >&2
      log_tail
      rm -f "$pidf"
      return 1
    fi
    logged_waiting && return 0
    if logged_started; then
      wait_ready "$1" "$2" && return 5
      rm -f "$pidf"
      return 1
    fi
    sleep 0.1
  done
  echo "broker.sh: broker $name neither served nor waited for the store's lock within ${start_timeout}s" >&2
  log_tail
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$pidf"
  return 1
}

# Prints "pid stomp ssl openwire" of member M (pid "-" when not running).
member_facts() { # m
  (
    use_member "$1"
    pid=$(broker_pid) || pid=-
    read -r sp ssl ow <"$dir/ports"
    echo "$pid $sp $ssl $ow"
  )
}

write_pair_env() {
  local master m M pid sp ssl ow user pass
  local -A facts
  master=$(current_master) || master=""
  user=$(use_member a; env_value BROKER_USER) pass=$(use_member a; env_value BROKER_PASSWORD)
  {
    echo "PAIR_NAME=$pair"
    echo "PAIR_DIR=$pair_dir"
    echo "STORE_DIR=$pair_store"
    echo "MASTER=$master"
    for m in a b; do
      M=${m^^}
      read -r pid sp ssl ow < <(member_facts "$m")
      [[ $pid == - ]] && pid=""
      facts[$m]="$pid $sp $ssl $ow"
      echo "BROKER_${M}_NAME=$pair.$m"
      echo "BROKER_${M}_PID=$pid"
      echo "STOMP_PORT_${M}=$sp"
      echo "STOMP_SSL_PORT_${M}=$ssl"
      echo "OPENWIRE_PORT_${M}=$ow"
    done
    pid="" sp="" ssl="" ow=""
    [[ -n $master ]] && read -r pid sp ssl ow <<<"${facts[$master]}"
    echo "BROKER_PID=$pid"
    echo "STOMP_PORT=$sp"
    echo "STOMP_SSL_PORT=$ssl"
    echo "OPENWIRE_PORT=$ow"
    local stomp_a stomp_b openwire_a openwire_b
    read -r _ stomp_a _ openwire_a <<<"${facts[a]}"
    read -r _ stomp_b _ openwire_b <<<"${facts[b]}"
    echo "STOMP_URIS=tcp://127.0.0.1:$stomp_a,tcp://127.0.0.1:$stomp_b"
    echo "OPENWIRE_URIS=tcp://127.0.0.1:$openwire_a,tcp://127.0.0.1:$openwire_b"
    echo "CA_FILE=$base/tls/ca.pem"
    echo "UNTRUSTED_CA_FILE=$base/tls/untrusted-ca.pem"
    if [[ -n $user ]]; then
      echo "BROKER_USER=$user"
      echo "BROKER_PASSWORD=$pass"
    fi
  } >"$pair_dir/env.tmp"
  chmod 600 "$pair_dir/env.tmp"
  mv "$pair_dir/env.tmp" "$pair_dir/env"
}

cmd_start_pair() {
  local user="" pass="" owner="" m rc attempt reuse
  parse_start_args "$@"
  ((${#pair} <= 62)) || { echo "broker.sh: a pair's name has at most 62 characters" >&2; exit 2; }
  [[ -f $pair_dir/conf/activemq.xml ]] && die "$pair is a single broker instance; purge it first"

  if [[ -f $pair_dir/pair ]] && member_running a && member_running b; then
    if [[ $(use_member a; env_value BROKER_USER) != "$user" || $(use_member a; env_value BROKER_PASSWORD) != "$pass" ]]; then
      die "pair $pair is already running with other credentials; stop it first"
    fi
    echo "broker.sh: pair $pair is already running" >&2
    [[ -n $owner ]] && watch_owner "$owner"
    write_pair_env
    echo "$pair_dir/env"
    return 0
  fi
  if member_running a || member_running b; then
    die "pair $pair is partly running; use restart $pair or stop $pair first"
  fi

  check_runtime
  mkdir -p "$pair_store"
  chmod 700 "$pair_dir"
  touch "$pair_dir/pair"
  ensure_tls
  for m in a b; do
    (
      use_member "$m"
      mkdir -p "$conf" "$data" "$logs"
      chmod 700 "$dir" "$conf"
      reuse=1
      for attempt in 1 2 3; do
        choose_ports "$reuse"
        write_config "$user" "$pass"
        rc=0
        if [[ $m == a ]]; then
          run_instance "$user" "$pass" || rc=$?
        else
          run_standby "$user" "$pass" || rc=$?
          if ((rc == 5)); then
            (use_member a; cmd_kill)
            cmd_kill
            die "$name took the store's lock while $pair.a held it; both killed"
          fi
        fi
        ((rc == 0)) && break
        ((rc == 4)) || exit 1
        echo "broker.sh: a port of $name was taken meanwhile; choosing others" >&2
        reuse=0
      done
      ((rc == 0)) || die "broker $name could not bind its ports"
      write_env "$user" "$pass"
    ) || { (use_member a; cmd_kill); exit 1; }
  done
  write_pair_env
  [[ -n $owner ]] && watch_owner "$owner"
  echo "$pair_dir/env"
}

cmd_kill_master() {
  local m pid
  m=$(current_master) || die "no member of pair $pair serves"
  pid=$(use_member "$m"; broker_pid) || pid=""
  (use_member "$m"; cmd_kill)
  echo "broker.sh: SIGKILL to $pair.$m (pid $pid), the master" >&2
  write_pair_env
  echo "$pair_dir/env"
}

cmd_master() {
  local wait=0 m deadline
  if (($#)); then
    [[ $1 == --wait && $# == 2 && $2 =~ ^[0-9]+$ ]] || usage
    wait=$2
  fi
  deadline=$((SECONDS + wait))
  while true; do
    if m=$(current_master); then
      write_pair_env
      echo "$pair.$m"
      return 0
    fi
    ((SECONDS < deadline)) || break
    sleep 0.1
  done
  echo "broker.sh: no member of pair $pair serves" >&2
  return 3
}

pair_restart() {
  local m other rc user pass deadline
  [[ -f $pair_dir/env ]] || die "pair $pair has never been started here ($pair_dir)"
  ensure_tls
  user=$(use_member a; env_value BROKER_USER) pass=$(use_member a; env_value BROKER_PASSWORD)
  for m in a b; do
    member_running "$m" && continue
    other=$(other_member "$m")
    (
      use_member "$m"
      [[ -f $conf/activemq.xml && -f $dir/ports ]] || die "broker $name has never been started here ($dir)"
      read -r stomp_port ssl_port openwire_port <"$dir/ports"
      rc=0
      if member_running "$other"; then
        # Back as the standby of the other, once that one serves.
        deadline=$((SECONDS + start_timeout))
        until member_serving "$other"; do
          ((SECONDS < deadline)) || die "$pair.$other runs but did not serve within ${start_timeout}s"
          member_running "$other" || break
          sleep 0.1
        done
        run_standby "$user" "$pass" || rc=$?
        ((rc == 5)) && { echo "broker.sh: $name serves: $pair.$other has gone meanwhile" >&2; rc=0; }
      else
        run_instance "$user" "$pass" || rc=$?
        ((rc == 4)) && { log_tail; die "a port of broker $name ($stomp_port $ssl_port $openwire_port) is taken by another process"; }
      fi
      ((rc == 0)) || exit 1
      write_env "$user" "$pass"
    ) || exit 1
  done
  write_pair_env
  echo "$pair_dir/env"
}

pair_stop() {
  local master m
  master=$(current_master) || master=""
  for m in a b; do
    [[ $m == "$master" ]] || (use_member "$m"; cmd_stop)
  done
  [[ -n $master ]] && (use_member "$master"; cmd_stop)
  write_pair_env
}

pair_kill() {
  local m
  for m in b a; do (use_member "$m"; cmd_kill); done
  [[ -d $pair_dir ]] && write_pair_env
  return 0
}

pair_purge() {
  pair_kill
  rm -rf "$base/$pair.a" "$base/$pair.b" "$pair_dir"
}

pair_status() {
  local m
  if m=$(current_master); then
    use_member "$m"
    broker_pid
    return 0
  fi
  echo "broker.sh: no member of pair $pair serves" >&2
  return 3
}

(($# >= 1)) || usage
command=$1; shift
case $command in
  stopall) (($# == 0)) || usage; cmd_stopall ;;
  start) (($# >= 1)) || usage; set_instance "$1"; shift; lock_instance; cmd_start "$@" ;;
  status)
    (($# == 1)) || usage
    set_pair "$1"
    if [[ -f $pair_dir/pair ]]; then pair_status; else cmd_status; fi ;;
  stop|kill|restart|purge)
    (($# == 1)) || usage
    set_pair "$1"
    lock_instance
    if [[ -f $pair_dir/pair ]]; then "pair_$command"; else "cmd_$command"; fi ;;
  start-pair) (($# >= 1)) || usage; set_pair "$1"; shift; lock_instance; cmd_start_pair "$@" ;;
  kill-master|master)
    (($# >= 1)) || usage
    set_pair "$1"
    shift
    [[ -f $pair_dir/pair ]] || die "$pair is not a master/standby pair"
    lock_instance
    "cmd_${command/-/_}" "$@" ;;
  -h|--help|help) usage ;;
  *) usage ;;
esac
exit
}
